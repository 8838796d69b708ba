#include "service_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "ce/ce.h"
#include "ce/service_host.h"

extern char** environ;

namespace svctest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> environment() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "NX_DEVICE_ROOT=", 15) != 0) env.emplace_back(*e);
  env.push_back("NX_DEVICE_ROOT=" + ce::DeviceRoot());
  return env;
}

pid_t spawn(const std::vector<std::string>& args, int outFd) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  if (outFd >= 0) {
    posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    posix_spawn_file_actions_adddup2(&fa, outFd, 2);
  }
  std::vector<std::string> a = args, env = environment();
  std::vector<char*> av, ev;
  for (auto& s : a) av.push_back(s.data());
  av.push_back(nullptr);
  for (auto& s : env) ev.push_back(s.data());
  ev.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, a[0].c_str(), &fa, nullptr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

std::string bin(const std::string& name) { return std::string(NX_BUILD_DIR) + "/bin/" + name; }

std::string serviceLibrary() { return readAll(std::string(NX_BUILD_DIR) + "/tests/modules/ce_test_service.dll"); }

HostProcess::~HostProcess() { kill(); }

bool HostProcess::start() {
  std::string log = ce::DeviceRoot() + "/.ce/services.log";
  int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = spawn({bin("nxservices"), "--device-root", ce::DeviceRoot()}, fd);
  if (fd >= 0) ::close(fd);
  if (pid_ < 0) return false;
  const auto until = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < until) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    ce::servicehost::HostState st;
    if (ce::servicehost::ReadState(st) && st.running && st.pid == pid_ && ce::servicehost::Ping()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

void HostProcess::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int HostProcess::wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < until) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return -1;
}

Run nxdevice(const std::string& root, const std::vector<std::string>& args) {
  nxtest::TempDir tmp;
  std::string outPath = tmp.path() + "/out";
  int fd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<std::string> all{bin("nxdevice"), "--device-root", root};
  all.insert(all.end(), args.begin(), args.end());
  pid_t pid = spawn(all, fd);
  ::close(fd);
  Run r;
  if (pid < 0) return r;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = readAll(outPath);
  return r;
}

std::vector<std::string> journal(const nxtest::TempDevice& dev) {
  std::vector<std::string> out;
  std::istringstream in(dev.readFile("Temp/services.log"));
  for (std::string line; std::getline(in, line);) out.push_back(line.substr(0, line.rfind(" pid=")));
  return out;
}

std::vector<int> journalPids(const nxtest::TempDevice& dev) {
  std::vector<int> out;
  std::istringstream in(dev.readFile("Temp/services.log"));
  for (std::string line; std::getline(in, line);) {
    size_t at = line.rfind(" pid=");
    out.push_back(at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 5));
  }
  return out;
}

bool writable(const char16_t* devicePath) {
  ce::HANDLE h = ce::CreateFileW(devicePath, ce::GENERIC_WRITE, 0, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return false;
  ce::CloseHandle(h);
  return true;
}

void becomeReaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

void killHostOf(const nxtest::TempDevice&) {
  ce::servicehost::HostState st;
  if (ce::servicehost::ReadState(st) && st.running) {
    ::kill(st.pid, SIGKILL);
    ::waitpid(st.pid, nullptr, 0);
  }
  // Orphans the tools left (start-up programs) are reaped here.
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

}  // namespace svctest
