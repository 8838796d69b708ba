// The quarantine store on bad input and after interruptions: damaged
// databases, leftovers of a change cut short, readers holding the database,
// a folder that is a file, long paths, records naming foreign files, and a
// copy that fails half-way (a full store).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "quarantine_support.h"

namespace {

using namespace qtest;
using ce::DWORD;

struct Damage {
  const char* name;
  DWORD status;
  std::string (*make)(const std::string& sound);
};

const Damage kDamages[] = {
    {"crc mismatch", nx::kQdbBadCrc,
     [](const std::string& s) {
       std::string d = s;
       d[40] ^= 0x20;
       return d;
     }},
    {"count beyond the file", nx::kQdbCountMismatch,
     [](const std::string& s) {
       std::string d = s;
       put32(d, 8, 5);
       put32(d, 4, nx::crc32(d.data() + 8, d.size() - 8));
       return d;
     }},
    {"record cut short", nx::kQdbPartialRecord, [](const std::string& s) { return s.substr(0, s.size() - 100); }},
    {"records missing at a boundary", nx::kQdbCountMismatch,
     [](const std::string& s) { return s.substr(0, s.size() - 1144); }},
    {"short head", nx::kQdbShortHead, [](const std::string& s) { return s.substr(0, 12); }},
};

TEST_F(StoreTest, ADamagedDatabaseIsReportedAndNeverWrittenOver) {
  for (const Damage& k : kDamages) {
    SCOPED_TRACE(k.name);
    std::filesystem::remove_all(dev.host(kHostQuar));
    std::filesystem::create_directories(dev.host(kHostQuar));
    dev.writeFile(kHostQuar + "/qf1.qrt", swapped("one"));
    dev.writeFile(kHostQuar + "/qf2.qrt", swapped("two"));
    std::string sound = dbImage({recordImage(u"\\one.exe", u"T1", kDir + u"\\Quarantine\\qf1.qrt", 8),
                                 recordImage(u"\\two.exe", u"T2", kDir + u"\\Quarantine\\qf2.qrt", 7)});
    const std::string damaged = k.make(sound);
    dev.writeFile(kHostQuar + "/wmquardb.dat", damaged);
    DWORD count = 0;
    EXPECT_FALSE(store.CountRecords(&count));
    EXPECT_EQ(ce::GetLastError(), ce::ERROR_BADDB);
    EXPECT_EQ(store.databaseStatus(), k.status);
    nx::QuarantineRecord r{};
    EXPECT_FALSE(store.ReadRecord(0, &r));
    EXPECT_FALSE(store.IsQuarantined(u"\\one.exe"));
    std::vector<nx::QuarantineRecord> all;
    EXPECT_FALSE(store.ReadAll(&all));
    EXPECT_TRUE(all.empty());
    EXPECT_FALSE(store.RemoveRecords(request(u"\\one.exe", 8)));
    EXPECT_FALSE(store.Restore(0, nullptr, true));
    EXPECT_EQ(db(), damaged) << "untouched by readers, removal and restore";
    EXPECT_TRUE(hostExists(kHostQuar + "/qf1.qrt"));

    // A quarantine moves it aside whole and starts afresh.
    std::u16string src = devFile("new.exe", "new");
    ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineMove)));
    EXPECT_EQ(dev.readFile(kHostQuar + "/wmquardb1.bad"), damaged);
    ASSERT_TRUE(store.ReadAll(&all));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::u16string(all[0].source), u"\\new.exe");
    EXPECT_TRUE(hostExists(kHostQuar + "/qf1.qrt")) << "copies named by the damaged database stay";
  }
}

TEST_F(StoreTest, ASecondDamagedDatabaseGoesAsideUnderTheNextFreeName) {
  std::filesystem::create_directories(dev.host(kHostQuar));
  dev.writeFile(kHostQuar + "/wmquardb1.bad", "first");
  dev.writeFile(kHostQuar + "/wmquardb.dat", "garbage that is no database");
  ASSERT_TRUE(store.Quarantine(request(devFile("a.exe", "a"), nx::kQuarantineCopy)));
  EXPECT_EQ(dev.readFile(kHostQuar + "/wmquardb1.bad"), "first");
  EXPECT_EQ(dev.readFile(kHostQuar + "/wmquardb2.bad"), "garbage that is no database");
}

// "TempQuar.dat" left by a change that was cut short.
TEST_F(StoreTest, ALeftoverScratchIsFinishedOrDropped) {
  std::filesystem::create_directories(dev.host(kHostQuar));
  dev.writeFile(kHostQuar + "/qf1.qrt", swapped("one"));
  const std::string one = dbImage({recordImage(u"\\one.exe", u"T", kDir + u"\\Quarantine\\qf1.qrt", 8)});

  // Cut between deleting the database and renaming the scratch: the scratch
  // is the newer database.
  dev.writeFile(kHostQuar + "/TempQuar.dat", one);
  DWORD count = 0;
  ASSERT_TRUE(store.CountRecords(&count));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(db(), one);
  EXPECT_FALSE(hostExists(kHostQuar + "/TempQuar.dat"));

  // Cut before the database was replaced: the change did not happen.
  dev.writeFile(kHostQuar + "/TempQuar.dat", dbImage({}));
  EXPECT_TRUE(store.IsQuarantined(u"\\one.exe"));
  EXPECT_EQ(db(), one);
  EXPECT_FALSE(hostExists(kHostQuar + "/TempQuar.dat"));

  // A scratch cut short with no database beside it is no database.
  std::filesystem::remove(dev.host(kHostQuar + "/wmquardb.dat"));
  dev.writeFile(kHostQuar + "/TempQuar.dat", one.substr(0, 500));
  std::vector<nx::QuarantineRecord> all;
  ASSERT_TRUE(store.ReadAll(&all));
  EXPECT_TRUE(all.empty());
  EXPECT_FALSE(hostExists(kHostQuar + "/TempQuar.dat"));
}

// A reader that shares delete access keeps reading the database it opened
// while a change replaces it; one that does not makes the change fail
// cleanly instead of losing it half-way.
TEST_F(StoreTest, AReaderHoldingTheDatabase) {
  ASSERT_TRUE(store.Quarantine(request(devFile("a.exe", sample(100, 1)), nx::kQuarantineCopy)));
  const std::string before = db();
  const std::u16string dbPath = kDir + u"\\Quarantine\\wmquardb.dat";

  ce::HANDLE r = ce::CreateFileW(dbPath.c_str(), ce::GENERIC_READ,
                                 ce::FILE_SHARE_READ | ce::FILE_SHARE_WRITE | ce::FILE_SHARE_DELETE, nullptr,
                                 ce::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(r, ce::INVALID_HANDLE_VALUE);
  ASSERT_TRUE(store.Quarantine(request(devFile("b.exe", sample(100, 2)), nx::kQuarantineMove)));
  std::string seen(before.size() + 10, '\0');
  DWORD got = 0;
  ASSERT_TRUE(ce::ReadFile(r, seen.data(), static_cast<DWORD>(seen.size()), &got, nullptr));
  seen.resize(got);
  EXPECT_EQ(seen, before) << "the old database, whole";
  ce::CloseHandle(r);
  EXPECT_EQ(u32(db(), 8), 2u);

  const std::string two = db();
  r = ce::CreateFileW(dbPath.c_str(), ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(r, ce::INVALID_HANDLE_VALUE);
  const std::string content = sample(300, 3);
  std::u16string c = devFile("c.exe", content);
  EXPECT_FALSE(store.Quarantine(request(c, nx::kQuarantineMove)));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(store.RemoveRecords(request(u"\\a.exe", nx::kQuarantineCopy)));
  ce::CloseHandle(r);
  EXPECT_EQ(db(), two);
  EXPECT_EQ(dev.readFile("c.exe"), content) << "the source stays";
  EXPECT_EQ(folderNames().size(), 3u) << "two copies and the database: no third copy, no scratch";
}

TEST_F(StoreTest, AQuarantineFolderThatIsAFile) {
  dev.writeFile(kHostQuar, "not a folder");
  const std::string content = sample(64);
  std::u16string src = devFile("evil.exe", content);
  EXPECT_FALSE(store.Quarantine(request(src, nx::kQuarantineMove)));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_DIRECTORY);
  EXPECT_EQ(dev.readFile("evil.exe"), content);
  EXPECT_EQ(dev.readFile(kHostQuar), "not a folder");
  EXPECT_FALSE(store.IsQuarantined(src.c_str()));
  std::vector<nx::QuarantineRecord> all;
  EXPECT_TRUE(store.ReadAll(&all));
  EXPECT_TRUE(all.empty());
}

TEST_F(StoreTest, NoInstallationDirectory) {
  nx::QuarantineStore elsewhere(u"\\Program Files\\Nobody");
  std::u16string src = devFile("evil.exe", "x");
  EXPECT_FALSE(elsewhere.Quarantine(request(src, nx::kQuarantineMove)));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(hostExists("evil.exe"));
  EXPECT_FALSE(hostExists("Program Files/Nobody"));
}

// Source paths the 256-character field cannot hold whole are refused before
// anything is touched; the longest that fits goes in and comes back.
TEST_F(StoreTest, LongPaths) {
  for (size_t len : {256u, 259u, 260u, 1023u, 1024u}) {
    std::u16string p = u"\\" + std::u16string(len - 1, u'a');
    nx::QuarantineRequest r{};
    EXPECT_FALSE(nx::makeQuarantineRequest(p.c_str(), u"T", 7, &r)) << len;
    EXPECT_EQ(ce::GetLastError(), ce::ERROR_FILENAME_EXCED_RANGE) << len;
  }
  // 255 characters: folders of at most 255 bytes each on the host.
  std::string rel = std::string(120, 'd') + "/" + std::string(120, 'e') + "/" + std::string(12, 'f');
  std::u16string src = devFile(rel, "long");
  ASSERT_EQ(src.size(), 255u);
  ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineMove)));
  EXPECT_TRUE(store.IsQuarantined(src.c_str()));
  ASSERT_TRUE(store.Restore(0, nullptr, false));
  EXPECT_EQ(dev.readFile(rel), "long");

  // A request filled by hand without a terminator is refused too.
  nx::QuarantineRequest raw;
  for (auto& ch : raw.source) ch = u'x';
  raw.threat[0] = 0;
  raw.kind = 7;
  EXPECT_FALSE(store.Quarantine(raw));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_INVALID_PARAMETER);
  // So is an installation directory whose copies could not be named.
  nx::QuarantineStore deep((u"\\" + std::u16string(250, u'i')).c_str());
  EXPECT_FALSE(deep.Quarantine(request(src, 8)));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_FILENAME_EXCED_RANGE);
}

// Records are outside data: one that names a file outside the store never
// gets that file deleted or read.
TEST_F(StoreTest, ARecordNamingAForeignFile) {
  dev.writeFile("Windows/precious.dat", "precious");
  std::filesystem::create_directories(dev.host(kHostQuar));
  dev.writeFile(kHostDir + "/Config/wmolncnf.dat", "settings");
  dev.writeFile(kHostQuar + "/wmquardb.dat",
                dbImage({recordImage(u"\\a.exe", u"T", u"\\Windows\\precious.dat", 8),
                         recordImage(u"\\b.exe", u"T", kDir + u"\\Quarantine\\..\\Config\\wmolncnf.dat", 8),
                         recordImage(u"\\c.exe", u"T", kDir + u"\\Quarantine\\wmquardb.dat", 8)}));
  for (DWORD i = 0; i < 3; ++i) {
    EXPECT_FALSE(store.Restore(i, u"\\out.bin", true)) << i;
    EXPECT_EQ(ce::GetLastError(), ce::ERROR_INVALID_DATA) << i;
  }
  EXPECT_FALSE(hostExists("out.bin"));
  for (const char16_t* s : {u"\\a.exe", u"\\b.exe", u"\\c.exe"}) EXPECT_TRUE(store.RemoveRecords(request(s, 8)));
  EXPECT_EQ(dev.readFile("Windows/precious.dat"), "precious");
  EXPECT_EQ(dev.readFile(kHostDir + "/Config/wmolncnf.dat"), "settings");
  EXPECT_EQ(u32(db(), 8), 0u);
}

// A copy cut short by a full store (a file-size limit on the program that
// quarantines, this test binary started again) is deleted, and the source
// stays.
TEST_F(StoreTest, ACopyThatFailsHalfWay) {
  const std::string content = sample(5000);
  std::u16string src = devFile("big.exe", content);
  std::filesystem::create_directories(dev.host(kHostQuar));
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("NX_QUARANTINE_CHILD_ROOT", dev.root().c_str(), 1);
    ::execl("/proc/self/exe", "quarantine-child", "--gtest_filter=QuarantineChild.*", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3) << "fails as a full store";
  EXPECT_EQ(dev.readFile("big.exe"), content);
  EXPECT_TRUE(folderNames().empty()) << "no half copy, no database";
}

// The quarantining program of ACopyThatFailsHalfWay.
TEST(QuarantineChild, QuarantineUnderASizeLimit) {
  const char* root = std::getenv("NX_QUARANTINE_CHILD_ROOT");
  if (!root) GTEST_SKIP() << "started by ACopyThatFailsHalfWay only";
  std::signal(SIGXFSZ, SIG_IGN);
  if (!ce::AttachDevice(root)) ::_exit(5);
  // The device's kernel state is set up for this process before the limit
  // (it sizes a shared file of its own).
  ce::HANDLE m = ce::CreateMutexW(nullptr, ce::FALSE, nx::kQuarantineMutexName);
  if (!m) ::_exit(6);
  struct rlimit lim{2000, 2000};
  ::setrlimit(RLIMIT_FSIZE, &lim);
  nx::QuarantineStore mine(kDir.c_str());
  nx::QuarantineRequest r{};
  nx::makeQuarantineRequest(u"\\big.exe", u"T", nx::kQuarantineMove, &r);
  bool ok = mine.Quarantine(r);
  ::_exit(ok ? 0 : (ce::GetLastError() == ce::ERROR_DISK_FULL ? 3 : 10 + static_cast<int>(ce::GetLastError() % 200)));
}

TEST(QuarantineImage, StatusOfImages) {
  std::string one = dbImage({recordImage(u"\\a", u"T", u"\\q", 7)});
  DWORD count = 9;
  EXPECT_EQ(nx::checkQuarantineImage(one.data(), one.size(), &count), nx::kQdbOk);
  EXPECT_EQ(count, 1u);
  std::string empty = dbImage({});
  EXPECT_EQ(nx::checkQuarantineImage(empty.data(), empty.size(), &count), nx::kQdbOk);
  EXPECT_EQ(count, 0u);
  for (const Damage& k : kDamages) {
    std::string d = k.make(dbImage({one.substr(20), one.substr(20)}));
    EXPECT_EQ(nx::checkQuarantineImage(d.data(), d.size(), nullptr), k.status) << k.name;
  }
  // Texts stored without terminators are read bounded by their fields.
  std::string rec = recordImage(std::u16string(256, u's'), std::u16string(50, u't'), std::u16string(256, u'q'), 8);
  nx::QuarantineRecord r{};
  nx::decodeQuarantineRecord(reinterpret_cast<const ce::BYTE*>(rec.data()), &r);
  EXPECT_EQ(std::u16string(r.source).size(), 256u);
  EXPECT_EQ(std::u16string(r.threat).size(), 50u);
  EXPECT_EQ(std::u16string(r.stored).size(), 256u);
  EXPECT_EQ(r.kind, 8u);
  EXPECT_EQ(r.time.wYear, 2026);
  EXPECT_EQ(r.time.wMilliseconds, 6);
}

}  // namespace
