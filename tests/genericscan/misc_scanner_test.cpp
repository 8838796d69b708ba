// The miscellaneous scanner of genericscan.dll, loaded from a test device:
// the test file and the SIS worm by their exact rules, the list code that
// selects the test, cleaning, arguments, and the scanner's frame and log lines.
#include <functional>

#include "crc_forge.h"
#include "scanner_bed.h"

namespace {

using namespace scanbed;

const std::string kEicar = R"(X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*)";

using CreateFn = int32_t (*)(ScannerObject**, int32_t);
using DeleteFn = int32_t (*)(ScannerObject*);
using CountFn = int32_t (*)();

// A package head with the worm's marks and checksum; len bytes in all.
std::string wormPackage(size_t len) {
  std::vector<uint8_t> d(len);
  for (size_t i = 0; i < len; ++i) d[i] = static_cast<uint8_t>(i * 31 + 7);
  auto put16 = [&](size_t at, const char* s) {
    for (size_t i = 0; s[i]; ++i) {
      d[at + 2 * i] = static_cast<uint8_t>(s[i]);
      d[at + 2 * i + 1] = 0;
    }
  };
  put16(130, "mdl!");
  put16(174, "Scan");
  forgeCrc(d, 181, 20, 0x57901984u);
  return std::string(d.begin(), d.end());
}

class MiscScan : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* m : {"platform.dll", "filekit.dll", "genericscan.dll"}) bed.install(m);
    // An empty table: count 0, checksum 0.
    bed.put("sigaif.inx", std::string(8, '\0'));
  }
  void loadModule() {
    mod = bed.load(u"genericscan.dll");
    ASSERT_NE(mod, nullptr);
    create = bed.fn<CreateFn>(mod, u"CreateMiscScanObject");
    destroy = bed.fn<DeleteFn>(mod, u"DeleteMiscScanObject");
  }
  // Scans a file written under Temp with an object of the list code.
  int32_t scanFile(const std::string& content, int32_t code, Threats& t) {
    bed.dev.writeFile("Temp/sample.bin", content);
    Object o(create, destroy, code);
    auto s = settings();
    EXPECT_EQ(o.open(u"\\Temp\\sample.bin", s.get()), NX_ENGINE_SUCCESS);
    int32_t r = o.scan(t);
    EXPECT_EQ(o.close(), NX_ENGINE_SUCCESS);
    return r;
  }

  Bed bed;
  ce::HMODULE mod = nullptr;
  CreateFn create = nullptr;
  DeleteFn destroy = nullptr;
};

TEST_F(MiscScan, BuiltInDetectionsByListCode) {
  loadModule();
  const std::string worm = wormPackage(1024);
  std::string wormBroken = worm;
  wormBroken[60] ^= 1;  // inside the checksummed head
  std::string wormTail = worm + std::string(3000, 'x');
  wormTail[500] ^= 0x55;  // beyond the checksummed head: still the worm
  struct Case {
    const char* what;
    std::string content;
    int32_t code;
    const char* name;  // null: clean
    int16_t category;
  } cases[] = {
      {"test file", kEicar, NX_LIST_TEST_FILE, "EICAR Test File", 125},
      {"test file and a line break", kEicar + "\n", NX_LIST_TEST_FILE, nullptr, 0},
      {"test file one byte changed", "Y" + kEicar.substr(1), NX_LIST_TEST_FILE, nullptr, 0},
      {"test file under the SIS code", kEicar, NX_LIST_SIS_MISC, nullptr, 0},
      {"test file under another code", kEicar, NX_LIST_CATEGORY, nullptr, 0},
      {"worm package", worm, NX_LIST_SIS_MISC, "Worm.SybOS.Comwar.i", 70},
      {"worm package with more data", wormTail, NX_LIST_SIS_MISC, "Worm.SybOS.Comwar.i", 70},
      {"worm package one byte short", worm.substr(0, 1023), NX_LIST_SIS_MISC, nullptr, 0},
      {"worm package with a changed byte", wormBroken, NX_LIST_SIS_MISC, nullptr, 0},
      {"worm package under the test-file code", worm, NX_LIST_TEST_FILE, nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Threats t;
    int32_t r = scanFile(c.content, c.code, t);
    if (!c.name) {
      EXPECT_EQ(r, NX_ENGINE_CLEAN);
      EXPECT_EQ(t.count(), 0);
      continue;
    }
    ASSERT_EQ(r, NX_ENGINE_THREAT);
    ASSERT_EQ(t.count(), 1);
    ThreatRecord* rec = t.last();
    EXPECT_EQ(narrow(rec->name), c.name);
    EXPECT_EQ(rec->category, c.category);
    EXPECT_EQ(rec->index, 0);
    EXPECT_EQ(rec->rootType, 0);
    EXPECT_EQ(rec->memberLength, 0u);
    EXPECT_EQ(narrow(rec->displayPath), "\\Disp\\file");
  }
}

TEST_F(MiscScan, ScansThroughAGivenHandleAndLeavesItOpen) {
  loadModule();
  ce::HMODULE fk = bed.load(u"filekit.dll");
  ASSERT_NE(fk, nullptr);
  FileWrapObject* fw = nullptr;
  ASSERT_EQ(bed.fn<PFN_CreateFileWrapObject>(fk, u"CreateFileWrapObject")(&fw), 1);
  bed.dev.writeFile("Temp/eicar.com", kEicar);
  int32_t h = fw->ops->OpenW(fw, u"\\Temp\\eicar.com", NX_O_RDONLY, 0);
  ASSERT_GE(h, 0);
  fw->ops->Seek(fw, h, 40, NX_SEEK_SET);  // the scanner rewinds
  {
    Object o(create, destroy, NX_LIST_TEST_FILE);
    auto s = settings();
    // The path is not used when a handle is given.
    EXPECT_EQ(o.open(u"\\Temp\\no-such-file", s.get(), h), NX_ENGINE_SUCCESS);
    Threats t;
    EXPECT_EQ(o.scan(t), NX_ENGINE_THREAT);
  }
  EXPECT_EQ(fw->ops->Tell(fw, h) >= 0, true);
  EXPECT_EQ(fw->ops->Close(fw, h), 0);
}

TEST_F(MiscScan, CleanDeletesOnlyTheWormPackage) {
  loadModule();
  struct Case {
    int32_t code;
    uint8_t noDelete;
    int32_t expected;
  } cases[] = {
      {NX_LIST_TEST_FILE, 0, NX_ENGINE_CANNOT_CLEAN},
      {NX_LIST_SIS_MISC, 0, NX_ENGINE_DELETE},
      {NX_LIST_SIS_MISC, 1, NX_ENGINE_CANNOT_CLEAN},
      {NX_LIST_TEST_FILE, 1, NX_ENGINE_CANNOT_CLEAN},
  };
  bed.dev.writeFile("Temp/x.sis", wormPackage(2000));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code * 10 + c.noDelete);
    Object o(create, destroy, c.code);
    auto s = settings();
    s->noDelete = c.noDelete;
    ASSERT_EQ(o.open(u"\\Temp\\x.sis", s.get()), NX_ENGINE_SUCCESS);
    Threats t;
    o.scan(t);
    EXPECT_EQ(o.clean(t), c.expected);
    EXPECT_EQ(o.obj->ops->Clean(o.obj, nullptr, NX_ACTION_DELETE), NX_ENGINE_MISSING_ARG);
  }
}

TEST_F(MiscScan, MissingArgumentsAndUnopenableFiles) {
  loadModule();
  Object o(create, destroy, NX_LIST_TEST_FILE);
  auto s = settings();
  std::u16string p = u"\\Temp\\none";
  EXPECT_EQ(o.obj->ops->Open(o.obj, -1, nullptr, s.get(), u"r", 0, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(o.obj->ops->Open(o.obj, -1, p.c_str(), nullptr, u"r", 0, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(o.obj->ops->Open(o.obj, -1, p.c_str(), s.get(), nullptr, 0, 0), NX_ENGINE_MISSING_ARG);
  Threats t;
  std::u16string d = u"d";
  EXPECT_EQ(o.obj->ops->Scan(o.obj, nullptr, t.list, 0), NX_ENGINE_MISSING_ARG);
  EXPECT_EQ(o.obj->ops->Scan(o.obj, d.data(), nullptr, 0), NX_ENGINE_MISSING_ARG);
  // A missing file is the scanner's own open failing.
  ASSERT_EQ(o.open(p, s.get()), NX_ENGINE_SUCCESS);
  EXPECT_EQ(o.scan(t), NX_ENGINE_ERROR);
  // A path longer than the object keeps is refused rather than cut to another file's name.
  std::u16string longPath = u"\\Temp\\" + std::u16string(300, u'a');
  ASSERT_EQ(o.open(longPath, s.get()), NX_ENGINE_SUCCESS);
  EXPECT_EQ(o.scan(t), NX_ENGINE_ERROR);
  EXPECT_EQ(t.count(), 0);
}

// ---- Frame --------------------------------------------------------------------

TEST_F(MiscScan, FrameCountsAndTearsDownInReverse) {
  loadModule();
  auto init = bed.fn<CountFn>(mod, u"LibInit");
  auto deinit = bed.fn<CountFn>(mod, u"LibDeinit");
  auto reload = bed.fn<int32_t (*)(int32_t, int32_t)>(mod, u"ReloadSignatures");
  auto miscReload = bed.fn<CountFn>(mod, u"MiscScanReloadSignatures");
  EXPECT_EQ(init(), 2);
  EXPECT_EQ(deinit(), 1);
  EXPECT_EQ(reload(0, 0), 1);
  EXPECT_EQ(miscReload(), 1);
  bed.free(mod);
  EXPECT_EQ(bed.log(), std::vector<std::string>{});
}

TEST_F(MiscScan, DeinitWithoutInitIsLoggedAsMismatch) {
  // Loaded without the platform loader: no LibInit has run.
  ce::HMODULE h = ce::LoadLibraryW(devPath(u"genericscan.dll").c_str());
  ASSERT_NE(h, nullptr);
  auto get = [&](const char16_t* n) { return reinterpret_cast<CountFn>(ce::GetProcAddressW(h, n)); };
  EXPECT_EQ(get(u"MiscScanLibDeinit")(), 0);
  EXPECT_EQ(get(u"BatScanLibDeinit")(), 0);
  EXPECT_EQ(get(u"LibDeinit")(), 0);
  EXPECT_EQ(get(u"MiscScanReloadSignatures")(), 0);
  EXPECT_EQ(get(u"BatScanReloadSignatures")(), 0);
  EXPECT_EQ(bed.log(), (std::vector<std::string>{"genericscan.dll: Error LibInit LibDeinit mismatched.",
                                                 "miscscan: LibDeinit: error code - 161",
                                                 "genericscan.dll: Error LibInit LibDeinit mismatched."}));
  ce::FreeLibrary(h);
}

TEST_F(MiscScan, LoadFailuresAreLoggedAndLeaveNothingLoaded) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::vector<std::string> log;
  } cases[] = {
      {"no filekit.dll", [&] { bed.remove("filekit.dll"); },
       {"genericscan.dll: Unable to load filekit.dll.", "miscscan: LibInit: error code - 168"}},
      {"filekit.dll without its entry points", [&] { bed.install("threatlist.dll", "filekit.dll"); },
       {"genericscan.dll: Invalid filekit.dll.", "miscscan: LibInit: error code - 168"}},
      {"filekit.dll without a wrapper object",
       [&] { bed.installStandIn("filekit_without_wrapper.dll", "filekit.dll"); },
       {"miscscan: LibInit: error code - 169"}},
      {"no sigaif.inx", [&] { bed.remove("sigaif.inx"); }, {"Error initializing genericscan.dll."}},
      {"damaged sigaif.inx", [&] { bed.put("sigaif.inx", std::string(9, '\0')); },
       {"Error initializing genericscan.dll."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    bed.clearLog();
    c.arrange();
    EXPECT_EQ(bed.load(u"genericscan.dll"), nullptr);
    EXPECT_EQ(ce::GetModuleHandleW(u"genericscan.dll"), nullptr);
    EXPECT_EQ(ce::GetModuleHandleW(u"filekit.dll"), nullptr);
    EXPECT_EQ(bed.log(), c.log);
  }
}

}  // namespace
