// Processes: programs of the device started as host processes, the device's
// process table as the tool-help snapshot, and ending a process by handle.
// A process is named by pid plus its kernel start time, and signalled through
// a pidfd where the kernel has one, so a reused pid is never hit.
#include "ce/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ce/base.h"
#include "ce/text.h"
#include "device.h"
#include "handles.h"
#include "paths.h"
#include "program_map.h"

extern char** environ;

namespace ce::detail {
namespace {

constexpr size_t kMaxCommandLine = 32767;
constexpr int kTerminateWaitMs = 2000;

// What this process knows of a process it holds handles to; shared by all
// of its handles so that a code given to TerminateProcess through one is
// what GetExitCodeProcess reports through another.
struct ProcState {
  int handles = 0;
  bool child = false;
  bool ended = false;
  bool terminated = false;
  DWORD code = 0;
};

struct Registry {
  std::mutex mu;
  std::map<std::pair<int, uint64_t>, ProcState> states;
  std::set<int> unreaped;  // children started here and not reaped yet
};

Registry& registry() {
  static Registry* r = new Registry;  // handles may be closed from static destructors
  return *r;
}


int pidfdOpen(int pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

int pidfdSignal(int pidfd, int sig) {
#ifdef SYS_pidfd_send_signal
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// Children whose handles were all closed while they ran are reaped here,
// whenever the layer next looks at processes; nothing ever blocks on them.
void reapOrphans(Registry& r) {
  for (auto it = r.unreaped.begin(); it != r.unreaped.end();) {
    bool held = false;
    for (auto& [key, st] : r.states)
      if (key.first == *it && st.child) held = true;
    int status = 0;
    pid_t rc = held ? 0 : ::waitpid(*it, &status, WNOHANG);
    if (rc == *it || (rc < 0 && errno == ECHILD))
      it = r.unreaped.erase(it);
    else
      ++it;
  }
}

// Checks whether the process has ended; the registry lock is held.
bool pollLocked(Registry& r, ProcessObject& obj, ProcState& st) {
  if (st.ended) return true;
  if (st.child) {
    int status = 0;
    pid_t rc = ::waitpid(obj.pid, &status, WNOHANG);
    if (rc == obj.pid) {
      r.unreaped.erase(obj.pid);
      st.ended = true;
      if (WIFEXITED(status)) {
        // It finished by itself before a kill could land.
        st.code = static_cast<DWORD>(WEXITSTATUS(status));
        st.terminated = false;
      } else if (WIFSIGNALED(status) && !(st.terminated && WTERMSIG(status) == SIGKILL)) {
        st.code = static_cast<DWORD>(128 + WTERMSIG(status));
        st.terminated = false;
      }
    } else if (rc < 0 && errno == ECHILD) {
      // Reaped elsewhere (a SIGCHLD handler of the host program): only the
      // process table can tell.
      r.unreaped.erase(obj.pid);
      if (!procAlive(ProcId{obj.pid, obj.start})) {
        st.ended = true;
        if (!st.terminated) st.code = 0;
      }
    }
  } else if (!procAlive(ProcId{obj.pid, obj.start})) {
    st.ended = true;
    if (!st.terminated) st.code = 0;
  }
  return st.ended;
}

std::vector<std::u16string> splitCommandLine(std::u16string_view s) {
  std::vector<std::u16string> out;
  size_t i = 0;
  const size_t n = s.size();
  for (;;) {
    while (i < n && (s[i] == u' ' || s[i] == u'\t')) ++i;
    if (i >= n) break;
    std::u16string arg;
    bool quoted = false;
    while (i < n) {
      char16_t c = s[i];
      if (!quoted && (c == u' ' || c == u'\t')) break;
      if (c == u'\\') {
        size_t k = 0;
        while (i < n && s[i] == u'\\') ++k, ++i;
        if (i < n && s[i] == u'"') {
          arg.append(k / 2, u'\\');
          if (k % 2) {
            arg.push_back(u'"');
            ++i;
          }
        } else {
          arg.append(k, u'\\');
        }
        continue;
      }
      if (c == u'"') {
        if (quoted && i + 1 < n && s[i + 1] == u'"') {
          arg.push_back(u'"');
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      arg.push_back(c);
      ++i;
    }
    out.push_back(std::move(arg));
  }
  return out;
}

DWORD spawnError(int err) {
  switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    case E2BIG: return ERROR_INVALID_PARAMETER;
    case ENOMEM:
    case EAGAIN: return ERROR_NOT_ENOUGH_MEMORY;
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    default: return ERROR_GEN_FAILURE;
  }
}

// Lists the child in the device's process table at once, so a snapshot
// taken right after CreateProcessW shows it even before it attaches (a
// program that never attaches stays listed while it runs).
void recordChild(int pid, uint64_t start, const std::u16string& image) {
  DeviceState* d = device();
  if (!d) return;
  withSegmentLock(d->seg, [&] {
    ProcessRecord* slot = nullptr;
    for (auto& rec : d->seg->processes) {
      if (rec.pid == pid && rec.start == start) {
        slot = &rec;
        break;
      }
      if (!slot && (rec.pid == 0 || !procAlive(ProcId{rec.pid, rec.start}))) slot = &rec;
    }
    if (!slot) return;
    std::memset(slot->image, 0, sizeof slot->image);
    std::memcpy(slot->image, image.data(), std::min<size_t>(image.size(), MAX_PATH - 1) * sizeof(char16_t));
    slot->start = start;
    slot->pid = pid;
  });
}

HANDLE newProcessHandle(int pid, uint64_t start, int pidfd, bool child) {
  auto obj = std::make_shared<ProcessObject>();
  obj->pid = pid;
  obj->start = start;
  obj->pidfd = pidfd;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mu);
    ProcState& st = r.states[{pid, start}];
    st.child = st.child || child;
    ++st.handles;
  }
  return handleInsert(std::move(obj));
}

struct SnapshotObject : Object {
  Kind kind() const override { return Kind::Snapshot; }
  struct Entry {
    DWORD pid;
    DWORD ppid;
    DWORD threads;
    std::u16string image;
  };
  std::vector<Entry> entries;
  std::mutex mu;
  size_t next = 0;
};

BOOL fillEntry(HANDLE snapshot, PROCESSENTRY32W* entry, bool first) {
  auto snap = handleGetAs<SnapshotObject>(snapshot, Kind::Snapshot);
  if (!snap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!entry) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (entry->dwSize < sizeof(PROCESSENTRY32W)) {
    SetLastError(ERROR_BAD_LENGTH);
    return FALSE;
  }
  std::lock_guard lock(snap->mu);
  if (first) snap->next = 0;
  if (snap->next >= snap->entries.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  const auto& e = snap->entries[snap->next++];
  std::memset(entry, 0, sizeof *entry);
  entry->dwSize = sizeof *entry;
  entry->cntUsage = 1;
  entry->th32ProcessID = e.pid;
  entry->cntThreads = e.threads;
  entry->th32ParentProcessID = e.ppid;
  entry->pcPriClassBase = 3;  // the handset's normal priority class
  std::memcpy(entry->szExeFile, e.image.data(), std::min<size_t>(e.image.size(), MAX_PATH - 1) * sizeof(WCHAR));
  return TRUE;
}

}  // namespace

ProcessObject::~ProcessObject() {
  if (pidfd >= 0) ::close(pidfd);
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  auto it = r.states.find({pid, start});
  if (it != r.states.end()) {
    pollLocked(r, *this, it->second);
    if (--it->second.handles <= 0) r.states.erase(it);
  }
  reapOrphans(r);
}

bool ProcessObject::poll() {
  Registry& r = registry();
  std::lock_guard lock(r.mu);
  ProcState& st = r.states[{pid, start}];
  if (st.handles == 0) st.handles = 1;  // an object made outside newProcessHandle
  bool ended = pollLocked(r, *this, st);
  reaped = ended;
  if (ended) exitCode = static_cast<int>(st.code);
  return ended;
}

}  // namespace ce::detail

namespace ce {

using namespace detail;

BOOL CreateProcessW(LPCWSTR app, LPWSTR cmdLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID,
                    LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION info) {
  if (!app || !*app || !info) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string_view args;
  if (cmdLine) {
    size_t len = 0;
    while (cmdLine[len]) {
      if (++len > kMaxCommandLine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
      }
    }
    args = std::u16string_view(cmdLine, len);
  }
  ResolvedPath rp;
  if (!resolvePath(app, rp)) return FALSE;
  // A program the device maps to a host program runs that program instead.
  const std::string mapped = rp.mount == Mount::Root ? mappedProgram(rp.device) : std::string();
  if (!rp.lastExists && mapped.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  // The program is executed through this descriptor, so the file checked here
  // is the one that runs even if its path is swapped for a link meanwhile.
  int fd = mapped.empty() ? openResolved(rp, O_PATH | O_CLOEXEC) : ::open(mapped.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : errnoToError(errno));
    return FALSE;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }

  std::vector<std::string> argv{mapped.empty() ? rp.host : mapped};
  for (auto& a : splitCommandLine(args)) argv.push_back(utf16ToUtf8(a));
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "NX_DEVICE_ROOT=", 15) == 0 || std::strncmp(*e, "NX_MODULE_PATH=", 15) == 0) continue;
    env.emplace_back(*e);
  }
  env.push_back("NX_DEVICE_ROOT=" + DeviceRoot());
  env.push_back("NX_MODULE_PATH=" + utf16ToUtf8(rp.device));
  std::vector<char*> av, ev;
  for (auto& a : argv) av.push_back(a.data());
  av.push_back(nullptr);
  for (auto& e : env) ev.push_back(e.data());
  ev.push_back(nullptr);

  // A host program is run by its path, so that a script can name it to its interpreter.
  std::string exe = mapped.empty() ? "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd) : mapped;
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, av.data(), ev.data());
  ::close(fd);
  if (rc != 0) {
    SetLastError(spawnError(rc));
    return FALSE;
  }
  ProcStat ps;
  readProcStat(pid, ps);  // it cannot be reaped before we wait for it, so this succeeds
  {
    Registry& r = registry();
    std::lock_guard lock(r.mu);
    // Marked as held before any reaping pass can see it: a quick program
    // reaped before its handle exists would lose its exit code.
    r.states[{pid, ps.start}].child = true;
    r.unreaped.insert(pid);
    reapOrphans(r);
  }
  recordChild(pid, ps.start, rp.device);
  int pidfd = pidfdOpen(pid);
  HANDLE h = newProcessHandle(pid, ps.start, pidfd, true);
  if (!h) {
    // Out of handles: the program runs on, unowned, and is reaped later.
    return FALSE;
  }
  info->hProcess = h;
  info->hThread = nullptr;
  info->dwProcessId = static_cast<DWORD>(pid);
  info->dwThreadId = static_cast<DWORD>(pid);
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  auto obj = handleGetAs<ProcessObject>(process, Kind::Process);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *exitCode = obj->poll() ? static_cast<DWORD>(obj->exitCode) : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  auto obj = handleGetAs<ProcessObject>(process, Kind::Process);
  if (!obj) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (obj->pid == ::getpid()) ::_exit(static_cast<int>(exitCode & 0xFF));
  Registry& r = registry();
  {
    std::lock_guard lock(r.mu);
    ProcState& st = r.states[{obj->pid, obj->start}];
    if (pollLocked(r, *obj, st)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    int sent;
    if (obj->pidfd >= 0)
      sent = pidfdSignal(obj->pidfd, SIGKILL);
    else if (st.child || procAlive(ProcId{obj->pid, obj->start}))  // an unreaped child's pid cannot be reused
      sent = ::kill(obj->pid, SIGKILL);
    else
      sent = -1, errno = ESRCH;
    if (sent != 0) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    st.terminated = true;
    st.code = exitCode;
  }
  // SIGKILL is delivered at once but the process takes a moment to go; a
  // caller that deletes its file next should not find it still running.
  timespec t0{};
  ::clock_gettime(CLOCK_MONOTONIC, &t0);
  for (;;) {
    if (obj->poll()) break;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    long elapsedMs = (now.tv_sec - t0.tv_sec) * 1000 + (now.tv_nsec - t0.tv_nsec) / 1000000;
    if (elapsedMs >= kTerminateWaitMs) break;
    if (obj->pidfd >= 0) {
      pollfd p{obj->pidfd, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(kTerminateWaitMs - elapsedMs));
    } else {
      ::usleep(1000);
    }
  }
  return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
  int pid = static_cast<int>(processId);
  if (pid <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DeviceState* d = device();
  if (!d) return nullptr;
  uint64_t start = 0;
  bool found = withSegmentLock(d->seg, [&] {
    for (auto& rec : d->seg->processes) {
      if (rec.pid == pid && procAlive(ProcId{rec.pid, rec.start})) {
        start = rec.start;
        return true;
      }
    }
    return false;
  });
  if (!found) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int pidfd = pidfdOpen(pid);
  // The pid may have been reused between the table and the pidfd.
  if (!procAlive(ProcId{pid, start})) {
    if (pidfd >= 0) ::close(pidfd);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool child;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mu);
    child = r.unreaped.count(pid) != 0;
  }
  return newProcessHandle(pid, start, pidfd, child);
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
  if (!(flags & TH32CS_SNAPPROCESS)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  DeviceState* d = device();
  if (!d) return INVALID_HANDLE_VALUE;
  struct Raw {
    ProcId id;
    std::u16string image;
  };
  std::vector<Raw> raw;
  withSegmentLock(d->seg, [&] {
    for (auto& rec : d->seg->processes) {
      if (rec.pid == 0) continue;
      size_t len = 0;
      while (len < MAX_PATH && rec.image[len]) ++len;
      raw.push_back(Raw{ProcId{rec.pid, rec.start}, std::u16string(rec.image, len)});
    }
  });
  auto snap = std::make_shared<SnapshotObject>();
  for (auto& r : raw) {
    ProcStat ps;
    if (!readProcStat(r.id.pid, ps) || ps.start != r.id.start || ps.state == 'Z' || ps.state == 'X') continue;
    snap->entries.push_back({static_cast<DWORD>(r.id.pid), static_cast<DWORD>(ps.ppid),
                             static_cast<DWORD>(ps.threads > 0 ? ps.threads : 1), std::move(r.image)});
  }
  HANDLE h = handleInsert(std::move(snap));
  return h ? h : INVALID_HANDLE_VALUE;
}

BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry) { return fillEntry(snapshot, entry, true); }
BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry) { return fillEntry(snapshot, entry, false); }
BOOL CloseToolhelp32Snapshot(HANDLE snapshot) {
  if (!handleGetAs<SnapshotObject>(snapshot, Kind::Snapshot)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return CloseHandle(snapshot);
}

}  // namespace ce
