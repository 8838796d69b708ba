// "updengine.log" in the folder "Log" of the installation directory: the
// update engine's own diagnostic lines, "H:M:S:TTTTTTTT:updengine.exe
// FUNCTION MESSAGE" (local time without leading zeros, the thread id in
// eight hex digits), UTF-16LE without a byte-order mark.
#pragma once

#include <string>

#include "ce/windows.h"

namespace nx::upd::log {

enum Level : unsigned { kError = 1, kProgress = 2 };
// Levels written: every line whose level shares a bit with it.
inline constexpr unsigned kMask = 3;

void setInstallDir(const std::u16string& installDir);
// fmt is the UTF-16 formatter's (ce/text.h).
void write(unsigned level, const ce::WCHAR* function, const ce::WCHAR* fmt, ...);

}  // namespace nx::upd::log
