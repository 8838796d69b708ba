// The three scanners of exescan.dll: their init/deinit/reload steps (called by the module frame
// in exports.cpp) and the creation of their scanner objects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/engine_types.h"

namespace nx::exe {

std::int32_t peScanInit();
std::int32_t peScanDeinit();
std::int32_t peScanReload();
std::int32_t createPeScanObject(ScannerObject** out);

std::int32_t polyInit();
std::int32_t polyDeinit();
std::int32_t polyReload();
std::int32_t createPolyObject(ScannerObject** out);

std::int32_t categoryInit();
std::int32_t categoryDeinit();
std::int32_t categoryReload();
std::int32_t createCategoryObject(ScannerObject** out);

// Diagnostics: what each scanner has loaded.
std::size_t peRecordCount();
std::size_t polyNameCount();
void categoryCounts(std::uint32_t counts[30]);

// Releases a scanner object of this module through its Destroy with the free flag.
std::int32_t deleteScannerObject(ScannerObject* object);

}  // namespace nx::exe
