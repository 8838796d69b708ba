#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "common/crc32.h"
#include "common/options_files.h"
#include "common/queue_sender.h"
#include "testkit.h"

namespace {

using ce::BOOL;
using ce::BYTE;
using ce::DWORD;
using ce::WCHAR;
using nx::CWmOptionsGen;
using nx::OptionsArea;

const std::u16string kDir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
const std::string kHostDir = "Program Files/Nyxel/Nyxel AntiVirus";

const OptionsArea kAllAreas[] = {OptionsArea::Online, OptionsArea::General, OptionsArea::Scan,
                                 OptionsArea::Update, OptionsArea::Schedule, OptionsArea::Internet};

std::string hostName(const WCHAR* rel) {
  std::string s = ce::utf16ToUtf8(rel);
  for (char& c : s)
    if (c == '\\') c = '/';
  return kHostDir + s;
}

std::string bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

// A sound options file around a payload.
std::string image(const std::string& payload, uint32_t marker = 0x01010101) {
  std::string out(8, '\0');
  std::memcpy(out.data(), &marker, 4);
  uint32_t crc = nx::crc32(payload.data(), payload.size());
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<char>(crc >> (8 * i));
  return out + payload;
}

class OptionsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ce::CreateDirectoryW(u"\\Program Files\\Nyxel", nullptr));
    ASSERT_TRUE(ce::CreateDirectoryW(kDir.c_str(), nullptr));
    ASSERT_TRUE(ce::CreateDirectoryW((kDir + u"\\Config").c_str(), nullptr));
    auto o = nx::guardQueueOptions(true);
    reader = ce::CreateMsgQueue(nx::kGuardQueueName, &o);
    ASSERT_NE(reader, nullptr);
  }
  void TearDown() override { ce::CloseMsgQueue(reader); }

  std::u16string path(OptionsArea a, bool defaults) const {
    const auto& info = nx::optionsAreaInfo(a);
    return kDir + (defaults ? info.defaultsFile : info.currentFile);
  }
  std::string file(OptionsArea a, bool defaults) const {
    return dev.readFile(hostName(defaults ? nx::optionsAreaInfo(a).defaultsFile : nx::optionsAreaInfo(a).currentFile));
  }
  bool exists(OptionsArea a, bool defaults) const {
    return ce::GetFileAttributesW(path(a, defaults).c_str()) != ce::INVALID_FILE_ATTRIBUTES;
  }
  void put(OptionsArea a, bool defaults, const std::string& content) const {
    dev.writeFile(hostName(defaults ? nx::optionsAreaInfo(a).defaultsFile : nx::optionsAreaInfo(a).currentFile),
                  content);
  }
  std::vector<std::u16string> messages() { return nxtest::readQueueTexts(reader); }

  nxtest::TempDevice dev;
  ce::HANDLE reader = nullptr;
};

TEST_F(OptionsFiles, BothFilesMissingGiveBuiltInDefaultsInBothFiles) {
  struct Case {
    OptionsArea area;
    std::string head;  // the record's first bytes; the rest is zero
  } cases[] = {
      {OptionsArea::Online, std::string("\x01\x01\x01", 3)},
      {OptionsArea::General, std::string("\x01", 1)},
      {OptionsArea::Scan, std::string("\x01\x01\x01", 3)},
      {OptionsArea::Update, std::string()},
      {OptionsArea::Internet, std::string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.area));
    DWORD n = nx::optionsAreaInfo(c.area).size;
    std::vector<BYTE> rec(n, 0xAA);
    DWORD detail = 77;
    ASSERT_TRUE(CWmOptionsGen::Read(c.area, kDir.c_str(), rec.data(), nx::kOptionsReadCurrent, &detail));
    EXPECT_EQ(detail, nx::kOptionsOk);
    std::string expected = c.head + std::string(n - c.head.size(), '\0');
    EXPECT_EQ(bytes(rec.data(), n), expected);
    // Both files carry the record byte for byte under a sound head.
    EXPECT_EQ(file(c.area, true), image(expected));
    EXPECT_EQ(file(c.area, false), image(expected));
  }
}

TEST_F(OptionsFiles, ScheduleDefaultsCarryTheTimeTheyWereMade) {
  ce::SYSTEMTIME now{};
  ce::GetLocalTime(&now);
  nx::WM_SCHEDULE_OPTS s{};
  ASSERT_TRUE(CWmOptionsGen::ReadScheduleOpts(kDir.c_str(), &s, nx::kOptionsDefaults));
  ce::SYSTEMTIME st{};
  nx::getSystemTimeField(s.time, &st);
  EXPECT_EQ(st.wYear, now.wYear);
  EXPECT_EQ(st.wMonth, now.wMonth);
  EXPECT_EQ(st.wDay, now.wDay);
  EXPECT_EQ(s.bFlag0, 0);
  EXPECT_TRUE(exists(OptionsArea::Schedule, true));
  EXPECT_FALSE(exists(OptionsArea::Schedule, false)) << "mode 1 touches only the defaults file";
}

TEST_F(OptionsFiles, DamagedCurrentFileFailsWith101AndStaysAsItWas) {
  nx::WM_ONLINE_OPTS o{};
  ASSERT_TRUE(CWmOptionsGen::ReadOnlineOpts(kDir.c_str(), &o, nx::kOptionsReadCurrent));
  for (size_t at : {size_t(8), size_t(10), size_t(18)}) {
    SCOPED_TRACE(at);
    std::string sound = file(OptionsArea::Online, false);
    std::string damaged = sound;
    damaged[at] ^= 0x01;
    put(OptionsArea::Online, false, damaged);
    nx::WM_ONLINE_OPTS kept;
    std::memset(&kept, 0x5C, sizeof kept);
    DWORD detail = 0;
    EXPECT_FALSE(CWmOptionsGen::Read(OptionsArea::Online, kDir.c_str(), &kept, 0, &detail));
    EXPECT_EQ(detail, nx::kOptionsBadCrc);
    EXPECT_EQ(bytes(&kept, sizeof kept), std::string(sizeof kept, '\x5C')) << "caller's record untouched";
    EXPECT_EQ(file(OptionsArea::Online, false), damaged) << "not replaced by the defaults";
    put(OptionsArea::Online, false, sound);
  }
}

TEST_F(OptionsFiles, MissingCurrentFileIsRebuiltFromTheDefaultsFile) {
  nx::WM_UPDATE_OPTS mine{};
  mine.bAutoUpdate = 1;
  mine.bSource = 1;
  ASSERT_TRUE(nx::putTextField(mine.localFolder, nx::kUpdateFolderChars, u"\\Storage Card\\Updates"));
  ASSERT_TRUE(CWmOptionsGen::WriteUpdateOpts(kDir.c_str(), &mine, nx::kOptionsDefaults));
  ASSERT_FALSE(exists(OptionsArea::Update, false));

  nx::WM_UPDATE_OPTS got{};
  ASSERT_TRUE(CWmOptionsGen::ReadUpdateOpts(kDir.c_str(), &got, nx::kOptionsReadCurrent));
  EXPECT_EQ(bytes(&got, sizeof got), bytes(&mine, sizeof mine));
  EXPECT_EQ(file(OptionsArea::Update, false), image(bytes(&mine, sizeof mine)));
  WCHAR folder[300];
  EXPECT_EQ(nx::getTextField(got.localFolder, nx::kUpdateFolderChars, folder, 300), 21u);
  EXPECT_EQ(std::u16string(folder), u"\\Storage Card\\Updates");
}

// A reader that finds the current file missing makes it from the defaults;
// settings saved by someone else in the meantime must survive that, in the
// file and in what the reader hands back.
TEST_F(OptionsFiles, AReaderRebuildingTheCurrentFileNeverReplacesSettingsSavedMeanwhile) {
  nx::WM_ONLINE_OPTS saved{};
  saved.bEnabled = 1;
  saved.bAction = nx::kActionReportOnly;
  const std::string savedImage = image(bytes(&saved, sizeof saved));
  int readerSawSaved = 0, readerBusy = 0;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    ce::DeleteFileW(path(OptionsArea::Online, false).c_str());
    std::atomic<int> ready{0};
    nx::WM_ONLINE_OPTS got{};
    BOOL readOk = ce::FALSE;
    DWORD readCode = 0;
    std::thread readerThread([&] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      readOk = CWmOptionsGen::Read(OptionsArea::Online, kDir.c_str(), &got, nx::kOptionsReadCurrent, &readCode);
    });
    ready.fetch_add(1);
    while (ready.load() < 2) {
    }
    BOOL wrote = CWmOptionsGen::WriteOnlineOpts(kDir.c_str(), &saved, nx::kOptionsReadCurrent);
    readerThread.join();
    ASSERT_TRUE(wrote) << "the save failed while the reader made the file";
    messages();
    ASSERT_EQ(file(OptionsArea::Online, false), savedImage) << "the saved settings were replaced (read " << readOk << ", code " << readCode << ")";
    // A read that meets the file while it is being written may fail (the
    // caller keeps the settings it had); one that succeeds gives either the
    // defaults it made before the save or the save.
    if (!readOk) {
      ++readerBusy;
      continue;
    }
    if (bytes(&got, sizeof got) == bytes(&saved, sizeof saved)) ++readerSawSaved;
    else EXPECT_EQ(got.bAction, nx::kActionRepairOrQuarantine) << readCode;
  }
  RecordProperty("reader_busy", readerBusy);
  RecordProperty("reader_saw_saved", readerSawSaved);
}

TEST_F(OptionsFiles, DamagedDefaultsFileEndsAFallbackRead) {
  put(OptionsArea::General, true, image(std::string(9, '\0')).substr(0, 12));
  nx::WM_GENERAL_OPTS g{};
  DWORD detail = 0;
  EXPECT_FALSE(CWmOptionsGen::Read(OptionsArea::General, kDir.c_str(), &g, 0, &detail));
  EXPECT_EQ(detail, nx::kOptionsReadFailed);
  EXPECT_FALSE(exists(OptionsArea::General, false)) << "no current file made from a damaged source";
}

// Whatever the file holds, the reader answers with the stated code and copies
// exactly the record.
TEST_F(OptionsFiles, ReaderCodesForShortLongAndDamagedFiles) {
  const std::string rec = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b";
  std::string shortSound = image(rec.substr(0, 10));  // sound CRC, one byte short
  struct Case {
    const char* what;
    std::string content;
    DWORD code;
  } cases[] = {
      {"empty", "", nx::kOptionsReadFailed},
      {"part of a head", std::string("\x01\x01\x01\x01\x00", 5), nx::kOptionsReadFailed},
      {"head only", image("").substr(0, 8), nx::kOptionsReadFailed},
      {"one byte short, sound checksum", shortSound, nx::kOptionsReadFailed},
      {"one byte short, bad checksum", image(rec).substr(0, 18), nx::kOptionsReadFailed},
      {"checksum of another payload", image(rec).substr(0, 8) + std::string(11, 'x'), nx::kOptionsBadCrc},
      {"sound", image(rec), nx::kOptionsOk},
      {"sound with a tail", image(rec + std::string(5000, 'T')), nx::kOptionsOk},
      {"tail outside the checksum", image(rec) + "T", nx::kOptionsBadCrc},
      {"other marker is not checked", image(rec, 0x12345678), nx::kOptionsOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    put(OptionsArea::Online, false, c.content);
    BYTE buf[11 + 4];
    std::memset(buf, 0xEE, sizeof buf);
    DWORD code = 999;
    BOOL ok = CWmOptionsGen::ReadFile(path(OptionsArea::Online, false).c_str(), buf, 11, &code);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(ok != 0, c.code == nx::kOptionsOk);
    EXPECT_EQ(bytes(buf + 11, 4), std::string(4, '\xEE')) << "nothing written past the record";
    EXPECT_EQ(bytes(buf, 11), ok ? rec : std::string(11, '\xEE'));
    // The same verdict from the in-memory form.
    BYTE mem[11];
    EXPECT_EQ(nx::decodeOptionsImage(c.content.data(), c.content.size(), mem, 11), c.code);
  }
  DWORD code = 0;
  BYTE buf[11];
  EXPECT_FALSE(CWmOptionsGen::ReadFile((kDir + u"\\Config\\none.dat").c_str(), buf, 11, &code));
  EXPECT_EQ(code, nx::kOptionsNotFound);
  EXPECT_FALSE(CWmOptionsGen::ReadFile((kDir + u"\\NoFolder\\none.dat").c_str(), buf, 11, &code));
  EXPECT_NE(code, nx::kOptionsNotFound) << "a missing folder is not a missing file: no defaults are made there";
}

TEST_F(OptionsFiles, WriteKeepsALongerFilesTailUnderTheChecksum) {
  const std::string tail(3000, 'T');
  put(OptionsArea::Scan, false, image(std::string(11, 'o') + tail));
  nx::WM_SCAN_OPTS s{};
  s.bWhatToScan = 2;
  s.bAction = nx::kActionReportOnly;
  ASSERT_TRUE(CWmOptionsGen::WriteScanOpts(kDir.c_str(), &s, 0));
  EXPECT_EQ(file(OptionsArea::Scan, false), image(bytes(&s, sizeof s) + tail));
  nx::WM_SCAN_OPTS back{};
  ASSERT_TRUE(CWmOptionsGen::ReadScanOpts(kDir.c_str(), &back, 0));
  EXPECT_EQ(back.bWhatToScan, 2);
}

TEST_F(OptionsFiles, WriteOverAFileTooShortForAHeadGivesASoundFile) {
  put(OptionsArea::Online, false, "abc");
  nx::WM_ONLINE_OPTS o{};
  o.bEnabled = 0;
  o.bAction = nx::kActionDelete;
  ASSERT_TRUE(CWmOptionsGen::WriteOnlineOpts(kDir.c_str(), &o, 0));
  // Head written fresh: marker and checksum, then the record.
  EXPECT_EQ(file(OptionsArea::Online, false), image(bytes(&o, sizeof o)));
}

TEST_F(OptionsFiles, EveryWriteIsBracketedByIgnoreMessagesAlsoWhenItFails) {
  nx::WM_ONLINE_OPTS o{};
  o.bEnabled = 1;
  ASSERT_TRUE(CWmOptionsGen::WriteOnlineOpts(kDir.c_str(), &o, 0));
  const std::u16string cur = path(OptionsArea::Online, false);
  EXPECT_EQ(messages(), (std::vector<std::u16string>{u"1" + cur, u"0" + cur}));

  // A write that cannot open its file still says "0" for its "1".
  const std::u16string elsewhere = u"\\Program Files\\Gone";
  EXPECT_FALSE(CWmOptionsGen::WriteOnlineOpts(elsewhere.c_str(), &o, 0));
  const std::u16string bad = elsewhere + u"\\Config\\wmolncnf.dat";
  EXPECT_EQ(messages(), (std::vector<std::u16string>{u"1" + bad, u"0" + bad}));

  // A read that rebuilds both files brackets each write.
  ASSERT_TRUE(ce::DeleteFileW(cur.c_str()));
  ASSERT_TRUE(CWmOptionsGen::ReadOnlineOpts(kDir.c_str(), &o, 0));
  const std::u16string def = path(OptionsArea::Online, true);
  EXPECT_EQ(messages(), (std::vector<std::u16string>{u"1" + def, u"0" + def, u"1" + cur, u"0" + cur}));

  // Reads of sound files send nothing.
  ASSERT_TRUE(CWmOptionsGen::ReadOnlineOpts(kDir.c_str(), &o, 0));
  EXPECT_TRUE(messages().empty());
}

TEST_F(OptionsFiles, WritesOfCurrentSettingsSetTheAreasChangeEvent) {
  struct Case {
    OptionsArea area;
    const WCHAR* event;
  } cases[] = {{OptionsArea::Online, u"Online Options_Changed"},
               {OptionsArea::General, u"Other Options_Changed"},
               {OptionsArea::Update, u"Update Options_Changed"}};
  for (const auto& c : cases) {
    ce::HANDLE e = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, c.event);
    ASSERT_NE(e, nullptr);
    std::vector<BYTE> rec(nx::optionsAreaInfo(c.area).size, 0);
    // Rebuilding a missing file restores what readers already hold: no signal.
    ASSERT_TRUE(CWmOptionsGen::Read(c.area, kDir.c_str(), rec.data(), 0));
    EXPECT_EQ(ce::WaitForSingleObject(e, 0), ce::WAIT_TIMEOUT);
    ASSERT_TRUE(CWmOptionsGen::Write(c.area, kDir.c_str(), rec.data(), nx::kOptionsDefaults));
    EXPECT_EQ(ce::WaitForSingleObject(e, 0), ce::WAIT_TIMEOUT) << "defaults are not the current settings";
    ASSERT_TRUE(CWmOptionsGen::Write(c.area, kDir.c_str(), rec.data(), 0));
    EXPECT_EQ(ce::WaitForSingleObject(e, 0), ce::WAIT_OBJECT_0);
    ce::CloseHandle(e);
  }
  messages();
  // Without a waiting service nothing is created.
  std::vector<BYTE> rec(11, 0);
  ASSERT_TRUE(CWmOptionsGen::Write(OptionsArea::Online, kDir.c_str(), rec.data(), 0));
  EXPECT_EQ(ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, u"Online Options_Changed"), nullptr);
}

TEST_F(OptionsFiles, PathsThatDoNotFitAreRefusedNotCut) {
  std::u16string longDir = u"\\" + std::u16string(255, u'd');  // 256 characters
  nx::WM_ONLINE_OPTS o{};
  EXPECT_FALSE(CWmOptionsGen::ReadOnlineOpts(longDir.c_str(), &o, 0));
  EXPECT_FALSE(CWmOptionsGen::WriteOnlineOpts(longDir.c_str(), &o, 0));
  // 255 characters of directory fit the directory limit but not the full path.
  std::u16string dir255 = u"\\" + std::u16string(254, u'd');
  EXPECT_FALSE(CWmOptionsGen::WriteOnlineOpts(dir255.c_str(), &o, 0));
  EXPECT_FALSE(CWmOptionsGen::ReadOnlineOpts(nullptr, &o, 0));
  EXPECT_TRUE(messages().empty()) << "nothing was tried, so nothing announced";
  // A trailing separator on the directory is tolerated.
  EXPECT_TRUE(CWmOptionsGen::ReadOnlineOpts((kDir + u"\\").c_str(), &o, 0));
  EXPECT_TRUE(exists(OptionsArea::Online, false));
}

TEST(OptionsRecords, TextFieldsTerminateAndRefuseWhatDoesNotFit) {
  BYTE field[8];
  std::memset(field, 'A', sizeof field);  // four 'AA' units, no terminator
  WCHAR out[10];
  EXPECT_EQ(nx::getTextField(field, 4, out, 10), 4u);
  EXPECT_EQ(out[4], 0);
  EXPECT_EQ(nx::getTextField(field, 4, out, 3), 2u) << "cut to the caller's room, terminated";
  EXPECT_EQ(out[2], 0);
  EXPECT_FALSE(nx::putTextField(field, 4, u"abcd"));
  EXPECT_EQ(field[0], 'A') << "refused text leaves the field alone";
  EXPECT_TRUE(nx::putTextField(field, 4, u"abc"));
  EXPECT_EQ(nx::getTextField(field, 4, out, 10), 3u);
  EXPECT_EQ(std::u16string(out), u"abc");
}

}  // namespace
