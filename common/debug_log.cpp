#include "common/debug_log.h"

#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/module.h"
#include "ce/text.h"
#include "ce/time.h"

namespace nx {

using namespace ce;

namespace {

// "<directory of the program>\nxdebug.log", or the bare name when the
// program's path cannot be had.
void logPath(WCHAR (&out)[MAX_PATH]) {
  static constexpr WCHAR kName[] = u"nxdebug.log";
  std::memcpy(out, kName, sizeof kName);
  WCHAR exe[MAX_PATH + 1];
  DWORD len = GetModuleFileNameW(nullptr, exe, MAX_PATH + 1);
  if (len == 0 || len > MAX_PATH) return;
  WCHAR* slash = nullptr;
  for (WCHAR* p = exe; *p; ++p)
    if (*p == u'\\') slash = p;
  if (!slash) return;
  size_t dirLen = static_cast<size_t>(slash - exe) + 1;
  if (dirLen + sizeof kName / sizeof(WCHAR) > MAX_PATH) return;
  std::memcpy(out, exe, dirLen * sizeof(WCHAR));
  std::memcpy(out + dirLen, kName, sizeof kName);
}

}  // namespace

void appendDebugLogLine(const WCHAR* text) {
  if (!text) return;
  WCHAR path[MAX_PATH];
  logPath(path);
  SYSTEMTIME t;
  GetLocalTime(&t);
  std::u16string line = format16(u"%u:%u:%u:%08X: ", unsigned(t.wHour), unsigned(t.wMinute),
                                 unsigned(t.wSecond), unsigned(GetCurrentThreadId()));
  line += text;
  line += u"\r\n";
  std::string bytes(line.size() * 2, '\0');
  for (size_t i = 0; i < line.size(); ++i) {
    bytes[2 * i] = static_cast<char>(line[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(line[i] >> 8);
  }
  // The log is opened without sharing, as every writer opens it: another
  // writer of this process holds it for a moment only.
  for (int attempt = 0; attempt < 20; ++attempt) {
    HANDLE f = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
      if (GetLastError() != ERROR_SHARING_VIOLATION) return;
      Sleep(5);
      continue;
    }
    SetFilePointer(f, 0, nullptr, FILE_END);
    DWORD put = 0;
    WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    CloseHandle(f);
    return;
  }
}

}  // namespace nx
