#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform_api.h"
#include "test_util.h"

namespace {

using ce::WCHAR;

std::u16string programDir() {
  WCHAR exe[ce::MAX_PATH];
  std::u16string p(exe, ce::GetModuleFileNameW(nullptr, exe, ce::MAX_PATH));
  return p.substr(0, p.rfind(u'\\') + 1);
}

TEST(ModuleDir, ProgramDirectoryWithTrailingSlashAndFullPathLength) {
  nxtest::TempDevice dev;
  WCHAR exe[ce::MAX_PATH];
  int full = static_cast<int>(ce::GetModuleFileNameW(nullptr, exe, ce::MAX_PATH));
  WCHAR buf[ce::MAX_PATH];
  EXPECT_EQ(GetNXModuleDirW(nullptr, buf, ce::MAX_PATH), full);
  EXPECT_EQ(std::u16string(buf), programDir());

  char abuf[ce::MAX_PATH];
  EXPECT_EQ(GetNXModuleDirA(nullptr, abuf, ce::MAX_PATH), full);
  EXPECT_EQ(std::string(abuf), pt::narrow(programDir()));
}

TEST(ModuleDir, BadArgumentsLeaveTheBufferAlone) {
  nxtest::TempDevice dev;
  WCHAR buf[ce::MAX_PATH];
  std::fill(std::begin(buf), std::end(buf), u'#');
  EXPECT_EQ(GetNXModuleDirW(nullptr, nullptr, ce::MAX_PATH), 0);
  EXPECT_EQ(GetNXModuleDirW(nullptr, buf, ce::MAX_PATH - 1), 0);
  EXPECT_EQ(GetNXModuleDirW(u"notloaded.dll", buf, ce::MAX_PATH), 0);
  EXPECT_EQ(buf[0], u'#');
  char abuf[ce::MAX_PATH] = "#";
  EXPECT_EQ(GetNXModuleDirA(nullptr, abuf, 259), 0);
  EXPECT_EQ(abuf[0], '#');
}

TEST(ModuleDir, PathWithoutBackslashGetsOneAppended) {
  nxtest::TempDevice dev;
  WCHAR saved[ce::MAX_PATH];
  std::u16string old(saved, ce::GetModuleFileNameW(nullptr, saved, ce::MAX_PATH));
  ce::SetProgramPath(u"nxprog.exe");
  WCHAR buf[ce::MAX_PATH];
  int n = GetNXModuleDirW(nullptr, buf, ce::MAX_PATH);
  ce::SetProgramPath(old);
  EXPECT_EQ(n, 10);
  EXPECT_EQ(std::u16string(buf), u"nxprog.exe\\");
}

TEST(InstallPath, RecordsExistingDirectoriesOnly) {
  nxtest::TempDevice dev;
  dev.writeFile("Apps/file.txt", "x");
  struct Case {
    const WCHAR* path;
    int result;
  } cases[] = {
      {u"\\Apps", 1},           {u"\\Apps\\", 1},      {u"\\Apps\\file.txt", 0},
      {u"\\Missing", 0},        {nullptr, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(SetNXPathW(c.path), c.result) << (c.path ? pt::narrow(c.path) : "null");
  EXPECT_EQ(SetNXPathA("\\Apps"), 1);
  EXPECT_EQ(SetNXPathA("\\Apps\\file.txt"), 0);
}

TEST(InstallPath, OverlongPathIsRefusedNotCutToAnExistingFolder) {
  nxtest::TempDevice dev;
  // A folder whose device path is exactly 259 characters ...
  std::string a(128, 'a'), b(129, 'b');
  std::filesystem::create_directories(dev.host(a + "/" + b));
  std::u16string dir = u"\\" + ce::utf8ToUtf16(a) + u"\\" + ce::utf8ToUtf16(b);
  ASSERT_EQ(dir.size(), 259u);
  EXPECT_EQ(SetNXPathW(dir.c_str()), 1);
  // ... and a longer name that starts with it must not be taken for it.
  std::u16string longer = dir + u"c";
  EXPECT_EQ(SetNXPathW(longer.c_str()), 0);
  EXPECT_EQ(SetNXTempPathW(longer.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dev.host(a + "/" + b + "c")));
}

TEST(TempPath, CreatesOneLevelAndHandsItOutWithSlash) {
  nxtest::TempDevice dev;
  EXPECT_EQ(SetNXTempPathW(nullptr), 0);
  EXPECT_EQ(SetNXTempPathW(u"\\NoParent\\tmp"), 0);
  EXPECT_FALSE(std::filesystem::exists(dev.host("NoParent")));
  dev.writeFile("afile", "x");
  EXPECT_EQ(SetNXTempPathW(u"\\afile"), 0);

  ASSERT_EQ(SetNXTempPathW(u"\\Temp\\nx\\"), 1);
  EXPECT_TRUE(std::filesystem::is_directory(dev.host("Temp/nx")));

  WCHAR buf[ce::MAX_PATH];
  EXPECT_EQ(GetNXTempPathW(buf, ce::MAX_PATH - 1), 0);
  EXPECT_EQ(GetNXTempPathW(nullptr, ce::MAX_PATH), 0);
  ASSERT_EQ(GetNXTempPathW(buf, ce::MAX_PATH), 1);
  EXPECT_EQ(std::u16string(buf), u"\\Temp\\nx\\");

  // Someone deleted it: asking again makes it anew.
  std::filesystem::remove(dev.host("Temp/nx"));
  ASSERT_EQ(GetNXTempPathW(buf, ce::MAX_PATH), 1);
  EXPECT_TRUE(std::filesystem::is_directory(dev.host("Temp/nx")));

  char abuf[ce::MAX_PATH];
  ASSERT_EQ(SetNXTempPathA("\\Temp\\ansi"), 1);
  ASSERT_EQ(GetNXTempPathA(abuf, ce::MAX_PATH), 1);
  EXPECT_STREQ(abuf, "\\Temp\\ansi\\");
  EXPECT_EQ(GetNXTempPathA(abuf, 259), 0);
}

TEST(TempPath, KeepsRoomForTheTrailingSlash) {
  nxtest::TempDevice dev;
  std::string a(128, 'a'), b(129, 'b');
  std::filesystem::create_directories(dev.host(a + "/" + b));
  std::u16string dir = u"\\" + ce::utf8ToUtf16(a) + u"\\" + ce::utf8ToUtf16(b);  // 259 characters
  EXPECT_EQ(SetNXTempPathW(dir.c_str()), 0);
  std::u16string shorter = dir.substr(0, 258);
  std::filesystem::create_directories(dev.host(a + "/" + b.substr(0, 128)));
  ASSERT_EQ(SetNXTempPathW(shorter.c_str()), 1);
  WCHAR buf[ce::MAX_PATH];
  ASSERT_EQ(GetNXTempPathW(buf, ce::MAX_PATH), 1);
  EXPECT_EQ(std::u16string(buf), shorter + u"\\");
}

// A refused temporary folder leaves nothing behind: one of 259 characters
// has no room for the "\" it is handed out with, and must not be created.
TEST(TempPath, RefusedMissingFolderIsNotCreated) {
  nxtest::TempDevice dev;
  std::string a(128, 'a'), b(129, 'b');
  std::filesystem::create_directories(dev.host(a));
  const std::u16string dir = u"\\" + ce::utf8ToUtf16(a) + u"\\" + ce::utf8ToUtf16(b);
  ASSERT_EQ(dir.size(), 259u);
  EXPECT_EQ(SetNXTempPathW(dir.c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dev.host(a + "/" + b)));
  EXPECT_EQ(SetNXTempPathW((dir + u"\\").c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dev.host(a + "/" + b)));
  EXPECT_EQ(SetNXTempPathA(pt::narrow(dir).c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(dev.host(a + "/" + b)));
  // The recorded folder stays what it was.
  ASSERT_EQ(SetNXTempPathW(u"\\Temp"), 1);
  EXPECT_EQ(SetNXTempPathW(dir.c_str()), 0);
  WCHAR buf[ce::MAX_PATH];
  ASSERT_EQ(GetNXTempPathW(buf, ce::MAX_PATH), 1);
  EXPECT_EQ(std::u16string(buf), u"\\Temp\\");
  // One character less fits and is made.
  EXPECT_EQ(SetNXTempPathW(dir.substr(0, 258).c_str()), 1);
  EXPECT_TRUE(std::filesystem::is_directory(dev.host(a + "/" + b.substr(0, 128))));
}

TEST(Misc, LongPathCopyWindowsDirectoryAndOs) {
  WCHAR out[ce::MAX_PATH];
  EXPECT_EQ(NxGetLongPathNameW(u"\\My Documents\\a.txt", out), 1);
  EXPECT_EQ(std::u16string(out), u"\\My Documents\\a.txt");
  EXPECT_EQ(NxGetLongPathNameW(nullptr, out), 0);
  EXPECT_EQ(NxGetLongPathNameW(u"x", nullptr), 0);
  std::u16string tooLong(ce::MAX_PATH, u'x');
  out[0] = u'#';
  EXPECT_EQ(NxGetLongPathNameW(tooLong.c_str(), out), 0);
  EXPECT_EQ(out[0], u'#');
  char aout[ce::MAX_PATH];
  EXPECT_EQ(NxGetLongPathNameA("\\a\\b", aout), 1);
  EXPECT_STREQ(aout, "\\a\\b");
  EXPECT_EQ(NXGetWindowsDirectoryW(out, ce::MAX_PATH), 0);
  EXPECT_EQ(NXGetWindowsDirectoryA(aout, ce::MAX_PATH), 0);
  EXPECT_EQ(GetOS(), 3);
}

}  // namespace
