// Exports of epocscan.dll: the module holds one scanner, so its frame is the
// scanner's own.
#include "epocscan/module.h"

#define EPOCSCAN_EXPORT extern "C" __attribute__((visibility("default")))

EPOCSCAN_EXPORT int32_t LibInit() { return nx::epoc::libInit(); }
EPOCSCAN_EXPORT int32_t LibDeinit() { return nx::epoc::libDeinit(); }
// The engine passes two values to every module's reload; this one takes none.
EPOCSCAN_EXPORT int32_t ReloadSignatures(int32_t, int32_t) { return nx::epoc::reload(); }
EPOCSCAN_EXPORT int32_t CreateEpocScanObject(ScannerObject** out, int32_t listCode) {
  return nx::epoc::createScanner(out, listCode);
}
EPOCSCAN_EXPORT int32_t DeleteEpocScanObject(ScannerObject* object) { return nx::epoc::deleteScanner(object); }
