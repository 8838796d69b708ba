#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/platform_api.h"
#include "test_util.h"

namespace {

using ce::WCHAR;

constexpr const WCHAR* kLog = u"\\Temp\\nx.log";

std::u16string threadPrefix() {
  WCHAR buf[16];
  ce::format16(buf, 16, u":%08X: ", unsigned(ce::GetCurrentThreadId()));
  return buf;
}

std::u16string threadText(int t) {
  return u"thread " + std::u16string(1, u'0' + t) + u" writes a line long enough to be cut " +
         std::u16string(100, static_cast<char16_t>(u'a' + t));
}

// A nearly frozen device clock, set to 9:05:07, so the time prefix is known.
class DebugLog : public ::testing::Test {
 protected:
  DebugLog() : dev(0.001) {
    ce::SYSTEMTIME t{2024, 5, 0, 14, 9, 5, 7, 0};
    ce::SetLocalTime(&t);
  }
  std::u16string log() { return pt::readUtf16(dev, "Temp/nx.log"); }
  nxtest::TempDevice dev;
};

TEST_F(DebugLog, MessageLineExactBytes) {
  WriteToLogW(kLog, u"scan.dll: Path not found.");
  std::u16string expect = u"9:5:7" + threadPrefix() + u"scan.dll: Path not found.\r\n";
  EXPECT_EQ(log(), expect);
  // Raw bytes: UTF-16LE, no byte-order mark.
  std::string raw = dev.readFile("Temp/nx.log");
  ASSERT_GE(raw.size(), 2u);
  EXPECT_EQ(raw[0], '9');
  EXPECT_EQ(raw[1], '\0');
}

TEST_F(DebugLog, ErrorLineAndTextOnlyForms) {
  WriteToLogErr(kLog, u"scan: LibDeinit: error code - ", 132);
  WriteToLogErr(kLog, u"x", -5);
  WriteToLogExW(kLog, u"bare");
  WriteToLogExA("\\Temp\\nx.log", "|a");
  WriteToLogExN(kLog, "|n");
  EXPECT_EQ(log(), u"scan: LibDeinit: error code - 132\r\nx-5\r\nbare|a|n");
}

TEST_F(DebugLog, AnsiFormsConvertFromTheCodePage) {
  WriteToLogA("\\Temp\\nx.log", "caf\xE9");
  WriteToLogN(kLog, "\x80uro");
  std::u16string p = u"9:5:7" + threadPrefix();
  EXPECT_EQ(log(), p + u"caf\u00E9\r\n" + p + u"\u20ACuro\r\n");
}

TEST_F(DebugLog, LongAnsiTextsAreWrittenWhole) {
  for (size_t len : {1039u, 1040u, 5000u}) {
    std::filesystem::remove(dev.host("Temp/nx.log"));
    std::string text(len, 'k');
    text.back() = 'E';
    WriteToLogN(kLog, text.c_str());
    std::u16string expect = u"9:5:7" + threadPrefix() + ce::utf8ToUtf16(text) + u"\r\n";
    EXPECT_EQ(log(), expect) << len;
  }
}

TEST_F(DebugLog, NothingWrittenForBadArguments) {
  WriteToLogW(nullptr, u"x");
  WriteToLogW(kLog, nullptr);
  WriteToLogA(nullptr, "x");
  WriteToLogA("\\Temp\\nx.log", nullptr);
  WriteToLogN(kLog, nullptr);
  WriteToLogExW(kLog, nullptr);
  WriteToLogErr(kLog, nullptr, 1);
  EXPECT_FALSE(std::filesystem::exists(dev.host("Temp/nx.log")));
  // A folder that does not exist: quietly nothing.
  WriteToLogW(u"\\NoSuchDir\\nx.log", u"x");
  EXPECT_FALSE(std::filesystem::exists(dev.host("NoSuchDir")));
  // An ANSI path longer than the buffer is not cut into another file's name.
  std::string longPath = "\\Temp\\" + std::string(300, 'l');
  WriteToLogA(longPath.c_str(), "x");
  EXPECT_FALSE(std::filesystem::exists(dev.host("Temp/" + std::string(253, 'l'))));
}

TEST_F(DebugLog, BusyFileDropsTheLine) {
  dev.writeFile("Temp/nx.log", "");
  ce::HANDLE h = ce::CreateFileW(kLog, ce::GENERIC_READ, 0, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, ce::INVALID_HANDLE_VALUE);
  WriteToLogW(kLog, u"dropped");
  ce::CloseHandle(h);
  WriteToLogW(kLog, u"kept");
  EXPECT_EQ(log(), u"9:5:7" + threadPrefix() + u"kept\r\n");
}

// Lines of threads writing at once come out whole, each with its own thread.
TEST_F(DebugLog, ThreadsWriteWholeLines) {
  constexpr int kThreads = 2, kLines = 200;
  std::vector<std::u16string> prefixes(kThreads);
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      prefixes[t] = threadPrefix();
      std::u16string text = threadText(t);
      for (int i = 0; i < kLines; ++i) WriteToLogW(kLog, text.c_str());
    });
  for (auto& t : ts) t.join();
  std::u16string all = log();
  int counts[kThreads] = {};
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find(u"\r\n", pos);
    ASSERT_NE(end, std::u16string::npos);
    std::u16string line = all.substr(pos, end - pos);
    bool matched = false;
    for (int t = 0; t < kThreads; ++t) {
      std::u16string expect = u"9:5:7" + prefixes[t] + threadText(t);
      if (line == expect) {
        ++counts[t];
        matched = true;
      }
    }
    ASSERT_TRUE(matched) << pt::narrow(line);
    pos = end + 2;
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(counts[t], kLines);
}

TEST(DebugLogName, BesideTheProgram) {
  WCHAR exe[ce::MAX_PATH];
  std::u16string p(exe, ce::GetModuleFileNameW(nullptr, exe, ce::MAX_PATH));
  EXPECT_EQ(std::u16string(g_szLogFileName), p.substr(0, p.rfind(u'\\') + 1) + u"nxdebug.log");
}

}  // namespace
