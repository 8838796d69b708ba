// The engine's lifecycle: the counted LibInit/LibDeinit, the module slots
// loaded in their fixed order (and on demand for EPOC, CAB and SIS/SISX),
// the file wrapper object, the ignore-list binding, the signature reload
// fan-out and the message string.
#include <cstring>
#include <mutex>

#include "common/module_frame.h"
#include "scan/engine.h"

namespace nx::scan {
namespace {

using ce::FARPROC;
using ce::HMODULE;
using ce::WCHAR;

struct SlotSpec {
  const WCHAR* file;
  const WCHAR* create;
  const WCHAR* destroy;
  const WCHAR* create2;  // SIS/SISX only
  const WCHAR* destroy2;
  int errorCode;  // of a slot loaded at LibInit
};

const SlotSpec kSpecs[kSlotCount] = {
    {u"threatlist.dll", u"CreateThreatListObject", u"DeleteThreatListObject", nullptr, nullptr, 125},
    {u"filekit.dll", u"CreateFileWrapObject", u"DeleteFileWrapObject", nullptr, nullptr, 128},
    {u"exescan.dll", u"CreatePEScanObject", u"DeletePEScanObject", nullptr, nullptr, 122},
    {u"exescan.dll", u"CreatePEPolyObject", u"DeletePEPolyObject", nullptr, nullptr, 123},
    {u"exescan.dll", u"CreateBkdrScanObject", u"DeleteBkdrScanObject", nullptr, nullptr, 126},
    {u"genericscan.dll", u"CreateMiscScanObject", u"DeleteMiscScanObject", nullptr, nullptr, 127},
    {u"epocscan.dll", u"CreateEpocScanObject", u"DeleteEpocScanObject", nullptr, nullptr, 0},
    {u"genericscan.dll", u"CreateBatScanObject", u"DeleteBatScanObject", nullptr, nullptr, 133},
    {u"archivekit.dll", u"CreateCabSdkObject", u"DeleteCabSdkObject", nullptr, nullptr, 0},
    {u"archivekit.dll", u"CreateSisSdkObject", u"DeleteSisSdkObject", u"CreateSisxSdkObject", u"DeleteSisxSdkObject", 0},
};

// Slots loaded at LibInit, in load order.
constexpr SlotId kInitOrder[] = {kThreatList, kFileWrap, kPeSignature, kPePoly, kCategory, kMisc, kBatch};
// Slots freed by "unload all", in this order (the archive slots go separately).
constexpr SlotId kUnloadOrder[] = {kBatch, kEpoc, kMisc, kCategory, kPePoly, kPeSignature, kFileWrap, kThreatList};
// Modules whose ReloadSignatures runs, in this order.
constexpr SlotId kReloadOrder[] = {kCategory, kMisc, kEpoc, kPePoly, kPeSignature, kBatch};

nx::frame::LibUsage g_usage(kOwnFile, u"scan");

Slot g_slots[kSlotCount];
std::atomic<FileWrapObject*> g_wrapper{nullptr};

// Guards the on-demand loads (and every slot read made while files are
// scanned); it exists from the first LibInit to the final unload.
ce::CRITICAL_SECTION g_cs;
int32_t g_csExists = 0;
// Per on-demand slot: a load was attempted, and it succeeded.
int32_t g_attempted[kSlotCount];
int32_t g_succeeded[kSlotCount];

// The ignore-list binding.
HMODULE g_platform = nullptr;
nx::platform_fn::IgnoreFile g_ignoreFile = nullptr;
nx::platform_fn::UnIgnoreFile g_unIgnoreFile = nullptr;
nx::platform_fn::IgnoreFileEx g_ignoreFileEx = nullptr;
nx::platform_fn::UnIgnoreFileEx g_unIgnoreFileEx = nullptr;

std::mutex g_messageLock;
WCHAR g_message[1024] = u"Nyxel AntiVirus";

void logCode(const WCHAR* prefix, int code) { nx::frame::logErrorCode(prefix, code); }

// "<directory of scan.dll><file>" into out; the directory ends in "\".
bool modulePath(const WCHAR* file, WCHAR (&out)[ce::MAX_PATH]) {
  WCHAR dir[ce::MAX_PATH] = {};
  if (GetNXModuleDirW(kOwnFile, dir, ce::MAX_PATH) == 0) return false;
  size_t d = ce::wcslen16(dir);
  const bool slash = d == 0 || dir[d - 1] != u'\\';
  const size_t f = ce::wcslen16(file);
  if (d + (slash ? 1 : 0) + f >= ce::MAX_PATH) return false;
  std::memcpy(out, dir, d * sizeof(WCHAR));
  if (slash) out[d++] = u'\\';
  std::memcpy(out + d, file, (f + 1) * sizeof(WCHAR));
  return true;
}

// Loads one slot's module and resolves its entry points; the slot's loaded
// flag is set only when all resolve. Logs the failure.
bool loadSlot(SlotId id) {
  const SlotSpec& slotDef = kSpecs[id];
  Slot& s = g_slots[id];
  s = Slot{};
  WCHAR path[ce::MAX_PATH];
  HMODULE h = modulePath(slotDef.file, path) ? MyLoadLibraryW(path) : nullptr;
  if (!h) {
    nx::frame::logUnableToLoad(kOwnFile, slotDef.file);
    return false;
  }
  FARPROC create = MyGetProcAddressW(h, slotDef.create);
  FARPROC destroy = MyGetProcAddressW(h, slotDef.destroy);
  FARPROC create2 = slotDef.create2 ? MyGetProcAddressW(h, slotDef.create2) : nullptr;
  FARPROC destroy2 = slotDef.destroy2 ? MyGetProcAddressW(h, slotDef.destroy2) : nullptr;
  if (!create || !destroy || (slotDef.create2 && (!create2 || !destroy2))) {
    nx::frame::logInvalid(kOwnFile, slotDef.file);
    MyFreeLibrary(h);
    return false;
  }
  s.module = h;
  s.create = create;
  s.destroy = destroy;
  s.create2 = create2;
  s.destroy2 = destroy2;
  if (id == kCab || id == kSis) {
    s.readerLimits = MyGetProcAddressW(h, u"SetArchiveReaderLimits");
    s.readerStatus = MyGetProcAddressW(h, u"GetArchiveReaderStatus");
  }
  s.loaded = 1;
  return true;
}

// Entry points and handle are cleared before the module goes, so nothing
// can reach a module that is being freed.
void freeSlot(SlotId id) {
  Slot& s = g_slots[id];
  if (s.loaded != 1) return;
  HMODULE h = s.module;
  s = Slot{};
  MyFreeLibrary(h);
}

void unloadArchiveSlots() {
  freeSlot(kSis);
  freeSlot(kCab);
}

void unloadAllSlots() {
  for (SlotId id : kUnloadOrder) freeSlot(id);
  for (SlotId id : kUnloadOrder) g_slots[id].loaded = 0;
  if (g_csExists) {
    ce::DeleteCriticalSection(&g_cs);
    g_csExists = 0;
  }
}

// A full unload forgets the on-demand attempts too: a later LibInit in the
// same process starts from "not attempted", and a module that failed to
// load (say, one that an update has since put in place) gets its chance.
void forgetOnDemandAttempts() {
  for (SlotId id : {kEpoc, kCab, kSis}) {
    g_attempted[id] = 0;
    g_succeeded[id] = 0;
  }
}

bool loadNxAvapiLibs() {
  for (SlotId id : kUnloadOrder) g_slots[id] = Slot{};
  ce::InitializeCriticalSection(&g_cs);
  g_csExists = 1;
  for (SlotId id : kInitOrder) {
    if (!loadSlot(id)) {
      logCode(u"scan: LoadNxAvapiLibs: error code - ", kSpecs[id].errorCode);
      unloadAllSlots();
      return false;
    }
  }
  return true;
}

void bindIgnoreList() {
  WCHAR path[ce::MAX_PATH];
  if (!modulePath(u"platform.dll", path)) return;
  HMODULE h = MyLoadLibraryW(path);
  if (!h) return;
  auto a = reinterpret_cast<nx::platform_fn::IgnoreFile>(MyGetProcAddressW(h, u"IgnoreFile"));
  auto b = reinterpret_cast<nx::platform_fn::UnIgnoreFile>(MyGetProcAddressW(h, u"UnIgnoreFile"));
  auto c = reinterpret_cast<nx::platform_fn::IgnoreFileEx>(MyGetProcAddressW(h, u"IgnoreFileEx"));
  auto d = reinterpret_cast<nx::platform_fn::UnIgnoreFileEx>(MyGetProcAddressW(h, u"UnIgnoreFileEx"));
  if (!a || !b || !c || !d) {
    MyFreeLibrary(h);
    return;
  }
  g_platform = h;
  g_ignoreFile = a;
  g_unIgnoreFile = b;
  g_ignoreFileEx = c;
  g_unIgnoreFileEx = d;
}

void releaseIgnoreList() {
  g_ignoreFile = nullptr;
  g_unIgnoreFile = nullptr;
  g_ignoreFileEx = nullptr;
  g_unIgnoreFileEx = nullptr;
  HMODULE h = g_platform;
  g_platform = nullptr;
  if (h) MyFreeLibrary(h);
}

bool setUp() {
  WCHAR dir[ce::MAX_PATH] = {};
  if (GetNXModuleDirW(kOwnFile, dir, ce::MAX_PATH) == 0) {
    nx::frame::logPathNotFound(kOwnFile);
    logCode(u"scan: LibInit: error code - ", 121);
    return false;
  }
  forgetOnDemandAttempts();
  if (!loadNxAvapiLibs()) return false;

  FileWrapObject* fw = nullptr;
  auto create = reinterpret_cast<PFN_CreateFileWrapObject>(g_slots[kFileWrap].create);
  if (!create || create(&fw) == 0 || !fw) {
    logCode(u"scan: LibInit: error code - ", 129);
    unloadAllSlots();
    return false;
  }
  g_wrapper.store(fw, std::memory_order_release);
  g_slots[kCab].loaded = 0;
  g_slots[kSis].loaded = 0;
  bindIgnoreList();
  return true;
}

void tearDown() {
  releaseIgnoreList();
  unloadArchiveSlots();
  FileWrapObject* fw = g_wrapper.exchange(nullptr, std::memory_order_acq_rel);
  if (fw) {
    if (auto del = reinterpret_cast<PFN_DeleteFileWrapObject>(g_slots[kFileWrap].destroy)) del(fw);
  }
  unloadAllSlots();
  forgetOnDemandAttempts();
}

}  // namespace

int libInit() { return g_usage.init(setUp); }
int libDeinit() { return g_usage.deinit(tearDown); }

FileWrapObject* wrapper() { return g_wrapper.load(std::memory_order_acquire); }

bool onDemandLoaded(SlotId id) {
  if (!g_csExists) return false;
  ce::EnterCriticalSection(&g_cs);
  if (!g_attempted[id]) {
    g_attempted[id] = 1;
    g_slots[id].loaded = 0;
    g_succeeded[id] = loadSlot(id) ? 1 : 0;
  }
  const bool ok = g_succeeded[id] && g_slots[id].loaded == 1;
  ce::LeaveCriticalSection(&g_cs);
  return ok;
}

Slot slotSnapshot(SlotId id) {
  if (!g_csExists) return Slot{};
  ce::EnterCriticalSection(&g_cs);
  Slot s = g_slots[id].loaded == 1 ? g_slots[id] : Slot{};
  ce::LeaveCriticalSection(&g_cs);
  return s;
}

void ignorePath(const ScanSettings* settings, const char16_t* path) {
  if (!settings || (settings->engineFlags & NX_ENGINE_FLAG_NO_IGNORE_LIST) || !path) return;
  if (auto fn = g_ignoreFileEx) fn(path);
}

void unignorePath(const ScanSettings* settings, const char16_t* path) {
  if (!settings || (settings->engineFlags & NX_ENGINE_FLAG_NO_IGNORE_LIST) || !path) return;
  if (auto fn = g_unIgnoreFileEx) fn(path);
}

int reloadSignatures(int32_t a, int32_t b) {
  if (g_usage.count() == 0) return 0;
  HMODULE modules[std::size(kReloadOrder)];
  ce::EnterCriticalSection(&g_cs);
  for (size_t i = 0; i < std::size(kReloadOrder); ++i) modules[i] = g_slots[kReloadOrder[i]].module;
  ce::LeaveCriticalSection(&g_cs);
  using ReloadFn = int (*)(int32_t, int32_t);
  for (HMODULE h : modules) {
    if (!h) continue;
    auto reload = reinterpret_cast<ReloadFn>(MyGetProcAddressW(h, u"ReloadSignatures"));
    if (reload && reload(a, b) == 0) return 0;
  }
  return 1;
}

int32_t setMessageString(const char16_t* text) {
  if (!text) return NX_ENGINE_FAILURE;
  size_t n = 0;
  while (n < 1024 && text[n]) ++n;
  if (n > 1023) return NX_ENGINE_FAILURE;
  std::lock_guard<std::mutex> guard(g_messageLock);
  std::memcpy(g_message, text, n * sizeof(WCHAR));
  g_message[n] = 0;
  return NX_ENGINE_SUCCESS;
}

}  // namespace nx::scan
