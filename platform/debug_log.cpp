// The debug log: a plain UTF-16LE trace for developers, appended to and never
// read by the system. Every writer of the process goes through one lock so
// that lines of different threads never interleave; other processes are not
// coordinated, and since the file is opened without sharing, a write that
// finds it busy elsewhere is dropped rather than waited for.
#include <cstring>
#include <new>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/module.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/rwlock.h"
#include "platform/platform_internal.h"

namespace nx::plat {
namespace {

using namespace ce;

constexpr int kLocalTextChars = 1040;
constexpr WCHAR kLineEnd[] = u"\r\n";

RwLock g_logLock;

bool writeAll(HANDLE f, const WCHAR* text, size_t chars) {
  if (chars > 0x7FFFFFFFu / sizeof(WCHAR)) return false;
  DWORD want = static_cast<DWORD>(chars * sizeof(WCHAR));
  DWORD written = 0;
  return WriteFile(f, text, want, &written, nullptr) && written == want;
}

enum class Form { Line, Text, Error };

void write(const WCHAR* logPath, const WCHAR* text, Form form, int number) {
  if (!logPath || !text) return;
  RwLockHold hold(g_logLock, true);
  if (!hold.held()) return;
  HANDLE f = CreateFileW(logPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  SetFilePointer(f, 0, nullptr, FILE_END);
  switch (form) {
    case Form::Line: {
      SYSTEMTIME t;
      GetLocalTime(&t);
      WCHAR prefix[80];
      int n = format16(prefix, 80, u"%u:%u:%u", unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond));
      // Each part only after the one before it went down whole, so a line
      // never carries text under a broken prefix.
      if (n <= 0 || !writeAll(f, prefix, n)) break;
      n = format16(prefix, 80, u":%08X: ", unsigned(GetCurrentThreadId()));
      if (n <= 0 || !writeAll(f, prefix, n)) break;
      if (!writeAll(f, text, wcslen16(text))) break;
      writeAll(f, kLineEnd, 2);
      break;
    }
    case Form::Error: {
      writeAll(f, text, wcslen16(text));
      WCHAR num[16];
      int n = format16(num, 16, u"%d", number);
      if (n > 0) writeAll(f, num, n);
      writeAll(f, kLineEnd, 2);
      break;
    }
    case Form::Text:
      writeAll(f, text, wcslen16(text));
      break;
  }
  CloseHandle(f);
}

}  // namespace

void logLine(const WCHAR* logPath, const WCHAR* text) { write(logPath, text, Form::Line, 0); }
void logText(const WCHAR* logPath, const WCHAR* text) { write(logPath, text, Form::Text, 0); }
void logError(const WCHAR* logPath, const WCHAR* text, int number) { write(logPath, text, Form::Error, number); }

void withWideText(const char* text, void (*fn)(const WCHAR*, const WCHAR*), const WCHAR* logPath) {
  if (!text || !logPath) return;
  size_t len = std::strlen(text);
  if (len + 1 <= kLocalTextChars) {
    WCHAR local[kLocalTextChars];
    if (toWide(text, local, kLocalTextChars)) fn(logPath, local);
    return;
  }
  if (len >= 0x7FFFFFFFu / sizeof(WCHAR)) return;
  WCHAR* heap = new (std::nothrow) WCHAR[len + 1];
  if (!heap) return;
  if (toWide(text, heap, static_cast<int>(len + 1))) fn(logPath, heap);
  delete[] heap;
}

void initLogFileName(WCHAR* name) {
  WCHAR exe[MAX_PATH + 1];
  DWORD len = GetModuleFileNameW(nullptr, exe, MAX_PATH + 1);
  if (len == 0 || len > MAX_PATH) return;
  WCHAR* slash = nullptr;
  for (WCHAR* p = exe; *p; ++p)
    if (*p == u'\\') slash = p;
  if (!slash) return;
  static constexpr WCHAR kName[] = u"nxdebug.log";
  size_t dirLen = static_cast<size_t>(slash - exe) + 1;
  // A program so deep that the log name does not fit keeps the bare name
  // instead of writing into some other folder's file.
  if (dirLen + (sizeof kName / sizeof(WCHAR)) > MAX_PATH) return;
  std::memcpy(name, exe, dirLen * sizeof(WCHAR));
  std::memcpy(name + dirLen, kName, sizeof kName);
}

}  // namespace nx::plat
