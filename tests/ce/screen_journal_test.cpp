// The screen journal: what a shown dialog, its changes and a message box
// write; a damaged journal read without a crash; many writers at once.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/screen.h"
#include "testkit.h"

using namespace ce;
using Json = nlohmann::json;

namespace {

class ScreenJournal : public ::testing::Test {
 protected:
  // The lines written since the last call.
  std::vector<Json> fresh() {
    uint64_t next = 0, skipped = 0;
    auto lines = screen::ReadJournal(offset_, &next, &skipped);
    offset_ = next;
    std::vector<Json> out;
    for (auto& l : lines) out.push_back(Json::parse(l));
    return out;
  }
  nxtest::TempDevice dev;
  uint64_t offset_ = 0;
};

INT_PTR quietProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

const CeDialogItem kItems[] = {
    {CE_CLASS_STATIC, 0xFFFF, WS_VISIBLE, CE_DLGITEM_BOLD, 4, 8, 80, 14, u"Virus Name:"},
    {CE_CLASS_EDIT, 1010, WS_VISIBLE, 0, 88, 8, 148, 14, u"EICAR Test File"},
    {CE_CLASS_BUTTON, 1003, WS_VISIBLE | BS_DEFPUSHBUTTON, 0, 90, 40, 60, 20, u"Ok"},
};
const CeDialogTemplate kNotify{105, WS_POPUP, 0, 0, 26, 240, 80, u"Nyxel", kItems, 3};

const Json* control(const Json& line, int id) {
  for (const auto& c : line["controls"])
    if (c["id"] == id) return &c;
  return nullptr;
}

}  // namespace

TEST_F(ScreenJournal, AShownDialogAndItsChangesAreWritten) {
  HWND dlg = CreateDialogIndirectParamW(nullptr, &kNotify, nullptr, &quietProc, 0);
  ASSERT_TRUE(dlg);
  SetDlgItemTextW(dlg, 1010, u"hidden change");
  EXPECT_TRUE(fresh().empty()) << "nothing is on the screen yet";

  ShowWindow(dlg, SW_SHOW);
  SetDlgItemTextW(dlg, 1010, u"Nyxel.Demo.EntryPoint");
  SetDlgItemTextW(dlg, 1010, u"Nyxel.Demo.EntryPoint");  // the same text: no new line
  MoveWindow(dlg, 0, 40, 240, 90, TRUE);
  ShowWindow(dlg, SW_HIDE);
  DestroyWindow(dlg);
  auto lines = fresh();
  ASSERT_EQ(lines.size(), 4u);
  std::vector<std::string> events;
  for (auto& l : lines) events.push_back(l["event"]);
  EXPECT_EQ(events, (std::vector<std::string>{"show", "change", "change", "hide"}))
      << "a hidden dialog destroyed leaves the screen unchanged";

  const Json& show = lines[0];
  EXPECT_EQ(show["kind"], "dialog");
  EXPECT_EQ(show["caption"], "Nyxel");
  EXPECT_EQ(show["pid"], GetCurrentProcessId());
  EXPECT_EQ(show["x"], 0);
  EXPECT_EQ(show["y"], 26);
  EXPECT_EQ(show["w"], 240);
  EXPECT_EQ(show["h"], 80);
  EXPECT_EQ(show["screen"]["w"], 240);
  EXPECT_EQ(show["screen"]["orientation"], "portrait");
  EXPECT_FALSE(show["process"].get<std::string>().empty());
  ASSERT_TRUE(show["time"].is_string());
  const Json* value = control(show, 1010);
  ASSERT_TRUE(value);
  EXPECT_EQ((*value)["text"], "hidden change") << "the state when shown";
  EXPECT_EQ((*value)["kind"], "edit");
  EXPECT_EQ((*value)["x"], 88);
  const Json* label = control(show, -1);
  ASSERT_TRUE(label);
  EXPECT_EQ((*label)["text"], "Virus Name:");
  EXPECT_EQ((*label)["weight"], 700);
  const Json* ok = control(show, 1003);
  ASSERT_TRUE(ok);
  EXPECT_EQ((*ok)["default"], true);
  EXPECT_FALSE(ok->contains("weight")) << "weight only where set";

  EXPECT_EQ((*control(lines[1], 1010))["text"], "Nyxel.Demo.EntryPoint");
  EXPECT_EQ(lines[2]["y"], 40);
  EXPECT_EQ(lines[2]["h"], 90);
  EXPECT_EQ(lines[3]["visible"], false);

  // Destroying a shown dialog says so.
  dlg = CreateDialogIndirectParamW(nullptr, &kNotify, nullptr, &quietProc, 0);
  ShowWindow(dlg, SW_SHOW);
  DestroyWindow(dlg);
  lines = fresh();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1]["event"], "destroy");
}

TEST_F(ScreenJournal, MessageBoxesAndScreenChangesAreWritten) {
  EXPECT_EQ(MessageBoxW(nullptr, u"SetReminder() failed", u"Nyxel", MB_TOPMOST), IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, u"Ask", nullptr, MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION), IDNO)
      << "the default button answers";
  ASSERT_TRUE(screen::SetOrientation(screen::Orientation::Landscape));
  ASSERT_TRUE(screen::SetOrientation(screen::Orientation::Landscape));  // no change: no line
  EXPECT_EQ(MessageBoxW(reinterpret_cast<HWND>(0x4321), u"x", u"Nyxel", MB_OK), 0) << "an owner that is no window";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  auto lines = fresh();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["event"], "msgbox");
  EXPECT_EQ(lines[0]["caption"], "Nyxel");
  EXPECT_EQ(lines[0]["text"], "SetReminder() failed");
  EXPECT_EQ(lines[0]["type"], 0x40000);
  EXPECT_EQ(lines[0]["topmost"], true);
  EXPECT_EQ(lines[0]["buttons"], "ok");
  EXPECT_EQ(lines[0]["answer"], IDOK);
  EXPECT_TRUE(lines[0]["owner"].is_null());
  EXPECT_EQ(lines[1]["caption"], "Error");
  EXPECT_EQ(lines[1]["icon"], "question");
  EXPECT_EQ(lines[2]["event"], "screen");
  EXPECT_EQ(lines[2]["screen"]["w"], 320);
  EXPECT_EQ(lines[2]["screen"]["orientation"], "landscape");

  // The help viewer's kind of line goes in as given, on one line.
  EXPECT_TRUE(screen::AppendJournal("{\"event\": \"open\",\n \"kind\": \"viewer\"}"));
  EXPECT_FALSE(screen::AppendJournal("[1, 2]"));
  EXPECT_FALSE(screen::AppendJournal("{broken"));
  lines = fresh();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["kind"], "viewer");
}

TEST_F(ScreenJournal, ADamagedJournalIsReadPastItsBadLines) {
  MessageBoxW(nullptr, u"before", u"Nyxel", MB_OK);
  {
    std::ofstream out(screen::JournalPath(), std::ios::app | std::ios::binary);
    out << "not json at all\n";
    out << "{\"cut\": \n";
    out << std::string("\0\xff\xfe{}", 5) << "\n";
    out << "[\"an array\"]\n";
    out << "\n";
  }
  MessageBoxW(nullptr, u"after", u"Nyxel", MB_OK);
  {
    std::ofstream out(screen::JournalPath(), std::ios::app | std::ios::binary);
    out << "{\"event\": \"msgbox\", \"text\": \"still being writ";  // no line end yet
  }
  uint64_t next = 0, skipped = 0;
  auto lines = screen::ReadJournal(0, &next, &skipped);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(Json::parse(lines[0])["text"], "before");
  EXPECT_EQ(Json::parse(lines[1])["text"], "after");
  EXPECT_EQ(skipped, 4u) << "the empty line is not damage";
  // The unfinished line is read once it is whole.
  {
    std::ofstream out(screen::JournalPath(), std::ios::app | std::ios::binary);
    out << "ten\"}\n";
  }
  lines = screen::ReadJournal(next, &next, &skipped);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Json::parse(lines[0])["text"], "still being written");
  EXPECT_EQ(skipped, 0u);
  // A journal shorter than where a reader was (started over) is read from its start.
  { std::ofstream out(screen::JournalPath(), std::ios::trunc); }
  MessageBoxW(nullptr, u"anew", u"Nyxel", MB_OK);
  lines = screen::ReadJournal(next, &next, &skipped);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Json::parse(lines[0])["text"], "anew");
  // No journal at all is no lines.
  std::remove(screen::JournalPath().c_str());
  EXPECT_TRUE(screen::ReadJournal(0, &next, &skipped).empty());
}

TEST_F(ScreenJournal, WritersAtOnceNeverInterleave) {
  // Three other processes and four threads of this one, each writing boxes
  // with a long text.
  std::string longText(6000, 'z');  // a line longer than a pipe's atomic write
  std::vector<std::unique_ptr<nxtest::HelperProcess>> helpers;
  for (int p = 0; p < 3; ++p)
    helpers.push_back(std::make_unique<nxtest::HelperProcess>(std::vector<std::string>{"ui_msgbox", "40", longText}));
  std::vector<std::thread> threads;
  std::u16string text = utf8ToUtf16(longText);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 40; ++i) MessageBoxW(nullptr, text.c_str(), u"Nyxel", MB_OK);
    });
  for (auto& t : threads) t.join();
  for (auto& h : helpers) {
    EXPECT_EQ(h->readLine(60000), "answers 40\n");
    EXPECT_EQ(h->wait(), 0);
  }
  uint64_t next = 0, skipped = 0;
  auto lines = screen::ReadJournal(0, &next, &skipped);
  EXPECT_EQ(skipped, 0u);
  ASSERT_EQ(lines.size(), 280u);
  for (auto& l : lines) EXPECT_EQ(Json::parse(l)["text"].get<std::string>().substr(0, 6000), longText);
}
