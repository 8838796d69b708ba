// The UTF-16 printf-style formatter the system writes its log lines, report
// entries and file names with. The buffer form never allocates.

#include <climits>
#include <cstring>

#include "ce/text.h"
#include "text_internal.h"

namespace ce {
namespace {

// Widths and integer precisions beyond this are clamped: no text of the
// system needs more, and a runaway '*' argument must not make the string
// form allocate without bound.
constexpr int kMaxField = 4096;

// Writes what fits in dest (keeping one unit for the terminator) and counts
// everything, so the caller learns the full length even when cut short.
struct Out {
  WCHAR* dest;
  size_t cap;
  size_t total = 0;

  size_t room() const { return total + 1 < cap ? cap - 1 - total : 0; }
  void put(WCHAR c) {
    if (total + 1 < cap) dest[total] = c;
    ++total;
  }
  void put(const WCHAR* s, size_t n) {
    size_t k = n < room() ? n : room();
    if (k) std::memcpy(dest + total, s, k * sizeof(WCHAR));
    total += n;
  }
  void fill(WCHAR c, size_t n) {
    for (size_t i = 0, k = n < room() ? n : room(); i < k; ++i) dest[total + i] = c;
    total += n;
  }
};

// va_list is an array type on some hosts; wrapping a copy lets helpers take it by reference.
struct Args {
  va_list ap;
};

// Integer sizes. Plain and 'l' are 32-bit as on the handset, where LONG and
// DWORD are 32-bit; 'll' and 'I64' are 64-bit; 'I', 'z', 't' are pointer-sized.
enum class Size { Default, Char, Short, Long, LongLong, Ptr };

struct Field {
  bool left = false, zero = false, plus = false, space = false, alt = false;
  int width = 0;
  int precision = -1;  // -1: none given; unclamped, as for strings it only limits
  Size size = Size::Default;
  bool narrow = false;  // 'h': %s/%c take narrow text
  bool wide = false;    // 'l'/'w': %S/%C take wide text
  WCHAR conv = 0;
};

int clampField(long long v) { return v > kMaxField ? kMaxField : static_cast<int>(v); }

bool isDigit(WCHAR c) { return c >= u'0' && c <= u'9'; }

// Digits, saturating at INT_MAX.
int parseNumber(const WCHAR*& p) {
  long long v = 0;
  while (isDigit(*p)) {
    v = v * 10 + (*p++ - u'0');
    if (v > INT_MAX) v = INT_MAX;
  }
  return static_cast<int>(v);
}

void parseFlags(const WCHAR*& p, Field& s) {
  for (;; ++p) {
    switch (*p) {
      case u'-': s.left = true; break;
      case u'0': s.zero = true; break;
      case u'+': s.plus = true; break;
      case u' ': s.space = true; break;
      case u'#': s.alt = true; break;
      default: return;
    }
  }
}

void parseWidth(const WCHAR*& p, Args& args, Field& s) {
  if (*p != u'*') {
    s.width = clampField(parseNumber(p));
    return;
  }
  ++p;
  long long w = va_arg(args.ap, int);
  if (w < 0) {  // a negative '*' width means left alignment
    s.left = true;
    w = -w;
  }
  s.width = clampField(w);
}

void parsePrecision(const WCHAR*& p, Args& args, Field& s) {
  if (*p != u'.') return;
  ++p;
  if (*p != u'*') {
    s.precision = parseNumber(p);
    return;
  }
  ++p;
  int v = va_arg(args.ap, int);
  s.precision = v < 0 ? -1 : v;
}

bool startsWith(const WCHAR* p, const char* text) {
  for (; *text; ++p, ++text)
    if (*p != static_cast<WCHAR>(*text)) return false;
  return true;
}

void parseSize(const WCHAR*& p, Field& s) {
  switch (*p) {
    case u'h':
      s.narrow = true;
      s.size = startsWith(p, "hh") ? Size::Char : Size::Short;
      p += s.size == Size::Char ? 2 : 1;
      return;
    case u'l':
      s.wide = true;
      s.size = startsWith(p, "ll") ? Size::LongLong : Size::Long;
      p += s.size == Size::LongLong ? 2 : 1;
      return;
    case u'w': ++p; s.wide = true; return;
    case u'j': ++p; s.size = Size::LongLong; return;
    case u'z':
    case u't': ++p; s.size = Size::Ptr; return;
    case u'I':
      s.size = startsWith(p, "I64") ? Size::LongLong : startsWith(p, "I32") ? Size::Long : Size::Ptr;
      p += s.size == Size::Ptr ? 1 : 3;
      return;
    default: return;
  }
}

// Parses what follows a '%' and leaves p after the conversion character.
void parseField(const WCHAR*& p, Args& args, Field& s) {
  parseFlags(p, s);
  parseWidth(p, args, s);
  parsePrecision(p, args, s);
  parseSize(p, s);
  s.conv = *p;
  if (*p) ++p;
}

uint64_t fetchUnsigned(Args& args, Size size) {
  switch (size) {
    case Size::LongLong: return va_arg(args.ap, unsigned long long);
    case Size::Ptr: return va_arg(args.ap, size_t);
    case Size::Char: return static_cast<unsigned char>(va_arg(args.ap, unsigned));
    case Size::Short: return static_cast<unsigned short>(va_arg(args.ap, unsigned));
    default: return va_arg(args.ap, unsigned);
  }
}

int64_t fetchSigned(Args& args, Size size) {
  switch (size) {
    case Size::LongLong: return va_arg(args.ap, long long);
    case Size::Ptr: return va_arg(args.ap, ptrdiff_t);
    case Size::Char: return static_cast<signed char>(va_arg(args.ap, int));
    case Size::Short: return static_cast<short>(va_arg(args.ap, int));
    default: return va_arg(args.ap, int);
  }
}

void padBefore(Out& out, const Field& s, size_t len) {
  if (!s.left && s.width > 0 && len < static_cast<size_t>(s.width)) out.fill(u' ', s.width - len);
}

void padAfter(Out& out, const Field& s, size_t len) {
  if (s.left && s.width > 0 && len < static_cast<size_t>(s.width)) out.fill(u' ', s.width - len);
}

// Sign or radix prefix, digits (most significant last) and leading zeros.
struct Number {
  WCHAR prefix[2];
  size_t prefixLen = 0;
  WCHAR digits[24];
  size_t digitCount = 0;
  size_t zeros = 0;
};

void emitNumber(Out& out, const Field& s, Number& n) {
  size_t len = n.prefixLen + n.zeros + n.digitCount;
  if (s.zero && !s.left && s.precision < 0 && len < static_cast<size_t>(s.width)) {
    n.zeros += s.width - len;
    len = s.width;
  }
  padBefore(out, s, len);
  out.put(n.prefix, n.prefixLen);
  out.fill(u'0', n.zeros);
  for (size_t i = n.digitCount; i > 0; --i) out.put(n.digits[i - 1]);
  padAfter(out, s, len);
}

// sign is '-', '+', ' ' or 0; precision 0 with value 0 prints no digits.
void emitInteger(Out& out, const Field& s, uint64_t value, WCHAR sign, unsigned base, bool upper) {
  static const char kLower[] = "0123456789abcdef";
  static const char kUpper[] = "0123456789ABCDEF";
  const char* set = upper ? kUpper : kLower;
  Number n;
  if (value != 0 || s.precision != 0) {
    uint64_t v = value;
    do {
      n.digits[n.digitCount++] = static_cast<WCHAR>(set[v % base]);
      v /= base;
    } while (v != 0);
  }
  if (s.precision > static_cast<int>(n.digitCount)) n.zeros = clampField(s.precision) - n.digitCount;
  if (sign) n.prefix[n.prefixLen++] = sign;
  if (s.alt && base == 16 && value != 0) {
    n.prefix[n.prefixLen++] = u'0';
    n.prefix[n.prefixLen++] = upper ? u'X' : u'x';
  }
  bool leadsWithZero = n.zeros > 0 || (n.digitCount > 0 && n.digits[n.digitCount - 1] == u'0');
  if (s.alt && base == 8 && !leadsWithZero) n.zeros = 1;
  emitNumber(out, s, n);
}

void emitSigned(Out& out, const Field& s, int64_t v) {
  uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  WCHAR sign = v < 0 ? u'-' : s.plus ? u'+' : s.space ? u' ' : 0;
  emitInteger(out, s, magnitude, sign, 10, false);
}

void emitPointer(Out& out, Field s, const void* p) {
  if (s.precision < 0) s.precision = 2 * sizeof(void*);
  s.alt = false;
  emitInteger(out, s, reinterpret_cast<uintptr_t>(p), 0, 16, true);
}

template <typename Unit>
size_t boundedLength(const Unit* s, int precision) {
  size_t n = 0;
  if (precision < 0)
    while (s[n]) ++n;
  else
    while (n < static_cast<size_t>(precision) && s[n]) ++n;
  return n;
}

void emitWideText(Out& out, const Field& s, const WCHAR* text) {
  if (!text) text = u"(null)";
  size_t n = boundedLength(text, s.precision);
  padBefore(out, s, n);
  out.put(text, n);
  padAfter(out, s, n);
}

// Narrow text is in the handset's ANSI code page.
void emitNarrowText(Out& out, const Field& s, const char* text) {
  if (!text) return emitWideText(out, s, nullptr);
  size_t n = boundedLength(text, s.precision);
  padBefore(out, s, n);
  for (size_t i = 0; i < n; ++i) out.put(detail::cp1252ToWide(static_cast<unsigned char>(text[i])));
  padAfter(out, s, n);
}

void emitChar(Out& out, const Field& s, WCHAR c) {
  padBefore(out, s, 1);
  out.put(c);
  padAfter(out, s, 1);
}

// false for a conversion the formatter does not know; the caller then copies
// it as text. %n is among those: formatting never writes through an argument.
bool emitConversion(Out& out, const Field& s, Args& args) {
  switch (s.conv) {
    case u'd':
    case u'i': emitSigned(out, s, fetchSigned(args, s.size)); return true;
    case u'u': emitInteger(out, s, fetchUnsigned(args, s.size), 0, 10, false); return true;
    case u'x': emitInteger(out, s, fetchUnsigned(args, s.size), 0, 16, false); return true;
    case u'X': emitInteger(out, s, fetchUnsigned(args, s.size), 0, 16, true); return true;
    case u'o': emitInteger(out, s, fetchUnsigned(args, s.size), 0, 8, false); return true;
    case u'p': emitPointer(out, s, va_arg(args.ap, void*)); return true;
    case u'%': out.put(u'%'); return true;
    default: break;
  }
  bool narrow = (s.conv == u's' || s.conv == u'c') ? s.narrow : !s.wide;
  switch (s.conv) {
    case u's':
    case u'S':
      if (narrow) emitNarrowText(out, s, va_arg(args.ap, const char*));
      else emitWideText(out, s, va_arg(args.ap, const WCHAR*));
      return true;
    case u'c':
    case u'C': {
      int c = va_arg(args.ap, int);
      emitChar(out, s, narrow ? detail::cp1252ToWide(static_cast<unsigned char>(c)) : static_cast<WCHAR>(c));
      return true;
    }
    default: return false;
  }
}

void formatTo(Out& out, const WCHAR* fmt, Args& args) {
  const WCHAR* p = fmt;
  while (*p) {
    const WCHAR* run = p;
    while (*p && *p != u'%') ++p;
    out.put(run, p - run);
    if (!*p) break;
    const WCHAR* start = p++;
    Field field;
    parseField(p, args, field);
    if (!emitConversion(out, field, args)) out.put(start, p - start);
  }
}

// Formats into dest (cap units, terminator included) and returns the full
// length the text needs, whether or not it fitted.
size_t formatCounted(WCHAR* dest, size_t cap, const WCHAR* fmt, va_list in) {
  Out out{dest, cap};
  if (fmt) {
    Args args;
    va_copy(args.ap, in);
    formatTo(out, fmt, args);
    va_end(args.ap);
  }
  return out.total;
}

bool isHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }

}  // namespace

int vformat16(WCHAR* dest, size_t cchDest, const WCHAR* fmt, va_list args) {
  if (!dest) cchDest = 0;
  size_t total = formatCounted(dest, cchDest, fmt, args);
  if (fmt && total < cchDest && total <= static_cast<size_t>(INT_MAX)) {
    dest[total] = 0;
    return static_cast<int>(total);
  }
  if (cchDest == 0) return -1;
  size_t end = total < cchDest ? total : cchDest - 1;
  // A cut between the halves of a surrogate pair must not leave the high half behind.
  if (fmt && end > 0 && end < total && isHighSurrogate(dest[end - 1])) --end;
  dest[end] = 0;
  return -1;
}

int format16(WCHAR* dest, size_t cchDest, const WCHAR* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = vformat16(dest, cchDest, fmt, args);
  va_end(args);
  return n;
}

std::u16string vformat16(const WCHAR* fmt, va_list args) {
  WCHAR local[256];
  size_t total = formatCounted(local, sizeof local / sizeof local[0], fmt, args);
  if (total < sizeof local / sizeof local[0]) return std::u16string(local, total);
  std::u16string text(total, u'\0');
  formatCounted(text.data(), total + 1, fmt, args);
  return text;
}

std::u16string format16(const WCHAR* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::u16string text = vformat16(fmt, args);
  va_end(args);
  return text;
}

}  // namespace ce
