// Scan-and-act against the real scanning API and engine, with the guard's
// test scanner module standing in for exescan.dll: every action of the
// on-access options, the quarantine store, the ignore messages around the
// engine's own writes, and files that cannot be scanned.
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "common/queue_sender.h"
#include "guard_fixture.h"
#include "guardsvc/guard_ids.h"
#include "guardsvc/scan_act.h"
#include "guardsvc/scan_api.h"

namespace {

namespace fs = std::filesystem;
using guard::ActOutcome;
using guard::NotScannedReason;
using guardtest::ceProgram;
using guardtest::u16;
using guardtest::u8;

class ScanActTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g.install(true);
    // Options on the device as setup leaves them: the engine's ignore
    // pre-check then reads them instead of writing the defaults.
    g.setOnline(0, 0);
    ce::MSGQUEUEOPTIONS qo = nx::guardQueueOptions(true);
    queue_ = ce::CreateMsgQueue(nx::kGuardQueueName, &qo);
    ASSERT_NE(queue_, nullptr);
    ASSERT_TRUE(guard::loadScanApi(g.installDev.c_str(), &api_));
    fs::create_directories(g.dev.host("Data"));
  }
  void TearDown() override {
    guard::unloadScanApi(&api_);
    if (queue_) ce::CloseMsgQueue(queue_);
  }

  ActOutcome act(const std::u16string& path, int action, int copy, guard::ScanResultRecord* rec,
                 guard::ActDetails* d) {
    guard::ActContext ctx{&api_, g.installDev.c_str(), nx::WM_ONLINE_OPTS{1, static_cast<ce::BYTE>(action),
                                                                          static_cast<ce::BYTE>(copy), {}}};
    return guard::scanAndAct(ctx, path, rec, d);
  }

  // The ignore messages sent since the last call, as "1path" / "0path".
  std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (;;) {
      char16_t buf[300];
      ce::DWORD got = 0, flags = 0;
      if (!ce::ReadMsgQueue(queue_, buf, sizeof buf, &got, 0, &flags)) break;
      out.push_back(u8(std::u16string(buf, got / 2 - 1)));
    }
    return out;
  }

  std::multiset<ce::DWORD> quarantinedKinds(const std::u16string& source) {
    std::multiset<ce::DWORD> kinds;
    for (const auto& r : g.quarantine())
      if (u8(r.source) == u8(source)) kinds.insert(r.kind);
    return kinds;
  }

  guardtest::GuardDevice g{20.0};
  guard::ScanApi api_;
  ce::HANDLE queue_ = nullptr;
};

TEST_F(ScanActTest, GuardSessionOptionsAreTheOnAccessOnes) {
  NxScanOptions o;
  guard::fillGuardOptions(u"\\Program Files\\Nyxel\\Nyxel AntiVirus", &o);
  EXPECT_EQ(o.size, 1054);
  EXPECT_EQ(o.allowDelete, 0);
  EXPECT_EQ(o.maxDepth, 5);
  EXPECT_EQ(o.scanArchives, 0);
  EXPECT_EQ(o.optionB, 1);
  EXPECT_EQ(u8(o.installDir), "\\Program Files\\Nyxel\\Nyxel AntiVirus");
  EXPECT_EQ(u8(o.tempDir), "\\Program Files\\Nyxel\\Nyxel AntiVirus\\temp");
  EXPECT_EQ(o.optionC, 0);
  EXPECT_EQ(o.categories, 87);
  EXPECT_EQ(o.flagsE, 0);
  EXPECT_EQ(o.archiveExclude, 110);
  EXPECT_EQ(o.optionBBits, 0);
  guard::fillGuardOptions(u"\\Storage Card\\", &o);
  EXPECT_EQ(u8(o.tempDir), "\\Storage Card\\temp");
}

TEST_F(ScanActTest, EveryActionOfTheOnAccessOptions) {
  struct Case {
    const char* name;
    std::string content;
    int action, copy;
    ActOutcome outcome;
    ce::DWORD code;
    bool stays;                     // the file is still there afterwards
    std::multiset<ce::DWORD> kinds;  // quarantine records of the file
    bool bracketed;                 // ignore messages around the engine's clean
  } cases[] = {
      {"clean", ceProgram("hello"), 1, 1, ActOutcome::Nothing, 0, true, {}, false},
      {"repair fails, deleted", ceProgram("INFECTED"), 0, 0, ActOutcome::Result, guard::kResultDeleted, false, {}, true},
      {"repair fails, deleted, copy kept", ceProgram("INFECTED"), 0, 1, ActOutcome::Result, guard::kResultDeleted,
       false, {8}, true},
      {"repair fails, quarantined", ceProgram("INFECTED"), 1, 0, ActOutcome::Result, guard::kResultQuarantined, false,
       {7}, true},
      {"repair fails, quarantined; the copy stands for it", ceProgram("INFECTED"), 1, 1, ActOutcome::Result,
       guard::kResultQuarantined, false, {8}, true},
      {"deleted at once", ceProgram("INFECTED"), 2, 0, ActOutcome::Result, guard::kResultDeleted, false, {}, false},
      {"deleted at once, copy kept", ceProgram("INFECTED"), 2, 1, ActOutcome::Result, guard::kResultDeleted, false, {8},
       false},
      {"prompt: repair without a copy fails", ceProgram("INFECTED"), 3, 1, ActOutcome::Result,
       guard::kResultUnrepairable, true, {}, true},
      {"an action the options do not define", ceProgram("INFECTED"), 9, 1, ActOutcome::Result,
       guard::kResultUnrepairable, true, {}, true},
      {"report only", ceProgram("INFECTED"), 4, 1, ActOutcome::Result, guard::kResultSkipped, true, {}, false},
      {"repaired", ceProgram("INFECTED REPAIRABLE"), 0, 0, ActOutcome::Result, guard::kResultRepaired, true, {}, true},
      {"repaired with a copy first", ceProgram("INFECTED REPAIRABLE"), 1, 1, ActOutcome::Result,
       guard::kResultRepaired, true, {8}, true},
      {"still infected after two repairs: deleted", ceProgram("INFECTED REINFECT"), 0, 0, ActOutcome::Result,
       guard::kResultDeleted, false, {}, true},
      {"still infected after two repairs: quarantined", ceProgram("INFECTED REINFECT"), 1, 0, ActOutcome::Result,
       guard::kResultQuarantined, false, {7}, true},
      {"still infected after two repairs, prompt", ceProgram("INFECTED REINFECT"), 3, 0, ActOutcome::Result,
       guard::kResultUnrepairable, true, {}, true},
      {"the whole file is the threat: not repaired, quarantined", ceProgram("INFECTED WHOLEFILE"), 1, 0,
       ActOutcome::Result, guard::kResultQuarantined, false, {7}, true},
      {"the EICAR test file, report only", guardtest::kEicarText, 4, 0, ActOutcome::Result, guard::kResultSkipped, true,
       {}, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string rel = "Data/f" + std::to_string(++n) + ".exe";
    g.hostWrite(rel, c.content);
    std::u16string path = u"\\Data\\f" + u16(std::to_string(n)) + u".exe";
    messages();
    guard::ScanResultRecord rec;
    guard::ActDetails d;
    EXPECT_EQ(act(path, c.action, c.copy, &rec, &d), c.outcome);
    EXPECT_EQ(ce::DWORD{rec.code}, c.code);
    EXPECT_EQ(u8(rec.path), u8(path));
    EXPECT_TRUE(d.scanned);
    EXPECT_EQ(fs::exists(g.dev.host(rel)), c.stays);
    EXPECT_EQ(quarantinedKinds(path), c.kinds);
    if (c.code) {
      EXPECT_NE(u8(rec.threat), "");
    }
    std::vector<std::string> m = messages();
    if (c.bracketed) {
      EXPECT_EQ(m, (std::vector<std::string>{"1" + u8(path), "0" + u8(path)}));
    } else {
      EXPECT_TRUE(m.empty()) << "the engine writes nothing: " << m.size() << " messages";
    }
    if (c.code == guard::kResultRepaired) {
      EXPECT_TRUE(d.engineWrote);
      EXPECT_NE(g.dev.readFile(rel).find("repaired"), std::string::npos);
    }
  }
}

TEST_F(ScanActTest, TheThreatNameAndItsInformationComeFromTheReport) {
  g.hostWrite("Data/e.com", guardtest::kEicarText);
  guard::ScanResultRecord rec;
  guard::ActDetails d;
  ASSERT_EQ(act(u"\\Data\\e.com", 4, 0, &rec, &d), ActOutcome::Result);
  EXPECT_EQ(u8(rec.threat), "EICAR Test File");
  g.hostWrite("Data/p.exe", ceProgram("INFECTED"));
  ASSERT_EQ(act(u"\\Data\\p.exe", 4, 0, &rec, &d), ActOutcome::Result);
  EXPECT_EQ(u8(rec.threat).rfind("Test.Guard.", 0), 0u) << u8(rec.threat);
  EXPECT_EQ(std::to_string(rec.threatInfo), u8(rec.threat).substr(11)) << "the record's category";
}

TEST_F(ScanActTest, FilesThatCannotBeScannedAreToldOrLeftAlone) {
  g.hostWrite("Data/fail.exe", ceProgram("SCANFAIL"));
  g.hostWrite("Data/held.exe", ceProgram("INFECTED"));
  ASSERT_EQ(::mkfifo(g.dev.host("Data/pipe").c_str(), 0644), 0);
  // A path longer than the device's file layer takes (its folders made on the host).
  std::string deep = "Data";
  while (deep.size() < 290) deep += "/" + std::string(40, 'd');
  g.hostWrite(deep + "/x.exe", ceProgram("INFECTED"));
  std::u16string deepPath = u"\\" + u16(deep) + u"\\x.exe";
  for (char16_t& c : deepPath)
    if (c == u'/') c = u'\\';
  ce::HANDLE holder = ce::CreateFileW(u"\\Data\\held.exe", ce::GENERIC_WRITE, 0, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, ce::INVALID_HANDLE_VALUE);

  struct Case {
    const char* name;
    std::u16string path;
    ActOutcome outcome;
    NotScannedReason reason;
    bool notAFile;
  } cases[] = {
      {"the scan failed", u"\\Data\\fail.exe", ActOutcome::Result, NotScannedReason::ScanError, false},
      {"gone before the worker came", u"\\Data\\gone.exe", ActOutcome::Nothing, NotScannedReason::None, false},
      {"a folder", u"\\Data", ActOutcome::Nothing, NotScannedReason::None, true},
      {"a FIFO: refused at once, never waited on", u"\\Data\\pipe", ActOutcome::Nothing, NotScannedReason::None, true},
      {"held by another program", u"\\Data\\held.exe", ActOutcome::Busy, NotScannedReason::None, false},
      {"a path the file layer refuses", deepPath, ActOutcome::Result, NotScannedReason::PathTooLong, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    guard::ScanResultRecord rec;
    guard::ActDetails d;
    EXPECT_EQ(act(c.path, 2, 0, &rec, &d), c.outcome);
    EXPECT_EQ(d.reason, c.reason);
    EXPECT_EQ(d.notAFile, c.notAFile);
    EXPECT_EQ(ce::DWORD{rec.code}, c.outcome == ActOutcome::Result ? guard::kResultNotScanned : 0u);
  }
  ce::CloseHandle(holder);
  EXPECT_TRUE(fs::exists(g.dev.host("Data/held.exe"))) << "a busy file is left as it is";
  EXPECT_TRUE(fs::exists(g.dev.host("Data/fail.exe")));
}

TEST_F(ScanActTest, AReadOnlyInfectedFileIsDeletedAllTheSame) {
  g.hostWrite("Data/ro.exe", ceProgram("INFECTED"));
  ASSERT_TRUE(ce::SetFileAttributesW(u"\\Data\\ro.exe", ce::FILE_ATTRIBUTE_READONLY));
  guard::ScanResultRecord rec;
  guard::ActDetails d;
  EXPECT_EQ(act(u"\\Data\\ro.exe", 2, 0, &rec, &d), ActOutcome::Result);
  EXPECT_EQ(ce::DWORD{rec.code}, guard::kResultDeleted);
  EXPECT_FALSE(fs::exists(g.dev.host("Data/ro.exe")));
}

}  // namespace
