// scan.dll mapped by the dynamic linker instead of the platform loader (a
// program linking it directly): the module is on no device path, so it
// cannot find its own folder and LibInit fails with "Path not found", 121.
#include <gtest/gtest.h>

#include <cstring>

#include "ce/ce.h"
#include "platform/platform_api.h"
#include "testkit.h"

extern "C" int LibInit();
extern "C" int LibDeinit();

namespace {

TEST(ScanLinkedDirectly, LibInitWithoutAModuleFolderFails) {
  nxtest::TempDevice dev;
  ce::WCHAR saved[ce::MAX_PATH];
  std::memcpy(saved, g_szLogFileName, sizeof saved);
  const std::u16string log = u"\\Temp\\direct.log";
  std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * 2);

  EXPECT_EQ(LibInit(), 0);
  EXPECT_EQ(LibDeinit(), 0) << "the failed first call left the count at 0";

  std::string raw = dev.readFile("Temp/direct.log");
  std::u16string text(raw.size() / 2, u'\0');
  std::memcpy(text.data(), raw.data(), text.size() * 2);
  const std::string all = ce::utf16ToUtf8(text);
  EXPECT_NE(all.find(": scan.dll: Path not found.\r\n"), std::string::npos) << all;
  EXPECT_NE(all.find("\r\nscan: LibInit: error code - 121\r\n"), std::string::npos) << all;
  EXPECT_NE(all.find("scan.dll: Error LibInit LibDeinit mismatched."), std::string::npos) << all;
  std::memcpy(g_szLogFileName, saved, sizeof saved);
}

}  // namespace
