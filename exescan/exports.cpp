// exescan.dll's exports: the module frame over its three scanners (PE signature, PE
// polymorphic, category), each scanner's own init/deinit/reload, and the object pairs.
#include <mutex>

#include "common/engine_types.h"
#include "exescan/exescan_api.h"
#include "exescan/scanners.h"

#define NX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::recursive_mutex g_moduleLock;
int g_moduleCount = 0;
}  // namespace

NX_EXPORT int32_t PEScanLibInit() { return nx::exe::peScanInit(); }
NX_EXPORT int32_t PEScanLibDeinit() { return nx::exe::peScanDeinit(); }
NX_EXPORT int32_t PEScanReloadSignatures() { return nx::exe::peScanReload(); }
NX_EXPORT int32_t PePolyLibInit() { return nx::exe::polyInit(); }
NX_EXPORT int32_t PePolyLibDeinit() { return nx::exe::polyDeinit(); }
NX_EXPORT int32_t PePolyReloadSignatures(int32_t, int32_t) { return nx::exe::polyReload(); }
NX_EXPORT int32_t BkdrScanLibInit() { return nx::exe::categoryInit(); }
NX_EXPORT int32_t BkdrScanLibDeinit() { return nx::exe::categoryDeinit(); }
NX_EXPORT int32_t BkdrScanReloadSignatures(int32_t, int32_t) { return nx::exe::categoryReload(); }

NX_EXPORT int32_t LibInit() {
  std::lock_guard lock(g_moduleLock);
  if (g_moduleCount == 0) {
    if (PEScanLibInit() == 0) return 0;
    if (PePolyLibInit() == 0) {
      PEScanLibDeinit();
      return 0;
    }
    if (BkdrScanLibInit() == 0) {
      PePolyLibDeinit();
      PEScanLibDeinit();
      return 0;
    }
  }
  return ++g_moduleCount;
}

NX_EXPORT int32_t LibDeinit() {
  std::lock_guard lock(g_moduleLock);
  if (g_moduleCount == 0) return 0;
  if (--g_moduleCount == 0) {
    BkdrScanLibDeinit();
    PePolyLibDeinit();
    PEScanLibDeinit();
  }
  return g_moduleCount;
}

NX_EXPORT int32_t ReloadSignatures(int32_t a, int32_t b) {
  PEScanReloadSignatures();
  PePolyReloadSignatures(a, b);
  BkdrScanReloadSignatures(a, b);
  return 1;
}

NX_EXPORT int32_t CreatePEScanObject(ScannerObject** out, int32_t) { return nx::exe::createPeScanObject(out); }
NX_EXPORT int32_t DeletePEScanObject(ScannerObject* o) { return nx::exe::deleteScannerObject(o); }
NX_EXPORT int32_t CreatePEPolyObject(ScannerObject** out, int32_t) { return nx::exe::createPolyObject(out); }
NX_EXPORT int32_t DeletePEPolyObject(ScannerObject* o) { return nx::exe::deleteScannerObject(o); }
NX_EXPORT int32_t CreateBkdrScanObject(ScannerObject** out, int32_t) { return nx::exe::createCategoryObject(out); }
NX_EXPORT int32_t DeleteBkdrScanObject(ScannerObject* o) { return nx::exe::deleteScannerObject(o); }

NX_EXPORT int32_t ExeScanDiagGet(ExeScanDiag* out) {
  if (!out) return 0;
  out->peRecords = uint32_t(nx::exe::peRecordCount());
  out->polyNames = uint32_t(nx::exe::polyNameCount());
  nx::exe::categoryCounts(out->categoryRecords);
  return 1;
}
