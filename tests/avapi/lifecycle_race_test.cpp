// Sessions starting and ending on several threads at once: whatever the
// interleaving, a caller whose NxInitScan returned 1 has a loaded engine
// until its own NxDeinitScan, every NxDeinitScan returns, and the last one
// leaves nothing loaded. Built into a program of its own so that it also runs
// under ThreadSanitizer.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <thread>

#include "../scancore/api_fixture.h"

namespace {

using namespace apitest;
using namespace std::chrono_literals;

// Only a deadlock takes this long; it turns a hang into a failure that
// says which call never came back.
constexpr auto kDeadlock = 120s;

class LifecycleRace : public ApiTest {
 public:
  void SetUp() override {
    ApiTest::SetUp();
    installEngine();
    dev.writeFile(std::string(kInstall) + "/updttype.cfg", std::string(4, '\0'));
    ASSERT_TRUE(loadLib(u"avapi.dll"));
    init_ = fn<PFN_NxInitScan>(u"NxInitScan");
    deinit_ = fn<PFN_NxDeinitScan>(u"NxDeinitScan");
    open_ = fn<PFN_NxOpenFile>(u"NxOpenFile");
    scan_ = fn<PFN_NxScanFile>(u"NxScanFile");
    close_ = fn<PFN_NxCloseFile>(u"NxCloseFile");
    sample_ = data("a.exe", ceProgram("HIT-pe"));
    // The session handle is the same for every session of the library; the
    // threads pass it in, since only a first NxInitScan writes it out.
    options_ = options();
    ASSERT_EQ(init_(&options_, &session_), 1);
    ASSERT_NE(session_, nullptr);
    ASSERT_EQ(deinit_(session_), 1);
  }
  void TearDown() override {
    if (deinit_ && session_)
      while (deinit_(session_) == 1) {
      }
    ApiTest::TearDown();
  }

  static bool engineLoaded() { return ce::GetModuleHandleW((kInstallDev + u"\\scancore.dll").c_str()) != nullptr; }

  // Open, scan and close the sample: the result of the scan, or the failing
  // step's result negated.
  int32_t scanSample() {
    NxFileHandle h = nullptr;
    int32_t rc = open_(session_, sample_.c_str(), &h);
    if (rc != 1) return -1000 - rc;
    ScanReport r{};
    rc = scan_(h, &r);
    if (close_(&h, 0) != 1) return -2000;
    return rc;
  }
  int32_t initOnce() {
    NxSession s = session_;
    NxScanOptions o = options_;
    return init_(&o, &s);
  }
  // Waits for a call on another thread; one that never returns ends the
  // program with a message (its thread cannot be joined).
  template <class T>
  static T await(std::future<T>& f, const char* what) {
    if (f.wait_for(kDeadlock) != std::future_status::ready) {
      std::fprintf(stderr, "%s never returned\n", what);
      std::fflush(stderr);
      std::abort();
    }
    return f.get();
  }
  template <class Call>
  static int32_t returns(Call call, const char* what) {
    auto f = std::async(std::launch::async, call);
    return await(f, what);
  }

  PFN_NxInitScan init_ = nullptr;
  PFN_NxDeinitScan deinit_ = nullptr;
  PFN_NxOpenFile open_ = nullptr;
  PFN_NxScanFile scan_ = nullptr;
  PFN_NxCloseFile close_ = nullptr;
  std::u16string sample_;
  NxScanOptions options_{};
  NxSession session_ = nullptr;
};

// One thread's final NxDeinitScan against another's NxInitScan, released
// together each round; the init's caller then scans, and the roles swap.
// A short spin of varying length moves the init across the whole deinit.
TEST_F(LifecycleRace, InitAgainstTheFinalDeinit) {
  ASSERT_EQ(initOnce(), 1);
  std::mt19937 rng(14);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE(round);
    const int spin = static_cast<int>(rng() % 20000);
    std::atomic<int> ready{0};
    auto go = [&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
    };
    auto leaving = std::async(std::launch::async, [&] {
      go();
      return deinit_(session_);
    });
    auto coming = std::async(std::launch::async, [&] {
      go();
      std::atomic<int> delay{0};
      while (delay.fetch_add(1, std::memory_order_relaxed) < spin) {
      }
      return initOnce();
    });
    EXPECT_EQ(await(leaving, "the final deinit"), 1);
    ASSERT_EQ(await(coming, "the init"), 1);
    // The new session's engine is there and stays there.
    ASSERT_EQ(returns([&] { return scanSample(); }, "a scan"), NX_RESULT_THREAT);
    ASSERT_TRUE(engineLoaded());
  }
  EXPECT_EQ(returns([&] { return deinit_(session_); }, "the last deinit"), 1);
  EXPECT_FALSE(engineLoaded());
  EXPECT_EQ(deinit_(session_), 0);
}

// Four threads start and end sessions and scan in between, in any order:
// each thread's scans find the engine its own session holds, and when all
// are done the engine is gone and the usage count is back at 0.
TEST_F(LifecycleRace, SessionsOnManyThreads) {
  constexpr int kThreads = 4, kRounds = 25;
  std::atomic<int> failures{0};
  auto user = [&](int seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    for (int round = 0; round < kRounds; ++round) {
      if (initOnce() != 1) {
        ++failures;
        continue;
      }
      const int scans = static_cast<int>(rng() % 3);
      for (int i = 0; i < scans; ++i)
        if (scanSample() != NX_RESULT_THREAT) ++failures;
      if (deinit_(session_) != 1) ++failures;
    }
  };
  std::vector<std::future<void>> users;
  for (int t = 0; t < kThreads; ++t) users.push_back(std::async(std::launch::async, user, t + 1));
  for (auto& u : users) await(u, "a thread's sessions");
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(engineLoaded());
  EXPECT_EQ(deinit_(session_), 0);
  // And the library still starts a session afterwards.
  EXPECT_EQ(initOnce(), 1);
  EXPECT_EQ(scanSample(), NX_RESULT_THREAT);
  EXPECT_EQ(deinit_(session_), 1);
  EXPECT_FALSE(engineLoaded());
}

}  // namespace
