#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <map>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "testkit.h"

using namespace ce;

namespace {

HANDLE open(const char16_t* path, DWORD access, DWORD share, DWORD disposition) {
  return CreateFileW(path, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string readAll(const char16_t* path) {
  HANDLE h = open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return "<error>";
  char buf[4096];
  DWORD n = 0;
  ReadFile(h, buf, sizeof buf, &n, nullptr);
  CloseHandle(h);
  return std::string(buf, n);
}

struct DispositionCase {
  const char* name;
  bool exists;
  DWORD disposition;
  bool ok;
  DWORD error;         // last error after the call (183 on success over an existing file)
  const char* after;   // content afterwards, or nullptr when no file
};

TEST(Files, Dispositions) {
  const DispositionCase cases[] = {
      {"create new, absent", false, CREATE_NEW, true, 0, ""},
      {"create new, present", true, CREATE_NEW, false, ERROR_FILE_EXISTS, "old"},
      {"create always, absent", false, CREATE_ALWAYS, true, 0, ""},
      {"create always, present", true, CREATE_ALWAYS, true, ERROR_ALREADY_EXISTS, ""},
      {"open existing, absent", false, OPEN_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
      {"open existing, present", true, OPEN_EXISTING, true, 0, "old"},
      {"open always, absent", false, OPEN_ALWAYS, true, 0, ""},
      {"open always, present", true, OPEN_ALWAYS, true, ERROR_ALREADY_EXISTS, "old"},
      {"truncate existing, absent", false, TRUNCATE_EXISTING, false, ERROR_FILE_NOT_FOUND, nullptr},
      {"truncate existing, present", true, TRUNCATE_EXISTING, true, 0, ""},
      {"bad disposition", true, 9, false, ERROR_INVALID_PARAMETER, "old"},
  };
  nxtest::TempDevice dev;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(dev.host("Temp/f.txt").c_str());
    ::unlink(dev.host("Temp/F.txt").c_str());
    if (c.exists) dev.writeFile("Temp/f.txt", "old");
    SetLastError(12345);
    HANDLE h = open(u"\\Temp\\F.txt", GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.ok);
    EXPECT_EQ(GetLastError(), c.error);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (c.after)
      EXPECT_EQ(readAll(u"\\temp\\f.TXT"), c.after);
    else
      EXPECT_EQ(GetFileAttributesW(u"\\Temp\\f.txt"), INVALID_FILE_ATTRIBUTES);
  }
  // The case-insensitive match found the existing file instead of making a twin.
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW(u"\\Temp\\*", &fd);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FindNextFileW(f, &fd));
  FindClose(f);
  EXPECT_EQ(open(u"\\Nowhere\\f.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(open(u"\\Temp", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(Files, ReadWriteSeekAndSize) {
  nxtest::TempDevice dev;
  HANDLE h = open(u"\\Temp\\rw.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(GetFileSize(h, nullptr), 10u);
  EXPECT_EQ(SetFilePointer(h, 4, nullptr, FILE_BEGIN), 4u);
  char buf[16];
  ASSERT_TRUE(ReadFile(h, buf, 3, &n, nullptr));
  EXPECT_EQ(std::string(buf, n), "456");
  EXPECT_EQ(SetFilePointer(h, -2, nullptr, FILE_END), 8u);
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));
  EXPECT_EQ(n, 2u);  // short read at the end is success
  ASSERT_TRUE(ReadFile(h, buf, 16, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(h, 5, nullptr, FILE_BEGIN), 5u);
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 5u);
  CloseHandle(h);

  // Access rights of the handle are enforced.
  h = open(u"\\Temp\\rw.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);
  EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));  // closed handle
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(h));
}

struct ShareCase {
  DWORD firstAccess, firstShare, secondAccess, secondShare;
  bool secondOk;
};

TEST(Files, ShareModesInOneProcess) {
  const DWORD R = GENERIC_READ, W = GENERIC_WRITE, SR = FILE_SHARE_READ, SW = FILE_SHARE_WRITE;
  const ShareCase cases[] = {
      {R, SR, R, SR, true},          {R, SR, W, SR | SW, false},   {R, SR | SW, W, SR | SW, true},
      {W, 0, R, SR | SW, false},     {W, SR, R, SR | SW, true},    {W, SR, R, SR, false},
      {R | W, SR | SW, R, SR, false}, {R | W, SR | SW, R | W, SR | SW, true}, {R, 0, R, SR, false},
      {0, 0, R | W, 0, true},  // a handle without data access only asks about the file
  };
  nxtest::TempDevice dev;
  dev.writeFile("Temp/s.txt", "s");
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.firstAccess << "/" << c.firstShare << " then " << c.secondAccess << "/"
                                    << c.secondShare);
    HANDLE a = open(u"\\Temp\\s.txt", c.firstAccess, c.firstShare, OPEN_EXISTING);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    HANDLE b = open(u"\\temp\\S.TXT", c.secondAccess, c.secondShare, OPEN_EXISTING);
    EXPECT_EQ(b != INVALID_HANDLE_VALUE, c.secondOk);
    if (b == INVALID_HANDLE_VALUE)
      EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    else
      CloseHandle(b);
    CloseHandle(a);
  }
}

// A rename needs every other opener to share deletion, as on the handset;
// deleting still needs the file to be closed everywhere.
TEST(Files, RenameOfAnOpenFileNeedsDeleteSharing) {
  nxtest::TempDevice dev;
  dev.writeFile("Temp/lent.txt", "lent");
  nxtest::HelperProcess holder({"open", "\\Temp\\lent.txt", "r", "5"});  // read, share read and delete
  ASSERT_EQ(holder.readLine(), "open 0\n");
  ASSERT_TRUE(MoveFileW(u"\\Temp\\lent.txt", u"\\Temp\\moved.txt")) << GetLastError();
  EXPECT_FALSE(DeleteFileW(u"\\Temp\\moved.txt"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  holder.writeLine("done");
  EXPECT_EQ(holder.wait(), 0);
  EXPECT_TRUE(DeleteFileW(u"\\Temp\\moved.txt"));
}

TEST(Files, ShareModesAcrossProcesses) {
  nxtest::TempDevice dev;
  dev.writeFile("Temp/held.txt", "precious");
  nxtest::HelperProcess holder({"open", "\\Temp\\held.txt", "r", "1"});  // read, share read only
  ASSERT_EQ(holder.readLine(), "open 0\n");

  EXPECT_EQ(open(u"\\Temp\\held.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // A truncating create must not destroy the other process's file.
  EXPECT_EQ(open(u"\\Temp\\held.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(dev.readFile("Temp/held.txt"), "precious");
  EXPECT_FALSE(DeleteFileW(u"\\Temp\\held.txt"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(MoveFileW(u"\\Temp\\held.txt", u"\\Temp\\moved.txt"));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  HANDLE r = open(u"\\Temp\\held.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(r, INVALID_HANDLE_VALUE);
  CloseHandle(r);

  holder.writeLine("done");
  EXPECT_EQ(holder.wait(), 0);
  HANDLE w = open(u"\\Temp\\held.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
  EXPECT_NE(w, INVALID_HANDLE_VALUE);

  // And the other way round: our exclusive handle refuses the helper.
  auto r2 = nxtest::runHelper({"open", "\\Temp\\held.txt", "r", "3"});
  EXPECT_EQ(r2.out, "fail 32\n");
  auto d = nxtest::runHelper({"delete", "\\Temp\\held.txt"});
  EXPECT_EQ(d.out, "fail 32\n");
  CloseHandle(w);
}

TEST(Files, HandlesOfAKilledProcessDoNotHoldTheFile) {
  nxtest::TempDevice dev;
  dev.writeFile("Temp/k.txt", "k");
  nxtest::HelperProcess holder({"open", "\\Temp\\k.txt", "rw", "0"});
  ASSERT_EQ(holder.readLine(), "open 0\n");
  EXPECT_FALSE(DeleteFileW(u"\\Temp\\k.txt"));
  holder.kill(9);
  holder.wait();
  EXPECT_TRUE(DeleteFileW(u"\\Temp\\k.txt")) << GetLastError();
}

TEST(Files, ReadOnlyAttributeIsTheHostWriteBits) {
  nxtest::TempDevice dev;
  dev.writeFile("Temp/ro.txt", "ro");
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\ro.txt"), FILE_ATTRIBUTE_NORMAL);
  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\RO.txt", FILE_ATTRIBUTE_READONLY));
  struct stat st{};
  ASSERT_EQ(::stat(dev.host("Temp/ro.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\ro.txt"), FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(open(u"\\Temp\\ro.txt", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(open(u"\\Temp\\ro.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(DeleteFileW(u"\\Temp\\ro.txt"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(dev.readFile("Temp/ro.txt"), "ro");
  ASSERT_TRUE(SetFileAttributesW(u"\\Temp\\ro.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(DeleteFileW(u"\\Temp\\ro.txt"));
  EXPECT_EQ(GetFileAttributesW(u"\\Temp"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(u"\\Temp\\ro.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// A FIFO planted in the device from the host is no file of the handset: any
// open of it is refused at once instead of waiting for its other end, so a
// scanner that opens every new file cannot hang on one.
TEST(Files, FifosAreRefusedWithoutWaiting) {
  nxtest::TempDevice dev;
  dev.writeFile("Temp/x.txt", "x");
  ASSERT_EQ(::mkfifo(dev.host("Temp/pipe").c_str(), 0644), 0);
  struct Case {
    const char* name;
    DWORD access;
    DWORD disposition;
  } cases[] = {
      {"read", GENERIC_READ, OPEN_EXISTING},
      {"write", GENERIC_WRITE, OPEN_EXISTING},
      {"read and write", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS},
      {"truncate", GENERIC_WRITE, CREATE_ALWAYS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(open(u"\\Temp\\pipe", c.access, FILE_SHARE_READ | FILE_SHARE_WRITE, c.disposition),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }
  // Asking about it without access still works, and regular files read as before.
  HANDLE q = open(u"\\Temp\\pipe", 0, 0, OPEN_EXISTING);
  EXPECT_NE(q, INVALID_HANDLE_VALUE);
  if (q != INVALID_HANDLE_VALUE) CloseHandle(q);
  EXPECT_EQ(readAll(u"\\Temp\\x.txt"), "x");
  HANDLE w = open(u"\\Temp\\x.txt", GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(w, INVALID_HANDLE_VALUE);
  DWORD put = 0;
  EXPECT_TRUE(WriteFile(w, "yz", 2, &put, nullptr));
  CloseHandle(w);
  EXPECT_EQ(dev.readFile("Temp/x.txt"), "yz");
}

TEST(Files, MoveCopyDelete) {
  nxtest::TempDevice dev;
  dev.writeFile("Temp/a.txt", "alpha");
  dev.writeFile("Temp/b.txt", "beta");
  EXPECT_FALSE(MoveFileW(u"\\Temp\\a.txt", u"\\Temp\\B.TXT"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CopyFileW(u"\\Temp\\a.txt", u"\\Temp\\b.txt", TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  ASSERT_TRUE(CopyFileW(u"\\Temp\\a.txt", u"\\Temp\\b.txt", FALSE));  // overwrites
  EXPECT_EQ(dev.readFile("Temp/b.txt"), "alpha");
  ASSERT_TRUE(MoveFileW(u"\\Temp\\a.txt", u"\\Windows\\c.txt"));
  EXPECT_EQ(dev.readFile("Windows/c.txt"), "alpha");
  EXPECT_FALSE(MoveFileW(u"\\Temp\\a.txt", u"\\Windows\\d.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CopyFileW(u"\\Temp\\missing", u"\\Temp\\x", FALSE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(u"\\Temp\\missing"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(u"\\Missing\\x"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // A move onto the card crosses host file systems' boundaries gracefully.
  nxtest::TempDir card;
  ASSERT_TRUE(InsertStorageCard(card.path()));
  ASSERT_TRUE(MoveFileW(u"\\Windows\\c.txt", u"\\Storage Card\\c.txt"));
  EXPECT_EQ(GetFileAttributesW(u"\\Windows\\c.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(readAll(u"\\Storage Card\\c.txt"), "alpha");
}

TEST(Files, Directories) {
  nxtest::TempDevice dev;
  ASSERT_TRUE(CreateDirectoryW(u"\\Temp\\Sub", nullptr));
  EXPECT_FALSE(CreateDirectoryW(u"\\temp\\SUB", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryW(u"\\Temp\\No\\Sub", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  dev.writeFile("Temp/Sub/x", "x");
  EXPECT_FALSE(RemoveDirectoryW(u"\\Temp\\Sub"));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(RemoveDirectoryW(u"\\Temp\\Sub\\x"));
  EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
  ASSERT_TRUE(DeleteFileW(u"\\Temp\\Sub\\x"));
  EXPECT_TRUE(RemoveDirectoryW(u"\\Temp\\sub"));
  EXPECT_FALSE(RemoveDirectoryW(u"\\Temp\\sub"));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(u"\\Temp"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

std::vector<std::string> find(const char16_t* pattern, DWORD* error = nullptr) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(pattern, &fd);
  if (h == INVALID_HANDLE_VALUE) {
    if (error) *error = GetLastError();
    return names;
  }
  do names.push_back(utf16ToUtf8(fd.cFileName));
  while (FindNextFileW(h, &fd));
  if (error) *error = GetLastError();
  FindClose(h);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Files, FindWithWildcards) {
  nxtest::TempDevice dev;
  for (const char* f : {"sig32ce.inx", "sigaif.INX", "sigwworm.in0", "scanver.cnf", "readme", "a.b.c"})
    dev.writeFile(std::string("Program Files/") + f, "x");
  using V = std::vector<std::string>;
  EXPECT_EQ(find(u"\\Program Files\\*.?nx"), (V{"sig32ce.inx", "sigaif.INX"}));
  EXPECT_EQ(find(u"\\Program Files\\sig*.in?"), (V{"sig32ce.inx", "sigaif.INX", "sigwworm.in0"}));
  EXPECT_EQ(find(u"\\Program Files\\*.*").size(), 6u);
  EXPECT_EQ(find(u"\\Program Files\\SCANVER.CNF"), (V{"scanver.cnf"}));
  EXPECT_EQ(find(u"\\Program Files\\*.c"), (V{"a.b.c"}));
  DWORD err = 0;
  EXPECT_EQ(find(u"\\Program Files\\*.exe", &err), V{});
  EXPECT_EQ(err, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(find(u"\\Nowhere\\*", &err), V{});
  EXPECT_EQ(err, ERROR_PATH_NOT_FOUND);
  find(u"\\Program Files\\readme", &err);
  EXPECT_EQ(err, ERROR_NO_MORE_FILES);
  // The device's own state folder is not listed at the root.
  for (const auto& n : find(u"\\*")) EXPECT_NE(n, ".ce");
  WIN32_FIND_DATAW fd;
  EXPECT_EQ(FindFirstFileW(nullptr, &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(FindNextFileW(INVALID_HANDLE_VALUE, &fd));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A symbolic link is listed as what it is, never as the folder it points to,
// and deleting it removes the link alone: a walk that removes a folder tree
// must not reach through it into other folders or out of the device.
TEST(Files, SymbolicLinksAreListedAndDeletedAsLinks) {
  nxtest::TempDevice dev;
  nxtest::TempDir outside;
  { std::ofstream(outside.path() + "/keep.txt") << "keep"; }
  dev.writeFile("Windows/in.txt", "in");
  dev.writeFile("Temp/Tree/plain.txt", "plain");
  ASSERT_EQ(::symlink(outside.path().c_str(), dev.host("Temp/Tree/out").c_str()), 0);
  ASSERT_EQ(::symlink("../../Windows", dev.host("Temp/Tree/Inside").c_str()), 0);
  ASSERT_EQ(::symlink("../../Windows/in.txt", dev.host("Temp/Tree/file").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dev.host("Temp/Tree/dangling").c_str()), 0);

  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(u"\\Temp\\Tree\\*.*", &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::map<std::string, DWORD> attrs;
  do attrs[utf16ToUtf8(fd.cFileName)] = fd.dwFileAttributes;
  while (FindNextFileW(h, &fd));
  FindClose(h);
  ASSERT_EQ(attrs.size(), 5u);
  EXPECT_EQ(attrs["plain.txt"], FILE_ATTRIBUTE_NORMAL);
  for (const char* link : {"out", "Inside", "file", "dangling"}) {
    SCOPED_TRACE(link);
    EXPECT_EQ(attrs[link], FILE_ATTRIBUTE_REPARSE_POINT);
  }

  // A link to a folder inside the device is no folder to remove.
  EXPECT_FALSE(RemoveDirectoryW(u"\\Temp\\Tree\\Inside"));
  for (const char16_t* link : {u"\\Temp\\Tree\\out", u"\\Temp\\Tree\\INSIDE", u"\\Temp\\Tree\\file",
                               u"\\Temp\\Tree\\dangling"}) {
    SCOPED_TRACE(utf16ToUtf8(link));
    EXPECT_TRUE(DeleteFileW(link)) << GetLastError();
  }
  struct stat st{};
  for (const char* gone : {"Temp/Tree/out", "Temp/Tree/Inside", "Temp/Tree/file", "Temp/Tree/dangling"})
    EXPECT_NE(::lstat(dev.host(gone).c_str(), &st), 0) << gone;
  EXPECT_EQ(::stat((outside.path() + "/keep.txt").c_str(), &st), 0);
  EXPECT_EQ(dev.readFile("Windows/in.txt"), "in");
  EXPECT_EQ(dev.readFile("Temp/Tree/plain.txt"), "plain");
}

// A FIFO, a socket or a device node is no file of the handset. An open for
// data must neither wait (a FIFO opened for reading waits for a writer for
// ever) nor hand out a handle: the guard and the on-demand scanner meet such
// files in any folder somebody scans.
TEST(Files, NonRegularFilesAreRefusedWithoutWaiting) {
  nxtest::TempDevice dev;
  ASSERT_EQ(::mkfifo(dev.host("Temp/fifo").c_str(), 0644), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sockPath = dev.host("Temp/sock");
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EnableHostMount(true);
  const std::u16string devNull = nxtest::viaHostMount("/dev/null");

  struct Case {
    const char* name;
    std::u16string path;
    DWORD access;
    DWORD disposition;
  };
  const Case cases[] = {
      {"fifo, read", u"\\Temp\\fifo", GENERIC_READ, OPEN_EXISTING},
      {"fifo, write (nobody reads)", u"\\Temp\\fifo", GENERIC_WRITE, OPEN_EXISTING},
      {"fifo, read and write", u"\\Temp\\FIFO", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING},
      {"fifo, create always over it", u"\\Temp\\fifo", GENERIC_WRITE, CREATE_ALWAYS},
      {"fifo, open always", u"\\Temp\\fifo", GENERIC_READ, OPEN_ALWAYS},
      {"socket, read", u"\\Temp\\sock", GENERIC_READ, OPEN_EXISTING},
      {"character device, read", devNull, GENERIC_READ, OPEN_EXISTING},
      {"character device, write", devNull, GENERIC_WRITE, OPEN_EXISTING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto attempt = std::async(std::launch::async, [&] {
      SetLastError(0);
      HANDLE h = open(c.path.c_str(), c.access, FILE_SHARE_READ | FILE_SHARE_WRITE, c.disposition);
      return std::make_pair(h, GetLastError());
    });
    if (attempt.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "the open waits";
      // Let a waiting FIFO open go, so that the test can end.
      int fd = ::open(dev.host("Temp/fifo").c_str(), O_RDWR | O_NONBLOCK);
      attempt.wait();
      ::close(fd);
    }
    auto [h, error] = attempt.get();
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    // Access denied, as for a folder: the guard tells such paths apart by it.
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  // Neither was replaced by a file, and both can still be asked about and removed.
  struct stat st{};
  ASSERT_EQ(::lstat(dev.host("Temp/fifo").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_NE(GetFileAttributesW(u"\\Temp\\fifo"), INVALID_FILE_ATTRIBUTES);
  HANDLE query = open(u"\\Temp\\fifo", 0, 0, OPEN_EXISTING);
  EXPECT_NE(query, INVALID_HANDLE_VALUE) << "a handle without data access only asks about the file";
  if (query != INVALID_HANDLE_VALUE) CloseHandle(query);
  EXPECT_FALSE(CopyFileW(u"\\Temp\\fifo", u"\\Temp\\copy", FALSE));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(DeleteFileW(u"\\Temp\\fifo"));
  ::close(sock);
  EXPECT_TRUE(DeleteFileW(u"\\Temp\\sock"));
  // A regular file opened the same way reads and writes as before.
  dev.writeFile("Temp/plain", "abc");
  EXPECT_EQ(readAll(u"\\Temp\\plain"), "abc");
  EnableHostMount(false);
}

}  // namespace
