// Windows between real processes of one device: posting and sending to a
// dialog of another process, texts carried across, dialogs of two processes
// in the journal, rotation reaching them, and windows of a process that was
// killed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "ce/ce.h"
#include "ce/screen.h"
#include "testkit.h"

using namespace ce;
using Json = nlohmann::json;

namespace {

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

HWND parseReady(const std::string& line) {
  EXPECT_EQ(line.rfind("ready 0x", 0), 0u) << line;
  if (line.rfind("ready 0x", 0) != 0) return nullptr;
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::stoul(line.substr(6), nullptr, 16)));
}

// A dialog in a helper process.
struct RemoteDialog {
  RemoteDialog(const std::string& caption, const std::string& text) : proc({"ui_dialog", caption, text}) {
    EXPECT_EQ(trim(proc.readLine()), "init 42");
    hwnd = parseReady(trim(proc.readLine()));
  }
  nxtest::HelperProcess proc;
  HWND hwnd = nullptr;
};

class WindowsCrossProcess : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;
};

}  // namespace

TEST_F(WindowsCrossProcess, PostingAndSendingReachADialogOfAnotherProcess) {
  RemoteDialog remote("Remote", "field");
  ASSERT_TRUE(remote.hwnd);
  EXPECT_TRUE(IsWindow(remote.hwnd));
  DWORD pid = 0;
  EXPECT_NE(GetWindowThreadProcessId(remote.hwnd, &pid), 0u);
  EXPECT_NE(pid, GetCurrentProcessId());

  ASSERT_TRUE(PostMessageW(remote.hwnd, WM_COMMAND, MAKEWPARAM(1003, BN_CLICKED), 0));
  EXPECT_EQ(trim(remote.proc.readLine()), "command 1003");
  EXPECT_EQ(SendMessageW(remote.hwnd, WM_USER + 1, 21, 0), 42) << "answered through DWL_MSGRESULT";
  EXPECT_EQ(trim(remote.proc.readLine()), "user 21");

  // Texts travel with WM_SETTEXT and are read back from the table.
  HWND field = GetDlgItem(remote.hwnd, 1009);
  ASSERT_TRUE(field);
  WCHAR buf[64];
  EXPECT_EQ(GetWindowTextW(field, buf, 64), 5);
  EXPECT_EQ(std::u16string(buf), u"field");
  ASSERT_TRUE(SetDlgItemTextW(remote.hwnd, 1009, u"set from afar"));
  EXPECT_EQ(GetDlgItemTextW(remote.hwnd, 1009, buf, 64), 13u);
  EXPECT_EQ(std::u16string(buf), u"set from afar");
  EXPECT_EQ(SendMessageW(field, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(buf)), 13) << "the owner answers it";
  EXPECT_EQ(std::u16string(buf), u"set from afar");

  // Only the owner's thread destroys it; WM_CLOSE asks it to.
  EXPECT_FALSE(DestroyWindow(remote.hwnd));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(PostMessageW(remote.hwnd, WM_CLOSE, 0, 0));
  EXPECT_EQ(trim(remote.proc.readLine()), "quit 7");
  EXPECT_EQ(remote.proc.wait(), 0);
  EXPECT_FALSE(IsWindow(remote.hwnd));
}

TEST_F(WindowsCrossProcess, DialogsOfTwoProcessesAreInTheJournalWithTheirTexts) {
  RemoteDialog a("First", "\\Temp\\one.exe");
  RemoteDialog b("Second", "\\Temp\\two.exe");
  ASSERT_TRUE(a.hwnd && b.hwnd);
  auto shown = screen::TopLevelWindows();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].hwnd, b.hwnd) << "the newest shown is on top";
  EXPECT_EQ(shown[1].hwnd, a.hwnd);
  EXPECT_NE(shown[0].pid, shown[1].pid);

  uint64_t next = 0, skipped = 0;
  std::set<std::string> seen;
  for (const auto& l : screen::ReadJournal(0, &next, &skipped)) {
    Json j = Json::parse(l);
    if (j["event"] != "show") continue;
    for (const auto& c : j["controls"])
      if (c["id"] == 1009) seen.insert(j["caption"].get<std::string>() + "=" + c["text"].get<std::string>());
  }
  EXPECT_EQ(skipped, 0u);
  // The field was set after the dialog was shown: the later "change" line
  // carries it; the "show" line the template's empty text.
  std::set<std::string> changed;
  for (const auto& l : screen::ReadJournal(0, &next, &skipped)) {
    Json j = Json::parse(l);
    if (j["event"] != "change") continue;
    for (const auto& c : j["controls"])
      if (c["id"] == 1009) changed.insert(j["caption"].get<std::string>() + "=" + c["text"].get<std::string>());
  }
  EXPECT_EQ(seen, (std::set<std::string>{"First=", "Second="}));
  EXPECT_EQ(changed, (std::set<std::string>{"First=\\Temp\\one.exe", "Second=\\Temp\\two.exe"}));
}

TEST_F(WindowsCrossProcess, RotationReachesEveryDialogWithTheNewMetrics) {
  RemoteDialog a("First", "x");
  RemoteDialog b("Second", "y");
  ASSERT_TRUE(a.hwnd && b.hwnd);
  ASSERT_TRUE(screen::SetOrientation(screen::Orientation::Landscape));
  EXPECT_EQ(trim(a.proc.readLine()), "settingchange 12290 320 240 96");
  EXPECT_EQ(trim(b.proc.readLine()), "settingchange 12290 320 240 96");
  ASSERT_TRUE(screen::SetDpi(192));
  EXPECT_EQ(trim(a.proc.readLine()), "settingchange 12290 640 480 192");
  EXPECT_EQ(trim(b.proc.readLine()), "settingchange 12290 640 480 192");
  ASSERT_TRUE(screen::SetOrientation(screen::Orientation::Portrait));
  EXPECT_EQ(trim(a.proc.readLine()), "settingchange 12290 480 640 192");
  EXPECT_EQ(trim(b.proc.readLine()), "settingchange 12290 480 640 192");
}

TEST_F(WindowsCrossProcess, AProcessKilledHoldingTheWindowLockDoesNotWedgeTheDevice) {
  RemoteDialog other("Other", "x");
  {
    nxtest::HelperProcess holder({"ui_lock_hold"});
    ASSERT_EQ(trim(holder.readLine()), "locked");
    holder.kill(9);
    holder.wait();
  }
  // The next locker repairs the table and goes on: the dead holder's dialog
  // is gone, the living one still answers.
  auto shown = screen::TopLevelWindows();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].hwnd, other.hwnd);
  EXPECT_EQ(SendMessageW(other.hwnd, WM_USER + 1, 5, 0), 10);
  EXPECT_EQ(trim(other.proc.readLine()), "user 5");
  HWND mine = CreateWindowExW(0, u"STATIC", u"after", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  EXPECT_TRUE(mine);
  DestroyWindow(mine);
}

TEST_F(WindowsCrossProcess, AKilledProcessLeavesNoWindowToTalkTo) {
  HWND gone;
  {
    RemoteDialog remote("Doomed", "x");
    gone = remote.hwnd;
    ASSERT_TRUE(gone);
    remote.proc.kill(9);
    remote.proc.wait();
  }
  EXPECT_FALSE(IsWindow(gone));
  EXPECT_FALSE(PostMessageW(gone, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(SendMessageW(gone, WM_USER, 0, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_TRUE(screen::TopLevelWindows(false).empty());
  uint64_t next = 0, skipped = 0;
  auto lines = screen::ReadJournal(0, &next, &skipped);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(Json::parse(lines.back())["event"], "destroy") << "written for the dead by whoever found it";

  // A send already waiting when the other side is killed comes back.
  nxtest::HelperProcess blocked({"ui_block"});
  HWND w = parseReady(trim(blocked.readLine()));
  ASSERT_TRUE(w);
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    blocked.kill(9);
  });
  SetLastError(0);
  EXPECT_EQ(SendMessageW(w, WM_USER, 0, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  killer.join();
  blocked.wait();
  UINT_PTR r = 0;
  EXPECT_EQ(SendMessageTimeoutW(w, WM_USER, 0, 0, SMTO_NORMAL, 50, &r), 0);
}
