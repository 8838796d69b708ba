// A test-only exescan.dll for the session layer's cleaning paths: its three
// scanners report a threat when the file holds "INFECTED" and clean by the
// marker beside it: "REPAIRABLE" rewrites the file without the threat and
// answers cleaned, "WHOLEFILE" answers that the file must go, "FALSEREPAIR"
// answers cleaned and leaves the file as it was, anything else cannot be
// cleaned. The last action asked for is kept in the file "lastaction.txt"
// of the temporary folder given at open.
#include <cstring>
#include <string>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "common/engine_types.h"
#include "common/module_frame.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

nx::frame::LibUsage g_usage(u"exescan.dll", u"exescan");

struct Cleaner {
  ScannerObject base;
  int32_t code;
  std::u16string path;
  std::string content;
};

Cleaner* self(ScannerObject* o) { return reinterpret_cast<Cleaner*>(o); }

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

std::u16string g_tempDir;

int32_t opOpen(ScannerObject* o, int32_t, const char16_t* path, ScanSettings* settings, const char16_t*, int32_t,
               uintptr_t) {
  if (!path || !settings) return NX_ENGINE_MISSING_ARG;
  Cleaner* c = self(o);
  c->path = path;
  g_tempDir = settings->tempDir;
  return readWhole(path, c->content) ? NX_ENGINE_SUCCESS : NX_ENGINE_ERROR;
}

int32_t opScan(ScannerObject* o, char16_t* display, ThreatListObject* threats, int32_t) {
  Cleaner* c = self(o);
  if (!display || !threats) return NX_ENGINE_MISSING_ARG;
  if (c->content.find("INFECTED") == std::string::npos) return NX_ENGINE_CLEAN;
  ThreatRecord rec{};
  std::u16string name = u"Test.Cleanable." + ce::utf8ToUtf16(std::to_string(c->code));
  std::memcpy(rec.name, name.c_str(), (name.size() + 1) * 2);
  size_t n = 0;
  while (display[n] && n + 1 < NX_THREAT_PATH_CHARS) ++n;
  std::memcpy(rec.displayPath, display, n * 2);
  rec.category = static_cast<int16_t>(c->code);
  rec.index = -2;
  return threats->ops->Append(threats, &rec) ? NX_ENGINE_THREAT : NX_ENGINE_ERROR;
}

int32_t opClean(ScannerObject* o, ThreatListObject*, int32_t action) {
  Cleaner* c = self(o);
  writeWhole((g_tempDir + u"\\lastaction.txt").c_str(), std::to_string(action));
  if (c->content.find("REPAIRABLE") != std::string::npos) {
    std::string fixed = c->content;
    fixed.replace(fixed.find("INFECTED"), 8, "repaired");
    return writeWhole(c->path.c_str(), fixed) ? NX_ENGINE_CLEANED : NX_ENGINE_ERROR;
  }
  if (c->content.find("FALSEREPAIR") != std::string::npos) return NX_ENGINE_CLEANED;
  if (c->content.find("WHOLEFILE") != std::string::npos) return NX_ENGINE_DELETE;
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
  *slot = &(new Cleaner{{&kOps}, code, {}, {}})->base;
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
