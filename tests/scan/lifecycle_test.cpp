// The engine's lifecycle: slots loaded in order with the fixed log lines and
// codes, everything freed again on any failure, on-demand loads attempted
// once per engine life, the reload fan-out and the small exports.
#include <atomic>
#include <functional>
#include <thread>

#include "scan_fixture.h"

namespace {

using namespace scantest;

using CountFn = int (*)();

int usage(const char16_t* module) {
  ce::HMODULE h = ce::GetModuleHandleW(module);
  if (!h) return 0;
  auto f = reinterpret_cast<CountFn>(ce::GetProcAddressW(h, u"FakeUsage"));
  return f ? f() : -1;
}
bool loaded(const char16_t* module) { return ce::GetModuleHandleW(module) != nullptr; }

class Lifecycle : public EngineTest {
 protected:
  // CreateNXScan on a device file with default settings.
  void list(List& l, const std::u16string& path, ScanSettings* s = nullptr) {
    static ScanSettings defaults;
    defaults = defaultSettings();
    auto create = fn<NxCreateNXScanFn>(u"CreateNXScan");
    l.del = fn<NxDeleteNXScanFn>(u"DeleteNXScan");
    l.result = create(-1, path.c_str(), s ? s : &defaults, 0, &l.objects, &l.codes, &l.count, &l.type, &l.length);
  }
  void writeCab(const std::string& rel) {
    std::string b(24, '\0');
    std::memcpy(b.data(), "MSCF", 4);
    b[8] = 24;
    std::memcpy(b.data() + 16, "NXTA", 4);
    dev.writeFile(rel, b);
  }
};

TEST_F(Lifecycle, FirstInitLoadsTheSlotsOnceEachLaterCallsOnlyCount) {
  installAll();
  ASSERT_NE(load(), nullptr);
  // One load per slot: exescan fills three, genericscan two; the on-demand
  // modules stay out.
  EXPECT_EQ(usage(u"exescan.dll"), 3);
  EXPECT_EQ(usage(u"genericscan.dll"), 2);
  EXPECT_TRUE(loaded(u"threatlist.dll"));
  EXPECT_TRUE(loaded(u"filekit.dll"));
  EXPECT_FALSE(loaded(u"epocscan.dll"));
  EXPECT_FALSE(loaded(u"archivekit.dll"));
  EXPECT_EQ(journal("init"), (std::vector<std::string>{"init exescan.dll", "init genericscan.dll"}));

  auto libInit = fn<CountFn>(u"LibInit");
  auto libDeinit = fn<CountFn>(u"LibDeinit");
  EXPECT_EQ(libInit(), 2);
  EXPECT_EQ(usage(u"exescan.dll"), 3);
  EXPECT_EQ(libDeinit(), 1);
  EXPECT_TRUE(loaded(u"exescan.dll"));

  unload();
  EXPECT_FALSE(loaded(u"exescan.dll"));
  EXPECT_FALSE(loaded(u"genericscan.dll"));
  EXPECT_FALSE(loaded(u"scan.dll"));
  EXPECT_EQ(journal("deinit"), (std::vector<std::string>{"deinit genericscan.dll", "deinit exescan.dll"}));
  EXPECT_TRUE(logTexts().empty());
}

TEST_F(Lifecycle, DeinitBeforeInitIsAMismatch) {
  installAll();
  // Mapped without the loader, so no LibInit has run.
  ce::HMODULE h = ce::LoadLibraryW(installed(u"scan.dll").c_str());
  ASSERT_NE(h, nullptr);
  auto libDeinit = reinterpret_cast<CountFn>(ce::GetProcAddressW(h, u"LibDeinit"));
  EXPECT_EQ(libDeinit(), 0);
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"scan.dll: Error LibInit LibDeinit mismatched.",
                                                  "scan: LibDeinit: error code - 132"}));
  ce::FreeLibrary(h);
}

TEST_F(Lifecycle, AnyFailingSlotLeavesNothingLoaded) {
  struct Case {
    const char* what;
    std::function<void(Lifecycle&)> arrange;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {"threatlist missing", [](Lifecycle& t) { t.installAll({"threatlist.dll"}); },
       {"scan.dll: Unable to load threatlist.dll.", "scan: LoadNxAvapiLibs: error code - 125"}},
      {"filekit missing", [](Lifecycle& t) { t.installAll({"filekit.dll"}); },
       {"scan.dll: Unable to load filekit.dll.", "scan: LoadNxAvapiLibs: error code - 128"}},
      {"exescan missing", [](Lifecycle& t) { t.installAll({"exescan.dll"}); },
       {"scan.dll: Unable to load exescan.dll.", "scan: LoadNxAvapiLibs: error code - 122"}},
      {"exescan refuses its LibInit",
       [](Lifecycle& t) {
         t.installAll();
         fakes::set("fail.init.exescan.dll", 1);
       },
       {"scan.dll: Unable to load exescan.dll.", "scan: LoadNxAvapiLibs: error code - 122"}},
      {"genericscan missing", [](Lifecycle& t) { t.installAll({"genericscan.dll"}); },
       {"scan.dll: Unable to load genericscan.dll.", "scan: LoadNxAvapiLibs: error code - 127"}},
      {"genericscan without the batch scanner",
       [](Lifecycle& t) {
         t.installAll({"genericscan.dll"});
         t.put(fakeDll("nobatch", "genericscan.dll"));
       },
       {"scan.dll: Invalid genericscan.dll.", "scan: LoadNxAvapiLibs: error code - 133"}},
      {"filekit hands out no wrapper",
       [](Lifecycle& t) {
         t.installAll({"filekit.dll"});
         t.put(fakeDll("refusing", "filekit.dll"));
       },
       {"scan: LibInit: error code - 129"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fakes::clear();
    for (const char* m : {"scan.dll", "filekit.dll", "threatlist.dll", "platform.dll", "exescan.dll",
                          "genericscan.dll", "epocscan.dll", "archivekit.dll"})
      remove(m);
    ce::DeleteFileW(u"\\Temp\\scan.log");
    c.arrange(*this);
    EXPECT_EQ(load(), nullptr);
    EXPECT_EQ(logTexts(), c.log);
    for (const char16_t* m : {u"scan.dll", u"threatlist.dll", u"filekit.dll", u"exescan.dll", u"genericscan.dll"})
      EXPECT_FALSE(loaded(m)) << u8(m);
    // Every module that came up went down again.
    EXPECT_EQ(journal("init").size(), journal("deinit").size() + (c.what == std::string("exescan refuses its LibInit") ? 1 : 0));
  }
}

TEST_F(Lifecycle, OnDemandModulesLoadOnFirstNeedOnceAndAgainAfterAFullUnload) {
  installAll({"archivekit.dll"});
  writeCab("Temp/a.cab");
  ASSERT_NE(load(), nullptr);
  {
    List l;
    list(l, u"\\Temp\\a.cab");
    EXPECT_EQ(l.result, NX_ENGINE_FAILURE);
    EXPECT_EQ(l.type, 5010);
  }
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"scan.dll: Unable to load archivekit.dll."}));
  // The module arrives, but a failed attempt is not repeated while the engine stays up.
  put(fakeDll("std", "archivekit.dll"));
  {
    List l;
    list(l, u"\\Temp\\a.cab");
    EXPECT_EQ(l.result, NX_ENGINE_FAILURE);
  }
  EXPECT_EQ(logTexts().size(), 1u);
  EXPECT_FALSE(loaded(u"archivekit.dll"));

  // A new engine life tries again, and finds it.
  unload();
  ASSERT_NE(load(), nullptr);
  {
    List l;
    list(l, u"\\Temp\\a.cab");
    EXPECT_EQ(l.result, NX_ENGINE_SUCCESS);
    EXPECT_EQ(l.codeList(), std::vector<int32_t>{5010});
  }
  EXPECT_EQ(usage(u"archivekit.dll"), -1);  // the test archive module has no usage export
  EXPECT_TRUE(loaded(u"archivekit.dll"));

  // After a full unload the module is gone and nothing stale is left behind:
  // the next life loads it again and archives get their scanner.
  unload();
  EXPECT_FALSE(loaded(u"archivekit.dll"));
  ASSERT_NE(load(), nullptr);
  EXPECT_FALSE(loaded(u"archivekit.dll"));
  {
    List l;
    list(l, u"\\Temp\\a.cab");
    EXPECT_EQ(l.result, NX_ENGINE_SUCCESS);
  }
  EXPECT_EQ(journal("init archivekit"), (std::vector<std::string>{"init archivekit.dll", "init archivekit.dll"}));
}

TEST_F(Lifecycle, EpocModuleOnDemandAndMissing) {
  std::string epoc(32, '\0');
  epoc[0] = 0x7A;
  epoc[3] = 0x10;  // 0x1000007A
  dev.writeFile("Temp/a.app", epoc);

  installAll({"epocscan.dll"});
  ASSERT_NE(load(), nullptr);
  {
    List l;
    list(l, u"\\Temp\\a.app");
    EXPECT_EQ(l.result, NX_ENGINE_FAILURE);
    EXPECT_EQ(l.type, 5075);
  }
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"scan.dll: Unable to load epocscan.dll."}));
  unload();

  put(fakeDll("std", "epocscan.dll"));
  ASSERT_NE(load(), nullptr);
  List l;
  list(l, u"\\Temp\\a.app");
  EXPECT_EQ(l.result, NX_ENGINE_SUCCESS);
  EXPECT_EQ(l.codeList(), std::vector<int32_t>{57});
  EXPECT_EQ(usage(u"epocscan.dll"), 1);
}

TEST_F(Lifecycle, ConcurrentFirstArchivesLoadTheModuleOnce) {
  installAll();
  for (int i = 0; i < 4; ++i) writeCab("Temp/c" + std::to_string(i) + ".cab");
  ASSERT_NE(load(), nullptr);
  auto create = fn<NxCreateNXScanFn>(u"CreateNXScan");
  auto del = fn<NxDeleteNXScanFn>(u"DeleteNXScan");
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&, i] {
      ScanSettings s = defaultSettings();
      std::u16string p = u"\\Temp\\c" + u16(std::to_string(i)) + u".cab";
      ScannerObject** o = nullptr;
      int32_t* c = nullptr;
      int32_t n = 0, t = 0;
      uint32_t len = 0;
      if (create(-1, p.c_str(), &s, 0, &o, &c, &n, &t, &len) == NX_ENGINE_SUCCESS) {
        ++ok;
        del(o, c, n);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 4);
  EXPECT_EQ(journal("init archivekit").size(), 1u);
}

TEST_F(Lifecycle, ReloadVisitsTheScannerModulesInSlotOrder) {
  installAll();
  ASSERT_NE(load(), nullptr);
  auto reload = fn<int (*)(int32_t, int32_t)>(u"ReloadSignatures");
  EXPECT_EQ(reload(7, 9), 1);
  // category, miscellaneous, (EPOC not loaded), PE polymorphic, PE signatures, batch
  EXPECT_EQ(journal("reload"), (std::vector<std::string>{"reload exescan.dll 7 9", "reload genericscan.dll 7 9",
                                                         "reload exescan.dll 7 9", "reload exescan.dll 7 9",
                                                         "reload genericscan.dll 7 9"}));
  // A module that fails stops the fan-out there.
  fakes::clear();
  fakes::set("fail.reload.genericscan.dll", 1);
  EXPECT_EQ(reload(1, 2), 0);
  EXPECT_EQ(journal("reload"), (std::vector<std::string>{"reload exescan.dll 1 2", "reload genericscan.dll 1 2"}));
}

TEST_F(Lifecycle, ReloadIncludesTheEpocModuleOnceLoaded) {
  installAll();
  std::string epoc(32, '\0');
  epoc[0] = 0x79;
  epoc[3] = 0x10;
  dev.writeFile("Temp/a.app", epoc);
  ASSERT_NE(load(), nullptr);
  {
    List l;
    list(l, u"\\Temp\\a.app");
    ASSERT_EQ(l.result, NX_ENGINE_SUCCESS);
  }
  fakes::clear();
  EXPECT_EQ(fn<int (*)(int32_t, int32_t)>(u"ReloadSignatures")(0, 0), 1);
  EXPECT_EQ(journal("reload"), (std::vector<std::string>{"reload exescan.dll 0 0", "reload genericscan.dll 0 0",
                                                         "reload epocscan.dll 0 0", "reload exescan.dll 0 0",
                                                         "reload exescan.dll 0 0", "reload genericscan.dll 0 0"}));
}

TEST_F(Lifecycle, MessageStringAndMailObjects) {
  installAll();
  ASSERT_NE(load(), nullptr);
  auto set = fn<int32_t (*)(const char16_t*)>(u"SetMessageString");
  std::u16string t1023(1023, u'a'), t1024(1024, u'a');
  EXPECT_EQ(set(t1023.c_str()), NX_ENGINE_SUCCESS);
  EXPECT_EQ(set(t1024.c_str()), NX_ENGINE_FAILURE);
  EXPECT_EQ(set(nullptr), NX_ENGINE_FAILURE);
  EXPECT_EQ(set(u"Scanned by Nyxel"), NX_ENGINE_SUCCESS);
  EXPECT_EQ(fn<int32_t (*)(void*, void*)>(u"CreateMimeObject")(nullptr, nullptr), NX_ENGINE_FAILURE);
  EXPECT_EQ(fn<int32_t (*)(void*)>(u"DeleteMimeObject")(nullptr), NX_ENGINE_FAILURE);
}

}  // namespace
