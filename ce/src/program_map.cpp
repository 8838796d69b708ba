// Device programs played by host programs: "<root>/.ce/programs" lists, one
// a line, a device path and the host program that runs in its place
// (UTF-8, a tab between them), replaced as a whole under a lock file.
#include "program_map.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "ce/base.h"
#include "ce/process.h"
#include "ce/text.h"
#include "device.h"
#include "paths.h"

namespace ce::detail {
namespace {

using Entries = std::vector<std::pair<std::u16string, std::string>>;

std::string mapFile(const DeviceState& d) { return d.ceDir + "/programs"; }

Entries readEntries(const DeviceState& d) {
  Entries out;
  std::ifstream in(mapFile(d), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    // A line that does not hold both halves maps nothing.
    if (tab == std::string::npos || tab == 0 || tab + 1 >= line.size() || line[tab + 1] != '/') continue;
    out.emplace_back(utf8ToUtf16(line.substr(0, tab)), line.substr(tab + 1));
  }
  return out;
}

bool writeEntries(const DeviceState& d, const Entries& entries) {
  std::string text;
  for (const auto& [dev, host] : entries) text += utf16ToUtf8(dev) + "\t" + host + "\n";
  const std::string path = mapFile(d);
  const std::string tmp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

struct MapLock {
  int fd;
  explicit MapLock(const DeviceState& d) : fd(::open((d.ceDir + "/programs.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd >= 0) ::flock(fd, LOCK_EX);
  }
  ~MapLock() {
    if (fd >= 0) ::close(fd);
  }
};

bool canonical(LPCWSTR devicePath, ResolvedPath& rp) {
  if (!devicePath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return resolvePath(devicePath, rp);
}

}  // namespace

std::string mappedProgram(const std::u16string& canonicalDevicePath) {
  DeviceState* d = device();
  if (!d) return {};
  for (const auto& [dev, host] : readEntries(*d))
    if (equalsNoCase(dev, canonicalDevicePath)) return host;
  return {};
}

}  // namespace ce::detail

namespace ce {

using namespace detail;

BOOL MapDeviceProgram(LPCWSTR devicePath, const std::string& hostProgram) {
  ResolvedPath rp;
  if (!canonical(devicePath, rp)) return FALSE;
  if (rp.mount != Mount::Root || rp.rel.empty()) {
    SetLastError(ERROR_ACCESS_DENIED);  // only the device's own folders hold its programs
    return FALSE;
  }
  struct stat st{};
  if (hostProgram.empty() || hostProgram[0] != '/' || hostProgram.find('\n') != std::string::npos ||
      hostProgram.find('\t') != std::string::npos) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (::stat(hostProgram.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  DeviceState* d = device();
  if (!d) return FALSE;
  if (!rp.lastExists) {
    // The program is found like a file of the handset's ROM: a placeholder
    // stands at its path (run by itself it is no program).
    int fd = openResolved(rp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (fd < 0 && errno != EEXIST) {
      SetLastError(errnoToError(errno));
      return FALSE;
    }
    if (fd >= 0) {
      std::string note = "This device program is played by the host program " + hostProgram + ".\n";
      ssize_t n = ::write(fd, note.data(), note.size());
      (void)n;
      ::close(fd);
    }
  }
  MapLock lock(*d);
  Entries entries = readEntries(*d);
  bool replaced = false;
  for (auto& [dev, host] : entries)
    if (equalsNoCase(dev, rp.device)) {
      host = hostProgram;
      replaced = true;
    }
  if (!replaced) entries.emplace_back(rp.device, hostProgram);
  if (!writeEntries(*d, entries)) {
    SetLastError(ERROR_CANTWRITE);
    return FALSE;
  }
  return TRUE;
}

BOOL UnmapDeviceProgram(LPCWSTR devicePath) {
  ResolvedPath rp;
  if (!canonical(devicePath, rp)) return FALSE;
  DeviceState* d = device();
  if (!d) return FALSE;
  MapLock lock(*d);
  Entries entries = readEntries(*d);
  Entries kept;
  for (auto& e : entries)
    if (!equalsNoCase(e.first, rp.device)) kept.push_back(std::move(e));
  if (kept.size() == entries.size()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!writeEntries(*d, kept)) {
    SetLastError(ERROR_CANTWRITE);
    return FALSE;
  }
  return TRUE;
}

std::string MappedHostProgram(LPCWSTR devicePath) {
  ResolvedPath rp;
  if (!canonical(devicePath, rp)) return {};
  return mappedProgram(rp.device);
}

}  // namespace ce
