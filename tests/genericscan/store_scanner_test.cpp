// The store pattern scanner: "sigaif.inx" loading and its rejection rules,
// the window walk over a file (2500-byte windows every 2400 bytes, white
// space dropped, letters folded), and the scanner loaded from a test device
// with its detections, cleaning and reloads.
#include <cstring>
#include <map>

#include <fstream>

#include "formats.h"
#include "genericscan/store_format.h"
#include "scanner_bed.h"

namespace {

using namespace scanbed;
namespace st = nx::gen::store;

using CreateFn = int32_t (*)(ScannerObject**, int32_t);
using DeleteFn = int32_t (*)(ScannerObject*);
using CountFn = int32_t (*)();

struct Src {
  std::string name;
  std::string pattern;
};
Src src(const std::string& name, const std::string& pattern) { return {name, pattern}; }

// The file the signature compiler writes for the records (texts, or hex when
// they hold bytes a JSON text should not).
std::vector<uint8_t> sigFile(const std::vector<Src>& records) {
  nxsig::Json src = nxsig::Json::object();
  src["store"] = nxsig::Json::array();
  for (const Src& r : records) {
    nxsig::Json j = nxsig::Json::object();
    j["name"] = r.name;
    bool text = true;
    for (unsigned char c : r.pattern) text = text && c >= 0x20 && c < 0x7F;
    if (text) {
      j["pattern"] = r.pattern;
    } else {
      j["pattern"] = nxsig::Json::object();
      j["pattern"]["hex"] = nxsig::toHex(reinterpret_cast<const uint8_t*>(r.pattern.data()), r.pattern.size());
    }
    src["store"].push_back(j);
  }
  nxtest::TempDir dir;
  nxsig::buildAll({src}, dir.path());
  std::ifstream in(dir.path() + "/sigaif.inx", std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---- The signature file -----------------------------------------------------------

TEST(StoreFormat, LoadsWhatItEncodesAndRejectsDamage) {
  std::vector<uint8_t> good = sigFile({src("Trojan.One", "ABC"), src("Worm.Two", std::string(100, 'Q'))});
  ASSERT_EQ(good.size(), 8u + 2 * 152);
  std::vector<st::Record> recs;
  ASSERT_TRUE(st::parse(good.data(), good.size(), recs));
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_STREQ(recs[0].name, "Trojan.One");
  EXPECT_EQ(recs[0].length, 3);
  EXPECT_EQ(std::memcmp(recs[0].pattern, "ABC", 3), 0);
  EXPECT_EQ(recs[1].length, 100);
  // Bytes 0-149 are stored scrambled, the length plain.
  EXPECT_EQ(std::string(good.begin() + 8, good.begin() + 18).find("Trojan"), std::string::npos);
  EXPECT_EQ(good[8 + 150], 3);

  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
  } cases[] = {
      {"one byte more", [](auto& f) { f.push_back(0); }},
      {"one byte less", [](auto& f) { f.pop_back(); }},
      {"count one too high", [](auto& f) { f[4] = 3; }},
      {"count far too high", [](auto& f) { f[7] = 0x40; }},
      {"checksum off by one", [](auto& f) { f[0] ^= 1; }},
      {"a pattern byte changed", [](auto& f) { f[8 + 60] ^= 0x10; }},
      {"a header only", [](auto& f) { f.resize(7); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> f = good;
    c.damage(f);
    EXPECT_FALSE(st::parse(f.data(), f.size(), recs));
    EXPECT_TRUE(recs.empty());
  }
  // Name bytes are outside the checksum: a changed name still loads.
  std::vector<uint8_t> renamed = good;
  renamed[8] ^= 1;
  EXPECT_TRUE(st::parse(renamed.data(), renamed.size(), recs));
}

TEST(StoreFormat, EmptyTableAndUnterminatedNames) {
  const uint8_t empty[8] = {};
  std::vector<st::Record> recs;
  EXPECT_TRUE(st::parse(empty, sizeof empty, recs));
  EXPECT_TRUE(recs.empty());

  // A name that fills its 50 bytes is cut at 49, never read past its field.
  std::vector<uint8_t> f = sigFile({src("N", "X")});
  for (size_t i = 0; i < 50; ++i) f[8 + i] = nx::sig::encodeStoreByte('n');
  ASSERT_TRUE(st::parse(f.data(), f.size(), recs));
  EXPECT_EQ(std::string(recs[0].name), std::string(49, 'n'));
}

TEST(StoreFormat, CompilerRefusesRecordsThatCouldNeverMatch) {
  struct Case {
    Src s;
    const char* reason;  // part of the message
  } cases[] = {
      {src("", "ABC"), "1 to 49"},
      {src(std::string(50, 'n'), "ABC"), "1 to 49"},
      {src("Lower", "abc"), "lower-case"},
      {src("Space", "A B"), "white space"},
      {src("Tab", "A\tB"), "white space"},
      {src("Empty", ""), "1 to 100 bytes"},
      {src("Long", std::string(101, 'A')), "1 to 100 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    try {
      sigFile({src("Fine", "OK"), c.s});
      ADD_FAILURE() << "accepted";
    } catch (const nxsig::Error& e) {
      std::string err = e.what();
      EXPECT_NE(err.find("store[1]"), std::string::npos) << err;
      EXPECT_NE(err.find(c.reason), std::string::npos) << err;
    }
  }
}

TEST(StoreFormat, DumpGivesTheSourceBack) {
  nxtest::TempDir dir;
  nxsig::Json src = nxsig::Json::parse(R"({"store": [{"name": "Text.A", "pattern": "<SCRIPT>X"},
                                                    {"name": "Bytes.B", "pattern": {"hex": "00ff4142"}}]})");
  nxsig::buildAll({src}, dir.path());
  EXPECT_EQ(nxsig::dumpAll(dir.path())["store"], src["store"]);
}

// ---- The window walk ------------------------------------------------------------

struct FakeFile {
  std::string data;
  std::vector<int32_t> windows;  // offsets asked for
  std::map<int32_t, bool> unreadable;
};

int32_t fakeRead(void* c, int32_t offset, uint8_t* buffer, int32_t len) {
  auto* f = static_cast<FakeFile*>(c);
  f->windows.push_back(offset);
  if (f->unreadable.count(offset)) return 0;
  if (offset >= static_cast<int32_t>(f->data.size())) return 0;
  int32_t n = std::min<int32_t>(len, static_cast<int32_t>(f->data.size()) - offset);
  std::memcpy(buffer, f->data.data() + offset, static_cast<size_t>(n));
  return n;
}

std::vector<st::Record> table(const std::vector<Src>& s) {
  std::vector<uint8_t> f = sigFile(s);
  std::vector<st::Record> recs;
  EXPECT_TRUE(st::parse(f.data(), f.size(), recs));
  return recs;
}

TEST(StoreWindows, WindowsOf2500EveryStep2400) {
  struct Case {
    size_t length;
    std::vector<int32_t> windows;
  } cases[] = {
      {1, {0}},
      {2499, {0}},
      {2500, {0, 2400}},
      {2501, {0, 2400}},
      {4899, {0, 2400}},
      {4900, {0, 2400, 4800}},  // the second window ends at the file's end: a third one
      {7300, {0, 2400, 4800, 7200}},
  };
  auto none = table({src("Never", "#NOT#THERE#")});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    FakeFile f{std::string(c.length, 'x'), {}, {}};
    EXPECT_EQ(st::findInFile(none, static_cast<int32_t>(c.length), fakeRead, &f), -1);
    EXPECT_EQ(f.windows, c.windows);
  }
}

TEST(StoreWindows, AWindowThatReadsNothingIsSkipped) {
  auto recs = table({src("Late", "TAIL")});
  FakeFile f{std::string(6000, '.'), {}, {{2400, true}}};
  f.data.replace(5000, 4, "tail");
  EXPECT_EQ(st::findInFile(recs, 6000, fakeRead, &f), 0);
  EXPECT_EQ(f.windows, (std::vector<int32_t>{0, 2400, 4800}));
}

TEST(StoreWindows, PatternsAcrossAWindowEdge) {
  auto recs = table({src("Edge", "EDGE")});
  struct Case {
    size_t at;         // where the pattern starts in the file
    size_t length;     // file length
    int32_t expected;  // record index, -1 none
    std::vector<int32_t> windows;
  } cases[] = {
      // Starting at byte 2499 of the first window it is cut there; the next
      // window, 100 bytes back, holds it whole.
      {2499, 3000, 0, {0, 2400}},
      {2496, 3000, 0, {0}},    // last byte at 2499: inside the first window
      {2497, 2500, -1, {0, 2400}},  // runs past the end of the file
      {4899, 6000, 0, {0, 2400, 4800}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    FakeFile f{std::string(c.length, '-'), {}, {}};
    f.data.replace(c.at, std::min<size_t>(4, c.length - c.at), std::string("edge").substr(0, c.length - c.at));
    EXPECT_EQ(st::findInFile(recs, static_cast<int32_t>(c.length), fakeRead, &f), c.expected);
    EXPECT_EQ(f.windows, c.windows);
  }
}

TEST(StoreWindows, NormalisedTextAndRecordOrder) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<Src> sigs;
    int32_t expected;
  } cases[] = {
      {"letters split by a space and a line break", "xx a b\r\nc yy", {src("R", "ABC")}, 0},
      {"tabs dropped, other bytes kept", "q\t1-\t2", {src("R", "Q1-2")}, 0},
      {"bytes above z are not folded", "\xe4\xf6", {src("R", "\xc4\xd6")}, -1},
      {"upper-case file text", "ABC", {src("R", "ABC")}, 0},
      {"the lower index wins though found later in the window", "QQQ......ZZZ",
       {src("Z", "ZZZ"), src("Q", "QQQ")}, 0},
      {"a later record when the first is absent", "QQQ", {src("Z", "ZZZ"), src("Q", "QQQ")}, 1},
      // The zero fill behind the normalised text is not searched: three
      // dropped spaces do not become three zero bytes.
      {"zero bytes do not match dropped white space", "AB   ", {src("R", std::string("AB\0", 3))}, -1},
      {"zero bytes of the file itself do", std::string("AB\0", 3), {src("R", std::string("AB\0", 3))}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto recs = table(c.sigs);
    FakeFile f{c.text, {}, {}};
    EXPECT_EQ(st::findInFile(recs, static_cast<int32_t>(c.text.size()), fakeRead, &f), c.expected);
  }
}

TEST(StoreWindows, RecordsWithImpossibleLengthsNeverMatch) {
  auto recs = table({src("A", "AAAA"), src("B", "BBBB")});
  recs[0].length = 0;
  recs[1].length = 101;  // would reach past the pattern field
  FakeFile f{std::string(300, 'A') + std::string(300, 'B'), {}, {}};
  EXPECT_EQ(st::findInFile(recs, 600, fakeRead, &f), -1);
  recs[0].length = -5;
  EXPECT_EQ(st::findInFile(recs, 600, fakeRead, &f), -1);
}

// ---- The scanner in the module -----------------------------------------------------

class StoreScan : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* m : {"platform.dll", "filekit.dll", "genericscan.dll"}) bed.install(m);
    bed.put("sigaif.inx", bytes(sigFile({src("Store.Alpha", "ALPHA!"), src("Store.Beta", "BETA")})));
  }
  void loadModule() {
    mod = bed.load(u"genericscan.dll");
    ASSERT_NE(mod, nullptr);
    create = bed.fn<CreateFn>(mod, u"CreateBatScanObject");
    destroy = bed.fn<DeleteFn>(mod, u"DeleteBatScanObject");
  }
  int32_t scanFile(const std::string& content, Threats& t, int32_t code = NX_LIST_EPOC_STORE) {
    bed.dev.writeFile("Temp/store.dat", content);
    Object o(create, destroy, code);
    auto s = settings();
    EXPECT_EQ(o.open(u"\\Temp\\store.dat", s.get()), NX_ENGINE_SUCCESS);
    int32_t r = o.scan(t);
    EXPECT_EQ(o.close(), NX_ENGINE_SUCCESS);
    return r;
  }
  Bed bed;
  ce::HMODULE mod = nullptr;
  CreateFn create = nullptr;
  DeleteFn destroy = nullptr;
};

TEST_F(StoreScan, DetectsPatternsInStoresAndGdrFiles) {
  loadModule();
  std::string far(9000, 'z');
  far.replace(7000, 6, "al ph\na!");
  struct Case {
    std::string content;
    int32_t code;
    const char* name;
    int16_t index;
  } cases[] = {
      {"....alpha!....", NX_LIST_EPOC_STORE, "Store.Alpha", 0},
      {"b e t a", NX_LIST_GDR, "Store.Beta", 1},
      {far, NX_LIST_EPOC_STORE, "Store.Alpha", 0},
      {"nothing here", NX_LIST_EPOC_STORE, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 14));
    Threats t;
    int32_t r = scanFile(c.content, t, c.code);
    if (!c.name) {
      EXPECT_EQ(r, NX_ENGINE_CLEAN);
      EXPECT_EQ(t.count(), 0);
      continue;
    }
    ASSERT_EQ(r, NX_ENGINE_THREAT);
    ThreatRecord* rec = t.last();
    EXPECT_EQ(narrow(rec->name), c.name);
    EXPECT_EQ(rec->category, 112);
    EXPECT_EQ(rec->index, c.index);
    EXPECT_EQ(narrow(rec->displayPath), "\\Disp\\file");
  }
}

TEST_F(StoreScan, AnEmptyTableFindsNothing) {
  bed.put("sigaif.inx", std::string(8, '\0'));
  loadModule();
  Threats t;
  EXPECT_EQ(scanFile("alpha!beta", t), NX_ENGINE_CLEAN);
}

TEST_F(StoreScan, ReloadKeepsTheOldTableWhenTheNewFileIsBad) {
  loadModule();
  auto reload = bed.fn<int32_t (*)(int32_t, int32_t)>(mod, u"ReloadSignatures");
  auto batReload = bed.fn<CountFn>(mod, u"BatScanReloadSignatures");
  Threats t1;
  ASSERT_EQ(scanFile("alpha!", t1), NX_ENGINE_THREAT);

  // Damaged, then missing: the loaded table stays.
  std::vector<uint8_t> f = sigFile({src("Store.Gamma", "GAMMA")});
  f[0] ^= 1;
  bed.put("sigaif.inx", bytes(f));
  EXPECT_EQ(reload(0, 0), 1);
  bed.remove("sigaif.inx");
  EXPECT_EQ(batReload(), 1);
  Threats t2;
  EXPECT_EQ(scanFile("alpha!", t2), NX_ENGINE_THREAT);
  Threats t3;
  EXPECT_EQ(scanFile("gamma", t3), NX_ENGINE_CLEAN);

  // A good file replaces it whole.
  bed.put("sigaif.inx", bytes(sigFile({src("Store.Gamma", "GAMMA")})));
  EXPECT_EQ(reload(0, 0), 1);
  Threats t4;
  EXPECT_EQ(scanFile("alpha!", t4), NX_ENGINE_CLEAN);
  Threats t5;
  ASSERT_EQ(scanFile("gamma", t5), NX_ENGINE_THREAT);
  EXPECT_EQ(narrow(t5.last()->name), "Store.Gamma");
}

TEST_F(StoreScan, OpenScanCleanAndClose) {
  loadModule();
  auto s = settings();
  {
    Object o(create, destroy, NX_LIST_EPOC_STORE);
    Threats t;
    // Not opened yet.
    EXPECT_EQ(o.scan(t), NX_ENGINE_MISSING_ARG);
    EXPECT_EQ(o.open(u"\\Temp\\missing.dat", s.get()), NX_ENGINE_ERROR);
    EXPECT_EQ(o.obj->ops->Open(o.obj, -1, u"\\x", nullptr, u"r", 0, 0), NX_ENGINE_MISSING_ARG);
    EXPECT_EQ(o.obj->ops->Open(o.obj, -1, u"\\x", s.get(), nullptr, 0, 0), NX_ENGINE_MISSING_ARG);
  }
  bed.dev.writeFile("Temp/bad.dat", "xxalpha!xx");
  struct Case {
    uint8_t noDelete;
    int32_t action;
    bool detected;
    int32_t expected;
  } cases[] = {
      {0, NX_ACTION_DELETE, true, NX_ENGINE_DELETE},
      {0, NX_ACTION_REPAIR, true, NX_ENGINE_DELETE},
      {1, NX_ACTION_DELETE, true, NX_ENGINE_CANNOT_CLEAN},
      {0, NX_ACTION_NONE, true, NX_ENGINE_CANNOT_CLEAN},
      {0, NX_ACTION_DELETE, false, NX_ENGINE_CANNOT_CLEAN},  // no record to act on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected * 10 + c.noDelete);
    s->noDelete = c.noDelete;
    Object o(create, destroy, NX_LIST_EPOC_STORE);
    ASSERT_EQ(o.open(u"\\Temp\\bad.dat", s.get()), NX_ENGINE_SUCCESS);
    Threats t;
    if (c.detected) {
      ASSERT_EQ(o.scan(t), NX_ENGINE_THREAT);
    }
    EXPECT_EQ(o.clean(t, c.action), c.expected);
    if (c.expected == NX_ENGINE_DELETE) {
      // The scanner let go of the file, so the session layer can delete it.
      EXPECT_TRUE(ce::DeleteFileW(u"\\Temp\\bad.dat"));
      bed.dev.writeFile("Temp/bad.dat", "xxalpha!xx");
    }
    EXPECT_EQ(o.close(), NX_ENGINE_SUCCESS);
  }
}

}  // namespace
