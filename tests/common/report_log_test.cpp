#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "common/crc32.h"
#include "common/options_files.h"
#include "common/queue_sender.h"
#include "common/report_index.h"
#include "common/report_log.h"
#include "testkit.h"

namespace {

using ce::DWORD;
using ce::WCHAR;

const std::u16string kDir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
const std::string kHostDir = "Program Files/Nyxel/Nyxel AntiVirus";
const std::u16string kDash52(52, u'-'), kDash51(51, u'-');
const char16_t* kDays[] = {u"Sunday", u"Monday", u"Tuesday", u"Wednesday", u"Thursday", u"Friday", u"Saturday"};
const char16_t* kMonths[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                             u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};

std::string le(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

uint32_t u32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}

std::string hostOf(const std::u16string& devPath) {
  std::string s = ce::utf16ToUtf8(devPath);
  for (char& c : s)
    if (c == '\\') c = '/';
  return s.substr(1);
}

class ReportLog : public ::testing::Test {
 protected:
  ReportLog() : dev(200.0) {}
  void SetUp() override { std::filesystem::create_directories(dev.host(kHostDir + "/Config")); }
  void putVersion(int16_t major, int16_t minor, ce::SYSTEMTIME db) {
    std::string b(20, '\0');
    auto put16 = [&](size_t at, uint16_t v) {
      b[at] = static_cast<char>(v & 0xFF);
      b[at + 1] = static_cast<char>(v >> 8);
    };
    put16(0, static_cast<uint16_t>(major));
    put16(2, static_cast<uint16_t>(minor));
    const uint16_t f[8] = {db.wYear, db.wMonth, db.wDayOfWeek, db.wDay, db.wHour, db.wMinute, db.wSecond, 0};
    for (int i = 0; i < 8; ++i) put16(4 + 2 * i, f[i]);
    dev.writeFile(kHostDir + "/scanver.cnf", b);
  }
  std::string index(const char* name) { return dev.readFile(kHostDir + "/" + name); }
  std::vector<nx::IndexEntry> entries(const WCHAR* name, DWORD kind, DWORD* status = nullptr) {
    std::vector<nx::IndexEntry> out;
    DWORD s = nx::readIndex((kDir + name).c_str(), kind, [&](const nx::IndexEntry& e) { out.push_back(e); });
    if (status) *status = s;
    return out;
  }
  // The header as the report time of the index record dictates it.
  static std::u16string header(const std::u16string& title, const ce::SYSTEMTIME& t, const std::u16string& version,
                               const std::u16string& db) {
    return u"Report For: " + title + u" \r\n" +
           ce::format16(u"%s, %02d %s %d [%02d:%02d:%02d]\r\n", kDays[t.wDayOfWeek], t.wDay, kMonths[t.wMonth - 1],
                        t.wYear, t.wHour, t.wMinute, t.wSecond) +
           u"Nyxel Version: " + version + u"\r\nVirus Database: " + db + u"\r\n" + kDash52 + u"\r\n";
  }

  nxtest::TempDevice dev;
};

TEST_F(ReportLog, OnlineReportAndIndexAreByteExact) {
  putVersion(3, 7, ce::SYSTEMTIME{2026, 3, 4, 5, 14, 7, 9, 0});
  nx::ReportSession r;
  const std::u16string infected = u"\\Storage Card\\evil.exe";
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, infected.c_str(), nx::kOnlineIndexName));
  const std::u16string path = r.path();
  EXPECT_TRUE(std::regex_match(ce::utf16ToUtf8(path),
                               std::regex(R"(\\Program Files\\Nyxel\\Nyxel AntiVirus\\Report\\oln[0-9]+\.rpt)")))
      << ce::utf16ToUtf8(path);
  ASSERT_TRUE(r.WriteOnlineEntry(3007, u"Test.Virus", infected.c_str()));
  ASSERT_TRUE(r.Close());

  auto list = entries(nx::kOnlineIndexName, nx::kReportOnline);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].path, ce::utf16ToUtf8(path));
  EXPECT_EQ(list[0].title, infected);
  std::u16string expected = header(infected, list[0].opened, u"3.07", u"05 Mar 2026 [14:07:09]") +
                            u"File Name: \\Storage Card\\evil.exe\r\nDetected: Test.Virus\r\nAction Taken: "
                            u"Quarantined\r\n" +
                            kDash51;
  EXPECT_EQ(dev.readFile(hostOf(path)), le(expected)) << "UTF-16LE, no byte-order mark, no terminator";

  // The index head and the one record, byte for byte.
  std::string idx = index("online.dat");
  ASSERT_EQ(idx.size(), 16u + 784u);
  EXPECT_EQ(idx.substr(0, 4), std::string(4, '\x01'));
  EXPECT_EQ(u32(idx, 4), nx::crc32(idx.data() + 8, idx.size() - 8));
  EXPECT_EQ(u32(idx, 8), 2u);
  EXPECT_EQ(u32(idx, 12), 1u);
  std::string path8 = ce::utf16ToUtf8(path);
  EXPECT_EQ(idx.substr(16 + 16, path8.size() + 1), path8 + '\0');
  EXPECT_EQ(idx.substr(16 + 16 + path8.size(), 256 - path8.size()), std::string(256 - path8.size(), '\0'));
  EXPECT_EQ(idx.substr(16 + 272, infected.size() * 2 + 2), le(infected) + std::string(2, '\0'));
}

TEST_F(ReportLog, ReportsOpenedInTheSameSecondGetDifferentNames) {
  std::set<std::u16string> names;
  DWORD t0 = ce::GetTickCount();
  for (int i = 0; i < 4; ++i) {
    nx::ReportSession r;
    ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportUpdate, u"UP-TO-DATE", nx::kUpdateIndexName));
    names.insert(r.path());
    ASSERT_TRUE(r.WriteUpdateBody(2003, nullptr, nullptr));
    ASSERT_TRUE(r.Close());
  }
  EXPECT_GE(ce::GetTickCount() - t0, 4u * 800u) << "each name waits 800 ms of device time";
  EXPECT_EQ(names.size(), 4u);
  EXPECT_EQ(entries(nx::kUpdateIndexName, nx::kReportUpdate).size(), 4u);
}

TEST_F(ReportLog, ANameAnOlderReportAlreadyHasIsNeverAppendedTo) {
  // Fill the names of the coming 600 ms with old reports; the new
  // one must take a free name and leave the old files as they were.
  // The clock is put back to where the names start once they are laid
  // out, so the first name the report tries is one of them however long
  // laying them out took.
  std::filesystem::create_directories(dev.host(kHostDir + "/Report"));
  ce::FILETIME now{};
  ce::GetSystemTimeAsFileTime(&now);
  uint64_t base = (uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  std::set<std::string> old;
  for (int ms = 0; ms < 600; ++ms) {
    uint64_t t = base + uint64_t(ms) * 10000;
    ce::FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    ce::SYSTEMTIME st{};
    ce::FileTimeToSystemTime(&ft, &st);
    std::string name = "oln" + std::to_string(st.wHour) + std::to_string(st.wMinute) + std::to_string(st.wSecond) +
                       std::to_string(st.wMilliseconds) + ".rpt";
    if (old.insert(name).second) std::ofstream(dev.host(kHostDir + "/Report/" + name)) << "old report";
  }
  ce::SetClockSpeed(4.0);
  ce::SYSTEMTIME start{};
  ASSERT_TRUE(ce::FileTimeToSystemTime(&now, &start));
  ASSERT_TRUE(ce::SetSystemTime(&start));
  nx::ReportSession r;
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, u"\\x", nx::kOnlineIndexName));
  std::string mine = ce::utf16ToUtf8(r.path());
  mine = mine.substr(mine.rfind('\\') + 1);
  EXPECT_EQ(old.count(mine), 0u) << mine;
  ASSERT_TRUE(r.Close());
  for (const auto& name : old)
    ASSERT_EQ(std::filesystem::file_size(dev.host(kHostDir + "/Report/" + name)), 10u) << name;
}

TEST_F(ReportLog, WithoutVersionFileTheReportHasNoHeaderAndIsStillIndexed) {
  nx::ReportSession r;
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, u"\\a.exe", nx::kOnlineIndexName));
  ASSERT_TRUE(r.WriteOnlineEntry(3003, u"T", u"\\a.exe"));
  std::u16string path = r.path();
  ASSERT_TRUE(r.Close());
  EXPECT_EQ(dev.readFile(hostOf(path)),
            le(u"File Name: \\a.exe\r\nDetected: T\r\nAction Taken: Deleted\r\n" + kDash51));
  EXPECT_EQ(entries(nx::kOnlineIndexName, nx::kReportOnline).size(), 1u);
  // A version file too short to hold the record counts as missing.
  dev.writeFile(kHostDir + "/scanver.cnf", std::string(19, '\x01'));
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, u"\\b.exe", nx::kOnlineIndexName));
  path = r.path();
  ASSERT_TRUE(r.Close());
  EXPECT_EQ(dev.readFile(hostOf(path)), "");
}

TEST_F(ReportLog, DamagedVersionDatesGiveEmptyNamesNotACrash) {
  putVersion(-1, 123, ce::SYSTEMTIME{65535, 13, 9, 99, 77, 88, 99, 0});
  nx::ReportSession r;
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, u"\\c", nx::kOnlineIndexName));
  std::u16string path = r.path();
  ASSERT_TRUE(r.Close());
  auto list = entries(nx::kOnlineIndexName, nx::kReportOnline);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(dev.readFile(hostOf(path)), le(header(u"\\c", list[0].opened, u"-1.123", u"99  65535 [77:88:99]")));
}

TEST_F(ReportLog, TheIndexCountEqualsItsRecordsAfterEveryClose) {
  for (DWORD i = 1; i <= 5; ++i) {
    nx::ReportSession r;
    std::u16string title = u"\\f" + std::u16string(i, u'x');
    ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, title.c_str(), nx::kOnlineIndexName));
    ASSERT_TRUE(r.WriteOnlineEntry(3001, u"T", title.c_str()));
    ASSERT_TRUE(r.Close());
    std::string idx = index("online.dat");
    DWORD count = 0;
    ASSERT_EQ(nx::checkIndexImage(idx.data(), idx.size(), nx::kReportOnline, &count), nx::kIndexOk);
    EXPECT_EQ(count, i);
    EXPECT_EQ(idx.size(), 16u + 784u * i);
  }
  auto list = entries(nx::kOnlineIndexName, nx::kReportOnline);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[4].title, u"\\fxxxxx") << "appended in order";
}

// An index that cannot be appended to is copied aside under a free name
// (its history kept byte for byte, the debug log saying where) before a new
// one is started; a sound index is appended to.
TEST_F(ReportLog, ADamagedIndexIsKeptAsideAndStartedAfresh) {
  std::filesystem::create_directories(dev.host("Temp"));
  ce::SetProgramPath(u"\\Temp\\tester.exe");
  nx::IndexRecord rec;
  ASSERT_TRUE(nx::encodeIndexRecord(ce::SYSTEMTIME{}, u"\\old.rpt", u"old", &rec));
  std::string one(16, '\0');
  one[0] = one[1] = one[2] = one[3] = 1;
  one[8] = 2;
  one[12] = 1;
  one += std::string(reinterpret_cast<const char*>(&rec), sizeof rec);
  uint32_t crc = nx::crc32(one.data() + 8, one.size() - 8);
  std::memcpy(one.data() + 4, &crc, 4);
  struct Case {
    const char* what;
    std::string content;
    size_t recordsAfter;
    const char* damage;  // null: nothing is kept aside
  } cases[] = {
      {"sound", one, 2, nullptr},
      {"short head", one.substr(0, 10), 1, "its head is cut short"},
      {"partial record", one + std::string(100, 'z'), 1, "a record is cut short"},
      {"record cut short", one.substr(0, one.size() - 1), 1, "a record is cut short"},
      {"count disagrees", [&] { std::string s = one; s[12] = 2; return s; }(), 1, "its count does not match its records"},
      {"one flipped byte", [&] { std::string s = one; s[40] ^= 1; return s; }(), 1, "its checksum does not match"},
      {"other kind", [&] {
         std::string s = one;
         s[8] = 3;
         uint32_t c = nx::crc32(s.data() + 8, s.size() - 8);
         std::memcpy(s.data() + 4, &c, 4);
         return s;
       }(), 1, "it lists another kind of report"},
      {"empty file", "", 1, nullptr},
  };
  const std::string dir = ce::utf16ToUtf8(kDir);
  int kept = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(dev.host("Temp/nxdebug.log"));
    dev.writeFile(kHostDir + "/online.dat", c.content);
    nx::ReportSession r;
    ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, u"\\new", nx::kOnlineIndexName));
    ASSERT_TRUE(r.Close());
    DWORD status = 99;
    auto list = entries(nx::kOnlineIndexName, nx::kReportOnline, &status);
    EXPECT_EQ(status, nx::kIndexOk);
    ASSERT_EQ(list.size(), c.recordsAfter);
    EXPECT_EQ(list.back().title, u"\\new");
    if (!c.damage) {
      EXPECT_TRUE(dev.logTexts("Temp/nxdebug.log").empty());
      continue;
    }
    ++kept;
    const std::string name = kept == 1 ? "online.damaged.dat" : "online.damaged." + std::to_string(kept) + ".dat";
    ASSERT_TRUE(std::filesystem::exists(dev.host(kHostDir + "/" + name))) << name;
    EXPECT_EQ(dev.readFile(kHostDir + "/" + name), c.content) << "the history, byte for byte";
    EXPECT_EQ(dev.logTexts("Temp/nxdebug.log"),
              std::vector<std::string>{"Report index " + dir + "\\online.dat is damaged (" + c.damage + "): kept as " +
                                       dir + "\\" + name + ", a new index is started."});
  }
  // Nothing else was made beside the indexes.
  int damagedFiles = 0;
  for (const auto& e : std::filesystem::directory_iterator(dev.host(kHostDir)))
    if (e.path().filename().string().find("damaged") != std::string::npos) ++damagedFiles;
  EXPECT_EQ(damagedFiles, kept);

  // The update index the same way, under its own name.
  dev.writeFile(kHostDir + "/update.dat", one);  // an online index where an update index belongs
  nx::ReportSession u;
  ASSERT_TRUE(u.Open(kDir.c_str(), nx::kReportUpdate, u"UP-TO-DATE", nx::kUpdateIndexName));
  ASSERT_TRUE(u.Close());
  EXPECT_EQ(dev.readFile(kHostDir + "/update.damaged.dat"), one);
  EXPECT_EQ(entries(nx::kUpdateIndexName, nx::kReportUpdate).size(), 1u);
}

// When the damaged index cannot be copied aside it is left as it is, and the
// new report, which cannot be listed, is not kept either.
TEST_F(ReportLog, ADamagedIndexThatCannotBeKeptIsLeftAlone) {
  const std::string damaged = "\x01\x01\x01\x01 not an index";
  dev.writeFile(kHostDir + "/online.dat", damaged);
  for (int n = 1; n <= 100; ++n) {
    const std::string name = n == 1 ? "online.damaged.dat" : "online.damaged." + std::to_string(n) + ".dat";
    std::filesystem::create_directories(dev.host(kHostDir + "/" + name));
  }
  nx::ReportSession r;
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, u"\\new", nx::kOnlineIndexName));
  const std::u16string path = r.path();
  EXPECT_FALSE(r.Close());
  EXPECT_EQ(dev.readFile(kHostDir + "/online.dat"), damaged);
  EXPECT_EQ(ce::GetFileAttributesW(path.c_str()), ce::INVALID_FILE_ATTRIBUTES);
}

TEST_F(ReportLog, AReportThatCannotBeIndexedIsDeleted) {
  ASSERT_TRUE(ce::CreateDirectoryW((kDir + nx::kOnlineIndexName).c_str(), nullptr));
  nx::ReportSession r;
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, u"\\d", nx::kOnlineIndexName));
  std::u16string path = r.path();
  EXPECT_NE(ce::GetFileAttributesW(path.c_str()), ce::INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(r.Close());
  EXPECT_EQ(ce::GetFileAttributesW(path.c_str()), ce::INVALID_FILE_ATTRIBUTES);
}

// The guard is told to leave the report and the index alone while they are
// written (it would find them held and say they could not be scanned), and
// every path it was told about is released again, listed or not.
TEST_F(ReportLog, TheGuardLeavesTheReportAndTheIndexAloneWhileTheyAreWritten) {
  auto opts = nx::guardQueueOptions(true);
  ce::HANDLE reader = ce::CreateMsgQueue(nx::kGuardQueueName, &opts);
  ASSERT_NE(reader, nullptr);
  auto drain = [&] { return nxtest::readQueueTexts(reader); };
  const std::u16string index = kDir + nx::kOnlineIndexName;
  struct Case {
    const char* what;
    bool indexable;
  } cases[] = {{"listed", true}, {"the index cannot be written", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.indexable) {
      ce::DeleteFileW(index.c_str());
      ASSERT_TRUE(ce::CreateDirectoryW(index.c_str(), nullptr));
    }
    nx::ReportSession r;
    ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, u"\\x.exe", nx::kOnlineIndexName));
    const std::u16string report = r.path();
    EXPECT_EQ(drain(), std::vector<std::u16string>{u"1" + report}) << "the report is left alone from its creation";
    ASSERT_TRUE(r.WriteOnlineEntry(3007, u"Test.Virus", u"\\x.exe"));
    EXPECT_EQ(r.Close(), c.indexable);
    std::vector<std::u16string> want = {u"1" + index, u"0" + index, u"0" + report};
    EXPECT_EQ(drain(), want);
  }
  ce::CloseMsgQueue(reader);
}

TEST_F(ReportLog, BadArgumentsAndPathsThatCannotBeListedAreRefused) {
  nx::ReportSession r;
  EXPECT_FALSE(r.Open(kDir.c_str(), 4, u"t", nx::kOnlineIndexName)) << "unknown kind";
  EXPECT_FALSE(r.Open(kDir.c_str(), nx::kReportOnline, u"t", nullptr));
  EXPECT_FALSE(r.Open(nullptr, nx::kReportOnline, u"t", nx::kOnlineIndexName));
  EXPECT_FALSE(r.Write(u"x")) << "not open";
  EXPECT_FALSE(r.Close());
  // An installation directory outside code page 1252 cannot be stored in the
  // index as it is: the report is refused rather than listed under '?'.
  std::u16string greek = u"\\\u03a3\u03c6";
  ASSERT_TRUE(ce::CreateDirectoryW(greek.c_str(), nullptr));
  EXPECT_FALSE(r.Open(greek.c_str(), nx::kReportOnline, u"t", nx::kOnlineIndexName));
}

// An online report's title is the infected file's path, up to 1,023
// characters: the header prints it whole, the index record keeps the first
// 255 its field holds; a longer title stops at 1,023.
TEST_F(ReportLog, LongTitlesArePrintedWholeAndCutOnlyInTheIndexField) {
  putVersion(1, 0, ce::SYSTEMTIME{2026, 1, 4, 1, 0, 0, 0, 0});
  std::u16string deep = u"\\Storage Card";
  for (int i = 0; deep.size() < 1023; ++i) deep += u"\\folder" + ce::utf8ToUtf16(std::to_string(i % 10));
  deep.resize(1023);
  struct Case {
    const char* what;
    std::u16string title;
    std::u16string printed;
  } cases[] = {
      {"a path of 1023 characters", deep, deep},
      {"longer than any path", std::u16string(1500, u'T'), std::u16string(1023, u'T')},
      {"a surrogate pair across the cut", std::u16string(1022, u'T') + u"\U0001F600", std::u16string(1022, u'T')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(dev.host(kHostDir + "/online.dat"));
    nx::ReportSession r;
    ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, c.title.c_str(), nx::kOnlineIndexName));
    std::u16string path = r.path();
    ASSERT_TRUE(r.Close());
    auto list = entries(nx::kOnlineIndexName, nx::kReportOnline);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].title, c.title.substr(0, 255));
    EXPECT_EQ(dev.readFile(hostOf(path)), le(header(c.printed, list[0].opened, u"1.00", u"01 Jan 2026 [00:00:00]")));
  }
  nx::ReportSession r;
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportOnline, deep.c_str(), nx::kOnlineIndexName));
  EXPECT_FALSE(r.WriteOnlineEntry(4003, u"T", u"\\x")) << "no word for that result";
  ASSERT_TRUE(r.Close());
}

TEST(ReportTexts, UpdateBodiesAndTitlesFallBackToTheBuiltInTexts) {
  nx::UiStrings none;
  const std::u16string sep = kDash52;
  struct Case {
    DWORD code;
    std::u16string body;
    std::u16string title;
  } cases[] = {
      {2000, u"Unable to update Nyxel. Please check your settings and try again.\r\n" + sep, u"UPDATE FAILED"},
      {2002, u"Update interrupted by user.\r\n" + sep, u"UPDATE FAILED"},
      {2003, u"The version of Nyxel you have is up-to-date.\r\nUse Update regularly to keep your copy updated.\r\n" + sep,
       u"UP-TO-DATE"},
      {2006,
       u"Unable to connect to Internet Center.\r\nUnable to update Nyxel. Please check your Internet Settings and try "
       u"again.\r\n" + sep,
       u"UPDATE FAILED"},
      {2007,
       u"Definition files not found.\r\nPlease specify valid update path. Also check your update settings and try "
       u"again.\r\n" + sep,
       u"UPDATE FAILED"},
      {2008, u"The update definition file is corrupt.\r\n" + sep, u"UPDATE FAILED"},
      {2014, u"The definition file is not applicable for Nyxel AntiVirus for Windows Mobile.\r\n" + sep,
       u"UPDATE FAILED"},
      {2001,
       u"Nyxel is successfully updated.\r\n\r\nFrom Version: 1.02\r\nVirus Database: 03 Feb 2026 [04:05:06]\r\n\r\n"
       u"From Version: 1.10\r\nVirus Database: 28 Feb 2026 [23:59:58]\r\n" + sep,
       u"UPDATED SUCCESSFULLY"},
      {1999, u"", u"UPDATE FAILED"},
  };
  nx::ScanVersionInfo oldV{1, 2, {2026, 2, 2, 3, 4, 5, 6, 0}};
  nx::ScanVersionInfo newV{1, 10, {2026, 2, 6, 28, 23, 59, 58, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(nx::formatUpdateBody(none, c.code, &oldV, &newV), c.body);
    EXPECT_EQ(nx::updateTitle(none, c.code), c.title);
  }
  EXPECT_EQ(nx::formatOnlineEntry(none, 3006, u"W", u"\\p"),
            u"File Name: \\p\r\nDetected: W\r\nAction Taken: Mark for deletion\r\n" + kDash51);
  EXPECT_EQ(nx::formatOnlineEntry(none, 500, u"W", u"\\p"), u"");
}

TEST_F(ReportLog, ScanReportsListTheScannerSettingsAndTheLibraryLabelsTheNewVersion) {
  putVersion(2, 5, ce::SYSTEMTIME{2025, 12, 3, 31, 1, 2, 3, 0});
  nx::WM_SCAN_OPTS scan{};
  scan.bWhatToScan = 2;
  scan.bAction = nx::kActionReportOnly;
  ASSERT_TRUE(nx::CWmOptionsGen::WriteScanOpts(kDir.c_str(), &scan, 0));
  nx::ReportSession r;
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportScan, u"Storage Card", u"\\scan.dat"));
  std::u16string path = r.path();
  EXPECT_NE(path.find(u"\\Report\\scn"), std::u16string::npos);
  ASSERT_TRUE(r.Close());
  auto list = entries(u"\\scan.dat", nx::kReportScan);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(dev.readFile(hostOf(path)),
            le(header(u"Storage Card", list[0].opened, u"2.05", u"31 Dec 2025 [01:02:03]") +
               u"\r\nScanner Settings for this Scan were as follows:\r\nWhat item to scan: Scan all files\r\n"
               u"Respond when a virus is found: Report only\r\n" +
               kDash52 + u"\r\n"));

  // With the string library installed, the second version block has its own label.
  std::filesystem::copy_file(std::string(NX_BUILD_DIR) + "/image/uires.dll", dev.host(kHostDir + "/uires.dll"));
  ASSERT_TRUE(r.Open(kDir.c_str(), nx::kReportUpdate, u"UPDATED SUCCESSFULLY", nx::kUpdateIndexName));
  nx::ScanVersionInfo v{1, 1, {2026, 1, 4, 1, 0, 0, 0, 0}};
  ASSERT_TRUE(r.WriteUpdateBody(2001, &v, &v));
  path = r.path();
  ASSERT_TRUE(r.Close());
  std::string text = dev.readFile(hostOf(path));
  EXPECT_NE(text.find(le(u"From Version: 1.01")), std::string::npos);
  EXPECT_NE(text.find(le(u"To Version: 1.01")), std::string::npos);
}

}  // namespace
