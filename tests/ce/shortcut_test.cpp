// Shortcut files: the handset's "N#target" text, written and read back, and
// damaged ones refused with a stated code.
#include <string>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "testkit.h"

namespace {

using namespace ce;

class Shortcuts : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;

  std::u16string read(const char16_t* path, DWORD& error, int cch = MAX_PATH) {
    WCHAR buf[MAX_PATH] = {};
    SetLastError(0);
    BOOL ok = SHGetShortcutTarget(path, buf, cch);
    error = ok ? 0 : GetLastError();
    return ok ? std::u16string(buf) : std::u16string();
  }
};

TEST_F(Shortcuts, WrittenInTheHandsetsFormatAndReadBack) {
  struct Case {
    const char16_t* target;
    const char* stored;
    const char16_t* readBack;
  } cases[] = {
      {u"\\Windows\\NXAVWM.htm", "21#\"\\Windows\\NXAVWM.htm\"", u"\"\\Windows\\NXAVWM.htm\""},
      // Quoted already: a program with its arguments, kept as given.
      {u"\"\\Windows\\peghelp.exe\" NXAVWM.htm", "33#\"\\Windows\\peghelp.exe\" NXAVWM.htm",
       u"\"\\Windows\\peghelp.exe\" NXAVWM.htm"},
      // Code page 1252 on disk.
      {u"\\Temp\\caf\u00e9.exe", "16#\"\\Temp\\caf\xe9.exe\"", u"\"\\Temp\\caf\u00e9.exe\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    ASSERT_TRUE(SHCreateShortcut(u"\\Temp\\x.lnk", c.target));
    EXPECT_EQ(dev.readFile("Temp/x.lnk"), c.stored);
    DWORD err;
    EXPECT_EQ(read(u"\\Temp\\x.lnk", err), c.readBack);
    EXPECT_EQ(err, 0u);
  }
}

TEST_F(Shortcuts, HandMadeShortcutsWithLineBreaksOrUtf16Read) {
  DWORD err;
  dev.writeFile("Temp/crlf.lnk", "8#\\a\\b.exe\r\n");
  EXPECT_EQ(read(u"\\Temp\\crlf.lnk", err), u"\\a\\b.exe");
  std::string utf16("\xFF\xFE", 2);
  for (char c : std::string("3#\\ab")) utf16 += std::string(1, c) + std::string(1, '\0');
  dev.writeFile("Temp/wide.lnk", utf16);
  EXPECT_EQ(read(u"\\Temp\\wide.lnk", err), u"\\ab");
}

TEST_F(Shortcuts, DamagedShortcutsAreRefused) {
  const char* damaged[] = {
      "",                          // empty
      "\"\\a.exe\"",               // no count
      "#\"\\a.exe\"",              // an empty count
      "9#\"\\a.exe\"",             // a count that does not match
      "x7#\"\\a.exe",              // no number
      "123456#\\a",                // a count longer than any target
      "0#",                        // nothing after the count
      "3#a\0b",                    // a terminator inside the target
  };
  for (const char* text : damaged) {
    SCOPED_TRACE(text);
    dev.writeFile("Temp/bad.lnk", std::string(text, text == damaged[7] ? 5 : std::char_traits<char>::length(text)));
    DWORD err;
    EXPECT_EQ(read(u"\\Temp\\bad.lnk", err), u"");
    EXPECT_EQ(err, ERROR_BAD_FORMAT);
  }
  dev.writeFile("Temp/huge.lnk", "4#\\abc" + std::string(5000, ' '));
  DWORD err;
  read(u"\\Temp\\huge.lnk", err);
  EXPECT_EQ(err, ERROR_BAD_FORMAT);
  read(u"\\Temp\\missing.lnk", err);
  EXPECT_EQ(err, ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(SHCreateShortcut(u"\\Temp\\ok.lnk", u"\\Windows\\a.exe"));
  read(u"\\Temp\\ok.lnk", err, 5);
  EXPECT_EQ(err, ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(Shortcuts, TargetsTheFormatCannotHoldAreRefused) {
  struct Case {
    const char16_t* target;
    DWORD error;
  } cases[] = {
      {u"", ERROR_INVALID_PARAMETER},
      {nullptr, ERROR_INVALID_PARAMETER},
      {u"\\a\r\n.exe", ERROR_INVALID_PARAMETER},
      {u"\\Temp\\\u4e2d.exe", ERROR_NO_UNICODE_TRANSLATION},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_FALSE(SHCreateShortcut(u"\\Temp\\y.lnk", c.target));
    EXPECT_EQ(GetLastError(), c.error);
  }
  std::u16string tooLong(kMaxShortcutTarget + 1, u'a');
  EXPECT_FALSE(SHCreateShortcut(u"\\Temp\\y.lnk", tooLong.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\y.lnk"), INVALID_FILE_ATTRIBUTES) << "nothing is written";
  EXPECT_FALSE(SHCreateShortcut(u"\\NoSuchFolder\\y.lnk", u"\\a.exe"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
