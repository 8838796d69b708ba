#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/platform_api.h"
#include "test_util.h"

namespace {

using ce::WCHAR;

bool hasShape(const std::u16string& name, const std::u16string& ext) {
  if (name.size() != 8 + ext.size() || name.substr(0, 3) != u"~xn" || name[7] != u'.') return false;
  for (int i = 3; i < 7; ++i)
    if (name[i] < u'0' || name[i] > u'9') return false;
  return name.substr(8) == ext;
}

TEST(UniqueName, ShapeAndExtensionRule) {
  nxtest::TempDevice dev;
  struct Case {
    const WCHAR* ext;
    std::u16string expect;
  } cases[] = {
      {nullptr, u"tmp"},
      {u"cab", u"cab"},
      {u"abcdefghij", u"abcdefghij"},  // 10 characters: used
      {u"abcdefghijk", u"tmp"},        // 11: too long
  };
  for (const Case& c : cases) {
    WCHAR out[32];
    ASSERT_EQ(GetNXUniqueFilenameW(u"\\Temp", c.ext, out), 1);
    EXPECT_TRUE(hasShape(out, c.expect)) << pt::narrow(out);
  }
  char aout[ce::MAX_PATH];
  ASSERT_EQ(GetNXUniqueFilenameA("\\Temp\\", "sis", aout), 1);
  EXPECT_TRUE(hasShape(ce::utf8ToUtf16(aout), u"sis")) << aout;
}

TEST(UniqueName, BadArguments) {
  nxtest::TempDevice dev;
  WCHAR out[32] = u"#";
  EXPECT_EQ(GetNXUniqueFilenameW(nullptr, nullptr, out), 0);
  EXPECT_EQ(GetNXUniqueFilenameW(u"\\Temp", nullptr, nullptr), 0);
  // A directory so long that no name fits beside it is refused, not cut.
  std::u16string deep(250, u'd');
  deep = u"\\" + deep;
  EXPECT_EQ(GetNXUniqueFilenameW(deep.c_str(), u"abcdefghij", out), 0);
  EXPECT_EQ(out[0], u'#');
  EXPECT_EQ(GetNXUniqueFilenameA(nullptr, "x", nullptr), 0);
}

TEST(UniqueName, SkipsNamesThatExist) {
  nxtest::TempDevice dev;
  std::set<std::u16string> seen;
  for (int i = 0; i < 300; ++i) {
    WCHAR out[32];
    ASSERT_EQ(GetNXUniqueFilenameW(u"\\Temp", u"x", out), 1);
    std::string host = dev.host("Temp/" + pt::narrow(out));
    ASSERT_FALSE(std::filesystem::exists(host)) << host;
    std::ofstream(host) << "x";
    EXPECT_TRUE(seen.insert(out).second);
  }
}

// Every name taken but one: the search still ends, on that one; with none
// left it fails instead of spinning.
TEST(UniqueName, FullDirectoryEndsTheSearch) {
  nxtest::TempDevice dev;
  std::filesystem::create_directories(dev.host("Full"));
  char name[32];
  for (int n = 0; n < 10000; ++n) {
    if (n == 4217) continue;
    std::snprintf(name, sizeof name, "~xn%02d%02d.q", n / 100, n % 100);
    std::ofstream(dev.host("Full/") + name);
  }
  WCHAR out[32];
  ASSERT_EQ(GetNXUniqueFilenameW(u"\\Full", u"q", out), 1);
  EXPECT_EQ(std::u16string(out), u"~xn4217.q");
  std::ofstream(dev.host("Full/~xn4217.q"));
  EXPECT_EQ(GetNXUniqueFilenameW(u"\\Full", u"q", out), 0);
}

// Threads that take a name and only then create the file never get the same
// one: each creation with CREATE_NEW must succeed.
TEST(UniqueName, ThreadsNeverShareAName) {
  nxtest::TempDevice dev;
  constexpr int kThreads = 4, kEach = 150;
  std::atomic<int> clashes{0}, made{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        WCHAR out[32];
        if (!GetNXUniqueFilenameW(u"\\Temp", u"t", out)) continue;
        std::u16string full = u"\\Temp\\" + std::u16string(out);
        ce::HANDLE h = ce::CreateFileW(full.c_str(), ce::GENERIC_WRITE, 0, nullptr, ce::CREATE_NEW,
                                       ce::FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == ce::INVALID_HANDLE_VALUE) {
          ++clashes;
        } else {
          ++made;
          ce::CloseHandle(h);
        }
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(made.load(), kThreads * kEach);
}

}  // namespace
