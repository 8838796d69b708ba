// Device programs played by host programs: CreateProcessW of a mapped device
// path starts the host program, named and argued as the device program.
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "testkit.h"

namespace {

using namespace ce;

DWORD waitExit(HANDLE h) {
  DWORD code = STILL_ACTIVE;
  for (int waited = 0; waited < 10000; waited += 5) {
    if (!GetExitCodeProcess(h, &code) || code != STILL_ACTIVE) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return code;
}

class ProgramMap : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;

  // Runs the device program; its exit code, or the start's error + 1000.
  DWORD run(const char16_t* app, const std::u16string& args) {
    PROCESS_INFORMATION pi{};
    std::u16string line = args;
    if (!CreateProcessW(app, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi))
      return 1000 + GetLastError();
    DWORD code = waitExit(pi.hProcess);
    CloseHandle(pi.hProcess);
    return code;
  }
};

TEST_F(ProgramMap, AMappedProgramRunsTheHostProgramUnderTheDeviceName) {
  ASSERT_TRUE(MapDeviceProgram(u"\\Windows\\viewer.exe", nxtest::helperPath()));
  // It can be found like a program of the handset's ROM.
  DWORD attrs = GetFileAttributesW(u"\\Windows\\viewer.exe");
  ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(attrs & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(MappedHostProgram(u"\\WINDOWS\\Viewer.EXE"), nxtest::helperPath());

  const std::string out = dev.host("Temp/info.txt");
  EXPECT_EQ(run(u"\\windows\\VIEWER.exe", u"modinfo \"" + utf8ToUtf16(out) + u"\" page.htm \"two words\""), 0u);
  EXPECT_EQ(dev.readFile("Temp/info.txt"), "\\Windows\\viewer.exe\n" + nxtest::helperPath() + "\npage.htm\ntwo words\n");
}

TEST_F(ProgramMap, MappingWinsOverAProgramAtThePathAndCanBeUndone) {
  std::filesystem::copy_file(nxtest::helperPath(), dev.host("Windows/tool.exe"));
  const std::string mark = dev.host("Temp/mark");
  dev.writeFile("Temp/stand-in.sh", "#!/bin/sh\necho mapped > \"$2\"\nexit 7\n");
  ::chmod(dev.host("Temp/stand-in.sh").c_str(), 0755);
  ASSERT_TRUE(MapDeviceProgram(u"\\Windows\\tool.exe", dev.host("Temp/stand-in.sh")));
  EXPECT_EQ(run(u"\\Windows\\tool.exe", u"x \"" + utf8ToUtf16(mark) + u"\""), 7u) << "a script runs as well";
  EXPECT_EQ(dev.readFile("Temp/mark"), "mapped\n");
  EXPECT_TRUE(UnmapDeviceProgram(u"\\Windows\\tool.exe"));
  EXPECT_EQ(run(u"\\Windows\\tool.exe", u"exitwith 3"), 3u) << "the device's own program again";
  EXPECT_FALSE(UnmapDeviceProgram(u"\\Windows\\tool.exe"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // A placeholder without its mapping is no program.
  ASSERT_TRUE(MapDeviceProgram(u"\\Windows\\gone.exe", nxtest::helperPath()));
  ASSERT_TRUE(UnmapDeviceProgram(u"\\Windows\\gone.exe"));
  EXPECT_EQ(run(u"\\Windows\\gone.exe", u""), 1000 + ERROR_BAD_EXE_FORMAT);
}

TEST_F(ProgramMap, BadMappingsGetStatedCodes) {
  struct Case {
    const char16_t* device;
    std::string host;
    DWORD error;
  } cases[] = {
      {u"\\Windows\\a.exe", "relative/program", ERROR_INVALID_PARAMETER},
      {u"\\Windows\\a.exe", "", ERROR_INVALID_PARAMETER},
      {u"\\Windows\\a.exe", "/no/such/program", ERROR_FILE_NOT_FOUND},
      {u"\\NoFolder\\a.exe", nxtest::helperPath(), ERROR_PATH_NOT_FOUND},
      {u"Windows\\a.exe", nxtest::helperPath(), ERROR_BAD_PATHNAME},
      {nullptr, nxtest::helperPath(), ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    SetLastError(0);
    EXPECT_FALSE(MapDeviceProgram(c.device, c.host));
    EXPECT_EQ(GetLastError(), c.error);
  }
  nxtest::TempDir card;
  ASSERT_TRUE(InsertStorageCard(card.path()));
  EXPECT_FALSE(MapDeviceProgram(u"\\Storage Card\\a.exe", nxtest::helperPath()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  RemoveStorageCard();
  EXPECT_EQ(GetFileAttributesW(u"\\Windows\\a.exe"), INVALID_FILE_ATTRIBUTES) << "a refused mapping leaves nothing";

  // A mapped program whose host program went away fails to start, never runs something else.
  nxtest::TempDir bin;
  std::filesystem::copy_file(nxtest::helperPath(), bin.path() + "/prog");
  ASSERT_TRUE(MapDeviceProgram(u"\\Windows\\b.exe", bin.path() + "/prog"));
  std::filesystem::remove(bin.path() + "/prog");
  EXPECT_EQ(run(u"\\Windows\\b.exe", u"exitwith 0"), 1000 + ERROR_FILE_NOT_FOUND);
}

}  // namespace
