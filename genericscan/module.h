// The two scanners of genericscan.dll as the module's exports see them: each
// with its own counted init/deinit/reload and its object's create/delete.
#pragma once

#include <cstdint>

#include "common/engine_types.h"

namespace nx::gen {

inline constexpr const char16_t* kModuleFile = u"genericscan.dll";

// Miscellaneous scanner (built-in detections).
int32_t miscLibInit();
int32_t miscLibDeinit();
int32_t miscReload();
int32_t createMisc(ScannerObject** out, int32_t listCode);
int32_t deleteMisc(ScannerObject* object);

// Store pattern scanner ("sigaif.inx").
int32_t storeLibInit();
int32_t storeLibDeinit();
int32_t storeReload();
int32_t createStore(ScannerObject** out, int32_t listCode);
int32_t deleteStore(ScannerObject* object);

// Copies path into a 260-character buffer; false (buffer emptied) when it does not fit.
bool keepPath(char16_t (&out)[260], const char16_t* path);

}  // namespace nx::gen
