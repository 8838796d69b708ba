#include <gtest/gtest.h>

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ce/ce.h"

using namespace ce;

namespace {

std::string u8(const std::u16string& s) { return utf16ToUtf8(s); }

// Formats through both the buffer form and the string form and insists they agree.
template <typename... A>
std::u16string formatBoth(const WCHAR* fmt, A... args) {
  WCHAR buf[600];
  int n = format16(buf, 600, fmt, args...);
  std::u16string viaString = format16(fmt, args...);
  EXPECT_EQ(n, static_cast<int>(viaString.size())) << u8(fmt);
  if (n >= 0) {
    EXPECT_EQ(std::u16string(buf, n), viaString) << u8(fmt);
  }
  return viaString;
}

struct FormatCase {
  const char* expected;  // UTF-8
  const WCHAR* fmt;
  std::function<std::u16string()> run;
};

#define FMT(expected, fmt, ...) \
  FormatCase { expected, fmt, [] { return formatBoth(fmt __VA_OPT__(, ) __VA_ARGS__); } }

const WCHAR* const kNullWide = nullptr;
const char* const kNullNarrow = nullptr;
const WCHAR kUnterminated[3] = {u'a', u'b', u'c'};

}  // namespace

TEST(Format16, Conversions) {
  const FormatCase cases[] = {
      // Strings: %s is wide, %S narrow in the ANSI code page; 'h' and 'l' override.
      FMT("abc", u"%s", u"abc"),
      FMT("(null)", u"%s", kNullWide),
      FMT("(nu", u"%.3s", kNullWide),
      FMT("[(null)]", u"[%S]", kNullNarrow),
      FMT("narrow €", u"%S", "narrow \x80"),
      FMT("narrow", u"%hs", "narrow"),
      FMT("wide", u"%ls", u"wide"),
      FMT("wide", u"%lS", u"wide"),
      FMT("[abc     ]", u"[%-8s]", u"abc"),
      FMT("[     abc]", u"[%8s]", u"abc"),
      FMT("[ab]", u"[%.2s]", u"abc"),
      FMT("[   ab]", u"[%5.2s]", u"abc"),
      FMT("[  abc]", u"[%*s]", 5, u"abc"),
      FMT("[abc  ]", u"[%*s]", -5, u"abc"),
      FMT("[ab]", u"[%.*s]", 2, u"abc"),
      FMT("[abc]", u"[%.*s]", 3, kUnterminated),
      FMT("[SCANVER.CNF ]", u"[%-12s]", u"SCANVER.CNF"),
      FMT("[😀]", u"[%s]", u"\U0001F600"),
      // Characters: %c is a WCHAR passed as int, %C and %hc a narrow one.
      FMT("A", u"%c", static_cast<int>(u'A')),
      FMT("€", u"%c", 0x20AC),
      FMT("[  x]", u"[%3c]", static_cast<int>(u'x')),
      FMT("[x  ]", u"[%-3c]", static_cast<int>(u'x')),
      FMT("x", u"%C", 'x'),
      FMT("€", u"%hc", '\x80'),
      // Integers, 32-bit by default and with 'l' as on the handset.
      FMT("0 -1 2147483647 -2147483648", u"%d %d %d %d", 0, -1, INT_MAX, INT_MIN),
      FMT("42", u"%i", 42),
      FMT("4294967295", u"%u", 0xFFFFFFFFu),
      FMT("deadbeef DEADBEEF", u"%x %X", 0xDEADBEEFu, 0xDEADBEEFu),
      FMT("10 0", u"%o %o", 8u, 0u),
      FMT("4000000000 -7", u"%lu %ld", DWORD{4000000000u}, LONG{-7}),
      FMT("-9223372036854775808", u"%lld", INT64_MIN),
      FMT("18446744073709551615", u"%I64u", UINT64_MAX),
      FMT("123456789abcdef0", u"%I64x", 0x123456789ABCDEF0ULL),
      FMT("FFFFFFFFFFFFFFFF", u"%llX", UINT64_MAX),
      FMT("-8", u"%I32d", -8),
      FMT("4464 65535", u"%hd %hu", 70000, -1),
      FMT("44", u"%hhd", 300),
      FMT("123456789012", u"%zu", size_t{123456789012ULL}),
      // Flags, width and precision.
      FMT("+5 -5  5", u"%+d %+d % d", 5, -5, 5),
      FMT("0xff 0XFF 0", u"%#x %#X %#x", 255u, 255u, 0u),
      FMT("010 0 0", u"%#o %#o %#.0o", 8u, 0u, 0u),
      FMT("[]", u"[%.0d]", 0),
      FMT("007", u"%.3d", 7),
      FMT("-0042", u"%05d", -42),
      FMT("[42   ]", u"[%-05d]", 42),
      FMT("[     005]", u"[%08.3d]", 5),
      FMT("[    42]", u"[%*d]", 6, 42),
      FMT("[1   ]", u"[%-*d]", 4, 1),
      FMT("[0003]", u"[%.*d]", 4, 3),
      FMT("[3]", u"[%.*d]", -1, 3),
      FMT("0x00002a", u"%#08x", 42u),
      // The system's own texts.
      FMT("9:5:7", u"%u:%u:%u", 9u, 5u, 7u),
      FMT(":0000002A: ", u":%08X: ", 0x2Au),
      FMT("~xn07", u"~xn%02d", 7),
      FMT("~xn0742.tmp", u"%s%02d.%s", u"~xn07", 42, u"tmp"),
      FMT("1.05", u"%d.%02d", 1, 5),
      FMT("100%", u"%d%%", 100),
      FMT("scan: LibDeinit: error code - 132", u"%s%d", u"scan: LibDeinit: error code - ", 132),
      // Conversions the formatter does not know are copied as they stand.
      FMT("%y %5k", u"%y %5k"),
      FMT("%n stays", u"%n stays"),
      FMT("100%", u"100%"),
      FMT("a%-", u"a%-"),
      FMT("%f 7", u"%f %d", 7),
  };
  for (const auto& c : cases) EXPECT_EQ(u8(c.run()), c.expected) << "format " << u8(c.fmt);
}

TEST(Format16, PointerIsFixedWidthUpperHex) {
  void* p = reinterpret_cast<void*>(uintptr_t{0xBEEF});
  std::string expected = std::string(2 * sizeof(void*) - 4, '0') + "BEEF";
  EXPECT_EQ(u8(formatBoth(u"%p", p)), expected);
}

// The host's printf is the reference for every combination of flags, width,
// precision, conversion and integer size the two share.
TEST(Format16, IntegersAgreeWithTheHostPrintf) {
  const char* const flags[] = {"", "-", "0", "+", " ", "#", "-0", "+0", " 0", "#0", "-+", "-#", "+ #0", "-+ #0"};
  const char* const widths[] = {"", "1", "6", "25"};
  const char* const precisions[] = {"", ".0", ".1", ".4", ".30"};
  const char convs[] = "diuxXo";
  const int ints[] = {0, 1, -1, 42, -42, 255, INT_MAX, INT_MIN};
  const long long longs[] = {0, -1, INT64_MIN, INT64_MAX, 0x123456789LL};
  int mismatches = 0;
  for (const char* f : flags)
    for (const char* w : widths)
      for (const char* p : precisions)
        for (const char* conv = convs; *conv; ++conv) {
          std::string directive = std::string("%") + f + w + p;
          std::string fmt32 = directive + *conv, fmt16 = directive + "h" + *conv, fmt64 = directive + "ll" + *conv;
          char expected[128];
          for (int v : ints) {
            snprintf(expected, sizeof expected, fmt32.c_str(), v);
            if (u8(format16(utf8ToUtf16(fmt32).c_str(), v)) != expected && ++mismatches < 10)
              ADD_FAILURE() << fmt32 << " with " << v;
            snprintf(expected, sizeof expected, fmt16.c_str(), v);
            if (u8(format16(utf8ToUtf16(fmt16).c_str(), v)) != expected && ++mismatches < 10)
              ADD_FAILURE() << fmt16 << " with " << v;
          }
          for (long long v : longs) {
            snprintf(expected, sizeof expected, fmt64.c_str(), v);
            if (u8(format16(utf8ToUtf16(fmt64).c_str(), v)) != expected && ++mismatches < 10)
              ADD_FAILURE() << fmt64 << " with " << v;
          }
        }
  EXPECT_EQ(mismatches, 0);
}

TEST(Format16, StringsAgreeWithTheHostPrintf) {
  const char* const directives[] = {"%s", "%-s", "%7s", "%-7s", "%.0s", "%.2s", "%7.2s", "%-7.2s", "%.9s", "%2s"};
  for (const char* directive : directives)
    for (const char* text : {"", "abc", "abcdefgh"}) {
      char expected[64];
      snprintf(expected, sizeof expected, directive, text);
      std::u16string wide = utf8ToUtf16(text);
      EXPECT_EQ(u8(format16(utf8ToUtf16(directive).c_str(), wide.c_str())), expected) << directive << " " << text;
    }
}

TEST(Format16, NeverWritesPastTheBufferAndReportsTheCut) {
  struct Case {
    size_t cap;
    int result;
    const char* text;
  };
  // "abc" needs 4 units with its terminator.
  const Case cases[] = {{5, 3, "abc"}, {4, 3, "abc"}, {3, -1, "ab"}, {2, -1, "a"}, {1, -1, ""}};
  for (const auto& c : cases) {
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(format16(buf, c.cap, u"%s", u"abc"), c.result) << "capacity " << c.cap;
    EXPECT_EQ(u8(buf), c.text) << "capacity " << c.cap;
    for (size_t i = c.cap; i < 8; ++i) EXPECT_EQ(buf[i], u'#') << "capacity " << c.cap << " unit " << i;
  }
}

TEST(Format16, CutInsidePaddingAndNumbersStaysInBounds) {
  WCHAR buf[8];
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(format16(buf, 5, u"%8d|%08X", 1, 0xABu), -1);
  EXPECT_EQ(u8(buf), "    ");
  EXPECT_EQ(buf[5], u'#');

  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(format16(buf, 0, u"abc"), -1);
  EXPECT_EQ(buf[0], u'#');
  EXPECT_EQ(format16(nullptr, 10, u"abc"), -1);
}

TEST(Format16, CutNeverLeavesHalfASurrogatePair) {
  WCHAR buf[8];
  // "ab" + U+1F600 needs 4 units plus the terminator; with 4 the pair would be split.
  EXPECT_EQ(format16(buf, 4, u"ab%s", u"\U0001F600"), -1);
  EXPECT_EQ(std::u16string(buf), u"ab");
  EXPECT_EQ(format16(buf, 5, u"ab%s", u"\U0001F600"), 4);
  EXPECT_EQ(std::u16string(buf), u"ab\U0001F600");
}

TEST(Format16, NullFormatFailsCleanly) {
  WCHAR buf[4] = {u'x', u'x', u'x', u'x'};
  EXPECT_EQ(format16(buf, 4, nullptr), -1);
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(format16(nullptr), u"");
}

TEST(Format16, StringFormGrowsBeyondItsLocalBuffer) {
  std::u16string longText(1000, u'z');
  EXPECT_EQ(format16(u"<%s>", longText.c_str()), u"<" + longText + u">");
  std::u16string padded = format16(u"%300d", 7);
  ASSERT_EQ(padded.size(), 300u);
  EXPECT_EQ(padded.back(), u'7');
}

TEST(Format16, RunawayWidthsAreBounded) {
  EXPECT_EQ(format16(u"%*d", INT_MAX, 1).size(), 4096u);
  EXPECT_EQ(format16(u"%*d", INT_MIN, 1).size(), 4096u);
  EXPECT_EQ(format16(u"%99999999999999999999d", 1).size(), 4096u);
  EXPECT_EQ(format16(u"%.99999999d", 1).size(), 4096u);
  std::u16string longText(5000, u'z');  // a large precision still only limits text
  EXPECT_EQ(format16(u"%.4999s", longText.c_str()).size(), 4999u);
  EXPECT_EQ(format16(u"%.99999999999s", longText.c_str()).size(), 5000u);
  WCHAR buf[16];
  EXPECT_EQ(format16(buf, 16, u"%*d", INT_MAX, 1), -1);
}

// ---- Code page 1252 ---------------------------------------------------------

TEST(CodePage1252, EveryByteSurvivesARoundTrip) {
  char bytes[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<char>(i);
  WCHAR wide[256];
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, bytes, 256, wide, 256), 256);
  char back[256];
  BOOL usedDefault = TRUE;
  ASSERT_EQ(WideCharToMultiByte(CP_1252, 0, wide, 256, back, 256, nullptr, &usedDefault), 256);
  EXPECT_EQ(std::memcmp(bytes, back, 256), 0);
  EXPECT_FALSE(usedDefault);
}

TEST(CodePage1252, MapsTheUpperControlBlockLikeWindows) {
  const std::pair<unsigned char, WCHAR> pairs[] = {
      {0x41, u'A'},  {0x80, 0x20AC}, {0x82, 0x201A}, {0x8A, 0x0160}, {0x8C, 0x0152}, {0x99, 0x2122},
      {0x9F, 0x0178}, {0x81, 0x0081}, {0x8D, 0x008D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x9D, 0x009D},
      {0xA0, 0x00A0}, {0xC4, 0x00C4}, {0xFF, 0x00FF}};
  for (auto [byte, wide] : pairs) {
    char b = static_cast<char>(byte);
    WCHAR w = 0;
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, &b, 1, &w, 1), 1);
    EXPECT_EQ(w, wide) << "byte " << int(byte);
    char back = 0;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, &wide, 1, &back, 1, nullptr, nullptr), 1);
    EXPECT_EQ(static_cast<unsigned char>(back), byte) << "byte " << int(byte);
  }
}

TEST(CodePage1252, TerminatedSourceSizingAndOverflow) {
  // srcLen -1 converts the terminator too, and sizes include it.
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Nyxel \x80", -1, nullptr, 0), 8);
  WCHAR wide[8];
  std::fill(std::begin(wide), std::end(wide), u'#');
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Nyxel \x80", -1, wide, 7), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(wide[0], u'#') << "a failed conversion leaves the buffer alone";
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Nyxel \x80", -1, wide, 8), 8);
  EXPECT_EQ(std::u16string(wide), u"Nyxel €");

  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"Nyxel €", -1, nullptr, 0, nullptr, nullptr), 8);
  char narrow[8];
  std::fill(std::begin(narrow), std::end(narrow), '#');
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"Nyxel €", -1, narrow, 7, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(narrow[0], '#');
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"Nyxel €", -1, narrow, 8, nullptr, nullptr), 8);
  EXPECT_STREQ(narrow, "Nyxel \x80");
  // An explicit length converts exactly that much, without a terminator.
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"Nyxel", 3, narrow, 8, nullptr, nullptr), 3);
  EXPECT_EQ(std::string(narrow, 3), "Nyx");
}

TEST(CodePage1252, CharactersWithoutAByteBecomeTheDefault) {
  struct Case {
    const WCHAR* wide;
    const char* defaultChar;
    const char* expected;
    BOOL defaulted;
  };
  const Case cases[] = {
      {u"plain", nullptr, "plain", FALSE},
      {u"a\u0100b", nullptr, "a?b", TRUE},
      {u"a\u0100b", "#", "a#b", TRUE},
      {u"\u0080", nullptr, "?", TRUE},            // a C1 control whose byte is the euro sign
      {u"x\U0001F600y", nullptr, "x?y", TRUE},    // one default for the whole pair
      {u"x\xD800y", nullptr, "x?y", TRUE},        // unpaired surrogate
      {u"\u20AC\u2122", nullptr, "\x80\x99", FALSE},
  };
  for (const auto& c : cases) {
    char out[16] = {};
    BOOL defaulted = 7;
    int n = WideCharToMultiByte(CP_ACP, 0, c.wide, -1, out, 16, c.defaultChar, &defaulted);
    EXPECT_EQ(n, static_cast<int>(std::strlen(c.expected)) + 1) << c.expected;
    EXPECT_STREQ(out, c.expected);
    EXPECT_EQ(defaulted, c.defaulted) << c.expected;
  }
}

TEST(CodePage1252, BadArgumentsFailWithInvalidParameter) {
  WCHAR wide[8];
  char narrow[8];
  BOOL used;
  const std::function<INT()> calls[] = {
      [&] { return MultiByteToWideChar(437, 0, "a", -1, wide, 8); },
      [&] { return MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 8); },
      [&] { return MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 8); },
      [&] { return MultiByteToWideChar(CP_ACP, 0, "a", -2, wide, 8); },
      [&] { return MultiByteToWideChar(CP_ACP, 0, "a", -1, nullptr, 8); },
      [&] { return MultiByteToWideChar(CP_ACP, 0, "a", -1, wide, -1); },
      [&] { return WideCharToMultiByte(932, 0, u"a", -1, narrow, 8, nullptr, nullptr); },
      [&] { return WideCharToMultiByte(CP_ACP, 0, nullptr, -1, narrow, 8, nullptr, nullptr); },
      [&] { return WideCharToMultiByte(CP_ACP, 0, u"a", -1, nullptr, 8, nullptr, nullptr); },
      [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", -1, narrow, 8, nullptr, &used); },
      [&] { return WideCharToMultiByte(CP_UTF8, 0, u"a", -1, narrow, 8, "?", nullptr); },
  };
  for (size_t i = 0; i < std::size(calls); ++i) {
    SetLastError(0);
    EXPECT_EQ(calls[i](), 0) << "call " << i;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "call " << i;
  }
}

// ---- UTF-8 ------------------------------------------------------------------

TEST(Utf8, SurrogatePairsThroughTheCodePageCalls) {
  const char* utf8 = "\xF0\x9F\x98\x80 \xE2\x82\xAC";  // U+1F600, space, euro sign
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0), 5);
  WCHAR wide[5];
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 5), 5);
  EXPECT_EQ(std::u16string(wide), u"\U0001F600 €");

  char back[16];
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr), 9);
  ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, 16, nullptr, nullptr), 9);
  EXPECT_STREQ(back, utf8);
}

TEST(Utf8, IllFormedInputBecomesReplacementCharacters) {
  const std::u16string R(1, u'\uFFFD');
  const std::pair<std::string, std::u16string> cases[] = {
      {"\x80", R},
      {"\xFF", R},
      {"a\xE2\x82", u"a" + R},                   // cut off at the end
      {"\xE2\x82" "A", R + u"A"},                // a cut sequence must not swallow what follows
      {"\xF0\x9F\x98x", R + u"x"},
      {"\xC0\xAF", R + R},                       // overlong "/"
      {"\xE0\x80\xAF", R + R + R},               // overlong "/"
      {"\xED\xA0\x80", R + R + R},               // encoded surrogate
      {"\xF4\x90\x80\x80", R + R + R + R},       // above U+10FFFF
      {"\xC3\xA4\xC3", u"ä" + R},
  };
  for (const auto& [in, expected] : cases) {
    EXPECT_EQ(utf8ToUtf16(in), expected) << in;
    WCHAR wide[8];
    int n = MultiByteToWideChar(CP_UTF8, 0, in.data(), static_cast<INT>(in.size()), wide, 8);
    EXPECT_EQ(std::u16string(wide, n > 0 ? n : 0), expected) << in;
  }
}

TEST(Utf8, UnpairedSurrogatesBecomeReplacementCharacters) {
  const std::pair<std::u16string, std::string> cases[] = {
      {u"a\xD83D", "a\xEF\xBF\xBD"},
      {u"\xDE00z", "\xEF\xBF\xBDz"},
      {u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // halves in the wrong order
  };
  for (const auto& [in, expected] : cases) EXPECT_EQ(utf16ToUtf8(in), expected);
}

TEST(Utf8, EveryCodePointRoundTrips) {
  std::u16string all;
  for (uint32_t cp = 1; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (cp < 0x10000) {
      all.push_back(static_cast<WCHAR>(cp));
    } else {
      all.push_back(static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10)));
      all.push_back(static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(all)), all);
}

// ---- Case folding of names --------------------------------------------------

TEST(FoldCase, NamesCompareLikeTheFileSystem) {
  struct Case {
    const WCHAR* a;
    const WCHAR* b;
    bool equal;
  };
  const Case cases[] = {
      {u"SCANVER.cnf", u"scanver.cnf", true},
      {u"\\Program Files\\Nyxel", u"\\PROGRAM FILES\\nyxel", true},
      {u"ÄÖÜ", u"äöü", true},
      {u"ÿ", u"Ÿ", true},
      {u"ŁÓDŹ.TXT", u"łódź.txt", true},
      {u"ΟΔΟΣ", u"οδος", true},
      {u"ΟΔΟΣ", u"οδοσ", true},  // final and medial sigma
      {u"ΆΈΉΊΌΎΏ", u"άέήίόύώ", true},
      {u"ПРИВЕТ.ДОК", u"привет.док", true},
      {u"ЁЖЇҐ", u"ёжїґ", true},
      {u"ỆỲ", u"ệỳ", true},
      {u"ＡＢＣ", u"ａｂｃ", true},
      {u"file1", u"file2", false},
      {u"abc", u"abcd", false},
      {u"ß", u"SS", false},   // no single-unit upper case
      {u"ı", u"I", false},    // a non-ASCII name never matches an ASCII one
      {u"ſ", u"S", false},
      {u"÷", u"×", false},    // not letters
      {u"Ä", u"A", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(equalsNoCase(c.a, c.b), c.equal) << u8(c.a) << " vs " << u8(c.b);
    EXPECT_EQ(compareNoCase(c.a, c.b) == 0, c.equal) << u8(c.a) << " vs " << u8(c.b);
    EXPECT_EQ(toUpperCase(c.a) == toUpperCase(c.b), c.equal) << u8(c.a) << " vs " << u8(c.b);
  }
}

TEST(FoldCase, OrderIsConsistent) {
  const std::u16string names[] = {u"a", u"B", u"ab", u"AB", u"Ä", u"é", u"Б", u"z", u""};
  for (const auto& x : names)
    for (const auto& y : names) {
      int xy = compareNoCase(x, y), yx = compareNoCase(y, x);
      EXPECT_EQ(xy > 0, yx < 0) << u8(x) << " vs " << u8(y);
      EXPECT_EQ(xy == 0, yx == 0) << u8(x) << " vs " << u8(y);
    }
}

TEST(FoldCase, IsIdempotentAndKeepsNonAsciiOutOfAscii) {
  for (uint32_t c = 0; c <= 0xFFFF; ++c) {
    WCHAR f = foldCase(static_cast<WCHAR>(c));
    ASSERT_EQ(foldCase(f), f) << std::hex << c;
    if (c >= 0x80) {
      ASSERT_GE(f, 0x80) << std::hex << c;
    }
  }
}

// In the blocks it covers, the folding is the Unicode simple upper-case
// mapping (the host's towupper), except where that would land in ASCII.
TEST(FoldCase, MatchesUnicodeUpperCaseInTheCoveredBlocks) {
  locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (!loc) GTEST_SKIP() << "no C.UTF-8 locale on this host";
  const std::pair<uint32_t, uint32_t> blocks[] = {
      {0x0000, 0x017F}, {0x0370, 0x052F}, {0x1E00, 0x1EFF}, {0xFF00, 0xFFEF}};
  for (auto [first, last] : blocks) {
    for (uint32_t c = first; c <= last; ++c) {
      uint32_t upper = static_cast<uint32_t>(towupper_l(static_cast<wint_t>(c), loc));
      if (c >= 0x80 && upper < 0x80) upper = c;
      if (c == 0xB5) upper = c;  // micro sign: kept apart from Greek mu
      EXPECT_EQ(foldCase(static_cast<WCHAR>(c)), upper) << std::hex << c;
    }
  }
  freelocale(loc);
}
