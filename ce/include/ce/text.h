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
// Upper-case folding of one UTF-16 unit as the handset compares file names:
// ASCII, Latin-1, Latin Extended-A (and the regular parts of Extended-B and
// Extended Additional), Greek, Cyrillic and full-width Latin. Nothing outside
// ASCII folds into ASCII (dotless i, long s stay themselves).
WCHAR foldCase(WCHAR c);
// Case-insensitive comparison (<0, 0, >0) of names under foldCase.
int compareNoCase(std::u16string_view a, std::u16string_view b);
bool equalsNoCase(std::u16string_view a, std::u16string_view b);
std::u16string toUpperCase(std::u16string_view s);

// ---- Code page 1252 (the handset's ANSI code page) --------------------------
// MultiByteToWideChar / WideCharToMultiByte with the handset's contract:
// srcLen -1 converts up to and including the terminator; with cchDest 0 they
// return the room needed (in units); a result that needs more room than
// cchDest fails with 0 and ERROR_INSUFFICIENT_BUFFER and leaves dest
// untouched. codePage CP_ACP and 1252 mean Windows-1252 (CP_UTF8 is UTF-8);
// any other code page, a null or zero-length source, or a null dest with
// room fails with ERROR_INVALID_PARAMETER. Characters without a 1252 byte
// (a surrogate pair counts as one) become defaultChar[0] ('?' when null) and
// set *usedDefault; for CP_UTF8 both must be null. flags are accepted and
// ignored (every 1252 character is precomposed already).
INT MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, INT srcLen, LPWSTR dest, INT cchDest);
INT WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, INT srcLen, LPSTR dest, INT cbDest,
                        LPCSTR defaultChar, BOOL* usedDefault);

// ---- The UTF-16 formatter ---------------------------------------------------
// printf-style formatting into UTF-16 with the conversions the system's texts
// use: %s (UTF-16 string argument, const WCHAR*), %S (narrow char* in code
// page 1252; %hs and %ls force narrow and wide), %c (a WCHAR passed as int;
// %C and %hc a narrow char), %d %i %u %x %X %o, %p (upper-case hex, pointer
// width), %%. Integers are 32-bit as on the handset, also with 'l'; 'll' and
// 'I64' take 64-bit, 'h'/'hh' short/char, 'I', 'z', 't' pointer-sized.
// Flags '-', '0', '+', ' ', '#', width and precision (also '*'). A null %s
// prints "(null)". Unknown conversions (%n among them) are copied as text.
// Widths and integer precisions are capped at 4096.
// wvsprintf-like: returns the number of units written (terminator excluded),
// never writes past cchDest (terminator included); -1 when cut short (or for
// a null fmt), the text then ending before any split surrogate pair.
// The buffer form never allocates.
int vformat16(WCHAR* dest, size_t cchDest, const WCHAR* fmt, va_list args);
int format16(WCHAR* dest, size_t cchDest, const WCHAR* fmt, ...);
std::u16string vformat16(const WCHAR* fmt, va_list args);
std::u16string format16(const WCHAR* fmt, ...);

}  // namespace ce
