// What the service host runs, published in "<root>/.ce/services" (UTF-8
// text, replaced as a whole):
//   nxservices-state 1
//   host PID START BOOTED SINCE
//   service NAME<TAB>INDEX<TAB>CONTEXT<TAB>HANDLE<TAB>ENTRIES<TAB>DLL<TAB>PATH
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ce/base.h"
#include "ce/service_host.h"
#include "ce/text.h"
#include "device.h"

namespace ce::servicehost {
namespace {

constexpr const char* kHeader = "nxservices-state 1";

std::string statePath(const detail::DeviceState& d) { return d.ceDir + "/services"; }

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t pos = 0;
  for (;;) {
    size_t end = s.find(sep, pos);
    out.push_back(s.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    if (end == std::string::npos) return out;
    pos = end + 1;
  }
}

bool parseU64(const std::string& s, uint64_t& v, int base = 10) {
  if (s.empty() || s.size() > 20) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long x = std::strtoull(s.c_str(), &end, base);
  if (errno != 0 || !end || *end != 0 || s[0] == '-') return false;
  v = x;
  return true;
}

bool fail(DWORD code) {
  SetLastError(code);
  return false;
}

}  // namespace

BOOL PublishState(const HostState& state) {
  detail::DeviceState* d = detail::device();
  if (!d) return FALSE;
  const detail::ProcId me = detail::selfId();
  std::ostringstream out;
  out << kHeader << '\n';
  out << "host " << me.pid << ' ' << me.start << ' ' << (state.booted ? 1 : 0) << ' ' << utf16ToUtf8(state.since)
      << '\n';
  for (const auto& s : state.services) {
    char handle[32];
    std::snprintf(handle, sizeof handle, "%" PRIx64, s.handle);
    out << "service " << utf16ToUtf8(s.name) << '\t' << s.index << '\t' << s.context << '\t' << handle << '\t'
        << s.entries << '\t' << utf16ToUtf8(s.dll) << '\t' << utf16ToUtf8(s.path) << '\n';
  }
  const std::string text = out.str();
  const std::string path = statePath(*d);
  const std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(ERROR_CANTWRITE);
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return fail(ERROR_CANTWRITE);
  }
  return TRUE;
}

BOOL ReadState(HostState& state) {
  state = HostState{};
  detail::DeviceState* d = detail::device();
  if (!d) return FALSE;
  std::ifstream in(statePath(*d), std::ios::binary);
  if (!in) return fail(ERROR_FILE_NOT_FOUND);
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return fail(ERROR_INVALID_DATA);
  if (!std::getline(in, line) || line.rfind("host ", 0) != 0) return fail(ERROR_INVALID_DATA);
  {
    std::vector<std::string> f = split(line.substr(5), ' ');
    uint64_t pid = 0, start = 0, booted = 0;
    if (f.size() < 3 || !parseU64(f[0], pid) || pid == 0 || pid > INT32_MAX || !parseU64(f[1], start) ||
        !parseU64(f[2], booted) || booted > 1)
      return fail(ERROR_INVALID_DATA);
    state.pid = static_cast<int32_t>(pid);
    state.start = start;
    state.booted = booted == 1;
    // The time holds a space itself: everything after the booted field.
    size_t pos = 0;
    for (int i = 0; i < 4 && pos != std::string::npos; ++i) pos = line.find(' ', pos + 1);
    if (pos != std::string::npos) state.since = utf8ToUtf16(line.substr(pos + 1));
  }
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line.rfind("service ", 0) != 0) return fail(ERROR_INVALID_DATA);
    std::vector<std::string> f = split(line.substr(8), '\t');
    ServiceRecord r;
    uint64_t index = 0, context = 0;
    if (f.size() != 7 || !parseU64(f[1], index) || !parseU64(f[2], context) || !parseU64(f[3], r.handle, 16) ||
        context > UINT32_MAX || index > UINT32_MAX)
      return fail(ERROR_INVALID_DATA);
    r.name = utf8ToUtf16(f[0]);
    r.index = static_cast<DWORD>(index);
    r.context = static_cast<DWORD>(context);
    r.entries = f[4];
    r.dll = utf8ToUtf16(f[5]);
    r.path = utf8ToUtf16(f[6]);
    state.services.push_back(std::move(r));
  }
  state.running = detail::procAlive(detail::ProcId{state.pid, state.start});
  // A host that ended took its services with it.
  if (!state.running) {
    state.services.clear();
    state.booted = false;
  }
  return TRUE;
}

BOOL ClearState() {
  detail::DeviceState* d = detail::device();
  if (!d) return FALSE;
  if (::unlink(statePath(*d).c_str()) != 0 && errno != ENOENT) return fail(ERROR_ACCESS_DENIED);
  return TRUE;
}

}  // namespace ce::servicehost
