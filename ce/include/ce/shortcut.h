// Shortcuts: the handset's text shortcut files ("N#target", N the number of
// characters after the '#'), as the shell makes and reads them.
#pragma once

#include "ce/windows.h"

namespace ce {

constexpr DWORD ERROR_BAD_FORMAT = 11;

// The most characters a shortcut's target may hold.
constexpr DWORD kMaxShortcutTarget = 2047;

// Writes the shortcut file (replacing one that exists): the target in quotes
// ("\Windows\NXAVWM.htm" becomes 21#"\Windows\NXAVWM.htm"), or as given when
// it is quoted already (a program followed by its arguments). Stored in code
// page 1252. Errors: ERROR_INVALID_PARAMETER (null or empty, a target longer
// than kMaxShortcutTarget or holding a line break),
// ERROR_NO_UNICODE_TRANSLATION (a character code page 1252 lacks), and the
// file layer's codes.
BOOL SHCreateShortcut(LPCWSTR shortcut, LPCWSTR target);

// Reads the target back as stored after the '#' (quotes included), into a
// buffer of cchMax characters with the terminator. Errors: ERROR_BAD_FORMAT
// (a damaged shortcut: no '#', a count that is no number or does not match
// the text, an empty target, a file of more than 4096 bytes),
// ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER, and the file layer's
// codes (ERROR_FILE_NOT_FOUND).
BOOL SHGetShortcutTarget(LPCWSTR shortcut, LPWSTR target, int cchMax);

}  // namespace ce
