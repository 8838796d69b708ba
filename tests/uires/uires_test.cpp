#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "ce/ce.h"
#include "common/string_lookup.h"
#include "testkit.h"
#include "uires/uires_api.h"

namespace {

using ce::DWORD;
using ce::WCHAR;

const std::u16string kDir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
const std::string kHostDir = "Program Files/Nyxel/Nyxel AntiVirus";

class UiresTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dev.host(kHostDir)); }
  void install(const std::string& hostFile) {
    std::filesystem::copy_file(hostFile, dev.host(kHostDir + "/uires.dll"),
                               std::filesystem::copy_options::overwrite_existing);
  }
  nxtest::TempDevice dev;
};

TEST_F(UiresTest, TheLibraryHoldsEveryTextTheProductAsksFor) {
  install(std::string(NX_BUILD_DIR) + "/image/uires.dll");
  nx::UiStrings s;
  ASSERT_TRUE(s.load(kDir.c_str()));
  for (const auto& e : nx::ui::kCatalogue) {
    WCHAR buf[nx::kUiTextChars];
    EXPECT_GT(nx::LoadStringW(ce::GetModuleHandleW(u"uires.dll"), e.id, buf, nx::kUiTextChars), 0) << e.id;
    EXPECT_EQ(s.get(e.id, u"<fallback>"), std::u16string(e.text)) << e.id;
  }
  EXPECT_EQ(s.get(nx::ui::kToVersion, u"From Version:"), u"To Version:");
  EXPECT_EQ(s.get(4242, u"<fallback>"), u"<fallback>") << "an unknown identifier falls back";

  // The table is sorted with each identifier once.
  auto table = reinterpret_cast<nx::uires_fn::UiresStringTable>(
      ce::GetProcAddress(ce::GetModuleHandleW(u"uires.dll"), kUiresTableExport));
  ASSERT_NE(table, nullptr);
  DWORD n = 0;
  const UiresString* t = table(&n);
  std::set<DWORD> ids;
  for (DWORD i = 0; i < n; ++i) {
    if (i) {
      EXPECT_LT(t[i - 1].id, t[i].id);
    }
    ids.insert(t[i].id);
  }
  EXPECT_EQ(ids.size(), std::size(nx::ui::kCatalogue) + 1);
}

// Texts the user reads in reports and notifications, written out here as the
// product words them, not taken from the catalogue the library is built
// from: the library and the built-in fallbacks must both say exactly this.
TEST_F(UiresTest, ShownTextsAreWordedAsTheProductWordsThem) {
  struct Pinned {
    DWORD id;
    const char16_t* text;
  };
  const Pinned pinned[] = {
      {3018, u"Scan executable files."},
      {3019, u"Respond when a virus is found:"},
      {3020, u"Repair, delete if unsuccessful"},
      {3021, u"Delete automatically"},
      {3022, u"Prompt"},
      {3023, u"Report only"},
      {3054, u"Repair, quarantine if unsuccessful"},
      {3207, u"File was repaired."},
      {3208, u"File was deleted."},
      {3209, u"File was skipped."},
      {3210, u"File was unrepairable."},
      {3211, u"File was quarantined."},
      {3213, u"Nyxel AntiVirus"},
  };
  install(std::string(NX_BUILD_DIR) + "/image/uires.dll");
  nx::UiStrings library;
  ASSERT_TRUE(library.load(kDir.c_str()));
  const ce::HMODULE m = ce::GetModuleHandleW(u"uires.dll");
  for (const Pinned& p : pinned) {
    SCOPED_TRACE(p.id);
    WCHAR buf[nx::kUiTextChars];
    const int n = nx::LoadStringW(m, p.id, buf, nx::kUiTextChars);
    EXPECT_EQ(std::u16string(buf, n > 0 ? static_cast<size_t>(n) : 0), p.text) << "the library's text";
    const WCHAR* builtIn = nx::ui::builtIn(p.id);
    ASSERT_NE(builtIn, nullptr);
    EXPECT_EQ(std::u16string(builtIn), p.text) << "the built-in text";
  }
}

TEST_F(UiresTest, WithoutTheLibraryEveryTextIsItsFallback) {
  nx::UiStrings s;
  EXPECT_FALSE(s.load(kDir.c_str()));
  for (const auto& e : nx::ui::kCatalogue) {
    WCHAR buf[nx::kUiTextChars];
    EXPECT_EQ(std::u16string(s.get(e.id, e.text, buf, nx::kUiTextChars)), e.text);
    EXPECT_EQ(s.get(e.id), e.text);
  }
  EXPECT_EQ(s.get(nx::ui::kToVersion, u"From Version:"), u"From Version:");
  EXPECT_EQ(nx::LoadStringW(nullptr, 3000, nullptr, 0), 0);
  // Another install directory, a directory too long to hold the name: no library, no crash.
  EXPECT_FALSE(s.load((u"\\" + std::u16string(250, u'd')).c_str()));
  EXPECT_FALSE(s.load(nullptr));
}

TEST_F(UiresTest, AMissingIdentifierFallsBackAloneAndLongTextsAreCut) {
  install(std::string(UIRES_PARTIAL_DIR) + "/uires.dll");
  nx::UiStrings s;
  ASSERT_TRUE(s.load((kDir + u"\\").c_str()));
  EXPECT_EQ(s.get(nx::ui::kReportFor), u"Rapport pour:");
  EXPECT_EQ(s.get(nx::ui::kCompany), u"Nyxel (test library)");
  EXPECT_EQ(s.get(nx::ui::kVersion), u"Version:") << "missing in the library";
  EXPECT_EQ(s.get(nx::ui::kSeparator, u"--"), u"--") << "an empty text counts as missing";

  WCHAR buf[nx::kUiTextChars + 8];
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(s.get(3999, u"fb", buf, nx::kUiTextChars), buf);
  EXPECT_EQ(std::u16string(buf), std::u16string(259, u'L'));
  EXPECT_EQ(buf[nx::kUiTextChars], u'#') << "nothing past the caller's room";
  ce::HMODULE m = ce::GetModuleHandleW(u"uires.dll");
  EXPECT_EQ(nx::LoadStringW(m, 3998, buf, nx::kUiTextChars), 258) << "no half surrogate pair at the cut";
  EXPECT_EQ(nx::LoadStringW(m, 3999, buf, 1), 0);
  EXPECT_EQ(buf[0], 0);
  // A fallback longer than the room is cut too, terminated.
  WCHAR small[4];
  EXPECT_EQ(std::u16string(s.get(3013, u"Version:", small, 4)), u"Ver");
}

TEST_F(UiresTest, ALibraryWithoutATableGivesFallbacksAndIsFreedAfterUse) {
  install(std::string(NX_BUILD_DIR) + "/image/platform.dll");
  {
    nx::UiStrings s;
    ASSERT_TRUE(s.load(kDir.c_str()));
    EXPECT_EQ(s.get(nx::ui::kProduct), u"Nyxel AntiVirus");
    EXPECT_NE(ce::GetModuleHandleW(u"uires.dll"), nullptr);
  }
  EXPECT_EQ(ce::GetModuleHandleW(u"uires.dll"), nullptr);
  // Freed, the file can be replaced.
  install(std::string(NX_BUILD_DIR) + "/image/uires.dll");
  nx::UiStrings s;
  ASSERT_TRUE(s.load(kDir.c_str()));
  EXPECT_EQ(s.get(nx::ui::kTitleFailed, u"x"), u"UPDATE FAILED");
}

}  // namespace
