// UTF-16 text: the handset's strings, conversions and case folding for names.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

#include "ce/windows.h"

namespace ce {

// ---- UTF-8 (host) <-> UTF-16 (device) ----------------------------------
// Unpaired surrogates and invalid UTF-8 become U+FFFD; nothing is dropped silently.
std::u16string utf8ToUtf16(std::string_view s);
std::string utf16ToUtf8(std::u16string_view s);

// ---- C-style UTF-16 string helpers ------------------------------------------
size_t wcslen16(const WCHAR* s);
// Upper-case folding of one UTF-16 unit as the handset compares file names.
WCHAR foldCase(WCHAR c);
// Case-insensitive comparison (<0, 0, >0) of names under foldCase.
int compareNoCase(std::u16string_view a, std::u16string_view b);
bool equalsNoCase(std::u16string_view a, std::u16string_view b);
std::u16string toUpperCase(std::u16string_view s);

// ---- Code page 1252 (the handset's ANSI code page) --------------------------
// MultiByteToWideChar / WideCharToMultiByte with the handset's contract:
// with cchDest 0 they return the room needed (in units, terminator included
// when srcLen is -1); a result that needs more room than cchDest fails with 0
// and ERROR_INSUFFICIENT_BUFFER. codePage CP_ACP and 1252 are accepted (CP_UTF8 too).
INT MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, INT srcLen, LPWSTR dest, INT cchDest);
INT WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, INT srcLen, LPSTR dest, INT cbDest,
                        LPCSTR defaultChar, BOOL* usedDefault);

// ---- The UTF-16 formatter ---------------------------------------------------
// printf-style formatting into UTF-16 with the conversions the system's texts
// use: %s (UTF-16 string argument, const WCHAR*), %S (narrow char*), %c, %d %i
// %u %x %X %o (32-bit unless 'l'/'ll'/'I64' given), flags '-', '0', '+', ' ',
// '#', width and precision (also '*'), %p, %%. A null %s prints "(null)".
// wvsprintf-like: returns the number of units written (terminator excluded),
// never writes past cchDest (terminator included); -1 when cut short.
int vformat16(WCHAR* dest, size_t cchDest, const WCHAR* fmt, va_list args);
int format16(WCHAR* dest, size_t cchDest, const WCHAR* fmt, ...);
std::u16string vformat16(const WCHAR* fmt, va_list args);
std::u16string format16(const WCHAR* fmt, ...);

}  // namespace ce
