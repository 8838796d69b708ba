// The quarantine store as the guard and the tools use it: copies, records,
// duplicates, removal, restore, and several writers at once.
#include <regex>
#include <set>
#include <thread>

#include "quarantine_support.h"

namespace {

using namespace qtest;
using ce::DWORD;

TEST_F(StoreTest, MoveStoresAnExchangedCopyAndOneRecord) {
  const std::string content = sample(1300);
  std::u16string src = devFile("My Documents/evil.exe", content);
  ce::SYSTEMTIME before{};
  ce::GetLocalTime(&before);
  ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineMove, u"Nyxel.Demo.EntryPoint")));
  EXPECT_FALSE(hostExists("My Documents/evil.exe")) << "a move deletes the source";

  std::string d = db();
  ASSERT_EQ(d.size(), 20u + 1144u);
  EXPECT_EQ(d.substr(0, 4), std::string(4, '\1'));
  EXPECT_TRUE(crcSound(d));
  EXPECT_EQ(u32(d, 8), 1u);

  nx::QuarantineRecord r{};
  ASSERT_TRUE(store.ReadRecord(0, &r));
  EXPECT_EQ(std::u16string(r.source), src);
  EXPECT_EQ(std::u16string(r.threat), u"Nyxel.Demo.EntryPoint");
  EXPECT_EQ(r.kind, nx::kQuarantineMove);
  EXPECT_EQ(r.time.wYear, before.wYear);
  EXPECT_EQ(r.time.wMonth, before.wMonth);
  std::string stored = ce::utf16ToUtf8(r.stored);
  EXPECT_TRUE(std::regex_match(stored, std::regex(R"(\\Program Files\\Nyxel\\Nyxel AntiVirus\\Quarantine\\qf\d{1,6}\.qrt)")))
      << stored;
  EXPECT_EQ(dev.readFile(hostOf(r.stored)), swapped(content));

  DWORD count = 0;
  ASSERT_TRUE(store.CountRecords(&count));
  EXPECT_EQ(count, 1u);
  EXPECT_TRUE(store.IsQuarantined(u"\\MY DOCUMENTS\\EVIL.EXE")) << "compared ignoring case";
  EXPECT_FALSE(store.IsQuarantined(u"\\My Documents\\other.exe"));
  EXPECT_FALSE(store.ReadRecord(1, &r));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(hostExists(kHostQuar + "/TempQuar.dat"));
}

TEST_F(StoreTest, AnEmptySourceAndAnEmptyStore) {
  std::u16string src = devFile("empty.bin", "");
  DWORD count = 7;
  EXPECT_FALSE(store.CountRecords(&count)) << "no database yet";
  EXPECT_EQ(store.databaseStatus(), nx::kQdbMissing);
  std::vector<nx::QuarantineRecord> all;
  EXPECT_TRUE(store.ReadAll(&all)) << "an empty store is sound for a listing";
  EXPECT_TRUE(all.empty());
  EXPECT_FALSE(store.IsQuarantined(src.c_str()));
  ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineCopy)));
  ASSERT_TRUE(store.ReadAll(&all));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(dev.readFile(hostOf(all[0].stored)), "");
  EXPECT_TRUE(hostExists("empty.bin"));
}

// A source already recorded gets no second copy: a copy request fails, a
// move request deletes the source (its content is held already).
TEST_F(StoreTest, ASourceAlreadyHeldGetsNoSecondCopy) {
  std::u16string src = devFile("Temp/dup.exe", sample(600));
  ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineCopy)));
  EXPECT_TRUE(hostExists("Temp/dup.exe")) << "a copy leaves the source";
  const std::string once = db();

  EXPECT_FALSE(store.Quarantine(request(u"\\TEMP\\DUP.EXE", nx::kQuarantineCopy)));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(db(), once);

  EXPECT_TRUE(store.Quarantine(request(u"\\temp\\dup.exe", nx::kQuarantineMove)));
  EXPECT_FALSE(hostExists("Temp/dup.exe"));
  EXPECT_EQ(db(), once) << "still the one record";
  EXPECT_EQ(folderNames().size(), 2u) << "one copy and the database";

  // Again, with the source gone: nothing to delete.
  EXPECT_FALSE(store.Quarantine(request(src, nx::kQuarantineMove)));
}

TEST_F(StoreTest, CopiesGetDistinctNamesAndATakenNameIsPassedOver) {
  // Every name the next seconds could spell is taken already, except that
  // the device clock moves on a second with each try.
  std::filesystem::create_directories(dev.host(kHostQuar));
  ce::SYSTEMTIME utc{};
  ce::GetSystemTime(&utc);
  std::set<std::string> taken;
  for (int s = 0; s < 3; ++s) {
    int sec = utc.wSecond + s, min = utc.wMinute + sec / 60, hour = (utc.wHour + min / 60) % 24;
    std::string name = "qf" + std::to_string(hour) + std::to_string(min % 60) + std::to_string(sec % 60) + ".qrt";
    dev.writeFile(kHostQuar + "/" + name, "older copy " + name);
    taken.insert(name);
  }
  std::set<std::string> names;
  for (int i = 0; i < 3; ++i) {
    std::u16string src = devFile("f" + std::to_string(i) + ".bin", sample(100, i));
    ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineCopy))) << ce::GetLastError();
  }
  std::vector<nx::QuarantineRecord> all;
  ASSERT_TRUE(store.ReadAll(&all));
  ASSERT_EQ(all.size(), 3u);
  for (const auto& r : all) {
    std::string name = std::filesystem::path(hostOf(r.stored)).filename().string();
    EXPECT_EQ(taken.count(name), 0u) << name << " was taken";
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 3u);
  for (const std::string& t : taken) EXPECT_EQ(dev.readFile(kHostQuar + "/" + t), "older copy " + t);
}

TEST_F(StoreTest, RemoveRecordsMatchesPathExactlyAndKind) {
  std::u16string a = devFile("a.exe", sample(10, 1)), b = devFile("b.exe", sample(20, 2)),
                 c = devFile("c.exe", sample(30, 3));
  for (const auto& p : {a, b, c}) ASSERT_TRUE(store.Quarantine(request(p, nx::kQuarantineCopy)));
  std::vector<nx::QuarantineRecord> all;
  ASSERT_TRUE(store.ReadAll(&all));
  ASSERT_EQ(all.size(), 3u);
  const std::string before = db();

  struct Case {
    std::u16string source;
    DWORD kind;
    const char* why;
  } unchanged[] = {
      {b, nx::kQuarantineMove, "another kind"},
      {u"\\B.EXE", nx::kQuarantineCopy, "another spelling"},
      {u"\\d.exe", nx::kQuarantineCopy, "no such record"},
  };
  for (const Case& k : unchanged) {
    EXPECT_TRUE(store.RemoveRecords(request(k.source, k.kind))) << k.why;
    EXPECT_EQ(db(), before) << k.why;
  }

  ASSERT_TRUE(store.RemoveRecords(request(b, nx::kQuarantineCopy)));
  std::string d = db();
  EXPECT_TRUE(crcSound(d));
  EXPECT_EQ(u32(d, 8), 2u);
  EXPECT_EQ(d.size(), 20u + 2 * 1144u);
  EXPECT_EQ(d.substr(20, 1144), before.substr(20, 1144));
  EXPECT_EQ(d.substr(20 + 1144), before.substr(20 + 2 * 1144)) << "the others keep their order";
  EXPECT_FALSE(hostExists(hostOf(all[1].stored))) << "the removed record's copy goes with it";
  EXPECT_TRUE(hostExists(hostOf(all[0].stored)));
  EXPECT_TRUE(hostExists(hostOf(all[2].stored)));
  EXPECT_FALSE(hostExists(kHostQuar + "/TempQuar.dat"));
  EXPECT_TRUE(hostExists("b.exe")) << "the source is no business of RemoveRecords";
}

// A move whose source cannot be deleted takes its record and copy back.
TEST_F(StoreTest, AMoveWhoseSourceStaysIsTakenBack) {
  const std::string content = sample(2000);
  std::u16string src = devFile("held.exe", content);
  ce::HANDLE h = ce::CreateFileW(src.c_str(), ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING, 0,
                                 nullptr);
  ASSERT_NE(h, ce::INVALID_HANDLE_VALUE);
  EXPECT_FALSE(store.Quarantine(request(src, nx::kQuarantineMove)));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_SHARING_VIOLATION);
  ce::CloseHandle(h);
  EXPECT_EQ(dev.readFile("held.exe"), content);
  std::string d = db();
  EXPECT_EQ(u32(d, 8), 0u);
  EXPECT_TRUE(crcSound(d));
  EXPECT_EQ(folderNames(), std::vector<std::string>{"wmquardb.dat"}) << "no copy left behind";
  EXPECT_TRUE(store.Quarantine(request(src, nx::kQuarantineMove))) << "once free it goes";
}

TEST_F(StoreTest, RestoreBringsTheFileBackAndThenDropsTheRecord) {
  const std::string content = sample(1537);
  std::u16string src = devFile("Apps/tool.exe", content);
  ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineMove)));
  std::vector<nx::QuarantineRecord> all;
  ASSERT_TRUE(store.ReadAll(&all));
  ASSERT_EQ(all.size(), 1u);
  bool kept = true;
  ASSERT_TRUE(store.Restore(0, nullptr, false, &kept));
  EXPECT_FALSE(kept);
  EXPECT_EQ(dev.readFile("Apps/tool.exe"), content);
  EXPECT_FALSE(hostExists(hostOf(all[0].stored)));
  EXPECT_EQ(u32(db(), 8), 0u);
  std::vector<std::string> appNames;
  for (const auto& e : std::filesystem::directory_iterator(dev.host("Apps"))) appNames.push_back(e.path().filename());
  EXPECT_EQ(appNames, std::vector<std::string>{"tool.exe"}) << "no scratch file beside it";
}

// A caller that read the list before another process removed a record
// names the record by its copy: a shifted number restores nothing.
TEST_F(StoreTest, RestoreOfARecordThatMovedRestoresNothing) {
  std::u16string a = devFile("Apps/a.exe", sample(700)), b = devFile("Apps/b.exe", sample(900));
  ASSERT_TRUE(store.Quarantine(request(a, nx::kQuarantineMove)));
  ASSERT_TRUE(store.Quarantine(request(b, nx::kQuarantineMove)));
  std::vector<nx::QuarantineRecord> seen;
  ASSERT_TRUE(store.ReadAll(&seen));
  ASSERT_EQ(seen.size(), 2u);
  ASSERT_TRUE(store.RemoveRecords(request(a, nx::kQuarantineMove)));  // another process
  EXPECT_FALSE(store.Restore(0, nullptr, false, nullptr, seen[0].stored));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(hostExists("Apps/a.exe"));
  EXPECT_FALSE(hostExists("Apps/b.exe")) << "the record now at 0 is not the one named";
  ASSERT_TRUE(store.Restore(0, nullptr, false, nullptr, seen[1].stored));
  EXPECT_TRUE(hostExists("Apps/b.exe"));
}

TEST_F(StoreTest, RestoreNeverOverwritesUnlessTold) {
  const std::string content = sample(900);
  std::u16string src = devFile("x.exe", content);
  ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineCopy)));
  dev.writeFile("x.exe", "the user's new file");
  const std::string before = db();

  EXPECT_FALSE(store.Restore(0, nullptr, false));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_FILE_EXISTS);
  EXPECT_EQ(dev.readFile("x.exe"), "the user's new file");
  EXPECT_EQ(db(), before) << "the record stays";

  // Elsewhere, then over the file when asked.
  std::filesystem::create_directories(dev.host("Restored"));
  dev.writeFile("Restored/keep.txt", "");
  EXPECT_FALSE(store.Restore(0, u"\\Restored", true)) << "a folder is never a target";
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_ACCESS_DENIED);
  ASSERT_TRUE(store.Quarantine(request(devFile("y.exe", sample(50, 9)), nx::kQuarantineCopy)));
  ASSERT_TRUE(store.Restore(0, u"\\Restored\\x.exe", false));
  EXPECT_EQ(dev.readFile("Restored/x.exe"), content);
  std::vector<nx::QuarantineRecord> all;
  ASSERT_TRUE(store.ReadAll(&all));
  ASSERT_EQ(all.size(), 1u) << "only the restored record went";
  EXPECT_EQ(std::u16string(all[0].source), u"\\y.exe");
  dev.writeFile("y.exe", "changed");
  ASSERT_TRUE(store.Restore(0, nullptr, true));
  EXPECT_EQ(dev.readFile("y.exe"), sample(50, 9));
  EXPECT_FALSE(store.Restore(0, nullptr, true));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_INVALID_PARAMETER);
}

// A copy that is gone or unreadable is not restored, and its record stays
// so that nothing is forgotten.
TEST_F(StoreTest, RestoreOfADamagedCopyKeepsTheRecord) {
  std::u16string src = devFile("gone.exe", sample(700));
  ASSERT_TRUE(store.Quarantine(request(src, nx::kQuarantineMove)));
  nx::QuarantineRecord r{};
  ASSERT_TRUE(store.ReadRecord(0, &r));
  const std::string before = db();
  std::filesystem::remove(dev.host(hostOf(r.stored)));
  EXPECT_FALSE(store.Restore(0, nullptr, false));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_FILE_NOT_FOUND);
  std::filesystem::create_directories(dev.host(hostOf(r.stored)));
  EXPECT_FALSE(store.Restore(0, nullptr, false)) << "a folder in the copy's place";
  EXPECT_EQ(db(), before);
  EXPECT_FALSE(hostExists("gone.exe"));
  std::vector<std::string> root;
  for (const auto& e : std::filesystem::directory_iterator(dev.root()))
    if (e.path().filename().string().find(".nxr") != std::string::npos) root.push_back(e.path());
  EXPECT_TRUE(root.empty()) << "no half-restored file";
}

// Writers in several threads at once (the guard's worker, a card scan):
// every record arrives, each with a copy of its own.
TEST_F(StoreTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 3, kEach = 3;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i) devFile("w" + std::to_string(t) + "_" + std::to_string(i), sample(64, t * 10 + i));
  std::vector<std::thread> pool;
  std::atomic<int> failed{0};
  for (int t = 0; t < kThreads; ++t)
    pool.emplace_back([&, t] {
      nx::QuarantineStore mine(kDir.c_str());
      for (int i = 0; i < kEach; ++i) {
        nx::QuarantineRequest r{};
        std::u16string p = u"\\w" + ce::utf8ToUtf16(std::to_string(t) + "_" + std::to_string(i));
        nx::makeQuarantineRequest(p.c_str(), u"T", i % 2 ? nx::kQuarantineMove : nx::kQuarantineCopy, &r);
        if (!mine.Quarantine(r)) ++failed;
      }
    });
  for (auto& th : pool) th.join();
  EXPECT_EQ(failed.load(), 0);
  std::vector<nx::QuarantineRecord> all;
  ASSERT_TRUE(store.ReadAll(&all));
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  std::set<std::u16string> copies;
  for (const auto& r : all) {
    copies.insert(r.stored);
    std::string src = ce::utf16ToUtf8(r.source).substr(2);
    int t = src[0] - '0', i = src[2] - '0';
    EXPECT_EQ(dev.readFile(hostOf(r.stored)), swapped(sample(64, t * 10 + i))) << src;
  }
  EXPECT_EQ(copies.size(), all.size());
}

}  // namespace
