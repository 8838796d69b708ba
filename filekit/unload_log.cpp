// The wrapper's own line writer for its unload warnings. It runs while the
// library is being torn down, so it depends on nothing but the platform's
// file calls: bare UTF-16 lines (no time or thread prefix) appended to
// "nxdebug.log" at the root of the device.
#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "filekit/file_wrap.h"

namespace filekit {

void writeUnloadLine(const char16_t* text) {
  if (!text) return;
  const ce::DWORD err = ce::GetLastError();
  ce::HANDLE f = ce::CreateFileW(u"\\nxdebug.log", ce::GENERIC_WRITE, 0, nullptr, ce::OPEN_ALWAYS,
                                 ce::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f != ce::INVALID_HANDLE_VALUE) {
    if (ce::SetFilePointer(f, 0, nullptr, ce::FILE_END) != ce::INVALID_SET_FILE_POINTER) {
      ce::DWORD written = 0;
      const auto bytes = static_cast<ce::DWORD>(ce::wcslen16(text) * sizeof(char16_t));
      if (ce::WriteFile(f, text, bytes, &written, nullptr) && written == bytes)
        ce::WriteFile(f, u"\r\n", 2 * sizeof(char16_t), &written, nullptr);
    }
    ce::CloseHandle(f);
  }
  ce::SetLastError(err);
}

}  // namespace filekit
