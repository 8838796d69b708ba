// Golden signature files, one per format, written here field by field from the formats' byte
// tables: the stored (scrambled) bytes are spelt out as hex, each with the field it holds and the
// value it decodes to. They deliberately use neither nxsig's encoder nor the scanners' constants,
// so a wrong field offset, record size, checksum rule or scrambling constant on either side makes
// these tests fail: the modules must load the files and detect samples made here under the
// expected names, and `nxsig build` of the matching source must reproduce every byte.
//
// Scrambling as the fixtures spell it: "sig32ce.inx" pattern bytes + 0x5A, names (there and in
// "sigmpoly.inx") + 0x3C; category files (Windows CE and EPOC) every record byte rotated left by
// 3 bits; "sigaif.inx" bytes 0-149 of a record XOR 0xA7. Numbers are little-endian.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include <gtest/gtest.h>

#include "exescan/exescan_api.h"
#include "formats.h"
#include "scanner_bed.h"

namespace {

using namespace scanbed;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

// One field of a fixture: its stored bytes as hex, `times` copies of them.
struct Piece {
  const char* hex;
  const char* field;
  int times = 1;
};

Bytes assemble(std::initializer_list<Piece> pieces) {
  Bytes out;
  for (const Piece& p : pieces) {
    Bytes one;
    std::istringstream in(p.hex);
    std::string h;
    while (in >> h) one.push_back(static_cast<uint8_t>(std::stoul(h, nullptr, 16)));
    for (int i = 0; i < p.times; ++i) out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

// ---- "sig32ce.inx": 16-bit checksum, 16-bit count, 50-byte records --------------------------
const Bytes kPeFile = assemble({
    {"56 11", "checksum: 16-bit sum of stored bytes 0-20 of both records = 0x1156"},
    {"02 00", "record count 2"},
    // record 0
    {"38 1A 07 65", "pattern DE C0 AD 0B, each + 0x5A"},
    {"5A", "pattern bytes 4-20: 00 + 0x5A", 17},
    {"04 00", "pattern length 4"},
    {"00 00", "bytes 23-24, not used"},
    {"83 AB A8 A0 6A 8C 81 6A 7D 9E AF A1 AA B0", "name \"Gold.PE.Absent\", each + 0x3C"},
    {"3C", "name padding: 00 + 0x3C", 11},
    // record 1
    {"9F A8 AE AC B3 7A AA A9 A3 A8 AE", "pattern \"ENTRY POINT\", each + 0x5A"},
    {"5A", "pattern bytes 11-20: 00 + 0x5A", 10},
    {"0B 00", "pattern length 11"},
    {"00 00", "bytes 23-24, not used"},
    {"83 AB A8 A0 6A 8C 81 6A 81 AA B0 AE B5", "name \"Gold.PE.Entry\", each + 0x3C"},
    {"3C", "name padding: 00 + 0x3C", 12},
});

// ---- "sigmpoly.inx": five 16-bit counts by type, 10 spare bytes, 27-byte records -------------
const Bytes kPolyFile = assemble({
    {"01 00", "type 1 count 1"},
    {"00 00", "type 2 count 0"},
    {"02 00", "type 3 count 2"},
    {"00 00", "type 4 count 0"},
    {"00 00", "type 5 count 0"},
    {"00", "bytes 10-19, not used", 10},
    {"03 00", "record 0: type 3"},
    {"8C AB A8 B5 6A 83 AB A8 A0 6A 7D", "name \"Poly.Gold.A\", each + 0x3C"},
    {"3C", "name padding", 14},
    {"01 00", "record 1: type 1"},
    {"8C AB A8 B5 6A 83 AB A8 A0 6A 8B B0 A4 A1 AE", "name \"Poly.Gold.Other\", each + 0x3C"},
    {"3C", "name padding", 10},
    {"03 00", "record 2: type 3"},
    {"8C AB A8 B5 6A 83 AB A8 A0 6A 7E", "name \"Poly.Gold.B\", each + 0x3C"},
    {"3C", "name padding", 14},
});

// ---- "sigwtrjn.in1" (Daily Trojans, table code 35, mask 2): "INXF", 32-bit checksum, 32-bit
// count, 89-byte records sorted by key; every record byte rotated left by 3 (00 stays 00).
const Bytes kWinceFile = assemble({
    {"49 4E 58 46", "magic \"INXF\""},
    {"AE 1B 00 00", "checksum: 32-bit sum of all stored record bytes = 0x1BAE"},
    {"02 00 00 00", "record count 2"},
    // record 0: decoys with key 0x100
    {"00 00 00 00", "bytes 0-3, not used"},
    {"3A 7B 63 23 71 7A A3 43 2B 93", "name \"Gold.Other\" rotated"},
    {"00", "name padding", 20},
    {"00", "byte 34, not used"},
    {"00 08 00 00", "key 0x00000100 (rotated: 00 01 00 00 -> 00 08 00 00)"},
    {"00 00 00 00", "bytes 39-42, not used"},
    {"00", "section name \"\" (9 bytes)", 9},
    {"00 08 00 00", "region A offset 0x100"},
    {"20", "region A length 4"},
    {"88 88 88 88", "region A checksum 0x11111111"},
    {"02 00 00 00", "region B offset 0x40"},
    {"C0", "region B length 24"},
    {"11 11 11 11", "region B checksum 0x22222222"},
    {"00 18 00 00", "region C offset 0x300"},
    {"80", "region C length 16"},
    {"99 99 99 99", "region C checksum 0x33333333"},
    {"00", "flags 0"},
    {"00", "byte 80, not used"},
    {"00", "bytes 81-88, dropped at load", 8},
    // record 1: the sample's record, key 0x200
    {"00 00 00 00", "bytes 0-3, not used"},
    {"A2 93 7B 53 0B 73 71 BA 4B 73 1A 2A 71 3A 7B 63 23", "name \"Trojan.WinCE.Gold\" rotated"},
    {"00", "name padding", 13},
    {"00", "byte 34, not used"},
    {"00 10 00 00", "key 0x00000200"},
    {"00 00 00 00", "bytes 39-42, not used"},
    {"71 A3 2B C3 A3", "section name \".text\" rotated"},
    {"00", "section name padding", 4},
    {"00 10 00 00", "region A offset 0x200 (the entry point)"},
    {"F0", "region A length 30"},
    {"94 84 88 87", "region A checksum 0xF0119092"},
    {"02 00 00 00", "region B offset 0x40"},
    {"C0", "region B length 24"},
    {"7C 39 DC 73", "region B checksum 0x6E9B278F"},
    {"00 18 00 00", "region C offset 0x300"},
    {"80", "region C length 16"},
    {"DF 0B 97 75", "region C checksum 0xAEF261FB"},
    {"08", "flags 1: the entry section's name must match"},
    {"00", "byte 80, not used"},
    {"00", "bytes 81-88, dropped at load", 8},
});

// ---- "sigmspwr.inx" (EPOC SpyWare, table code 106, mask 4, " (Not a Virus)"): as above with
// 76-byte records.
const Bytes kEpocFile = assemble({
    {"49 4E 58 46", "magic \"INXF\""},
    {"20 21 00 00", "checksum: 32-bit sum of all stored record bytes = 0x2120"},
    {"02 00 00 00", "record count 2"},
    // record 0: a decoy with key 0x50
    {"00 00 00 00", "bytes 0-3, not used"},
    {"9A 83 CB 71 7A A3 43 2B 93", "name \"Spy.Other\" rotated"},
    {"00", "name padding", 21},
    {"00", "byte 34, not used"},
    {"82 00 00 00", "key 0x50"},
    {"22 22 22 22", "header checksum 0x44444444"},
    {"82 00 00 00", "region A offset 0x50"},
    {"20", "region A length 4"},
    {"AA AA AA AA", "region A checksum 0x55555555"},
    {"01 00 00 00", "region B offset 0x20"},
    {"80", "region B length 16"},
    {"33 33 33 33", "region B checksum 0x66666666"},
    {"87 08 00 00", "region C offset 0x1F0"},
    {"80", "region C length 16"},
    {"BB BB BB BB", "region C checksum 0x77777777"},
    {"00 00", "bytes 70-71, not used"},
    {"00 00 00 00", "bytes 72-75, dropped at load"},
    // record 1: the sample's record, key 0x110
    {"00 00 00 00", "bytes 0-3, not used"},
    {"9A 83 CB 71 2A 82 7A 1A 71 3A 7B 63 23", "name \"Spy.EPOC.Gold\" rotated"},
    {"00", "name padding", 17},
    {"00", "byte 34, not used"},
    {"80 08 00 00", "key 0x110 (the entry point: code offset 0x100 + entry 0x10)"},
    {"36 FC F6 F6", "header checksum 0xDEDE9FC6 (header bytes 16-123)"},
    {"80 08 00 00", "region A offset 0x110"},
    {"F0", "region A length 30"},
    {"94 84 88 87", "region A checksum 0xF0119092"},
    {"01 00 00 00", "region B offset 0x20"},
    {"80", "region B length 16"},
    {"55 A5 22 98", "region B checksum 0x1344B4AA"},
    {"87 08 00 00", "region C offset 0x1F0"},
    {"80", "region C length 16"},
    {"FD C0 8C F6", "region C checksum 0xDE9118BF"},
    {"00 00", "bytes 70-71, not used"},
    {"00 00 00 00", "bytes 72-75, dropped at load"},
});

// ---- "sigaif.inx": 32-bit checksum, 32-bit count, 152-byte records -------------------------
const Bytes kStoreFile = assemble({
    {"3F 87 00 00", "checksum: 32-bit sum of stored bytes 50-149 of both records = 0x873F"},
    {"02 00 00 00", "record count 2"},
    // record 0
    {"F4 D3 C8 D5 C2 89 E0 C8 CB C3 89 E8 D3 CF C2 D5", "name \"Store.Gold.Other\" XOR 0xA7"},
    {"A7", "name padding: 00 XOR 0xA7", 34},
    {"E9 E8 F3 EF E2 F5 E2", "pattern \"NOTHERE\" XOR 0xA7"},
    {"A7", "pattern padding", 93},
    {"07 00", "pattern length 7, plain"},
    // record 1
    {"F4 D3 C8 D5 C2 89 E0 C8 CB C3 89 E6", "name \"Store.Gold.A\" XOR 0xA7"},
    {"A7", "name padding", 38},
    {"E0 E8 EB E3 F7 E6 F3 F3 E2 F5 E9", "pattern \"GOLDPATTERN\" XOR 0xA7"},
    {"A7", "pattern padding", 89},
    {"0B 00", "pattern length 11, plain"},
});

// The source an analyst would write for the five files.
const char* kSource = R"({
  "pe": [{"name": "Gold.PE.Absent", "pattern": "dec0ad0b"},
         {"name": "Gold.PE.Entry", "pattern": "454e54525920504f494e54"}],
  "poly": [{"type": 3, "name": "Poly.Gold.A"}, {"type": 1, "name": "Poly.Gold.Other"},
           {"type": 3, "name": "Poly.Gold.B"}],
  "wince": [
    {"table": "sigwtrjn.in1", "name": "Trojan.WinCE.Gold", "key": "0x200", "section": ".text", "flags": 1,
     "regions": [{"offset": 512, "length": 30, "crc": "0xF0119092"},
                 {"offset": 64, "length": 24, "crc": "0x6E9B278F"},
                 {"offset": 768, "length": 16, "crc": "0xAEF261FB"}]},
    {"table": "sigwtrjn.in1", "name": "Gold.Other", "key": "0x100",
     "regions": [{"offset": 256, "length": 4, "crc": "0x11111111"},
                 {"offset": 64, "length": 24, "crc": "0x22222222"},
                 {"offset": 768, "length": 16, "crc": "0x33333333"}]}],
  "epoc": [
    {"table": "sigmspwr.inx", "name": "Spy.Other", "key": "0x50", "header_crc": "0x44444444",
     "regions": [{"offset": 80, "length": 4, "crc": "0x55555555"},
                 {"offset": 32, "length": 16, "crc": "0x66666666"},
                 {"offset": 496, "length": 16, "crc": "0x77777777"}]},
    {"table": "sigmspwr.inx", "name": "Spy.EPOC.Gold", "key": "0x110", "header_crc": "0xDEDE9FC6",
     "regions": [{"offset": 272, "length": 30, "crc": "0xF0119092"},
                 {"offset": 32, "length": 16, "crc": "0x1344B4AA"},
                 {"offset": 496, "length": 16, "crc": "0xDE9118BF"}]}],
  "store": [{"name": "Store.Gold.Other", "pattern": "NOTHERE"}, {"name": "Store.Gold.A", "pattern": "GOLDPATTERN"}]
})";

struct Golden {
  const char* file;
  const Bytes* bytes;
};
const Golden kGolden[] = {{"sig32ce.inx", &kPeFile},
                          {"sigmpoly.inx", &kPolyFile},
                          {"sigwtrjn.in1", &kWinceFile},
                          {"sigmspwr.inx", &kEpocFile},
                          {"sigaif.inx", &kStoreFile}};

void le16(Bytes& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
void le32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void text(Bytes& b, size_t at, const char* s) { std::memcpy(&b[at], s, std::strlen(s)); }

// A Windows CE program of 0x400 bytes with one section ".text" (RVA 0x1000, raw data at 0x200)
// and its entry point at the section's start: file offset 0x200.
Bytes ceSample() {
  Bytes b(0x400, 0);
  text(b, 0, "MZ");
  le32(b, 60, 0x40);                    // PE header offset
  text(b, 0x40, "PE");                  // followed by two zero bytes
  le16(b, 0x44, 0x01C0);                // machine: ARM
  le16(b, 0x46, 1);                     // one section
  le16(b, 0x54, 224);                   // optional header size
  le16(b, 0x56, 0x0102);                // characteristics: executable, 32-bit
  le16(b, 0x58, 0x010B);                // optional header magic
  le32(b, 0x58 + 16, 0x1000);           // entry point RVA
  le16(b, 0x58 + 68, 9);                // subsystem: Windows CE
  le32(b, 0x58 + 92, 16);               // data directories
  text(b, 0x138, ".text");              // section table at 0x40 + 24 + 224
  le32(b, 0x138 + 8, 0x200);            // virtual size
  le32(b, 0x138 + 12, 0x1000);          // virtual address
  le32(b, 0x138 + 16, 0x200);           // raw size
  le32(b, 0x138 + 20, 0x200);           // raw pointer
  text(b, 0x200, "GOLDEN CODE AT THE ENTRY POINT OF A WINDOWS CE SAMPLE");
  text(b, 0x300, "REGION C OF CE..");
  return b;
}

// An EPOC image of the classic format, 0x200 bytes: code at 0x100, entry 0x10 into it.
Bytes epocSample() {
  Bytes b(0x200, 0);
  le32(b, 0, 0x10000079);  // UID1: executable
  le32(b, 4, 0x1000008D);
  le32(b, 8, 0x10204321);
  text(b, 16, "EPOC");     // the classic header: checksum over bytes 16-123
  le32(b, 72, 0x10);       // entry point, relative to the code
  le32(b, 100, 0x100);     // code offset
  text(b, 0x110, "GOLDEN CODE AT THE ENTRY POINT OF AN EPOC SAMPLE");
  text(b, 0x1F0, "REGION C OF EPOC");
  return b;
}

std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class GoldenFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* m : {"platform.dll", "filekit.dll", "exescan.dll", "epocscan.dll", "genericscan.dll"})
      bed.install(m);
    for (const Golden& g : kGolden) bed.put(g.file, str(*g.bytes));
  }
  // Scans a file with one scanner object of a module; the threat, or nothing.
  struct Found {
    int32_t result = 0;
    std::string name;
    int16_t index = 0, category = 0;
  };
  Found scan(ce::HMODULE module, const char16_t* create, const char16_t* destroy, int32_t code,
             const std::string& file, const Bytes& content, uint16_t mask = 0x7F) {
    bed.dev.writeFile("Temp/" + file, str(content));
    Object o(bed.fn<NxCreateScannerFn>(module, create), bed.fn<int32_t (*)(ScannerObject*)>(module, destroy), code);
    auto s = settings();
    s->categoryMask = mask;
    EXPECT_EQ(o.open(u"\\Temp\\" + ce::utf8ToUtf16(file), s.get()), NX_ENGINE_SUCCESS);
    Threats t;
    Found f;
    f.result = o.scan(t);
    if (ThreatRecord* r = t.last()) {
      f.name = narrow(r->name);
      f.index = r->index;
      f.category = r->category;
    }
    return f;
  }

  Bed bed;
};

TEST_F(GoldenFiles, TheModulesLoadThemAndDetectTheSamples) {
  ce::HMODULE exe = bed.load(u"exescan.dll");
  ASSERT_NE(exe, nullptr);
  ExeScanDiag diag{};
  ASSERT_EQ(bed.fn<PFN_ExeScanDiagGet>(exe, u"ExeScanDiagGet")(&diag), 1);
  EXPECT_EQ(diag.peRecords, 2u);
  EXPECT_EQ(diag.polyNames, 2u);          // the two type-3 records
  EXPECT_EQ(diag.categoryRecords[11], 2u);  // "sigwtrjn.in1" is 12th in search order

  const Bytes ce = ceSample();
  Found pe = scan(exe, u"CreatePEScanObject", u"DeletePEScanObject", NX_LIST_PE_SIGNATURE, "gold.exe", ce);
  EXPECT_EQ(pe.result, NX_ENGINE_THREAT);
  EXPECT_EQ(pe.name, "Gold.PE.Entry");
  EXPECT_EQ(pe.index, 1);
  EXPECT_EQ(pe.category, 113);

  Found cat = scan(exe, u"CreateBkdrScanObject", u"DeleteBkdrScanObject", NX_LIST_CATEGORY, "gold.exe", ce, 2);
  EXPECT_EQ(cat.result, NX_ENGINE_THREAT);
  EXPECT_EQ(cat.name, "Trojan.WinCE.Gold");
  EXPECT_EQ(cat.index, 1);
  EXPECT_EQ(cat.category, 35);
  // A trojan table is searched only when the mask asks for trojans.
  EXPECT_EQ(scan(exe, u"CreateBkdrScanObject", u"DeleteBkdrScanObject", NX_LIST_CATEGORY, "gold.exe", ce, 5).result,
            NX_ENGINE_CLEAN);

  // Polymorphic names are loaded, and never detect.
  Found poly = scan(exe, u"CreatePEPolyObject", u"DeletePEPolyObject", NX_LIST_PE_POLY, "gold.exe", ce);
  EXPECT_EQ(poly.result, NX_ENGINE_CLEAN);
  EXPECT_EQ(poly.name, "");

  ce::HMODULE epoc = bed.load(u"epocscan.dll");
  ASSERT_NE(epoc, nullptr);
  Found ep = scan(epoc, u"CreateEpocScanObject", u"DeleteEpocScanObject", NX_LIST_EPOC, "gold.app", epocSample(), 4);
  EXPECT_EQ(ep.result, NX_ENGINE_THREAT);
  EXPECT_EQ(ep.name, "Spy.EPOC.Gold (Not a Virus)");
  EXPECT_EQ(ep.index, 1);
  EXPECT_EQ(ep.category, 106);

  ce::HMODULE gen = bed.load(u"genericscan.dll");
  ASSERT_NE(gen, nullptr);
  const std::string store = "a store's text: the gold pat\r\n\ttern is here";
  Found st = scan(gen, u"CreateBatScanObject", u"DeleteBatScanObject", NX_LIST_EPOC_STORE, "gold.dat",
                  Bytes(store.begin(), store.end()));
  EXPECT_EQ(st.result, NX_ENGINE_THREAT);
  EXPECT_EQ(st.name, "Store.Gold.A");
  EXPECT_EQ(st.index, 1);
  EXPECT_EQ(st.category, 112);

  for (const std::string& line : bed.log()) EXPECT_EQ(line.find("Damaged"), std::string::npos) << line;
}

TEST_F(GoldenFiles, BuildOfTheSourceReproducesThemByteForByte) {
  nxtest::TempDir out;
  nxsig::buildAll({nxsig::Json::parse(kSource)}, out.path());
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(out.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"sig32ce.inx", "sigaif.inx", "sigmpoly.inx", "sigmspwr.inx",
                                             "sigwtrjn.in1"}));
  for (const Golden& g : kGolden) {
    const Bytes built = slurp(fs::path(out.path()) / g.file);
    ASSERT_EQ(built.size(), g.bytes->size()) << g.file;
    for (size_t i = 0; i < built.size(); ++i)
      if (built[i] != (*g.bytes)[i]) {
        ADD_FAILURE() << g.file << ": byte " << i << " is " << int(built[i]) << ", the format says "
                      << int((*g.bytes)[i]);
        break;
      }
  }
}

}  // namespace
