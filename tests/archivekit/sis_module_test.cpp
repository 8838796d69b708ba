// The SIS/SISX layer of archivekit.dll as the engine loads it: its own count
// under the module's, the factories of both readers, and the log lines of a
// failed binding and of a mismatched de-initialisation.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <cstdlib>

#include <gtest/gtest.h>

#include "archivekit/archivekit_api.h"
#include "ce/ce.h"
#include "platform/platform_api.h"
#include "testkit.h"

namespace {

namespace fs = std::filesystem;

std::u16string hostToDevice(const std::string& host) { return nxtest::viaHostMount(host); }

class SisLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ce::EnableHostMount(true);
    std::memcpy(saved_, g_szLogFileName, sizeof saved_);
    std::u16string log = u"\\Temp\\sis.log";
    std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * sizeof(char16_t));
  }
  void TearDown() override { std::memcpy(g_szLogFileName, saved_, sizeof saved_); }
  std::string logText() { return dev.readUtf16Text("Temp/sis.log"); }
  template <class F>
  F entry(ce::HMODULE m, const char16_t* name) {
    auto f = reinterpret_cast<F>(ce::GetProcAddressW(m, name));
    EXPECT_NE(f, nullptr) << ce::utf16ToUtf8(name);
    return f;
  }
  nxtest::TempDevice dev;
  char16_t saved_[ce::MAX_PATH];
};

TEST_F(SisLayer, CountsUnderTheModuleAndServesBothReaders) {
  ce::HMODULE m = MyLoadLibraryW(hostToDevice(std::string(NX_IMAGE_DIR) + "/archivekit.dll").c_str());
  ASSERT_NE(m, nullptr);
  auto init = entry<PFN_ArchiveLayerInit>(m, u"SisSdkLibInit");
  auto deinit = entry<PFN_ArchiveLayerDeinit>(m, u"SisSdkLibDeinit");
  auto createSis = entry<PFN_CreateArchiveObject>(m, u"CreateSisSdkObject");
  auto deleteSis = entry<PFN_DeleteArchiveObject>(m, u"DeleteSisSdkObject");
  auto createSisx = entry<PFN_CreateArchiveObject>(m, u"CreateSisxSdkObject");
  auto deleteSisx = entry<PFN_DeleteArchiveObject>(m, u"DeleteSisxSdkObject");
  ASSERT_TRUE(init && deinit && createSis && deleteSis && createSisx && deleteSisx);

  // LibInit brought the layer up once; direct calls count on top.
  EXPECT_EQ(init(), 2);
  EXPECT_EQ(deinit(), 1);

  EXPECT_EQ(createSis(nullptr), 0);
  EXPECT_EQ(createSisx(nullptr), 0);
  for (auto [create, destroy] : {std::pair{createSis, deleteSis}, std::pair{createSisx, deleteSisx}}) {
    ArchiveReaderObject* r = reinterpret_cast<ArchiveReaderObject*>(1);
    ASSERT_EQ(create(&r), 1);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ops->Reserved(r), 0);
    // Not a package of either kind, a missing file, a null path.
    dev.writeFile("Temp/x.sis", std::string(200, 'x'));
    EXPECT_EQ(r->ops->Open(r, -1, u"\\Temp\\x.sis"), 0);
    EXPECT_EQ(r->ops->Open(r, -1, u"\\Temp\\none.sis"), 0);
    EXPECT_EQ(r->ops->Open(r, -1, nullptr), 0);
    char16_t name[260];
    EXPECT_EQ(r->ops->ExtractNext(r, u"\\Temp\\m", name), 0);
    r->ops->Close(r);
    destroy(r);
  }
  deleteSis(nullptr);
  deleteSisx(nullptr);

  // Taken down once too often: logged with its code and answered 0.
  EXPECT_EQ(deinit(), 0);
  EXPECT_EQ(deinit(), 0);
  std::string log = logText();
  EXPECT_NE(log.find("archivekit.dll: Error LibInit LibDeinit mismatched."), std::string::npos) << log;
  EXPECT_NE(log.find("sissdk: LibDeinit: error code - 184"), std::string::npos) << log;
  // Up again, and the readers have a wrapper once more.
  EXPECT_EQ(init(), 1);
  ArchiveReaderObject* r = nullptr;
  ASSERT_EQ(createSis(&r), 1);
  deleteSis(r);
  EXPECT_TRUE(MyFreeLibrary(m));
}

TEST_F(SisLayer, WithoutFilekitTheLayerFailsWithItsCode) {
  // Loaded without the module frame, the layer binds filekit.dll itself.
  fs::create_directories(dev.host("Program Files/Alone"));
  fs::copy_file(std::string(NX_IMAGE_DIR) + "/archivekit.dll", dev.host("Program Files/Alone/archivekit.dll"));
  fs::copy_file(std::string(NX_IMAGE_DIR) + "/platform.dll", dev.host("Program Files/Alone/platform.dll"));
  ce::HMODULE m = ce::LoadLibraryW(u"\\Program Files\\Alone\\archivekit.dll");
  ASSERT_NE(m, nullptr);
  auto init = entry<PFN_ArchiveLayerInit>(m, u"SisSdkLibInit");
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(init(), 0);
  std::string log = logText();
  EXPECT_NE(log.find("archivekit.dll: Unable to load filekit.dll."), std::string::npos) << log;
  EXPECT_NE(log.find("sissdk: LibInit: error code - 188"), std::string::npos) << log;
  ce::FreeLibrary(m);
}

TEST_F(SisLayer, AFailedWrapperOfEitherBindingIsLoggedWithItsCode) {
  // A filekit.dll whose wrapper factory fails on the first call (the layer's
  // own wrapper) or on the second (the inflater layer's).
  struct Case {
    const char* failAt;
    std::vector<const char*> lines;
  };
  const Case cases[] = {
      {"1", {"sissdk: LibInit: error code - 189"}},
      {"2", {"libz: LibInit: error code - 209", "archivekit.dll: Unable to load libz.dll."}},
  };
  int folder = 0;
  for (const Case& c : cases) {
    std::string dir = "Program Files/Fake" + std::to_string(folder++);
    fs::create_directories(dev.host(dir));
    for (const char* f : {"archivekit.dll", "platform.dll"})
      fs::copy_file(std::string(NX_IMAGE_DIR) + "/" + f, dev.host(dir + "/" + f));
    fs::copy_file(NX_FAKE_FILEKIT, dev.host(dir + "/filekit.dll"));
    ::setenv("NX_FAKE_FILEKIT_FAIL_AT", c.failAt, 1);
    std::u16string path = u"\\" + ce::utf8ToUtf16(dir) + u"\\archivekit.dll";
    for (auto& ch : path)
      if (ch == u'/') ch = u'\\';
    ce::HMODULE m = ce::LoadLibraryW(path.c_str());
    ASSERT_NE(m, nullptr) << c.failAt;
    auto init = entry<PFN_ArchiveLayerInit>(m, u"SisSdkLibInit");
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init(), 0) << c.failAt;
    std::string log = logText();
    for (const char* line : c.lines) EXPECT_NE(log.find(line), std::string::npos) << c.failAt << "\n" << log;
    ce::FreeLibrary(m);
    ::unsetenv("NX_FAKE_FILEKIT_FAIL_AT");
  }
}

}  // namespace
