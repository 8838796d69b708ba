// A stand-in for updengine.dll with the engine's three exports, for the
// update service's tests: every call is written as a line to
// "\Temp\updengine_test.log" with the device's local time (100-ns file time),
// so a test sees when each update ran and how the service called it.
//
// UpdateNow answers 1, or 0 when "\Temp\updengine_test.ret" begins with "0".
// While the named event "UpdTest.Release" exists and is clear, UpdateNow sets
// "UpdTest.Holding" and waits for it: a test keeps an update under way.
#include <cstdio>
#include <string>

#include "ce/ce.h"
#include "nyxel/updengine.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

uint64_t localNow() {
  ce::SYSTEMTIME st;
  ce::GetLocalTime(&st);
  ce::FILETIME ft;
  ce::SystemTimeToFileTime(&st, &ft);
  return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void logLine(const std::string& what) {
  char head[64];
  std::snprintf(head, sizeof head, "%llu ", static_cast<unsigned long long>(localNow()));
  const std::string line = head + what + "\n";
  ce::HANDLE h = ce::CreateFileW(u"\\Temp\\updengine_test.log", ce::GENERIC_WRITE, ce::FILE_SHARE_READ, nullptr,
                                 ce::OPEN_ALWAYS, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return;
  ce::SetFilePointer(h, 0, nullptr, ce::FILE_END);
  ce::DWORD put = 0;
  ce::WriteFile(h, line.data(), static_cast<ce::DWORD>(line.size()), &put, nullptr);
  ce::CloseHandle(h);
}

int32_t answer() {
  ce::HANDLE h = ce::CreateFileW(u"\\Temp\\updengine_test.ret", ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr,
                                 ce::OPEN_EXISTING, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return 1;
  char c = '1';
  ce::DWORD got = 0;
  ce::ReadFile(h, &c, 1, &got, nullptr);
  ce::CloseHandle(h);
  return got == 1 && c == '0' ? 0 : 1;
}

}  // namespace

TEST_EXPORT int32_t Init() {
  logLine("init");
  return 1;
}

TEST_EXPORT int32_t UpdateNow(const NxWChar* installDir, NxUpdateCallback callback, void* context,
                              uint32_t* status) {
  std::string args = "run dir=" + (installDir ? ce::utf16ToUtf8(std::u16string(installDir)) : std::string("-")) +
                     " callback=" + (callback ? "yes" : "none") + " context=" + (context ? "yes" : "none") +
                     " status=" + (status ? "yes" : "none");
  logLine(args);
  if (ce::HANDLE release = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, u"UpdTest.Release")) {
    if (ce::HANDLE holding = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, u"UpdTest.Holding")) {
      ce::SetEvent(holding);
      ce::CloseHandle(holding);
    }
    ce::WaitForSingleObject(release, ce::INFINITE);
    ce::CloseHandle(release);
  }
  if (status) *status = 0;
  const int32_t r = answer();
  logLine("end " + std::to_string(r));
  return r;
}

TEST_EXPORT int32_t DeInit() {
  logLine("deinit");
  return 1;
}
