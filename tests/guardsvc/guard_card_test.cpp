// The storage card: an installation on the card taken out (no protection, a
// reminder every 30 device minutes) and put back (protection, the update
// service), any card starting the card scanner, and the guard stopped while
// the reminder shows.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ce/ce.h"
#include "guard_fixture.h"

namespace {

namespace fs = std::filesystem;
using guardtest::u8;
using guardtest::waitFor;

const std::string kReminder =
    "Nyxel was installed on the storage card. You have removed storage card. Please insert the storage card again "
    "to function Nyxel properly OR reinstall Nyxel.";

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string regText(const char16_t* name) {
  ce::HKEY k = nullptr;
  if (ce::RegOpenKeyExW(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd", 0, 0, &k) != 0) return "<no key>";
  ce::WCHAR buf[128] = {};
  ce::DWORD type = 0, size = sizeof buf;
  ce::LONG r = ce::RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<ce::BYTE*>(buf), &size);
  ce::RegCloseKey(k);
  if (r != 0) return "<missing>";
  if (type == ce::REG_DWORD) {
    ce::DWORD v = 0;
    std::memcpy(&v, buf, sizeof v);
    return std::to_string(v);
  }
  return u8(buf);
}

// The product on the card folder, the service library in \Windows as the
// installer puts it.
void installOnTheCard(guardtest::GuardDevice& g, const nxtest::TempDir& card) {
  g.install(false, card.path() + "/Nyxel AntiVirus");
  fs::create_directories(g.dev.host("Windows"));
  fs::copy_file(guardtest::buildFile("image/guardsvc.dll"), g.dev.host("Windows/guardsvc.dll"));
}

TEST(GuardCard, TheInstallationsCardOutRemindsUntilItIsBackAndTheStopEndsTheReminder) {
  guardtest::GuardDevice g(20.0, "\\Storage Card");
  nxtest::TempDir card;
  installOnTheCard(g, card);
  ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  g.setUpdate(1);
  g.setGeneral(0);
  ASSERT_TRUE(ce::RemoveStorageCard());

  ASSERT_TRUE(g.start());
  ASSERT_TRUE(waitFor([&] { return !g.messageBoxes(kReminder).empty(); })) << "the reminder at once";
  guardtest::Json box = g.messageBoxes(kReminder)[0];
  EXPECT_EQ(box.value("caption", ""), "Nyxel");
  EXPECT_EQ(box.value("type", 0), 0x40040);
  EXPECT_TRUE(box["owner"].is_null());
  EXPECT_EQ(g.stats().protectedNow, 0u);

  // Back in: protection, the reminder ended, the update service registered.
  ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 1; }));
  // The key is written once protection is back.
  EXPECT_TRUE(waitFor([&] { return regText(u"DisplayName") == "Update Service"; }));
  EXPECT_EQ(regText(u"Dll"), "updsvc.dll");
  EXPECT_EQ(regText(u"Order"), "9");
  EXPECT_EQ(regText(u"Keep"), "1");
  EXPECT_EQ(regText(u"Prefix"), "UPD");
  EXPECT_EQ(regText(u"Index"), "0");
  EXPECT_EQ(regText(u"Context"), "0");
  EXPECT_EQ(regText(u"Description"), "Update Service dll");
  EXPECT_EQ(regText(u"DisplayName"), "Update Service");
  EXPECT_TRUE(waitFor([&] { return readText(g.dev.host(".ce/services.log")).find("UPD0:") != std::string::npos; }))
      << "the host was asked for UPD0:";
  g.setOnline(4, 0);
  g.hostCopy(guardtest::sample("eicar.com"), "Data/eicar.com");
  ASSERT_TRUE(waitFor([&] { return g.reports().size() == 1; }));
  size_t shown = g.messageBoxes(kReminder).size();
  EXPECT_EQ(shown, 1u);

  // Out again under a fast clock (a time-out runs at the speed it began
  // with): a reminder at once and again every 30 device minutes.
  ASSERT_TRUE(ce::SetClockSpeed(3000));
  ASSERT_TRUE(ce::RemoveStorageCard());
  ASSERT_TRUE(waitFor([&] { return g.messageBoxes(kReminder).size() >= shown + 3; }));
  ASSERT_TRUE(ce::SetClockSpeed(20));
  EXPECT_EQ(g.stats().protectedNow, 0u);
  auto boxes = g.messageBoxes(kReminder);
  for (size_t i = shown + 1; i < boxes.size(); ++i)
    EXPECT_GE(boxes[i].value("tick", int64_t{0}) - boxes[i - 1].value("tick", int64_t{0}), 1800000);

  // The service stops while the reminder shows, and the reminder ends with it.
  ASSERT_TRUE(g.stop());
  const std::string stopped = "stopped, \\Windows\\guardsvc.dll unloaded";
  EXPECT_TRUE(waitFor([&] { return readText(g.dev.host(".ce/services.log")).find(stopped) != std::string::npos; }))
      << readText(g.dev.host(".ce/services.log"));
  shown = g.messageBoxes(kReminder).size();
  ASSERT_TRUE(ce::SetClockSpeed(3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // over two reminder intervals
  ASSERT_TRUE(ce::SetClockSpeed(20));
  EXPECT_EQ(g.messageBoxes(kReminder).size(), shown);
}

TEST(GuardCard, AnyCardStartsTheScannerWhenTheOptionsSaySo) {
  guardtest::GuardDevice g(20.0);
  g.install();
  std::string scanner = g.installHost + "/scanner.exe";
  fs::copy_file(guardtest::buildFile("tests/guardsvc/guard_record_args"), scanner,
                fs::copy_options::overwrite_existing);
  ::chmod(scanner.c_str(), 0755);
  ASSERT_TRUE(g.start());
  ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 1; }));
  nxtest::TempDir card;
  auto args = [&] { return g.dev.readFile("Temp/scanner-args.txt"); };

  g.setGeneral(1);
  ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  ASSERT_TRUE(waitFor([&] { return !args().empty(); }));
  EXPECT_EQ(args(), "ExpansionCardInserted \\Storage Card\n");
  ASSERT_TRUE(ce::RemoveStorageCard());
  g.setGeneral(0);
  ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  // The card's events and the files' reach the guard's windows in order:
  // once a later file is queued, the insertion has been handled.
  g.hostWrite("Data/after-insertion.txt", "x");
  guard::FileState f{};
  ASSERT_TRUE(waitFor([&] { return g.fileState(u"\\Data\\after-insertion.txt", &f); }));
  ASSERT_TRUE(ce::RemoveStorageCard());
  g.setGeneral(1);
  ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  ASSERT_TRUE(waitFor([&] { return args().size() > 40; }));
  EXPECT_EQ(args(), "ExpansionCardInserted \\Storage Card\nExpansionCardInserted \\Storage Card\n")
      << "not for the card inserted while the option was off";
  EXPECT_EQ(g.stats().protectedNow, 1u) << "another card changes nothing of the protection";
}

TEST(GuardCard, AReminderThatCannotBeSetIsSaidInItsBoxes) {
  guardtest::GuardDevice g(20.0, "\\Storage Card");
  nxtest::TempDir card;
  installOnTheCard(g, card);
  // The reminder's close event cannot be made: its name is a mutex's.
  ce::HANDLE taken = ce::CreateMutexW(nullptr, ce::FALSE, u"Close_Remind_Event");
  ASSERT_NE(taken, nullptr);
  const std::string eventFailed = "CreateEvent() failed for CLOSEREMINDER";
  const std::string setFailed = "SetReminder() failed";

  // Card out at the start: both boxes, no reminder, no protection.
  ASSERT_TRUE(g.start());
  ASSERT_TRUE(waitFor([&] { return !g.messageBoxes(setFailed).empty(); }));
  ASSERT_EQ(g.messageBoxes(eventFailed).size(), 1u) << "said before the start's own box";
  EXPECT_EQ(g.messageBoxes(eventFailed)[0].value("type", 0), 0x40000);
  EXPECT_TRUE(g.messageBoxes(kReminder).empty());
  EXPECT_EQ(g.stats().protectedNow, 0u);

  // Back in: protected. Out again while running: the event's box alone.
  ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  ASSERT_TRUE(waitFor([&] { return g.stats().protectedNow == 1; }));
  ASSERT_TRUE(ce::RemoveStorageCard());
  ASSERT_TRUE(waitFor([&] { return g.messageBoxes(eventFailed).size() == 2; }));
  EXPECT_TRUE(waitFor([&] { return g.stats().protectedNow == 0; }));
  EXPECT_EQ(g.messageBoxes(setFailed).size(), 1u);
  EXPECT_TRUE(g.messageBoxes(kReminder).empty());
  ce::CloseHandle(taken);
  EXPECT_TRUE(g.stop()) << "a guard without its reminder stops";
}

}  // namespace
