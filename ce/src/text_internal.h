// Character-level building blocks shared by the text conversions and the formatter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ce/windows.h"

namespace ce::detail {

constexpr uint32_t kReplacementChar = 0xFFFD;

// One code point from UTF-8 at s[i], advancing i. An ill-formed sequence yields
// U+FFFD and consumes only its longest valid prefix (at least one byte), so the
// bytes after it are decoded on their own and never swallowed.
uint32_t decodeUtf8(const unsigned char* s, size_t n, size_t& i);
// One code point from UTF-16 at s[i], advancing i; an unpaired surrogate is U+FFFD.
uint32_t decodeUtf16(const WCHAR* s, size_t n, size_t& i);
// Encoders return the number of units written (1-4 bytes, 1-2 WCHARs).
size_t encodeUtf8(uint32_t cp, char out[4]);
size_t encodeUtf16(uint32_t cp, WCHAR out[2]);

// Windows-1252: every byte has a character; not every character has a byte.
WCHAR cp1252ToWide(unsigned char b);
// The byte for c, or -1 when code page 1252 has no such character.
int wideToCp1252(uint32_t c);

}  // namespace ce::detail
