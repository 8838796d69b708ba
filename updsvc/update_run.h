// One update through the update engine: load "updengine.dll" from the
// installation directory, Init, UpdateNow, DeInit, unload.
#pragma once

#include "ce/windows.h"

namespace nx::updsvc {

inline constexpr const ce::WCHAR* kEngineLibrary = u"updengine.dll";

// FALSE when the library or one of its three entry points is missing (the
// run is skipped); TRUE once the engine was asked, whatever the update gave
// (the engine reports outcomes itself).
bool runUpdate(const ce::WCHAR* installDir);

}  // namespace nx::updsvc
