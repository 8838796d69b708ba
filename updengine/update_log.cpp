#include "updengine/update_log.h"

#include <cstdarg>
#include <mutex>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "ce/time.h"

namespace nx::upd::log {

using namespace ce;

namespace {

std::mutex g_mu;
std::u16string g_installDir;

}  // namespace

void setInstallDir(const std::u16string& installDir) {
  std::lock_guard lock(g_mu);
  g_installDir = installDir;
}

void write(unsigned level, const WCHAR* function, const WCHAR* fmt, ...) {
  if (!(level & kMask) || !function || !fmt) return;
  va_list ap;
  va_start(ap, fmt);
  std::u16string message = vformat16(fmt, ap);
  va_end(ap);
  SYSTEMTIME t;
  GetLocalTime(&t);
  WCHAR head[64];
  int n = format16(head, 64, u"%u:%u:%u:%08X:%-12s ", unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond),
                   unsigned(GetCurrentThreadId()), u"updengine.exe");
  if (n <= 0) return;
  std::u16string line(head, static_cast<size_t>(n));
  line += function;
  line += u' ';
  line += message;
  line += u"\r\n";

  std::lock_guard lock(g_mu);
  if (g_installDir.empty()) return;
  const std::u16string folder = g_installDir + u"\\Log";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::u16string path = folder + u"\\updengine.log";
  // Other processes are not waited for: a line that finds the file busy is dropped.
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  SetFilePointer(f, 0, nullptr, FILE_END);
  std::string bytes(line.size() * 2, '\0');
  for (size_t i = 0; i < line.size(); ++i) {
    bytes[2 * i] = static_cast<char>(line[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(line[i] >> 8);
  }
  DWORD put = 0;
  WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
  CloseHandle(f);
}

}  // namespace nx::upd::log
