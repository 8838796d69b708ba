// Module-wide state of archivekit.dll: the module count and, per layer, the
// bound filekit.dll with the layer's file wrapper object.
#pragma once

#include <cstdint>

#include "filekit/filekit_api.h"

namespace nx::arc {

// The CAB layer's file wrapper; null until CabSdkLibInit has bound filekit.dll.
FileWrapObject* cabFileWrapper();

}  // namespace nx::arc

extern "C" {
int32_t CabSdkLibInit();
int32_t CabSdkLibDeinit();
int32_t SisSdkLibInit();
int32_t SisSdkLibDeinit();
}
