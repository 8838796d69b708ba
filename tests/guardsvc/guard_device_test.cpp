// The guard end to end: running in the device's service host as "OLN0:",
// against files copied into the device from the host, with its settings
// changed by another process (this test) while it runs.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "ce/ce.h"
#include "ce/screen.h"
#include "guard_fixture.h"
#include "guardsvc/display_path.h"

namespace {

namespace fs = std::filesystem;
using guardtest::ceProgram;
using guardtest::u16;
using guardtest::u8;
using guardtest::waitFor;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class GuardDeviceTest : public ::testing::Test {
 protected:
  void start(bool testScanner = false) {
    g.install(testScanner);
    ASSERT_TRUE(g.start()) << "error " << ce::GetLastError();
    // Protection is on once the guard watches the device.
    ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 1; }));
  }
  // Waits for the report count to reach n.
  bool reports(size_t n) {
    return waitFor([&] { return g.reports().size() >= n; });
  }
  bool logged(const std::string& part) {
    return waitFor([&] {
      for (const auto& l : g.logLines())
        if (contains(l, part)) return true;
      return false;
    });
  }
  guardtest::GuardDevice g{20.0};
};

TEST_F(GuardDeviceTest, AnInfectedFileIsActedOnAsTheOptionsSayReportedAndShown) {
  start();
  struct Case {
    const char* name;
    int action, copy;
    const char* word;    // the report's "Action Taken:"
    const char* note;    // the notification's text
    bool stays;
    std::vector<ce::DWORD> kinds;
  } cases[] = {
      {"repair, delete if unsuccessful", 0, 0, "Deleted", "File was deleted.", false, {}},
      {"repair, delete if unsuccessful, with a copy", 0, 1, "Deleted", "File was deleted.", false, {8}},
      {"repair, quarantine if unsuccessful", 1, 0, "Quarantined", "File was quarantined.", false, {7}},
      {"repair, quarantine if unsuccessful, with a copy", 1, 1, "Quarantined", "File was quarantined.", false, {8}},
      {"delete automatically", 2, 0, "Deleted", "File was deleted.", false, {}},
      {"delete automatically, with a copy", 2, 1, "Deleted", "File was deleted.", false, {8}},
      {"prompt", 3, 1, "Unrepairable", "File was unrepairable.", true, {}},
      {"report only", 4, 1, "Skipped", "File was skipped.", true, {}},
  };
  size_t n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Written by this process while the guard runs in the service host.
    g.setOnline(c.action, c.copy);
    std::string rel = "Data/case" + std::to_string(n) + "/eicar.com";
    std::string dev = "\\Data\\case" + std::to_string(n) + "\\eicar.com";
    g.hostCopy(guardtest::sample("eicar.com"), rel);
    // A file that stays can be told once per change event (created, then
    // written) when the worker takes it in between: found by its title.
    ++n;
    guardtest::Report r;
    ASSERT_TRUE(waitFor([&] {
      for (const auto& rep : g.reports())
        if (rep.title == dev) {
          r = rep;
          return true;
        }
      return false;
    }));
    EXPECT_TRUE(contains(r.text, "Report For: " + dev + " \r\n")) << r.text;
    EXPECT_TRUE(contains(r.text, "File Name: " + dev + "\r\nDetected: EICAR Test File\r\nAction Taken: " + c.word +
                                     "\r\n---------------------------------------------------"))
        << r.text;
    EXPECT_EQ(fs::exists(g.dev.host(rel)), c.stays);
    std::vector<ce::DWORD> kinds;
    for (const auto& q : g.quarantine())
      if (u8(q.source) == dev) kinds.push_back(q.kind);
    EXPECT_EQ(kinds, c.kinds);
    ASSERT_TRUE(waitFor([&] {
      auto notes = g.notices();
      return !notes.empty() && notes.back().file == dev;
    }));
    guardtest::Notice note = g.notices().back();
    EXPECT_EQ(note.virus, "EICAR Test File");
    EXPECT_EQ(note.action, c.note);
  }
}

TEST_F(GuardDeviceTest, ACleanFileGivesNoDialogAndNoReport) {
  start();
  g.hostCopy(guardtest::sample("readme.txt"), "Data/readme.txt");
  g.hostCopy(guardtest::sample("nyxel-demo.exe"), "Data/later/demo.exe");
  ASSERT_TRUE(g.waitHandled(u"\\Data\\readme.txt"));
  guard::FileState f{};
  ASSERT_TRUE(g.fileState(u"\\Data\\readme.txt", &f));
  EXPECT_GE(f.scans, 1u);
  EXPECT_EQ(f.lastCode, 0u);
  // The program carries the demo signature: the one report and the one notice.
  ASSERT_TRUE(reports(1));
  ASSERT_TRUE(waitFor([&] { return !g.notices().empty(); }));
  EXPECT_EQ(g.reports().size(), 1u);
  EXPECT_EQ(g.reports()[0].title, "\\Data\\later\\demo.exe");
  for (const auto& n : g.notices()) EXPECT_NE(n.file, "\\Data\\readme.txt");
}

TEST_F(GuardDeviceTest, AFileWrittenTwiceBeforeTheWorkerReachesItIsScannedOnce) {
  start(true);
  g.setOnline(4, 0);
  g.hold();
  uint64_t merged = g.stats().eventsMerged;
  g.hostWrite("Data/twice.exe", ceProgram("INFECTED first"));
  g.hostWrite("Data/twice.exe", ceProgram("INFECTED second"));
  // Events come in the order of the changes: once a later file is queued,
  // every event of the two writes has reached the guard. The kernel may fold
  // the second close into the first, so at least one event was merged.
  g.hostWrite("Data/later.txt", "later");
  guard::FileState later{};
  ASSERT_TRUE(waitFor([&] { return g.fileState(u"\\Data\\later.txt", &later); }));
  EXPECT_GE(g.stats().eventsMerged, merged + 1);
  g.release();
  ASSERT_TRUE(reports(1));
  ASSERT_TRUE(g.waitHandled(u"\\Data\\twice.exe"));
  guard::FileState f{};
  ASSERT_TRUE(g.fileState(u"\\Data\\twice.exe", &f));
  EXPECT_EQ(f.scans, 1u);
  ASSERT_EQ(g.reports().size(), 1u);
  EXPECT_EQ(g.reports()[0].title, "\\Data\\twice.exe");
}

TEST_F(GuardDeviceTest, TheEnginesOwnRepairIsNotScannedAgain) {
  start(true);
  g.setOnline(0, 0);
  g.hostPut("Data/fix.exe", ceProgram("INFECTED REPAIRABLE"));
  ASSERT_TRUE(reports(1));
  EXPECT_TRUE(contains(g.reports()[0].text, "Action Taken: Repaired")) << g.reports()[0].text;
  EXPECT_TRUE(contains(g.dev.readFile("Data/fix.exe"), "repaired"));
  // The repair's own change notifications come before this file's.
  g.hostWrite("Data/after.txt", "after");
  ASSERT_TRUE(g.waitHandled(u"\\Data\\after.txt"));
  guard::FileState f{};
  ASSERT_TRUE(g.fileState(u"\\Data\\fix.exe", &f));
  EXPECT_EQ(f.scans, 1u) << "handled " << f.handled << " times";
  EXPECT_EQ(g.reports().size(), 1u);
  ASSERT_TRUE(waitFor([&] { return !g.notices().empty(); }));
  EXPECT_EQ(g.notices().back().action, "File was repaired.");
  // Changed again by someone else: scanned again.
  g.hostWrite("Data/fix.exe", ceProgram("INFECTED again"));
  ASSERT_TRUE(reports(2));
  EXPECT_TRUE(contains(g.reports()[1].text, "Action Taken: Deleted")) << g.reports()[1].text;
}

TEST_F(GuardDeviceTest, ProtectionOffAndDamagedOptionsWhileTheGuardRuns) {
  start();
  // The folder is watched before protection goes off, so the copy into it
  // gives exactly its two events (created, then written).
  g.hostWrite("Data/off/watched.txt", "x");
  ASSERT_TRUE(g.waitHandled(u"\\Data\\off\\watched.txt"));
  g.setOnline(4, 0, 0);
  const uint64_t off = g.stats().eventsOff;
  g.hostCopy(guardtest::sample("eicar.com"), "Data/off/eicar.com");
  // The file's events have reached the guard (and were dropped) before
  // protection is switched back on.
  ASSERT_TRUE(waitFor([&] { return g.stats().eventsOff >= off + 2; })) << g.stats().eventsOff - off;
  // Events are handled in order: once the guard is back on, nothing of what
  // came while it was off is scanned.
  g.setOnline(4, 0, 1);
  g.hostCopy(guardtest::sample("eicar.com"), "Data/on/eicar.com");
  ASSERT_TRUE(reports(1));
  ASSERT_TRUE(g.waitHandled(u"\\Data\\on\\eicar.com"));
  EXPECT_EQ(g.reports().size(), 1u);
  EXPECT_EQ(g.reports()[0].title, "\\Data\\on\\eicar.com");
  guard::FileState f{};
  EXPECT_FALSE(g.fileState(u"\\Data\\off\\eicar.com", &f)) << "never queued";

  // The current options damaged: the guard keeps the ones it read last.
  std::string cfg = g.installHost + "/Config/wmolncnf.dat";
  std::string bytes;
  {
    std::ifstream in(cfg, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GE(bytes.size(), 10u);
  bytes[9] = static_cast<char>(2);  // the action byte, without fixing the checksum
  {
    std::ofstream out(cfg, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  ce::HANDLE changed = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"Online Options_Changed");
  ce::SetEvent(changed);
  ce::CloseHandle(changed);
  ASSERT_TRUE(logged("on-access options could not be read"));
  g.hostCopy(guardtest::sample("eicar.com"), "Data/damaged/eicar.com");
  ASSERT_TRUE(reports(2));
  EXPECT_TRUE(contains(g.reports()[1].text, "Action Taken: Skipped")) << "still report only";
  EXPECT_TRUE(fs::exists(g.dev.host("Data/damaged/eicar.com")));
}

TEST_F(GuardDeviceTest, FilesGoneOrRenamedBeforeTheWorkerReachesThem) {
  start(true);
  g.setOnline(4, 0);
  g.hold();
  g.hostWrite("Data/gone.exe", ceProgram("INFECTED"));
  g.hostWrite("Data/old.exe", ceProgram("INFECTED"));
  fs::remove(g.dev.host("Data/gone.exe"));
  fs::rename(g.dev.host("Data/old.exe"), g.dev.host("Data/new.exe"));
  ASSERT_TRUE(waitFor([&] { return g.stats().pendingNow >= 3; }));
  g.release();
  ASSERT_TRUE(reports(1));
  ASSERT_TRUE(g.waitHandled(u"\\Data\\gone.exe"));
  ASSERT_TRUE(g.waitHandled(u"\\Data\\old.exe"));
  EXPECT_EQ(g.reports().size(), 1u);
  EXPECT_EQ(g.reports()[0].title, "\\Data\\new.exe");
  EXPECT_EQ(g.stats().notScanned, 0u) << "a file that went away is nothing to tell";
}

TEST_F(GuardDeviceTest, AFifoNeverHangsTheWorker) {
  start();
  g.setOnline(4, 0);
  fs::create_directories(g.dev.host("Data"));
  ASSERT_EQ(::mkfifo(g.dev.host("Data/pipe").c_str(), 0644), 0);
  g.hostCopy(guardtest::sample("eicar.com"), "Data/after-the-pipe.com");
  ASSERT_TRUE(reports(1));
  EXPECT_EQ(g.reports()[0].title, "\\Data\\after-the-pipe.com");
  EXPECT_TRUE(logged("Not a file, not scanned: \\Data\\pipe"));
}

TEST_F(GuardDeviceTest, LongPathsAreScannedOrToldNeverDroppedInSilence) {
  start();
  g.setOnline(2, 0);
  // Folders of the host make device paths ("\" + rel) of each length.
  auto pathOf = [](size_t length) {
    std::string rel = "Data";
    while (1 + rel.size() + 51 + 1 + 20 < length) rel += "/" + std::string(50, 'p');
    size_t name = length - 1 - rel.size() - 1;
    return rel + "/" + std::string(name - 4, 'n') + ".com";
  };
  struct Case {
    size_t length;
    const char* word;  // nullptr: told in the debug log only
  } cases[] = {{259, "Deleted"}, {260, "Not scanned"}, {400, "Not scanned"}, {1023, "Not scanned"}, {1100, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    std::string rel = pathOf(c.length);
    std::string dev = "\\" + rel;
    for (char& ch : dev)
      if (ch == '/') ch = '\\';
    ASSERT_EQ(dev.size(), c.length);
    g.hostCopy(guardtest::sample("eicar.com"), rel);
    if (c.word) {
      // A file the file layer refuses is told once for each of its change
      // events (created, then written), so the report is found by its path.
      guardtest::Report r;
      ASSERT_TRUE(waitFor([&] {
        for (const auto& rep : g.reports())
          if (contains(rep.text, "File Name: " + dev + "\r\n")) {
            r = rep;
            return true;
          }
        return false;
      })) << "no report with the path whole";
      EXPECT_TRUE(contains(r.text, std::string("Action Taken: ") + c.word)) << r.text;
      if (c.length >= 260) {
        EXPECT_TRUE(contains(r.text, "Detected: (path too long)")) << r.text;
      }
    } else {
      EXPECT_TRUE(logged("Path too long to be scanned: " + dev));
    }
  }
}

TEST_F(GuardDeviceTest, AFullQueueLosesNoEventWithoutATrace) {
  start(true);
  g.setOnline(4, 0);
  g.hold();
  for (int i = 0; i < 1010; ++i) g.hostWrite("Data/many/" + std::to_string(i) + ".txt", "x");
  ASSERT_TRUE(waitFor([&] { return g.stats().eventsLost >= 10; }, 60000)) << uint64_t{g.stats().eventsLost};
  g.release();
  ASSERT_TRUE(waitFor([&] { return g.stats().pendingNow == 0; }, 120000));
  int lines = 0;
  ASSERT_TRUE(waitFor([&] {
    lines = 0;
    for (const auto& l : g.logLines())
      if (contains(l, "Scan queue full, a change was not scanned: \\Data\\many\\")) ++lines;
    return lines >= 10;
  }));
}

TEST_F(GuardDeviceTest, TheNotificationDialogAnswersOkCloseHelpAndTheScreen) {
  start();
  g.setOnline(4, 0);
  g.hostCopy(guardtest::sample("eicar.com"), "Data/Downloads/some/where/eicar.com");
  ASSERT_TRUE(waitFor([&] { return !g.notices().empty(); }));
  guardtest::Notice n = g.notices().back();
  EXPECT_EQ(n.file, u8(guard::displayPath(u"\\Data\\Downloads\\some\\where\\eicar.com", false)));
  EXPECT_EQ(n.file, "\\Data\\Downloads\\so...me\\where\\eicar.com");
  EXPECT_EQ(n.line.value("caption", ""), "Nyxel");
  int bold = 0;
  for (const auto& c : n.line["controls"])
    if (c.value("weight", 0) == 700 && c.value("height", 0) == 13) ++bold;
  EXPECT_EQ(bold, 3) << "the three labels";
  ce::HWND dlg = reinterpret_cast<ce::HWND>(std::stoul(n.line.value("window", "0"), nullptr, 16));

  // Turned: laid out for landscape while it shows.
  ASSERT_TRUE(ce::screen::SetOrientation(ce::screen::Orientation::Landscape));
  EXPECT_TRUE(waitFor([&] {
    for (const auto& j : g.journal())
      if (j.value("template", 0) == 105 && j["screen"].value("orientation", "") == "landscape" &&
          j.value("x", 0) == 24 && j.value("w", 0) == 272)
        return true;
    return false;
  }));
  ce::screen::SetOrientation(ce::screen::Orientation::Portrait);

  // Help: no viewer on this device, so the box says so, owned by the dialog.
  ASSERT_TRUE(ce::PostMessageW(dlg, ce::WM_HELP, 0, 0));
  ASSERT_TRUE(waitFor([&] { return !g.messageBoxes("Cannot open help. The file cannot be found.").empty(); }));
  guardtest::Json box = g.messageBoxes("Cannot open help. The file cannot be found.").back();
  EXPECT_EQ(box.value("caption", ""), "Nyxel");
  EXPECT_EQ(box.value("owner", ""), n.line.value("window", ""));
  // With the viewer there, it is asked for the product's help page.
  fs::create_directories(g.dev.host("Windows"));
  fs::copy_file(guardtest::buildFile("bin/peghelp"), g.dev.host("Windows/peghelp.exe"));
  ASSERT_EQ(::chmod(g.dev.host("Windows/peghelp.exe").c_str(), 0755), 0);
  ASSERT_TRUE(ce::PostMessageW(dlg, ce::WM_HELP, 0, 0));
  ASSERT_TRUE(waitFor([&] {
    for (const auto& j : g.journal())
      if (j.value("event", "") == "open" && j.value("page", "") == "file://\\Windows\\nxavwm.htm") return true;
    return false;
  })) << "the help viewer never opened the page";
  EXPECT_EQ(g.messageBoxes("Cannot open help. The file cannot be found.").size(), 1u);

  // Ok hides it; the next notice shows it again; WM_CLOSE hides it too.
  ce::SendMessageW(dlg, ce::WM_COMMAND, ce::MAKEWPARAM(1003, ce::BN_CLICKED), 0);
  EXPECT_FALSE(ce::IsWindowVisible(dlg));
  g.hostCopy(guardtest::sample("eicar.com"), "Data/again.com");
  ASSERT_TRUE(waitFor([&] { return ce::IsWindowVisible(dlg) != 0; }));
  ce::SendMessageW(dlg, ce::WM_CLOSE, 0, 0);
  EXPECT_FALSE(ce::IsWindowVisible(dlg));
  EXPECT_TRUE(ce::IsWindow(dlg)) << "hidden, not destroyed";
}

TEST_F(GuardDeviceTest, WithoutTheStringLibraryTheBuiltInTextsAreUsed) {
  g.install();
  g.removeInstalled("uires.dll");
  ASSERT_TRUE(g.start());
  ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 1; }));
  g.setOnline(4, 0);
  g.hostCopy(guardtest::sample("eicar.com"), "Data/eicar.com");
  ASSERT_TRUE(reports(1));
  EXPECT_TRUE(contains(g.reports()[0].text, "Action Taken: Skipped"));
  ASSERT_TRUE(waitFor([&] { return !g.notices().empty(); }));
  EXPECT_EQ(g.notices().back().action, "File was skipped.");
}

TEST_F(GuardDeviceTest, WithoutTheScanningApiTheGuardSaysSoAndStaysUnprotected) {
  g.install();
  g.removeInstalled("avapi.dll");
  // The service itself starts: only protection cannot be turned on.
  ASSERT_TRUE(g.start());
  ASSERT_TRUE(waitFor([&] { return !g.messageBoxes("EnableOnlineProtection()").empty(); }));
  guardtest::Json box = g.messageBoxes("EnableOnlineProtection()")[0];
  EXPECT_EQ(box.value("caption", ""), "Nyxel");
  EXPECT_EQ(box.value("type", 0), 0x40000);
  EXPECT_TRUE(box["owner"].is_null());
  EXPECT_EQ(g.stats().protectedNow, 0u);
  g.hostCopy(guardtest::sample("eicar.com"), "Data/eicar.com");
  // The guard stops cleanly with its user-interface thread already gone.
  EXPECT_TRUE(g.stop());
  EXPECT_TRUE(g.reports().empty());
  EXPECT_TRUE(fs::exists(g.dev.host("Data/eicar.com")));
}

}  // namespace
