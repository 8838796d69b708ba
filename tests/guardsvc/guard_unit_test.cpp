// The guard's pieces on their own: the pending-scan queue, the display path,
// the notification dialog's layout and the templates the library exports.
#include <gtest/gtest.h>

#include <filesystem>

#include "ce/ce.h"
#include "guard_fixture.h"
#include "guardsvc/display_path.h"
#include "guardsvc/guard_ids.h"
#include "guardsvc/notify_dialog.h"
#include "guardsvc/pending_queue.h"
#include "testkit.h"

namespace {

using guard::PendingQueue;
using guardtest::u16;
using guardtest::u8;
using Add = PendingQueue::AddResult;

TEST(PendingQueue, MergesWaitingPathsIgnoringCaseAndKeepsArrivalOrder) {
  nxtest::TempDevice dev;
  PendingQueue q;
  ASSERT_TRUE(q.ok());
  EXPECT_EQ(q.add(u"\\Data\\a.exe"), Add::Added);
  EXPECT_EQ(q.add(u"\\Data\\b.exe"), Add::Added);
  EXPECT_EQ(q.add(u"\\DATA\\A.EXE"), Add::Merged);
  EXPECT_EQ(q.add(u""), Add::Refused);
  EXPECT_EQ(q.size(), 2u);
  EXPECT_EQ(ce::WaitForSingleObject(q.workEvent(), 0), ce::WAIT_OBJECT_0) << "every add wakes the worker";

  PendingQueue::Entry e;
  ASSERT_TRUE(q.take(&e));
  EXPECT_EQ(e.path, u"\\Data\\a.exe") << "the spelling of the first event stays";
  // Taken by the worker: a change made while it scans queues the file again.
  EXPECT_EQ(q.add(u"\\Data\\a.exe"), Add::Added);
  ASSERT_TRUE(q.take(&e));
  EXPECT_EQ(e.path, u"\\Data\\b.exe");
  ASSERT_TRUE(q.take(&e));
  EXPECT_EQ(e.path, u"\\Data\\a.exe");
  EXPECT_FALSE(q.take(&e));
}

TEST(PendingQueue, HoldsAThousandFilesAndRefusesPathsTooLongForAnEntry) {
  nxtest::TempDevice dev;
  PendingQueue q;
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(q.add(u16("\\F\\" + std::to_string(i)).c_str()), Add::Added);
  EXPECT_EQ(q.add(u"\\F\\one more"), Add::Full);
  EXPECT_EQ(q.add(u"\\F\\7"), Add::Merged) << "a file waiting already is no loss";
  std::u16string longest(1023, u'a'), tooLong(1024, u'a');
  longest[0] = tooLong[0] = u'\\';
  PendingQueue fresh;
  EXPECT_EQ(fresh.add(longest.c_str()), Add::Added);
  EXPECT_EQ(fresh.add(tooLong.c_str()), Add::Refused);
}

TEST(PendingQueue, ACancelledEntryStaysInPlaceWithoutItsMark) {
  nxtest::TempDevice dev;
  PendingQueue q;
  q.add(u"\\a");
  q.add(u"\\b");
  q.cancel(u"\\A");
  PendingQueue::Entry e;
  ASSERT_TRUE(q.take(&e));
  EXPECT_EQ(e.path, u"\\a");
  EXPECT_FALSE(e.active);
  ASSERT_TRUE(q.take(&e));
  EXPECT_TRUE(e.active);
}

TEST(DisplayPath, ShortPathsWholeLongOnesWithTheirHeadAndTail) {
  struct Case {
    const char* name;
    std::u16string path;
    bool landscape;
    std::u16string shown;
  } cases[] = {
      {"portrait, 21 characters", u"\\Data\\abcdefghijk.exe", false, u"\\Data\\abcdefghijk.exe"},
      {"portrait, 22: the first 18, then the rest", u"\\Data\\abcdefghijkl.exe", false,
       u"\\Data\\abcdefghijkl....exe"},
      {"portrait, 35: a rest of 17 is kept whole", u"\\Storage Card\\Downloads\\a\\b\\c\\x.exe", false,
       u"\\Storage Card\\Down...loads\\a\\b\\c\\x.exe"},
      {"portrait, 37: the last 15", u"\\Storage Card\\Downloads\\a\\b\\c\\xyz.exe", false,
       u"\\Storage Card\\Down...s\\a\\b\\c\\xyz.exe"},
      {"landscape, 27 characters", u"\\Data\\abcdefghijklmnopq.exe", true, u"\\Data\\abcdefghijklmnopq.exe"},
      {"landscape, 47: the first 24, then the rest", u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\temp\\a.exe", true,
       u"\\Program Files\\Nyxel\\Nyx...el AntiVirus\\temp\\a.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(u8(guard::displayPath(c.path, c.landscape)), u8(c.shown));
  }
  // A character outside the basic plane is never cut in two.
  std::u16string pair = u"\\Data\\abcdefghijk\U0001F600zzzzzz";  // the pair at 17 and 18
  std::u16string shown = guard::displayPath(pair, false);
  EXPECT_EQ(shown.substr(0, 19), pair.substr(0, 19));
  EXPECT_EQ(shown.substr(19, 3), u"...");
}

TEST(NotifyLayout, PlacedByOrientationAndScaledByTheScreensDpi) {
  guard::NotifyLayout p = guard::notifyLayout(240, 320, 96, 96);
  guard::NotifyLayout l = guard::notifyLayout(320, 240, 96, 96);
  guard::NotifyLayout vga = guard::notifyLayout(480, 640, 192, 192);
  EXPECT_LE(p.dialog.right, 240);
  EXPECT_LE(p.dialog.bottom, 320);
  EXPECT_LE(l.dialog.right, 320);
  EXPECT_LE(l.dialog.bottom, 240);
  EXPECT_NE(p.ok.left, l.ok.left) << "the Ok button has its own place in each orientation";
  EXPECT_EQ(vga.dialog.left, 2 * p.dialog.left);
  EXPECT_EQ(vga.dialog.bottom, 2 * p.dialog.bottom);
  EXPECT_EQ(vga.ok.right, 2 * p.ok.right);
  EXPECT_EQ(p.fontHeight, 13);
  EXPECT_EQ(vga.fontHeight, 26);
  for (int i = 0; i < 3; ++i) {
    EXPECT_LE(p.labels[i].right, p.values[i].left);
    EXPECT_LE(p.values[i].right, p.dialog.right - p.dialog.left);
    EXPECT_LE(l.values[i].right, l.dialog.right - l.dialog.left);
  }
}

// The templates come from the library itself, the way the CE layer takes a
// module's dialogs.
TEST(DialogTemplates, TheLibraryExportsItsThreeDialogs) {
  nxtest::TempDevice dev;
  std::filesystem::create_directories(dev.host("Windows"));
  std::filesystem::copy_file(guardtest::buildFile("image/guardsvc.dll"), dev.host("Windows/guardsvc.dll"));
  ce::HMODULE m = ce::LoadLibraryW(u"\\Windows\\guardsvc.dll");
  ASSERT_NE(m, nullptr);
  struct Case {
    ce::WORD id;
    const char* caption;
  } cases[] = {{101, "Online Protection"}, {103, "Expansion Card Notification"}, {105, "Nyxel"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    ce::HWND w = ce::CreateDialogParamW(m, ce::MAKEINTRESOURCEW(c.id), nullptr, nullptr, 0);
    ASSERT_NE(w, nullptr);
    ce::WCHAR caption[64];
    ce::GetWindowTextW(w, caption, 64);
    EXPECT_EQ(u8(caption), c.caption);
    EXPECT_FALSE(ce::IsWindowVisible(w)) << "none is shown when made";
    if (c.id == 105) {
      for (int id : {guard::kIdFileName, guard::kIdVirusName, guard::kIdActionTaken, guard::kIdOk})
        EXPECT_NE(ce::GetDlgItem(w, id), nullptr) << id;
      ce::WCHAR text[32];
      ce::GetDlgItemTextW(w, guard::kIdOk, text, 32);
      EXPECT_EQ(u8(text), "Ok");
      ce::GetDlgItemTextW(w, guard::kIdActionLabel, text, 32);
      EXPECT_EQ(u8(text), "Action Taken:");
    }
    ce::DestroyWindow(w);
  }
  EXPECT_EQ(ce::CreateDialogParamW(m, ce::MAKEINTRESOURCEW(102), nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_RESOURCE_NAME_NOT_FOUND);
  ce::FreeLibrary(m);
}

}  // namespace
