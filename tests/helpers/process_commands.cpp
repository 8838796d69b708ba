// Helper commands for the module and process tests.
#include <errno.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "ce/ce.h"
#include "ce/module.h"
#include "ce/process.h"
#include "helper_commands.h"

namespace {

std::u16string wide(const char* s) { return ce::utf8ToUtf16(s); }

}  // namespace

// modinfo OUTFILE ARGS...: writes its module file name, its argv[0] and its
// arguments, one a line, to the host file OUTFILE (complete once it exists).
HELPER_COMMAND(modinfo) {
  if (argc < 1) return 2;
  ce::WCHAR name[ce::MAX_PATH];
  ce::DWORD n = ce::GetModuleFileNameW(nullptr, name, ce::MAX_PATH);
  std::string tmp = std::string(argv[0]) + ".part";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (!f) return 3;
  std::fprintf(f, "%s\n%s\n", ce::utf16ToUtf8(std::u16string_view(name, n)).c_str(), program_invocation_name);
  for (int i = 1; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
  std::fclose(f);
  return std::rename(tmp.c_str(), argv[0]) == 0 ? 0 : 3;
}

// idle READYFILE: creates READYFILE, then runs until it is killed.
HELPER_COMMAND(idle) {
  if (argc >= 1) {
    if (FILE* f = std::fopen(argv[0], "w")) std::fclose(f);
  }
  for (;;) ::pause();
}

// exitwith CODE: ends with that exit code.
HELPER_COMMAND(exitwith) { return argc >= 1 ? std::atoi(argv[0]) : 0; }

// openwrite DEVICEPATH: tries to open the file for writing; prints "ok" or
// the error code.
HELPER_COMMAND(openwrite) {
  if (argc < 1) return 2;
  std::u16string path = wide(argv[0]);
  ce::HANDLE h = ce::CreateFileW(path.c_str(), ce::GENERIC_WRITE, 0, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) {
    std::printf("%u\n", ce::GetLastError());
  } else {
    std::printf("ok\n");
    ce::CloseHandle(h);
  }
  return 0;
}

// loadhold DEVICEPATH: loads the module, prints "loaded VERSION" (or "error
// CODE"), waits for a line on stdin, frees it and prints "freed".
HELPER_COMMAND(loadhold) {
  if (argc < 1) return 2;
  std::u16string path = wide(argv[0]);
  ce::HMODULE h = ce::LoadLibraryW(path.c_str());
  if (!h) {
    std::printf("error %u\n", ce::GetLastError());
    std::fflush(stdout);
    return 1;
  }
  auto version = reinterpret_cast<int (*)()>(ce::GetProcAddress(h, "ModuleVersion"));
  std::printf("loaded %d\n", version ? version() : -1);
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
  ce::FreeLibrary(h);
  std::printf("freed\n");
  std::fflush(stdout);
  return 0;
}
