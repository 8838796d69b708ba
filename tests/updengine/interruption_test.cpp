// An update cut off in the middle: nxupdate killed (SIGKILL) at random
// points of the replacement of the installed files, and a store that fills
// up while the update is staged. Whatever happens, the next start finds one
// whole set of files, old or new, and the engine loads and detects.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "nyxel/updengine.h"
#include "update_bed.h"

namespace updtest {
namespace {

constexpr int kSetFiles = 24;

class Interruption : public UpdateBed {
 protected:
  void SetUp() override {
    UpdateBed::SetUp();
    if (HasFatalFailure()) return;
    useLocalFolder();
    spit(work.path() + "/eicar.com", kEicar);
  }

  std::string versionOf(int set) { return versionRecord(1, 0, 11 + set / 20, set % 20); }
  std::string content(int set, int file) { return "set " + std::to_string(set) + " file " + std::to_string(file); }

  // Set n: kSetFiles tables naming the set, the image's PE table, its version.
  std::string setFiles(int n) {
    std::vector<std::pair<std::string, std::string>> files{{"sig32ce.inx", image("sig32ce.inx")}};
    for (int f = 0; f < kSetFiles; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "data%02d.inx", f);
      files.emplace_back(name, content(n, f));
    }
    return fileSet("set" + std::to_string(n), versionOf(n), files);
  }

  // The set the installation holds whole, or -1 for a mix (0: none yet).
  int installedSet() {
    int found = -2;
    for (int f = 0; f < kSetFiles; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "data%02d.inx", f);
      const std::string c = installedExists(name) ? installed(name) : "";
      int n = 0;
      if (!c.empty() && std::sscanf(c.c_str(), "set %d", &n) != 1) return -1;
      if (found == -2) found = n;
      if (found != n) return -1;
    }
    const std::string v = installed("scanver.cnf");
    if (found == 0) return v == image("scanver.cnf") ? 0 : -1;
    return v == versionOf(found) ? found : -1;
  }

  // What the device's start does: the update engine's recovery, called as
  // the start-up code calls it.
  bool recover() {
    ce::HMODULE lib = ce::LoadLibraryW((install + u"\\updengine.dll").c_str());
    if (!lib) return false;
    auto fn = reinterpret_cast<PFN_RecoverUpdate>(ce::GetProcAddressW(lib, u"RecoverUpdate"));
    int32_t ok = fn ? fn(install.c_str()) : 0;
    ce::FreeLibrary(lib);
    return ok == 1;
  }

  // Installs set 1 and times the tail of its update, from "replacing files"
  // on (zero when the update failed).
  std::chrono::microseconds replacementTail() {
    pack(setFiles(1), localServer());
    Program calibrate(nxupdateArgs());
    for (std::string line; !(line = calibrate.readLine()).empty() || !calibrate.ended();)
      if (line.rfind("1007", 0) == 0) break;
    const auto start = std::chrono::steady_clock::now();
    calibrate.readRest();
    if (calibrate.wait() != 0) return std::chrono::microseconds(0);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  }

  // The update to set n, killed `us` microseconds after "replacing files";
  // false when it ended before it got there.
  bool updateKilledInTheReplacement(int n, long us) {
    pack(setFiles(n), localServer());
    Program update(nxupdateArgs());
    bool replacing = false;
    for (std::string line; !(line = update.readLine()).empty() || !update.ended();) {
      if (line.rfind("1007", 0) == 0) {
        replacing = true;
        break;
      }
    }
    if (replacing) std::this_thread::sleep_for(std::chrono::microseconds(us));
    update.signal(SIGKILL);
    update.wait();
    return replacing;
  }
};

TEST_F(Interruption, KilledAtRandomPointsOfTheReplacementTheNextStartFindsAWholeSet) {
  // How long the tail of an update takes here, from "replacing files" on.
  const auto tail = replacementTail();
  ASSERT_GT(tail.count(), 0);
  ASSERT_EQ(installedSet(), 1);

  const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long> delay(0, std::max<long>(tail.count() * 3 / 4, 200));
  constexpr int kRuns = 30;
  int inside = 0, before = 0, after = 0;
  for (int n = 2; n < 2 + kRuns; ++n) {
    SCOPED_TRACE("run " + std::to_string(n) + ", seed " + std::to_string(seed));
    ASSERT_TRUE(updateKilledInTheReplacement(n, delay(rng))) << "the update got to the replacement";
    if (installedExists("replace.jnl"))
      ++inside;
    else if (installedSet() == n)
      ++after;
    else
      ++before;

    ASSERT_TRUE(recover());
    const int now = installedSet();
    EXPECT_TRUE(now == n || now == n - 1) << "a whole set, old or new: " << now;
    EXPECT_FALSE(installedExists("replace.jnl"));
    EXPECT_TRUE(folderEmpty("Upgrade"));
    EXPECT_EQ(scan(work.path() + "/eicar.com").status, 1) << "the engine loads and detects";
    // And the next update brings the set whatever the last one got to.
    auto r = nxupdate();
    EXPECT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(installedSet(), n);
  }
  std::printf("kills: %d inside the replacement, %d before it, %d after it (seed %u, tail %lld us)\n", inside, before,
              after, seed, static_cast<long long>(tail.count()));
  EXPECT_GT(inside, 0) << "no kill landed inside the replacement";
}

TEST_F(Interruption, TheDevicesStartFinishesAnUpdateKilledInTheReplacement) {
  const auto tail = replacementTail();
  ASSERT_GT(tail.count(), 0);
  // Killed at a random point of the replacement until a kill leaves the journal.
  std::mt19937 rng(static_cast<unsigned>(tail.count()));
  std::uniform_int_distribution<long> delay(0, std::max<long>(tail.count() * 3 / 4, 200));
  int n = 2;
  for (; n < 32 && !installedExists("replace.jnl"); ++n) updateKilledInTheReplacement(n, delay(rng));
  if (!installedExists("replace.jnl")) GTEST_SKIP() << "no kill landed inside the replacement in 30 tries";
  const int killed = n - 1;
  auto boot = Program::run({tool("nxdevice"), "--device-root", dev.root(), "boot"});
  auto down = Program::run({tool("nxdevice"), "--device-root", dev.root(), "shutdown"});
  ASSERT_EQ(boot.status, 0) << boot.out;
  EXPECT_EQ(down.status, 0) << down.out;
  EXPECT_FALSE(installedExists("replace.jnl")) << "the start finished the update";
  const int now = installedSet();
  EXPECT_TRUE(now == killed || now == killed - 1) << "a whole set, old or new: " << now;
  EXPECT_TRUE(folderEmpty("Upgrade"));
}

TEST_F(Interruption, FullStoreWhileStagingLeavesTheInstallationAsItWas) {
  std::string noise(2 << 20, '\0');
  std::mt19937 rng(7);
  for (auto& c : noise) c = static_cast<char>(rng());
  // The package itself does not fit, then one whose member does not.
  for (const auto& [name, body] : {std::pair<std::string, std::string>{"noise", noise},
                                   std::pair<std::string, std::string>{"zeros", std::string(4 << 20, '\0')}}) {
    SCOPED_TRACE(name);
    fs::remove_all(localServer());
    pack(fileSet(name, versionRecord(1, 0, 12), {{"big.inx", body}, {"latest.inx", name}}), localServer());
    const size_t before = reports().size();
    auto r = nxupdate("now", {{}, false, 1 << 20, false});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(lastReport(before).title, "UPDATE FAILED");
    EXPECT_EQ(installed("scanver.cnf"), image("scanver.cnf"));
    EXPECT_FALSE(installedExists("big.inx"));
    EXPECT_FALSE(installedExists("latest.inx"));
    EXPECT_FALSE(installedExists("replace.jnl"));
    EXPECT_TRUE(folderEmpty("temp"));
    EXPECT_TRUE(folderEmpty("Upgrade"));
    EXPECT_EQ(scan(work.path() + "/eicar.com").status, 1);
  }
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "zeros");
}

}  // namespace
}  // namespace updtest
