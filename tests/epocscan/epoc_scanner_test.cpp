// epocscan.dll loaded from a test device: signature files written with the
// signature compiler's format code, small generated EPOC images of both
// header formats, and the real EPOC executables of the shared corpus.
#include <atomic>
#include <filesystem>
#include <thread>
#include <fstream>
#include <functional>

#include "common/crc32.h"
#include "epocscan/epoc_tables.h"
#include "formats.h"
#include "scanner_bed.h"

namespace {

using namespace scanbed;
using nxsig::Json;

using CreateFn = int32_t (*)(ScannerObject**, int32_t);
using DeleteFn = int32_t (*)(ScannerObject*);
using CountFn = int32_t (*)();
using ReloadFn = int32_t (*)(int32_t, int32_t);

using Image = std::vector<uint8_t>;

Image filled(size_t size, uint8_t seed) {
  Image img(size);
  for (size_t i = 0; i < size; ++i) img[i] = static_cast<uint8_t>(i * 29 + seed + i / 199);
  return img;
}

// "EPOC" at 16; the entry point at code offset (100) + entry (72).
Image classicImage(size_t size, uint32_t codeOffset, uint32_t entry, uint8_t seed = 1) {
  Image img = filled(size, seed);
  nxsig::put32(&img[0], 0x10000079u);
  std::memcpy(&img[16], "EPOC", 4);
  nxsig::put32(&img[72], entry);
  nxsig::put32(&img[100], codeOffset);
  return img;
}

// No "EPOC" at 16; the entry point at (16) - (20) + 100.
Image otherImage(size_t size, uint32_t at16, uint32_t at20, uint8_t seed = 2) {
  Image img = filled(size, seed);
  nxsig::put32(&img[0], 0x1000007Au);
  nxsig::put32(&img[16], at16);
  nxsig::put32(&img[20], at20);
  return img;
}

Json region(const Image& img, uint32_t offset, uint8_t length) {
  Json r = Json::object();
  r["offset"] = offset;
  r["length"] = length;
  r["crc"] = nx::crc32Raw(&img[offset], length);
  return r;
}

// A record for the image computed here, independently of the scanner: the
// entry offset as the key, the checksum of header bytes 16 to 16 + headerBytes.
Json recordFor(const Image& img, const char* table, const char* name, uint32_t entry, size_t headerBytes) {
  Json r = Json::object();
  r["table"] = table;
  r["name"] = name;
  r["key"] = entry;
  r["header_crc"] = nx::crc32Raw(&img[16], headerBytes);
  uint8_t a = static_cast<uint8_t>(std::min<size_t>(30, img.size() - entry));
  r["regions"] = Json::array({region(img, entry, a), region(img, 130, 100), region(img, 1, 15)});
  return r;
}

class EpocScan : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* m : {"platform.dll", "filekit.dll", "epocscan.dll"}) bed.install(m);
  }
  void compile(const Json& epocRecords) {
    Json src = Json::object();
    src["epoc"] = epocRecords;
    for (const auto& t : nx::epoc::kTables) std::filesystem::remove(bed.dev.host(kInstall) + "/" + t.file);
    nxsig::buildAll({src}, bed.dev.host(kInstall));
  }
  void loadModule() {
    mod = bed.load(u"epocscan.dll");
    ASSERT_NE(mod, nullptr);
    create = bed.fn<CreateFn>(mod, u"CreateEpocScanObject");
    destroy = bed.fn<DeleteFn>(mod, u"DeleteEpocScanObject");
    reload = bed.fn<ReloadFn>(mod, u"ReloadSignatures");
  }
  // Scans the image written to \Temp; the threat name, or "" when clean.
  std::string scan(const Image& img, uint16_t mask = 0, ThreatRecord* out = nullptr) {
    bed.dev.writeFile("Temp/image.exe", std::string(img.begin(), img.end()));
    Object o(create, destroy, NX_LIST_EPOC);
    auto s = settings();
    s->categoryMask = mask;
    EXPECT_EQ(o.open(u"\\Temp\\image.exe", s.get()), NX_ENGINE_SUCCESS);
    Threats t;
    int32_t r = o.scan(t, u"\\Storage Card\\image.exe");
    EXPECT_EQ(o.close(), NX_ENGINE_SUCCESS);
    if (r == NX_ENGINE_CLEAN) return "";
    EXPECT_EQ(r, NX_ENGINE_THREAT);
    if (!t.last()) return "?";
    if (out) *out = *t.last();
    EXPECT_EQ(narrow(t.last()->displayPath), "\\Storage Card\\image.exe");
    return narrow(t.last()->name);
  }

  Bed bed;
  ce::HMODULE mod = nullptr;
  CreateFn create = nullptr;
  DeleteFn destroy = nullptr;
  ReloadFn reload = nullptr;
};

TEST_F(EpocScan, HeaderChecksumOver108Or84BytesByFormat) {
  const Image classic = classicImage(3000, 0x200, 0x40);  // entry 0x240
  const Image other = otherImage(3000, 0x1500, 0x1000);   // entry 0x564
  ASSERT_NE(std::memcmp(&other[16], "EPOC", 4), 0);
  compile(Json::array());
  loadModule();
  struct Case {
    const char* what;
    const Image& img;
    uint32_t entry;
    size_t headerBytes;
    bool detected;
  } cases[] = {
      {"classic, 108 bytes", classic, 0x240, 108, true},
      {"classic, 84 bytes", classic, 0x240, 84, false},
      {"other, 84 bytes", other, 0x564, 84, true},
      {"other, 108 bytes", other, 0x564, 108, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    compile(Json::array({recordFor(c.img, "sigmworm.inx", "Worm.Epoc.A", c.entry, c.headerBytes)}));
    EXPECT_EQ(reload(0, 0), 1);
    EXPECT_EQ(scan(c.img), c.detected ? "Worm.Epoc.A" : "");
  }
  // A UID the scanner does not know is no EPOC image, whatever the tables hold.
  compile(Json::array({recordFor(classic, "sigmworm.inx", "Worm.Epoc.A", 0x240, 108)}));
  reload(0, 0);
  Image notEpoc = classic;
  notEpoc[0] = 0x7B;
  EXPECT_EQ(scan(notEpoc), "");
  EXPECT_EQ(scan(classic), "Worm.Epoc.A");
}

TEST_F(EpocScan, NamesAndCodesOfEachTable) {
  struct Case {
    const char* table;
    const char* name;
    int16_t code;
  } cases[] = {
      {"sigmspwr.inx", "Spy.Epoc.A (Not a Virus)", 106},
      {"sigmware.in2", "Ware.Epoc.B (Not a Virus)", 100},
      {"sigmspwr.in0", "Spy.Epoc.C (Not a Virus)", 107},
      {"sigmtrjn.inx", "Trojan.Epoc.D", 58},
      {"sigmbkdr.in4", "Backdoor.Epoc.E", 96},
      {"sigmworm.in1", "Worm.Epoc.F", 68},
  };
  Json recs = Json::array();
  std::vector<Image> images;
  for (size_t i = 0; i < std::size(cases); ++i) {
    images.push_back(classicImage(2000 + 10 * i, 0x100, static_cast<uint32_t>(i * 16), static_cast<uint8_t>(i)));
    std::string bare(cases[i].name);
    bare = bare.substr(0, bare.find(" ("));
    recs.push_back(recordFor(images[i], cases[i].table, bare.c_str(), static_cast<uint32_t>(0x100 + i * 16), 108));
  }
  compile(recs);
  loadModule();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].table);
    ThreatRecord r{};
    EXPECT_EQ(scan(images[i], 7, &r), cases[i].name);
    EXPECT_EQ(r.category, cases[i].code);
    EXPECT_EQ(r.index, 0);
    EXPECT_EQ(r.rootType, 0);
  }
}

TEST_F(EpocScan, CategoryMaskZeroSearchesOnlyTheWormTables) {
  const Image img = classicImage(2500, 0x180, 0x20);
  compile(Json::array({recordFor(img, "sigmbkdr.inx", "Backdoor.Epoc", 0x1A0, 108)}));
  loadModule();
  EXPECT_EQ(scan(img, 0), "");
  EXPECT_EQ(scan(img, 2), "");
  EXPECT_EQ(scan(img, 1), "Backdoor.Epoc");
  compile(Json::array({recordFor(img, "sigmworm.in3", "Worm.Epoc", 0x1A0, 108)}));
  reload(0, 0);
  EXPECT_EQ(scan(img, 0), "Worm.Epoc");
}

TEST_F(EpocScan, TwoRecordsWithTheSameKey) {
  const Image img = classicImage(2500, 0x180, 0x20);
  Json first = recordFor(img, "sigmworm.inx", "Worm.First", 0x1A0, 108);
  Json second = recordFor(img, "sigmworm.inx", "Worm.Second", 0x1A0, 108);
  Json firstOff = first;
  firstOff["regions"][2]["crc"] = first["regions"][2]["crc"].get<uint32_t>() ^ 1u;
  Json before = recordFor(img, "sigmworm.inx", "Worm.Lower", 0x19F, 108);
  Json after = recordFor(img, "sigmworm.inx", "Worm.Higher", 0x1A1, 108);
  struct Case {
    const char* what;
    Json records;
    const char* name;
    int16_t index;
  } cases[] = {
      {"both match: the first in file order", Json::array({after, first, second, before}), "Worm.First", 1},
      {"the first differs in region C", Json::array({after, firstOff, second, before}), "Worm.Second", 2},
  };
  compile(Json::array());
  loadModule();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    compile(c.records);
    reload(0, 0);
    ThreatRecord r{};
    EXPECT_EQ(scan(img, 0, &r), c.name);
    EXPECT_EQ(r.index, c.index);  // sorted by key: lower, then the two in source order
  }
}

TEST_F(EpocScan, ARegionOfLengthZeroDropsItsWholeFile) {
  const Image img = classicImage(2500, 0x180, 0x20);
  const Image other = classicImage(2600, 0x180, 0x30, 9);
  Json good = recordFor(img, "sigmworm.inx", "Worm.Good", 0x1A0, 108);
  Json otherGood = recordFor(other, "sigmworm.inx", "Worm.Other", 0x1B0, 108);
  compile(Json::array({good}));
  loadModule();
  ASSERT_EQ(scan(img), "Worm.Good");
  // The compiler refuses such a record, so the file is put together by hand.
  auto decoded = [](const Json& r, uint8_t lengthB) {
    std::vector<uint8_t> d(76, 0);
    std::string n = r["name"];
    std::memcpy(&d[4], n.data(), n.size());
    nxsig::put32(&d[35], r["key"].get<uint32_t>());
    nxsig::put32(&d[39], r["header_crc"].get<uint32_t>());
    size_t at[3] = {43, 52, 61};
    for (int i = 0; i < 3; ++i) {
      nxsig::put32(&d[at[i]], r["regions"][i]["offset"].get<uint32_t>());
      d[at[i] + 4] = i == 1 ? lengthB : r["regions"][i]["length"].get<uint8_t>();
      nxsig::put32(&d[at[i] + 5], r["regions"][i]["crc"].get<uint32_t>());
    }
    return d;
  };
  auto broken = nxsig::encodeCategoryFile({decoded(good, 100), decoded(otherGood, 0)}, 76);
  bed.put("sigmworm.in2", std::string(broken.begin(), broken.end()));
  auto fine = nxsig::encodeCategoryFile({decoded(otherGood, 100)}, 76);
  bed.put("sigmworm.in1", std::string(fine.begin(), fine.end()));
  EXPECT_EQ(reload(0, 0), 1);
  // The good record of the broken file is gone with it; the base file still finds it.
  EXPECT_EQ(scan(img), "Worm.Good");
  bed.remove("sigmworm.inx");
  reload(0, 0);
  EXPECT_EQ(scan(img), "");
  EXPECT_EQ(scan(other), "Worm.Other");
}

TEST_F(EpocScan, ReloadKeepsATableWhoseNewFileIsDamaged) {
  const Image a = classicImage(2500, 0x180, 0x20);
  const Image b = otherImage(2500, 0x1200, 0x1000);  // entry 0x264
  compile(Json::array({recordFor(a, "sigmtrjn.in1", "Trojan.A", 0x1A0, 108)}));
  loadModule();
  ASSERT_EQ(scan(a, 2), "Trojan.A");
  // Damaged on disk: the loaded table stays, and the log says why.
  std::string bytes = bed.dev.readFile(std::string(kInstall) + "/sigmtrjn.in1");
  bed.put("sigmtrjn.in1", bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(reload(0, 0), 1);
  EXPECT_EQ(scan(a, 2), "Trojan.A");
  EXPECT_EQ(bed.log(), std::vector<std::string>{"epocscan.dll: Damaged signature file sigmtrjn.in1."});
  // Removed: the update took the table away.
  bed.remove("sigmtrjn.in1");
  EXPECT_EQ(reload(0, 0), 1);
  EXPECT_EQ(scan(a, 2), "");
  // Replaced: only the new records count.
  compile(Json::array({recordFor(b, "sigmtrjn.in1", "Trojan.B", 0x264, 84)}));
  EXPECT_EQ(reload(0, 0), 1);
  EXPECT_EQ(scan(a, 2), "");
  EXPECT_EQ(scan(b, 2), "Trojan.B");
}

// As for the Windows CE tables: keys out of order would hide records from the binary search, so
// the file is rejected whole, with the log line.
TEST_F(EpocScan, TableWithKeysOutOfOrderIsRejectedAndLogged) {
  const Image a = classicImage(2500, 0x180, 0x20);
  compile(Json::array({recordFor(a, "sigmtrjn.in1", "Trojan.A", 0x1A0, 108),
                       recordFor(classicImage(2500, 0x180, 0x40, 5), "sigmtrjn.in1", "High", 0x900, 108)}));
  const std::string f = bed.dev.readFile(std::string(kInstall) + "/sigmtrjn.in1");
  auto recs = nxsig::decodeCategoryFile(nxsig::Bytes(f.begin(), f.end()), 76, "sigmtrjn.in1");
  std::swap(recs[0], recs[1]);
  const nxsig::Bytes swapped = nxsig::encodeCategoryFile(recs, 76);
  bed.put("sigmtrjn.in1", std::string(swapped.begin(), swapped.end()));
  loadModule();
  EXPECT_EQ(scan(a, 2), "");
  EXPECT_EQ(bed.log(), std::vector<std::string>{"epocscan.dll: Damaged signature file sigmtrjn.in1."});
}

TEST_F(EpocScan, EntryPointAtTheEndOfTheFile) {
  const uint32_t size = 1500;
  // Entry on the last byte: one byte is read there and region A may be that byte.
  Image last = classicImage(size, 0x500, size - 1 - 0x500);
  Json onLast = recordFor(last, "sigmworm.inx", "Worm.Last", size - 1, 108);
  ASSERT_EQ(onLast["regions"][0]["length"], 1);
  // Entry just past the end: never a match, even with a record for that key.
  Image past = classicImage(size, 0x500, size - 0x500, 3);
  Json onPast = recordFor(past, "sigmworm.inx", "Worm.Past", size - 1, 108);
  onPast["key"] = size;
  compile(Json::array({onLast, onPast}));
  loadModule();
  EXPECT_EQ(scan(last), "Worm.Last");
  EXPECT_EQ(scan(past), "");
  // Shorter than a header: nothing to read, nothing found.
  EXPECT_EQ(scan(Image(last.begin(), last.begin() + 60)), "");
  EXPECT_EQ(scan(Image()), "");
}

TEST_F(EpocScan, OpenScanAndClean) {
  const Image img = classicImage(2500, 0x180, 0x20);
  compile(Json::array({recordFor(img, "sigmworm.inx", "Worm.Epoc", 0x1A0, 108)}));
  loadModule();
  bed.dev.writeFile("Temp/w.app", std::string(img.begin(), img.end()));
  auto s = settings();
  {
    Object o(create, destroy, NX_LIST_EPOC);
    Threats t;
    EXPECT_EQ(o.obj->ops->Open(o.obj, -1, nullptr, s.get(), u"r", 0, 0), NX_ENGINE_MISSING_ARG);
    EXPECT_EQ(o.obj->ops->Open(o.obj, -1, u"\\x", nullptr, u"r", 0, 0), NX_ENGINE_MISSING_ARG);
    EXPECT_EQ(o.obj->ops->Open(o.obj, -1, u"\\x", s.get(), nullptr, 0, 0), NX_ENGINE_MISSING_ARG);
    EXPECT_EQ(o.open(u"\\Temp\\missing.app", s.get()), NX_ENGINE_SUCCESS);
    EXPECT_EQ(o.scan(t), NX_ENGINE_ERROR);
    std::u16string d = u"d";
    EXPECT_EQ(o.obj->ops->Scan(o.obj, d.data(), nullptr, 0), NX_ENGINE_MISSING_ARG);
    EXPECT_EQ(o.obj->ops->Scan(o.obj, nullptr, t.list, 0), NX_ENGINE_MISSING_ARG);
  }
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
      {0, NX_ACTION_DELETE, false, NX_ENGINE_CANNOT_CLEAN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected * 10 + c.noDelete);
    s->noDelete = c.noDelete;
    Object o(create, destroy, NX_LIST_EPOC);
    ASSERT_EQ(o.open(u"\\Temp\\w.app", s.get()), NX_ENGINE_SUCCESS);
    Threats t;
    if (c.detected) {
      ASSERT_EQ(o.scan(t), NX_ENGINE_THREAT);
    }
    EXPECT_EQ(o.clean(t, c.action), c.expected);
    EXPECT_EQ(o.obj->ops->Clean(o.obj, nullptr, c.action), NX_ENGINE_CANNOT_CLEAN);
  }
}

TEST_F(EpocScan, ScansRunningWhileTablesAreReloadedKeepTheirTables) {
  const Image a = classicImage(2500, 0x180, 0x20);
  const Image b = classicImage(2500, 0x180, 0x40, 5);
  const std::string fileA = [&] {
    compile(Json::array({recordFor(a, "sigmworm.inx", "Worm.A", 0x1A0, 108)}));
    return bed.dev.readFile(std::string(kInstall) + "/sigmworm.inx");
  }();
  compile(Json::array({recordFor(b, "sigmworm.inx", "Worm.B", 0x1C0, 108)}));
  const std::string fileB = bed.dev.readFile(std::string(kInstall) + "/sigmworm.inx");
  loadModule();
  bed.dev.writeFile("Temp/a.exe", std::string(a.begin(), a.end()));
  std::atomic<bool> done{false};
  std::thread reloader([&] {
    for (int i = 0; i < 40; ++i) {
      bed.put("sigmworm.inx", i % 2 ? fileA : fileB);
      EXPECT_EQ(reload(0, 0), 1);
    }
    done = true;
  });
  int scans = 0;
  auto s = settings();
  while (!done || scans < 20) {
    Object o(create, destroy, NX_LIST_EPOC);
    ASSERT_EQ(o.open(u"\\Temp\\a.exe", s.get()), NX_ENGINE_SUCCESS);
    Threats t;
    int32_t r = o.scan(t);
    EXPECT_TRUE(r == NX_ENGINE_THREAT || r == NX_ENGINE_CLEAN) << r;
    if (r == NX_ENGINE_THREAT) {
      EXPECT_EQ(narrow(t.last()->name), "Worm.A");
    }
    ++scans;
  }
  reloader.join();
}

// ---- Frame ---------------------------------------------------------------------

TEST_F(EpocScan, FrameCountsAndStartsWithoutSignatureFiles) {
  loadModule();  // no table files at all
  auto init = bed.fn<CountFn>(mod, u"LibInit");
  auto deinit = bed.fn<CountFn>(mod, u"LibDeinit");
  EXPECT_EQ(init(), 2);
  EXPECT_EQ(deinit(), 1);
  EXPECT_EQ(scan(classicImage(2000, 0x100, 0)), "");
  bed.free(mod);
  EXPECT_EQ(bed.log(), std::vector<std::string>{});
}

TEST_F(EpocScan, DeinitWithoutInitIsLoggedAsMismatch) {
  ce::HMODULE h = ce::LoadLibraryW(devPath(u"epocscan.dll").c_str());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(reinterpret_cast<CountFn>(ce::GetProcAddressW(h, u"LibDeinit"))(), 0);
  EXPECT_EQ(reinterpret_cast<ReloadFn>(ce::GetProcAddressW(h, u"ReloadSignatures"))(0, 0), 0);
  EXPECT_EQ(bed.log(), (std::vector<std::string>{"epocscan.dll: Error LibInit LibDeinit mismatched.",
                                                 "epocscan LibInit: error code - 142"}));
  ce::FreeLibrary(h);
}

TEST_F(EpocScan, LoadFailuresAreLoggedAndLeaveNothingLoaded) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::vector<std::string> log;
  } cases[] = {
      {"no filekit.dll", [&] { bed.remove("filekit.dll"); },
       {"epocscan.dll: Unable to load filekit.dll.", "epocscan LibInit: error code - 148"}},
      {"filekit.dll without its entry points", [&] { bed.install("threatlist.dll", "filekit.dll"); },
       {"epocscan.dll: Invalid filekit.dll.", "epocscan LibInit: error code - 148"}},
      {"filekit.dll without a wrapper object",
       [&] { bed.installStandIn("filekit_without_wrapper.dll", "filekit.dll"); },
       {"epocscan LibInit: error code - 149"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    bed.clearLog();
    c.arrange();
    EXPECT_EQ(bed.load(u"epocscan.dll"), nullptr);
    EXPECT_EQ(ce::GetModuleHandleW(u"epocscan.dll"), nullptr);
    EXPECT_EQ(ce::GetModuleHandleW(u"filekit.dll"), nullptr);
    EXPECT_EQ(bed.log(), c.log);
  }
}

// ---- Real EPOC executables -------------------------------------------------------

TEST_F(EpocScan, LearnedRecordsFindTheRealImagesAndNothingElse) {
  // The shared folder beside the checkout, unless the environment names another.
  const std::string shared = nxtest::sharedDir().empty() ? std::string(NX_CHECKOUT_SHARED_DIR) : nxtest::sharedDir();
  const std::string dir = shared + "/corpus/epoc-exe";
  if (!std::filesystem::is_directory(dir))
    GTEST_SKIP() << "no EPOC executables at " << dir;
  std::vector<std::pair<std::string, Image>> samples;
  Json recs = Json::array();
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    Image img((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string name = "Real." + std::to_string(samples.size());
    Json learned;
    try {
      learned = nxsig::learnRecord("epoc", img, "sigmworm.inx", name);
    } catch (const nxsig::Error& err) {
      // A compressed image has its entry point beyond the stored bytes.
      continue;
    }
    // All the corpus images have the classic header: key and header checksum by hand.
    ASSERT_EQ(std::memcmp(&img[16], "EPOC", 4), 0);
    EXPECT_EQ(learned["key"].get<uint32_t>(), nxsig::get32(&img[100]) + nxsig::get32(&img[72]));
    EXPECT_EQ(learned["header_crc"], nxsig::hex32(nx::crc32Raw(&img[16], 108)));
    recs.push_back(learned);
    samples.emplace_back(name, std::move(img));
  }
  if (samples.empty()) GTEST_SKIP() << "no EPOC executable in " << dir << " has its entry point inside the file";
  compile(recs);
  loadModule();
  for (const auto& [name, img] : samples) {
    SCOPED_TRACE(name);
    EXPECT_EQ(scan(img), name);
    // One changed byte in the code after the entry point (region B).
    Image changed = img;
    uint32_t at = recs[std::stoul(name.substr(5))]["regions"][1]["offset"];
    changed[at] ^= 0x01;
    EXPECT_EQ(scan(changed), "");
  }
}

}  // namespace
