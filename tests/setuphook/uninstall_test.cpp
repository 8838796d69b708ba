// Removing: the keys, the services and the product's folders go; nothing
// outside the product's own folder does, wherever the registry says the
// product was installed and whatever links lie inside it.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "setup_fixture.h"

namespace {

using namespace setuptest;
namespace fs = std::filesystem;

struct RemovalCase {
  const char* name;
  std::optional<std::u16string> installParent;  // the registry's InstallDir; none: the standard place
  bool card = false;                            // a storage card is inserted first
  // Files of the user's, made after installing (device paths); each must
  // survive unless it lies in the product folder.
  std::vector<std::u16string> userFiles;
  std::vector<std::u16string> gone;  // besides the product folder itself
  std::vector<std::u16string> kept;  // folders and files that must stay
};

class RemovalTest : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(RemovalTest, RemovesTheProductFolderAndNothingElse) {
  const RemovalCase& c = GetParam();
  nxtest::TempDir card;
  SetupDevice s(100.0, c.installParent);
  if (c.card) {
    ASSERT_TRUE(ce::InsertStorageCard(card.path()));
  }
  ASSERT_EQ(s.install(), ce::codeINSTALL_EXIT_DONE);
  // What the product made while it ran, and files of the user's.
  s.dev.writeFile("probe", "");  // the root holds a file of its own
  for (const char* f : {"Report/r0001.txt", "Quarantine/q0001.dat", "Log/updengine.log", "temp/~xn0101.tmp"}) {
    std::ofstream(s.installHost() + "/" + f) << "made by the product";
  }
  fs::create_directories(s.installHost() + "/Report/deep/deeper");
  std::ofstream(s.installHost() + "/Report/deep/deeper/x") << "x";
  std::ofstream(s.installHost() + "/readonly.txt") << "x";
  ASSERT_EQ(::chmod((s.installHost() + "/readonly.txt").c_str(), 0444), 0);
  for (const auto& f : c.userFiles) {
    fs::create_directories(fs::path(s.host(f)).parent_path());
    std::ofstream(s.host(f)) << "the user's";
  }

  s.uninstall();

  EXPECT_FALSE(s.exists(s.installDev)) << u8(s.installDev);
  for (const auto& p : c.gone) EXPECT_FALSE(s.exists(p)) << u8(p);
  for (const auto& p : c.kept) EXPECT_TRUE(s.exists(p)) << u8(p);
  for (const auto& f : c.userFiles) {
    const bool inside = f.rfind(s.installDev + u"\\", 0) == 0;
    EXPECT_EQ(s.exists(f), !inside) << u8(f);
  }
  EXPECT_TRUE(s.exists(u"\\probe"));
  for (const char16_t* d : {u"\\Windows", u"\\Temp", u"\\My Documents", u"\\Program Files"})
    EXPECT_TRUE(s.exists(d)) << u8(d);
  EXPECT_TRUE(s.exists(u"\\Windows\\NXAVWM.htm"));  // the installer's to remove
  EXPECT_FALSE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel"));
  EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln"));
  EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd"));
  EXPECT_FALSE(s.exists(u"\\Windows\\Help\\Nyxel AntiVirus.lnk"));
  EXPECT_TRUE(s.exists(u"\\Windows\\Help"));
}

INSTANTIATE_TEST_SUITE_P(
    Places, RemovalTest,
    ::testing::Values(
        RemovalCase{"Standard", std::nullopt, false, {u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\mine.txt"},
                    {u"\\Program Files\\Nyxel"}, {}},
        RemovalCase{"UserFileBesideTheProductFolder",
                    std::nullopt,
                    false,
                    {u"\\Program Files\\Nyxel\\notes.txt"},
                    {},
                    {u"\\Program Files\\Nyxel"}},
        RemovalCase{"MyDocuments",
                    u"\\My Documents",
                    false,
                    {u"\\My Documents\\letter.txt", u"\\My Documents\\Pictures\\a.jpg"},
                    {},
                    {u"\\My Documents"}},
        RemovalCase{"Root", u"\\", false, {u"\\Temp\\t.txt", u"\\top.txt"}, {}, {}},
        RemovalCase{"Windows", u"\\Windows", false, {u"\\Windows\\system.dat"}, {}, {}},
        RemovalCase{"ParentOnlyLikeTheName", u"\\Program Files\\NyxelStuff", false, {},
                    {}, {u"\\Program Files\\NyxelStuff"}},
        RemovalCase{"StorageCard",
                    u"\\Storage Card\\Nyxel",
                    true,
                    {u"\\Storage Card\\photo.jpg"},
                    {u"\\Storage Card\\Nyxel"},
                    {u"\\Storage Card"}}),
    [](const ::testing::TestParamInfo<RemovalCase>& i) { return std::string(i.param.name); });

// Paths that may name a folder other than the product's: nothing is removed,
// also not what looks like the product folder.
struct RefusedCase {
  const char* name;
  std::u16string installParent;
  std::u16string productFolder;  // where the files lie on the device (device path; empty: on the host)
};

class RefusedRemovalTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedRemovalTest, RemovesNothing) {
  const RefusedCase& c = GetParam();
  nxtest::TempDir hostDir;
  std::u16string parent = c.installParent;
  std::string folder;
  SetupDevice* sp = nullptr;
  std::unique_ptr<SetupDevice> holder;
  if (c.productFolder.empty()) {
    // The host's own files through "\Host", as a host tool sees them.
    ce::EnableHostMount(true);
    parent = u"\\Host" + u16(hostDir.path()) + parent;
    for (char16_t& ch : parent)
      if (ch == u'/') ch = u'\\';
    holder = std::make_unique<SetupDevice>(100.0, parent);
    folder = hostDir.path() + "/Nyxel/Nyxel AntiVirus";
  } else {
    holder = std::make_unique<SetupDevice>(100.0, parent);
    folder = holder->host(c.productFolder);
  }
  sp = holder.get();
  fs::create_directories(folder + "/Config");
  std::ofstream(folder + "/Config/wmolncnf.dat") << "settings";
  std::ofstream(folder + "/avapi.dll") << "module";
  sp->uninstall();
  ce::EnableHostMount(false);
  EXPECT_TRUE(fs::exists(folder + "/Config/wmolncnf.dat"));
  EXPECT_TRUE(fs::exists(folder + "/avapi.dll"));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RefusedRemovalTest,
    ::testing::Values(RefusedCase{"DotDot", u"\\Program Files\\..\\Windows", u"\\Windows\\Nyxel AntiVirus"},
                      RefusedCase{"DotDotToTheProductsOwnParent", u"\\Program Files\\Nyxel\\Sub\\..",
                                  u"\\Program Files\\Nyxel\\Nyxel AntiVirus"},
                      RefusedCase{"HostMount", u"\\Nyxel", u""}),
    [](const ::testing::TestParamInfo<RefusedCase>& i) { return std::string(i.param.name); });

// Links inside the product folder go as links; what they point to stays,
// inside the device or outside it.
TEST(Removal, LinksInsideTheProductFolderAreRemovedNotFollowed) {
  SetupDevice s;
  ASSERT_EQ(s.install(), ce::codeINSTALL_EXIT_DONE);
  nxtest::TempDir outside;
  fs::create_directories(outside.path() + "/sub");
  std::ofstream(outside.path() + "/keep.txt") << "keep";
  std::ofstream(outside.path() + "/sub/keep2.txt") << "keep";
  s.dev.writeFile("My Documents/Album/photo.jpg", "photo");
  const std::string in = s.installHost();
  ASSERT_EQ(::symlink(outside.path().c_str(), (in + "/outside").c_str()), 0);
  ASSERT_EQ(::symlink("../../../My Documents/Album", (in + "/Report/album").c_str()), 0);
  ASSERT_EQ(::symlink("../../../My Documents/Album/photo.jpg", (in + "/Quarantine/photo").c_str()), 0);
  ASSERT_EQ(::symlink("gone", (in + "/dangling").c_str()), 0);

  s.uninstall();

  EXPECT_FALSE(s.exists(u"\\Program Files\\Nyxel"));
  EXPECT_TRUE(fs::exists(outside.path() + "/keep.txt"));
  EXPECT_TRUE(fs::exists(outside.path() + "/sub/keep2.txt"));
  EXPECT_EQ(s.dev.readFile("My Documents/Album/photo.jpg"), "photo");
}

// A product folder that is itself a link (or is reached through one) may be
// any folder: it is left whole.
TEST(Removal, AProductFolderReachedThroughALinkIsNotRemoved) {
  SetupDevice s;
  s.dev.writeFile("My Documents/Work/report.doc", "work");
  fs::create_directories(s.host(u"\\Program Files\\Nyxel"));
  ASSERT_EQ(::symlink("../../My Documents/Work", s.host(u"\\Program Files\\Nyxel\\Nyxel AntiVirus").c_str()), 0);
  s.uninstall();
  EXPECT_EQ(s.dev.readFile("My Documents/Work/report.doc"), "work");

  SetupDevice t(100.0, u"\\Linked\\Nyxel");
  t.dev.writeFile("My Documents/Nyxel AntiVirus/mine.doc", "mine");
  fs::create_directories(t.host(u"\\Linked"));
  ASSERT_EQ(::symlink("../My Documents", t.host(u"\\Linked\\Nyxel").c_str()), 0);
  t.uninstall();
  EXPECT_EQ(t.dev.readFile("My Documents/Nyxel AntiVirus/mine.doc"), "mine");
}

// Removal without a service host, without the string library and without a
// previous Uninstall_Init: each step passes over what it cannot do.
TEST(Removal, GoesOnWithoutHostOrStringLibrary) {
  SetupDevice s;
  ASSERT_EQ(s.install(), ce::codeINSTALL_EXIT_DONE);
  fs::remove(s.installHost() + "/uires.dll");
  s.loadHooks();
  // Uninstall_Exit alone has no folder to remove.
  EXPECT_EQ(s.uninstallExit(nullptr), ce::codeUNINSTALL_EXIT_DONE);
  EXPECT_TRUE(s.exists(s.installDev));
  s.uninstall();
  EXPECT_FALSE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel"));
  EXPECT_FALSE(s.exists(u"\\Program Files\\Nyxel"));
}

}  // namespace
