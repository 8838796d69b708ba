// The exports of scan.dll.
#include "scan/engine.h"

#define SCAN_EXPORT extern "C" __attribute__((visibility("default")))

using namespace nx::scan;

SCAN_EXPORT int LibInit() { return libInit(); }
SCAN_EXPORT int LibDeinit() { return libDeinit(); }
SCAN_EXPORT int ReloadSignatures(int32_t a, int32_t b) { return reloadSignatures(a, b); }

SCAN_EXPORT int32_t CreateNXScan(int32_t fileHandle, const char16_t* path, ScanSettings* settings, int32_t depth,
                                 ScannerObject*** objects, int32_t** codes, int32_t* count, int32_t* typeCode,
                                 uint32_t* length) {
  return createNXScan(fileHandle, path, settings, depth, objects, codes, count, typeCode, length);
}
SCAN_EXPORT int32_t DeleteNXScan(ScannerObject** objects, int32_t* codes, int32_t count) {
  return deleteNXScan(objects, codes, count);
}

SCAN_EXPORT int32_t ScanFileType(const char16_t* path, uint16_t* category, uint16_t* type) {
  return scanFileType(path, category, type);
}

SCAN_EXPORT int32_t SetMessageString(const char16_t* text) { return setMessageString(text); }

// The engine core offers no mail object.
SCAN_EXPORT int32_t CreateMimeObject(void*, void*) { return NX_ENGINE_FAILURE; }
SCAN_EXPORT int32_t DeleteMimeObject(void*) { return NX_ENGINE_FAILURE; }
