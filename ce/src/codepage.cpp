// MultiByteToWideChar / WideCharToMultiByte for the handset's ANSI code page
// (Windows-1252) and UTF-8.

#include <climits>
#include <cstring>

#include "ce/base.h"
#include "ce/text.h"
#include "text_internal.h"

namespace ce {
namespace detail {

namespace {

// Bytes 0x80-0x9F. The five bytes Windows-1252 leaves undefined (0x81, 0x8D,
// 0x8F, 0x90, 0x9D) stand for the C1 controls of the same value, as on
// Windows, so that every byte survives a round trip.
constexpr WCHAR kC1Block[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

}  // namespace

WCHAR cp1252ToWide(unsigned char b) { return (b >= 0x80 && b < 0xA0) ? kC1Block[b - 0x80] : b; }

int wideToCp1252(uint32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i)
    if (kC1Block[i] == c) return 0x80 + i;
  return -1;
}

}  // namespace detail

namespace {

enum class Codec { Ansi, Utf8, Invalid };

Codec codecFor(UINT codePage) {
  if (codePage == CP_ACP || codePage == CP_1252) return Codec::Ansi;
  if (codePage == CP_UTF8) return Codec::Utf8;
  return Codec::Invalid;
}

// Converters run twice: with a null destination to size the result, then to
// write it. The count is kept in a local so that it stays in a register.
template <typename T>
inline void store(T* dest, size_t& count, const T* units, size_t n) {
  if (dest) std::memcpy(dest + count, units, n * sizeof(T));
  count += n;
}

// Sizes the result first and writes only when all of it fits: a caller's
// buffer is never left holding a partial conversion behind a failure.
template <typename T, typename Convert>
INT convertInto(T* dest, INT cchDest, Convert convert) {
  size_t needed = convert(static_cast<T*>(nullptr));
  if (needed > static_cast<size_t>(INT_MAX)) {
    SetLastError(ERROR_ARITHMETIC_OVERFLOW);
    return 0;
  }
  if (cchDest == 0) return static_cast<INT>(needed);
  if (needed > static_cast<size_t>(cchDest)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  convert(dest);
  return static_cast<INT>(needed);
}

// srcLen -1 means "terminated": the terminator is converted too.
template <typename T>
bool validArgs(const T* src, INT srcLen, const void* dest, INT cchDest) {
  if (!src || srcLen == 0 || srcLen < -1 || cchDest < 0 || (!dest && cchDest > 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

size_t sourceLength(const char* src, INT srcLen) {
  return srcLen == -1 ? std::strlen(src) + 1 : static_cast<size_t>(srcLen);
}

size_t sourceLength(const WCHAR* src, INT srcLen) {
  return srcLen == -1 ? wcslen16(src) + 1 : static_cast<size_t>(srcLen);
}

size_t ansiToWide(const unsigned char* s, size_t n, WCHAR* dest) {
  if (dest)
    for (size_t i = 0; i < n; ++i) dest[i] = detail::cp1252ToWide(s[i]);
  return n;
}

size_t utf8ToWide(const unsigned char* s, size_t n, WCHAR* dest) {
  size_t count = 0;
  WCHAR units[2];
  for (size_t i = 0; i < n;) store(dest, count, units, detail::encodeUtf16(detail::decodeUtf8(s, n, i), units));
  return count;
}

// One default byte per character that has no byte, a surrogate pair included.
size_t wideToAnsi(const WCHAR* s, size_t n, char defaultByte, char* dest, bool& usedDefault) {
  size_t count = 0;
  for (size_t i = 0; i < n;) {
    int b = s[i] < 0x80 ? s[i++] : detail::wideToCp1252(detail::decodeUtf16(s, n, i));
    char c = b < 0 ? defaultByte : static_cast<char>(b);
    usedDefault |= b < 0;
    store(dest, count, &c, 1);
  }
  return count;
}

size_t wideToUtf8(const WCHAR* s, size_t n, char* dest) {
  size_t count = 0;
  char bytes[4];
  for (size_t i = 0; i < n;) store(dest, count, bytes, detail::encodeUtf8(detail::decodeUtf16(s, n, i), bytes));
  return count;
}

}  // namespace

INT MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, INT srcLen, LPWSTR dest, INT cchDest) {
  Codec codec = codecFor(codePage);
  if (codec == Codec::Invalid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!validArgs(src, srcLen, dest, cchDest)) return 0;
  auto* bytes = reinterpret_cast<const unsigned char*>(src);
  size_t n = sourceLength(src, srcLen);
  return convertInto(dest, cchDest, [&](WCHAR* out) {
    return codec == Codec::Ansi ? ansiToWide(bytes, n, out) : utf8ToWide(bytes, n, out);
  });
}

INT WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, INT srcLen, LPSTR dest, INT cbDest,
                        LPCSTR defaultChar, BOOL* usedDefault) {
  Codec codec = codecFor(codePage);
  // UTF-8 can encode every character, so a default character makes no sense there.
  if (codec == Codec::Invalid || (codec == Codec::Utf8 && (defaultChar || usedDefault))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!validArgs(src, srcLen, dest, cbDest)) return 0;
  size_t n = sourceLength(src, srcLen);
  char defaultByte = defaultChar ? defaultChar[0] : '?';
  bool defaulted = false;
  INT result = convertInto(dest, cbDest, [&](char* out) {
    return codec == Codec::Ansi ? wideToAnsi(src, n, defaultByte, out, defaulted) : wideToUtf8(src, n, out);
  });
  if (result && usedDefault) *usedDefault = defaulted ? TRUE : FALSE;
  return result;
}

}  // namespace ce
