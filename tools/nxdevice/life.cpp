// nxdevice: the device's life: boot (the service host, then the start-up
// programs), shutdown (every service's Deinit, then the host ends) and status.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/service_host.h"
#include "commands.h"

extern char** environ;

namespace nxdevice {
namespace {

namespace sh = ce::servicehost;
using Clock = std::chrono::steady_clock;

constexpr const char16_t* kStartUpFolder = u"\\Windows\\StartUp";
constexpr int kHostStartMs = 10000;
constexpr int kHostStopMs = 30000;

std::string narrow(const std::u16string& s) { return ce::utf16ToUtf8(s); }

// Device milliseconds that `hostMs` host milliseconds take at the clock's speed.
ce::DWORD deviceMs(int hostMs) {
  double ms = hostMs * ce::GetClockSpeed();
  return ms >= 4e9 ? ce::INFINITE - 1 : static_cast<ce::DWORD>(ms);
}

std::string hostLogPath() { return ce::DeviceRoot() + "/.ce/services.log"; }

// Starts nxservices (beside this program) in a session of its own, so that it
// outlives the terminal that booted the device; its output goes to the log.
pid_t spawnHost() {
  std::string host = programFolder() + "/nxservices";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, hostLogPath().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  std::string rootArg = ce::DeviceRoot();
  std::vector<std::string> args{host, "--device-root", rootArg};
  std::vector<char*> av;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e)
    if (std::string(*e).rfind("NX_DEVICE_ROOT=", 0) != 0 && std::string(*e).rfind("NX_MODULE_PATH=", 0) != 0)
      env.emplace_back(*e);
  env.push_back("NX_DEVICE_ROOT=" + rootArg);
  std::vector<char*> ev;
  for (auto& e : env) ev.push_back(e.data());
  ev.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, host.c_str(), &fa, &attr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    std::fprintf(stderr, "nxdevice: cannot start %s: %s\n", host.c_str(), std::strerror(rc));
    return -1;
  }
  return pid;
}

// Waits until the host just started serves requests; false when it ended
// or did not come up in time.
bool awaitHost(pid_t pid) {
  const auto until = Clock::now() + std::chrono::milliseconds(kHostStartMs);
  while (Clock::now() < until) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return false;
    sh::HostState st;
    if (sh::ReadState(st) && st.running && st.pid == pid && sh::Ping()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

struct StartUpItem {
  std::u16string name;
  std::u16string path;
};

std::vector<StartUpItem> startUpItems() {
  std::vector<StartUpItem> items;
  ce::WIN32_FIND_DATAW fd;
  std::u16string pattern = std::u16string(kStartUpFolder) + u"\\*.*";
  ce::HANDLE f = ce::FindFirstFileW(pattern.c_str(), &fd);
  if (f == ce::INVALID_HANDLE_VALUE) return items;
  do {
    if (fd.dwFileAttributes & ce::FILE_ATTRIBUTE_DIRECTORY) continue;
    items.push_back({fd.cFileName, std::u16string(kStartUpFolder) + u"\\" + fd.cFileName});
  } while (ce::FindNextFileW(f, &fd));
  ce::FindClose(f);
  std::sort(items.begin(), items.end(),
            [](const StartUpItem& a, const StartUpItem& b) { return ce::compareNoCase(a.name, b.name) < 0; });
  return items;
}

bool endsWithNoCase(const std::u16string& s, const char16_t* tail) {
  std::u16string_view t(tail);
  return s.size() >= t.size() && ce::equalsNoCase(std::u16string_view(s).substr(s.size() - t.size()), t);
}

// A shortcut's target: a quoted program followed by its arguments, or a
// program path alone.
void splitTarget(const std::u16string& target, std::u16string& program, std::u16string& args) {
  if (!target.empty() && target[0] == u'"') {
    size_t close = target.find(u'"', 1);
    program = target.substr(1, close == std::u16string::npos ? std::u16string::npos : close - 1);
    args = close == std::u16string::npos ? u"" : target.substr(close + 1);
    size_t first = args.find_first_not_of(u' ');
    args = first == std::u16string::npos ? u"" : args.substr(first);
  } else {
    program = target;
    args.clear();
  }
}

// Runs one start-up item and waits for it to end (for at most waitMs host
// milliseconds, after which it is left running and the next one starts).
void runStartUpItem(const StartUpItem& item, int waitMs) {
  const std::string shown = "StartUp\\" + narrow(item.name);
  std::u16string program, args;
  if (endsWithNoCase(item.name, u".lnk")) {
    ce::WCHAR target[ce::kMaxShortcutTarget + 1];
    if (!ce::SHGetShortcutTarget(item.path.c_str(), target, static_cast<int>(ce::kMaxShortcutTarget + 1))) {
      std::printf("  %s: unreadable shortcut (error %u), skipped\n", shown.c_str(), ce::GetLastError());
      return;
    }
    splitTarget(target, program, args);
  } else if (endsWithNoCase(item.name, u".exe")) {
    program = item.path;
  } else {
    std::printf("  %s: neither a program nor a shortcut, skipped\n", shown.c_str());
    return;
  }
  ce::PROCESS_INFORMATION pi{};
  std::u16string line = args;
  if (!ce::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, ce::FALSE, 0, nullptr, nullptr, nullptr, &pi)) {
    std::printf("  %s -> %s: cannot start (error %u)\n", shown.c_str(), narrow(program).c_str(), ce::GetLastError());
    return;
  }
  ce::DWORD w = ce::WaitForSingleObject(pi.hProcess, deviceMs(waitMs));
  ce::DWORD code = 0;
  ce::GetExitCodeProcess(pi.hProcess, &code);
  if (w == ce::WAIT_OBJECT_0)
    std::printf("  %s -> %s: ended (exit %u)\n", shown.c_str(), narrow(program).c_str(), code);
  else
    std::printf("  %s -> %s: still running (pid %u), left running\n", shown.c_str(), narrow(program).c_str(),
                pi.dwProcessId);
  ce::CloseHandle(pi.hProcess);
}

// Starts a service host on a device that has none running; a state file left
// behind tells of a host that was killed, whose services died with it.
bool startHost(bool lastEndedBadly) {
  if (lastEndedBadly) std::printf("the last service host ended without a shutdown; starting a clean one\n");
  pid_t pid = spawnHost();
  if (pid < 0) return false;
  if (!awaitHost(pid)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    std::fprintf(stderr, "nxdevice: the service host did not start (see %s)\n", hostLogPath().c_str());
    return false;
  }
  std::printf("service host started (pid %d)\n", static_cast<int>(pid));
  return true;
}

void runStartUpPrograms(int waitMs) {
  std::vector<StartUpItem> items = startUpItems();
  std::printf("start-up programs (%zu):\n", items.size());
  for (const auto& item : items) runStartUpItem(item, waitMs);
}

// What the handset does at every start, in order. A device booted already is
// left as it is; a host still running from a boot cut short is kept.
int cmdBoot(const std::string& root, int waitMs) {
  if (!attach(root)) return 1;
  sh::HostState st;
  const bool known = sh::ReadState(st);
  if (known && st.running && st.booted) {
    std::printf("the device is running already (service host pid %d since %s)\n", st.pid, narrow(st.since).c_str());
    return 0;
  }
  // 1. The device programs that host programs play.
  mapDevicePrograms();
  // 2. The service host, once the installation holds one whole set of files:
  // with a host already running, something may map the engine and its
  // replacement is left to the next start.
  if (!(known && st.running)) {
    recoverInterruptedUpdate();  // a failure is said; the device still starts
    if (!startHost(known)) return 1;
  }
  // 3. The programs of \Windows\StartUp, one after another.
  runStartUpPrograms(waitMs);
  // 4. Booted.
  if (!sh::SetBooted()) return fail("the service host ended during the start");
  std::printf("device booted\n");
  return 0;
}

int cmdShutdown(const std::string& root) {
  if (!attach(root)) return 1;
  sh::HostState st;
  if (!sh::ReadState(st) || !st.running) {
    sh::ClearState();
    std::printf("the device is not running (no service host)\n");
    return 0;
  }
  std::u16string stopped;
  if (!sh::Shutdown(&stopped)) return fail("the service host ended before it stopped its services");
  std::printf("services stopped: %s\n", stopped.empty() ? "(none)" : narrow(stopped).c_str());
  // Its handle is opened by its id; a host already gone needs no waiting.
  ce::HANDLE h = ce::OpenProcess(ce::PROCESS_QUERY_INFORMATION, ce::FALSE, static_cast<ce::DWORD>(st.pid));
  if (h) {
    ce::DWORD w = ce::WaitForSingleObject(h, deviceMs(kHostStopMs));
    ce::CloseHandle(h);
    if (w != ce::WAIT_OBJECT_0) {
      std::fprintf(stderr, "nxdevice: the service host (pid %d) did not end\n", st.pid);
      return 1;
    }
  }
  std::printf("service host stopped\n");
  return 0;
}

// The windows registered for shell change notifications by running processes.
void printChangeNotifyRegistrations() {
  std::vector<ce::ChangeNotifyRegistration> regs = ce::ListChangeNotifyRegistrations();
  std::sort(regs.begin(), regs.end(), [](const auto& a, const auto& b) {
    return a.processId != b.processId ? a.processId < b.processId : a.window < b.window;
  });
  std::printf("change notifications:\n");
  if (regs.empty()) std::printf("  (none)\n");
  for (const auto& r : regs)
    std::printf("  window %#llx  process %d (%s)  folder %s  mask %#x  %s\n",
                static_cast<unsigned long long>(r.window), r.processId,
                r.program.empty() ? "?" : narrow(r.program).c_str(),
                r.folder.empty() ? "\\ (the whole device)" : narrow(r.folder).c_str(),
                static_cast<unsigned>(r.eventMask), r.recursive ? "with subfolders" : "that folder only");
}

int cmdStatus(const std::string& root) {
  if (!attach(root)) return 1;
  sh::HostState st;
  const bool known = sh::ReadState(st);
  const std::string kind = ce::DeviceKind();
  std::printf("device:        %s\n", ce::DeviceRoot().c_str());
  std::printf("kind:          %s\n", kind.c_str());
  std::printf("booted:        %s\n", st.running && st.booted ? "yes" : "no");
  if (st.running)
    std::printf("service host:  running, pid %d, since %s\n", st.pid, narrow(st.since).c_str());
  else if (known)
    std::printf("service host:  not running (the last one ended without a shutdown)\n");
  else if (ce::GetLastError() == ce::ERROR_INVALID_DATA)
    std::printf("service host:  not running (its state file is damaged)\n");
  else
    std::printf("service host:  not running\n");
  std::printf("services:\n");
  if (st.services.empty()) std::printf("  (none)\n");
  for (const auto& s : st.services)
    std::printf("  %-6s %s  (%s, context %u; %s)\n", narrow(s.name).c_str(), narrow(s.dll).c_str(),
                narrow(s.path).c_str(), s.context, s.entries.c_str());
  printChangeNotifyRegistrations();
  return 0;
}

struct Options {
  int waitMs = 10000;
} opts;

}  // namespace

void addLifeCommands(CLI::App& app, Context& ctx) {
  auto* boot = app.add_subcommand("boot", "start the service host and run the programs of \\Windows\\StartUp");
  boot->add_option("--wait", opts.waitMs, "host milliseconds to wait for each start-up program to end")
      ->check(CLI::Range(0, 3600000));
  boot->callback([&ctx] { ctx.status = cmdBoot(ctx.root, opts.waitMs); });
  app.add_subcommand("shutdown", "stop every service (their Deinit runs) and the service host")->callback([&ctx] {
    ctx.status = cmdShutdown(ctx.root);
  });
  app.add_subcommand("status",
                     "show whether the device is booted, the services it runs and the windows told of changes")->callback([&ctx] {
    ctx.status = cmdStatus(ctx.root);
  });
}

}  // namespace nxdevice
