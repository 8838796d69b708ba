// EPOC table files as the scanner loads them (rejection rules), the image
// header reading of both formats, and the table search: kind and mask
// selection, search order, records sharing a key, and that a search reads
// nothing for records with another key.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "common/crc32.h"
#include "epocscan/epoc_signatures.h"
#include "formats.h"
#include "testkit.h"

namespace {

namespace ep = nx::epoc;
using nxsig::Bytes;

Bytes record(uint32_t key, uint32_t headerCrc, std::array<nxsig::Region, 3> regions, const char* name = "Epoc.Test") {
  Bytes d(ep::rec::kStored, 0);
  std::memcpy(&d[ep::rec::kName], name, std::strlen(name));
  nxsig::put32(&d[ep::rec::kKey], key);
  nxsig::put32(&d[ep::rec::kHeaderCrc], headerCrc);
  size_t at[3] = {ep::rec::kRegionA, ep::rec::kRegionB, ep::rec::kRegionC};
  for (int i = 0; i < 3; ++i) {
    nxsig::put32(&d[at[i]], regions[i].offset);
    d[at[i] + 4] = regions[i].length;
    nxsig::put32(&d[at[i] + 5], regions[i].crc);
  }
  return d;
}

const std::array<nxsig::Region, 3> kSomeRegions = {{{10, 4, 1}, {20, 4, 2}, {30, 4, 3}}};

TEST(EpocTableFile, LoadsAndRejectsWholeFiles) {
  Bytes good = nxsig::encodeCategoryFile({record(5, 1, kSomeRegions), record(5, 2, kSomeRegions),
                                          record(9, 3, kSomeRegions)},
                                         ep::rec::kStored);
  ASSERT_EQ(good.size(), 12u + 3 * 76);
  ep::Table t;
  ASSERT_TRUE(ep::parseTable(good.data(), good.size(), t));
  ASSERT_EQ(t.size(), 3u);
  EXPECT_STREQ(t[0].name, "Epoc.Test");
  EXPECT_EQ(t[1].headerCrc, 2u);
  EXPECT_EQ(t[2].key, 9u);
  EXPECT_EQ(t[2].regions[1].offset, 20u);
  EXPECT_EQ(t[2].regions[2].crc, 3u);

  auto withRecords = [](std::vector<Bytes> recs) { return nxsig::encodeCategoryFile(recs, ep::rec::kStored); };
  struct Case {
    const char* what;
    Bytes file;
  } cases[] = {
      {"one extra byte", [&] { Bytes f = good; f.push_back(0); return f; }()},
      {"one byte short", Bytes(good.begin(), good.end() - 1)},
      {"count 0", withRecords({})},
      {"count above the records", [&] { Bytes f = good; f[8] = 4; return f; }()},
      {"checksum off", [&] { Bytes f = good; f[4] ^= 1; return f; }()},
      {"stored byte changed", [&] { Bytes f = good; f[40] ^= 4; return f; }()},
      {"magic", [&] { Bytes f = good; f[0] = 'J'; return f; }()},
      {"header only", Bytes(good.begin(), good.begin() + 12)},
      {"region A at offset 0", withRecords({record(5, 1, {{{0, 4, 1}, {20, 4, 2}, {30, 4, 3}}})})},
      {"region B of length 0", withRecords({record(5, 1, kSomeRegions), record(6, 1, {{{10, 4, 1}, {20, 0, 2}, {30, 4, 3}}})})},
      {"region C of length 0", withRecords({record(5, 1, {{{10, 4, 1}, {20, 4, 2}, {30, 0, 3}}})})},
      {"keys out of order", withRecords({record(9, 1, kSomeRegions), record(5, 1, kSomeRegions)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(ep::parseTable(c.file.data(), c.file.size(), t));
    EXPECT_TRUE(t.empty());
  }
  // A name filling its 30 bytes is cut, never read past.
  Bytes full = record(5, 1, kSomeRegions);
  std::memset(&full[ep::rec::kName], 'n', 30);
  Bytes f = withRecords({full});
  ASSERT_TRUE(ep::parseTable(f.data(), f.size(), t));
  EXPECT_EQ(std::string(t[0].name), std::string(30, 'n'));
}

// ---- Image headers -------------------------------------------------------------

TEST(EpocImage, HeaderChecksumAndEntryOfBothFormats) {
  std::vector<uint8_t> h(124);
  for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<uint8_t>(i * 13 + 1);
  auto set32 = [&](size_t at, uint32_t v) { nxsig::put32(&h[at], v); };
  struct Case {
    uint32_t uid1;
    bool classic;
    size_t have;  // bytes available
    bool epoc;
    uint32_t crc;
    int64_t entry;
  };
  set32(72, 0x40);
  set32(100, 0x200);
  std::memcpy(&h[16], "EPOC", 4);
  std::vector<uint8_t> classic = h;
  h[16] = 0x00;
  set32(16, 0x1300);
  set32(20, 0x1000);
  std::vector<uint8_t> other = h;
  const Case cases[] = {
      {0x10000079u, true, 124, true, nx::crc32Raw(&classic[16], 108), 0x240},
      {0x1000007Au, true, 124, true, nx::crc32Raw(&classic[16], 108), 0x240},
      {0x10000058u, true, 124, true, nx::crc32Raw(&classic[16], 108), 0x240},
      {0x10000079u, true, 123, false, 0, -1},  // classic header cut short
      {0x10000079u, false, 124, true, nx::crc32Raw(&other[16], 84), 0x300 + 100},
      {0x10000079u, false, 100, true, nx::crc32Raw(&other[16], 84), 0x300 + 100},
      {0x10000079u, false, 99, false, 0, -1},
      {0x10000078u, true, 124, false, 0, -1},  // not an EPOC UID
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.uid1) + (c.classic ? " classic " : " other ") + std::to_string(c.have));
    std::vector<uint8_t> img = c.classic ? classic : other;
    nxsig::put32(&img[0], c.uid1);
    ep::ImageFacts f = ep::inspectImage(img.data(), c.have);
    EXPECT_EQ(f.epoc, c.epoc);
    if (!c.epoc) continue;
    EXPECT_EQ(f.classic, c.classic);
    EXPECT_EQ(f.headerCrc, c.crc);
    EXPECT_EQ(f.entryOffset, c.entry);
  }
  // An entry computed below zero or beyond 32 bits is kept as it is, never wrapped.
  std::vector<uint8_t> img = other;
  nxsig::put32(&img[0], 0x10000079u);
  nxsig::put32(&img[16], 0);
  nxsig::put32(&img[20], 0x1000);
  EXPECT_EQ(ep::inspectImage(img.data(), 124).entryOffset, -0x1000 + 100);
  img = classic;
  nxsig::put32(&img[0], 0x10000079u);
  nxsig::put32(&img[72], 0xFFFFFFF0u);
  EXPECT_EQ(ep::inspectImage(img.data(), 124).entryOffset, 0xFFFFFFF0ll + 0x200);
}

// ---- The search --------------------------------------------------------------------

struct FakeImage {
  std::vector<uint8_t> bytes;
  int reads = 0;
};

bool fakeRead(void* c, uint32_t offset, uint8_t* buf, uint32_t len) {
  auto* f = static_cast<FakeImage*>(c);
  ++f->reads;
  if (uint64_t(offset) + len > f->bytes.size()) return false;
  std::memcpy(buf, f->bytes.data() + offset, len);
  return true;
}

class EpocSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    img.bytes.resize(4000);
    for (size_t i = 0; i < img.bytes.size(); ++i) img.bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    facts.epoc = true;
    facts.classic = true;
    facts.headerCrc = 0xABCD0123u;
    facts.entryOffset = kEntry;
    entry.count = 30;
    entry.crc = crcAt(kEntry, 30);
  }
  uint32_t crcAt(uint32_t off, uint8_t len) const { return nx::crc32Raw(&img.bytes[off], len); }
  ep::Record matching(const char* name = "Match") const {
    ep::Record r{};
    std::strncpy(r.name, name, sizeof r.name - 1);
    r.key = kEntry;
    r.headerCrc = facts.headerCrc;
    r.regions[0] = {kEntry, 30, crcAt(kEntry, 30)};
    r.regions[1] = {1000, 200, crcAt(1000, 200)};
    r.regions[2] = {3000, 17, crcAt(3000, 17)};
    return r;
  }
  ep::Hit find(uint16_t mask = 0) { return ep::findImage(set, mask, facts, entry, fakeRead, &img); }

  static constexpr uint32_t kEntry = 600;
  FakeImage img;
  ep::ImageFacts facts;
  ep::EntryBytes entry;
  ep::TableSet set;
};

// Table indexes by file name.
int table(const char* file) {
  for (int i = 0; i < 30; ++i)
    if (std::string(ep::kTables[i].file) == file) return i;
  return -1;
}

TEST_F(EpocSearch, MaskSelectsTablesAndWormsAreAlwaysSearched) {
  struct Case {
    const char* file;
    uint16_t mask;
    bool found;
  } cases[] = {
      {"sigmworm.inx", 0, true},  {"sigmworm.in3", 0, true},  {"sigmbkdr.inx", 0, false},
      {"sigmtrjn.in1", 0, false}, {"sigmware.inx", 0, false}, {"sigmspwr.in4", 0, false},
      {"sigmbkdr.inx", 1, true},  {"sigmbkdr.in0", 2, false}, {"sigmtrjn.in2", 2, true},
      {"sigmware.in0", 4, true},  {"sigmspwr.inx", 4, true},  {"sigmspwr.inx", 3, false},
      {"sigmworm.in0", 0xFFFF, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " mask " + std::to_string(c.mask));
    set = {};
    set[static_cast<size_t>(table(c.file))] = {matching()};
    ep::Hit h = find(c.mask);
    EXPECT_EQ(h.table, c.found ? table(c.file) : -1);
  }
}

TEST_F(EpocSearch, TablesAreSearchedInTheirOrder) {
  set[static_cast<size_t>(table("sigmworm.inx"))] = {matching("Base")};
  set[static_cast<size_t>(table("sigmbkdr.in2"))] = {matching("Weekly")};
  set[static_cast<size_t>(table("sigmworm.in4"))] = {matching("Monthly")};
  EXPECT_EQ(find(0xFF).table, table("sigmworm.in4"));
  EXPECT_EQ(find(1).table, table("sigmworm.in4"));
  set[static_cast<size_t>(table("sigmworm.in4"))].clear();
  EXPECT_EQ(find(1).table, table("sigmbkdr.in2"));
  EXPECT_EQ(find(0).table, table("sigmworm.inx"));
}

TEST_F(EpocSearch, RecordsSharingAKeyAreTriedInFileOrder) {
  ep::Record other = matching("Other");
  other.key = kEntry - 1;
  ep::Record later = matching("Later");
  later.key = kEntry + 1;
  ep::Record wrongB = matching("WrongB");
  wrongB.regions[1].crc ^= 1;
  ep::Record wrongHeader = matching("WrongHeader");
  wrongHeader.headerCrc ^= 1;
  ep::Record wrongC = matching("WrongC");
  wrongC.regions[2].offset = 3001;
  struct Case {
    const char* what;
    std::vector<ep::Record> records;
    int index;  // -1: none
  } cases[] = {
      {"the first of two matching", {other, matching("One"), matching("Two"), later}, 1},
      {"the second when the first differs in region B", {other, wrongB, matching("Two"), later}, 2},
      {"the header checksum counts", {wrongHeader, matching("Two")}, 1},
      {"only the header checksum differs", {wrongHeader}, -1},
      {"region C elsewhere", {wrongC, later}, -1},
      {"no record with the key", {other, later}, -1},
      {"the first record of the table", {matching("First"), later, later}, 0},
      {"the last record of the table", {other, other, matching("Last")}, 2},
  };
  const int t = table("sigmworm.inx");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    set = {};
    set[static_cast<size_t>(t)] = c.records;
    ep::Hit h = find();
    if (c.index < 0) {
      EXPECT_EQ(h.table, -1);
    } else {
      EXPECT_EQ(h.table, t);
      EXPECT_EQ(h.index, static_cast<size_t>(c.index));
    }
  }
}

TEST_F(EpocSearch, OnlyRecordsWithTheKeyAreRead) {
  // 100,000 records with other keys around one with the image's key: the
  // search reads regions B and C of that one record (A is the entry bytes
  // read once per file), and nothing for the others.
  std::vector<ep::Record> many;
  for (uint32_t k = 0; k < 100000; ++k) {
    ep::Record r = matching("Many");
    r.key = k < 50000 ? k * kEntry / 50000 : kEntry + 1 + k;  // all below, then all above
    r.regions[1].crc ^= 1;
    many.push_back(r);
  }
  many.insert(many.begin() + 50000, matching("Hit"));
  for (int t : {table("sigmworm.in0"), table("sigmbkdr.inx")}) set[static_cast<size_t>(t)] = many;
  set[static_cast<size_t>(table("sigmworm.in0"))][50000].regions[1].crc ^= 1;  // the first table misses
  img.reads = 0;
  ep::Hit h = find(1);
  EXPECT_EQ(h.table, table("sigmbkdr.inx"));
  EXPECT_EQ(h.index, 50000u);
  // In the first table: region B only (it fails); in the second: B and C.
  EXPECT_EQ(img.reads, 3);

  // Region A that is not the cached entry bytes costs a read of its own.
  set = {};
  ep::Record shortA = matching("ShortA");
  shortA.regions[0] = {kEntry, 10, crcAt(kEntry, 10)};
  set[0] = {shortA};
  img.reads = 0;
  EXPECT_EQ(find().table, 0);
  EXPECT_EQ(img.reads, 3);
}

TEST_F(EpocSearch, RegionsOutsideTheFileDoNotMatch) {
  ep::Record past = matching("Past");
  past.regions[2] = {3990, 20, 0};  // runs 10 bytes past the end
  ep::Record far = matching("Far");
  far.regions[1] = {0xFFFFFF00u, 255, 0};
  set[0] = {past, far};
  EXPECT_EQ(find().table, -1);
  // Not an EPOC image, or an entry offset no key can hold: nothing is searched.
  set[0] = {matching()};
  facts.entryOffset = -5;
  EXPECT_EQ(find().table, -1);
  facts.entryOffset = kEntry;
  facts.epoc = false;
  EXPECT_EQ(find().table, -1);
}

}  // namespace

// ---- The compiler's EPOC format ---------------------------------------------------

namespace {

nxsig::Json epocSource(const char* member, nxsig::Json value) {
  nxsig::Json r = nxsig::Json::parse(R"({"table": "sigmtrjn.in2", "name": "Trojan.Epoc", "key": 4096,
      "header_crc": "0x0BADF00D", "regions": [{"offset": 4096, "length": 30, "crc": "0x00000001"},
      {"offset": 200, "length": 255, "crc": "0xFFFFFFFF"}, {"offset": 1, "length": 1, "crc": "0x00000000"}]})");
  if (member) r[nxsig::Json::json_pointer(member)] = std::move(value);
  return r;
}

}  // namespace

TEST(EpocCompiler, BuildThenDumpGivesTheSourceBackSortedByKey) {
  nxtest::TempDir dir;
  nxsig::Json src = nxsig::Json::object();
  nxsig::Json a = epocSource("/key", 9000);
  nxsig::Json b = epocSource("/name", "Trojan.Same.First");
  nxsig::Json c = epocSource("/name", "Trojan.Same.Second");
  nxsig::Json d = epocSource("/table", "sigmspwr.inx");
  src["epoc"] = nxsig::Json::array({a, b, c, d});
  nxsig::buildAll({src}, dir.path());
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/sigmtrjn.in2"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() + "/sigmspwr.inx"));
  // Tables without records are not written: the format needs one at least.
  EXPECT_FALSE(std::filesystem::exists(dir.path() + "/sigmworm.inx"));
  // Dumped in table order, each table sorted by key with equal keys in source order.
  EXPECT_EQ(nxsig::dumpAll(dir.path())["epoc"], nxsig::Json::array({b, c, a, d}));
  // And the scanner's loader takes what the compiler wrote.
  std::ifstream in(dir.path() + "/sigmtrjn.in2", std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ep::Table t;
  ASSERT_TRUE(ep::parseTable(file.data(), file.size(), t));
  ASSERT_EQ(t.size(), 3u);
  EXPECT_STREQ(t[1].name, "Trojan.Same.Second");
  EXPECT_EQ(t[2].key, 9000u);
  EXPECT_EQ(t[0].headerCrc, 0x0BADF00Du);
}

TEST(EpocCompiler, RefusesWhatTheScannerWouldDrop) {
  struct Case {
    const char* member;
    nxsig::Json value;
    const char* message;
  } cases[] = {
      {"/regions/1/length", 0, "region B"},
      {"/regions/2/offset", 0, "region C"},
      {"/regions/0/length", 256, "region A"},
      {"/name", std::string(30, 'n'), "\"name\""},
      {"/name", "", "\"name\""},
      {"/table", "sigwworm.inx", "not an EPOC category file"},
      {"/key", "0x100000000", "key"},
      {"/regions/2", nullptr, "region C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    nxtest::TempDir dir;
    nxsig::Json src = nxsig::Json::object();
    src["epoc"] = nxsig::Json::array({epocSource(nullptr, nullptr), epocSource(c.member, c.value)});
    try {
      nxsig::buildAll({src}, dir.path());
      ADD_FAILURE() << "accepted";
    } catch (const nxsig::Error& e) {
      std::string err = e.what();
      EXPECT_NE(err.find("epoc[1]"), std::string::npos) << err;
      EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/sigmtrjn.in2"));
  }
}
