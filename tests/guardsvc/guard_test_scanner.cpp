// A test-only exescan.dll for the guard's tests: its three scanners find
// "INFECTED" in a file and clean by the marker beside it. "REPAIRABLE"
// rewrites the file without the threat and answers cleaned; "REINFECT"
// rewrites it (one byte more) keeping the threat and answers cleaned;
// "WHOLEFILE" answers that the file must go; anything else cannot be cleaned.
// "HOLD" sets the named event "GuardTest.Holding" and makes the scan wait until
// "GuardTest.Release" is set (so a test can keep the guard's worker busy),
// "SCANFAIL" fails the scan.
#include <cstring>
#include <string>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "common/engine_types.h"
#include "common/module_frame.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

nx::frame::LibUsage g_usage(u"exescan.dll", u"exescan");

struct Scanner {
  ScannerObject base;
  int32_t code;
  std::u16string path;
  std::string content;
};

Scanner* self(ScannerObject* o) { return reinterpret_cast<Scanner*>(o); }

bool readWhole(const char16_t* path, std::string& out) {
  ce::HANDLE h = ce::CreateFileW(path, ce::GENERIC_READ, ce::FILE_SHARE_READ | ce::FILE_SHARE_WRITE, nullptr,
                                 ce::OPEN_EXISTING, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return false;
  char buf[4096];
  ce::DWORD got = 0;
  out.clear();
  while (ce::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  ce::CloseHandle(h);
  return true;
}

bool writeWhole(const char16_t* path, const std::string& data) {
  ce::HANDLE h = ce::CreateFileW(path, ce::GENERIC_WRITE, 0, nullptr, ce::CREATE_ALWAYS, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return false;
  ce::DWORD put = 0;
  bool ok = ce::WriteFile(h, data.data(), static_cast<ce::DWORD>(data.size()), &put, nullptr);
  ce::CloseHandle(h);
  return ok && put == data.size();
}

bool has(const Scanner* s, const char* marker) { return s->content.find(marker) != std::string::npos; }

int32_t opOpen(ScannerObject* o, int32_t, const char16_t* path, ScanSettings* settings, const char16_t*, int32_t,
               uintptr_t) {
  if (!path || !settings) return NX_ENGINE_MISSING_ARG;
  Scanner* s = self(o);
  s->path = path;
  return readWhole(path, s->content) ? NX_ENGINE_SUCCESS : NX_ENGINE_ERROR;
}

int32_t opScan(ScannerObject* o, char16_t* display, ThreatListObject* threats, int32_t) {
  Scanner* s = self(o);
  if (!display || !threats) return NX_ENGINE_MISSING_ARG;
  if (has(s, "HOLD")) {
    ce::HANDLE e = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"GuardTest.Release");
    ce::HANDLE holding = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"GuardTest.Holding");
    if (holding) ce::SetEvent(holding);
    if (e) {
      ce::WaitForSingleObject(e, 600000);
      ce::CloseHandle(e);
    }
    if (holding) ce::CloseHandle(holding);
  }
  if (has(s, "SCANFAIL")) return NX_ENGINE_ERROR;
  if (!has(s, "INFECTED")) return NX_ENGINE_CLEAN;
  ThreatRecord rec{};
  std::u16string name = u"Test.Guard." + ce::utf8ToUtf16(std::to_string(s->code));
  std::memcpy(rec.name, name.c_str(), (name.size() + 1) * 2);
  size_t n = 0;
  while (display[n] && n + 1 < NX_THREAT_PATH_CHARS) ++n;
  std::memcpy(rec.displayPath, display, n * 2);
  rec.category = static_cast<int16_t>(s->code);
  rec.index = -2;
  return threats->ops->Append(threats, &rec) ? NX_ENGINE_THREAT : NX_ENGINE_ERROR;
}

int32_t opClean(ScannerObject* o, ThreatListObject*, int32_t) {
  Scanner* s = self(o);
  if (has(s, "REPAIRABLE")) {
    std::string fixed = s->content;
    fixed.replace(fixed.find("INFECTED"), 8, "repaired");
    return writeWhole(s->path.c_str(), fixed) ? NX_ENGINE_CLEANED : NX_ENGINE_ERROR;
  }
  if (has(s, "REINFECT")) return writeWhole(s->path.c_str(), s->content + "+") ? NX_ENGINE_CLEANED : NX_ENGINE_ERROR;
  if (has(s, "WHOLEFILE")) return NX_ENGINE_DELETE;
  return NX_ENGINE_CANNOT_CLEAN;
}

int32_t opClose(ScannerObject*) { return NX_ENGINE_SUCCESS; }
ScannerObject* opDestroy(ScannerObject* o, uint32_t flags) {
  if (flags & 1) {
    delete self(o);
    return nullptr;
  }
  return o;
}
void opRelease(ScannerObject* o) { opDestroy(o, 1); }

const ScannerOps kOps = {opOpen, opScan, opClean, opClose, opDestroy, opRelease};

int32_t create(ScannerObject** slot, int32_t code) {
  if (!slot) return 0;
  *slot = &(new Scanner{{&kOps}, code, {}, {}})->base;
  return 1;
}
void destroy(ScannerObject* o) {
  if (o) o->ops->Destroy(o, 1);
}

}  // namespace

EXPORT int LibInit() { return g_usage.init([] { return true; }); }
EXPORT int LibDeinit() { return g_usage.deinit([] {}); }
EXPORT int32_t CreatePEScanObject(ScannerObject** s, int32_t c) { return create(s, c); }
EXPORT void DeletePEScanObject(ScannerObject* o) { destroy(o); }
EXPORT int32_t CreatePEPolyObject(ScannerObject** s, int32_t c) { return create(s, c); }
EXPORT void DeletePEPolyObject(ScannerObject* o) { destroy(o); }
EXPORT int32_t CreateBkdrScanObject(ScannerObject** s, int32_t c) { return create(s, c); }
EXPORT void DeleteBkdrScanObject(ScannerObject* o) { destroy(o); }
EXPORT int32_t ReloadSignatures(int32_t, int32_t) { return 1; }
