// Session calls: initialisation with its module loads, options into engine
// settings, callback, version and update state, signature reload.
#include "scancore/session.h"

#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "common/module_frame.h"
#include "common/reader_budget.h"
#include "platform/platform_api.h"

namespace nx::scancore {

using ce::WCHAR;

namespace {

constexpr const WCHAR* kSelf = u"scancore.dll";

// A reader the engine does not limit stops where the engine would, and the
// engine's limit bits are the ones callers are given.
static_assert(nx::ReaderBudget::kDefaultMaxBytes == NX_DEFAULT_MAX_SCAN_SIZE, "one default scan size");
static_assert(nx::ReaderBudget::kDefaultMaxFiles == NX_DEFAULT_MAX_FILES, "one default member count");
static_assert(nx::ReaderBudget::kDefaultMs == NX_DEFAULT_MAX_SCAN_TIME_MS, "one default scan time");
static_assert(NX_SCAN_LIMIT_SIZE == NX_LIMIT_SCAN_SIZE && NX_SCAN_LIMIT_FILES == NX_LIMIT_FILES &&
                  NX_SCAN_LIMIT_TIME == NX_LIMIT_SCAN_TIME && NX_SCAN_LIMIT_DEPTH == NX_LIMIT_DEPTH &&
                  NX_SCAN_LIMIT_INCOMPLETE == NX_LIMIT_INCOMPLETE,
              "the engine's limit bits are the API's");
constexpr const WCHAR* kInitError = u"scancore: NxInitScan: error code - ";
constexpr size_t kDirMax = NX_OPTIONS_DIR_MAX;

void logError(int code) { WriteToLogErr(g_szLogFileName, kInitError, code); }
void logLine(const WCHAR* what, const WCHAR* other = nullptr) { nx::frame::logLine(kSelf, what, other); }

// Loads a sibling module and resolves its entries; logs in the session
// layer's wording. `pathNotFoundLogged`: scan.dll's missing directory stays
// silent, the other two log "Path not found.".
ce::HMODULE loadModule(const WCHAR* file, bool logMissingDir, std::initializer_list<nx::frame::Entry> entries) {
  WCHAR dir[ce::MAX_PATH] = {};
  if (GetNXModuleDirW(kSelf, dir, ce::MAX_PATH) == 0) {
    if (logMissingDir) logLine(u"Path not found.");
    return nullptr;
  }
  WCHAR path[ce::MAX_PATH];
  size_t d = ce::wcslen16(dir), f = ce::wcslen16(file);
  bool slash = d == 0 || dir[d - 1] != u'\\';
  if (d + (slash ? 1 : 0) + f >= ce::MAX_PATH) {
    logLine(u"Unable to load", file);
    return nullptr;
  }
  std::memcpy(path, dir, d * sizeof(WCHAR));
  if (slash) path[d++] = u'\\';
  std::memcpy(path + d, file, (f + 1) * sizeof(WCHAR));
  ce::HMODULE h = MyLoadLibraryW(path);
  if (!h) {
    logLine(u"Unable to load", file);
    return nullptr;
  }
  for (const auto& e : entries) {
    *e.slot = MyGetProcAddressW(h, e.name);
    if (!*e.slot) {
      for (const auto& c : entries) *c.slot = nullptr;
      logLine(u"Invalid", file);
      MyFreeLibrary(h);
      return nullptr;
    }
  }
  return h;
}

template <class T>
ce::FARPROC* slot(T& fn) {
  return reinterpret_cast<ce::FARPROC*>(&fn);
}

bool loadFilekit(Session& s) {
  s.filekit = loadModule(u"filekit.dll", true,
                         {{u"CreateFileWrapObject", slot(s.createWrap)}, {u"DeleteFileWrapObject", slot(s.deleteWrap)}});
  return s.filekit != nullptr;
}
void unloadFilekit(Session& s) {
  if (s.filekit) MyFreeLibrary(s.filekit);
  s.filekit = nullptr;
  s.createWrap = nullptr;
  s.deleteWrap = nullptr;
}
bool loadScan(Session& s) {
  s.scan = loadModule(u"scan.dll", false,
                      {{u"CreateNXScan", slot(s.createNXScan)},
                       {u"DeleteNXScan", slot(s.deleteNXScan)},
                       {u"ScanFileType", slot(s.scanFileType)},
                       {u"SetMessageString", slot(s.setMessageString)},
                       {u"CreateMimeObject", slot(s.createMime)},
                       {u"DeleteMimeObject", slot(s.deleteMime)}});
  return s.scan != nullptr;
}
void unloadScan(Session& s) {
  if (s.scan) MyFreeLibrary(s.scan);
  s.scan = nullptr;
  s.createNXScan = nullptr;
  s.deleteNXScan = nullptr;
  s.scanFileType = nullptr;
  s.setMessageString = nullptr;
  s.createMime = nullptr;
  s.deleteMime = nullptr;
}
bool loadThreatlist(Session& s) {
  s.threatlist = loadModule(u"threatlist.dll", true,
                            {{u"CreateThreatListObject", slot(s.createThreats)},
                             {u"DeleteThreatListObject", slot(s.deleteThreats)}});
  return s.threatlist != nullptr;
}
void unloadThreatlist(Session& s) {
  if (s.threatlist) MyFreeLibrary(s.threatlist);
  s.threatlist = nullptr;
  s.createThreats = nullptr;
  s.deleteThreats = nullptr;
}
void destroyWrap(Session& s) {
  if (s.fw && s.deleteWrap) s.deleteWrap(s.fw);
  s.fw = nullptr;
}

bool dirLengthOk(const WCHAR* field) {
  size_t n = fieldLength(field, 256);
  return n >= 1 && n <= kDirMax;
}

void applyLimits(Session& s) {
  s.settings.limitBytes = s.limits.maxScanSize;
  s.settings.limitFiles = s.limits.maxFiles;
  s.settings.limitMs = s.limits.maxScanTimeMs;
}

// Options field by field into the session settings.
void apply(Session& s, const NxScanOptions& o) {
  ScanSettings& t = s.settings;
  t.size = sizeof(ScanSettings);
  t.noDelete = o.allowDelete == 1 ? 0 : 1;
  int16_t depth = o.maxDepth;
  t.maxDepth = depth < 0 ? 0 : depth > NX_OPTIONS_MAX_DEPTH ? NX_OPTIONS_MAX_DEPTH : depth;
  if (o.scanArchives == 1) {
    t.scanArchives = 1;
    t.archiveExclude = o.archiveExclude & 0x1FFu;
  } else {
    t.scanArchives = 0;
    t.archiveExclude = 0;
  }
  if (o.optionB == 1) {
    t.optionB = 1;
    t.optionBMask = o.optionBBits & 3u;
  } else {
    t.optionB = 0;
    t.optionBMask = 0;
  }
  size_t n = fieldLength(o.tempDir, 256);
  if (n > 259) n = 259;
  std::memset(t.tempDir, 0, sizeof t.tempDir);
  std::memcpy(t.tempDir, o.tempDir, n * sizeof(WCHAR));
  t.optionC = o.optionC == 1 ? 1 : 0;
  t.categoryMask = o.categories & 0x7Fu;
  const uint16_t e = o.flagsE;
  t.flagE0 = (e & 0x0001) ? 1 : 0;
  t.flagE1 = (e & 0x0002) ? 1 : 0;
  t.flagE2 = (e & 0x0002) ? ((e & 0x0004) ? 1 : 0) : 0;
  t.engineFlags = 0;
  if (e & 0x0100) t.engineFlags |= NX_ENGINE_FLAG_E8;
  if ((e & 0x1000) && GetOS() == static_cast<int>(ce::VER_PLATFORM_WIN32_CE))
    t.engineFlags |= NX_ENGINE_FLAG_NO_IGNORE_LIST;
  t.flagE14 = (e & 0x4000) ? 1 : 0;
  t.flagE15 = (e & 0x8000) ? 1 : 0;
  t.stop = 0;
  applyLimits(s);
  s.configured = 1;
  std::memcpy(&s.options, &o, sizeof o);
}

// Reads exactly `size` bytes of a file of scancore's folder through the
// session's wrapper.
bool readSmallFile(Session& s, const WCHAR* name, void* out, int32_t size) {
  WCHAR path[ce::MAX_PATH];
  if (!s.fw || !moduleFilePath(name, path)) return false;
  int32_t h = s.fw->ops->OpenW(s.fw, path, NX_O_RDONLY | NX_O_BINARY, 0);
  if (h < 0) return false;
  int32_t got = s.fw->ops->Read(s.fw, h, out, size);
  s.fw->ops->Close(s.fw, h);
  return got == size;
}

void readUpdateState(Session& s) {
  uint8_t b[4] = {};
  if (readSmallFile(s, u"updttype.cfg", b, 4))
    std::memcpy(s.updateState, b, 4);
  else
    std::memset(s.updateState, 0, 4);
}

}  // namespace

Session& session() {
  static Session s;
  return s;
}

size_t fieldLength(const char16_t* s, size_t cap) {
  size_t n = 0;
  while (n < cap && s[n]) ++n;
  return n;
}

bool moduleFilePath(const char16_t* name, char16_t* out) {
  WCHAR dir[ce::MAX_PATH] = {};
  if (GetNXModuleDirW(kSelf, dir, ce::MAX_PATH) == 0) {
    logLine(u"Path not found.");
    return false;
  }
  size_t d = ce::wcslen16(dir), f = ce::wcslen16(name);
  bool slash = d == 0 || dir[d - 1] != u'\\';
  if (d + (slash ? 1 : 0) + f >= ce::MAX_PATH) return false;
  std::memcpy(out, dir, d * sizeof(WCHAR));
  if (slash) out[d++] = u'\\';
  std::memcpy(out + d, name, (f + 1) * sizeof(WCHAR));
  return true;
}

}  // namespace nx::scancore

using namespace nx::scancore;
using ce::WCHAR;

// The second argument is the API layer's out handle; the session value is
// the API layer's own, so nothing is written here.
SCANCORE_EXPORT int32_t NxInitScan(const NxScanOptions* options, void* /*outHandle*/) {
  Session& s = session();
  if (!options) {
    logError(101);
    return 0;
  }
  ++s.count;
  if (s.count > 1) {
    NxScanOptions copy;
    std::memcpy(&copy, options, sizeof copy);
    if (!dirLengthOk(copy.installDir)) std::memcpy(copy.installDir, s.options.installDir, sizeof copy.installDir);
    if (!dirLengthOk(copy.tempDir)) std::memcpy(copy.tempDir, s.options.tempDir, sizeof copy.tempDir);
    // Fields are terminated inside from here on: either checked or stored.
    copy.installDir[255] = 0;
    copy.tempDir[255] = 0;
    if (!SetNXPathW(copy.installDir)) std::memcpy(copy.installDir, s.options.installDir, sizeof copy.installDir);
    if (!SetNXTempPathW(copy.tempDir)) std::memcpy(copy.tempDir, s.options.tempDir, sizeof copy.tempDir);
    apply(s, copy);
    return 1;
  }
  auto fail = [&](int code) {
    logError(code);
    --s.count;
    return 0;
  };
  if (!dirLengthOk(options->installDir)) return fail(103);
  if (!dirLengthOk(options->tempDir)) return fail(102);
  if (!SetNXPathW(options->installDir)) return fail(106);
  if (!SetNXTempPathW(options->tempDir)) return fail(107);
  if (!loadFilekit(s)) return fail(108);
  if (!s.createWrap(&s.fw) || !s.fw) {
    s.fw = nullptr;
    unloadFilekit(s);
    return fail(109);
  }
  if (!loadScan(s)) {
    destroyWrap(s);
    unloadFilekit(s);
    return fail(104);
  }
  if (!loadThreatlist(s)) {
    unloadScan(s);
    destroyWrap(s);
    unloadFilekit(s);
    return fail(105);
  }
  if (!s.configured) std::memset(&s.settings, 0, sizeof s.settings);
  apply(s, *options);
  readUpdateState(s);
  return 1;
}

SCANCORE_EXPORT int32_t NxDeinitScan(void*) {
  Session& s = session();
  if (s.count <= 0) return 0;
  if (--s.count > 0) return 1;
  unloadThreatlist(s);
  unloadScan(s);
  destroyWrap(s);
  unloadFilekit(s);
  s.configured = 0;
  s.callback = nullptr;
  return 1;
}

SCANCORE_EXPORT int32_t NxSetOptions(void*, const NxScanOptions* options) {
  Session& s = session();
  if (!options) return 0;
  if (!dirLengthOk(options->installDir) || !dirLengthOk(options->tempDir)) return 0;
  if (!SetNXPathW(options->installDir)) return 0;
  if (!SetNXTempPathW(options->tempDir)) return 0;
  if (!s.configured) std::memset(&s.settings, 0, sizeof s.settings);
  apply(s, *options);
  return 1;
}

// Scan limits: the settings of files opened from now on carry them.
SCANCORE_EXPORT int32_t NxSetScanLimits(void*, const NxScanLimits* limits) {
  Session& s = session();
  if (!limits || limits->size < sizeof(NxScanLimits)) return 0;
  s.limits = *limits;
  s.limits.size = sizeof(NxScanLimits);
  s.limits.reserved = 0;
  s.limits.reserved2 = 0;
  applyLimits(s);
  return 1;
}

SCANCORE_EXPORT int32_t NxGetScanLimits(void*, NxScanLimits* out) {
  if (!out || out->size < sizeof(NxScanLimits)) return 0;
  *out = session().limits;
  return 1;
}

SCANCORE_EXPORT int32_t NxGetOptions(void*, NxScanOptions* out) {
  Session& s = session();
  if (!out || !s.configured) return 0;
  std::memcpy(out, &s.options, sizeof *out);
  return 1;
}

SCANCORE_EXPORT int32_t NxSetCallBack(void*, NxScanCallback callback) {
  if (!callback) return 0;
  session().callback = callback;
  return 1;
}

SCANCORE_EXPORT int32_t NxGetAPIVersion(void*, NxVersionRecord* out) {
  Session& s = session();
  if (s.count <= 0 || !out) return 0;
  std::memset(out, 0, sizeof *out);
  NxVersionRecord v{};
  if (!readSmallFile(s, u"scanver.cnf", &v, sizeof v)) return 0;
  *out = v;
  return 1;
}

SCANCORE_EXPORT int32_t NxGetAPIVersionEx(const WCHAR* directory, NxVersionRecord* out) {
  if (!directory || !out) return 0;
  size_t n = fieldLength(directory, kDirMax + 1);
  if (n == 0 || n > kDirMax) return 0;
  WCHAR path[ce::MAX_PATH];
  std::memcpy(path, directory, n * sizeof(WCHAR));
  if (path[n - 1] != u'\\') path[n++] = u'\\';
  std::memcpy(path + n, u"scanver.cnf", 12 * sizeof(WCHAR));
  std::memset(out, 0, sizeof *out);
  ce::HANDLE f =
      ce::CreateFileW(path, ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return 0;
  NxVersionRecord v{};
  ce::DWORD got = 0;
  bool ok = ce::ReadFile(f, &v, sizeof v, &got, nullptr) && got == sizeof v;
  ce::CloseHandle(f);
  if (!ok) return 0;
  *out = v;
  return 1;
}

SCANCORE_EXPORT int32_t NxGetUpdateState(uint8_t* kind) {
  Session& s = session();
  if (!kind) return -1;
  uint8_t now[4];
  if (!readSmallFile(s, u"updttype.cfg", now, 4)) return -1;
  if (now[0] != s.updateState[0]) return -1;
  if (now[1] != s.updateState[1]) {
    *kind = 0;
    return now[1];
  }
  if (now[2] != s.updateState[2]) {
    *kind = 1;
    return now[2];
  }
  std::memcpy(s.updateState, now, 4);
  return -1;
}

SCANCORE_EXPORT int32_t NxReloadSignatures(int32_t kind, int32_t value) {
  Session& s = session();
  if (!s.scan) return 0;
  auto reload = reinterpret_cast<ReloadFn>(MyGetProcAddressW(s.scan, u"ReloadSignatures"));
  if (!reload) return 1;
  return reload(kind, value) ? 1 : 0;
}

SCANCORE_EXPORT int32_t NxSetMessageString(void*, const WCHAR* text, int32_t /*flag*/) {
  Session& s = session();
  if (!text || !s.setMessageString) return 0;
  return s.setMessageString(text) == NX_ENGINE_SUCCESS ? 1 : 0;
}

SCANCORE_EXPORT int32_t NxCreateMimeObject(void* sessionValue, void* object) {
  Session& s = session();
  if (!s.createMime) return 0;
  return s.createMime(sessionValue, object) == NX_ENGINE_SUCCESS ? 1 : 0;
}

SCANCORE_EXPORT int32_t NxDeleteMimeObject(void*, void* object) {
  Session& s = session();
  if (!s.deleteMime) return 0;
  return s.deleteMime(object) == NX_ENGINE_SUCCESS ? 1 : 0;
}
