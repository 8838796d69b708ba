// The guard's threads in this process (so that ThreadSanitizer sees them
// all): files written while the options change and the card holding the
// installation goes out and comes back, and the stop while the reminder shows.
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "ce/ce.h"
#include "common/options_files.h"
#include "guard_fixture.h"

namespace {

namespace fs = std::filesystem;
using guardtest::ceProgram;
using guardtest::Host;
using guardtest::waitFor;

// Files reported, each once however often it was told (a file can be told
// on its creation and again on its close when the worker took it between).
std::set<std::string> reported(guardtest::GuardDevice& g) {
  std::set<std::string> titles;
  for (const auto& r : g.reports()) titles.insert(r.title);
  return titles;
}

TEST(GuardThreads, FilesOptionsAndTheCardAtOnce) {
  guardtest::GuardDevice g(50.0, "\\Storage Card");
  nxtest::TempDir card;
  g.install(true, card.path() + "/Nyxel AntiVirus");
  ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  g.setGeneral(0);
  ASSERT_TRUE(g.start(Host::InProcess));
  ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 1; }));
  g.setOnline(4, 0);

  std::atomic<bool> done{false};
  std::thread options([&] {
    // Report only and prompt both leave the file: each infected file gets
    // one report whichever the guard read.
    for (int i = 0; !done; ++i) {
      nx::WM_ONLINE_OPTS o{1, static_cast<ce::BYTE>(i % 2 ? 3 : 4), 0, {}};
      nx::CWmOptionsGen::WriteOnlineOpts(g.installDev.c_str(), &o, nx::kOptionsReadCurrent);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  const int kFiles = 120;
  for (int i = 0; i < kFiles; ++i)
    g.hostWrite("Data/t" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".exe",
                ceProgram(i % 10 == 0 ? "INFECTED" : "clean"));
  ASSERT_TRUE(waitFor([&] { return reported(g).size() == kFiles / 10; }, 120000)) << reported(g).size();
  done = true;
  options.join();

  // The card out and in again while files keep coming.
  ASSERT_TRUE(ce::RemoveStorageCard());
  ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 0; }));
  g.hostWrite("Data/while-out.exe", ceProgram("INFECTED"));
  ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 1; }));
  g.hostWrite("Data/back-in.exe", ceProgram("INFECTED"));
  ASSERT_TRUE(waitFor([&] { return reported(g).count("\\Data\\back-in.exe") == 1; }, 60000));
  EXPECT_EQ(reported(g).count("\\Data\\while-out.exe"), 0u) << "not watched while the card was out";

  // Out once more, and stopped while the reminder shows.
  ASSERT_TRUE(ce::RemoveStorageCard());
  ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 0; }));
  EXPECT_TRUE(g.stop());
}

}  // namespace
