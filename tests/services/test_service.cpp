// A service library for the service host's tests. Its families TSV and TSW
// journal every call to "\Temp\services.log" in the device; what TSV_Init
// does is chosen by its context:
//   0                 answers 0 (fails) without a last error
//   0xE000xxxx        fails with the last error xxxx
//   0xC0000000        crashes the host
//   0xA000xxxx        sleeps xxxx device ms, then succeeds
//   0xB0000000        registers TSW0: itself from inside Init, then succeeds
//   anything else     succeeds and answers the context
// TSX has an Init but no Deinit; TSQ (below) only answers.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ce/ce.h"

namespace {

void journal(const std::string& line) {
  std::string text = line + " pid=" + std::to_string(::getpid()) + "\n";
  ce::HANDLE h = ce::CreateFileW(u"\\Temp\\services.log", ce::GENERIC_WRITE, ce::FILE_SHARE_READ | ce::FILE_SHARE_WRITE,
                                 nullptr, ce::OPEN_ALWAYS, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return;
  ce::SetFilePointer(h, 0, nullptr, ce::FILE_END);
  ce::DWORD n = 0;
  ce::WriteFile(h, text.data(), static_cast<ce::DWORD>(text.size()), &n, nullptr);
  ce::CloseHandle(h);
}

std::string hex(ce::DWORD v) {
  char b[16];
  std::snprintf(b, sizeof b, "%X", v);
  return b;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) ce::DWORD TSV_Init(ce::DWORD context) {
  journal("TSV_Init " + hex(context));
  const ce::DWORD kind = context & 0xFFFF0000u;
  if (context == 0) return 0;
  if (kind == 0xE0000000u) {
    ce::SetLastError(context & 0xFFFF);
    return 0;
  }
  if (context == 0xC0000000u) ::kill(::getpid(), SIGKILL);  // as a crash, without a core file
  if (kind == 0xA0000000u) ce::Sleep(context & 0xFFFF);
  if (context == 0xB0000000u) {
    ce::HANDLE inner = ce::RegisterService(u"TSW0:", 0, u"ce_test_service.dll", 7);
    journal(std::string("TSV_Init registered TSW0: ") + (inner ? "ok" : "failed " + std::to_string(ce::GetLastError())));
  }
  journal("TSV_Init done " + hex(context));
  return context;
}

__attribute__((visibility("default"))) ce::BOOL TSV_Deinit(ce::DWORD initResult) {
  journal("TSV_Deinit " + hex(initResult));
  return ce::TRUE;
}

// Code 1 echoes the input; code 2 fails with ERROR_INVALID_FUNCTION; code 3
// answers the Init result and the host's process id ("result pid").
__attribute__((visibility("default"))) ce::BOOL TSV_IOControl(ce::DWORD initResult, ce::DWORD code, ce::BYTE* in,
                                                             ce::DWORD inLength, ce::BYTE* out, ce::DWORD outLength,
                                                             ce::DWORD* actualOut) {
  if (code == 1) {
    ce::DWORD n = inLength < outLength ? inLength : outLength;
    std::memcpy(out, in, n);
    *actualOut = n;
    return ce::TRUE;
  }
  if (code == 3) {
    std::string s = hex(initResult) + " " + std::to_string(::getpid());
    ce::DWORD n = static_cast<ce::DWORD>(s.size()) < outLength ? static_cast<ce::DWORD>(s.size()) : outLength;
    std::memcpy(out, s.data(), n);
    *actualOut = n;
    return ce::TRUE;
  }
  ce::SetLastError(ce::ERROR_INVALID_FUNCTION);
  return ce::FALSE;
}

__attribute__((visibility("default"))) ce::DWORD TSV_Open(ce::DWORD, ce::DWORD, ce::DWORD) { return 0; }
__attribute__((visibility("default"))) ce::BOOL TSV_Close(ce::DWORD) { return 0; }

__attribute__((visibility("default"))) ce::DWORD TSW_Init(ce::DWORD context) {
  journal("TSW_Init " + hex(context));
  return context ? context : 1;
}

__attribute__((visibility("default"))) ce::BOOL TSW_Deinit(ce::DWORD initResult) {
  journal("TSW_Deinit " + hex(initResult));
  return ce::TRUE;
}

__attribute__((visibility("default"))) ce::DWORD TSX_Init(ce::DWORD context) {
  journal("TSX_Init " + hex(context));
  return 1;
}

}  // extern "C"

// TSQ does nothing but answer: the benchmark's service, so that the time
// measured is the host's own.
extern "C" {
__attribute__((visibility("default"))) ce::DWORD TSQ_Init(ce::DWORD context) { return context ? context : 1; }
__attribute__((visibility("default"))) ce::BOOL TSQ_Deinit(ce::DWORD) { return ce::TRUE; }
}
