#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "../../ce/src/paths.h"
#include "ce/ce.h"
#include "testkit.h"

using namespace ce;

namespace {

std::string readAll(const char16_t* path) {
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<error>";
  char buf[256];
  DWORD n = 0;
  ReadFile(h, buf, sizeof buf, &n, nullptr);
  CloseHandle(h);
  return std::string(buf, n);
}

struct PathCase {
  const char16_t* path;
  bool ok;
  DWORD error;       // when !ok
  const char* rel;   // when ok: host path below the device root
};

TEST(Paths, ResolveTable) {
  nxtest::TempDevice dev;
  dev.writeFile("Program Files/Nyxel/scanver.cnf", "x");
  const PathCase cases[] = {
      {u"\\", true, 0, ""},
      {u"\\Program Files\\Nyxel\\scanver.cnf", true, 0, "Program Files/Nyxel/scanver.cnf"},
      {u"\\PROGRAM FILES\\nyxel\\SCANVER.cnf", true, 0, "Program Files/Nyxel/scanver.cnf"},
      {u"/Program Files//Nyxel/./scanver.cnf", true, 0, "Program Files/Nyxel/scanver.cnf"},
      {u"\\Temp\\..\\Program Files\\Nyxel\\new.txt", true, 0, "Program Files/Nyxel/new.txt"},
      {u"\\..\\etc\\passwd", false, ERROR_BAD_PATHNAME, nullptr},
      {u"\\Temp\\..\\..\\x", false, ERROR_BAD_PATHNAME, nullptr},
      {u"relative\\path", false, ERROR_BAD_PATHNAME, nullptr},
      {u"C:\\Windows", false, ERROR_BAD_PATHNAME, nullptr},
      {u"", false, ERROR_BAD_PATHNAME, nullptr},
      {u"\\Temp\\a<b", false, ERROR_INVALID_NAME, nullptr},
      {u"\\Temp\\a*b", false, ERROR_INVALID_NAME, nullptr},
      {u"\\Temp\\a\x01", false, ERROR_INVALID_NAME, nullptr},
      {u"\\Missing\\file.txt", false, ERROR_PATH_NOT_FOUND, nullptr},
      {u"\\Storage Card\\x", false, ERROR_PATH_NOT_FOUND, nullptr},
      {u"\\.ce\\registry", false, ERROR_ACCESS_DENIED, nullptr},
      {u"\\Host\\etc\\passwd", false, ERROR_PATH_NOT_FOUND, nullptr},  // no host mount for device programs
  };
  for (const auto& c : cases) {
    detail::ResolvedPath p;
    SetLastError(0);
    bool ok = detail::resolvePath(c.path, p);
    SCOPED_TRACE(utf16ToUtf8(c.path));
    ASSERT_EQ(ok, c.ok) << "error " << GetLastError();
    if (ok)
      EXPECT_EQ(p.host, dev.root() + (c.rel[0] ? std::string("/") + c.rel : std::string()));
    else
      EXPECT_EQ(GetLastError(), c.error);
  }
  detail::ResolvedPath p;
  EXPECT_FALSE(detail::resolvePath(nullptr, p));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Paths, OverlongPathsAreRefusedNotTruncated) {
  nxtest::TempDevice dev;
  std::u16string p = u"\\Temp\\" + std::u16string(253, u'a');  // 259 units: the longest allowed
  EXPECT_EQ(p.size(), 259u);
  HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  p.push_back(u'b');
  EXPECT_EQ(CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(GetFileAttributesW((p + u"c").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST(Paths, SymlinksOutOfTheDeviceAreRefused) {
  nxtest::TempDevice dev;
  nxtest::TempDir outside;
  { std::ofstream(outside.path() + "/secret.txt") << "secret"; }
  ASSERT_EQ(::symlink(outside.path().c_str(), dev.host("Temp/out").c_str()), 0);
  ASSERT_EQ(::symlink("../../..", dev.host("Temp/up").c_str()), 0);
  ASSERT_EQ(::symlink("/Windows", dev.host("Temp/abs").c_str()), 0);
  for (const char16_t* path : {u"\\Temp\\out\\secret.txt", u"\\Temp\\up\\etc\\passwd", u"\\Temp\\abs"}) {
    SCOPED_TRACE(utf16ToUtf8(path));
    EXPECT_EQ(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  // A link that stays inside the device is followed.
  dev.writeFile("Windows/in.txt", "in");
  ASSERT_EQ(::symlink("../Windows", dev.host("Temp/inside").c_str()), 0);
  HANDLE h = CreateFileW(u"\\Temp\\inside\\in.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
}

TEST(Paths, StorageCardAndHostMounts) {
  nxtest::TempDevice dev;
  nxtest::TempDir card;
  ASSERT_TRUE(InsertStorageCard(card.path()));
  HANDLE h = CreateFileW(u"\\storage card\\Note.TXT", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD w;
  ASSERT_TRUE(WriteFile(h, "card", 4, &w, nullptr));
  CloseHandle(h);
  struct stat st{};
  EXPECT_EQ(::stat((card.path() + "/Note.TXT").c_str(), &st), 0);
  // Another process sees the same card.
  char real[PATH_MAX];
  ASSERT_NE(realpath(card.path().c_str(), real), nullptr);
  EXPECT_EQ(StorageCardFolder(), std::string(real));
  ASSERT_TRUE(RemoveStorageCard());
  EXPECT_EQ(GetFileAttributesW(u"\\Storage Card\\Note.TXT"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  EnableHostMount(true);
  std::string hostFile = card.path() + "/Note.TXT";
  std::u16string viaHost = u"\\Host";
  for (char c : hostFile) viaHost.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
  EXPECT_NE(GetFileAttributesW(viaHost.c_str()), INVALID_FILE_ATTRIBUTES);
  EnableHostMount(false);
  EXPECT_EQ(GetFileAttributesW(viaHost.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Paths, HostToDeviceMapping) {
  nxtest::TempDevice dev;
  std::u16string out;
  ASSERT_TRUE(detail::hostToDevicePath(dev.host("Program Files/a.dll"), out));
  EXPECT_EQ(out, u"\\Program Files\\a.dll");
  EXPECT_FALSE(detail::hostToDevicePath(dev.host(".ce/registry"), out));
  EXPECT_FALSE(detail::hostToDevicePath("/etc/passwd", out));
}

// A host folder deeper than the handset's paths allow gets a short name
// under \Host that reaches everything in it, while a device path itself
// stays limited to 260 characters.
TEST(Paths, HostFolderAliasesReachDeepHostFolders) {
  nxtest::TempDevice dev;
  nxtest::TempDir tmp;
  std::string deep = tmp.path();
  while (deep.size() < 320) deep += "/Folder-With-A-Name-Of-Thirty-Ch";
  ASSERT_EQ(::system(("mkdir -p '" + deep + "'").c_str()), 0);
  std::ofstream(deep + "/Inside.txt") << "deep";
  const std::u16string longPath = nxtest::viaHostMount(deep + "/Inside.txt");
  ASSERT_GE(longPath.size(), static_cast<size_t>(MAX_PATH));

  EXPECT_EQ(HostFolderAlias(deep), u"") << "no alias without the host mount";
  EnableHostMount(true);
  EXPECT_EQ(GetFileAttributesW(longPath.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  for (const char* refused : {"", "relative/folder", "/", "/tmp/../etc", "/tmp/./x"}) EXPECT_EQ(HostFolderAlias(refused), u"") << refused;

  const std::u16string alias = HostFolderAlias(deep);
  ASSERT_FALSE(alias.empty());
  EXPECT_EQ(alias.rfind(u"\\Host\\~", 0), 0u);
  EXPECT_LT(alias.size(), 20u);
  EXPECT_EQ(HostFolderAlias(deep + "/"), alias) << "a folder keeps its alias";
  EXPECT_NE(HostFolderAlias(tmp.path()), alias);

  // Open, read, list, create and delete through the alias; names match
  // ignoring case below it as anywhere.
  EXPECT_EQ(readAll((alias + u"\\inside.TXT").c_str()), "deep");
  EXPECT_EQ(GetFileAttributesW(alias.c_str()), FILE_ATTRIBUTE_DIRECTORY);
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW((alias + u"\\*.txt").c_str(), &fd);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(fd.cFileName), u"Inside.txt");
  FindClose(f);
  HANDLE h = CreateFileW((alias + u"\\New.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  struct stat st{};
  EXPECT_EQ(::stat((deep + "/New.bin").c_str(), &st), 0);
  EXPECT_TRUE(DeleteFileW((alias + u"\\new.bin").c_str()));
  EXPECT_NE(::stat((deep + "/New.bin").c_str(), &st), 0);
  // ".." folds lexically: above the alias is \Host itself ("/"), not the folder's parent.
  EXPECT_EQ(GetFileAttributesW((alias + u"\\..\\tmp").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW((alias + u"\\..\\" + alias.substr(6) + u"\\Inside.txt").c_str()), FILE_ATTRIBUTE_NORMAL);
  // Names of that shape that were never handed out are ordinary names of "/".
  EXPECT_EQ(GetFileAttributesW(u"\\Host\\~99999\\Inside.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetFileAttributesW((u"\\Host\\~0" + alias.substr(7) + u"\\Inside.txt").c_str()), INVALID_FILE_ATTRIBUTES);
  // The device path through an alias is held to 260 characters as well.
  std::u16string tooLong = alias + u"\\" + std::u16string(MAX_PATH - alias.size(), u'x');
  EXPECT_EQ(GetFileAttributesW(tooLong.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EnableHostMount(false);
  EXPECT_EQ(GetFileAttributesW((alias + u"\\Inside.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
