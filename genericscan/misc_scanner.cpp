// The miscellaneous scanner: fixed detections that need no signature file.
// The list code the engine created the object with picks the test: the
// anti-virus test file (5093), or a known worm in SIS packages (5077).
#include <cstring>
#include <mutex>

#include "common/crc32.h"
#include "common/module_frame.h"
#include "common/filekit_link.h"
#include "genericscan/module.h"
#include "genericscan/threat_fill.h"

namespace nx::gen {

namespace {

constexpr uint32_t kTestFileLength = 68;
constexpr uint32_t kTestFileCrc = 0x97AE30C3u;
constexpr int16_t kTestFileCategory = 125;
constexpr const char* kTestFileName = "EICAR Test File";

// The worm's packages carry two UTF-16 words at fixed places in their first
// kilobyte, and the first 181 bytes checksum to a known value.
constexpr int32_t kWormHead = 1024;
constexpr uint32_t kWormCrc = 0x57901984u;
constexpr size_t kWormCrcBytes = 181;
constexpr int16_t kWormCategory = 70;
constexpr const char* kWormName = "Worm.SybOS.Comwar.i";

std::mutex g_lock;
int32_t g_count = 0;
FileKitLink g_filekit;

struct MiscScanner {
  ScannerObject base;
  int32_t listCode;
  char16_t path[260];
  bool pathKept;
  int32_t handle;  // as given to Open; -1 = Scan opens the path
  ScanSettings* settings;
};

MiscScanner* self(ScannerObject* o) { return reinterpret_cast<MiscScanner*>(o); }

FileWrapObject* wrapper() {
  std::lock_guard lock(g_lock);
  return g_filekit.wrapper;
}

bool utf16At(const uint8_t* p, const char* ascii) {
  for (size_t i = 0; ascii[i]; ++i)
    if (p[2 * i] != static_cast<uint8_t>(ascii[i]) || p[2 * i + 1] != 0) return false;
  return true;
}

bool isTestFile(FileWrapObject* fw, int32_t h) {
  if (fw->ops->Size(fw, h) != static_cast<int32_t>(kTestFileLength)) return false;
  uint8_t buf[kTestFileLength];
  if (fw->ops->Seek(fw, h, 0, NX_SEEK_SET) != 0) return false;
  if (fw->ops->Read(fw, h, buf, sizeof buf) != static_cast<int32_t>(sizeof buf)) return false;
  return crc32Raw(buf, sizeof buf) == kTestFileCrc;
}

bool isWormPackage(FileWrapObject* fw, int32_t h) {
  uint8_t buf[kWormHead];
  if (fw->ops->Seek(fw, h, 0, NX_SEEK_SET) != 0) return false;
  if (fw->ops->Read(fw, h, buf, sizeof buf) < kWormHead) return false;
  return utf16At(buf + 130, "mdl!") && utf16At(buf + 174, "Scan") && crc32Raw(buf, kWormCrcBytes) == kWormCrc;
}

int32_t Open(ScannerObject* o, int32_t handle, const char16_t* path, ScanSettings* settings,
             const char16_t* rootDisplayPath, int32_t, uintptr_t) {
  if (!path || !settings || !rootDisplayPath) return NX_ENGINE_MISSING_ARG;
  MiscScanner* s = self(o);
  s->pathKept = keepPath(s->path, path);
  s->handle = handle;
  s->settings = settings;
  return NX_ENGINE_SUCCESS;
}

int32_t Scan(ScannerObject* o, char16_t* displayPath, ThreatListObject* threats, int32_t) {
  if (!displayPath || !threats) return NX_ENGINE_MISSING_ARG;
  MiscScanner* s = self(o);
  if (s->listCode != NX_LIST_SIS_MISC && s->listCode != NX_LIST_TEST_FILE) return NX_ENGINE_CLEAN;
  FileWrapObject* fw = wrapper();
  if (!fw) return NX_ENGINE_ERROR;
  int32_t h = s->handle;
  bool own = h == -1;
  if (own) {
    // A path that did not fit was never kept whole: opening what is left of it
    // could scan some other file.
    if (!s->pathKept) return NX_ENGINE_ERROR;
    h = fw->ops->OpenW(fw, s->path, NX_O_RDONLY | NX_O_BINARY, 0);
    if (h < 0) return NX_ENGINE_ERROR;
  }
  fw->ops->Seek(fw, h, 0, NX_SEEK_SET);
  bool hit;
  const char* name;
  int16_t category;
  if (s->listCode == NX_LIST_TEST_FILE) {
    hit = isTestFile(fw, h);
    name = kTestFileName;
    category = kTestFileCategory;
  } else {
    hit = isWormPackage(fw, h);
    name = kWormName;
    category = kWormCategory;
  }
  if (own) fw->ops->Close(fw, h);
  if (!hit) return NX_ENGINE_CLEAN;
  auto r = blankThreat();
  r->index = 0;
  r->category = category;
  setThreatName(*r, name, std::strlen(name));
  setThreatPath(*r, displayPath, 2041);
  // A detection the list could not take is not reported as clean: the file
  // was not checked to the end of what the caller asked.
  if (threats->ops->Append(threats, r.get()) == 0) return NX_ENGINE_ERROR;
  return NX_ENGINE_THREAT;
}

int32_t Clean(ScannerObject* o, ThreatListObject* threats, int32_t) {
  if (!threats) return NX_ENGINE_MISSING_ARG;
  MiscScanner* s = self(o);
  if (!s->settings || s->settings->noDelete == 1) return NX_ENGINE_CANNOT_CLEAN;
  // The worm's package is the worm; the test file is only a test.
  return s->listCode == NX_LIST_SIS_MISC ? NX_ENGINE_DELETE : NX_ENGINE_CANNOT_CLEAN;
}

int32_t Close(ScannerObject*) { return NX_ENGINE_SUCCESS; }

ScannerObject* Destroy(ScannerObject* o, uint32_t flags) {
  if (flags & 1) {
    delete self(o);
    return nullptr;
  }
  return o;
}

void Release(ScannerObject* o) { Destroy(o, 1); }

const ScannerOps kOps = {Open, Scan, Clean, Close, Destroy, Release};

}  // namespace

bool keepPath(char16_t (&out)[260], const char16_t* path) {
  size_t n = ce::wcslen16(path);
  if (n >= 260) {
    out[0] = 0;
    return false;
  }
  std::memcpy(out, path, (n + 1) * sizeof(char16_t));
  return true;
}

int32_t miscLibInit() {
  std::lock_guard lock(g_lock);
  if (g_count > 0) return ++g_count;
  if (!g_filekit.load(kModuleFile)) {
    frame::logErrorCode(u"miscscan: LibInit: error code - ", 168);
    return 0;
  }
  if (!g_filekit.obtainWrapper()) {
    frame::logErrorCode(u"miscscan: LibInit: error code - ", 169);
    g_filekit.release();
    return 0;
  }
  return ++g_count;
}

int32_t miscLibDeinit() {
  std::lock_guard lock(g_lock);
  if (g_count == 0) {
    frame::logLine(kModuleFile, u"Error LibInit LibDeinit mismatched.");
    frame::logErrorCode(u"miscscan: LibDeinit: error code - ", 161);
    return 0;
  }
  if (--g_count == 0) g_filekit.release();
  return g_count;
}

int32_t miscReload() {
  std::lock_guard lock(g_lock);
  return g_count > 0 ? 1 : 0;
}

int32_t createMisc(ScannerObject** out, int32_t listCode) {
  if (!out) return 0;
  auto* s = new (std::nothrow) MiscScanner{};
  if (!s) return 0;
  s->base.ops = &kOps;
  s->listCode = listCode;
  s->handle = -1;
  *out = &s->base;
  return 1;
}

int32_t deleteMisc(ScannerObject* object) {
  if (!object) return 0;
  object->ops->Destroy(object, 1);
  return 1;
}

}  // namespace nx::gen
