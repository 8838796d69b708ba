// The public API loaded from the install folder as a program loads it: usage
// count, locks, log lines, version without a session, and the reload service
// driven by the update events from this and from a second process.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "../scancore/api_fixture.h"

extern char** environ;

namespace {

using namespace apitest;
using namespace std::chrono_literals;

// The update driver as a second process, one command per line.
class Driver {
 public:
  Driver() {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
      if (std::strncmp(*e, "NX_DEVICE_ROOT=", 15) != 0) env.emplace_back(*e);
    env.push_back("NX_DEVICE_ROOT=" + ce::DeviceRoot());
    std::vector<char*> ev;
    for (auto& e : env) ev.push_back(e.data());
    ev.push_back(nullptr);
    std::string prog = std::string(NX_BUILD_DIR) + "/tests/avapi/avapi_update_driver";
    char* argv[] = {prog.data(), nullptr};
    if (posix_spawn(&pid_, prog.c_str(), &fa, nullptr, argv, ev.data()) != 0) throw std::runtime_error("spawn");
    posix_spawn_file_actions_destroy(&fa);
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~Driver() {
    send("quit");
    close(to_);
    close(from_);
    int st;
    waitpid(pid_, &st, 0);
  }
  bool send(const std::string& cmd) {
    std::string l = cmd + "\n";
    if (write(to_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return false;
    if (cmd == "quit") return true;
    std::string got;
    char c;
    pollfd p{from_, POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && read(from_, &c, 1) == 1) {
      if (c == '\n') return got == "ok";
      got += c;
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

class AvapiTest : public ApiTest {
 public:
  void TearDown() override {
    if (session_ && !loaded_.empty()) {
      auto deinit = fn<PFN_NxDeinitScan>(u"NxDeinitScan");
      while (deinit(session_) == 1) {
      }
    }
    resetEvents();
    ApiTest::TearDown();
  }
  void resetEvents() {
    for (const char16_t* n : {u"NX_Unload_AdvAvapi_Event", u"NX_Reload_AdvAvapi_Event"}) {
      ce::HANDLE h = ce::CreateEventW(nullptr, true, false, n);
      ce::ResetEvent(h);
      ce::CloseHandle(h);
    }
  }
  void start() {
    installEngine();
    dev.writeFile(std::string(kInstall) + "/updttype.cfg", std::string(4, '\0'));
    ASSERT_TRUE(loadLib(u"avapi.dll"));
    NxScanOptions o = options();
    ASSERT_EQ(fn<PFN_NxInitScan>(u"NxInitScan")(&o, &session_), 1);
    ASSERT_NE(session_, nullptr);
  }
  static bool engineLoaded() {
    return ce::GetModuleHandleW((kInstallDev + u"\\scancore.dll").c_str()) != nullptr;
  }
  template <class Pred>
  static bool waitFor(Pred p, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (p()) return true;
      std::this_thread::sleep_for(5ms);
    }
    return p();
  }
  int32_t scanOnce(const std::u16string& path) {
    NxFileHandle h = nullptr;
    int32_t rc = fn<PFN_NxOpenFile>(u"NxOpenFile")(session_, path.c_str(), &h);
    if (rc != 1) return -rc;
    ScanReport r{};
    rc = fn<PFN_NxScanFile>(u"NxScanFile")(h, &r);
    fn<PFN_NxCloseFile>(u"NxCloseFile")(&h, 0);
    return rc;
  }
  ce::HANDLE event(const char16_t* name) { return ce::CreateEventW(nullptr, true, false, name); }
  static int reloadsSeen() {
    int n = 0;
    for (const std::string& l : fakes::lines())
      if (l.rfind("reload exescan.dll", 0) == 0) ++n;
    return n;
  }

  NxSession session_ = nullptr;
};

TEST_F(AvapiTest, UsageCountAndRefusals) {
  start();
  auto init = fn<PFN_NxInitScan>(u"NxInitScan");
  auto deinit = fn<PFN_NxDeinitScan>(u"NxDeinitScan");
  NxScanOptions o = options();
  NxSession second = reinterpret_cast<NxSession>(uintptr_t{0x5A5A});
  EXPECT_EQ(init(&o, &second), 1);
  EXPECT_EQ(second, reinterpret_cast<NxSession>(uintptr_t{0x5A5A}));  // not written
  EXPECT_EQ(deinit(nullptr), 0);
  EXPECT_EQ(deinit(session_), 1);
  EXPECT_TRUE(engineLoaded());
  EXPECT_EQ(scanOnce(data("a.exe", ceProgram("HIT-pe"))), NX_RESULT_THREAT);
  EXPECT_EQ(deinit(session_), 1);
  EXPECT_FALSE(engineLoaded());
  EXPECT_EQ(deinit(session_), 0);
  // With the engine gone every forwarded call fails cleanly.
  NxFileHandle h = nullptr;
  EXPECT_EQ(fn<PFN_NxOpenFile>(u"NxOpenFile")(session_, u"\\Data\\a.exe", &h), 0);
  EXPECT_EQ(fn<PFN_NxScanMessage>(u"NxScanMessage")(session_, &h), -1);
  session_ = nullptr;
  EXPECT_EQ(init(nullptr, &second), 0);
  EXPECT_TRUE(logHas("avapi NxInitScan: error code - 90"));
  EXPECT_EQ(fn<PFN_NxSetDriverOptions>(u"NxSetDriverOptions")(nullptr), 1);
  EXPECT_EQ(fn<PFN_NxIgnoreFile>(u"NxIgnoreFile")(nullptr, u"\\Data\\a.exe"), 1);  // unbound
  EXPECT_EQ(fn<PFN_NxIgnoreFile>(u"NxIgnoreFile")(nullptr, nullptr), 0);
  EXPECT_EQ(fn<PFN_NxUnignoreFile>(u"NxUnignoreFile")(nullptr, u"\\Data\\a.exe"), 1);
}

TEST_F(AvapiTest, LoadFailuresLeaveTheirLines) {
  struct Case {
    const char* name;
    std::string missing;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"no scancore", "scancore.dll", {"avapi.dll: Unable to load scancore.dll.", "avapi LoadScancore: error code - 91"}},
      {"no platform", "platform.dll", {"avapi InitAvapi: error code - 93"}},
      {"no scan", "scan.dll", {"scancore.dll: Unable to load scan.dll.", "scancore: NxInitScan: error code - 104"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    installEngine();
    removeInstalled(c.missing);
    std::filesystem::remove(dev.host("Temp/nxdebug.log"));
    ASSERT_TRUE(loadLib(u"avapi.dll"));
    NxScanOptions o = options();
    NxSession s = nullptr;
    EXPECT_EQ(fn<PFN_NxInitScan>(u"NxInitScan")(&o, &s), 0);
    EXPECT_EQ(s, nullptr);
    for (const std::string& l : c.lines) EXPECT_TRUE(logHas(l)) << l;
    EXPECT_FALSE(engineLoaded());
    EXPECT_EQ(fn<PFN_NxDeinitScan>(u"NxDeinitScan")(&o), 0);  // the count is back at 0
    unloadLib();
  }
  // A file where the directory should be.
  installEngine();
  ASSERT_TRUE(loadLib(u"avapi.dll"));
  NxScanOptions o = options();
  dev.writeFile("Data/file", "x");
  setDir(o.installDir, u"\\Data\\file");
  NxSession s = nullptr;
  EXPECT_EQ(fn<PFN_NxInitScan>(u"NxInitScan")(&o, &s), 0);
}

TEST_F(AvapiTest, VersionWithoutSessionLeavesNothingLoaded) {
  installEngine();
  std::string rec(20, '\0');
  rec[0] = 3;
  rec[2] = 14;
  dev.writeFile(std::string(kInstall) + "/scanver.cnf", rec);
  ASSERT_TRUE(loadLib(u"avapi.dll"));
  auto versionEx = fn<PFN_NxGetAPIVersionEx>(u"NxGetAPIVersionEx");
  NxVersionRecord v{};
  EXPECT_EQ(versionEx(kInstallDev.c_str(), &v), 1);
  EXPECT_EQ(+v.major, 3);
  EXPECT_EQ(+v.minor, 14);
  EXPECT_FALSE(engineLoaded());
  EXPECT_EQ(ce::GetModuleHandleW((kInstallDev + u"\\platform.dll").c_str()), nullptr);
  EXPECT_EQ(versionEx(std::u16string(241, u'd').c_str(), &v), 0);
  EXPECT_EQ(versionEx(u"\\Nowhere", &v), 0);
  EXPECT_EQ(versionEx(nullptr, &v), 0);
}

TEST_F(AvapiTest, MessageStringAndCallbackThroughTheApi) {
  start();
  auto set = fn<PFN_NxSetMessageString>(u"NxSetMessageString");
  EXPECT_EQ(set(session_, std::u16string(1023, u'x').c_str(), 0), 1);
  EXPECT_EQ(set(session_, std::u16string(1024, u'x').c_str(), 0), 0);
  EXPECT_EQ(fn<PFN_NxSetCallBack>(u"NxSetCallBack")(session_, recordingCallback), 1);
  auto path = data("b.exe", ceProgram("HIT-poly"));
  NxFileHandle h = nullptr;
  ASSERT_EQ(fn<PFN_NxOpenFile>(u"NxOpenFile")(session_, path.c_str(), &h), 1);
  answers() = [](const Seen&) { return NX_ANSWER_SKIP; };
  EXPECT_EQ(fn<PFN_NxScanFileEx>(u"NxScanFileEx")(session_, h, 42), 1);
  EXPECT_EQ(seenCodes(), (std::vector<int>{NX_CB_FILE_BEGIN, NX_CB_THREAT}));
  EXPECT_EQ(seen()[1].session, reinterpret_cast<uintptr_t>(session_));
  EXPECT_EQ(seen()[1].context, 42u);
  // A refused close gives back no hold: with another file still open, an
  // exclusive call waits for that file. (Had the refused close released a
  // hold, it would have been the other file's, and the call would go
  // through at once.)
  auto closeFile = fn<PFN_NxCloseFile>(u"NxCloseFile");
  auto setOptions = fn<PFN_NxSetOptions>(u"NxSetOptions");
  NxFileHandle other = nullptr;
  ASSERT_EQ(fn<PFN_NxOpenFile>(u"NxOpenFile")(session_, path.c_str(), &other), 1);
  EXPECT_EQ(closeFile(&h, 0), 1);
  EXPECT_EQ(closeFile(&h, 0), 0);
  auto exclusive = std::async(std::launch::async, [&] {
    NxScanOptions o = options();
    return setOptions(session_, &o);
  });
  EXPECT_EQ(exclusive.wait_for(300ms), std::future_status::timeout) << "the other file's hold was given back";
  EXPECT_EQ(closeFile(&other, 0), 1);
  ASSERT_EQ(exclusive.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(exclusive.get(), 1);
}

TEST_F(AvapiTest, AnOpenFileHoldsOffAFullReload) {
  start();
  auto path = data("c.exe", ceProgram("HIT-pe"));
  NxFileHandle h = nullptr;
  ASSERT_EQ(fn<PFN_NxOpenFile>(u"NxOpenFile")(session_, path.c_str(), &h), 1);
  ce::HANDLE unload = event(u"NX_Unload_AdvAvapi_Event"), reload = event(u"NX_Reload_AdvAvapi_Event");
  ce::SetEvent(unload);
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(engineLoaded());
  ScanReport r{};
  EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_THREAT);
  EXPECT_EQ(fn<PFN_NxCloseFile>(u"NxCloseFile")(&h, 0), 1);
  EXPECT_TRUE(waitFor([] { return !engineLoaded(); }));
  ce::SetEvent(reload);
  ce::ResetEvent(unload);
  EXPECT_TRUE(waitFor([] { return engineLoaded(); }));
  EXPECT_EQ(scanOnce(path), NX_RESULT_THREAT);
  ce::CloseHandle(unload);
  ce::CloseHandle(reload);
}

TEST_F(AvapiTest, ScanLimitsSurviveAFullReload) {
  start();
  auto setLimits = fn<PFN_NxSetScanLimits>(u"NxSetScanLimits");
  auto getLimits = fn<PFN_NxGetScanLimits>(u"NxGetScanLimits");
  NxScanLimits l{};
  l.size = sizeof l;
  ASSERT_EQ(getLimits(session_, &l), 1);
  l.maxFiles = 1;
  EXPECT_EQ(setLimits(nullptr, &l), 0);
  ASSERT_EQ(setLimits(session_, &l), 1);
  auto cab = data("two.cab", testCab({{"a.exe", ceProgram("clean")}, {"b.exe", ceProgram("clean")}}));
  EXPECT_EQ(scanOnce(cab), NX_RESULT_INCOMPLETE);

  ce::HANDLE unload = event(u"NX_Unload_AdvAvapi_Event"), reload = event(u"NX_Reload_AdvAvapi_Event");
  ce::SetEvent(unload);
  EXPECT_TRUE(waitFor([] { return !engineLoaded(); }));
  ce::SetEvent(reload);
  ce::ResetEvent(unload);
  EXPECT_TRUE(waitFor([] { return engineLoaded(); }));
  // The reloaded session layer has the caller's limits, not its defaults.
  NxScanLimits now{};
  now.size = sizeof now;
  ASSERT_EQ(getLimits(session_, &now), 1);
  EXPECT_EQ(now.maxFiles, 1u);
  EXPECT_EQ(scanOnce(cab), NX_RESULT_INCOMPLETE);
  ce::CloseHandle(unload);
  ce::CloseHandle(reload);
}

TEST_F(AvapiTest, SignatureOnlyUpdateKeepsTheEngineAndOpenFiles) {
  start();
  auto path = data("d.exe", ceProgram("HIT-pe"));
  NxFileHandle h = nullptr;
  ASSERT_EQ(fn<PFN_NxOpenFileEx>(u"NxOpenFileEx")(session_, path.c_str(), &h), 1);
  ce::HMODULE before = ce::GetModuleHandleW((kInstallDev + u"\\scan.dll").c_str());
  fakes::clear();
  Driver driver;
  // Each scanner module hears one reload per cycle.
  int perCycle = 0;
  for (int cycle = 1; cycle <= 2; ++cycle) {
    ASSERT_TRUE(driver.send("count 1"));
    ASSERT_TRUE(driver.send("unload"));
    std::this_thread::sleep_for(100ms);  // the update engine's copying
    ASSERT_TRUE(driver.send("reload"));
    EXPECT_TRUE(waitFor([&] { return reloadsSeen() > perCycle * (cycle - 1); })) << cycle;
    if (cycle == 1) {
      std::this_thread::sleep_for(100ms);
      perCycle = reloadsSeen();
    }
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_GT(perCycle, 0);
  EXPECT_EQ(reloadsSeen(), 2 * perCycle);
  EXPECT_EQ(ce::GetModuleHandleW((kInstallDev + u"\\scan.dll").c_str()), before);
  ScanReport r{};
  EXPECT_EQ(fn<PFN_NxScanFile>(u"NxScanFile")(h, &r), NX_RESULT_THREAT);
  EXPECT_EQ(fn<PFN_NxCloseFileEx>(u"NxCloseFileEx")(&h, 0), 1);
}

// Two threads scan in a loop while a second process runs full and
// signature-only updates that rewrite the installed modules in place: no
// scan meets a half-replaced engine, and every scan gives its answer.
TEST_F(AvapiTest, ReloadDrivenFromAnotherProcessWhileScanning) {
  start();
  auto path = data("e.exe", ceProgram("HIT-pe"));
  std::atomic<bool> stop{false};
  std::atomic<int> scans{0}, wrong{0};
  auto open = fn<PFN_NxOpenFile>(u"NxOpenFile");
  auto scan = fn<PFN_NxScanFile>(u"NxScanFile");
  auto closeFile = fn<PFN_NxCloseFile>(u"NxCloseFile");
  auto worker = [&] {
    while (!stop) {
      NxFileHandle h = nullptr;
      int32_t rc = open(session_, path.c_str(), &h);
      if (rc == 1) {
        ScanReport r{};
        rc = scan(h, &r);
        closeFile(&h, 0);
      }
      if (rc != NX_RESULT_THREAT) ++wrong;
      ++scans;
    }
  };
  std::thread t1(worker), t2(worker);
  Driver driver;
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(driver.send("count 0"));
    ASSERT_TRUE(driver.send("unload"));
    ASSERT_TRUE(waitFor([] { return !engineLoaded(); }));
    for (const char* m : {"scan.dll", "scancore.dll", "filekit.dll", "threatlist.dll", "exescan.dll"})
      ASSERT_TRUE(driver.send(std::string("rewrite ") + m));
    ASSERT_TRUE(driver.send("reload"));
    ASSERT_TRUE(waitFor([] { return engineLoaded(); }));
    // Scans move again only once the reload is complete.
    int before = scans;
    EXPECT_TRUE(waitFor([&] { return scans > before + 5; }));
    fakes::clear();
    ce::HMODULE engine = ce::GetModuleHandleW((kInstallDev + u"\\scan.dll").c_str());
    ASSERT_TRUE(driver.send("count 1"));
    ASSERT_TRUE(driver.send("unload"));
    std::this_thread::sleep_for(100ms);  // the update engine's copying
    ASSERT_TRUE(driver.send("reload"));
    EXPECT_TRUE(waitFor([] { return reloadsSeen() >= 1; }));
    EXPECT_EQ(ce::GetModuleHandleW((kInstallDev + u"\\scan.dll").c_str()), engine);
  }
  stop = true;
  t1.join();
  t2.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(scans.load(), 10);
}

// An update that sets the unload event and never the reload event: the
// engine stays held, and a final NxDeinitScan still completes.
TEST_F(AvapiTest, FinalDeinitCompletesWhenTheReloadNeverComes) {
  struct Case {
    const char* name;
    bool signaturesOnly;
    int inits;
  };
  const Case cases[] = {{"full update", false, 1}, {"signature update", true, 1}, {"two users", false, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    start();
    auto init = fn<PFN_NxInitScan>(u"NxInitScan");
    auto deinit = fn<PFN_NxDeinitScan>(u"NxDeinitScan");
    NxScanOptions o = options();
    NxSession ignored = nullptr;
    for (int i = 1; i < c.inits; ++i) ASSERT_EQ(init(&o, &ignored), 1);
    if (c.signaturesOnly) dev.writeFile(std::string(kInstall) + "/updttype.cfg", std::string("\0\1\0\0", 4));
    ce::HANDLE unload = event(u"NX_Unload_AdvAvapi_Event");
    ce::SetEvent(unload);
    if (!c.signaturesOnly) {
      EXPECT_TRUE(waitFor([] { return !engineLoaded(); }));
    } else {
      std::this_thread::sleep_for(200ms);
    }
    // Every user's deinit returns; the last one unloads everything.
    std::vector<std::future<int32_t>> done;
    for (int i = 0; i < c.inits; ++i) done.push_back(std::async(std::launch::async, [&] { return deinit(session_); }));
    for (auto& d : done) {
      ASSERT_EQ(d.wait_for(10s), std::future_status::ready);
      EXPECT_EQ(d.get(), 1);
    }
    EXPECT_FALSE(engineLoaded());
    EXPECT_EQ(deinit(session_), 0);
    session_ = nullptr;
    ce::ResetEvent(unload);
    ce::CloseHandle(unload);
    unloadLib();
  }
}

TEST_F(AvapiTest, FinalDeinitRemovesWorkFilesButNotSignatures) {
  start();
  dev.writeFile(std::string(kInstall) + "/sig32ce.inx", "signatures");
  dev.writeFile(std::string(kInstall) + "/job.tnx", "work");
  EXPECT_EQ(fn<PFN_NxDeinitScan>(u"NxDeinitScan")(session_), 1);
  session_ = nullptr;
  EXPECT_TRUE(installedExists("sig32ce.inx"));
  EXPECT_FALSE(installedExists("job.tnx"));
  EXPECT_TRUE(installedExists("scan.dll"));
}

}  // namespace
