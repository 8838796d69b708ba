#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform_api.h"
#include "test_util.h"

namespace {

using ce::WCHAR;

constexpr const char* kDir = "Program Files/Nyxel/Nyxel AntiVirus";
constexpr const WCHAR* kDevDir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\";

std::string built(const char* name) { return std::string(PLATFORM_TEST_MODULE_DIR) + "/" + name; }
std::u16string devPath(const char16_t* name) { return std::u16string(kDevDir) + name; }

class Loader : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* m : {"frame_counting.dll", "frame_refuses.dll", "frame_needs.dll", "frame_invalid.dll"})
      pt::installModule(dev, built(m), kDir);
    // Each test reads its own log.
    std::u16string log = u"\\Temp\\loader.log";
    std::memcpy(saved_, g_szLogFileName, sizeof saved_);
    std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * sizeof(WCHAR));
  }
  void TearDown() override { std::memcpy(g_szLogFileName, saved_, sizeof saved_); }
  // The log's lines without their time and thread prefix.
  std::vector<std::string> logTexts() {
    std::vector<std::string> out;
    std::string all = pt::narrow(pt::readUtf16(dev, "Temp/loader.log"));
    size_t pos = 0;
    while (pos < all.size()) {
      size_t end = all.find("\r\n", pos);
      if (end == std::string::npos) end = all.size();
      std::string line = all.substr(pos, end - pos);
      size_t sep = line.find(": ");  // after "H:M:S:TTTTTTTT"
      bool stamped = !line.empty() && std::isdigit(static_cast<unsigned char>(line[0])) && sep != std::string::npos;
      out.push_back(stamped ? line.substr(sep + 2) : line);
      pos = end + 2;
    }
    return out;
  }
  nxtest::TempDevice dev;
  WCHAR saved_[ce::MAX_PATH];
};

using FrameCountFn = int (*)();

TEST_F(Loader, CountsEveryLoadAndTearsDownOnTheLast) {
  std::u16string path = devPath(u"frame_counting.dll");
  ce::HMODULE a = MyLoadLibraryW(path.c_str());
  ASSERT_NE(a, nullptr);
  ce::HMODULE b = MyLoadLibraryA(pt::narrow(path).c_str());
  ASSERT_EQ(a, b);
  auto count = reinterpret_cast<FrameCountFn>(MyGetProcAddressW(a, u"FrameCount"));
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(reinterpret_cast<ce::FARPROC>(count), MyGetProcAddressA(a, "FrameCount"));
  EXPECT_EQ(count(), 2);

  // The module's directory is found by its file name once it is loaded.
  WCHAR dir[ce::MAX_PATH];
  EXPECT_EQ(GetNXModuleDirW(u"frame_counting.dll", dir, ce::MAX_PATH), static_cast<int>(path.size()));
  EXPECT_EQ(std::u16string(dir), kDevDir);

  EXPECT_EQ(MyFreeLibrary(a), 1);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(MyFreeLibrary(b), 1);
  EXPECT_EQ(ce::GetModuleHandleW(u"frame_counting.dll"), nullptr);
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"frame_counting.dll: set up", "frame_counting.dll: torn down"}));
}

TEST_F(Loader, ModuleWhoseLibInitFailsIsNotLeftLoaded) {
  std::u16string path = devPath(u"frame_refuses.dll");
  EXPECT_EQ(MyLoadLibraryW(path.c_str()), nullptr);
  EXPECT_EQ(ce::GetModuleHandleW(u"frame_refuses.dll"), nullptr);
  // Nothing holds the file: it can be replaced or deleted.
  EXPECT_TRUE(ce::DeleteFileW(path.c_str()));
  // Its first init failed, so there was nothing to tear down.
  EXPECT_EQ(logTexts(), (std::vector<std::string>{"frame_refuses.dll: set up refused"}));
}

TEST_F(Loader, SiblingLoadedFromTheModulesOwnFolder) {
  ce::HMODULE needs = MyLoadLibraryW(devPath(u"frame_needs.dll").c_str());
  ASSERT_NE(needs, nullptr);
  ce::HMODULE sibling = ce::GetModuleHandleW(u"frame_counting.dll");
  ASSERT_NE(sibling, nullptr);
  EXPECT_EQ(MyFreeLibrary(needs), 1);
  EXPECT_EQ(ce::GetModuleHandleW(u"frame_counting.dll"), nullptr);
}

TEST_F(Loader, MissingSiblingOrEntryIsLoggedAndFailsTheLoad) {
  ASSERT_TRUE(ce::DeleteFileW(devPath(u"frame_counting.dll").c_str()));
  EXPECT_EQ(MyLoadLibraryW(devPath(u"frame_needs.dll").c_str()), nullptr);
  pt::installModule(dev, built("frame_counting.dll"), kDir);
  EXPECT_EQ(MyLoadLibraryW(devPath(u"frame_invalid.dll").c_str()), nullptr);
  EXPECT_EQ(ce::GetModuleHandleW(u"frame_invalid.dll"), nullptr);
  EXPECT_EQ(ce::GetModuleHandleW(u"frame_counting.dll"), nullptr);
  EXPECT_EQ(logTexts(), (std::vector<std::string>{
                            "frame_needs.dll: Unable to load frame_counting.dll.",
                            "frame_counting.dll: set up",
                            "frame_invalid.dll: Invalid frame_counting.dll.",
                            "frame_counting.dll: torn down",
                        }));
}

TEST_F(Loader, DeinitWithoutInitIsAMismatch) {
  ce::HMODULE h = MyLoadLibraryW(devPath(u"frame_counting.dll").c_str());
  ASSERT_NE(h, nullptr);
  auto deinit = reinterpret_cast<FrameCountFn>(MyGetProcAddressW(h, u"LibDeinit"));
  ASSERT_NE(deinit, nullptr);
  EXPECT_EQ(deinit(), 0);  // 1 -> 0: torn down
  EXPECT_EQ(deinit(), 0);  // mismatch
  EXPECT_EQ(MyFreeLibrary(h), 1);  // its LibDeinit is a mismatch again; the module is still freed
  EXPECT_EQ(ce::GetModuleHandleW(u"frame_counting.dll"), nullptr);
  EXPECT_EQ(logTexts(), (std::vector<std::string>{
                            "frame_counting.dll: set up",
                            "frame_counting.dll: torn down",
                            "frame_counting.dll: Error LibInit LibDeinit mismatched.",
                            "frame_counting: LibDeinit: error code - 132",
                            "frame_counting.dll: Error LibInit LibDeinit mismatched.",
                            "frame_counting: LibDeinit: error code - 132",
                        }));
}

TEST_F(Loader, ModuleWithoutFrameAndBadArguments) {
  pt::installModule(dev, std::string(CE_TEST_MODULE_DIR) + "/ce_test_module_v1.dll", kDir);
  ce::HMODULE plain = MyLoadLibraryW(devPath(u"ce_test_module_v1.dll").c_str());
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(MyGetProcAddressW(plain, u"NoSuchExport"), nullptr);
  EXPECT_EQ(MyGetProcAddressW(plain, nullptr), nullptr);
  EXPECT_EQ(MyGetProcAddressA(plain, nullptr), nullptr);
  EXPECT_EQ(MyGetProcAddressW(nullptr, u"ModuleVersion"), nullptr);
  EXPECT_EQ(MyGetProcAddressA(nullptr, "ModuleVersion"), nullptr);
  EXPECT_EQ(MyFreeLibrary(plain), 1);

  EXPECT_EQ(MyLoadLibraryW(nullptr), nullptr);
  EXPECT_EQ(MyLoadLibraryA(nullptr), nullptr);
  EXPECT_EQ(MyLoadLibraryW(devPath(u"missing.dll").c_str()), nullptr);
  EXPECT_EQ(MyFreeLibrary(nullptr), 0);
  std::string tooLong(300, 'x');
  EXPECT_EQ(MyLoadLibraryA(tooLong.c_str()), nullptr);
}

}  // namespace
