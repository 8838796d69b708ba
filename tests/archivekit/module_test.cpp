// archivekit.dll as the engine loads it: the counted LibInit/LibDeinit pair
// over the CAB and SIS layers, the CAB layer's own count and its binding of
// filekit.dll, the factories, and the log lines of a failed binding.
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "archivekit/archivekit_api.h"
#include "cab_builder.h"
#include "ce/ce.h"
#include "platform/platform_api.h"
#include "testkit.h"

namespace {

namespace fs = std::filesystem;

std::u16string hostToDevice(const std::string& host) { return nxtest::viaHostMount(host); }

class ArchiveModule : public ::testing::Test {
 protected:
  void SetUp() override {
    ce::EnableHostMount(true);
    std::memcpy(saved_, g_szLogFileName, sizeof saved_);
    std::u16string log = u"\\Temp\\archivekit.log";
    std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * sizeof(char16_t));
  }
  void TearDown() override { std::memcpy(g_szLogFileName, saved_, sizeof saved_); }
  std::string logText() { return dev.readUtf16Text("Temp/archivekit.log"); }
  template <class F>
  F entry(ce::HMODULE m, const char16_t* name) {
    auto f = reinterpret_cast<F>(MyGetProcAddressW(m, name));
    EXPECT_NE(f, nullptr) << ce::utf16ToUtf8(name);
    return f;
  }
  nxtest::TempDevice dev;
  char16_t saved_[ce::MAX_PATH];
};

TEST_F(ArchiveModule, CountsLayersAndServesReaders) {
  ce::HMODULE m = MyLoadLibraryW(hostToDevice(std::string(NX_IMAGE_DIR) + "/archivekit.dll").c_str());
  ASSERT_NE(m, nullptr);
  auto libInit = entry<PFN_ArchiveLibInit>(m, u"LibInit");
  auto libDeinit = entry<PFN_ArchiveLibDeinit>(m, u"LibDeinit");
  auto cabInit = entry<PFN_ArchiveLayerInit>(m, u"CabSdkLibInit");
  auto cabDeinit = entry<PFN_ArchiveLayerDeinit>(m, u"CabSdkLibDeinit");
  auto create = entry<PFN_CreateArchiveObject>(m, u"CreateCabSdkObject");
  auto destroy = entry<PFN_DeleteArchiveObject>(m, u"DeleteCabSdkObject");
  ASSERT_TRUE(libInit && libDeinit && cabInit && cabDeinit && create && destroy);
  EXPECT_NE(MyGetProcAddressW(m, u"SisSdkLibInit"), nullptr);

  // The loader ran the first LibInit; later ones only count.
  EXPECT_EQ(libInit(), 2);
  EXPECT_EQ(libDeinit(), 1);
  // The CAB layer counts on its own.
  EXPECT_EQ(cabInit(), 2);
  EXPECT_EQ(cabDeinit(), 1);

  EXPECT_EQ(create(nullptr), 0);
  ArchiveReaderObject* reader = nullptr;
  ASSERT_EQ(create(&reader), 1);
  ASSERT_NE(reader, nullptr);
  cabtest::Cabinet cab;
  cab.folders.push_back(cabtest::mszipFolder("through the module"));
  cab.files = {{"m.txt", 18, 0, 0}};
  dev.writeFile("Temp/m.cab", cabtest::build(cab));
  ASSERT_EQ(reader->ops->Open(reader, -1, u"\\Temp\\m.cab"), 1);
  char16_t name[260] = {};
  ASSERT_EQ(reader->ops->ExtractNext(reader, u"\\Temp\\m.out", name), 1);
  EXPECT_EQ(std::u16string(name), u"m.txt");
  EXPECT_EQ(dev.readFile("Temp/m.out"), "through the module");
  EXPECT_EQ(reader->ops->ExtractNext(reader, u"\\Temp\\m.out2", name), 0);
  EXPECT_EQ(reader->ops->Close(reader), 1);
  destroy(reader);
  destroy(nullptr);

  // Taking the CAB layer down once too often is logged and answered 0.
  EXPECT_EQ(cabDeinit(), 0);
  EXPECT_EQ(cabDeinit(), 0);
  EXPECT_NE(logText().find("archivekit.dll: Error LibInit LibDeinit mismatched."), std::string::npos) << logText();
  EXPECT_EQ(cabInit(), 1);  // bound again, for the module's own last LibDeinit

  EXPECT_NE(MyFreeLibrary(m), 0);
}

TEST_F(ArchiveModule, WithoutFilekitTheModuleDoesNotLoad) {
  fs::create_directories(dev.host("Program Files/Alone"));
  fs::copy_file(std::string(NX_IMAGE_DIR) + "/archivekit.dll", dev.host("Program Files/Alone/archivekit.dll"));
  EXPECT_EQ(MyLoadLibraryW(u"\\Program Files\\Alone\\archivekit.dll"), nullptr);
  EXPECT_NE(logText().find("archivekit.dll: Unable to load filekit.dll."), std::string::npos) << logText();
}

}  // namespace
