// The two sides of the guard's ignore messages in a process of their own:
// a reader holding the read end of "OlnMsgQueue" as the guard does, and a
// sender calling the ignore exports of a platform.dll loaded from the device.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ce/ce.h"
#include "ce/kernel.h"
#include "ce/module.h"
#include "helper_commands.h"

namespace {

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void awaitGoAhead() {
  char buf[64];
  if (!std::fgets(buf, sizeof buf, stdin)) return;
}

ce::MSGQUEUEOPTIONS guardReadOptions() {
  return ce::MSGQUEUEOPTIONS{sizeof(ce::MSGQUEUEOPTIONS), ce::MSGQUEUE_ALLOW_BROKEN, 20, 541, ce::TRUE};
}

}  // namespace

// oln_listen MS: holds the read end of "OlnMsgQueue", says "ready", and after
// each go-ahead line prints every message waiting ("msg TEXT", "bytes N" when
// the bytes are not a terminated UTF-16 text) followed by "end"; a message is
// awaited up to MS device milliseconds before "end". Stops when stdin closes.
HELPER_COMMAND(oln_listen) {
  if (argc < 1) return 2;
  ce::DWORD ms = static_cast<ce::DWORD>(std::strtoul(argv[0], nullptr, 10));
  auto opts = guardReadOptions();
  ce::HANDLE q = ce::CreateMsgQueue(u"OlnMsgQueue", &opts);
  if (!q) return 3;
  say("ready");
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
    ce::DWORD wait = ms;
    for (;;) {
      char16_t buf[270] = {};  // the guard reads into 540 bytes
      ce::DWORD got = 0, flags = 0;
      if (!ce::ReadMsgQueue(q, buf, 540, &got, wait, &flags)) break;
      wait = 0;
      if (got >= 2 && got % 2 == 0 && buf[got / 2 - 1] == 0)
        say("msg " + ce::utf16ToUtf8(std::u16string(buf, got / 2 - 1)));
      else
        say("bytes " + std::to_string(got));
    }
    say("end");
  }
  ce::CloseMsgQueue(q);
  return 0;
}

// oln_hold: holds the read end without ever reading, until told to go on.
HELPER_COMMAND(oln_hold) {
  auto opts = guardReadOptions();
  ce::HANDLE q = ce::CreateMsgQueue(u"OlnMsgQueue", &opts);
  if (!q) return 3;
  say("ready");
  awaitGoAhead();
  ce::CloseMsgQueue(q);
  return 0;
}

// oln_call DLL EXPORT PATH [COUNT]: loads the module at the device path DLL,
// calls EXPORT (an int (const WCHAR*) such as IgnoreFile) COUNT times with
// PATH ("-" for a null path) and prints "result R" for each call.
HELPER_COMMAND(oln_call) {
  if (argc < 3) return 2;
  ce::HMODULE m = ce::LoadLibraryW(ce::utf8ToUtf16(argv[0]).c_str());
  if (!m) {
    say("load error " + std::to_string(ce::GetLastError()));
    return 3;
  }
  auto fn = reinterpret_cast<int (*)(const char16_t*)>(ce::GetProcAddress(m, argv[1]));
  if (!fn) return 4;
  std::u16string path = ce::utf8ToUtf16(argv[2]);
  int count = argc > 3 ? std::atoi(argv[3]) : 1;
  for (int i = 0; i < count; ++i) say("result " + std::to_string(fn(path == u"-" ? nullptr : path.c_str())));
  ce::FreeLibrary(m);
  return 0;
}
