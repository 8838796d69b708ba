// The type detector: one small fixture per detection test, classified both
// through ScanFileType on a device (the real wrapper, the categories) and
// directly over an in-memory file (to see how much each classification
// reads). Then the bad-input cases: offsets past the end or negative,
// truncated headers, files changing size while classified.
#include <random>

#include "mem_wrap.h"
#include "scan/file_type.h"
#include "scan_fixture.h"

namespace {

using namespace scantest;
using Bytes = std::string;

Bytes zeros(size_t n) { return Bytes(n, '\0'); }
void put16(Bytes& b, size_t at, uint16_t v) {
  if (b.size() < at + 2) b.resize(at + 2);
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  put16(b, at, static_cast<uint16_t>(v & 0xFFFF));
  put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}
void putText(Bytes& b, size_t at, const std::string& t) {
  if (b.size() < at + t.size()) b.resize(at + t.size());
  std::memcpy(b.data() + at, t.data(), t.size());
}
Bytes with(size_t n, std::initializer_list<std::pair<size_t, std::string>> parts) {
  Bytes b = zeros(n);
  for (auto& [at, t] : parts) putText(b, at, t);
  return b;
}
Bytes hex(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(static_cast<char>(x));
  return b;
}

// A PE image: DOS header with the header offset, "PE\0\0", file header
// characteristics, optional header magic and subsystem.
Bytes pe(uint16_t subsystem, uint16_t characteristics, uint16_t magic = 0x10B, uint32_t lfanew = 0x80, size_t total = 512) {
  Bytes b = zeros(std::max<size_t>(total, lfanew + 24 + 96));
  putText(b, 0, "MZ");
  put32(b, 60, lfanew);
  putText(b, lfanew, std::string("PE\0\0", 4));
  put16(b, lfanew + 4 + 18, characteristics);
  put16(b, lfanew + 24, magic);
  put16(b, lfanew + 24 + 68, subsystem);
  return b;
}

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

std::string utf16le(const std::string& s) {
  std::string out;
  for (char c : s) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

struct Row {
  const char* what;
  std::string name;  // file name in \Temp
  Bytes content;
  int type;
  int category;
  bool headOnly = true;  // decided by the one head read
};

std::vector<Row> rows() {
  std::vector<Row> r;
  auto add = [&](const char* what, std::string name, Bytes content, int type, int category, bool headOnly = true) {
    r.push_back({what, std::move(name), std::move(content), type, category, headOnly});
  };
  add("t1 00 01 00 00 ... D", "a.bin", with(32, {{0, std::string("\0\1\0\0", 4)}, {17, "D"}}), 5072, 0);
  add("t2 FF FF", "a.bin", hex({0xFF, 0xFF, 1, 2}), 5000, 0);
  add("t3 text record", "a.bin", with(40, {{2, "ABCDEFGH"}, {24, " "}, {31, " "}}), 5058, 1);
  add("t3 fails on Th at 21", "a.bin", with(40, {{2, "ABCDEFGH"}, {21, "Th"}, {24, " "}, {31, " "}}), 0, 0);
  add("t4 registry hive", "a.dat", with(16, {{0, "regf\2"}}), 5000, 0);
  add("t4 own quarantine file", "a.dat", "NXQUAR-data", 5000, 0);
  add("t4 ar archive", "a.a", "!<arch>\n", 5000, 0);
  add("t5 rtf", "a.rtf", "{\\rtf1\\ansi\\deff0}", 5079, 0);
  add("t6 CE library", "a.dll", pe(9, 0x2002), 5083, 1);
  add("t6 CE program", "a.exe", pe(9, 0x0002), 5084, 1);
  add("t6 PE32+", "a.exe", pe(2, 0x0002, 0x20B), 5071, 0);
  add("t6 Win32 library", "a.dll", pe(2, 0x2002), 5026, 1);
  add("t6 native", "a.sys", pe(1, 0x0002), 5028, 1);
  add("t6 Win32 program", "a.exe", pe(2, 0x0002), 5027, 1);
  add("t6 header beyond the head", "a.exe", pe(9, 0x0002, 0x10B, 2000, 2200), 5084, 1, false);
  add("t6 header offset past the end", "a.exe", [] { Bytes b = pe(9, 2); put32(b, 60, 100000); return b; }(), 1, 1, false);
  add("t6 negative header offset", "a.exe", [] { Bytes b = pe(9, 2); put32(b, 60, 0xFFFFFFF0u); return b; }(), 1, 1, false);
  add("t7 NE", "a.exe", [] { Bytes b = with(256, {{0, "MZ"}, {0x80, "NE"}}); put32(b, 60, 0x80); return b; }(), 5029, 1);
  add("t8 LE", "a.exe", [] { Bytes b = with(256, {{0, "MZ"}, {0x80, std::string("LE\0\0", 4)}}); put32(b, 60, 0x80); return b; }(), 5051, 1);
  add("t9 LZ91", "a.exe", with(64, {{0, "MZ"}, {8, "\2"}, {24, "\x1C"}, {28, "LZ91"}}), 5048, 3);
  add("t9 ZM LZ09", "a.exe", with(64, {{0, "ZM"}, {8, "\2"}, {24, "\x1C"}, {28, "LZ09"}}), 5048, 3);
  add("t10 packed DOS image", "a.exe", [] { Bytes b = with(64, {{0, "MZ"}}); put16(b, 20, 256); put16(b, 22, 0xFFF2); return b; }(), 5062, 3);
  add("t11 lone M", "m.bin", "M", 0, 0);
  add("t11 two-byte MZ", "m.bin", "MZ", 1, 1);
  add("t11 MZ with @ at 24", "m.exe", with(64, {{0, "MZ"}, {24, "@"}}), 3, 1);
  add("t11 ZM", "m.exe", "ZM\1\2", 1, 1);
  add("t12 ELF executable", "a.elf", with(64, {{0, "\x7F" "ELF\1\1"}, {16, "\2"}}), 5035, 1);
  add("t12 ELF shared", "a.so", with(64, {{0, "\x7F" "ELF\1\1"}, {16, "\3"}}), 5064, 1);
  add("t12 ELF big endian type at 17", "a.so", with(64, {{0, "\x7F" "ELF\1\2"}, {17, "\3"}}), 5064, 1);
  add("t12 ELF relocatable", "a.o", with(64, {{0, "\x7F" "ELF\1\1"}, {16, "\1"}}), 5063, 0);
  add("t12 ELF 64-bit", "a.o", with(64, {{0, "\x7F" "ELF\2\1"}}), 5063, 0);
  add("t12 ELF unknown type falls through", "a.o", with(64, {{0, "\x7F" "ELF\1\1"}, {16, "\x09"}}), 0, 0);
  add("t13 compound document", "a.doc", with(64, {{0, "\xD0\xCF\x11\xE0"}}), 5024, 1);
  add("t13 own compound marker", "a.doc", with(56825, {{0, "\xD0\xCF\x11\xE0"}, {24, ";"}, {56821, "NxSc"}}), 5000, 0, false);
  add("t14 animated cursor", "a.ani", with(32, {{0, "RIFF"}, {8, "ACON"}}), 5005, 1);
  add("t15 bitmap", "a.bmp", [] { Bytes b = with(40, {{0, "BM"}}); put32(b, 2, 40); return b; }(), 5004, 0);
  add("t15 bitmap with wrong length", "a.bmp", [] { Bytes b = with(40, {{0, "BM"}}); put32(b, 2, 41); return b; }(), 0, 0);
  add("t16 png", "a.png", "\x89PNG\r\n\x1A\n....", 5049, 0);
  add("t17 rpm holding its path", "a.rpm", with(64, {{0, "\xED\xAB\xEE\xDB"}, {12, "\\Temp\\a.rpm"}}), 5050, 0);
  add("t18 avi", "a.avi", with(32, {{0, "RIFF"}, {8, "AVI LIST"}, {20, "hdrlavi"}}), 5009, 0);
  add("t19 shortcut", "a.lnk", hex({0x4C, 0, 0, 0, 1, 0x14, 2, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46, 0}), 5014, 0);
  add("t20 cab", "a.cab", [] { Bytes b = with(64, {{0, "MSCF"}}); put32(b, 8, 64); return b; }(), 5010, 2);
  add("t20 cab longer than its file", "a.cab", [] { Bytes b = with(64, {{0, "MSCF"}}); put32(b, 8, 65); return b; }(), 0, 0);
  add("t21 snd", "a.au", std::string(".snd\0", 5), 5008, 0);
  add("t22 midi", "a.mid", std::string("MThd\0", 5), 5016, 0);
  add("t23 rmid", "a.rmi", with(32, {{0, "RIFF"}, {8, "RMIDdata"}, {20, "MThd"}}), 5017, 0);
  add("t24 wave", "a.wav", with(32, {{0, "RIFF"}, {8, "WAVEfmt "}}), 5018, 0);
  add("t25 other riff", "a.riff", with(32, {{0, "RIFF"}, {8, "WEBP"}}), 5057, 0);
  add("t26 gif", "a.gif", "GIF89a....", 5011, 0);
  add("t27 jpeg", "a.jpg", "\xFF\xD8\xFF\xE0", 5013, 1);
  add("t28 arj", "a.arj", "\x60\xEA\x10\x00", 5007, 2);
  add("t29 lha", "a.lzh", "xx-lh5-yyyy", 5015, 0);
  add("t30 zip", "a.zip", "PK\3\4rest", 5019, 2);
  add("t31 at 20", "a.bin", with(32, {{20, "\xDC\xA7\xC4\xFD\x2A"}, {0, "x"}}), 5020, 0);
  add("t32 jar", "a.j", with(32, {{0, "x"}, {14, std::string("\x1AJar\x1B\0", 6)}}), 5012, 0);
  add("t33 chm", "a.chm", "ITSF....", 5021, 1);
  add("t34 help", "a.hlp", "\x3F\x5F\x03\x00....", 5022, 1);
  add("t35 regedit", "a.reg", "REGEDIT4\r\n", 5023, 0);
  add("t36 rar", "a.rar", std::string("Rar!\x1A\x07\0rest", 11), 5041, 2);
  add("t36 UniquE!", "a.bin", "UniquE!...", 5041, 2);
  add("t37 gzip", "a.gz", "\x1F\x8B\x08\x00", 5052, 2);
  add("t38 tar", "a.tar", with(600, {{0, "a.txt"}, {256, std::string("\0ustar ", 7)}}), 5053, 2);
  add("t38 tar content under another name", "a.bin", with(600, {{0, "a.txt"}, {256, std::string("\0ustar ", 7)}}), 0, 0);
  add("t39", "a.bin", "\x78\x9F\x3E\x22", 5031, 2);
  add("t40 mailbox store", "a.pst", [] { Bytes b = zeros(16); put32(b, 0, 0xFE12ADCF); put32(b, 4, 0x6F74FDC5); b[0] = '\xCF'; return b; }(), 5061, 4);
  add("t41 metafile", "a.wmf", std::string("\1\0\x09\0rest", 8), 5073, 1);
  add("t41 placeable metafile", "a.wmf", "\xD7\xCD\xC6\x9A", 5073, 1);
  add("t42 sis", "a.sis", [] { Bytes b = zeros(32); put32(b, 0, 0x10000001); put32(b, 4, 0x10003A12); put32(b, 8, 0x10000419); return b; }(), 5074, 2);
  add("t43 epoc executable", "a.app", [] { Bytes b = zeros(32); put32(b, 0, 0x1000007A); return b; }(), 5075, 1);
  add("t44 szdd", "a.ex_", [] { Bytes b = with(16, {{0, "SZDD"}}); put32(b, 4, 0x3327F088); return b; }(), 5076, 2);
  add("t45 asf", "a.wma", hex({0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0, 0xAA, 0, 0x62, 0xCE, 0x6C}), 5090, 0);
  add("t46 TV text", "a.bin", "TVabcdefgh", 5058, 1);
  add("t47 UEsD text", "a.bin", "UEsDabcdef", 5058, 1);
  add("t48 vb script", "a.txt",
      "Dim a\r\nSet a = CreateObject(\"x\")\r\n" + std::string(200, ' '), 5038, 1);
  add("t48 too short for a script", "a.txt", "Dim a\r\nSet a = CreateObject(\"x\")\r\n", 0, 0);
  add("t48 utf-16 script", "a.txt",
      "\xFF\xFE" + utf16le("dim a set a = createobject(x)") + std::string(1024, ' '), 5038, 1);
  add("t49 windows run", "win.ini", "[windows]\r\nrun=calc.exe\r\n", 5032, 1, false);
  add("t49 commented run uses the next one", "win.ini", "[windows]\r\n;run=nothing\r\nrun=evil.exe\r\n", 5032, 1, false);
  add("t49 commented run only", "win.ini", "[windows]\r\n;run=nothing here\r\n", 0, 0, false);
  add("t49 short run line", "win.ini", "[windows]\r\nrun=ab\r\n", 0, 0, false);
  add("t49 boot shell", "system.ini", "[boot]\r\nshell=explorer.exe\r\n", 5033, 1, false);
  add("t49 script section", "a.ini", "[Script]\r\nx=1\r\n", 5034, 1, false);
  add("t49 script section beyond the head", "a.ini", "[a]\r\n" + std::string(2000, ';') + "\r\n[script]\r\n", 5034, 1, false);
  add("t49 binary ini is no settings file", "a.ini", "\x01\x02[windows]\r\nrun=calc.exe", 0, 0, false);
  // LF line ends: the key search must start right after the section line.
  add("t49 windows run, LF", "win.ini", "[windows]\nrun=calc.exe\n", 5032, 1, false);
  add("t49 boot shell, LF", "system.ini", "[boot]\nshell=explorer.exe\n", 5033, 1, false);
  add("t49 commented run uses the next one, LF", "win.ini", "[windows]\n;run=nothing\nrun=evil.exe\n", 5032, 1, false);
  add("t49 commented run only, LF", "win.ini", "[windows]\n;run=nothing here\n", 0, 0, false);
  add("t49 short run line then another section's key, LF", "win.ini",
      "[windows]\nrun=x\n[other]\nrunonce=abcdefgh\n", 0, 0, false);
  add("t49 short run line then another section's key, CRLF", "win.ini",
      "[windows]\r\nrun=x\r\n[other]\r\nrunonce=abcdefgh\r\n", 0, 0, false);
  add("t49 short shell line then another section's key, LF", "system.ini",
      "[boot]\nshell=\n[other]\nshellext=abcdefgh\n", 0, 0, false);
  add("t50 html", "a.htm", "<html><body>hi</body></html>", 5037, 1);
  add("t50 html under eml", "a.eml", "<html><body>hi</body></html>", 5043, 1);
  add("t50 .h quirk", "a.h", "int a;\r\nint b;\r\n", 5038, 1);
  add("t50 tag without extension", "page", "<html><body>hi</body></html>", 5037, 1);
  add("t50 MSFT", "a.bin", "MSFT....", 5037, 1);
  add("t50 script extension", "a.js", "var a = 1;", 5038, 1);
  add("t51 shebang", "a.sh", "#!/bin/sh\necho\n", 5038, 1);
  add("t52 mail from", "a.msg", "from: someone\r\n", 5043, 1);
  add("t53 mime", "a.msg", "MIME-Version: 1.0\r\n", 5043, 1);
  add("t53 message id", "a.msg", "Message-ID: <1@x>\r\n", 5043, 1);
  add("t54 boot sector", "a.img", with(512, {{3, "MSDOS5.0"}, {510, "\x55\xAA"}}), 5054, 1);
  add("t55 batch", "a.bat", "echo hi\r\n", 5042, 1);
  add("t55 lisp", "a.lsp", "(defun wjqm1 ())", 5042, 1);
  add("t56 autorun", "AutoRun.INF", "[autorun]\r\nopen=x.exe\r\n", 5080, 1);
  add("t57 epoc store", "a.dat", std::string("\x37\0\0\x10rest", 8), 5081, 1);
  add("t58 gdr", "a.GDR", "\x01\x02\x03", 5082, 1);
  add("t59 pdf", "a.pdf", "%PDF-1.4\n", 5087, 0);
  add("t60 encoded mail part", "a.b64",
      ([] { Bytes b = "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n"; b.resize(1024, 'A'); return b; })(),
      5088, 0);
  add("t60 not under .tmp", "a.tmp",
      ([] { Bytes b = "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n"; b.resize(1024, 'A'); return b; })(),
      0, 0);
  add("t61 flash", "a.swf", "FWS\x08", 5089, 0);
  add("t62 eicar", "eicar.com", kEicar, 5093, 1);
  add("t62 eicar without extension", "eicar", kEicar, 5093, 1);
  add("t63 sisx", "a.sisx", "\x7A\x1A\x20\x10....", 5092, 2);
  add("t64 nothing known", "a.bin", "\x01\x02\x03\x04\x05", 0, 0);

  // Contents that satisfy two of the text tests: the earlier test decides.
  const std::string vbs = "Dim a\r\nSet a = CreateObject(\"WScript.Shell\")\r\n";
  add("t48 before t50: a script tag holding a script, as .htm", "a.htm",
      "<script language=\"vbscript\">\r\n" + vbs + "</script>\r\n" + std::string(200, ' '), 5038, 1);
  add("t48 before t49: a settings file holding a script", "win.ini",
      "[windows]\r\nrun=calc.exe\r\n" + vbs + std::string(200, ' '), 5038, 1);
  add("t49 before t50: a settings file beginning with a tag", "win.ini",
      "<x>\r\n[windows]\r\nrun=calc.exe\r\n", 5032, 1, false);
  add("t50 before t51: a shebang holding a tag", "a.sh", "#!/x <a> b\n", 5037, 1);
  add("t50 before t52: a from line holding a tag", "a.msg", "FROM:<a@b>\r\n", 5037, 1);
  add("t50 before t62: the test file under .htm", "eicar.htm", kEicar, 5038, 1);
  add("t53 before t55: a mail header saved as .bat", "a.bat", "MIME-Version: 1.0\r\n", 5043, 1);
  add("t54 before t55: a boot sector saved as .bat", "a.bat", with(512, {{3, "MSDOS5.0"}, {510, "\x55\xAA"}}), 5054, 1);
  add("t56 before t62: the test file as autorun.inf", "autorun.inf", kEicar, 5080, 1);
  return r;
}

// ---- Over an in-memory file: the code, and how much was read -----------------------

TEST(FileTypeTable, EveryRowOverMemory) {
  for (const Row& row : rows()) {
    memwrap::MemFile f(row.content);
    std::u16string path = u"\\Temp\\" + u16(row.name);
    const int32_t type = nx::scan::classifyFile(&f.base, 0, path.c_str(), nullptr);
    EXPECT_EQ(type, row.type) << row.what;
    EXPECT_EQ(nx::scan::typeCategory(type), row.category) << row.what;
    if (row.headOnly) {
      EXPECT_EQ(f.reads, 1) << row.what << ": one read of the head";
      EXPECT_LE(f.bytesRead, 1024) << row.what;
    }
  }
}

// ---- Through ScanFileType on a device ---------------------------------------------------------

class ScanFileTypeTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    installAll();
    ASSERT_NE(load(), nullptr);
    scanFileType = fn<ScanFileTypeFn>(u"ScanFileType");
  }
  using ScanFileTypeFn = int32_t (*)(const char16_t*, uint16_t*, uint16_t*);
  ScanFileTypeFn scanFileType = nullptr;
};

TEST_F(ScanFileTypeTest, EveryRowOnTheDevice) {
  int i = 0;
  for (const Row& row : rows()) {
    // One folder per row: names repeat between rows.
    std::string rel = "Temp/r" + std::to_string(i++);
    std::filesystem::create_directories(dev.host(rel));
    dev.writeFile(rel + "/" + row.name, row.content);
    // The rpm row holds its own path, which lives in the row's folder here.
    std::u16string path = u"\\" + u16(rel + "/" + row.name);
    for (auto& c : path)
      if (c == u'/') c = u'\\';
    if (row.type == 5050) continue;  // path-dependent; covered over memory
    uint16_t cat = 99, type = 99;
    EXPECT_EQ(scanFileType(path.c_str(), &cat, &type), NX_ENGINE_SUCCESS) << row.what;
    EXPECT_EQ(type, row.type) << row.what;
    EXPECT_EQ(cat, row.category) << row.what;
  }
}

TEST_F(ScanFileTypeTest, ArgumentsAndNonFiles) {
  dev.writeFile("Temp/empty.bin", "");
  dev.writeFile("Temp/e.com", kEicar);
  uint16_t cat = 7, type = 7;
  EXPECT_EQ(scanFileType(u"\\Temp\\empty.bin", &cat, &type), NX_ENGINE_SUCCESS);
  EXPECT_EQ(cat, 0);
  EXPECT_EQ(type, 0);
  cat = type = 7;
  EXPECT_EQ(scanFileType(u"\\Temp", &cat, &type), NX_ENGINE_FAILURE);
  EXPECT_EQ(cat, 0);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(scanFileType(u"\\Temp\\missing.bin", &cat, &type), NX_ENGINE_FAILURE);
  EXPECT_EQ(scanFileType(nullptr, &cat, &type), NX_ENGINE_FAILURE);
  type = 7;
  EXPECT_EQ(scanFileType(u"\\Temp\\e.com", nullptr, &type), NX_ENGINE_FAILURE);
  EXPECT_EQ(type, 0);
  // The type output is optional.
  EXPECT_EQ(scanFileType(u"\\Temp\\e.com", &cat, nullptr), NX_ENGINE_SUCCESS);
  EXPECT_EQ(cat, 1);
}

TEST_F(ScanFileTypeTest, UnreadableFileIsAnOpenError) {
  dev.writeFile("Temp/locked.exe", "MZ");
  // Held open without sharing by someone else: the engine cannot open it.
  ce::HANDLE h = ce::CreateFileW(u"\\Temp\\locked.exe", ce::GENERIC_READ | ce::GENERIC_WRITE, 0, nullptr,
                                 ce::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, ce::INVALID_HANDLE_VALUE);
  uint16_t cat = 0;
  EXPECT_EQ(scanFileType(u"\\Temp\\locked.exe", &cat, nullptr), NX_ENGINE_ERROR);
  ce::CloseHandle(h);
  EXPECT_EQ(scanFileType(u"\\Temp\\locked.exe", &cat, nullptr), NX_ENGINE_SUCCESS);
}

TEST(ScanFileTypeUninitialised, RefusesWithoutTheEngine) {
  // The engine's exports answer 1805 until LibInit has given them a wrapper.
  nxtest::TempDevice dev;
  std::filesystem::create_directories(dev.host(scantest::kInstall));
  std::filesystem::copy_file(scantest::imageDll("scan.dll"), dev.host(scantest::kInstall) + "/scan.dll");
  ce::HMODULE h = ce::LoadLibraryW(u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\scan.dll");
  ASSERT_NE(h, nullptr);
  auto sft = reinterpret_cast<int32_t (*)(const char16_t*, uint16_t*, uint16_t*)>(ce::GetProcAddressW(h, u"ScanFileType"));
  uint16_t cat = 5;
  EXPECT_EQ(sft(u"\\Temp", &cat, nullptr), NX_ENGINE_FAILURE);
  EXPECT_EQ(cat, 0);
  auto reload = reinterpret_cast<int (*)(int32_t, int32_t)>(ce::GetProcAddressW(h, u"ReloadSignatures"));
  EXPECT_EQ(reload(1, 2), 0);
  ce::FreeLibrary(h);
}

// ---- Bad input ------------------------------------------------------------------------------------

int32_t classify(memwrap::MemFile& f, const char16_t* path = u"\\Temp\\a.bin") {
  return nx::scan::classifyFile(&f.base, 0, path, nullptr);
}

TEST(FileTypeBadInput, HeaderOffsetsAnywhere) {
  struct Case {
    uint32_t lfanew;
    size_t total;
    int32_t type;
  } cases[] = {
      {1020, 1024, 1},         // "PE" would straddle the end of the file
      {1022, 1024, 1},         // NE test reads 2 bytes at the very end
      {0x7FFFFFFF, 2048, 1},   // far past the end
      {0x80000000, 2048, 1},   // negative as a signed offset
      {0xFFFFFFFF, 2048, 1},
      {60, 200, 1},            // the offset field itself
  };
  for (const Case& c : cases) {
    Bytes b = with(c.total, {{0, "MZ"}});
    put32(b, 60, c.lfanew);
    memwrap::MemFile f(b);
    EXPECT_EQ(classify(f), c.type) << c.lfanew;
  }
}

TEST(FileTypeBadInput, TruncatedPeHeaders) {
  // "PE" at the end of the file, headers missing: a Win32 program by the
  // zeros that stand for the missing header, never a read outside the file.
  Bytes b = with(0x84, {{0, "MZ"}, {0x80, std::string("PE\0\0", 4)}});
  put32(b, 60, 0x80);
  memwrap::MemFile f(b);
  EXPECT_EQ(classify(f), 5027);
  // The same with the header beyond the head and the file cut after "PE".
  Bytes far = with(3004, {{0, "MZ"}, {3000, std::string("PE\0\0", 4)}});
  put32(far, 60, 3000);
  memwrap::MemFile g(far);
  EXPECT_EQ(classify(g), 5027);
}

TEST(FileTypeBadInput, EmptyUnreadableAndShrinkingFiles) {
  memwrap::MemFile empty("");
  EXPECT_EQ(classify(empty), 5000);

  // A positive length, but the content is gone by the time it is read.
  memwrap::MemFile gone("MZ");
  FileWrapOps ops = *gone.base.ops;
  ops.Read = [](FileWrapObject*, int32_t, void*, int32_t) -> int32_t { return 0; };
  gone.base.ops = &ops;
  EXPECT_EQ(classify(gone), nx::scan::kClassifyFailed);

  // A settings file cut to nothing after its head was read: the section
  // searches find nothing, the classification still ends.
  memwrap::MemFile shrink("[windows]\r\nrun=calc.exe\r\n" + std::string(3000, ' '));
  shrink.changeAfterFirstRead = true;
  shrink.changed = "";
  EXPECT_EQ(classify(shrink, u"\\Temp\\win.ini"), 0);

  // A settings file that grows after its head was read: found further on.
  memwrap::MemFile grow("[a]\r\n" + std::string(100, ' '));
  grow.changeAfterFirstRead = true;
  grow.changed = "[a]\r\n" + std::string(5000, ' ') + "\r\n[windows]\r\nrun=calc.exe\r\n";
  EXPECT_EQ(classify(grow, u"\\Temp\\win.ini"), 5032);
}

TEST(FileTypeBadInput, LargeSettingsFileIsReadInWindows) {
  // No section anywhere in 2 MB: every window is read once, never the file whole.
  Bytes big = "[a]\r\n" + std::string(2 << 20, 'x');
  memwrap::MemFile f(big);
  EXPECT_EQ(classify(f, u"\\Temp\\big.ini"), 0);
  // Two section searches and the 4096-byte tail read, each over the file once
  // (windows overlap by a few bytes).
  EXPECT_LT(f.bytesRead, 2 * static_cast<int64_t>(big.size()) * 11 / 10 + 8192);
}

TEST(FileTypeBadInput, RandomHeadsAndNamesStayInTheVocabulary) {
  std::mt19937 rng(1234);
  const std::set<int32_t> vocabulary = [] {
    std::set<int32_t> s{0, 1, 3};
    for (int32_t c = 5000; c <= 5093; ++c) s.insert(c);
    return s;
  }();
  const char16_t* names[] = {u"\\a.ini", u"\\a.htm", u"\\a", u"\\a.tar", u"\\a.eml", u"\\autorun.inf", u"\\x.h",
                             u"\\a.gdr", u"", u"\\.", u"\\a.b.c.d.e.f.g.h"};
  const Bytes seeds[] = {pe(9, 2), "MZ", "[windows]\r\nrun=calc.exe\r\n", "\x7F" "ELF\1\1", "RIFF", "MSCF",
                         "\xD0\xCF\x11\xE0", "\xFF\xFE", "Content-Type", kEicar};
  for (int i = 0; i < 4000; ++i) {
    Bytes b = seeds[rng() % std::size(seeds)];
    b.resize(rng() % 3000 + 1, '\0');
    const int flips = static_cast<int>(rng() % 16);
    for (int k = 0; k < flips; ++k) b[rng() % b.size()] = static_cast<char>(rng());
    if (rng() % 4 == 0 && b.size() >= 64) put32(b, 60, static_cast<uint32_t>(rng()));
    memwrap::MemFile f(b);
    const int32_t t = classify(f, names[rng() % std::size(names)]);
    ASSERT_TRUE(vocabulary.count(t)) << t;
  }
}

}  // namespace
