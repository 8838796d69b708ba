// A test program installed in place of "scanner.exe": appends its command
// line to "\Temp\scanner-args.txt" on the device that started it.
#include <string>

#include "ce/ce.h"

int main(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) line += (i > 1 ? " " : "") + std::string(argv[i]);
  line += "\n";
  ce::CreateDirectoryW(u"\\Temp", nullptr);
  ce::HANDLE f = ce::CreateFileW(u"\\Temp\\scanner-args.txt", ce::GENERIC_WRITE, 0, nullptr, ce::OPEN_ALWAYS, 0,
                                 nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return 1;
  ce::SetFilePointer(f, 0, nullptr, ce::FILE_END);
  ce::DWORD put = 0;
  ce::WriteFile(f, line.data(), static_cast<ce::DWORD>(line.size()), &put, nullptr);
  ce::CloseHandle(f);
  return 0;
}
