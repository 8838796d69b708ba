// exescan.dll: the Windows CE executable scanners. The engine core binds these exports by name.
#pragma once

#include <cstdint>

#include "common/engine_types.h"

extern "C" {

using PFN_ExeScanLibInit = int32_t (*)();
using PFN_ExeScanLibDeinit = int32_t (*)();
// (a, b) are passed on to the polymorphic and category reloads, which ignore them. Returns 1.
using PFN_ExeScanReloadSignatures = int32_t (*)(int32_t, int32_t);
// Create(out, list code) -> 1 with a new object; Delete(object) -> 1, 0 for null.
using PFN_ExeScanCreateObject = int32_t (*)(ScannerObject** out, int32_t listCode);
using PFN_ExeScanDeleteObject = int32_t (*)(ScannerObject* object);

// Diagnostics export "ExeScanDiagGet": what each scanner has loaded, for tests and benchmarks.
struct ExeScanDiag {
  uint32_t peRecords;             // records of "sig32ce.inx"
  uint32_t polyNames;             // type-3 names of "sigmpoly.inx"
  uint32_t categoryRecords[30];   // records per category table, in search order
};
using PFN_ExeScanDiagGet = int32_t (*)(ExeScanDiag* out);

}  // extern "C"
