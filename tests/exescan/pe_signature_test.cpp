// The PE signature scanner: patterns from "sig32ce.inx" in the 2500 bytes at the entry point.
#include <gtest/gtest.h>

#include <random>

#include "common/signature_constants.h"
#include "exescan/signature_tables.h"
#include "exescan_bed.h"

namespace {

using namespace exebed;

Json peSource(std::initializer_list<std::pair<const char*, const char*>> records) {
  Json s = Json::object();
  s["pe"] = Json::array();
  for (auto& [name, pattern] : records) s["pe"].push_back(Json{{"name", name}, {"pattern", pattern}});
  return s;
}

void plant(Bytes& b, size_t at, const Bytes& pattern) { std::memcpy(&b[at], pattern.data(), pattern.size()); }

const Bytes kMarker = {0xDE, 0xC0, 0xAD, 0x0B, 0x5E, 0x77};
const Bytes kOther = {0x11, 0x22, 0x33, 0x44};

class PeSignature : public ::testing::Test {
 protected:
  void SetUp() override { bed.installModule(); }
  void start() { ASSERT_NE(bed.load(), nullptr); }
  Bed bed;
};

TEST_F(PeSignature, PatternAtTheEntryPointIsReportedWithItsRecord) {
  bed.signatures(peSource({{"Win.First", "aabbccdd"}, {"WinCE.Duts.A", "dec0ad0b5e77"}}));
  start();
  PeImage img;
  Bytes b = img.build();
  plant(b, 0x410 + 100, kMarker);
  auto s = settings();
  Object o = peObject(bed);
  Threats t;
  ASSERT_EQ(o.open(bed.file("a.exe", b), s.get()), NX_ENGINE_SUCCESS);
  ASSERT_EQ(o.scan(t, u"\\Disp\\a.exe"), NX_ENGINE_THREAT);
  ASSERT_EQ(t.count(), 1);
  EXPECT_EQ(t.last()->index, 1);
  EXPECT_EQ(t.last()->category, 113);
  EXPECT_EQ(narrow(t.last()->name), "WinCE.Duts.A");
  EXPECT_EQ(narrow(t.last()->displayPath), "\\Disp\\a.exe");
  EXPECT_EQ(t.last()->memberLength, 0u);
  // A pattern detection is never repaired.
  EXPECT_EQ(o.clean(t), NX_ENGINE_CANNOT_CLEAN);
}

TEST_F(PeSignature, WindowEndsAfter2500Bytes) {
  bed.signatures(peSource({{"Edge", "dec0"}}));
  start();
  struct {
    size_t at;
    int32_t expected;
  } cases[] = {{2498, NX_ENGINE_THREAT}, {2499, NX_ENGINE_CLEAN}, {2500, NX_ENGINE_CLEAN}};
  for (auto& c : cases) {
    PeImage img;
    img.fileSize = 0x2000;
    img.sections = {{".text", 0x1800, 0x1000, 0x1800, 0x400}};
    Bytes b = img.build();
    for (size_t i = 0x410; i < 0x410 + 2600; ++i)
      if (b[i] == 0xDE) b[i] = 0;  // no accidental pattern in the window
    plant(b, 0x410 + c.at, {0xDE, 0xC0});
    auto s = settings();
    Object o = peObject(bed);
    Threats t;
    ASSERT_EQ(o.open(bed.file("w.exe", b), s.get()), NX_ENGINE_SUCCESS);
    EXPECT_EQ(o.scan(t), c.expected) << "pattern at window byte " << c.at;
  }
}

TEST_F(PeSignature, LowerRecordIndexWinsWhenTwoMatch) {
  bed.signatures(peSource({{"Decoy", "99999999"}, {"Low", "dec0ad0b"}, {"High", "11223344"}}));
  start();
  PeImage img;
  Bytes b = img.build();
  plant(b, 0x410 + 10, kOther);   // matches "High", earlier in the file
  plant(b, 0x410 + 900, kMarker);  // matches "Low"
  auto s = settings();
  Object o = peObject(bed);
  Threats t;
  o.open(bed.file("b.exe", b), s.get());
  ASSERT_EQ(o.scan(t), NX_ENGINE_THREAT);
  EXPECT_EQ(narrow(t.last()->name), "Low");
  EXPECT_EQ(t.last()->index, 1);
}

TEST_F(PeSignature, EntryPointInTheHeadersIsSearchedFromItsRva) {
  bed.signatures(peSource({{"Hdr", "dec0ad0b5e77"}}));
  start();
  PeImage img;
  img.entryRva = 0x40;
  img.fileSize = 0x1400;
  img.sections = {{".text", 0x1000, 0x1000, 0x1000, 0x400}};
  Bytes b = img.build();
  plant(b, 0x40 + 2460, kMarker);  // outside the first 2500 bytes of the file, inside the window at 0x40
  auto s = settings();
  Object o = peObject(bed);
  Threats t;
  o.open(bed.file("h.exe", b), s.get());
  EXPECT_EQ(o.scan(t), NX_ENGINE_THREAT);
}

TEST_F(PeSignature, LastSectionHoldsItsInclusiveEnd) {
  bed.signatures(peSource({{"End", "dec0ad0b5e77"}}));
  start();
  for (uint32_t rva : {0x2300u, 0x2301u}) {
    PeImage img;
    img.sections = {{".text", 0x800, 0x1000, 0x800, 0x400}, {".data", 0x300, 0x2000, 0x200, 0x1000}};
    img.fileSize = 0x2000;
    img.entryRva = rva;
    Bytes b = img.build();
    plant(b, 0x1300, kMarker);  // the file offset of RVA 0x2300, far beyond the start of the file
    auto s = settings();
    Object o = peObject(bed);
    Threats t;
    o.open(bed.file("l.exe", b), s.get());
    // One past the end has no offset: the scanner reads the start of the file instead.
    EXPECT_EQ(o.scan(t), rva == 0x2300 ? NX_ENGINE_THREAT : NX_ENGINE_CLEAN) << std::hex << rva;
  }
}

// The header count accepts 0 to 999 records; a count of 1000 drops the whole file.
TEST_F(PeSignature, RecordCountLimit) {
  Json src = Json::object();
  src["pe"] = Json::array();
  for (int i = 0; i < 998; ++i) src["pe"].push_back(Json{{"name", "N" + std::to_string(i)}, {"pattern", "f0f1f2f3f4f5f6"}});
  src["pe"].push_back(Json{{"name", "Last"}, {"pattern", "dec0ad0b5e77"}});
  bed.signatures(src);
  PeImage img;
  Bytes b = img.build();
  plant(b, 0x410, kMarker);
  const std::u16string path = bed.file("c.exe", b);
  {
    start();
    EXPECT_EQ(bed.diag().peRecords, 999u);
    auto s = settings();
    Object o = peObject(bed);
    Threats t;
    o.open(path, s.get());
    ASSERT_EQ(o.scan(t), NX_ENGINE_THREAT);
    EXPECT_EQ(t.last()->index, 998);
  }
  // Append a 1000th record and keep the checksum right: only the count rejects the file.
  Bytes file = bed.get("sig32ce.inx");
  Bytes extra(file.end() - 50, file.end());
  file.insert(file.end(), extra.begin(), extra.end());
  uint16_t sum = uint16_t(file[0] | file[1] << 8);
  for (int i = 0; i < 21; ++i) sum = uint16_t(sum + extra[size_t(i)]);
  put16(file, 0, sum);
  put16(file, 2, 1000);
  bed.put("sig32ce.inx", file);
  ASSERT_EQ(bed.fn<int32_t (*)()>(u"PEScanReloadSignatures")(), 1);
  // The reload failed, so the old table stays.
  EXPECT_EQ(bed.diag().peRecords, 999u);
}

TEST_F(PeSignature, DamagedFilesLeaveTheTableEmpty) {
  bed.signatures(peSource({{"X", "dec0ad0b5e77"}}));
  const Bytes good = bed.get("sig32ce.inx");
  struct {
    const char* what;
    Bytes file;
  } cases[] = {
      {"checksum", [&] { Bytes f = good; f[0] ^= 1; return f; }()},
      {"count 1000", [&] { Bytes f = good; put16(f, 2, 1000); return f; }()},
      {"negative count", [&] { Bytes f = good; put16(f, 2, 0xFFFF); return f; }()},
      {"short record", Bytes(good.begin(), good.end() - 1)},
      {"short header", Bytes(good.begin(), good.begin() + 3)},
  };
  PeImage img;
  Bytes b = img.build();
  plant(b, 0x410, kMarker);
  const std::u16string path = bed.file("d.exe", b);
  for (auto& c : cases) {
    bed.put("sig32ce.inx", c.file);
    ASSERT_NE(bed.load(), nullptr) << c.what;  // a damaged file does not stop the module
    EXPECT_EQ(bed.diag().peRecords, 0u) << c.what;
    {
      auto s = settings();
      Object o = peObject(bed);
      Threats t;
      o.open(path, s.get());
      EXPECT_EQ(o.scan(t), NX_ENGINE_CLEAN) << c.what;
      EXPECT_EQ(t.count(), 0) << c.what;
    }
    bed.unload();
  }
}

TEST_F(PeSignature, PatternLengthBeyondTheStoredBytesNeverMatches) {
  bed.signatures(peSource({{"Long", "dec0ad0b5e77"}}));
  Bytes f = bed.get("sig32ce.inx");
  put16(f, 4 + 21, 300);  // a length the 21 stored bytes cannot back
  bed.put("sig32ce.inx", f);
  start();
  PeImage img;
  Bytes b = img.build();
  plant(b, 0x410, kMarker);
  auto s = settings();
  Object o = peObject(bed);
  Threats t;
  o.open(bed.file("e.exe", b), s.get());
  EXPECT_EQ(o.scan(t), NX_ENGINE_CLEAN);
}

TEST_F(PeSignature, ReloadReplacesTheTable) {
  bed.signatures(peSource({{"Old", "aabbccdd"}}));
  start();
  PeImage img;
  Bytes b = img.build();
  plant(b, 0x410, kMarker);
  const std::u16string path = bed.file("r.exe", b);
  auto s = settings();
  {
    Object o = peObject(bed);
    Threats t;
    o.open(path, s.get());
    EXPECT_EQ(o.scan(t), NX_ENGINE_CLEAN);
  }
  bed.signatures(peSource({{"New", "dec0ad0b5e77"}}));
  EXPECT_EQ(bed.fn<int32_t (*)(int32_t, int32_t)>(u"ReloadSignatures")(0, 0), 1);
  Object o = peObject(bed);
  Threats t;
  o.open(path, s.get());
  ASSERT_EQ(o.scan(t), NX_ENGINE_THREAT);
  EXPECT_EQ(narrow(t.last()->name), "New");
}

TEST_F(PeSignature, ArgumentsAndFileErrors) {
  bed.signatures(peSource({{"X", "dec0ad0b5e77"}}));
  start();
  auto s = settings();
  Object o = peObject(bed);
  Threats t;
  EXPECT_EQ(o.obj->ops->Open(o.obj, -1, nullptr, s.get(), u"\\r", 0, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(o.obj->ops->Open(o.obj, -1, u"\\Temp\\x", nullptr, u"\\r", 0, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(o.obj->ops->Open(o.obj, -1, u"\\Temp\\x", s.get(), nullptr, 0, 0), NX_ENGINE_MISSING_ARG);
  ASSERT_EQ(o.open(u"\\Temp\\missing.exe", s.get()), NX_ENGINE_SUCCESS);
  EXPECT_EQ(o.obj->ops->Scan(o.obj, nullptr, t.list, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(o.scan(t), NX_ENGINE_ERROR);
  EXPECT_EQ(o.obj->ops->Close(o.obj), NX_ENGINE_SUCCESS);
  // A path longer than the object keeps is refused rather than cut to another file's name.
  std::u16string longPath = u"\\Temp\\" + std::u16string(300, u'a');
  EXPECT_EQ(o.open(longPath, s.get()), NX_ENGINE_ERROR);
  EXPECT_EQ(bed.fn<PFN_ExeScanDeleteObject>(u"DeletePEScanObject")(nullptr), 0);
}

// The loaded table answers what a plain search in file order answers, for patterns of every
// length over texts with many near misses (the pre-check on leading byte pairs must not hide one).
TEST(PeTableMatch, FirstRecordInFileOrderAsAPlainSearchFindsIt) {
  std::mt19937 rng(9);
  for (int round = 0; round < 200; ++round) {
    Json src = Json::object();
    src["pe"] = Json::array();
    std::vector<Bytes> patterns;
    for (int i = 0; i < 40; ++i) {
      Bytes p(1 + rng() % 21);
      for (auto& c : p) c = uint8_t(rng() % 4);
      patterns.push_back(p);
      src["pe"].push_back(Json{{"name", "R" + std::to_string(i)}, {"pattern", nxsig::toHex(p.data(), p.size())}});
    }
    nxtest::TempDir dir;
    nxsig::buildAll({src}, dir.path());
    nxsig::Bytes file;
    ASSERT_TRUE(nxsig::readFile(std::filesystem::path(dir.path()) / "sig32ce.inx", file));
    nx::exe::MemoryStream in(file.data(), file.size());
    nx::exe::PeTable table;
    ASSERT_TRUE(nx::exe::loadPeTable(in, table));
    Bytes text(rng() % 40);
    for (auto& c : text) c = uint8_t(rng() % 6);
    int want = -1;
    for (int i = 0; i < 40 && want < 0; ++i)
      if (std::search(text.begin(), text.end(), patterns[size_t(i)].begin(), patterns[size_t(i)].end()) != text.end())
        want = i;
    EXPECT_EQ(table.match(text.data(), text.size()), want) << round;
  }
}

}  // namespace
