// Updates that replace what running scanners use: an engine update under a
// running nxscan (the module it maps moved aside as ".1nx", the scanner
// reloading and still detecting), and a replacement that cannot be made
// (every file put back, the scanners let go again).
#include <signal.h>

#include "update_bed.h"

namespace updtest {
namespace {

class EngineUpdate : public UpdateBed {
 protected:
  // A module of the image with bytes after its end: it loads the same and
  // tells which set a file came from.
  std::string marked(const std::string& module, const std::string& mark) { return image(module) + "\nNXSET " + mark; }

  // The "Current Version" of every version key below the product's, sorted
  // and joined by commas.
  std::string currentVersion() {
    ce::HKEY product = nullptr;
    if (ce::RegOpenKeyExW(ce::HKEY_CURRENT_USER, u"Software\\Nyxel\\Nyxel AntiVirus", 0, ce::KEY_READ, &product) !=
        ce::ERROR_SUCCESS)
      return "(no key)";
    std::vector<std::string> values;
    for (ce::DWORD i = 0;; ++i) {
      ce::WCHAR name[64];
      ce::DWORD len = 64;
      if (ce::RegEnumKeyExW(product, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ce::ERROR_SUCCESS) break;
      std::string value = "(no version value)";
      ce::HKEY v = nullptr;
      if (ce::RegOpenKeyExW(product, name, 0, ce::KEY_READ, &v) == ce::ERROR_SUCCESS) {
        ce::WCHAR text[64] = {};
        ce::DWORD cb = sizeof text;
        if (ce::RegQueryValueExW(v, u"Current Version", nullptr, nullptr, reinterpret_cast<ce::BYTE*>(text), &cb) ==
            ce::ERROR_SUCCESS)
          value = ce::utf16ToUtf8(text);
        ce::RegCloseKey(v);
      }
      values.push_back(value);
    }
    ce::RegCloseKey(product);
    std::sort(values.begin(), values.end());
    std::string joined;
    for (const auto& v : values) joined += (joined.empty() ? "" : ",") + v;
    return joined.empty() ? "(no version key)" : joined;
  }
};

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

TEST_F(EngineUpdate, ModuleOfARunningScannerIsMovedAsideAndTheScannerReloadsAndStillDetects) {
  const std::string corpus = work.path() + "/corpus";
  fs::create_directories(corpus);
  constexpr int kFiles = 2000;
  for (int i = 0; i < kFiles; ++i) {
    char name[32];
    const bool eicar = i == 0 || i == kFiles / 2 || i == kFiles - 1;
    std::snprintf(name, sizeof name, "/f%04d.%s", i, eicar ? "com" : "txt");
    spit(corpus + name, eicar ? std::string(kEicar) : "clean text " + std::to_string(i) + "\n");
  }
  const std::string newAvapi = marked("avapi.dll", "B"), newScan = marked("scan.dll", "B");
  pack(fileSet("engine", versionRecord(1, 1, 11), {{"avapi.dll", newAvapi}, {"scan.dll", newScan}}), localServer());
  useLocalFolder();
  const std::string countsBefore = installed("updttype.cfg");

  // The update waits at its first check while the scanner gets going.
  ce::HANDLE pause = ce::CreateEventW(nullptr, ce::TRUE, ce::TRUE, u"NX_Update_Event_Pause");
  ce::HANDLE resume = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"NX_Update_Event_Resume");
  ce::HANDLE unload = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"NX_Unload_AdvAvapi_Event");
  Program update(nxupdateArgs());
  ASSERT_EQ(update.readLine(), "1000 update starting");
  Program scanner({tool("nxscan"), "--device-root", dev.root(), "-v", "-j1", "--no-summary", corpus},
                  {{}, true, -1, false});
  ASSERT_NE(scanner.readLine(), "") << "the scanner is scanning with its engine loaded";
  // Held mid-scan until the update asks the engines to let go, so that the
  // replacement finds it running whatever the machine's pace.
  scanner.signal(SIGSTOP);
  ce::SetEvent(resume);
  ASSERT_EQ(ce::WaitForSingleObject(unload, 600000), ce::WAIT_OBJECT_0);
  scanner.signal(SIGCONT);

  const std::string out = update.readRest();
  ASSERT_EQ(update.wait(), 0) << out;
  EXPECT_TRUE(has(codes(out), 1008)) << out;
  // The scanner still maps the avapi.dll it started with: moved aside, not
  // overwritten. It let go of the engine modules, which were replaced.
  EXPECT_EQ(installed("avapi.dll.1nx"), image("avapi.dll"));
  EXPECT_FALSE(installedExists("scan.dll.1nx"));
  EXPECT_EQ(installed("avapi.dll"), newAvapi);
  EXPECT_EQ(installed("scan.dll"), newScan);
  EXPECT_EQ(installed("scanver.cnf"), versionRecord(1, 1, 11));
  EXPECT_EQ(currentVersion(), "01.01") << "the engine's key replaces the one setup made";
  const std::string counts = installed("updttype.cfg");
  ASSERT_EQ(counts.size(), 4u);
  EXPECT_EQ(uint8_t(counts[0]), uint8_t(countsBefore.size() == 4 ? countsBefore[0] : 0) + 1) << "an engine update";

  // Every file has its verdict, the three test files detected, nothing
  // failed: the engine came back after the replacement.
  const std::string verdicts = scanner.readRest();
  EXPECT_EQ(scanner.wait(), 1) << verdicts;
  EXPECT_EQ(countOf(verdicts, "\n") + (verdicts.empty() || verdicts.back() == '\n' ? 0 : 1), size_t(kFiles) - 1)
      << "the first verdict was read above";
  EXPECT_EQ(countOf(verdicts, " FOUND") + 1, 3u) << verdicts.substr(0, 400);  // f0000.com came first
  EXPECT_EQ(countOf(verdicts, "ERROR"), 0u);

  // Nobody maps the old module now: the next update's start removes it.
  auto again = nxupdate();
  EXPECT_EQ(again.status, 0) << again.out;
  EXPECT_FALSE(installedExists("avapi.dll.1nx"));
  EXPECT_EQ(scan(corpus + "/f1999.com").status, 1);
  ce::CloseHandle(pause);
  ce::CloseHandle(resume);
  ce::CloseHandle(unload);
}

TEST_F(EngineUpdate, LargePackageUnpacksWhateverThePaceOfTheDeviceClock) {
  // Unpacking takes its time in host terms: on a device clock five thousand
  // times as fast it lasts many device minutes, longer than an archive
  // reader allows a scanned file by default.
  std::string table(12 << 20, '\0');
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<char>((i * 7) % 251);
  pack(fileSet("large", versionRecord(1, 0, 11), {{"large.inx", table}}), localServer());
  useLocalFolder();
  ASSERT_TRUE(ce::SetClockSpeed(5000));
  auto r = nxupdate();
  ce::SetClockSpeed(kSpeed);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("large.inx"), table);
}

TEST_F(EngineUpdate, HigherEngineWithoutAnEnginePackageIsUpToDate) {
  // A database package (type 100) whose version record has a higher engine.
  pack(fileSet("notype", versionRecord(1, 1, 11), {{"latest.inx", "x"}}), localServer(), {"--type", "100"});
  useLocalFolder();
  const size_t before = reports().size();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(codes(r.out), 1009));
  EXPECT_EQ(lastReport(before).title, "UP-TO-DATE");
  EXPECT_EQ(installed("scanver.cnf"), image("scanver.cnf"));
  EXPECT_EQ(currentVersion(), "1.00") << "only the version setup recorded";
}

TEST_F(EngineUpdate, FileThatCannotBeMovedPutsEveryFileBackAndLetsTheEnginesGo) {
  pack(fileSet("db", versionRecord(1, 0, 11),
               {{"sig32ce.inx", image("sig32ce.inx") + "x"}, {"sigaif.inx", image("sigaif.inx") + "x"},
                {"latest.inx", "new"}}),
       localServer());
  useLocalFolder();
  const std::string counts = installed("updttype.cfg");
  // A reader that does not share deletion holds one of the files.
  ce::HANDLE held = ce::CreateFileW((install + u"\\sigaif.inx").c_str(), ce::GENERIC_READ,
                                    ce::FILE_SHARE_READ | ce::FILE_SHARE_WRITE, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, ce::INVALID_HANDLE_VALUE);
  ce::HANDLE unload = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"NX_Unload_AdvAvapi_Event");
  ce::HANDLE reload = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"NX_Reload_AdvAvapi_Event");
  const size_t before = reports().size();
  auto r = nxupdate();
  ce::CloseHandle(held);
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(has(codes(r.out), 1012)) << r.out;
  EXPECT_EQ(lastReport(before).title, "UPDATE FAILED");
  for (const char* f : {"sig32ce.inx", "sigaif.inx", "scanver.cnf"}) EXPECT_EQ(installed(f), image(f)) << f;
  EXPECT_FALSE(installedExists("latest.inx"));
  EXPECT_FALSE(installedExists("index.dat"));
  EXPECT_EQ(installed("updttype.cfg"), counts);
  EXPECT_FALSE(installedExists("replace.jnl"));
  EXPECT_TRUE(folderEmpty("Upgrade"));
  // The engines were asked to let go and then told to load again.
  EXPECT_EQ(ce::WaitForSingleObject(reload, 0), ce::WAIT_OBJECT_0);
  EXPECT_EQ(ce::WaitForSingleObject(unload, 0), ce::WAIT_TIMEOUT);
  ce::CloseHandle(unload);
  ce::CloseHandle(reload);
  // Once the reader is gone the same update goes through.
  r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "new");
}

}  // namespace
}  // namespace updtest
