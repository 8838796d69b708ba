// The category scanner: 30 tables looked up by the entry point's file offset, three checksummed
// regions, category selection, whole-file rejection, reloads, and ending a running threat.
#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "ce/process.h"
#include "exescan_bed.h"

namespace {

using namespace exebed;

// Default image: entry point at file offset 0x410 in section ".text", 0xE00 bytes.
constexpr uint32_t kEntry = 0x410;

// A record that matches `file`: region A at the entry point, B and C elsewhere.
Json recordFor(const Bytes& file, const std::string& table, const std::string& name, uint32_t key = kEntry,
               uint8_t flags = 0, const std::string& section = ".text") {
  Json r = Json::object();
  r["table"] = table;
  r["name"] = name;
  r["key"] = key;
  r["section"] = section;
  r["flags"] = flags;
  r["regions"] = Json::array({region(file, kEntry, 30), region(file, 0x80, 200), region(file, 0xC00, 255)});
  return r;
}

Json source(std::vector<Json> records) {
  Json s = Json::object();
  s["wince"] = Json::array();
  for (auto& r : records) s["wince"].push_back(std::move(r));
  return s;
}

class Category : public ::testing::Test {
 protected:
  void SetUp() override {
    bed.installModule();
    file = PeImage{}.build();
    path = bed.file("v.exe", file);
  }
  void start() { ASSERT_NE(bed.load(), nullptr); }
  int32_t scan(uint16_t mask = 0xFFFF, const std::u16string* p = nullptr) {
    auto s = settings(mask);
    Object o = categoryObject(bed);
    threats = std::make_unique<Threats>();
    EXPECT_EQ(o.open(p ? *p : path, s.get()), NX_ENGINE_SUCCESS);
    return o.scan(*threats, u"\\Disp\\v.exe");
  }
  std::string found() const { return threats->last() ? narrow(threats->last()->name) : ""; }

  Bed bed;
  Bytes file;
  std::u16string path;
  std::unique_ptr<Threats> threats;
};

TEST_F(Category, MatchingRecordIsReportedWithItsTableCode) {
  bed.signatures(source({recordFor(file, "sigwtrjn.inx", "Trojan.WinCE.A")}));
  start();
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  ThreatRecord* r = threats->last();
  EXPECT_EQ(r->category, 27);
  EXPECT_EQ(r->index, 0);
  EXPECT_EQ(found(), "Trojan.WinCE.A");
  EXPECT_EQ(narrow(r->displayPath), "\\Disp\\v.exe");
  EXPECT_EQ(r->rootType, 0);
  EXPECT_EQ(r->memberLength, 0u);
}

TEST_F(Category, EveryRegionAndTheKeyMustMatch) {
  struct {
    const char* what;
    std::function<void(Json&)> change;
    int32_t expected;
  } cases[] = {
      {"region A checksum", [](Json& r) { r["regions"][0]["crc"] = 1; }, NX_ENGINE_CLEAN},
      {"region B checksum", [](Json& r) { r["regions"][1]["crc"] = 1; }, NX_ENGINE_CLEAN},
      {"region C checksum", [](Json& r) { r["regions"][2]["crc"] = 1; }, NX_ENGINE_CLEAN},
      {"region C past the end of the file", [](Json& r) { r["regions"][2]["offset"] = 0xDF0; }, NX_ENGINE_CLEAN},
      {"key", [](Json& r) { r["key"] = kEntry + 1; }, NX_ENGINE_CLEAN},
      // Region A away from the entry point, or shorter than the bytes cached there, is read.
      {"region A elsewhere", [&](Json& r) { r["regions"][0] = region(file, 0x500, 30); }, NX_ENGINE_THREAT},
      {"region A at the entry point, 10 bytes", [&](Json& r) { r["regions"][0] = region(file, kEntry, 10); }, NX_ENGINE_THREAT},
      {"region A at the entry point, 10 bytes, wrong", [&](Json& r) { r["regions"][0] = region(file, kEntry + 1, 10); r["regions"][0]["offset"] = kEntry; }, NX_ENGINE_CLEAN},
  };
  for (auto& c : cases) {
    Json r = recordFor(file, "sigwworm.inx", "W");
    c.change(r);
    bed.signatures(source({r}));
    ASSERT_NE(bed.load(), nullptr);
    EXPECT_EQ(scan(), c.expected) << c.what;
    bed.unload();
  }
}

TEST_F(Category, CategoryMaskSelectsTheKindOneTables) {
  struct {
    const char* table;
    uint16_t mask;
    bool searched;
  } cases[] = {
      {"sigwworm.inx", 0, true},     {"sigwworm.in3", 0, true},     {"sigwbkdr.inx", 0, false},
      {"sigwtrjn.in0", 0, false},    {"sigwware.in2", 0, false},    {"sigwspwr.inx", 0, false},
      {"sigwbkdr.in1", 1, true},     {"sigwbkdr.inx", 2, false},    {"sigwtrjn.inx", 2, true},
      {"sigwware.in4", 4, true},     {"sigwspwr.in0", 4, true},     {"sigwspwr.inx", 3, false},
  };
  for (auto& c : cases) {
    bed.signatures(source({recordFor(file, c.table, "T")}));
    ASSERT_NE(bed.load(), nullptr);
    EXPECT_EQ(scan(c.mask), c.searched ? NX_ENGINE_THREAT : NX_ENGINE_CLEAN) << c.table << " mask " << c.mask;
    bed.unload();
    bed.remove(c.table);
  }
}

TEST_F(Category, TablesAreSearchedInOrderAndWareNamesCarryNoSuffix) {
  bed.signatures(source({recordFor(file, "sigwworm.inx", "Base.Worm"), recordFor(file, "sigwware.in1", "Daily.Ware"),
                         recordFor(file, "sigwworm.in2", "Weekly.Worm")}));
  start();
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  EXPECT_EQ(found(), "Weekly.Worm");
  EXPECT_EQ(threats->last()->category, 79);
  bed.remove("sigwworm.in2");
  bed.fn<int32_t (*)(int32_t, int32_t)>(u"BkdrScanReloadSignatures")(0, 0);
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  EXPECT_EQ(found(), "Daily.Ware");
  EXPECT_EQ(threats->last()->category, 36);
}

TEST_F(Category, FirstRecordWithTheKeyThatMatchesWins) {
  Json wrongC = recordFor(file, "sigwworm.inx", "Wrong.C");
  wrongC["regions"][2]["crc"] = 7;
  Json otherKeyLow = recordFor(file, "sigwworm.inx", "Other.Low", kEntry - 1);
  Json otherKeyHigh = recordFor(file, "sigwworm.inx", "Other.High", kEntry + 1);
  bed.signatures(source({otherKeyHigh, wrongC, recordFor(file, "sigwworm.inx", "Right.1"),
                         recordFor(file, "sigwworm.inx", "Right.2"), otherKeyLow}));
  start();
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  EXPECT_EQ(found(), "Right.1");
  EXPECT_EQ(threats->last()->index, 2);  // sorted: Other.Low, Wrong.C, Right.1, Right.2, Other.High
}

TEST_F(Category, SectionNameFlagComparesWithoutLetterCase) {
  struct {
    const char* section;
    uint8_t flags;
    bool match;
  } cases[] = {{".TEXT", 1, true}, {"CODE", 1, false}, {"CODE", 0, true}, {"", 1, false}};
  for (auto& c : cases) {
    bed.signatures(source({recordFor(file, "sigwworm.in0", "S", kEntry, c.flags, c.section)}));
    ASSERT_NE(bed.load(), nullptr);
    EXPECT_EQ(scan(), c.match ? NX_ENGINE_THREAT : NX_ENGINE_CLEAN) << c.section << " flags " << int(c.flags);
    bed.unload();
  }
}

TEST_F(Category, OnlyWindowsCeImagesAreMatched) {
  bed.signatures(source({recordFor(file, "sigwworm.inx", "W")}));
  start();
  struct {
    const char* what;
    size_t at;
    uint8_t value;
  } cases[] = {{"subsystem 2", 0x80 + 24 + 68, 2}, {"no MZ", 0, 'X'}, {"no PE signature", 0x82, 'X'}};
  for (auto& c : cases) {
    Bytes b = file;
    b[c.at] = c.value;
    const std::u16string p = bed.file("n.exe", b);
    EXPECT_EQ(scan(0xFFFF, &p), NX_ENGINE_CLEAN) << c.what;
  }
  // An entry point at or beyond the end of the file is never looked up.
  PeImage cut;
  cut.fileSize = kEntry;
  const std::u16string p = bed.file("cut.exe", cut.build());
  EXPECT_EQ(scan(0xFFFF, &p), NX_ENGINE_CLEAN);
}

TEST_F(Category, EntryPointWithoutOffsetIsLookedUpWithKeyMinusOne) {
  PeImage img;
  img.entryRva = 0x9000;  // beyond every section
  Bytes b = img.build();
  const std::u16string p = bed.file("k.exe", b);
  Json r = Json::object();
  r["table"] = "sigwworm.inx";
  r["name"] = "NoEntry";
  r["key"] = "0xFFFFFFFF";
  r["regions"] = Json::array({region(b, 1, 29), region(b, 0x80, 4), region(b, 0x200, 16)});
  bed.signatures(source({r}));
  start();
  EXPECT_EQ(scan(0, &p), NX_ENGINE_THREAT);
}

// Whole-file rejection: the damage is applied to a valid file, with the checksum fixed where
// the check is not the point.
TEST_F(Category, DamagedFilesAreRejectedWhole) {
  bed.signatures(source({recordFor(file, "sigwworm.inx", "A", kEntry - 5), recordFor(file, "sigwworm.inx", "B")}));
  const Bytes good = bed.get("sigwworm.inx");
  auto withRecords = [&](std::function<void(std::vector<nxsig::Bytes>&)> edit) {
    auto recs = nxsig::decodeCategoryFile(good, 89, "sigwworm.inx");
    edit(recs);
    return nxsig::encodeCategoryFile(recs, 89);
  };
  struct {
    const char* what;
    Bytes file;
    bool loads;
  } cases[] = {
      {"as built", good, true},
      {"one extra byte", [&] { Bytes f = good; f.push_back(0); return f; }(), false},
      {"one byte short", Bytes(good.begin(), good.end() - 1), false},
      {"magic", [&] { Bytes f = good; f[0] = 'J'; return f; }(), false},
      {"checksum", [&] { Bytes f = good; f[4] ^= 1; return f; }(), false},
      {"count", [&] { Bytes f = good; put32(f, 8, 3); return f; }(), false},
      {"count 0", Bytes(good.begin(), good.begin() + 12), false},
      {"region B length 0", withRecords([](auto& r) { r[1][61 + 4] = 0; }), false},
      {"region C offset 0", withRecords([](auto& r) { r[0][70] = r[0][71] = r[0][72] = r[0][73] = 0; }), false},
      {"region A length 0", withRecords([](auto& r) { r[0][52 + 4] = 0; }), false},
      {"bytes that are not kept may hold anything", withRecords([](auto& r) { r[1][0] = 0xAA; r[1][88] = 0x55; }), true},
  };
  for (auto& c : cases) {
    bed.put("sigwworm.inx", c.file);
    ASSERT_NE(bed.load(), nullptr) << c.what;
    EXPECT_EQ(bed.diag().categoryRecords[25], c.loads ? 2u : 0u) << c.what;
    EXPECT_EQ(scan(0), c.loads ? NX_ENGINE_THREAT : NX_ENGINE_CLEAN) << c.what;
    bed.unload();
  }
}

// The lookup is a binary search on the key, so a table whose keys are out of order would hide
// records: it is rejected whole, and the rejection is logged.
TEST_F(Category, TableWithKeysOutOfOrderIsRejectedAndLogged) {
  bed.signatures(source({recordFor(file, "sigwtrjn.in1", "Trojan.Sample"), recordFor(file, "sigwtrjn.in1", "High", 0x900)}));
  auto recs = nxsig::decodeCategoryFile(bed.get("sigwtrjn.in1"), 89, "sigwtrjn.in1");
  std::swap(recs[0], recs[1]);  // keys 0x900, then 0x410
  bed.put("sigwtrjn.in1", nxsig::encodeCategoryFile(recs, 89));
  start();
  EXPECT_EQ(bed.diag().categoryRecords[11], 0u);
  EXPECT_EQ(scan(), NX_ENGINE_CLEAN);
  EXPECT_EQ(bed.log(), std::vector<std::string>{"exescan.dll: Damaged signature file sigwtrjn.in1."});
}

// On a reload a damaged file keeps the table it was to replace (an update cut short takes no
// signatures away), and says so in the log; a file that is gone takes its table with it.
TEST_F(Category, ReloadKeepsATableWhoseNewFileIsDamaged) {
  auto reload = [&] { return bed.fn<int32_t (*)(int32_t, int32_t)>(u"BkdrScanReloadSignatures")(0, 0); };
  bed.signatures(source({recordFor(file, "sigwtrjn.in1", "Trojan.A")}));
  start();
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  Bytes cut = bed.get("sigwtrjn.in1");
  cut.pop_back();
  bed.put("sigwtrjn.in1", cut);
  EXPECT_EQ(reload(), 1);
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  EXPECT_EQ(found(), "Trojan.A");
  EXPECT_EQ(bed.log(), std::vector<std::string>{"exescan.dll: Damaged signature file sigwtrjn.in1."});
  bed.remove("sigwtrjn.in1");
  EXPECT_EQ(reload(), 1);
  EXPECT_EQ(scan(), NX_ENGINE_CLEAN);
  EXPECT_EQ(bed.diag().categoryRecords[11], 0u);
  // Only the damaged table is kept: the others are replaced as usual.
  bed.signatures(source({recordFor(file, "sigwtrjn.in1", "Trojan.B"), recordFor(file, "sigwworm.in0", "Worm.C", kEntry + 1)}));
  EXPECT_EQ(reload(), 1);
  EXPECT_EQ(scan(), NX_ENGINE_THREAT);
  EXPECT_EQ(found(), "Trojan.B");
  bed.signatures(source({recordFor(file, "sigwworm.in0", "Worm.D", kEntry + 2)}));
  bed.put("sigwtrjn.in1", cut);
  EXPECT_EQ(reload(), 1);
  EXPECT_EQ(bed.diag().categoryRecords[0], 1u);
  EXPECT_EQ(bed.diag().categoryRecords[11], 1u);
  EXPECT_EQ(scan(), NX_ENGINE_THREAT);
  EXPECT_EQ(found(), "Trojan.B");
}

TEST_F(Category, ReloadReplacesAllTables) {
  bed.signatures(source({recordFor(file, "sigwbkdr.in4", "Old")}));
  start();
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  bed.remove("sigwbkdr.in4");
  bed.signatures(source({recordFor(file, "sigwspwr.in3", "New")}));
  EXPECT_EQ(bed.fn<int32_t (*)(int32_t, int32_t)>(u"ReloadSignatures")(0, 0), 1);
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  EXPECT_EQ(found(), "New");
  EXPECT_EQ(threats->last()->category, 77);
  EXPECT_EQ(bed.diag().categoryRecords[9], 0u);
}

// ---- Clean -----------------------------------------------------------------------------------

ce::DWORD exitCodeAfter(ce::HANDLE h, int ms) {
  ce::DWORD code = ce::STILL_ACTIVE;
  for (int waited = 0; waited < ms; waited += 10) {
    if (!ce::GetExitCodeProcess(h, &code) || code != ce::STILL_ACTIVE) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return code;
}

class CategoryClean : public Category {
 protected:
  // A program running from "\Temp\evil.exe", and a record with the given flags in the base worm table.
  void SetUp() override {
    Category::SetUp();
    std::filesystem::copy_file(nxtest::helperPath(), bed.dev.host("Temp/evil.exe"));
    std::u16string line = u"idle";
    ASSERT_TRUE(ce::CreateProcessW(u"\\Temp\\evil.exe", line.data(), nullptr, nullptr, ce::FALSE, 0, nullptr, nullptr,
                                   nullptr, &pi));
  }
  void TearDown() override {
    if (pi.hProcess) {
      ce::TerminateProcess(pi.hProcess, 9);
      ce::CloseHandle(pi.hProcess);
    }
  }
  int32_t clean(uint8_t flags, ScanSettings& s, int16_t index = 0, int16_t code = 29, int32_t action = NX_ACTION_DELETE) {
    bed.signatures(source({recordFor(file, "sigwworm.inx", "Running", kEntry, flags)}));
    if (!loaded_) {
      EXPECT_NE(bed.load(), nullptr);
      loaded_ = true;
    } else {
      bed.fn<int32_t (*)(int32_t, int32_t)>(u"BkdrScanReloadSignatures")(0, 0);
    }
    Object o = categoryObject(bed);
    Threats t;
    EXPECT_EQ(o.open(u"\\TEMP\\Evil.exe", &s), NX_ENGINE_SUCCESS);
    ThreatRecord r{};
    r.index = index;
    r.category = code;
    EXPECT_EQ(t.list->ops->Append(t.list, &r), 1);
    return o.clean(t, action);
  }
  bool running() { return exitCodeAfter(pi.hProcess, 0) == ce::STILL_ACTIVE; }
  bool endedSoon() { return exitCodeAfter(pi.hProcess, 5000) != ce::STILL_ACTIVE; }

  ce::PROCESS_INFORMATION pi{};
  bool loaded_ = false;
};

TEST_F(CategoryClean, RecordWithoutTheRunningFlagIsDeletedWithoutEndingTheProcess) {
  auto s = settings();
  EXPECT_EQ(clean(0, *s), NX_ENGINE_DELETE);
  EXPECT_TRUE(running());
}

TEST_F(CategoryClean, RunningThreatIsEndedBeforeDeletion) {
  auto s = settings();
  EXPECT_EQ(clean(4, *s), NX_ENGINE_DELETE);
  EXPECT_TRUE(endedSoon());
}

TEST_F(CategoryClean, RefusalsLeaveTheProcessAlone) {
  struct {
    const char* what;
    uint8_t noDelete;
    uint32_t engineFlags;
    uint8_t flagE14;
    int16_t index;
    int16_t code;
    int32_t action;
    int32_t expected;
  } cases[] = {
      {"no action", 0, 0, 0, 0, 29, NX_ACTION_NONE, NX_ENGINE_CANNOT_CLEAN},
      {"no delete", 1, 0, 0, 0, 29, NX_ACTION_DELETE, NX_ENGINE_CANNOT_CLEAN},
      {"no delete, flag 2 without E14", 1, 2, 0, 0, 29, NX_ACTION_DELETE, NX_ENGINE_CANNOT_CLEAN},
      {"no delete overridden: delete, but no process ending", 1, 2, 1, 0, 29, NX_ACTION_DELETE, NX_ENGINE_DELETE},
      {"unknown table code", 0, 0, 0, 0, 12, NX_ACTION_DELETE, NX_ENGINE_CANNOT_CLEAN},
      {"empty table", 0, 0, 0, 0, 26, NX_ACTION_DELETE, NX_ENGINE_CANNOT_CLEAN},
      {"index beyond the table", 0, 0, 0, 1, 29, NX_ACTION_DELETE, NX_ENGINE_CANNOT_CLEAN},
  };
  for (auto& c : cases) {
    auto s = settings();
    s->noDelete = c.noDelete;
    s->engineFlags = c.engineFlags;
    s->flagE14 = c.flagE14;
    EXPECT_EQ(clean(4, *s, c.index, c.code, c.action), c.expected) << c.what;
    EXPECT_TRUE(running()) << c.what;
  }
  // An index of 0xFFFF names no record: the process is still ended.
  auto s = settings();
  EXPECT_EQ(clean(0, *s, int16_t(-1), 29), NX_ENGINE_DELETE);
  EXPECT_TRUE(endedSoon());
}

TEST_F(CategoryClean, CleanNeedsAThreat) {
  auto s = settings();
  ASSERT_NE(bed.load(), nullptr);
  loaded_ = true;
  Object o = categoryObject(bed);
  Threats t;
  EXPECT_EQ(o.obj->ops->Clean(o.obj, nullptr, NX_ACTION_DELETE), NX_ENGINE_CANNOT_CLEAN);
  EXPECT_EQ(o.clean(t), NX_ENGINE_CANNOT_CLEAN);  // never opened
  o.open(path, s.get());
  EXPECT_EQ(o.clean(t), NX_ENGINE_CANNOT_CLEAN);  // empty list
}

}  // namespace
