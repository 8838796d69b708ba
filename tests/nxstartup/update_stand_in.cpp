// Stands in for updsvc.dll in the boot program's tests: UPD_Init appends the
// device tick at which the service host started it to "\Temp\upd-init.txt".
#include <string>

#include "ce/ce.h"

extern "C" {

__attribute__((visibility("default"))) ce::DWORD UPD_Init(ce::DWORD context) {
  const std::string line = std::to_string(ce::GetTickCount()) + "\n";
  ce::HANDLE h = ce::CreateFileW(u"\\Temp\\upd-init.txt", ce::GENERIC_WRITE, ce::FILE_SHARE_READ, nullptr,
                                 ce::OPEN_ALWAYS, 0, nullptr);
  if (h != ce::INVALID_HANDLE_VALUE) {
    ce::SetFilePointer(h, 0, nullptr, ce::FILE_END);
    ce::DWORD n = 0;
    ce::WriteFile(h, line.data(), static_cast<ce::DWORD>(line.size()), &n, nullptr);
    ce::CloseHandle(h);
  }
  return context + 1;
}

__attribute__((visibility("default"))) ce::BOOL UPD_Deinit(ce::DWORD) { return ce::TRUE; }

}  // extern "C"
