// Where the product is installed on the handset. Setup records the parent
// folder it chose in the registry; the product folder lies below it. When the
// value is missing or unusable the standard location is assumed, so a caller
// always gets a directory unless its own buffer is too small.
#pragma once

#include "ce/windows.h"

namespace nx {

inline constexpr const ce::WCHAR* kInstallRegKey = u"Software\\Apps\\AntiVirus Nyxel";
inline constexpr const ce::WCHAR* kInstallRegValue = u"InstallDir";
inline constexpr const ce::WCHAR* kProductFolder = u"Nyxel AntiVirus";
inline constexpr const ce::WCHAR* kDefaultInstallDir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";

// Writes the installation directory (no trailing "\") into buffer, capacity
// in characters with the terminator. TRUE on success. FALSE only when buffer
// is null or even the default does not fit; the buffer is then left as it was
// (a shortened path would name a different folder).
ce::BOOL getInstallDirectory(ce::WCHAR* buffer, ce::DWORD capacity);

}  // namespace nx
