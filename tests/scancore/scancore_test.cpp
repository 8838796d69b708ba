// The session layer loaded as the API layer loads it, driven through the
// public header's types: initialisation errors and options, the silent and
// the interactive scan, cleaning, versions and update state.
#include <filesystem>
#include <fstream>
#include <map>

#include "api_fixture.h"
#include "common/engine_types.h"

namespace {

using namespace apitest;

using InitFn = int32_t (*)(const NxScanOptions*, void*);

class SessionTest : public ApiTest {
 public:
  void SetUp() override {
    ApiTest::SetUp();
    seen().clear();
  }
  void TearDown() override {
    if (inits_ > 0 && !loaded_.empty()) {
      auto deinit = fn<PFN_NxDeinitScan>(u"NxDeinitScan");
      while (inits_-- > 0) deinit(nullptr);
    }
    ApiTest::TearDown();
  }
  bool load() {
    if (!loadLib(u"scancore.dll")) return false;
    redirectPlatformLog();
    return true;
  }
  int32_t init(const NxScanOptions* o) {
    int32_t rc = fn<InitFn>(u"NxInitScan")(o, nullptr);
    if (rc == 1) ++inits_;
    return rc;
  }
  // Loaded and initialised with the standard options.
  void start(const NxScanOptions& o = options()) {
    ASSERT_TRUE(load());
    ASSERT_EQ(init(&o), 1);
  }
  NxFileHandle open(const std::u16string& path, int32_t expect = 1) {
    NxFileHandle h = nullptr;
    EXPECT_EQ(fn<PFN_NxOpenFile>(u"NxOpenFile")(session_, path.c_str(), &h), expect);
    return h;
  }
  void close(NxFileHandle& h) { EXPECT_EQ(fn<PFN_NxCloseFile>(u"NxCloseFile")(&h, 0), 1); }

  // NxScanFileEx over one file with the recording callback.
  int32_t scanEx(const std::u16string& path, uintptr_t context = 0x1122334455667788ull) {
    EXPECT_EQ(fn<PFN_NxSetCallBack>(u"NxSetCallBack")(session_, recordingCallback), 1);
    NxFileHandle h = open(path);
    if (!h) return -1;
    int32_t rc = fn<PFN_NxScanFileEx>(u"NxScanFileEx")(session_, h, context);
    close(h);
    return rc;
  }

  int inits_ = 0;
  // A session value above 4 GiB: it must come back whole.
  void* session_ = reinterpret_cast<void*>(uintptr_t{0x7FEEDCBA98765430ull});
};

TEST_F(SessionTest, InitialisationFailuresLogTheirNumberAndLeaveNothingLoaded) {
  struct Case {
    const char* name;
    std::string missing;
    std::function<void(NxScanOptions&)> change;
    int number;
    std::string line;
  };
  const std::u16string longDir(246, u'a');
  std::vector<Case> cases = {
      {"null options", "", nullptr, 101, ""},
      {"install dir 246 chars", "", [&](NxScanOptions& o) { setDir(o.installDir, u"\\" + longDir.substr(1)); }, 103, ""},
      {"install dir empty", "", [&](NxScanOptions& o) { setDir(o.installDir, u""); }, 103, ""},
      {"temp dir empty", "", [&](NxScanOptions& o) { setDir(o.tempDir, u""); }, 102, ""},
      {"install dir not terminated", "", [&](NxScanOptions& o) {
         for (auto& c : o.installDir) c = u'b';
       }, 103, ""},
      {"install dir relative", "", [&](NxScanOptions& o) { setDir(o.installDir, u"Program Files"); }, 106, ""},
      {"no filekit", "filekit.dll", nullptr, 108, "scancore.dll: Unable to load filekit.dll."},
      {"no scan", "scan.dll", nullptr, 104, "scancore.dll: Unable to load scan.dll."},
      // The engine core needs the threat list itself, so its own load fails first.
      {"no threatlist", "threatlist.dll", nullptr, 104, "scan.dll: Unable to load threatlist.dll."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fakes::clear();
    installEngine();
    if (!c.missing.empty()) removeInstalled(c.missing);
    ASSERT_TRUE(load());
    std::filesystem::remove(dev.host("Temp/nxdebug.log"));
    NxScanOptions o = options();
    if (c.change) c.change(o);
    EXPECT_EQ(init(c.number == 101 ? nullptr : &o), 0);
    EXPECT_TRUE(logHas("scancore: NxInitScan: error code - " + std::to_string(c.number))) << c.number;
    if (!c.line.empty()) {
      EXPECT_TRUE(logHas(c.line));
    }
    // Nothing stays loaded and the count is back: a deinit finds nothing.
    EXPECT_EQ(fn<PFN_NxDeinitScan>(u"NxDeinitScan")(nullptr), 0);
    EXPECT_EQ(ce::GetModuleHandleW((kInstallDev + u"\\scan.dll").c_str()), nullptr);
    EXPECT_EQ(ce::GetModuleHandleW((kInstallDev + u"\\filekit.dll").c_str()), nullptr);
    unloadLib();
  }
}

TEST_F(SessionTest, DirectoriesOf245CharactersAreAccepted) {
  installEngine();
  std::u16string dir = u"\\" + std::u16string(244, u'd');
  std::filesystem::create_directories(dev.host(u8(dir.substr(1))));
  NxScanOptions o = options();
  setDir(o.installDir, dir);
  ASSERT_TRUE(load());
  EXPECT_EQ(init(&o), 1);
}

TEST_F(SessionTest, ReinitialisationKeepsStoredDirectoriesWhereTheNewOnesAreUnusable) {
  installEngine();
  start();
  NxScanOptions second = options();
  setDir(second.tempDir, u"");
  second.maxDepth = 9;
  EXPECT_EQ(init(&second), 1);
  NxScanOptions got{};
  ASSERT_EQ(fn<PFN_NxGetOptions>(u"NxGetOptions")(nullptr, &got), 1);
  EXPECT_EQ(u8(got.tempDir), "\\Temp\\scan");
  EXPECT_EQ(+got.maxDepth, 9);
  // The count is two: the first deinit keeps the engine.
  EXPECT_EQ(fn<PFN_NxDeinitScan>(u"NxDeinitScan")(nullptr), 1);
  --inits_;
  EXPECT_NE(ce::GetModuleHandleW((kInstallDev + u"\\scan.dll").c_str()), nullptr);
  // Refused options change nothing.
  NxScanOptions bad = options();
  setDir(bad.installDir, std::u16string(246, u'x'));
  EXPECT_EQ(fn<PFN_NxSetOptions>(u"NxSetOptions")(nullptr, &bad), 0);
  EXPECT_EQ(fn<PFN_NxSetOptions>(u"NxSetOptions")(nullptr, nullptr), 0);
}

// Depth, archive switch and exclusion decide whether a CAB's members are
// reached; the clamping of the depth shows as an archive opened or not.
TEST_F(SessionTest, ArchiveOptionsReachTheEngine) {
  installEngine();
  struct Case {
    const char* name;
    int16_t depth, archives;
    uint16_t exclude;
    bool walked;
  };
  const Case cases[] = {
      {"depth -3 becomes 0", -3, 1, 0, false},
      {"depth 80 becomes 50", 80, 1, 0, true},
      {"archives off", 5, 0, 0, false},
      {"archive switch 2 is off", 5, 2, 0, false},
      {"CAB excluded", 5, 1, NX_ARCHIVE_EXCLUDE_CAB, false},
      {"SIS exclusion leaves CAB", 5, 1, NX_ARCHIVE_EXCLUDE_SIS, true},
  };
  start();
  auto cab = data("a.cab", testCab({{"m.exe", ceProgram("INFECTED")}}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NxScanOptions o = options();
    o.maxDepth = c.depth;
    o.scanArchives = c.archives;
    o.archiveExclude = c.exclude;
    ASSERT_EQ(fn<PFN_NxSetOptions>(u"NxSetOptions")(nullptr, &o), 1);
    NxFileHandle h = open(cab);
    ScanReport r{};
    EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), c.walked ? NX_RESULT_THREAT : NX_RESULT_CLEAN);
    if (c.walked) {
      EXPECT_EQ(+r.code, NX_REPORT_THREAT_IN_MEMBER);
      EXPECT_EQ(u8(r.path), "\\Data\\a.cab/m.exe");
      EXPECT_EQ(+r.type, 5084);
    }
    close(h);
  }
}

// Every option reaches the scanners' settings as its own field: the
// switches of options B and C, flag word D and each bit of flag word E.
TEST_F(SessionTest, OptionsBecomeSettingsFieldByField) {
  installEngine();
  using Fields = std::map<std::string, int>;
  const Fields off = {{"optionB", 0}, {"optionBMask", 0}, {"optionC", 0}, {"categoryMask", 0}, {"flagE0", 0},
                      {"flagE1", 0},  {"flagE2", 0},      {"flagE14", 0}, {"flagE15", 0},      {"engineFlags", 0},
                      {"noDelete", 0}};
  struct Case {
    const char* name;
    std::function<void(NxScanOptions&)> set;
    Fields changed;  // the fields that differ from `off`
  };
  const std::vector<Case> cases = {
      {"nothing set", [](NxScanOptions&) {}, {}},
      {"option B with its bits masked to 3", [](NxScanOptions& o) { o.optionB = 1; o.optionBBits = 0xFFFE; },
       {{"optionB", 1}, {"optionBMask", 2}}},
      {"option B 2 is off, its bits unread", [](NxScanOptions& o) { o.optionB = 2; o.optionBBits = 3; }, {}},
      {"option C", [](NxScanOptions& o) { o.optionC = 1; }, {{"optionC", 1}}},
      {"option C 2 is off", [](NxScanOptions& o) { o.optionC = 2; }, {}},
      {"option C -1 is off", [](NxScanOptions& o) { o.optionC = -1; }, {}},
      {"word D keeps bits 0-6", [](NxScanOptions& o) { o.categories = 0xFFFF; }, {{"categoryMask", 0x7F}}},
      {"word D some bits", [](NxScanOptions& o) { o.categories = 0x0055; }, {{"categoryMask", 0x55}}},
      {"word D bit 7 alone", [](NxScanOptions& o) { o.categories = 0x0080; }, {}},
      {"E bit 0", [](NxScanOptions& o) { o.flagsE = 0x0001; }, {{"flagE0", 1}}},
      {"E bit 1", [](NxScanOptions& o) { o.flagsE = 0x0002; }, {{"flagE1", 1}}},
      {"E bit 2 needs bit 1", [](NxScanOptions& o) { o.flagsE = 0x0004; }, {}},
      {"E bits 1 and 2", [](NxScanOptions& o) { o.flagsE = 0x0006; }, {{"flagE1", 1}, {"flagE2", 1}}},
      {"E bit 8", [](NxScanOptions& o) { o.flagsE = 0x0100; }, {{"engineFlags", 2}}},
      {"E bit 12 on the handset", [](NxScanOptions& o) { o.flagsE = 0x1000; }, {{"engineFlags", 1}}},
      {"E bit 14", [](NxScanOptions& o) { o.flagsE = 0x4000; }, {{"flagE14", 1}}},
      {"E bit 15", [](NxScanOptions& o) { o.flagsE = 0x8000; }, {{"flagE15", 1}}},
      {"E bits without a use", [](NxScanOptions& o) { o.flagsE = 0x2EF8; }, {}},
      {"E every bit", [](NxScanOptions& o) { o.flagsE = 0xFFFF; },
       {{"flagE0", 1}, {"flagE1", 1}, {"flagE2", 1}, {"engineFlags", 3}, {"flagE14", 1}, {"flagE15", 1}}},
      {"delete switch 0", [](NxScanOptions& o) { o.allowDelete = 0; }, {{"noDelete", 1}}},
      {"delete switch 2", [](NxScanOptions& o) { o.allowDelete = 2; }, {{"noDelete", 1}}},
  };
  start();
  auto path = data("s.exe", ceProgram());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NxScanOptions o = options();
    o.categories = 0;
    c.set(o);
    ASSERT_EQ(fn<PFN_NxSetOptions>(u"NxSetOptions")(nullptr, &o), 1);
    fakes::clear();
    NxFileHandle h = open(path);
    ScanReport r{};
    EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_CLEAN);
    close(h);
    Fields want = off;
    for (const auto& [field, value] : c.changed) want[field] = value;
    for (const auto& [field, value] : want) EXPECT_EQ(fakes::get("settings." + field), value) << field;
    EXPECT_EQ(fakes::get("settings.size"), static_cast<int>(sizeof(ScanSettings)));
  }
}

TEST_F(SessionTest, OpenRefusesBadPathsAndAnswers4001ForUnreadableFiles) {
  installEngine();
  start();
  auto open = fn<PFN_NxOpenFile>(u"NxOpenFile");
  NxFileHandle h = nullptr;
  EXPECT_EQ(open(session_, nullptr, &h), 0);
  EXPECT_EQ(open(session_, u"\\Data\\x", nullptr), 0);
  EXPECT_EQ(open(session_, u"", &h), 0);
  std::u16string p1024 = u"\\Data\\" + std::u16string(1024 - 6, u'p');
  EXPECT_EQ(open(session_, p1024.c_str(), &h), 0);
  std::u16string p1023 = p1024.substr(0, 1023);
  EXPECT_EQ(open(session_, p1023.c_str(), &h), NX_RESULT_ERROR);
  EXPECT_EQ(open(session_, u"\\Data\\missing.exe", &h), NX_RESULT_ERROR);
  EXPECT_EQ(open(session_, u"\\Data", &h), NX_RESULT_ERROR);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(fn<PFN_NxCloseFile>(u"NxCloseFile")(nullptr, 0), 0);
  EXPECT_EQ(fn<PFN_NxCloseFile>(u"NxCloseFile")(&h, 0), 0);
}

TEST_F(SessionTest, AnEmptyFileIsNotScannable) {
  installEngine();
  start();
  auto empty = data("empty.exe", "");
  NxFileHandle h = open(empty);
  ScanReport r{};
  EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_CLEAN);
  close(h);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(scanEx(empty), 1);
  EXPECT_EQ(seenCodes(), (std::vector<int>{NX_CB_FILE_BEGIN, NX_CB_CLEAN}));
}

TEST_F(SessionTest, SilentScanReportsTheThreatAndHoldsItUntilCleaned) {
  installEngine();
  start();
  auto exe = data("bad.exe", ceProgram("HIT-pe"));
  NxFileHandle h = open(exe);
  auto scan = fn<PFN_NxScanFile>(u"NxScanFile");
  ScanReport r{};
  ASSERT_EQ(scan(h, &r), NX_RESULT_THREAT);
  EXPECT_EQ(+r.code, NX_REPORT_THREAT_IN_FILE);
  EXPECT_EQ(u8(r.path), "\\Data\\bad.exe");
  EXPECT_EQ(u8(r.threat), "Fake.pe");
  EXPECT_EQ(+r.type, 5084);
  EXPECT_EQ(+r.length, ceProgram("HIT-pe").size());
  EXPECT_EQ(+r.category, 5);
  // A detection is pending: refused until cleaned.
  EXPECT_EQ(scan(h, &r), 0);
  // The test scanner cannot clean: not repaired, the file stays.
  EXPECT_EQ(fn<PFN_NxCleanFile>(u"NxCleanFile")(h, 0), NX_RESULT_NOT_REPAIRED);
  EXPECT_TRUE(dataExists("bad.exe"));
  EXPECT_EQ(fn<PFN_NxCleanFileEx>(u"NxCleanFileEx")(h, NX_CLEAN_REPAIR), 0);
  EXPECT_EQ(scan(h, &r), NX_RESULT_THREAT);
  close(h);  // with the detection pending
  EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(nullptr, &r), 0);

  auto clean = data("good.exe", ceProgram("nothing"));
  h = open(clean);
  EXPECT_EQ(scan(h, &r), NX_RESULT_CLEAN);
  EXPECT_EQ(+r.type, 5084);
  close(h);
}

TEST_F(SessionTest, CleaningRepairsAndRescansOrDeletesAsTheScannerAnswers) {
  installEngine({}, true);
  struct Case {
    const char* name;
    std::string marker;
    int16_t allowDelete;
    int32_t action;
    int32_t result;
    bool stays;
    int engineAction;
  };
  const Case cases[] = {
      {"repaired, then scanned clean", "REPAIRABLE", 1, NX_CLEAN_REPAIR, NX_RESULT_REPAIRED, true, 2014},
      {"whole file, delete allowed", "WHOLEFILE", 1, NX_CLEAN_DELETE, NX_RESULT_FILE_GONE, false, 2004},
      {"whole file, delete forbidden", "WHOLEFILE", 0, NX_CLEAN_DELETE, NX_RESULT_NOT_REPAIRED, true, 2004},
      {"cannot clean", "", 1, NX_CLEAN_USER1, NX_RESULT_NOT_REPAIRED, true, 2017},
      {"user choice 2", "", 1, NX_CLEAN_USER2, NX_RESULT_NOT_REPAIRED, true, 2018},
  };
  start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NxScanOptions o = options();
    o.allowDelete = c.allowDelete;
    ASSERT_EQ(fn<PFN_NxSetOptions>(u"NxSetOptions")(nullptr, &o), 1);
    auto path = data("c.exe", ceProgram("INFECTED " + c.marker));
    NxFileHandle h = open(path);
    ScanReport r{};
    ASSERT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_THREAT);
    EXPECT_EQ(+r.index, -2);  // sign-extended
    EXPECT_EQ(fn<PFN_NxCleanFileEx>(u"NxCleanFileEx")(h, c.action), c.result);
    EXPECT_EQ(dataExists("c.exe"), c.stays);
    EXPECT_EQ(dev.readFile("Temp/scan/lastaction.txt"), std::to_string(c.engineAction));
    if (c.result == NX_RESULT_REPAIRED) {
      EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_CLEAN);
    }
    close(h);
  }
  // A file removed between scan and clean keeps its detection pending: every
  // clean says the file is gone, the handle is not scanned again meanwhile,
  // and once the file is back the pending detection is cleaned.
  auto path = data("gone.exe", ceProgram("INFECTED REPAIRABLE"));
  NxFileHandle h = open(path);
  ScanReport r{};
  ASSERT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_THREAT);
  std::filesystem::remove(dev.host("Data/gone.exe"));
  EXPECT_EQ(fn<PFN_NxCleanFile>(u"NxCleanFile")(h, 0), NX_RESULT_FILE_GONE);
  EXPECT_EQ(fn<PFN_NxCleanFileEx>(u"NxCleanFileEx")(h, NX_CLEAN_DELETE), NX_RESULT_FILE_GONE);
  EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), 0) << "the detection is still pending";
  dev.writeFile("Data/gone.exe", ceProgram("INFECTED REPAIRABLE"));
  EXPECT_EQ(fn<PFN_NxCleanFile>(u"NxCleanFile")(h, 0), NX_RESULT_REPAIRED);
  EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_CLEAN);
  close(h);
  // Gone for good: closing the handle still lets go of everything.
  path = data("gone2.exe", ceProgram("INFECTED"));
  h = open(path);
  ASSERT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_THREAT);
  std::filesystem::remove(dev.host("Data/gone2.exe"));
  EXPECT_EQ(fn<PFN_NxCleanFile>(u"NxCleanFile")(h, 0), NX_RESULT_FILE_GONE);
  close(h);
}

// The callback dialogue over a file: every answer to the threat report.
TEST_F(SessionTest, CallbackAnswersToAThreatInTheFile) {
  installEngine({}, true);
  struct Case {
    const char* name;
    std::string marker;
    int32_t answer;     // to 1001
    int32_t second;     // to 3002
    std::vector<int> codes;
    bool stays;
  };
  const std::vector<Case> cases = {
      {"ignore", "", NX_ANSWER_IGNORE, 0, {1008, 1001}, true},
      {"skip silently", "", NX_ANSWER_SKIP, 0, {1008, 1001}, true},
      {"skip reported", "", 2011, 0, {1008, 1001, 3004}, true},
      {"delete", "", NX_ANSWER_DELETE, 0, {1008, 1001, 3003}, false},
      {"quarantine", "", NX_ANSWER_QUARANTINE, 0, {1008, 1001, 3007}, true},
      {"repair impossible, then delete", "", NX_ANSWER_REPAIR, NX_ANSWER_DELETE, {1008, 1001, 3002, 3003}, false},
      {"repair impossible, then quarantine", "", NX_ANSWER_REPAIR, NX_ANSWER_QUARANTINE, {1008, 1001, 3002, 3007}, true},
      {"repair impossible, then keep", "", NX_ANSWER_REPAIR, 2011, {1008, 1001, 3002}, true},
      {"repaired and rescanned", "REPAIRABLE", NX_ANSWER_REPAIR, 0, {1008, 1001, 3001, 1002}, true},
      {"whole file removed", "WHOLEFILE", NX_ANSWER_REPAIR, 0, {1008, 1001, 3003}, false},
      {"a repair that never ends is cut off", "FALSEREPAIR", NX_ANSWER_REPAIR, 0, {}, true},
  };
  start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    seen().clear();
    auto path = data("t.exe", ceProgram("INFECTED " + c.marker));
    answers() = [&](const Seen& s) -> int32_t {
      if (s.code == NX_CB_THREAT) return c.answer;
      if (s.code == NX_CB_NOT_REPAIRABLE) return c.second;
      return NX_ANSWER_CONTINUE;
    };
    int32_t rc = scanEx(path);
    if (c.codes.empty()) {
      EXPECT_EQ(rc, NX_RESULT_ERROR);
      EXPECT_EQ(seenCodes().back(), NX_CB_ERROR);
      EXPECT_LT(seenCodes().size(), 40u);
    } else {
      EXPECT_EQ(rc, 1);
      EXPECT_EQ(seenCodes(), c.codes);
    }
    EXPECT_EQ(dataExists("t.exe"), c.stays);
    ASSERT_GE(seen().size(), 2u);
    EXPECT_EQ(seen()[1].threat, "Test.Cleanable.26");
    EXPECT_EQ(seen()[1].path, "\\Data\\t.exe");
    for (const Seen& s : seen()) {
      EXPECT_EQ(s.context, 0x1122334455667788ull);
      EXPECT_EQ(s.session, reinterpret_cast<uintptr_t>(session_));
    }
  }
  // A stop answer to the begin report scans nothing.
  seen().clear();
  answers() = [](const Seen& s) { return s.code == NX_CB_FILE_BEGIN ? NX_ANSWER_STOP : NX_ANSWER_CONTINUE; };
  EXPECT_EQ(scanEx(data("s.exe", ceProgram("INFECTED"))), 1);
  EXPECT_EQ(seenCodes(), (std::vector<int>{1008}));
}

// The dialogue over an archive: member events from the engine core, then
// the archive as one file.
TEST_F(SessionTest, CallbackDialogueForArchiveMembers) {
  installEngine();
  start();
  auto cab = data("box.cab", testCab({{"a.exe", ceProgram("clean")}, {"b.exe", ceProgram("HIT-pe")}}));
  struct Case {
    const char* name;
    int32_t memberAnswer;  // to 1007
    int32_t archiveAnswer; // to 1004
    int32_t second;        // to 3002
    std::vector<int> tail; // after the two members' begin reports
    bool stays;
  };
  const std::vector<Case> cases = {
      {"skip the member", NX_ANSWER_IGNORE, 0, 0, {1007, 1002}, true},
      {"continue, archive skipped", 2010, NX_ANSWER_SKIP, 0, {1007, 1004}, true},
      {"continue, archive reported skip", 2010, 2011, 0, {1007, 1004, 3004}, true},
      {"member repair impossible", NX_ANSWER_REPAIR, NX_ANSWER_SKIP, 0, {1007, 3002, 1004}, true},
      {"member delete impossible", NX_ANSWER_DELETE, NX_ANSWER_SKIP, 0, {1007, 3002, 1004}, true},
      {"member stop", NX_ANSWER_STOP, NX_ANSWER_SKIP, 0, {1007, 3004, 1004}, true},
      {"archive repair impossible, kept", 2010, NX_ANSWER_REPAIR, 2011, {1007, 1004, 3002}, true},
      {"archive repair impossible, deleted", 2010, NX_ANSWER_REPAIR, NX_ANSWER_DELETE,
       {1007, 1004, 3002, 3003}, false},
      {"archive quarantined", 2010, NX_ANSWER_QUARANTINE, 0, {1007, 1004, 3007}, true},
      {"archive deleted", 2010, NX_ANSWER_DELETE, 0, {1007, 1004, 3003}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!dataExists("box.cab"))
      cab = data("box.cab", testCab({{"a.exe", ceProgram("clean")}, {"b.exe", ceProgram("HIT-pe")}}));
    seen().clear();
    answers() = [&](const Seen& s) -> int32_t {
      if (s.code == NX_CB_MEMBER_THREAT) return c.memberAnswer;
      if (s.code == NX_CB_ARCHIVE_THREAT) return c.archiveAnswer;
      if (s.code == NX_CB_NOT_REPAIRABLE && s.path == "\\Data\\box.cab") return c.second;
      return NX_ANSWER_CONTINUE;
    };
    ASSERT_EQ(scanEx(cab, 0xA5A5A5A5A5ull), 1);
    std::vector<int> want = {1008, 1003, 1009, 1002, 1003, 1009};
    want.insert(want.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(seenCodes(), want);
    EXPECT_EQ(dataExists("box.cab"), c.stays);
    ASSERT_GE(seen().size(), 7u);
    EXPECT_EQ(seen()[1].path, "\\Data\\box.cab/a.exe");
    EXPECT_EQ(seen()[1].type, 5084);
    EXPECT_EQ(seen()[6].path, "\\Data\\box.cab/b.exe");
    EXPECT_EQ(seen()[6].threat, "Fake.pe");
    for (const Seen& s : seen()) {
      EXPECT_EQ(s.context, 0xA5A5A5A5A5ull) << s.code;
      EXPECT_EQ(s.session, reinterpret_cast<uintptr_t>(session_)) << s.code;
    }
    for (const Seen& s : seen())
      if (s.code == NX_CB_ARCHIVE_THREAT) {
        EXPECT_EQ(s.threat, "Infected Archive");
        EXPECT_EQ(s.path, "\\Data\\box.cab");
      }
  }
  // Stop at the first member.
  seen().clear();
  answers() = [](const Seen& s) { return s.code == NX_CB_MEMBER_BEGIN ? NX_ANSWER_STOP : NX_ANSWER_CONTINUE; };
  cab = data("box.cab", testCab({{"a.exe", ceProgram("clean")}, {"b.exe", ceProgram("HIT-pe")}}));
  ASSERT_EQ(scanEx(cab), 1);
  EXPECT_EQ(seenCodes(), (std::vector<int>{1008, 1003, 1002}));
}

TEST_F(SessionTest, ScanLimitsComeBackAsAnIncompleteScanNeverAsClean) {
  installEngine();
  start();
  auto getLimits = fn<PFN_NxGetScanLimits>(u"NxGetScanLimits");
  auto setLimits = fn<PFN_NxSetScanLimits>(u"NxSetScanLimits");
  NxScanLimits l{};
  EXPECT_EQ(getLimits(session_, &l), 0) << "the size field says how much the caller has";
  l.size = sizeof l;
  ASSERT_EQ(getLimits(session_, &l), 1);
  EXPECT_EQ(l.maxScanSize, NX_DEFAULT_MAX_SCAN_SIZE);
  EXPECT_EQ(l.maxFiles, NX_DEFAULT_MAX_FILES);
  EXPECT_EQ(l.maxScanTimeMs, NX_DEFAULT_MAX_SCAN_TIME_MS);
  NxScanLimits small = l;
  small.size = 20;
  EXPECT_EQ(setLimits(session_, &small), 0);
  EXPECT_EQ(setLimits(session_, nullptr), 0);
  l.maxFiles = 1;
  ASSERT_EQ(setLimits(session_, &l), 1);

  auto scan = fn<PFN_NxScanFile>(u"NxScanFile");
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> members;
    int32_t result;
    uint16_t code;
    uint32_t limits;
  } cases[] = {
      {"one member: whole", {{"a.exe", ceProgram("clean")}}, NX_RESULT_CLEAN, 0, 0},
      {"two members: the second not taken", {{"a.exe", ceProgram("clean")}, {"b.exe", ceProgram("HIT-pe")}},
       NX_RESULT_INCOMPLETE, NX_REPORT_INCOMPLETE, NX_LIMIT_FILES},
      {"a threat found first wins", {{"a.exe", ceProgram("HIT-pe")}, {"b.exe", ceProgram("clean")}},
       NX_RESULT_THREAT, NX_REPORT_THREAT_IN_MEMBER, 0},
      {"a member the reader could not deliver", {{"<undelivered>", "x"}, {"a.exe", ceProgram("clean")}},
       NX_RESULT_INCOMPLETE, NX_REPORT_INCOMPLETE, NX_LIMIT_INCOMPLETE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NxFileHandle h = open(data("box.cab", testCab(c.members)));
    ScanReport r{};
    EXPECT_EQ(scan(h, &r), c.result);
    EXPECT_EQ(+r.code, c.code);
    EXPECT_EQ(+r.limits, c.limits);
    EXPECT_EQ(u8(r.path).rfind("\\Data\\box.cab", 0), 0u);
    // Scanned again, the account starts afresh.
    if (c.result != NX_RESULT_THREAT) {
      EXPECT_EQ(scan(h, &r), c.result);
      EXPECT_EQ(+r.limits, c.limits);
    }
    close(h);
  }

  // The interactive scan says 1010 with the limits in place of "clean".
  auto cab = data("box.cab", testCab({{"a.exe", ceProgram("clean")}, {"b.exe", ceProgram("clean")}}));
  seen().clear();
  ASSERT_EQ(scanEx(cab), 1);
  EXPECT_EQ(seenCodes(), (std::vector<int>{1008, 1003, 1009, 1002, NX_CB_INCOMPLETE}));
  EXPECT_EQ(seen().back().limits, static_cast<uint32_t>(NX_LIMIT_FILES));
  EXPECT_EQ(seen().back().path, "\\Data\\box.cab");
  // Lifted, the same file is whole.
  l.maxFiles = 0;
  ASSERT_EQ(setLimits(session_, &l), 1);
  seen().clear();
  ASSERT_EQ(scanEx(cab), 1);
  EXPECT_EQ(seenCodes(), (std::vector<int>{1008, 1003, 1009, 1002, 1003, 1009, 1002, 1002}));
}

TEST_F(SessionTest, ScanFileExRefusals) {
  installEngine();
  start();
  auto path = data("x.exe", ceProgram());
  NxFileHandle h = open(path);
  auto scanEx = fn<PFN_NxScanFileEx>(u"NxScanFileEx");
  EXPECT_EQ(scanEx(session_, h, 0), 0);  // no callback yet
  EXPECT_EQ(fn<PFN_NxSetCallBack>(u"NxSetCallBack")(session_, nullptr), 0);
  ASSERT_EQ(fn<PFN_NxSetCallBack>(u"NxSetCallBack")(session_, recordingCallback), 1);
  EXPECT_EQ(scanEx(nullptr, h, 0), 0);
  EXPECT_EQ(scanEx(session_, nullptr, 0), 0);
  EXPECT_EQ(scanEx(session_, h, 0), 1);
  close(h);
}

TEST_F(SessionTest, MemoryScanActionsByCategory) {
  installEngine();
  start();
  auto action = fn<PFN_NxGetActionForMemoryScan>(u"NxGetActionForMemoryScan");
  struct Case {
    int32_t kind;
    uint16_t category;
    int32_t first, second;
  };
  const Case cases[] = {{5027, 113, 2002, 2009}, {5027, 114, 2003, 2009}, {5027, 26, 2002, 2009},
                        {5027, 25, 2003, 2009},  {5027, 37, 2002, 2009},  {5027, 38, 2003, 2009},
                        {5027, 73, 2002, 2009},  {5027, 90, 2002, 2009},  {5027, 91, 2003, 2009},
                        {5026, 113, 2003, 2003}};
  for (const Case& c : cases) {
    ScanReport r{};
    r.category = c.category;
    int32_t a = 0, b = 0;
    ASSERT_EQ(action(nullptr, c.kind, &r, &a, &b), 1);
    EXPECT_EQ(a, c.first) << c.category;
    EXPECT_EQ(b, c.second) << c.category;
  }
  int32_t a, b;
  EXPECT_EQ(action(nullptr, 5027, nullptr, &a, &b), 0);
  EXPECT_EQ(fn<PFN_NxScanMessage>(u"NxScanMessage")(session_, &a), 0);
}

TEST_F(SessionTest, VersionFromScanverCnf) {
  installEngine();
  ASSERT_TRUE(load());
  NxVersionRecord v{};
  const std::u16string dir = kInstallDev;
  auto versionEx = fn<PFN_NxGetAPIVersionEx>(u"NxGetAPIVersionEx");
  v.major = 7;
  EXPECT_EQ(versionEx(dir.c_str(), &v), 0);  // no file yet
  EXPECT_EQ(+v.major, 0);
  std::string rec(20, '\0');
  rec[0] = 2;
  rec[2] = 5;
  rec[4] = char(0xEA);
  rec[5] = 7;
  dev.writeFile(std::string(kInstall) + "/scanver.cnf", rec);
  EXPECT_EQ(versionEx(dir.c_str(), &v), 1);  // works without a session
  EXPECT_EQ(+v.major, 2);
  EXPECT_EQ(+v.minor, 5);
  EXPECT_EQ(+v.year, 2026);
  EXPECT_EQ(versionEx((dir + u"\\").c_str(), &v), 1);
  EXPECT_EQ(versionEx(std::u16string(246, u'a').c_str(), &v), 0);
  EXPECT_EQ(versionEx(u"", &v), 0);
  EXPECT_EQ(versionEx(nullptr, &v), 0);
  auto version = fn<PFN_NxGetAPIVersion>(u"NxGetAPIVersion");
  EXPECT_EQ(version(nullptr, &v), 0);  // no session
  NxScanOptions o = options();
  ASSERT_EQ(init(&o), 1);
  EXPECT_EQ(version(nullptr, &v), 1);
  EXPECT_EQ(+v.minor, 5);
  EXPECT_EQ(version(nullptr, nullptr), 0);
  dev.writeFile(std::string(kInstall) + "/scanver.cnf", rec.substr(0, 19));
  EXPECT_EQ(version(nullptr, &v), 0);
  EXPECT_EQ(+v.major, 0);  // zeroed
}

TEST_F(SessionTest, UpdateStateNamesTheKindOfTheLastUpdate) {
  installEngine();
  const std::string cfg = std::string(kInstall) + "/updttype.cfg";
  dev.writeFile(cfg, std::string("\x01\x01\x01\x00", 4));
  start();
  auto state = fn<PFN_NxGetUpdateState>(u"NxGetUpdateState");
  uint8_t kind = 9;
  EXPECT_EQ(state(&kind), -1);  // nothing new
  EXPECT_EQ(state(nullptr), -1);
  dev.writeFile(cfg, std::string("\x01\x02\x03\x00", 4));
  EXPECT_EQ(state(&kind), 2);
  EXPECT_EQ(kind, 0);
  EXPECT_EQ(state(&kind), 2);  // unchanged until the bytes are taken over
  dev.writeFile(cfg, std::string("\x01\x01\x04\x01", 4));
  EXPECT_EQ(state(&kind), 4);
  EXPECT_EQ(kind, 1);
  dev.writeFile(cfg, std::string("\x02\x01\x04\x01", 4));
  EXPECT_EQ(state(&kind), -1);  // the engine itself changed
  dev.writeFile(cfg, std::string("\x01", 1));
  EXPECT_EQ(state(&kind), -1);  // short file
  // The reload reaches every scanner module.
  fakes::clear();
  EXPECT_EQ(fn<PFN_NxReloadSignatures>(u"NxReloadSignatures")(1, 0), 1);
  bool reached = false;
  for (const std::string& l : fakes::lines())
    if (l.find("reload exescan.dll 1 0") != std::string::npos) reached = true;
  EXPECT_TRUE(reached);
}

TEST_F(SessionTest, MessageStringLimits) {
  installEngine();
  start();
  auto set = fn<PFN_NxSetMessageString>(u"NxSetMessageString");
  EXPECT_EQ(set(nullptr, std::u16string(1023, u'm').c_str(), 0), 1);
  EXPECT_EQ(set(nullptr, std::u16string(1024, u'm').c_str(), 0), 0);
  EXPECT_EQ(set(nullptr, nullptr, 0), 0);
  void* obj = nullptr;
  EXPECT_EQ(fn<PFN_NxCreateMimeObject>(u"NxCreateMimeObject")(session_, &obj), 0);
}

TEST_F(SessionTest, FileTypeQuery) {
  installEngine();
  start();
  auto type = fn<PFN_NxGetFileType>(u"NxGetFileType");
  auto path = data("p.exe", ceProgram());
  uint16_t cat = 0, t = 0;
  EXPECT_EQ(type(nullptr, path.c_str(), &cat, &t), 1);
  EXPECT_EQ(t, 5084);
  EXPECT_EQ(type(nullptr, path.c_str(), &cat, nullptr), 1);
  EXPECT_EQ(type(nullptr, u"\\Data\\none", &cat, &t), 0);  // not a regular file
  EXPECT_EQ(type(nullptr, nullptr, &cat, &t), 0);
  EXPECT_EQ(type(nullptr, path.c_str(), nullptr, &t), 0);
}

}  // namespace
