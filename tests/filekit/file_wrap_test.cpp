// The cached file wrapper: head cache and lazy seeks (counted at the
// platform), the slot table and its free-slot cache, bad handles and bad
// paths, and the warnings written when the library unloads with files open.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "filekit/filekit_api.h"
#include "testkit.h"

extern "C" {
int32_t LibInit();
int32_t LibDeinit();
int32_t CreateFileWrapObject(FileWrapObject** out);
void DeleteFileWrapObject(FileWrapObject* object);
int32_t FileWrapDiagGet(FileWrapDiag* out);
}

namespace {

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

std::u16string u16(const std::string& s) { return ce::utf8ToUtf16(s); }

FileWrapDiag diag() {
  FileWrapDiag d{};
  EXPECT_EQ(FileWrapDiagGet(&d), 1);
  return d;
}

// The UTF-16 content of the unload log at the root of the device, as UTF-8.
std::string unloadLog(const nxtest::TempDevice& dev) { return dev.readUtf16Text("nxdebug.log"); }

class FileKit : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LibInit(), 1);
    ASSERT_EQ(CreateFileWrapObject(&fw), 1);
    ASSERT_NE(fw, nullptr);
    ops = fw->ops;
  }
  void TearDown() override { EXPECT_EQ(LibDeinit(), 0); }
  // Opens a device path ("\Temp\a.bin") for reading.
  int32_t open(const char16_t* path, int32_t flags = NX_O_RDONLY | NX_O_BINARY, int32_t share = 0) {
    return ops->OpenW(fw, path, flags, share);
  }
  std::string readAt(int32_t h, int32_t pos, int32_t len) {
    std::string out(static_cast<size_t>(len), '\0');
    EXPECT_EQ(ops->Seek(fw, h, pos, NX_SEEK_SET), pos);
    int32_t n = ops->Read(fw, h, out.data(), len);
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
  }

  nxtest::TempDevice dev;
  FileWrapObject* fw = nullptr;
  const FileWrapOps* ops = nullptr;
};

// ---- Head cache and lazy seeks ------------------------------------------------

TEST_F(FileKit, SecondReadOfTheHeadMakesNoPlatformCall) {
  const std::string content = pattern(3000);
  dev.writeFile("Temp/a.bin", content);
  int32_t h = open(u"\\Temp\\a.bin");
  ASSERT_GE(h, 0);
  const FileWrapDiag before = diag();

  EXPECT_EQ(readAt(h, 0, 4), content.substr(0, 4));
  const FileWrapDiag afterFirst = diag();
  EXPECT_EQ(afterFirst.platformReads - before.platformReads, 1);

  // Seek only records the position; the second read comes from the cache.
  EXPECT_EQ(ops->Seek(fw, h, 0, NX_SEEK_SET), 0);
  char buf[4];
  EXPECT_EQ(ops->Read(fw, h, buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), content.substr(0, 4));
  const FileWrapDiag afterSecond = diag();
  EXPECT_EQ(afterSecond.platformReads, afterFirst.platformReads);
  EXPECT_EQ(afterSecond.platformPointerMoves, afterFirst.platformPointerMoves);

  // Anywhere inside the first 1024 bytes is free, however often.
  for (int32_t pos : {1000, 17, 0, 1020}) EXPECT_EQ(readAt(h, pos, 4), content.substr(pos, 4));
  EXPECT_EQ(diag().platformReads, afterFirst.platformReads);
  EXPECT_EQ(ops->Close(fw, h), 0);
}

TEST_F(FileKit, ShortFileReadPastTheCachedBytesGoesToTheFile) {
  dev.writeFile("Temp/ten.bin", "0123456789");
  int32_t h = open(u"\\Temp\\ten.bin");
  ASSERT_GE(h, 0);
  const int64_t reads0 = diag().platformReads;
  char buf[20] = {};
  EXPECT_EQ(ops->Read(fw, h, buf, 20), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  // One read fills the cache (10 bytes), a second one serves the request.
  EXPECT_EQ(diag().platformReads - reads0, 2);
  EXPECT_EQ(ops->Tell(fw, h), 10);
  EXPECT_EQ(ops->IsEnd(fw, h), 1);
  EXPECT_EQ(ops->Read(fw, h, buf, 5), 0);
  EXPECT_EQ(ops->Close(fw, h), 0);
}

// A walk over a file mixing cache hits, reads across the head's end, far
// reads and relative seeks: every byte must come from where it was asked
// for, whichever way the platform pointer was left.
TEST_F(FileKit, LazySeeksReadTheRightBytes) {
  const std::string content = pattern(5000);
  dev.writeFile("Temp/walk.bin", content);
  int32_t h = open(u"\\Temp\\walk.bin");
  ASSERT_GE(h, 0);
  struct Step {
    int32_t offset, origin, length;
    int32_t expectPos;     // position after the seek
    int64_t platformReads;  // reads this step costs
  };
  const Step steps[] = {
      {4000, NX_SEEK_SET, 100, 4000, 2},  // cache fill + far read
      {0, NX_SEEK_SET, 16, 0, 0},         // head: cached
      {2, NX_SEEK_CUR, 8, 18, 0},         // relative, still in the head
      {1020, NX_SEEK_SET, 10, 1020, 1},   // crosses the head's end: one platform read
      {-10, NX_SEEK_END, 100, 4990, 1},   // only 10 bytes left
      {100, NX_SEEK_SET, 1, 100, 0},
      {500, NX_SEEK_CUR, 1000, 601, 1},   // ends past the head
      {-5, NX_SEEK_SET, 3, 0, 0},         // negative result becomes 0
      {50, NX_SEEK_END, 10, 5050, 1},     // beyond the end reads nothing
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(::testing::Message() << "seek " << s.offset << " origin " << s.origin);
    const int64_t r0 = diag().platformReads;
    EXPECT_EQ(ops->Seek(fw, h, s.offset, s.origin), s.expectPos);
    std::string buf(static_cast<size_t>(s.length), '\0');
    const int32_t n = ops->Read(fw, h, buf.data(), s.length);
    const size_t avail = s.expectPos >= 5000 ? 0 : std::min<size_t>(s.length, 5000 - s.expectPos);
    ASSERT_EQ(n, static_cast<int32_t>(avail));
    EXPECT_EQ(buf.substr(0, avail), content.substr(std::min<size_t>(s.expectPos, 5000), avail));
    EXPECT_EQ(ops->Tell(fw, h), s.expectPos + n);
    EXPECT_EQ(diag().platformReads - r0, s.platformReads);
  }
  EXPECT_EQ(ops->Close(fw, h), 0);
}

TEST_F(FileKit, SeekClampsAndIgnoresUnknownOrigins) {
  dev.writeFile("Temp/s.bin", pattern(100));
  int32_t h = open(u"\\Temp\\s.bin");
  ASSERT_GE(h, 0);
  struct Case {
    int32_t offset, origin, expect;
  };
  const Case cases[] = {
      {-5, NX_SEEK_SET, 0},   {40, NX_SEEK_SET, 40},          {10, NX_SEEK_CUR, 50},
      {-80, NX_SEEK_CUR, 0},  {-1, NX_SEEK_END, 99},          {0, NX_SEEK_END, 100},
      {-500, NX_SEEK_END, 0}, {7, 3, 0} /* position kept */, {30, NX_SEEK_SET, 30},
      {INT32_MAX, NX_SEEK_CUR, INT32_MAX},
  };
  const int64_t moves0 = diag().platformPointerMoves;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.offset << "/" << c.origin);
    EXPECT_EQ(ops->Seek(fw, h, c.offset, c.origin), c.expect);
    EXPECT_EQ(ops->Tell(fw, h), c.expect);
  }
  EXPECT_EQ(diag().platformPointerMoves, moves0);
  EXPECT_EQ(ops->Close(fw, h), 0);
}

// ---- Writes, append and truncate ---------------------------------------------

TEST_F(FileKit, WriteIntoTheHeadIsSeenByTheNextRead) {
  const std::string content = pattern(2000);
  dev.writeFile("Temp/w.bin", content);
  int32_t h = open(u"\\Temp\\w.bin", NX_O_RDWR);
  ASSERT_GE(h, 0);
  EXPECT_EQ(readAt(h, 0, 8), content.substr(0, 8));  // head now cached
  EXPECT_EQ(ops->Seek(fw, h, 2, NX_SEEK_SET), 2);
  EXPECT_EQ(ops->Write(fw, h, "ZZZ", 3), 3);
  EXPECT_EQ(ops->Tell(fw, h), 5);
  EXPECT_EQ(readAt(h, 0, 8), content.substr(0, 2) + "ZZZ" + content.substr(5, 3));

  // Extending the file updates its size.
  EXPECT_EQ(ops->Seek(fw, h, 0, NX_SEEK_END), 2000);
  EXPECT_EQ(ops->Write(fw, h, "tail", 4), 4);
  EXPECT_EQ(ops->Size(fw, h), 2004);
  EXPECT_EQ(ops->IsEnd(fw, h), 1);
  EXPECT_EQ(ops->Close(fw, h), 0);
  std::string expect = content;
  expect.replace(2, 3, "ZZZ");
  EXPECT_EQ(dev.readFile("Temp/w.bin"), expect + "tail");
}

TEST_F(FileKit, WriteToAShortFileRefreshesItsCachedContent) {
  dev.writeFile("Temp/short.bin", "abc");
  int32_t h = open(u"\\Temp\\short.bin", NX_O_RDWR);
  ASSERT_GE(h, 0);
  EXPECT_EQ(readAt(h, 0, 3), "abc");
  EXPECT_EQ(ops->Write(fw, h, "defg", 4), 4);  // at position 3: beyond the cached bytes
  EXPECT_EQ(readAt(h, 0, 7), "abcdefg");
  EXPECT_EQ(ops->Close(fw, h), 0);
}

TEST_F(FileKit, AppendNeverOverwritesExistingContent) {
  dev.writeFile("Temp/log.txt", "first;");
  int32_t h = open(u"\\Temp\\log.txt", NX_O_RDWR | NX_O_APPEND);
  ASSERT_GE(h, 0);
  EXPECT_EQ(ops->Tell(fw, h), 0);
  EXPECT_EQ(readAt(h, 0, 3), "fir");  // a read moves the position back to the head
  EXPECT_EQ(ops->Write(fw, h, "second;", 7), 7);
  EXPECT_EQ(ops->Seek(fw, h, 1, NX_SEEK_SET), 1);
  EXPECT_EQ(ops->Write(fw, h, "third;", 6), 6);
  EXPECT_EQ(ops->Size(fw, h), 19);
  EXPECT_EQ(ops->Close(fw, h), 0);
  EXPECT_EQ(dev.readFile("Temp/log.txt"), "first;second;third;");
}

TEST_F(FileKit, TruncateKeepsThePositionAndForgetsRemovedBytes) {
  dev.writeFile("Temp/t.bin", pattern(600));
  int32_t h = open(u"\\Temp\\t.bin", NX_O_RDWR);
  ASSERT_GE(h, 0);
  EXPECT_EQ(readAt(h, 0, 600).size(), 600u);  // all 600 bytes cached
  EXPECT_EQ(ops->Seek(fw, h, 50, NX_SEEK_SET), 50);
  EXPECT_EQ(ops->Truncate(fw, h, 100), 0);
  EXPECT_EQ(ops->Tell(fw, h), 50);
  EXPECT_EQ(ops->Size(fw, h), 100);
  // A rescan after a repair must not see the cut-off bytes again.
  EXPECT_EQ(readAt(h, 0, 600), pattern(100));
  EXPECT_EQ(ops->Truncate(fw, h, -1), -1);
  EXPECT_EQ(ops->Close(fw, h), 0);
  EXPECT_EQ(dev.readFile("Temp/t.bin").size(), 100u);
}

TEST_F(FileKit, OpenFlagsPickDispositionAccessAndSharing) {
  dev.writeFile("Temp/old.txt", "old");
  struct Case {
    const char* name;
    const char16_t* path;
    int32_t flags;
    bool opens;
    const char* after;  // content afterwards
  };
  const Case cases[] = {
      {"read missing", u"\\Temp\\none1.txt", NX_O_RDONLY, false, nullptr},
      {"read-write missing", u"\\Temp\\none2.txt", NX_O_RDWR, false, nullptr},
      {"create missing", u"\\Temp\\new1.txt", NX_O_RDWR | NX_O_CREAT, true, ""},
      {"truncate missing creates", u"\\Temp\\new2.txt", NX_O_WRONLY | NX_O_TRUNC, true, ""},
      {"create keeps existing", u"\\Temp\\old.txt", NX_O_RDWR | NX_O_CREAT, true, "old"},
      {"truncate empties existing", u"\\Temp\\old.txt", NX_O_RDWR | NX_O_TRUNC | NX_O_CREAT, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int32_t h = open(c.path, c.flags);
    EXPECT_EQ(h >= 0, c.opens);
    if (h >= 0) {
      EXPECT_EQ(ops->Close(fw, h), 0);
    }
    std::string rel = "Temp/" + ce::utf16ToUtf8(std::u16string(c.path).substr(6));
    if (c.after) {
      EXPECT_EQ(dev.readFile(rel), c.after);
    }
  }

  // A read-only open refuses writes and shares reading only.
  dev.writeFile("Temp/ro.txt", "data");
  int32_t h = open(u"\\Temp\\ro.txt");
  ASSERT_GE(h, 0);
  EXPECT_EQ(ops->Write(fw, h, "x", 1), -1);
  ce::HANDLE other = ce::CreateFileW(u"\\Temp\\ro.txt", ce::GENERIC_READ | ce::GENERIC_WRITE,
                                     ce::FILE_SHARE_READ | ce::FILE_SHARE_WRITE, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(other, ce::INVALID_HANDLE_VALUE);
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_SHARING_VIOLATION);
  EXPECT_EQ(ops->Close(fw, h), 0);

  // With the share flag another writer may open it.
  h = open(u"\\Temp\\ro.txt", NX_O_RDONLY, NX_SH_ALLOW_WRITE);
  ASSERT_GE(h, 0);
  other = ce::CreateFileW(u"\\Temp\\ro.txt", ce::GENERIC_READ | ce::GENERIC_WRITE,
                          ce::FILE_SHARE_READ | ce::FILE_SHARE_WRITE, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(other, ce::INVALID_HANDLE_VALUE);
  ce::CloseHandle(other);
  EXPECT_EQ(ops->Close(fw, h), 0);
}

// ---- The slot table -------------------------------------------------------------

TEST_F(FileKit, SixteenthOpenGrowsTheTableAndFreedSlotsAreReused) {
  std::vector<int32_t> handles;
  for (int i = 0; i < 16; ++i) {
    std::string rel = "Temp/f" + std::to_string(i);
    dev.writeFile(rel, "x");
    if (i == 14) {
      EXPECT_EQ(diag().tableCapacity, 15);
    }
    handles.push_back(open(u16("\\Temp\\f" + std::to_string(i)).c_str()));
  }
  for (int i = 0; i < 16; ++i) EXPECT_EQ(handles[i], i);
  EXPECT_EQ(diag().tableCapacity, 30);
  EXPECT_EQ(diag().openFiles, 16);

  // A slot freed while the cache has handed out entries is handed out next,
  // before any never-used slot.
  EXPECT_EQ(ops->Close(fw, 7), 0);
  EXPECT_EQ(open(u"\\Temp\\f7"), 7);
  // With nothing handed out from the cache, a freed index lower than its last
  // entry takes that entry's place; the displaced one is found again by the
  // next refill.
  EXPECT_EQ(ops->Close(fw, 3), 0);  // back at the cursor: next
  EXPECT_EQ(ops->Close(fw, 9), 0);  // replaces cached 19
  std::vector<int32_t> next;
  for (int i = 0; i < 6; ++i) next.push_back(open(u"\\Temp\\f0"));
  EXPECT_EQ(next, std::vector<int32_t>({3, 16, 17, 18, 9, 19}));
  for (int32_t h = 0; h < 20; ++h) EXPECT_EQ(ops->Close(fw, h), 0) << h;
  EXPECT_EQ(diag().openFiles, 0);
  EXPECT_EQ(diag().tableCapacity, 30);
}

// Opens and closes in a scrambled order for a long while: an open handle is
// never handed out twice, and the table stays bounded by what is open at once.
TEST_F(FileKit, ChurnNeverDuplicatesHandlesAndKeepsTheTableSmall) {
  dev.writeFile("Temp/c.bin", "c");
  std::vector<int32_t> open_;
  uint32_t seed = 12345;
  auto rnd = [&seed](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (int step = 0; step < 4000; ++step) {
    const bool doOpen = open_.size() < 3 || (open_.size() < 40 && rnd(2) == 0);
    if (doOpen) {
      int32_t h = ops->OpenW(fw, u"\\Temp\\c.bin", NX_O_RDONLY, 0);
      ASSERT_GE(h, 0);
      ASSERT_EQ(std::count(open_.begin(), open_.end(), h), 0) << "handle " << h << " handed out twice";
      open_.push_back(h);
    } else {
      size_t k = rnd(static_cast<uint32_t>(open_.size()));
      ASSERT_EQ(ops->Close(fw, open_[k]), 0);
      open_.erase(open_.begin() + static_cast<long>(k));
    }
  }
  EXPECT_LE(diag().tableCapacity, 40 + 30);
  for (int32_t h : open_) EXPECT_EQ(ops->Close(fw, h), 0);
}

TEST_F(FileKit, ThreadsOnDifferentHandlesEachReadTheirOwnFile) {
  constexpr int kThreads = 4;
  for (int t = 0; t < kThreads; ++t) dev.writeFile("Temp/th" + std::to_string(t), std::string(1500, 'a' + t));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::u16string path = u16("\\Temp\\th" + std::to_string(t));
      for (int i = 0; i < 150; ++i) {
        int32_t h = ops->OpenW(fw, path.c_str(), NX_O_RDONLY, 0);
        char buf[1500];
        if (h < 0 || ops->Read(fw, h, buf, 10) != 10 || ops->Seek(fw, h, 1400, NX_SEEK_SET) != 1400 ||
            ops->Read(fw, h, buf + 10, 100) != 100 || buf[0] != 'a' + t || buf[109] != 'a' + t)
          ++failures;
        if (ops->Close(fw, h) != 0) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(diag().openFiles, 0);
}

// ---- Bad handles and bad arguments ---------------------------------------------

TEST_F(FileKit, BadHandlesChangeNothing) {
  dev.writeFile("Temp/b.bin", "0123456789");
  int32_t h = open(u"\\Temp\\b.bin", NX_O_RDWR);
  ASSERT_EQ(h, 0);
  EXPECT_EQ(ops->Seek(fw, h, 4, NX_SEEK_SET), 4);
  char buf[8];
  struct Case {
    const char* name;
    int32_t handle;
    int32_t seek, read, write, close, tell, size, isEnd, truncate;
  };
  const Case cases[] = {
      {"no file (-1)", -1, -1, -1, -1, 0, -1, 0, -1, -1},
      {"free slot", 3, -1, -1, -1, -1, -1, -1, -1, -1},
      {"past the table", 1000, -1, -1, -1, -1, -1, -1, -1, -1},
      {"negative", -7, -1, -1, -1, -1, -1, -1, -1, -1},
      {"INT32_MIN", INT32_MIN, -1, -1, -1, -1, -1, -1, -1, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ops->Seek(fw, c.handle, 1, NX_SEEK_SET), c.seek);
    EXPECT_EQ(ops->Read(fw, c.handle, buf, 4), c.read);
    EXPECT_EQ(ops->Write(fw, c.handle, "x", 1), c.write);
    EXPECT_EQ(ops->Tell(fw, c.handle), c.tell);
    EXPECT_EQ(ops->Size(fw, c.handle), c.size);
    EXPECT_EQ(ops->IsEnd(fw, c.handle), c.isEnd);
    EXPECT_EQ(ops->Truncate(fw, c.handle, 0), c.truncate);
    EXPECT_EQ(ops->Close(fw, c.handle), c.close);
  }
  // Null buffers, zero and negative lengths on the open handle.
  const int64_t reads0 = diag().platformReads;
  EXPECT_EQ(ops->Read(fw, h, nullptr, 4), -1);
  EXPECT_EQ(ops->Write(fw, h, nullptr, 4), -1);
  EXPECT_EQ(ops->Read(fw, h, buf, 0), 0);
  EXPECT_EQ(ops->Write(fw, h, buf, 0), 0);
  EXPECT_EQ(ops->Read(fw, h, buf, -1), -1);
  EXPECT_EQ(ops->Write(fw, h, buf, -1), -1);
  EXPECT_EQ(diag().platformReads, reads0);
  EXPECT_EQ(ops->Tell(fw, h), 4);
  EXPECT_EQ(ops->Size(fw, h), 10);
  EXPECT_EQ(dev.readFile("Temp/b.bin"), "0123456789");
  EXPECT_EQ(diag().openFiles, 1);
  EXPECT_EQ(ops->Close(fw, h), 0);
  EXPECT_EQ(ops->Close(fw, h), -1);  // closed twice
  EXPECT_EQ(diag().openFiles, 0);
}

TEST_F(FileKit, NullPathsGiveTheFailureValueOfEachOperation) {
  EXPECT_EQ(ops->AccessW(fw, nullptr, 0), -1);
  EXPECT_EQ(ops->AccessA(fw, nullptr, 0), -1);
  EXPECT_EQ(ops->OpenW(fw, nullptr, NX_O_RDWR | NX_O_CREAT, 0), -1);
  EXPECT_EQ(ops->OpenA(fw, nullptr, NX_O_RDWR | NX_O_CREAT, 0), -1);
  EXPECT_EQ(ops->ChmodW(fw, nullptr, 0x180), -1);
  EXPECT_EQ(ops->ChmodA(fw, nullptr, 0x180), -1);
  EXPECT_EQ(ops->RemoveW(fw, nullptr), -1);
  EXPECT_EQ(ops->RemoveA(fw, nullptr), -1);
  EXPECT_EQ(ops->MakeDirW(fw, nullptr), 0);
  EXPECT_EQ(ops->MakeDirA(fw, nullptr), 0);
  EXPECT_EQ(ops->RemoveDirW(fw, nullptr), -1);
  EXPECT_EQ(ops->RemoveDirA(fw, nullptr), -1);
  EXPECT_EQ(ops->CopyW(fw, nullptr, u"\\Temp\\x"), 0);
  EXPECT_EQ(ops->CopyW(fw, u"\\Temp\\x", nullptr), 0);
  EXPECT_EQ(ops->CopyA(fw, nullptr, "\\Temp\\x"), 0);
  EXPECT_EQ(ops->MoveW(fw, nullptr, u"\\Temp\\x"), -1);
  EXPECT_EQ(ops->MoveA(fw, "\\Temp\\x", nullptr), -1);
  EXPECT_EQ(diag().openFiles, 0);
}

// An ANSI path that does not fit 260 characters is refused outright. Cut at
// the buffer's end, this one would name an existing file and folder.
TEST_F(FileKit, OverlongAnsiPathsAreRefusedNotCut) {
  const std::string cut = "\\Temp\\" + std::string(253, 'x');  // 259 characters: fits exactly
  const std::string longer = cut + "yz";
  ASSERT_EQ(cut.size(), 259u);
  dev.writeFile("Temp/" + std::string(253, 'x'), "keep");
  ASSERT_EQ(ops->AccessA(fw, cut.c_str(), 0), 0);

  EXPECT_EQ(ops->AccessA(fw, longer.c_str(), 0), -1);
  EXPECT_EQ(ops->OpenA(fw, longer.c_str(), NX_O_RDWR | NX_O_TRUNC, 0), -1);
  EXPECT_EQ(ops->ChmodA(fw, longer.c_str(), 0), -1);
  EXPECT_EQ(ops->RemoveA(fw, longer.c_str()), -1);
  dev.writeFile("Temp/src", "src");
  EXPECT_EQ(ops->CopyA(fw, "\\Temp\\src", longer.c_str()), 0);
  EXPECT_EQ(ops->MoveA(fw, longer.c_str(), "\\Temp\\moved"), -1);
  EXPECT_EQ(dev.readFile("Temp/" + std::string(253, 'x')), "keep");
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\moved", 0), -1);
  EXPECT_EQ(ops->AccessA(fw, cut.c_str(), NX_ACCESS_WRITE), 0);  // still writable

  const std::string dir = "\\Temp\\" + std::string(250, 'd');
  EXPECT_EQ(ops->MakeDirA(fw, (dir + "12345").c_str()), 0);
  EXPECT_EQ(ops->AccessA(fw, dir.c_str(), 0), -1);
  EXPECT_EQ(ops->AccessA(fw, (dir + "123").c_str(), 0), -1);
  EXPECT_EQ(diag().openFiles, 0);
}

// ---- Path operations --------------------------------------------------------------

TEST_F(FileKit, AccessChmodAndRemoveFollowTheReadOnlyBit) {
  dev.writeFile("Temp/p.txt", "p");
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\p.txt", 0), 0);
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\p.txt", NX_ACCESS_WRITE), 0);
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\missing.txt", 0), -1);
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp", 0), 0);

  EXPECT_EQ(ops->ChmodW(fw, u"\\Temp\\p.txt", 0), 0);  // read-only
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\p.txt", 0), 0);
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\p.txt", NX_ACCESS_WRITE), -1);
  EXPECT_EQ(ops->ChmodA(fw, "\\Temp\\p.txt", 0x180), 0);  // what the engine passes
  EXPECT_EQ(ops->AccessA(fw, "\\Temp\\p.txt", NX_ACCESS_WRITE), 0);
  EXPECT_EQ(ops->ChmodW(fw, u"\\Temp\\missing.txt", 0x180), -1);

  // A read-only file is removed all the same.
  EXPECT_EQ(ops->ChmodW(fw, u"\\Temp\\p.txt", 0), 0);
  EXPECT_EQ(ops->RemoveW(fw, u"\\Temp\\p.txt"), 0);
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\p.txt", 0), -1);
  EXPECT_EQ(ops->RemoveW(fw, u"\\Temp\\p.txt"), -1);

  // One still open elsewhere is not, and keeps its read-only bit.
  dev.writeFile("Temp/busy.txt", "b");
  EXPECT_EQ(ops->ChmodW(fw, u"\\Temp\\busy.txt", 0), 0);
  int32_t h = ops->OpenW(fw, u"\\Temp\\busy.txt", NX_O_RDONLY, 0);
  ASSERT_GE(h, 0);
  EXPECT_EQ(ops->RemoveA(fw, "\\Temp\\busy.txt"), -1);
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\busy.txt", NX_ACCESS_WRITE), -1);
  EXPECT_EQ(ops->Close(fw, h), 0);
  EXPECT_EQ(ops->RemoveA(fw, "\\Temp\\busy.txt"), 0);
}

TEST_F(FileKit, DirectoriesCopyAndMove) {
  EXPECT_NE(ops->MakeDirW(fw, u"\\Temp\\d"), 0);
  EXPECT_EQ(ops->MakeDirW(fw, u"\\Temp\\d"), 0);              // exists
  EXPECT_EQ(ops->MakeDirA(fw, "\\Temp\\no\\such\\level"), 0);  // one level only
  EXPECT_NE(ops->MakeDirA(fw, "\\Temp\\caf\xE9"), 0);          // code page 1252
  EXPECT_EQ(ops->AccessW(fw, u"\\Temp\\caf\u00E9", 0), 0);
  EXPECT_EQ(ops->RemoveDirA(fw, "\\Temp\\caf\xE9"), 0);

  dev.writeFile("Temp/d/in.txt", "in");
  EXPECT_EQ(ops->RemoveDirW(fw, u"\\Temp\\d"), -1);  // not empty
  dev.writeFile("Temp/src.txt", "source");
  dev.writeFile("Temp/dst.txt", "old target");
  EXPECT_NE(ops->CopyW(fw, u"\\Temp\\src.txt", u"\\Temp\\dst.txt"), 0);  // overwrites
  EXPECT_EQ(dev.readFile("Temp/dst.txt"), "source");
  EXPECT_EQ(ops->CopyA(fw, "\\Temp\\none.txt", "\\Temp\\dst.txt"), 0);
  EXPECT_EQ(ops->MoveA(fw, "\\Temp\\dst.txt", "\\Temp\\d\\moved.txt"), 0);
  EXPECT_EQ(dev.readFile("Temp/d/moved.txt"), "source");
  EXPECT_EQ(ops->MoveW(fw, u"\\Temp\\dst.txt", u"\\Temp\\again.txt"), -1);
  EXPECT_EQ(ops->RemoveW(fw, u"\\Temp\\d\\in.txt"), 0);
  EXPECT_EQ(ops->RemoveW(fw, u"\\Temp\\d\\moved.txt"), 0);
  EXPECT_EQ(ops->RemoveDirW(fw, u"\\Temp\\d"), 0);
}

// ---- The module frame and the unload warnings ----------------------------------

TEST_F(FileKit, UsageCountSharesOneObject) {
  EXPECT_EQ(LibInit(), 2);
  FileWrapObject* second = nullptr;
  EXPECT_EQ(CreateFileWrapObject(&second), 1);
  EXPECT_EQ(second, fw);
  EXPECT_EQ(CreateFileWrapObject(nullptr), 0);
  DeleteFileWrapObject(second);  // nothing: the object lives on
  fw->ops->Destroy(fw, 1);       // only LibDeinit may release it
  dev.writeFile("Temp/u.txt", "u");
  int32_t h = open(u"\\Temp\\u.txt");
  EXPECT_EQ(h, 0);
  EXPECT_EQ(ops->Close(fw, h), 0);
  EXPECT_EQ(LibDeinit(), 1);
  EXPECT_EQ(diag().tableCapacity, 15);
}

TEST(FileKitFrame, MismatchedAndEarlyCallsFail) {
  nxtest::TempDevice dev;
  FileWrapObject* fw = reinterpret_cast<FileWrapObject*>(0x1);
  EXPECT_EQ(CreateFileWrapObject(&fw), 0);
  EXPECT_EQ(fw, reinterpret_cast<FileWrapObject*>(0x1));
  FileWrapDiag d{};
  EXPECT_EQ(FileWrapDiagGet(&d), 0);
  EXPECT_EQ(LibDeinit(), 0);
  EXPECT_EQ(LibDeinit(), 0);
  EXPECT_EQ(LibInit(), 1);  // the mismatches left the count at 0
  EXPECT_EQ(LibDeinit(), 0);
  EXPECT_TRUE(dev.readFile("nxdebug.log").empty());  // a clean unload writes nothing
}

TEST(FileKitFrame, UnloadWithAFileOpenNamesItAndReleasesIt) {
  struct Case {
    const char* name;
    std::string dir;  // device folder under the root
  };
  const Case cases[] = {
      {"short path", "Temp"},
      {"path longer than the name field", "Temp/" + std::string(238, 'n')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    nxtest::TempDevice dev;
    dev.writeFile(c.dir + "/left-open.txt", "x");
    std::string devPath = "\\" + c.dir + "\\left-open.txt";
    std::replace(devPath.begin(), devPath.end(), '/', '\\');
    ASSERT_EQ(LibInit(), 1);
    FileWrapObject* fw = nullptr;
    ASSERT_EQ(CreateFileWrapObject(&fw), 1);
    ASSERT_GE(fw->ops->OpenW(fw, u16(devPath).c_str(), NX_O_RDWR, 0), 0);
    EXPECT_EQ(LibDeinit(), 0);

    const std::string shown = devPath.size() <= 255 ? devPath : devPath.substr(0, 252) + "...";
    EXPECT_EQ(unloadLog(dev), "filekit.dll Error: file not closed. Name\r\n" + shown +
                                  "\r\nfilekit.dll Error: Open Close Mismatched\r\n");
    // The handle was closed with the table: the file is free to delete.
    EXPECT_TRUE(ce::DeleteFileW(u16(devPath).c_str()));
  }
}

}  // namespace
