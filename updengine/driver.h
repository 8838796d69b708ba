// The body of the exports: one update, and the recovery of an interrupted one.
#pragma once

#include <cstdint>
#include <string>

#include "nyxel/updengine.h"

namespace nx::upd {

int32_t updateNow(NxUpdateCallback cb, void* ctx, uint32_t* status);
// Finishes or undoes an interrupted replacement and removes old modules no
// process maps; true when the installation is whole.
bool recoverInstallation(const std::u16string& installDir);

}  // namespace nx::upd
