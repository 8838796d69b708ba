// Shell change notifications: what is posted for changes made by other
// processes (host commands and device programs) in folders made after the
// watch started, how windows pick their events, and the calls' errors.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "shell_records.h"
#include "testkit.h"

using namespace shelltest;

namespace {

class ShellNotify : public ::testing::Test {
 protected:
  void SetUp() override {
    Records::get().clear();
    Records::get().refuse(false);
    Records::get().install();
  }
  void TearDown() override {
    for (auto w : registered_) ce::SHChangeNotifyDeregister(w);
    Records::get().uninstall();
  }
  void watch(ce::HWND w, ce::DWORD mask, const char16_t* folder, bool recursive) {
    ASSERT_TRUE(registerWindow(w, mask, folder, recursive)) << ce::GetLastError();
    registered_.push_back(w);
  }
  std::string temp(const std::string& rel) const { return quoted(dev_.host("Temp/" + rel)); }

  nxtest::TempDevice dev_{100.0};
  std::vector<ce::HWND> registered_;
};

struct Expect {
  ce::LONG code;
  const char* item1;
  const char* item2;
};

struct Step {
  const char* what;
  std::string command;
  std::vector<Expect> expect;
};

TEST_F(ShellNotify, ChangesByOtherProcessesInNestedFoldersMadeAfterTheWatchStarted) {
  const ce::HWND w = window(0x100);
  watch(w, ce::SHCNE_ALLEVENTS, nullptr, true);
  nxtest::TempDir outside;
  host("mkdir " + quoted(outside.path() + "/tree") + " && printf in > " + quoted(outside.path() + "/tree/inner.txt") +
       " && printf m > " + quoted(outside.path() + "/moved.txt"));
  const std::string helper = "NX_DEVICE_ROOT=" + quoted(dev_.root()) + " " + nxtest::helperPath();

  const std::vector<Step> steps = {
      {"nested folders", "mkdir -p " + temp("A/B"),
       {{ce::SHCNE_MKDIR, "\\Temp\\A", nullptr}, {ce::SHCNE_MKDIR, "\\Temp\\A\\B", nullptr}}},
      {"a file written by the host", "printf x > " + temp("A/B/f.txt"),
       {{ce::SHCNE_CREATE, "\\Temp\\A\\B\\f.txt", nullptr}, {ce::SHCNE_UPDATEITEM, "\\Temp\\A\\B\\f.txt", nullptr}}},
      {"a rename in place", "mv " + temp("A/B/f.txt") + " " + temp("A/B/g.txt"),
       {{ce::SHCNE_RENAMEITEM, "\\Temp\\A\\B\\f.txt", "\\Temp\\A\\B\\g.txt"}}},
      {"a move to another folder", "mv " + temp("A/B/g.txt") + " " + temp("A/h.txt"),
       {{ce::SHCNE_RENAMEITEM, "\\Temp\\A\\B\\g.txt", "\\Temp\\A\\h.txt"}}},
      {"a host cp into the device", "cp /etc/hostname " + temp("A/B/c.txt"),
       {{ce::SHCNE_CREATE, "\\Temp\\A\\B\\c.txt", nullptr}, {ce::SHCNE_UPDATEITEM, "\\Temp\\A\\B\\c.txt", nullptr}}},
      {"a file moved in from the host", "mv " + quoted(outside.path() + "/moved.txt") + " " + temp("A/B/m.txt"),
       {{ce::SHCNE_CREATE, "\\Temp\\A\\B\\m.txt", nullptr}}},
      {"a folder moved in from the host", "mv " + quoted(outside.path() + "/tree") + " " + temp("A/B/in"),
       {{ce::SHCNE_MKDIR, "\\Temp\\A\\B\\in", nullptr}, {ce::SHCNE_CREATE, "\\Temp\\A\\B\\in\\inner.txt", nullptr}}},
      {"a file written by a device program", helper + " write_file '\\Temp\\A\\B\\in\\dev.txt' hello",
       {{ce::SHCNE_CREATE, "\\Temp\\A\\B\\in\\dev.txt", nullptr},
        {ce::SHCNE_UPDATEITEM, "\\Temp\\A\\B\\in\\dev.txt", nullptr}}},
      {"a folder renamed", "mkdir " + temp("A/B/C") + " && mv " + temp("A/B/C") + " " + temp("A/D"),
       {{ce::SHCNE_MKDIR, "\\Temp\\A\\B\\C", nullptr}, {ce::SHCNE_RENAMEFOLDER, "\\Temp\\A\\B\\C", "\\Temp\\A\\D"}}},
      {"a file in the renamed folder", "printf y > " + temp("A/D/z.txt"),
       {{ce::SHCNE_CREATE, "\\Temp\\A\\D\\z.txt", nullptr}}},
      {"files and folders deleted", "rm " + temp("A/h.txt") + " && rm -r " + temp("A/D"),
       {{ce::SHCNE_DELETE, "\\Temp\\A\\h.txt", nullptr},
        {ce::SHCNE_DELETE, "\\Temp\\A\\D\\z.txt", nullptr},
        {ce::SHCNE_RMDIR, "\\Temp\\A\\D", nullptr}}},
      {"a file moved out of the device", "mv " + temp("A/B/c.txt") + " " + quoted(outside.path() + "/"),
       {{ce::SHCNE_DELETE, "\\Temp\\A\\B\\c.txt", nullptr}}},
      {"a folder moved out of the device, then changed outside",
       "mv " + temp("A/B/in") + " " + quoted(outside.path() + "/in") + " && printf o > " +
           quoted(outside.path() + "/in/outside.txt") + " && printf s > " + temp("A/sentinel.txt"),
       {{ce::SHCNE_RMDIR, "\\Temp\\A\\B\\in", nullptr}, {ce::SHCNE_CREATE, "\\Temp\\A\\sentinel.txt", nullptr}}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    const size_t before = Records::get().all().size();
    host(step.command);
    for (const auto& e : step.expect) {
      EXPECT_TRUE(Records::get().waitFor(w, e.code, e.item1, e.item2 ? e.item2 : ""))
          << "missing " << std::hex << e.code << " " << e.item1 << "\n"
          << Records::get().dump();
    }
    // In the order they happened.
    auto seen = Records::get().all();
    size_t at = before;
    for (const auto& e : step.expect) {
      while (at < seen.size() && !(seen[at].code == e.code && seen[at].item1 == e.item1)) ++at;
      EXPECT_LT(at, seen.size()) << "out of order: " << e.item1 << "\n" << Records::get().dump();
    }
  }
  // Nothing from outside the device, nothing of its own state folder.
  for (const auto& r : Records::get().all()) {
    EXPECT_EQ(r.item1.find("outside"), std::string::npos) << describe(r);
    EXPECT_EQ(r.item1.find(".ce"), std::string::npos) << describe(r);
  }
}

TEST_F(ShellNotify, RecordsCarryTheHandsetLayout) {
  const ce::HWND w = window(0x101);
  watch(w, ce::SHCNE_ALLEVENTS, nullptr, true);
  // The attributes are read when the record is made: one change at a time.
  host("printf 12345 > " + temp("r.txt"));
  ASSERT_TRUE(Records::get().waitFor(w, ce::SHCNE_UPDATEITEM, "\\Temp\\r.txt"));
  host("chmod a-w " + temp("r.txt") + " && mv " + temp("r.txt") + " " + temp("s.txt"));
  ASSERT_TRUE(Records::get().waitFor(w, ce::SHCNE_RENAMEITEM, "\\Temp\\r.txt", "\\Temp\\s.txt"));
  for (const auto& r : Records::get().of(w)) {
    SCOPED_TRACE(describe(r));
    EXPECT_EQ(r.cbSize, sizeof(ce::FILECHANGEINFO));
    EXPECT_EQ(r.flags, ce::SHCNF_PATH);
    EXPECT_EQ(r.hasItem2, r.code == ce::SHCNE_RENAMEITEM);
    if (r.code == ce::SHCNE_UPDATEITEM) {
      EXPECT_EQ(r.size, 5u);
      EXPECT_EQ(r.attributes, ce::FILE_ATTRIBUTE_NORMAL);
    }
    if (r.code == ce::SHCNE_RENAMEITEM) {
      EXPECT_EQ(r.size, 5u);
      EXPECT_EQ(r.attributes, ce::FILE_ATTRIBUTE_READONLY);  // of the file under its new name
    }
  }
}

TEST_F(ShellNotify, FilesInAFolderFilledBeforeItsWatchExistsAreAllSeen) {
  const ce::HWND w = window(0x102);
  watch(w, ce::SHCNE_ALLEVENTS, nullptr, true);
  // One process, as fast as it goes: most files are made before the watcher
  // has even seen the first folder.
  host("mkdir -p " + temp("X/Y/Z") + " && for i in $(seq 1 40); do printf $i > " + temp("X/Y/Z/f") +
       "$i; printf $i > " + temp("X/Y/g") + "$i; done");
  auto seenAll = [&](const std::vector<Record>& seen) {
    for (int i = 1; i <= 40; ++i) {
      for (const std::string name : {"\\Temp\\X\\Y\\Z\\f", "\\Temp\\X\\Y\\g"}) {
        bool found = false;
        for (const auto& r : seen)
          if ((r.code == ce::SHCNE_CREATE || r.code == ce::SHCNE_UPDATEITEM) && r.item1 == name + std::to_string(i))
            found = true;
        if (!found) return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(Records::get().waitUntil(seenAll)) << Records::get().dump();
  for (const char* folder : {"\\Temp\\X", "\\Temp\\X\\Y", "\\Temp\\X\\Y\\Z"})
    EXPECT_TRUE(Records::get().waitFor(w, ce::SHCNE_MKDIR, folder, "", 0)) << folder;
}

TEST_F(ShellNotify, WindowsGetOnlyTheirFolderAndEvents) {
  host("mkdir -p " + temp("W/S"));
  const ce::HWND flat = window(0x110), deep = window(0x111), creates = window(0x112), root = window(0x113);
  watch(flat, ce::SHCNE_ALLEVENTS, u"\\Temp\\W", false);
  watch(deep, ce::SHCNE_ALLEVENTS, u"/temp/w/./S/..", true);  // spelled otherwise: the same folder
  watch(creates, ce::SHCNE_CREATE, nullptr, true);
  watch(root, ce::SHCNE_ALLEVENTS, u"\\", false);  // the root is the whole device, recursion or not
  host("printf a > " + temp("W/a.txt") + " && printf b > " + temp("W/S/b.txt") + " && printf o > " + temp("o.txt") +
       " && mv " + temp("o.txt") + " " + temp("W/S/o2.txt") + " && printf z > " + temp("W/zz.txt"));
  for (auto w : {flat, deep, root})
    ASSERT_TRUE(Records::get().waitFor(w, ce::SHCNE_UPDATEITEM, "\\Temp\\W\\zz.txt")) << Records::get().dump();
  ASSERT_TRUE(Records::get().waitFor(creates, ce::SHCNE_CREATE, "\\Temp\\W\\zz.txt"));

  auto items = [&](ce::HWND w) {
    std::vector<std::string> out;
    for (const auto& r : Records::get().of(w)) out.push_back(describe(r));
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(items(flat), (V{"0x2 \\Temp\\W\\a.txt", "0x2000 \\Temp\\W\\a.txt", "0x2 \\Temp\\W\\zz.txt",
                            "0x2000 \\Temp\\W\\zz.txt"}));
  EXPECT_EQ(items(deep), (V{"0x2 \\Temp\\W\\a.txt", "0x2000 \\Temp\\W\\a.txt", "0x2 \\Temp\\W\\S\\b.txt",
                            "0x2000 \\Temp\\W\\S\\b.txt", "0x1 \\Temp\\o.txt -> \\Temp\\W\\S\\o2.txt",
                            "0x2 \\Temp\\W\\zz.txt", "0x2000 \\Temp\\W\\zz.txt"}));
  EXPECT_EQ(items(creates), (V{"0x2 \\Temp\\W\\a.txt", "0x2 \\Temp\\W\\S\\b.txt", "0x2 \\Temp\\o.txt",
                               "0x2 \\Temp\\W\\zz.txt"}));
  EXPECT_EQ(items(root).size(), 9u) << Records::get().dump();
}

TEST_F(ShellNotify, TheDevicesOwnStateIsNeverReported) {
  const ce::HWND w = window(0x120);
  watch(w, ce::SHCNE_ALLEVENTS, nullptr, true);
  ce::HKEY key = nullptr;
  ASSERT_EQ(ce::RegCreateKeyExW(ce::HKEY_LOCAL_MACHINE, u"Software\\ShellTest", 0, nullptr, 0, 0, nullptr, &key, nullptr),
            ce::ERROR_SUCCESS);
  ce::DWORD one = 1;
  ce::RegSetValueExW(key, u"One", 0, ce::REG_DWORD, reinterpret_cast<const ce::BYTE*>(&one), sizeof one);
  ce::RegCloseKey(key);
  ASSERT_TRUE(ce::SetClockSpeed(50.0));
  host("printf x > " + quoted(dev_.host(".ce/stray.txt")) + " && printf s > " + temp("after.txt"));
  ASSERT_TRUE(Records::get().waitFor(w, ce::SHCNE_UPDATEITEM, "\\Temp\\after.txt"));
  EXPECT_EQ(Records::get().all().size(), 2u) << Records::get().dump();
}

TEST_F(ShellNotify, TheCardComingAndGoingFromAnotherProcess) {
  nxtest::TempDir card;
  const ce::HWND all = window(0x130), inTemp = window(0x131), files = window(0x132);
  watch(all, ce::SHCNE_ALLEVENTS, nullptr, true);
  watch(inTemp, ce::SHCNE_ALLEVENTS, u"\\Temp", true);
  watch(files, ce::SHCNE_CREATE | ce::SHCNE_UPDATEITEM, nullptr, true);

  ASSERT_EQ(nxtest::runHelper({"card", "insert", card.path()}).exitCode, 0);
  ASSERT_TRUE(Records::get().waitFor(all, ce::SHCNE_DRIVEADD, "\\Storage Card")) << Records::get().dump();
  host("mkdir " + quoted(card.path() + "/DCIM"));
  EXPECT_TRUE(Records::get().waitFor(all, ce::SHCNE_MKDIR, "\\Storage Card\\DCIM"));
  host("printf p > " + quoted(card.path() + "/DCIM/p.jpg"));
  EXPECT_TRUE(Records::get().waitFor(files, ce::SHCNE_UPDATEITEM, "\\Storage Card\\DCIM\\p.jpg"));

  ASSERT_EQ(nxtest::runHelper({"card", "remove"}).exitCode, 0);
  ASSERT_TRUE(Records::get().waitFor(all, ce::SHCNE_DRIVEREMOVED, "\\Storage Card")) << Records::get().dump();
  // The folder is a plain host folder again: nothing in it is the device's.
  host("printf q > " + quoted(card.path() + "/DCIM/q.jpg") + " && printf s > " + temp("s.txt"));
  ASSERT_TRUE(Records::get().waitFor(all, ce::SHCNE_UPDATEITEM, "\\Temp\\s.txt"));
  for (const auto& r : Records::get().all()) EXPECT_EQ(r.item1.find("q.jpg"), std::string::npos) << describe(r);
  // Only the window without a folder hears of the card, and only when it asked.
  for (const auto& r : Records::get().of(inTemp)) EXPECT_EQ(r.item1.rfind("\\Temp\\", 0), 0u) << describe(r);
  for (const auto& r : Records::get().of(files))
    EXPECT_TRUE(r.code == ce::SHCNE_CREATE || r.code == ce::SHCNE_UPDATEITEM) << describe(r);

  // Put back: seen again, and its files too.
  ASSERT_EQ(nxtest::runHelper({"card", "insert", card.path()}).exitCode, 0);
  auto adds = [&](const std::vector<Record>& seen) {
    size_t n = 0;
    for (const auto& r : seen) n += r.window == all && r.code == ce::SHCNE_DRIVEADD;
    return n;
  };
  EXPECT_TRUE(Records::get().waitUntil([&](const std::vector<Record>& seen) { return adds(seen) >= 2; }));
  host("printf r > " + quoted(card.path() + "/DCIM/r.jpg"));
  EXPECT_TRUE(Records::get().waitFor(files, ce::SHCNE_UPDATEITEM, "\\Storage Card\\DCIM\\r.jpg"));
  EXPECT_EQ(adds(Records::get().all()), 2u) << Records::get().dump();
}

TEST_F(ShellNotify, PostsThatFailAreMadeUpForWithUpdates) {
  const ce::HWND w = window(0x140);
  watch(w, ce::SHCNE_ALLEVENTS, nullptr, true);
  Records::get().refuse(true);
  host("mkdir " + temp("full") + " && printf 1 > " + temp("full/one.txt"));
  // Lost, and said so.
  for (int i = 0; i < 200 && dev_.readFile(".ce/device.log").find("could not be posted") == std::string::npos; ++i)
    ::usleep(10000);
  EXPECT_NE(dev_.readFile(".ce/device.log").find("could not be posted"), std::string::npos);
  Records::get().refuse(false);
  EXPECT_TRUE(Records::get().waitFor(w, ce::SHCNE_UPDATEITEM, "\\Temp\\full\\one.txt")) << Records::get().dump();
  // And the watch goes on as before.
  host("printf 2 > " + temp("full/two.txt"));
  EXPECT_TRUE(Records::get().waitFor(w, ce::SHCNE_CREATE, "\\Temp\\full\\two.txt"));
}

TEST_F(ShellNotify, OneRegistrationPerWindowAndNothingAfterDeregistering) {
  const ce::HWND w = window(0x150);
  watch(w, ce::SHCNE_ALLEVENTS, u"\\Temp\\nowhere", true);
  watch(w, ce::SHCNE_CREATE, nullptr, true);  // replaces the first
  host("printf a > " + temp("a.txt"));
  ASSERT_TRUE(Records::get().waitFor(w, ce::SHCNE_CREATE, "\\Temp\\a.txt"));
  ASSERT_TRUE(ce::SHChangeNotifyDeregister(w));
  registered_.clear();
  EXPECT_FALSE(ce::SHChangeNotifyDeregister(w));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_INVALID_PARAMETER);

  // A second window, registered later, starts the watch again.
  const ce::HWND v = window(0x151);
  watch(v, ce::SHCNE_CREATE, nullptr, true);
  host("printf b > " + temp("b.txt"));
  ASSERT_TRUE(Records::get().waitFor(v, ce::SHCNE_CREATE, "\\Temp\\b.txt"));
  EXPECT_EQ(Records::get().of(w).size(), 1u) << Records::get().dump();
}

TEST_F(ShellNotify, BadRegistrationsAreRefusedWithTheirCodes) {
  std::u16string longName(300, u'a');
  longName[0] = u'\\';
  struct Case {
    const char* what;
    ce::HWND window;
    bool withEntry;
    std::u16string folder;
    ce::DWORD error;
  } cases[] = {
      {"no window", nullptr, true, u"", ce::ERROR_INVALID_PARAMETER},
      {"no entry", window(1), false, u"", ce::ERROR_INVALID_PARAMETER},
      {"a relative folder", window(1), true, u"Temp", ce::ERROR_BAD_PATHNAME},
      {"above the root", window(1), true, u"\\..\\x", ce::ERROR_BAD_PATHNAME},
      {"out of the card", window(1), true, u"\\Storage Card\\..", ce::ERROR_BAD_PATHNAME},
      {"too long", window(1), true, longName, ce::ERROR_FILENAME_EXCED_RANGE},
      {"a bad name", window(1), true, u"\\a|b", ce::ERROR_INVALID_NAME},
      {"the device's state", window(1), true, u"\\.ce", ce::ERROR_ACCESS_DENIED},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    ce::SHCHANGENOTIFYENTRY e{ce::SHCNE_ALLEVENTS, c.folder.empty() ? nullptr : c.folder.data(), ce::TRUE};
    ce::SetLastError(0);
    EXPECT_FALSE(ce::SHChangeNotifyRegister(c.window, c.withEntry ? &e : nullptr));
    EXPECT_EQ(ce::GetLastError(), c.error);
  }
  EXPECT_FALSE(ce::SHChangeNotifyDeregister(nullptr));
  ce::SHChangeNotifyFree(nullptr);
  // A folder that does not exist yet, on a card not inserted, is fine.
  watch(window(2), ce::SHCNE_ALLEVENTS, u"\\Storage Card\\Later", true);
}

TEST_F(ShellNotify, RegistrationsOfEveryProcessAreListed) {
  nxtest::HelperProcess watcher({"shell_watch", "2003", "1", "\\My Documents"});
  ASSERT_EQ(watcher.readLine().rfind("ready ", 0), 0u);
  watch(window(0x160), ce::SHCNE_DRIVEADD | ce::SHCNE_DRIVEREMOVED, nullptr, false);
  auto list = ce::ListChangeNotifyRegistrations();
  ASSERT_EQ(list.size(), 2u);
  bool helperSeen = false, mineSeen = false;
  for (const auto& r : list) {
    if (r.processId == watcher.pid()) {
      helperSeen = true;
      EXPECT_EQ(r.eventMask, 0x2003u);
      EXPECT_EQ(r.folder, u"\\My Documents");
      EXPECT_TRUE(r.recursive);
      EXPECT_NE(r.program.find(u"ce_helper"), std::u16string::npos);
    } else {
      mineSeen = r.processId == ::getpid() && r.window == 0x160 && r.folder.empty() && !r.recursive;
    }
  }
  EXPECT_TRUE(helperSeen);
  EXPECT_TRUE(mineSeen);
  watcher.kill();
  watcher.wait();
  list = ce::ListChangeNotifyRegistrations();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].processId, ::getpid());
}

}  // namespace
