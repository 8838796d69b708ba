// The program's debug log ("nxdebug.log" beside the executable of the
// process), for code several deliverables carry that cannot go through
// platform.dll: the same message-line form the platform writes
// ("%u:%u:%u" local time, ":%08X: " thread, text, "\r\n", UTF-16LE).
#pragma once

#include "ce/windows.h"

namespace nx {

// Appends one message line. Best effort: a log that stays busy (another
// writer of this process holds it) or cannot be opened gets nothing.
void appendDebugLogLine(const ce::WCHAR* text);

}  // namespace nx
