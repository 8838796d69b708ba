#include <cstdio>
#include <iostream>
#include <string>

#include "ce/ce.h"
#include "helper_commands.h"

namespace {
std::u16string wide(const char* s) { return ce::utf8ToUtf16(s); }
}  // namespace

// open PATH ACCESS SHARE: opens a file with the given access ("r", "w", "rw")
// and share mask (decimal), prints "open <lastError>" or "fail <lastError>",
// then holds it until a line arrives on stdin.
HELPER_COMMAND(open) {
  if (argc < 3) return 2;
  std::string acc = argv[1];
  ce::DWORD access = (acc.find('r') != std::string::npos ? ce::GENERIC_READ : 0) |
                     (acc.find('w') != std::string::npos ? ce::GENERIC_WRITE : 0);
  ce::DWORD share = static_cast<ce::DWORD>(std::stoul(argv[2]));
  ce::HANDLE h = ce::CreateFileW(wide(argv[0]).c_str(), access, share, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) {
    std::printf("fail %u\n", ce::GetLastError());
    std::fflush(stdout);
    return 1;
  }
  std::printf("open %u\n", ce::GetLastError());
  std::fflush(stdout);
  std::string line;
  std::getline(std::cin, line);
  ce::CloseHandle(h);
  return 0;
}

// delete PATH: prints "ok" or "fail <lastError>".
HELPER_COMMAND(delete) {
  if (argc < 1) return 2;
  if (ce::DeleteFileW(wide(argv[0]).c_str())) {
    std::printf("ok\n");
    return 0;
  }
  std::printf("fail %u\n", ce::GetLastError());
  return 1;
}
