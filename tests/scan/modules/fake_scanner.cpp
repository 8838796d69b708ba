// A test-only scanner module standing in for exescan.dll, genericscan.dll
// or epocscan.dll: the same module frame and create/delete exports, with
// scanner objects that journal every call and judge a file by markers in
// its content: "INFECTED" makes every scanner report a threat, "HIT-<kind>"
// only that kind, "SCANFAIL" fails the scan, "OPENFAIL" fails the open and
// "OPENSKIP" declines it.
#include <cstring>
#include <string>
#include <utility>

#include "ce/text.h"
#include "common/engine_types.h"
#include "common/module_frame.h"
#include "fake_journal.h"
#include "filekit/filekit_api.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

nx::frame::LibUsage g_usage(FAKE_FILE, FAKE_PREFIX);
ce::HMODULE g_filekit = nullptr;
FileWrapObject* g_fw = nullptr;

std::string narrow(const char16_t* s) { return s ? ce::utf16ToUtf8(s) : std::string("(null)"); }

struct Fake {
  ScannerObject base;
  const char* kind;
  int32_t code;
  std::string content;
};

Fake* self(ScannerObject* o) { return reinterpret_cast<Fake*>(o); }

int32_t opOpen(ScannerObject* o, int32_t handle, const char16_t* path, ScanSettings* settings,
               const char16_t* rootDisplay, int32_t rootType, uintptr_t userValue) {
  Fake* f = self(o);
  fakes::record(std::string("open ") + f->kind + ":" + std::to_string(f->code) + " path=" + narrow(path) +
                " root=" + narrow(rootDisplay) + " rootType=" + std::to_string(rootType) +
                " user=" + std::to_string(userValue));
  if (!path || !settings) return NX_ENGINE_MISSING_ARG;
  // The settings the scanner was given, field by field, for the session
  // layer's tests ("settings.<field>", the last open's values).
  const std::pair<const char*, long> fields[] = {
      {"size", settings->size},
      {"maxDepth", settings->maxDepth},
      {"scanArchives", settings->scanArchives},
      {"firstHitOnly", settings->firstHitOnly},
      {"optionB", settings->optionB},
      {"flagE1", settings->flagE1},
      {"noDelete", settings->noDelete},
      {"flagE14", settings->flagE14},
      {"flagE15", settings->flagE15},
      {"optionC", settings->optionC},
      {"stop", settings->stop},
      {"flagE0", settings->flagE0},
      {"categoryMask", settings->categoryMask},
      {"flagE2", settings->flagE2},
      {"archiveExclude", static_cast<long>(settings->archiveExclude)},
      {"optionBMask", static_cast<long>(settings->optionBMask)},
      {"engineFlags", static_cast<long>(settings->engineFlags)},
  };
  for (const auto& [name, value] : fields) fakes::set(std::string("settings.") + name, static_cast<int>(value));
  f->content.clear();
  if (!g_fw || g_fw->ops->Seek(g_fw, handle, 0, NX_SEEK_SET) != 0) return NX_ENGINE_ERROR;
  char buf[4096];
  for (;;) {
    int32_t n = g_fw->ops->Read(g_fw, handle, buf, sizeof buf);
    if (n <= 0 || f->content.size() > 1 << 20) break;
    f->content.append(buf, static_cast<size_t>(n));
  }
  if (f->content.find("OPENFAIL") != std::string::npos) return NX_ENGINE_ERROR;
  if (f->content.find("OPENSKIP") != std::string::npos) return NX_ENGINE_FAILURE;
  return NX_ENGINE_SUCCESS;
}

int32_t opScan(ScannerObject* o, char16_t* display, ThreatListObject* threats, int32_t depth) {
  Fake* f = self(o);
  fakes::record(std::string("scan ") + f->kind + " display=" + narrow(display) + " depth=" + std::to_string(depth));
  if (!display || !threats) return NX_ENGINE_MISSING_ARG;
  if (f->content.find("SCANFAIL") != std::string::npos) return NX_ENGINE_ERROR;
  if (f->content.find("INFECTED") == std::string::npos &&
      f->content.find(std::string("HIT-") + f->kind) == std::string::npos)
    return NX_ENGINE_CLEAN;
  auto* rec = new ThreatRecord{};
  std::u16string name = ce::utf8ToUtf16(std::string("Fake.") + f->kind);
  std::memcpy(rec->name, name.c_str(), (name.size() + 1) * 2);
  size_t n = 0;
  while (display[n] && n + 1 < NX_THREAT_PATH_CHARS) ++n;
  std::memcpy(rec->displayPath, display, n * 2);
  rec->category = static_cast<int16_t>(f->code);
  int32_t ok = threats->ops->Append(threats, rec);
  delete rec;
  return ok ? NX_ENGINE_THREAT : NX_ENGINE_ERROR;
}

int32_t opClean(ScannerObject*, ThreatListObject*, int32_t) { return NX_ENGINE_CANNOT_CLEAN; }

int32_t opClose(ScannerObject* o) {
  fakes::record(std::string("close ") + self(o)->kind);
  return NX_ENGINE_SUCCESS;
}

ScannerObject* opDestroy(ScannerObject* o, uint32_t flags) {
  fakes::record(std::string("release ") + self(o)->kind);
  if (flags & 1) {
    fakes::adjustLive(-1);
    delete self(o);
    return nullptr;
  }
  return o;
}

void opRelease(ScannerObject* o) { opDestroy(o, 1); }

const ScannerOps kOps = {opOpen, opScan, opClean, opClose, opDestroy, opRelease};

int32_t create(const char* kind, ScannerObject** slot, int32_t code) {
  fakes::record(std::string("create ") + kind + ":" + std::to_string(code));
  if (!slot || fakes::get(std::string("fail.create.") + kind)) return 0;
  auto* f = new Fake{{&kOps}, kind, code, {}};
  fakes::adjustLive(1);
  *slot = &f->base;
  return 1;
}

void destroy(ScannerObject* o) {
  if (o) o->ops->Destroy(o, 1);
}

bool setUp() {
  fakes::record(std::string("init ") + narrow(FAKE_FILE));
  if (fakes::get(std::string("fail.init.") + narrow(FAKE_FILE))) return false;
  g_filekit = nx::frame::loadSibling(FAKE_FILE, u"filekit.dll");
  if (!g_filekit) return false;
  // Without a wrapper object the module still loads; its scanners then
  // answer every open with an error.
  auto createFw = reinterpret_cast<PFN_CreateFileWrapObject>(MyGetProcAddressW(g_filekit, u"CreateFileWrapObject"));
  if (!createFw || !createFw(&g_fw)) g_fw = nullptr;
  return true;
}

void tearDown() {
  fakes::record(std::string("deinit ") + narrow(FAKE_FILE));
  g_fw = nullptr;
  if (g_filekit) MyFreeLibrary(g_filekit);
  g_filekit = nullptr;
}

}  // namespace

EXPORT int LibInit() { return g_usage.init(setUp); }
EXPORT int LibDeinit() { return g_usage.deinit(tearDown); }
EXPORT int ReloadSignatures(int32_t a, int32_t b) {
  fakes::record("reload " + narrow(FAKE_FILE) + " " + std::to_string(a) + " " + std::to_string(b));
  return fakes::get("fail.reload." + narrow(FAKE_FILE)) ? 0 : 1;
}

#define FAKE_PAIR(Create, Delete, kind)                                                      \
  EXPORT int32_t Create(ScannerObject** slot, int32_t code) { return create(kind, slot, code); } \
  EXPORT void Delete(ScannerObject* o) { destroy(o); }

#ifdef FAKE_EXESCAN
FAKE_PAIR(CreatePEScanObject, DeletePEScanObject, "pe")
FAKE_PAIR(CreatePEPolyObject, DeletePEPolyObject, "poly")
FAKE_PAIR(CreateBkdrScanObject, DeleteBkdrScanObject, "bkdr")
#endif
#ifdef FAKE_GENERICSCAN
FAKE_PAIR(CreateMiscScanObject, DeleteMiscScanObject, "misc")
#ifndef FAKE_NO_BATCH
FAKE_PAIR(CreateBatScanObject, DeleteBatScanObject, "bat")
#endif
#endif
#ifdef FAKE_EPOCSCAN
FAKE_PAIR(CreateEpocScanObject, DeleteEpocScanObject, "epoc")
#endif

// How many loads of this module are counted (one per slot it fills).
EXPORT int FakeUsage() { return g_usage.count(); }
