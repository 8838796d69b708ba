// nxdevice install and uninstall as the handset's CAB installer: the setup
// library's refusals, what an installation leaves in the device, what a
// removal takes away, and what it must never take.
#include "product_fixture.h"

namespace lifetest {
namespace {

const char* kNotApplicable = "The provided setup is not applicable for this device.";
const char* kAlreadyInstalled =
    "Nyxel is already installed on this system.You will need to uninstall the previous version before proceeding "
    "with new installation.";

class Install : public ProductDevice {
 protected:
  // What a removal must leave: the device as it was before the product came.
  std::set<std::string> before;
  void SetUp() override { before = tree(); }

  void expectNothingOfTheProduct() {
    std::set<std::string> now = tree();
    std::vector<std::string> added, lost;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(added));
    std::set_difference(before.begin(), before.end(), now.begin(), now.end(), std::back_inserter(lost));
    EXPECT_TRUE(added.empty()) << "left behind: " << testing::PrintToString(added);
    EXPECT_TRUE(lost.empty()) << "removed though not the product's: " << testing::PrintToString(lost);
    EXPECT_FALSE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel"));
    EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln"));
    EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"));
    EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel"));
  }

  void setInstallDir(const std::u16string& dir) {
    ce::HKEY k = nullptr;
    ce::DWORD disp = 0;
    ASSERT_EQ(ce::RegCreateKeyExW(ce::HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel", 0, nullptr, 0, 0,
                                  nullptr, &k, &disp),
              ce::ERROR_SUCCESS);
    ASSERT_EQ(ce::RegSetValueExW(k, u"InstallDir", 0, ce::REG_SZ, reinterpret_cast<const ce::BYTE*>(dir.c_str()),
                                 static_cast<ce::DWORD>((dir.size() + 1) * 2)),
              ce::ERROR_SUCCESS);
    ce::RegCloseKey(k);
  }
};

TEST_F(Install, PutsTheProductInPlaceAndUninstallTakesAllOfItAway) {
  auto r = nxdevice({"install"});
  ASSERT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "installed:     1.00")) << r.out;
  // The image's files, the help page in \Windows, the boot program's shortcut.
  for (const char* name : {"avapi.dll", "guardsvc.dll", "updsvc.dll", "setuphook.dll", "nxstartup.exe", "uires.dll",
                           "scanver.cnf", "upgcnf.dat"})
    EXPECT_TRUE(fs::exists(installed(name))) << name;
  EXPECT_TRUE(fs::exists(dev.host("Windows/NXAVWM.htm")));
  ce::WCHAR target[ce::kMaxShortcutTarget + 1] = {};
  ASSERT_TRUE(ce::SHGetShortcutTarget(u"\\Windows\\StartUp\\nxstartup.lnk", target, ce::kMaxShortcutTarget + 1));
  EXPECT_EQ(ce::utf16ToUtf8(target), "\"\\Program Files\\Nyxel\\Nyxel AntiVirus\\nxstartup.exe\"");
  // What setup prepared after the copy.
  for (const char* sub : {"Config", "temp", "Log", "Report", "Quarantine"})
    EXPECT_TRUE(fs::is_directory(installed(sub))) << sub;
  EXPECT_TRUE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel\\Nyxel AntiVirus\\1.00"));
  EXPECT_TRUE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln"));
  EXPECT_TRUE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"));
  EXPECT_TRUE(fs::exists(dev.host("Windows/Help/Nyxel AntiVirus.lnk")));
  EXPECT_TRUE(messageBoxTexts().empty()) << "an accepted install shows nothing";

  // Reports and quarantined files the product made go with it.
  spit(installed("Report/extra.txt"), "a report");
  spit(installed("Quarantine/q1.bin"), "quarantined");
  r = nxdevice({"uninstall"});
  ASSERT_EQ(r.code, 0) << r.out;
  expectNothingOfTheProduct();
  r = nxdevice({"uninstall"});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_TRUE(contains(r.out, "not installed")) << r.out;
}

struct KindCase {
  const char* kind;
  int status;
};

TEST_F(Install, OnlyPocketPcsOfWindowsMobile5And6AreAccepted) {
  for (const KindCase& c : {KindCase{"pocketpc-5.1", 0}, KindCase{"pocketpc-5.2", 0}, KindCase{"smartphone-5.1", 2},
                            KindCase{"smartphone-5.2", 2}}) {
    SCOPED_TRACE(c.kind);
    ASSERT_EQ(nxdevice({"init", "--kind", c.kind}).code, 0);
    const size_t boxes = messageBoxTexts().size();
    before = tree();
    auto r = nxdevice({"install"});
    EXPECT_EQ(r.code, c.status) << r.out;
    if (c.status == 2) {
      EXPECT_TRUE(contains(r.out, kNotApplicable)) << r.out;
      auto texts = messageBoxTexts();
      ASSERT_EQ(texts.size(), boxes + 1);
      EXPECT_EQ(texts.back(), kNotApplicable);
      EXPECT_EQ(tree(), before) << "a refused install copies nothing";
      EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel"));
    } else {
      EXPECT_TRUE(fs::exists(installed("avapi.dll")));
      ASSERT_EQ(nxdevice({"uninstall"}).code, 0);
      expectNothingOfTheProduct();
    }
  }
}

TEST_F(Install, ASecondInstallIsRefusedUnlessForcedAndACopyWithoutItsStringsIsInstalledOver) {
  ASSERT_EQ(nxdevice({"install"}).code, 0);
  spit(installed("Report/keep.txt"), "the user's history");
  auto r = nxdevice({"install"});
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_TRUE(contains(r.out, kAlreadyInstalled)) << r.out;
  EXPECT_EQ(messageBoxTexts().back(), kAlreadyInstalled);
  EXPECT_TRUE(fs::exists(installed("Report/keep.txt"))) << "a refused install changes nothing";

  // --force removes the installed copy first (its reports with it).
  r = nxdevice({"install", "--force"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_FALSE(fs::exists(installed("Report/keep.txt")));
  EXPECT_TRUE(fs::exists(installed("avapi.dll")));

  // Without uires.dll the earlier copy is not recognised: a fresh install.
  fs::remove(installed("uires.dll"));
  r = nxdevice({"install"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(fs::exists(installed("uires.dll")));
  ASSERT_EQ(nxdevice({"uninstall"}).code, 0);
  expectNothingOfTheProduct();
}

TEST_F(Install, SetupThatCannotRecordTheVersionTakesBackEverything) {
  // An image whose version record is missing: the version key cannot be made.
  const std::string img = work.path() + "/image";
  fs::copy(image(), img, fs::copy_options::recursive);
  fs::remove(img + "/scanver.cnf");
  auto r = nxdevice({"install", img});
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_TRUE(contains(r.out, "Setup is not valid")) << r.out;
  expectNothingOfTheProduct();
  EXPECT_FALSE(serviceRunning(u"OLN0:"));
}

TEST_F(Install, RemovalNeverReachesOutsideTheProductsOwnFolder) {
  // Files of the user's beside wherever the registry points.
  spit(dev.host("My Documents/letter.txt"), "dear");
  spit(dev.host("Program Files/Other/tool.exe"), "another product");
  ASSERT_EQ(nxdevice({"install"}).code, 0);
  spit(dev.host("Program Files/Nyxel/notes.txt"), "the user's, beside the product folder");
  for (const char16_t* dir : {u"\\My Documents", u"\\", u"\\Windows", u"\\Program Files", u"\\Program Files\\..",
                              u"\\Host\\tmp"}) {
    SCOPED_TRACE(ce::utf16ToUtf8(dir));
    setInstallDir(dir);
    auto r = nxdevice({"uninstall"});
    EXPECT_TRUE(fs::exists(dev.host("My Documents/letter.txt")));
    EXPECT_TRUE(fs::exists(dev.host("Program Files/Other/tool.exe")));
    EXPECT_TRUE(fs::exists(dev.host("Windows")));
    EXPECT_TRUE(fs::exists(dev.host("Program Files/Nyxel/notes.txt")));
    ASSERT_EQ(nxdevice({"install", "--force"}).code, 0);
  }
  // With the registry as setup left it, the product folder goes and its
  // parent stays for the user's file in it.
  auto r = nxdevice({"uninstall"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_FALSE(fs::exists(installed("")));
  EXPECT_TRUE(fs::exists(dev.host("Program Files/Nyxel/notes.txt")));
}

TEST_F(Install, RemovalWithTheInstalledSetupLibraryGoneUsesTheImages) {
  ASSERT_EQ(nxdevice({"install"}).code, 0);
  fs::remove(installed("setuphook.dll"));
  auto r = nxdevice({"uninstall"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(contains(r.out, "using the image's")) << r.out;
  expectNothingOfTheProduct();
}

TEST_F(Install, RemovalOfARunningProductStopsItsServicesFirst) {
  ASSERT_EQ(nxdevice({"install"}).code, 0);
  auto r = nxdevice({"boot"});
  ASSERT_EQ(r.code, 0) << r.out;
  ASSERT_TRUE(waitFor([] { return serviceRunning(u"OLN0:"); })) << r.out;
  r = nxdevice({"uninstall"});
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_FALSE(serviceRunning(u"OLN0:"));
  EXPECT_FALSE(serviceRunning(u"UPD0:"));
  EXPECT_FALSE(fs::exists(installed("guardsvc.dll"))) << "a module the host had loaded is removed once unloaded";
  EXPECT_EQ(nxdevice({"shutdown"}).code, 0);
}

}  // namespace
}  // namespace lifetest
