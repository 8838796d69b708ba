// nxdevice screen and the help viewer with real processes: what is on the
// screen now, pressing a button of a dialog of another process, turning the
// screen under running dialogs, following the journal, a damaged journal,
// and the page the help viewer was asked to open.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "ce/ce.h"
#include "ce/screen.h"
#include "testkit.h"

using namespace ce;
using Json = nlohmann::json;

namespace {

struct Result {
  int code = -1;
  std::string out, err;
};

std::string bin(const std::string& name) { return std::string(NX_BUILD_DIR) + "/bin/" + name; }

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

class Screen : public ::testing::Test {
 protected:
  std::string nxdevice(const std::string& args) const {
    return bin("nxdevice") + " --device-root " + shellQuote(dev.root()) + " " + args;
  }
  Result run(const std::string& args) const {
    nxtest::TempDir tmp;
    std::string errFile = tmp.path() + "/err";
    Result r;
    FILE* p = popen((nxdevice(args) + " 2>" + errFile).c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    std::ifstream e(errFile);
    std::stringstream ss;
    ss << e.rdbuf();
    r.err = ss.str();
    return r;
  }
  nxtest::TempDevice dev;
};

struct RemoteDialog {
  RemoteDialog(const std::string& caption, const std::string& text) : proc({"ui_dialog", caption, text}) {
    EXPECT_EQ(trim(proc.readLine()), "init 42");
    ready = trim(proc.readLine());
    EXPECT_EQ(ready.rfind("ready 0x", 0), 0u) << ready;
  }
  std::string handle() const { return ready.substr(6); }
  nxtest::HelperProcess proc;
  std::string ready;
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST_F(Screen, ShowsTheDialogsOfEveryProcessAndTheLastMessageBoxes) {
  auto empty = run("screen");
  EXPECT_EQ(empty.code, 0) << empty.err;
  EXPECT_TRUE(contains(empty.out, "screen: 240x320 portrait, 96 dpi")) << empty.out;
  EXPECT_TRUE(contains(empty.out, "no dialogs shown")) << empty.out;
  EXPECT_TRUE(contains(empty.out, "last message boxes: none")) << empty.out;

  RemoteDialog a("Nyxel", "\\Temp\\eicar.com");
  RemoteDialog b("Other", "\\Storage Card\\x.sis");
  auto box = nxtest::runHelper({"ui_msgbox", "1", "SetReminder() failed"});
  EXPECT_EQ(box.exitCode, 0);
  auto now = run("screen");
  EXPECT_EQ(now.code, 0) << now.err;
  const auto second = now.out.find("dialog \"Other\" (" + b.handle() + ")");
  const auto first = now.out.find("dialog \"Nyxel\" (" + a.handle() + ")");
  ASSERT_NE(first, std::string::npos) << now.out;
  ASSERT_NE(second, std::string::npos) << now.out;
  EXPECT_LT(second, first) << "the topmost first";
  EXPECT_TRUE(contains(now.out, "\"\\Temp\\eicar.com\"")) << now.out;
  EXPECT_TRUE(contains(now.out, "\"\\Storage Card\\x.sis\"")) << now.out;
  EXPECT_TRUE(contains(now.out, "\"File Name:\"  (bold)")) << now.out;
  EXPECT_TRUE(contains(now.out, "\"Nyxel\": SetReminder() failed 0")) << now.out;
}

TEST_F(Screen, PressOkReachesTheDialogProcedureOfAnotherProcess) {
  auto none = run("screen press Ok");
  EXPECT_EQ(none.code, 1);
  EXPECT_TRUE(contains(none.err, "no dialog is shown")) << none.err;

  RemoteDialog a("First", "a");
  RemoteDialog b("Second", "b");
  auto pressed = run("screen press ok");
  EXPECT_EQ(pressed.code, 0) << pressed.err;
  EXPECT_TRUE(contains(pressed.out, "pressed \"Ok\" (1003) in \"Second\"")) << pressed.out;
  EXPECT_EQ(trim(b.proc.readLine()), "command 1003") << "the topmost dialog's procedure";

  // The Ok button hid "Second"; "First" is now the topmost shown dialog.
  auto missing = run("screen press Cancel");
  EXPECT_EQ(missing.code, 1);
  EXPECT_TRUE(contains(missing.err, "\"First\" (" + a.handle() + ")")) << missing.err;
  EXPECT_TRUE(contains(missing.err, "has no button \"Cancel\" (its buttons: \"Ok\")")) << missing.err;
  auto chosen = run("screen press Ok --window " + a.handle());
  EXPECT_EQ(chosen.code, 0) << chosen.err;
  EXPECT_EQ(trim(a.proc.readLine()), "command 1003");
  auto noSuch = run("screen press Ok --window 0x7FFF0001");
  EXPECT_EQ(noSuch.code, 1);

  // A dialog whose thread does not read its queue: the press is not taken in time.
  nxtest::HelperProcess blocked({"ui_block"});
  ASSERT_EQ(trim(blocked.readLine()).rfind("ready 0x", 0), 0u);
  auto late = run("screen press Ok --timeout 200");
  EXPECT_EQ(late.code, 1);
  EXPECT_TRUE(contains(late.err, "did not take the press within 200 ms")) << late.err;
}

TEST_F(Screen, RotationAndResolutionReachRunningDialogs) {
  RemoteDialog a("Nyxel", "x");
  auto r = run("screen rotate");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(contains(r.out, "screen: 320x240 landscape, 96 dpi")) << r.out;
  EXPECT_EQ(trim(a.proc.readLine()), "settingchange 12290 320 240 96");
  r = run("screen dpi 192");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(trim(a.proc.readLine()), "settingchange 12290 640 480 192");
  r = run("screen rotate portrait");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(trim(a.proc.readLine()), "settingchange 12290 480 640 192");
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 480) << "the device's setting, seen by every process";
  EXPECT_NE(run("screen dpi 100").code, 0);
  EXPECT_NE(run("screen rotate sideways").code, 0);
}

TEST_F(Screen, FollowStreamsTheJournalAndPassesOverDamage) {
  FILE* p = popen((nxdevice("screen --follow --count 3") + " 2>/dev/null").c_str(), "r");
  ASSERT_TRUE(p);
  char line[8192];
  bool started = false;
  while (fgets(line, sizeof line, p))
    if (trim(line) == "last message boxes: none") {
      started = true;
      break;
    }
  ASSERT_TRUE(started);
  MessageBoxW(nullptr, u"one", u"Nyxel", MB_OK);
  {
    std::ofstream out(screen::JournalPath(), std::ios::app);
    out << "garbage\n{\"event\": 5, \"caption\": [1]}\n";
  }
  MessageBoxW(nullptr, u"two", u"Nyxel", MB_OK);
  std::vector<std::string> got;
  while (got.size() < 3 && fgets(line, sizeof line, p)) got.push_back(trim(line));
  EXPECT_EQ(pclose(p), 0);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_TRUE(contains(got[0], " msgbox \"Nyxel\": one")) << got[0];
  EXPECT_TRUE(contains(got[1], "event")) << "a line of the wrong kinds is shown as it is: " << got[1];
  EXPECT_TRUE(contains(got[2], " msgbox \"Nyxel\": two")) << got[2];

  auto now = run("screen");
  EXPECT_EQ(now.code, 0) << now.err;
  EXPECT_TRUE(contains(now.out, "(1 damaged journal lines passed over)")) << now.out;
  auto json = run("screen --follow --json --count 0");
  EXPECT_EQ(json.code, 0);
  EXPECT_TRUE(json.out.empty()) << "--json prints only journal lines";
}

TEST_F(Screen, TheHelpViewerRecordsThePageItWasAskedToOpen) {
  {
    std::ifstream in(bin("peghelp"), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    dev.writeFile("Windows/peghelp.exe", ss.str());
    ASSERT_EQ(::chmod(dev.host("Windows/peghelp.exe").c_str(), 0755), 0);
  }
  auto open = [&](std::u16string cmd) {
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(u"\\Windows\\peghelp.exe", cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr,
                        &pi))
      return static_cast<DWORD>(1000 + GetLastError());
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return code;
  };
  // As the notification dialog asks for its help page: "file://" + "\Windows" + "\nxavwm.htm".
  EXPECT_EQ(open(u"file://\\Windows\\nxavwm.htm"), 0u);
  dev.writeFile("Windows/nxavwm.htm", "<html>help</html>");
  EXPECT_EQ(open(u"nxavwm.htm#actions"), 0u);
  uint64_t next = 0, skipped = 0;
  std::vector<Json> pages;
  for (auto& l : screen::ReadJournal(0, &next, &skipped)) pages.push_back(Json::parse(l));
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0]["event"], "open");
  EXPECT_EQ(pages[0]["kind"], "viewer");
  EXPECT_EQ(pages[0]["page"], "file://\\Windows\\nxavwm.htm");
  EXPECT_EQ(pages[0]["path"], "\\Windows\\nxavwm.htm");
  EXPECT_EQ(pages[0]["found"], false);
  EXPECT_EQ(pages[0]["process"], "\\Windows\\peghelp.exe");
  EXPECT_EQ(pages[1]["path"], "\\Windows\\nxavwm.htm");
  EXPECT_EQ(pages[1]["found"], true);
  auto now = run("screen");
  EXPECT_TRUE(contains(now.out, "nxavwm.htm#actions")) << now.out;
}
