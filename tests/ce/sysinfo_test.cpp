// The version and platform type the device reports, by its kind.
#include <string>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "testkit.h"

namespace {

using namespace ce;

TEST(SystemInfo, VersionAndPlatformFollowTheDeviceKind) {
  nxtest::TempDevice dev;
  struct Case {
    const char* kind;
    DWORD minor;
    const char16_t* platform;
  } cases[] = {
      {"pocketpc-5.1", 1, u"PocketPC"},
      {"pocketpc-5.2", 2, u"PocketPC"},
      {"smartphone-5.1", 1, u"SmartPhone"},
      {"smartphone-5.2", 2, u"SmartPhone"},
  };
  EXPECT_EQ(DeviceKind(), "pocketpc-5.1") << "the default";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    ASSERT_TRUE(SetDeviceKind(c.kind));
    EXPECT_EQ(DeviceKind(), c.kind);
    OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(GetVersionExW(&v));
    EXPECT_EQ(v.dwMajorVersion, 5u);
    EXPECT_EQ(v.dwMinorVersion, c.minor);
    EXPECT_EQ(v.dwPlatformId, VER_PLATFORM_WIN32_CE);
    WCHAR type[32] = {};
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETPLATFORMTYPE, sizeof type, type, 0));
    EXPECT_EQ(std::u16string(type), c.platform);
  }
}

TEST(SystemInfo, BadCallsGetStatedCodes) {
  nxtest::TempDevice dev;
  EXPECT_FALSE(SetDeviceKind("pocketpc-6.0"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  dev.writeFile(".ce/device.conf", "kind=toaster\n");
  EXPECT_EQ(DeviceKind(), "pocketpc-5.1") << "an unknown setting reads as the default";

  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = 20;
  EXPECT_FALSE(GetVersionExW(&v));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(GetVersionExW(nullptr));

  WCHAR type[8];
  EXPECT_FALSE(SystemParametersInfoW(SPI_GETPLATFORMTYPE, sizeof type, type, 0)) << "\"PocketPC\" needs 18 bytes";
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  WCHAR big[64];
  EXPECT_FALSE(SystemParametersInfoW(0x1234, sizeof big, big, 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

}  // namespace
