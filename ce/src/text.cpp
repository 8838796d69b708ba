#include "ce/text.h"

#include <array>
#include <iterator>

#include "text_internal.h"

namespace ce {
namespace detail {

namespace {

// Lead byte of a multi-byte sequence: how many continuation bytes follow, the
// payload bits it carries, and the allowed range of the first continuation
// byte (narrowed to exclude overlong forms, surrogates and code points above
// U+10FFFF). false for bytes that can never start a sequence.
struct Lead {
  size_t tail;
  uint32_t bits;
  unsigned char lo, hi;
};

bool classifyLead(unsigned char b, Lead& lead) {
  if (b >= 0xC2 && b <= 0xDF) {
    lead = {1, b & 0x1Fu, 0x80, 0xBF};
  } else if (b >= 0xE0 && b <= 0xEF) {
    lead = {2, b & 0x0Fu, static_cast<unsigned char>(b == 0xE0 ? 0xA0 : 0x80),
            static_cast<unsigned char>(b == 0xED ? 0x9F : 0xBF)};
  } else if (b >= 0xF0 && b <= 0xF4) {
    lead = {3, b & 0x07u, static_cast<unsigned char>(b == 0xF0 ? 0x90 : 0x80),
            static_cast<unsigned char>(b == 0xF4 ? 0x8F : 0xBF)};
  } else {
    return false;
  }
  return true;
}

}  // namespace

uint32_t decodeUtf8(const unsigned char* s, size_t n, size_t& i) {
  unsigned char b = s[i++];
  if (b < 0x80) return b;
  Lead lead;
  if (!classifyLead(b, lead)) return kReplacementChar;
  uint32_t cp = lead.bits;
  unsigned char lo = lead.lo, hi = lead.hi;
  for (size_t k = 0; k < lead.tail; ++k) {
    if (i >= n || s[i] < lo || s[i] > hi) return kReplacementChar;
    cp = (cp << 6) | (s[i++] & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
  }
  return cp;
}

uint32_t decodeUtf16(const WCHAR* s, size_t n, size_t& i) {
  uint32_t c = s[i++];
  if (c < 0xD800 || c > 0xDFFF) return c;
  if (c <= 0xDBFF && i < n && s[i] >= 0xDC00 && s[i] <= 0xDFFF)
    return 0x10000 + ((c - 0xD800) << 10) + (s[i++] - 0xDC00u);
  return kReplacementChar;
}

size_t encodeUtf8(uint32_t cp, char out[4]) {
  auto byte = [](uint32_t v) { return static_cast<char>(v); };
  if (cp < 0x80) {
    out[0] = byte(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = byte(0xC0 | (cp >> 6));
    out[1] = byte(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = byte(0xE0 | (cp >> 12));
    out[1] = byte(0x80 | ((cp >> 6) & 0x3F));
    out[2] = byte(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = byte(0xF0 | (cp >> 18));
  out[1] = byte(0x80 | ((cp >> 12) & 0x3F));
  out[2] = byte(0x80 | ((cp >> 6) & 0x3F));
  out[3] = byte(0x80 | (cp & 0x3F));
  return 4;
}

size_t encodeUtf16(uint32_t cp, WCHAR out[2]) {
  if (cp < 0x10000) {
    out[0] = static_cast<WCHAR>(cp);
    return 1;
  }
  cp -= 0x10000;
  out[0] = static_cast<WCHAR>(0xD800 + (cp >> 10));
  out[1] = static_cast<WCHAR>(0xDC00 + (cp & 0x3FF));
  return 2;
}

}  // namespace detail

std::u16string utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
  WCHAR units[2];
  for (size_t i = 0; i < s.size();) {
    size_t n = detail::encodeUtf16(detail::decodeUtf8(bytes, s.size(), i), units);
    out.append(units, n);
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  char bytes[4];
  for (size_t i = 0; i < s.size();) {
    size_t n = detail::encodeUtf8(detail::decodeUtf16(s.data(), s.size(), i), bytes);
    out.append(bytes, n);
  }
  return out;
}

size_t wcslen16(const WCHAR* s) {
  size_t n = 0;
  if (s)
    while (s[n]) ++n;
  return n;
}

namespace {

// Upper-case folding as ranges. Offset ranges move every unit by delta;
// pair ranges hold alternating upper/lower letters where the lower one has
// the given parity and folds to its neighbour below. Letters whose upper
// case lies in ASCII (dotless i, long s) or that have no single upper-case
// unit (sharp s) are left alone, so a non-ASCII name never compares equal to
// an ASCII one. The micro sign stays itself rather than becoming Greek mu.
enum class Fold : uint8_t { Offset, OddLower, EvenLower };

struct FoldRange {
  WCHAR first, last;
  Fold kind;
  int16_t delta;  // Offset ranges only
};

constexpr FoldRange kFoldRanges[] = {
    {0x00E0, 0x00F6, Fold::Offset, -32},   // Latin-1 a-grave .. o-diaeresis
    {0x00F8, 0x00FE, Fold::Offset, -32},   // o-stroke .. thorn
    {0x00FF, 0x00FF, Fold::Offset, 0x79},  // y-diaeresis -> U+0178
    {0x0100, 0x012F, Fold::OddLower, 0},   // Latin Extended-A
    {0x0132, 0x0137, Fold::OddLower, 0},
    {0x0139, 0x0148, Fold::EvenLower, 0},
    {0x014A, 0x0177, Fold::OddLower, 0},
    {0x0179, 0x017E, Fold::EvenLower, 0},
    {0x01CD, 0x01DC, Fold::EvenLower, 0},  // Latin Extended-B: pinyin vowels
    {0x01DE, 0x01EF, Fold::OddLower, 0},
    {0x01F4, 0x01F5, Fold::OddLower, 0},
    {0x01F8, 0x021F, Fold::OddLower, 0},
    {0x0370, 0x0373, Fold::OddLower, 0},   // Greek heta, sampi
    {0x0376, 0x0377, Fold::OddLower, 0},   // pamphylian digamma
    {0x037B, 0x037D, Fold::Offset, 130},   // reversed lunate sigmas
    {0x03AC, 0x03AC, Fold::Offset, -38},   // alpha with tonos
    {0x03AD, 0x03AF, Fold::Offset, -37},   // epsilon, eta, iota with tonos
    {0x03B1, 0x03C1, Fold::Offset, -32},   // alpha .. rho
    {0x03C2, 0x03C2, Fold::Offset, -31},   // final sigma -> Sigma
    {0x03C3, 0x03CB, Fold::Offset, -32},   // sigma .. upsilon with dialytika
    {0x03CC, 0x03CC, Fold::Offset, -64},   // omicron with tonos
    {0x03CD, 0x03CE, Fold::Offset, -63},   // upsilon, omega with tonos
    {0x03D0, 0x03D0, Fold::Offset, -62},   // letter-like symbol forms of
    {0x03D1, 0x03D1, Fold::Offset, -57},   // beta, theta, phi, pi and kai
    {0x03D5, 0x03D5, Fold::Offset, -47},
    {0x03D6, 0x03D6, Fold::Offset, -54},
    {0x03D7, 0x03D7, Fold::Offset, -8},
    {0x03D8, 0x03EF, Fold::OddLower, 0},   // archaic and Coptic letters
    {0x03F0, 0x03F0, Fold::Offset, -86},   // kappa, rho symbols
    {0x03F1, 0x03F1, Fold::Offset, -80},
    {0x03F2, 0x03F2, Fold::Offset, 7},     // lunate sigma
    {0x03F3, 0x03F3, Fold::Offset, -116},  // yot
    {0x03F5, 0x03F5, Fold::Offset, -96},   // lunate epsilon
    {0x03F8, 0x03F8, Fold::Offset, -1},    // sho
    {0x03FB, 0x03FB, Fold::Offset, -1},    // san
    {0x0430, 0x044F, Fold::Offset, -32},   // Cyrillic a .. ya
    {0x0450, 0x045F, Fold::Offset, -80},   // Cyrillic ie-grave .. dzhe
    {0x0460, 0x0481, Fold::OddLower, 0},
    {0x048A, 0x04BF, Fold::OddLower, 0},
    {0x04C1, 0x04CE, Fold::EvenLower, 0},
    {0x04CF, 0x04CF, Fold::Offset, -15},   // palochka
    {0x04D0, 0x052F, Fold::OddLower, 0},
    {0x1E00, 0x1E95, Fold::OddLower, 0},   // Latin Extended Additional
    {0x1E9B, 0x1E9B, Fold::Offset, -59},   // long s with dot above
    {0x1EA0, 0x1EFF, Fold::OddLower, 0},   // Vietnamese
    {0xFF41, 0xFF5A, Fold::Offset, -32},   // full-width a .. z
};

constexpr WCHAR foldInRange(WCHAR c, const FoldRange& r) {
  switch (r.kind) {
    case Fold::Offset:
      return static_cast<WCHAR>(c + r.delta);
    case Fold::OddLower:
      return (c & 1) ? static_cast<WCHAR>(c - 1) : c;
    case Fold::EvenLower:
      return (c & 1) ? c : static_cast<WCHAR>(c - 1);
  }
  return c;
}

constexpr WCHAR foldByRanges(WCHAR c, size_t from) {
  for (size_t i = from; i < std::size(kFoldRanges); ++i) {
    if (c < kFoldRanges[i].first) break;  // ranges are sorted
    if (c <= kFoldRanges[i].last) return foldInRange(c, kFoldRanges[i]);
  }
  return c;
}

// Names are nearly all in the alphabets below U+0530, so those fold through
// a table built from the ranges at compile time; the rest walk the few
// ranges above it.
constexpr WCHAR kTableEnd = 0x0530;

constexpr auto kFoldTable = [] {
  std::array<WCHAR, kTableEnd> table{};
  for (size_t c = 0; c < kTableEnd; ++c) table[c] = foldByRanges(static_cast<WCHAR>(c), 0);
  for (WCHAR c = u'a'; c <= u'z'; ++c) table[c] = static_cast<WCHAR>(c - 32);
  return table;
}();

constexpr size_t kFirstRangeAboveTable = [] {
  size_t i = 0;
  while (i < std::size(kFoldRanges) && kFoldRanges[i].first < kTableEnd) ++i;
  return i;
}();

}  // namespace

WCHAR foldCase(WCHAR c) {
  if (c < kTableEnd) return kFoldTable[c];
  return foldByRanges(c, kFirstRangeAboveTable);
}

int compareNoCase(std::u16string_view a, std::u16string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    WCHAR x = foldCase(a[i]), y = foldCase(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool equalsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && compareNoCase(a, b) == 0;
}

std::u16string toUpperCase(std::u16string_view s) {
  std::u16string r(s);
  for (auto& c : r) c = foldCase(c);
  return r;
}

}  // namespace ce
