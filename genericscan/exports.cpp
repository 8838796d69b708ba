// Exports of genericscan.dll: the module frame over its two scanners (the
// miscellaneous scanner first, then the store pattern scanner), each
// scanner's own init/deinit/reload triple, and the object exports.
#include <mutex>

#include "genericscan/module.h"

#define GENERICSCAN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::mutex g_frameLock;
int32_t g_usage = 0;
}  // namespace

GENERICSCAN_EXPORT int32_t MiscScanLibInit() { return nx::gen::miscLibInit(); }
GENERICSCAN_EXPORT int32_t MiscScanLibDeinit() { return nx::gen::miscLibDeinit(); }
GENERICSCAN_EXPORT int32_t MiscScanReloadSignatures() { return nx::gen::miscReload(); }
GENERICSCAN_EXPORT int32_t BatScanLibInit() { return nx::gen::storeLibInit(); }
GENERICSCAN_EXPORT int32_t BatScanLibDeinit() { return nx::gen::storeLibDeinit(); }
GENERICSCAN_EXPORT int32_t BatScanReloadSignatures() { return nx::gen::storeReload(); }

GENERICSCAN_EXPORT int32_t LibInit() {
  std::lock_guard lock(g_frameLock);
  if (g_usage == 0) {
    if (MiscScanLibInit() == 0) return 0;
    if (BatScanLibInit() == 0) {
      MiscScanLibDeinit();
      return 0;
    }
  }
  return ++g_usage;
}

GENERICSCAN_EXPORT int32_t LibDeinit() {
  std::lock_guard lock(g_frameLock);
  if (g_usage == 0) return 0;
  if (--g_usage == 0) {
    BatScanLibDeinit();
    MiscScanLibDeinit();
  }
  return g_usage;
}

// The engine passes two values to every module's reload; these scanners
// take none.
GENERICSCAN_EXPORT int32_t ReloadSignatures(int32_t, int32_t) {
  MiscScanReloadSignatures();
  BatScanReloadSignatures();
  return 1;
}

GENERICSCAN_EXPORT int32_t CreateMiscScanObject(ScannerObject** out, int32_t listCode) {
  return nx::gen::createMisc(out, listCode);
}
GENERICSCAN_EXPORT int32_t DeleteMiscScanObject(ScannerObject* object) { return nx::gen::deleteMisc(object); }
GENERICSCAN_EXPORT int32_t CreateBatScanObject(ScannerObject** out, int32_t listCode) {
  return nx::gen::createStore(out, listCode);
}
GENERICSCAN_EXPORT int32_t DeleteBatScanObject(ScannerObject* object) { return nx::gen::deleteStore(object); }
