// Kernel-object commands of the helper process: the other side of the
// cross-process event, queue, mutex, timer and kill tests.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "ce/kernel.h"
#include "helper_commands.h"

namespace {

std::u16string wide(const char* s) { return std::u16string(s, s + std::char_traits<char>::length(s)); }

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// Blocks until the test writes a line (or closes our stdin).
void awaitGoAhead() {
  char buf[64];
  if (!std::fgets(buf, sizeof buf, stdin)) return;
}

// The guard's queue options.
ce::MSGQUEUEOPTIONS guardOptions(bool read, ce::DWORD flags = ce::MSGQUEUE_ALLOW_BROKEN) {
  return ce::MSGQUEUEOPTIONS{sizeof(ce::MSGQUEUEOPTIONS), flags, 20, 541, read ? ce::TRUE : ce::FALSE};
}

}  // namespace

// kevent_wait NAME MS: opens the event, says "ready", waits and prints the result.
HELPER_COMMAND(kevent_wait) {
  if (argc < 2) return 2;
  ce::HANDLE h = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, wide(argv[0]).c_str());
  if (!h) return 3;
  say("ready");
  say(std::to_string(ce::WaitForSingleObject(h, static_cast<ce::DWORD>(std::strtoul(argv[1], nullptr, 10)))));
  ce::CloseHandle(h);
  return 0;
}

// kevent_set NAME: opens the event and sets it; 3 (and the last error) when it does not exist.
HELPER_COMMAND(kevent_set) {
  if (argc < 1) return 2;
  ce::HANDLE h = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, wide(argv[0]).c_str());
  if (!h) {
    say("error " + std::to_string(ce::GetLastError()));
    return 3;
  }
  return ce::SetEvent(h) ? 0 : 4;
}

// kevent_create NAME: creates (or opens) a manual-reset event, prints the last
// error, holds it until told to go on.
HELPER_COMMAND(kevent_create) {
  if (argc < 1) return 2;
  ce::HANDLE h = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, wide(argv[0]).c_str());
  if (!h) return 3;
  say("created " + std::to_string(ce::GetLastError()));
  awaitGoAhead();
  return 0;
}

// kwait_any TIMEOUT NAME...: waits for any of the named events, printing each
// index won until a wait times out (then prints "timeout").
HELPER_COMMAND(kwait_any) {
  if (argc < 2) return 2;
  ce::DWORD ms = static_cast<ce::DWORD>(std::strtoul(argv[0], nullptr, 10));
  std::vector<ce::HANDLE> hs;
  for (int i = 1; i < argc; ++i) {
    ce::HANDLE h = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, wide(argv[i]).c_str());
    if (!h) return 3;
    hs.push_back(h);
  }
  for (;;) {
    ce::DWORD r = ce::WaitForMultipleObjects(static_cast<ce::DWORD>(hs.size()), hs.data(), ce::FALSE, ms);
    if (r == ce::WAIT_TIMEOUT) break;
    if (r >= hs.size()) return 4;
    say(std::to_string(r));
  }
  say("timeout");
  return 0;
}

// kqueue_send NAME COUNT SIZE: sends COUNT messages of SIZE bytes the way the
// guard's senders do (open the write end, zero-time-out wait, write, close),
// stopping at the first full queue. Prints "full I" then "sent N".
HELPER_COMMAND(kqueue_send) {
  if (argc < 3) return 2;
  int count = std::atoi(argv[1]);
  ce::DWORD size = static_cast<ce::DWORD>(std::strtoul(argv[2], nullptr, 10));
  int sent = 0;
  for (int i = 0; i < count; ++i) {
    auto opts = guardOptions(false);
    ce::HANDLE q = ce::CreateMsgQueue(wide(argv[0]).c_str(), &opts);
    if (!q) return 3;
    if (ce::WaitForSingleObject(q, 0) != ce::WAIT_OBJECT_0) {
      ce::CloseMsgQueue(q);
      say("full " + std::to_string(i));
      break;
    }
    std::vector<unsigned char> msg(size, static_cast<unsigned char>(i));
    bool ok = ce::WriteMsgQueue(q, msg.data(), size, ce::INFINITE, 0);
    ce::CloseMsgQueue(q);
    if (!ok) return 4;
    ++sent;
  }
  say("sent " + std::to_string(sent));
  return 0;
}

// kqueue_hold NAME read|write [broken]: holds one end of a queue until killed.
HELPER_COMMAND(kqueue_hold) {
  if (argc < 2) return 2;
  bool read = std::string(argv[1]) == "read";
  ce::DWORD flags = argc > 2 ? ce::MSGQUEUE_ALLOW_BROKEN : 0;
  auto opts = guardOptions(read, flags);
  ce::HANDLE q = ce::CreateMsgQueue(wide(argv[0]).c_str(), &opts);
  if (!q) return 3;
  say("open");
  awaitGoAhead();
  return 0;
}

// kmutex_hold NAME: owns the named mutex until killed or told to go on (then
// ends without releasing it).
HELPER_COMMAND(kmutex_hold) {
  if (argc < 1) return 2;
  ce::HANDLE m = ce::CreateMutexW(nullptr, ce::FALSE, wide(argv[0]).c_str());
  if (!m) return 3;
  if (ce::WaitForSingleObject(m, 10000) != ce::WAIT_OBJECT_0) return 4;
  say("owned");
  awaitGoAhead();
  return 0;
}

// klock_hold: takes the device-wide kernel-object lock and keeps it until killed.
HELPER_COMMAND(klock_hold) {
  ce::diag::LockKernelObjectsAndKeep();
  say("locked");
  awaitGoAhead();
  return 0;
}

// krunat NAME SECONDS: asks for the named event to be set SECONDS device
// seconds from now (negative: cancels) and ends at once.
HELPER_COMMAND(krunat) {
  if (argc < 2) return 2;
  std::u16string app = u"\\\\.\\Notifications\\NamedEvents\\" + wide(argv[0]);
  long secs = std::strtol(argv[1], nullptr, 10);
  if (secs < 0) return ce::CeRunAppAtTime(app.c_str(), nullptr) ? 0 : 3;
  ce::SYSTEMTIME st;
  ce::GetLocalTime(&st);
  ce::FILETIME ft;
  ce::SystemTimeToFileTime(&st, &ft);
  uint64_t v = (static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) + static_cast<uint64_t>(secs) * 10000000ull;
  ft.dwLowDateTime = static_cast<ce::DWORD>(v);
  ft.dwHighDateTime = static_cast<ce::DWORD>(v >> 32);
  ce::FileTimeToSystemTime(&ft, &st);
  return ce::CeRunAppAtTime(app.c_str(), &st) ? 0 : 3;
}
