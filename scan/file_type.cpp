// File type detection. Almost every file is decided by one read of at most
// 1024 bytes; only the executable class, header offsets beyond the head, the
// compound-file marker and the settings-file tests read more, always through
// the wrapper and always putting the file position back. Every offset taken
// from the file is checked before use: a header may point anywhere.
#include "scan/file_type.h"

#include <climits>
#include <cstring>
#include <initializer_list>
#include <new>

#include "ce/text.h"

namespace nx::scan {
namespace {

constexpr int32_t kHeadBytes = 1024;

// ---- Small byte helpers -------------------------------------------------------

uint16_t u16at(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32at(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint8_t upper(uint8_t c) { return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - 32) : c; }
bool isText(uint8_t c) { return (c >= 26 && c <= 125) || c == 9 || c == 10 || c == 13; }

bool startsWith(const uint8_t* p, const char* text) { return std::memcmp(p, text, std::strlen(text)) == 0; }
bool bytesAre(const uint8_t* p, std::initializer_list<uint8_t> bytes) {
  size_t i = 0;
  for (uint8_t b : bytes)
    if (p[i++] != b) return false;
  return true;
}

// Plain byte search of needle in hay (exact comparison).
bool contains(const uint8_t* hay, size_t hayLen, const void* needle, size_t needleLen) {
  if (needleLen == 0 || needleLen > hayLen) return false;
  const auto* n = static_cast<const uint8_t*>(needle);
  for (size_t i = 0; i + needleLen <= hayLen; ++i)
    if (hay[i] == n[0] && std::memcmp(hay + i, n, needleLen) == 0) return true;
  return false;
}
bool contains(const uint8_t* hay, size_t hayLen, const char* text) { return contains(hay, hayLen, text, std::strlen(text)); }

// Horspool search: a bad-character table over the pattern's first length - 1
// bytes, comparing from the pattern's end.
bool horspool(const uint8_t* hay, size_t hayLen, const uint8_t* pat, size_t patLen) {
  if (patLen == 0 || patLen > hayLen) return false;
  size_t shift[256];
  for (size_t& s : shift) s = patLen;
  for (size_t i = 0; i + 1 < patLen; ++i) shift[pat[i]] = patLen - 1 - i;
  size_t pos = 0;
  while (pos + patLen <= hayLen) {
    size_t j = patLen;
    while (j > 0 && hay[pos + j - 1] == pat[j - 1]) --j;
    if (j == 0) return true;
    pos += shift[hay[pos + patLen - 1]];
  }
  return false;
}
bool horspool(const uint8_t* hay, size_t hayLen, const char* text) {
  return horspool(hay, hayLen, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

// ---- The file, seen through the wrapper ------------------------------------------

struct File {
  FileWrapObject* fw;
  int32_t handle;
  int64_t length;

  // Reads up to n bytes at offset into buf (zero-filled first) and puts the
  // position back. The number read, or -1 when the seek does not land there.
  int32_t readAt(int64_t offset, void* buf, int32_t n) const {
    std::memset(buf, 0, static_cast<size_t>(n));
    if (offset < 0 || offset > INT32_MAX) return -1;
    const int32_t saved = fw->ops->Tell(fw, handle);
    int32_t got = -1;
    if (fw->ops->Seek(fw, handle, static_cast<int32_t>(offset), NX_SEEK_SET) == offset) {
      got = fw->ops->Read(fw, handle, buf, n);
      if (got < 0) got = -1;
    }
    if (saved >= 0) fw->ops->Seek(fw, handle, saved, NX_SEEK_SET);
    return got;
  }
};

// ---- The name ------------------------------------------------------------------------

struct Name {
  const char16_t* path = nullptr;   // the name tests look at
  char16_t longForm[ce::MAX_PATH + 1] = {};
  char ext[8] = {};                  // ".EXT" upper case, at most 6 characters; empty when none
  size_t extLen = 0;

  const char16_t* lastComponent() const {
    const char16_t* last = path;
    for (const char16_t* p = path; *p; ++p)
      if (*p == u'\\') last = p + 1;
    return last;
  }
};

void takeName(Name& n, const char16_t* path, LongPathFn longPath) {
  n.path = path ? path : u"";
  bool hasDot = false;
  for (const char16_t* p = n.lastComponent(); *p; ++p)
    if (*p == u'.') hasDot = true;
  if (!hasDot && path && longPath && longPath(path, n.longForm) != 0) {
    n.longForm[ce::MAX_PATH] = 0;
    n.path = n.longForm;
  }
  const char16_t* dot = nullptr;
  for (const char16_t* p = n.lastComponent(); *p; ++p)
    if (*p == u'.') dot = p;
  if (!dot) return;
  for (const char16_t* p = dot; *p && n.extLen < 6; ++p) {
    char16_t c = *p;
    // Only ASCII takes part in the list tests; anything else can match no entry.
    n.ext[n.extLen++] = c < 0x80 ? static_cast<char>(upper(static_cast<uint8_t>(c))) : '\x01';
  }
  n.ext[n.extLen] = 0;
}

// A list test of width k: the extension's first k characters and ".", or the
// whole extension when it is shorter, looked for anywhere in the list. A
// name without an extension matches no list: an empty test string would be
// found in every list and send every extensionless file down the markup path.
bool extInList(const Name& n, size_t k, const char* list) {
  if (n.extLen == 0) return false;
  char test[8];
  size_t len;
  if (n.extLen >= k) {
    std::memcpy(test, n.ext, k);
    test[k] = '.';
    len = k + 1;
  } else {
    std::memcpy(test, n.ext, n.extLen);
    len = n.extLen;
  }
  return contains(reinterpret_cast<const uint8_t*>(list), std::strlen(list), test, len);
}

bool extIs(const Name& n, const char* upperExt) { return n.extLen == std::strlen(upperExt) && std::strcmp(n.ext, upperExt) == 0; }

// The path in the ANSI code page; false when it cannot be converted.
bool ansiPath(const Name& n, char (&out)[2 * ce::MAX_PATH + 2]) {
  if (!n.path[0]) return false;
  return ce::WideCharToMultiByte(ce::CP_ACP, 0, n.path, -1, out, sizeof out, nullptr, nullptr) > 0;
}

bool equalsNoCaseAscii(const char16_t* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (*a >= 0x80) return false;
    if (upper(static_cast<uint8_t>(*a)) != upper(static_cast<uint8_t>(*b))) return false;
  }
  return *a == 0 && *b == 0;
}

// ---- Classification state ---------------------------------------------------------------

struct Ctx {
  File file;
  Name name;
  uint8_t head[kHeadBytes];
  int32_t got = 0;  // bytes read into the head
  uint8_t upperHead[6];

  bool headHas(const char* text) const { return startsWith(head, text); }
  // n bytes at offset: from the head when they were read into it, else from
  // the file. False when they cannot all be had.
  bool bytesAt(int64_t offset, void* out, int32_t n) const {
    if (offset >= 0 && offset + n <= got) {
      std::memcpy(out, head + offset, static_cast<size_t>(n));
      return true;
    }
    return file.readAt(offset, out, n) == n;
  }
};

// ---- Executable class --------------------------------------------------------------------

int32_t executableClass(const Ctx& c) {
  uint8_t dos[64];
  if (!c.bytesAt(0, dos, 64) || u16at(dos) != 0x5A4D) return 0;
  const int64_t h = u32at(dos + 60);
  uint8_t sig[4];
  if (!c.bytesAt(h, sig, 4) || !bytesAre(sig, {'P', 'E', 0, 0})) return 0;
  // A header cut short reads as zeros past its end: the image is then no CE
  // image and no DLL, which is all the class needs to know.
  uint8_t opt[96] = {};
  uint8_t fileHeader[20] = {};
  if (!c.bytesAt(h + 24, opt, 96)) c.file.readAt(h + 24, opt, 96);
  if (!c.bytesAt(h + 4, fileHeader, 20)) c.file.readAt(h + 4, fileHeader, 20);
  const uint16_t subsystem = u16at(opt + 68);
  const bool library = (u16at(fileHeader + 18) & 0x2000) != 0;
  if (subsystem == 9) return library ? 5083 : 5084;
  if (u16at(opt) == 0x20B) return 5071;
  if (library) return 5026;
  return subsystem == 1 ? 5028 : 5027;
}

// Bytes at the header offset of an MZ image: from the head below `limit`,
// else read from the file (the test fails when they cannot be read).
bool signatureAt(const Ctx& c, uint32_t offset, int32_t limit, const uint8_t* sig, int32_t n) {
  uint8_t buf[4];
  if (offset < static_cast<uint32_t>(limit)) return std::memcmp(c.head + offset, sig, static_cast<size_t>(n)) == 0;
  if (c.file.readAt(offset, buf, n) != n) return false;
  return std::memcmp(buf, sig, static_cast<size_t>(n)) == 0;
}

int32_t mzTests(const Ctx& c) {
  const uint8_t* h = c.head;
  const bool mz = h[0] == 'M' && h[1] == 'Z';
  if (mz) {
    const uint32_t off = u32at(h + 60);
    static const uint8_t pe[4] = {'P', 'E', 0, 0};
    static const uint8_t ne[2] = {'N', 'E'};
    static const uint8_t le[4] = {'L', 'E', 0, 0};
    if (signatureAt(c, off, 1020, pe, 4)) return executableClass(c);
    if (signatureAt(c, off & 0xFFFF, 1022, ne, 2)) return 5029;
    if (signatureAt(c, off, 1020, le, 4)) return 5051;
  }
  if (h[8] == 2 && h[24] == 0x1C && (startsWith(h + 28, "LZ91") || startsWith(h + 28, "LZ09"))) return 5048;
  if (mz && c.got > 23 && u16at(h + 20) == 256) {
    const uint32_t v = (256u + 16u * u16at(h + 8) + 16u * u16at(h + 22)) & 0xFFFFF;
    if (v == 32 || v == 288 || v == 512 || v == 768) return 5062;
  }
  return h[24] == '@' ? 3 : 1;
}

// ---- Script content (test 48) -----------------------------------------------------------

bool scriptContent(const Ctx& c) {
  if (c.head[0] == 0xFF && c.head[1] == 0xFE) {
    if (c.got < kHeadBytes) return false;
    auto wide = [&](const char* text) {
      uint8_t pat[32];
      size_t n = std::strlen(text);
      for (size_t i = 0; i < n; ++i) {
        pat[2 * i] = static_cast<uint8_t>(text[i]);
        pat[2 * i + 1] = 0;
      }
      return horspool(c.head, kHeadBytes, pat, 2 * n);
    };
    return wide("createobject") && wide("dim") && wide("set");
  }
  if (c.got < 200) return false;
  return (horspool(c.head, 200, "On Error Resume Next") || horspool(c.head, 200, "CreateObject")) &&
         horspool(c.head, 200, "Dim ") && horspool(c.head, 200, "Set ");
}

// ---- Settings file (test 49) ------------------------------------------------------------

constexpr int32_t kWindow = 1000;

// File offset of `text` (upper case) at or after `from`, searched in
// upper-cased windows of 1000 bytes that overlap by the text's length plus 5.
// -1 when not found.
int64_t findUpper(const File& f, int64_t from, const char* text) {
  const int32_t len = static_cast<int32_t>(std::strlen(text));
  uint8_t buf[kWindow];
  int64_t pos = from;
  int32_t got = f.readAt(pos, buf, kWindow);
  if (got < len) return -1;
  for (;;) {
    for (int32_t i = 0; i < got; ++i) buf[i] = upper(buf[i]);
    // Candidates by their first byte: most text files hold few of them.
    const uint8_t* end = buf + got - len + 1;
    for (const uint8_t* p = buf; p < end;) {
      p = static_cast<const uint8_t*>(std::memchr(p, static_cast<uint8_t>(text[0]), static_cast<size_t>(end - p)));
      if (!p) break;
      if (std::memcmp(p, text, static_cast<size_t>(len)) == 0) return pos + (p - buf);
      ++p;
    }
    // Step back so a match across the window's end is seen whole next time;
    // a window this short would not move forward, so it ends the search.
    pos = pos + got - (len + 5);
    got = f.readAt(pos, buf, kWindow);
    if (got < len + 6) return -1;
  }
}

// Whether `section` holds `key` with a value: the key's line (up to CR or
// LF) longer than 6 characters. A line commented out with ";" right before
// the key is passed over for the next occurrence.
//
// The section is searched with its brackets, so that a "windows" in some
// value is no section; the key search then starts past the closing bracket
// and one byte of line end, where the bare name's length plus two would put
// it. Counting the two bytes from the bracketed name started one byte late:
// after an LF line end the key's first letter was skipped, and the search
// went on into the following sections.
bool sectionHasKey(const File& f, const char* section, const char* key) {
  const int64_t s = findUpper(f, 0, section);
  if (s < 0) return false;
  const int64_t keyLen = static_cast<int64_t>(std::strlen(key));
  int64_t from = s + static_cast<int64_t>(std::strlen(section)) + 1;
  for (;;) {
    const int64_t k = findUpper(f, from, key);
    if (k < 0) return false;
    uint8_t line[1023];
    const int64_t start = k > 0 ? k - 1 : 0;
    const int32_t got = f.readAt(start, line, sizeof line);
    if (got <= 0) return false;
    const int32_t keyAt = static_cast<int32_t>(k - start);
    if (keyAt == 1 && line[0] == ';') {
      from = k + keyLen;
      continue;
    }
    int32_t lineLen = 0;
    while (keyAt + lineLen < got && line[keyAt + lineLen] != '\r' && line[keyAt + lineLen] != '\n') ++lineLen;
    return lineLen > 6;
  }
}

int32_t settingsFile(const Ctx& c) {
  char ansi[2 * ce::MAX_PATH + 2];
  if (!ansiPath(c.name, ansi)) return 0;
  const size_t n = std::strlen(ansi);
  if (n < 4 || ansi[n - 4] != '.' || upper(static_cast<uint8_t>(ansi[n - 3])) != 'I' ||
      upper(static_cast<uint8_t>(ansi[n - 2])) != 'N' || upper(static_cast<uint8_t>(ansi[n - 1])) != 'I')
    return 0;
  for (int i = 0; i < 12; ++i) {
    uint8_t b = c.head[i];
    if (!((b >= 0x20 && b <= 0x7E) || b == 0 || b == 10 || b == 13)) return 0;
  }
  if (sectionHasKey(c.file, "[WINDOWS]", "RUN")) return 5032;
  if (sectionHasKey(c.file, "[BOOT]", "SHELL")) return 5033;
  uint8_t up[kHeadBytes];
  for (int i = 0; i < kHeadBytes; ++i) up[i] = upper(c.head[i]);
  if (contains(up, kHeadBytes, "SCRIPT]")) return 5034;
  static thread_local uint8_t more[4096];
  const int32_t got = c.file.readAt(kHeadBytes - 10, more, sizeof more);
  if (got > 0) {
    for (int32_t i = 0; i < got; ++i) more[i] = upper(more[i]);
    if (contains(more, static_cast<size_t>(got), "SCRIPT]")) return 5034;
  }
  return 0;
}

// ---- Markup (test 50) and encoded mail (test 60) ----------------------------------------

int32_t markup(const Ctx& c) {
  const uint8_t* h = c.head;
  bool angle = false;
  for (int i = 0; i < 6; ++i)
    if (h[i] == '<') angle = true;
  bool allText = true;
  for (int i = 0; i < 10; ++i)
    if (!isText(h[i])) allText = false;
  const bool holds = (angle && allText) || c.headHas("MSFT") || c.headHas("ExeStr") ||
                     extInList(c.name, 5, ".HTML.NWS~.EML~.") ||
                     extInList(c.name, 4, ".HTM.HTA.HTT.HTZ.HTI.HTC.HTX.HTW.HTR.CSS.ASX.ASP.VBS.VBE.NWS.EML.") ||
                     extInList(c.name, 3, ".JS.PL.");
  if (!holds) return 0;
  if (extInList(c.name, 5, ".NWS~.EML~.") || extInList(c.name, 4, ".NWS.EML.")) return 5043;
  if (c.headHas("MSFT") || angle) return 5037;
  return 5038;
}

bool encodedMailPart(const Ctx& c) {
  if (c.got != kHeadBytes) return false;
  const uint8_t* h = c.head;
  if (!(bytesAre(h, {13, 10}) || h[0] == 10 || c.headHas("Co") || c.headHas("co"))) return false;
  if (c.name.extLen == 0 || extIs(c.name, ".TMP")) return false;
  uint8_t up[kHeadBytes - 1];
  for (int i = 0; i < kHeadBytes - 1; ++i) up[i] = upper(h[i]);
  return contains(up, sizeof up, "CONTENT-TRANSFER-ENCODING: BASE64");
}

// ---- Tests 12 to 64: everything that is not an MZ/ZM image ---------------------------------

int32_t otherTests(Ctx& c) {
  const uint8_t* h = c.head;
  const int64_t length = c.file.length;

  if (h[0] == 0x7F && startsWith(h + 1, "ELF")) {
    if (h[4] != 1) return 5063;
    switch (h[5] == 2 ? h[17] : h[16]) {
      case 2: return 5035;
      case 3: return 5064;
      case 0: case 1: case 4: return 5063;
      default: break;
    }
  }
  if (bytesAre(h, {0xD0, 0xCF, 0x11, 0xE0})) {
    uint8_t mark[4];
    if (h[24] == ';' && c.file.readAt(56821, mark, 4) == 4 && std::memcmp(mark, "NxSc", 4) == 0) return 5000;
    return 5024;
  }
  if ((c.headHas("RIFF") && startsWith(h + 8, "ACON")) ||
      (bytesAre(h, {0x11, 0x20, 0x01, 0x00}) && startsWith(h + 12, "RIFF") && startsWith(h + 20, "ACON")))
    return 5005;
  if (c.headHas("BM") && static_cast<int64_t>(u32at(h + 2)) == length) return 5004;
  if (bytesAre(h, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A})) return 5049;
  if (bytesAre(h, {0xED, 0xAB, 0xEE, 0xDB})) {
    char ansi[2 * ce::MAX_PATH + 2];
    if (ansiPath(c.name, ansi) && contains(h + 11, kHeadBytes - 11, ansi)) return 5050;
  }
  if (c.headHas("RIFF") && startsWith(h + 8, "AVI LIST") && startsWith(h + 20, "hdrlavi")) return 5009;
  if (bytesAre(h, {0x4C, 0, 0, 0, 0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46})) return 5014;
  if (bytesAre(h, {'M', 'S', 'C', 'F', 0}) && length >= static_cast<int64_t>(u32at(h + 8))) return 5010;
  if (bytesAre(h, {'.', 's', 'n', 'd', 0})) return 5008;
  if (bytesAre(h, {'M', 'T', 'h', 'd', 0})) return 5016;
  if (c.headHas("RIFF")) {
    if (startsWith(h + 8, "RMIDdata") && startsWith(h + 20, "MThd")) return 5017;
    if (startsWith(h + 8, "WAVEfmt ")) return 5018;
    return 5057;
  }
  if (c.headHas("GIF87a") || c.headHas("GIF89a")) return 5011;
  if (bytesAre(h, {0xFF, 0xD8, 0xFF})) return 5013;
  if (bytesAre(h, {0x60, 0xEA})) return 5007;
  if (startsWith(h + 2, "-lh") || startsWith(h + 2, "-lz")) return 5015;
  if (bytesAre(h, {'P', 'K', 3, 4})) return 5019;
  if (bytesAre(h + 20, {0xDC, 0xA7, 0xC4, 0xFD, 0x2A})) return 5020;
  if (bytesAre(h + 14, {0x1A, 'J', 'a', 'r', 0x1B, 0})) return 5012;
  if (c.headHas("ITSF")) return 5021;
  if (bytesAre(h, {0x3F, 0x5F, 0x03, 0x00})) return 5022;
  if (c.headHas("REGEDIT")) return 5023;
  if (bytesAre(h, {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00}) || c.headHas("UniquE!")) return 5041;
  if (bytesAre(h, {0x1F, 0x8B}) || bytesAre(h, {0x1F, 0x9E})) return 5052;
  if (extInList(c.name, 4, ".TAR.") && contains(h, kHeadBytes, "\0ustar ", 7)) return 5053;
  if (bytesAre(h, {0x78, 0x9F, 0x3E, 0x22})) return 5031;
  if (u32at(h) == 0xFE12ADCF && u32at(h + 4) == 0x6F74FDC5) return 5061;
  if (bytesAre(h + 1, {0, 9, 0}) || bytesAre(h, {0xD7, 0xCD, 0xC6, 0x9A})) return 5073;
  if (u32at(h + 4) == 0x10003A12 && u32at(h + 8) == 0x10000419) return 5074;
  if (u32at(h) == 0x10000079 || u32at(h) == 0x1000007A || u32at(h) == 0x10000058) return 5075;
  if (c.headHas("SZDD") && u32at(h + 4) == 0x3327F088) return 5076;
  if (bytesAre(h, {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C}))
    return 5090;
  auto textRun = [&](int from, int to) {
    for (int i = from; i <= to; ++i)
      if (!isText(h[i])) return false;
    return true;
  };
  if (c.headHas("TV") && textRun(2, 9)) return 5058;
  if (c.headHas("UEsD") && textRun(4, 9)) return 5058;
  if (scriptContent(c)) return 5038;
  if (int32_t s = settingsFile(c)) return s;
  if (int32_t m = markup(c)) return m;
  if (startsWith(c.upperHead, "#!/")) return 5038;
  if (startsWith(c.upperHead, "FROM:")) return 5043;
  if (c.headHas("MIME-Ver") || c.headHas("Message-ID: <")) return 5043;
  if (h[510] == 0x55 && h[511] == 0xAA) return 5054;
  if (extInList(c.name, 4, ".CMD.BAT.MSH.") || (c.got > 4 && c.headHas("(def") && contains(h, kHeadBytes, "wjqm1")))
    return 5042;
  if (equalsNoCaseAscii(c.name.lastComponent(), "autorun.inf")) return 5080;
  if (bytesAre(h, {0x37, 0, 0, 0x10})) return 5081;
  if (extIs(c.name, ".GDR")) return 5082;
  if (c.headHas("%PDF-")) return 5087;
  if (encodedMailPart(c)) return 5088;
  if (c.headHas("FWS") || c.headHas("CWS")) return 5089;
  if (c.headHas("X5O!P%@A")) return 5093;
  if (bytesAre(h, {0x7A, 0x1A, 0x20, 0x10})) return 5092;
  return 0;
}

}  // namespace

int32_t classifyFile(FileWrapObject* fw, int32_t handle, const char16_t* path, LongPathFn longPath) {
  if (!fw) return kClassifyFailed;
  const int32_t length = fw->ops->Size(fw, handle);
  if (length <= 0) return kTypeNoScan;

  // The context holds the head and the long name: on the heap, not the stack,
  // since the archive walk classifies at every nesting level.
  auto* c = new (std::nothrow) Ctx{};
  if (!c) return kClassifyFailed;
  c->file = File{fw, handle, length};
  if (fw->ops->Seek(fw, handle, 0, NX_SEEK_SET) != 0) {
    delete c;
    return kClassifyFailed;
  }
  // Asking for no more than the file holds lets the wrapper serve a short
  // file from its head cache instead of going back to the platform for the
  // bytes that are not there.
  const int32_t got = fw->ops->Read(fw, handle, c->head, length < kHeadBytes ? length : kHeadBytes);
  if (got <= 0) {
    delete c;
    return kClassifyFailed;
  }
  c->got = got;
  for (int i = 0; i < 6; ++i) c->upperHead[i] = upper(c->head[i]);
  takeName(c->name, path, longPath);

  const uint8_t* h = c->head;
  int32_t type;
  if (bytesAre(h, {0, 1, 0, 0}) && h[17] == 'D') {
    type = 5072;
  } else if (bytesAre(h, {0xFF, 0xFF})) {
    type = 5000;
  } else if (h[0] == 0 && h[31] == ' ' && (h[24] == ' ' || h[26] == ' ') && !(h[21] == 'T' && h[22] == 'h') &&
             [&] {
               for (int i = 2; i <= 9; ++i)
                 if (h[i] < 26 || h[i] > 125) return false;
               return true;
             }()) {
    type = 5058;
  } else if ((c->headHas("regf") && h[4] == 2) || c->headHas("NXQUAR") || c->headHas("!<arch") ||
             c->headHas("NetWare") || c->headHas("!BDN")) {
    type = 5000;
  } else if (c->headHas("{\\rtf1\\ansi\\")) {
    type = 5079;
  } else if ((h[0] == 'M' && h[1] == 'Z') || (h[0] == 'Z' && h[1] == 'M')) {
    type = mzTests(*c);
  } else {
    type = otherTests(*c);
  }
  delete c;
  return type;
}

int32_t typeCategory(int32_t type) {
  switch (type) {
    case 1: case 3:
    case 5005: case 5013: case 5021: case 5022: case 5024: case 5026: case 5027: case 5028: case 5029:
    case 5032: case 5033: case 5034: case 5035: case 5037: case 5038: case 5042: case 5043: case 5051:
    case 5054: case 5058: case 5064: case 5073: case 5075: case 5080: case 5081: case 5082: case 5083:
    case 5084: case 5093:
      return 1;
    case 5007: case 5010: case 5019: case 5031: case 5041: case 5052: case 5053: case 5074: case 5076:
    case 5092:
      return 2;
    case 5048: case 5062:
      return 3;
    case 5061:
      return 4;
    default:
      return 0;
  }
}

}  // namespace nx::scan
