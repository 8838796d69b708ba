#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "common/ignore_list.h"
#include "common/queue_sender.h"
#include "testkit.h"

namespace {

// A helper line without its line end.
std::string lineOf(nxtest::HelperProcess& h) {
  std::string s = h.readLine();
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

using ce::BYTE;
using ce::DWORD;
using ce::WCHAR;

bool send(nx::IgnoreList& list, const std::u16string& text) {
  return list.apply(text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

class IgnoreListTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(list.open()); }
  nxtest::TempDevice dev;
  nx::IgnoreList list;
};

TEST_F(IgnoreListTest, CountsNestedPairsAndMatchesLetterCase) {
  const WCHAR* p = u"\\Temp\\A.cab";
  struct Step {
    std::u16string message;
    bool effect;
    DWORD count;
  } steps[] = {
      {u"1\\Temp\\a.cab", true, 1},
      {u"1\\TEMP\\A.CAB", true, 2},   // another sender, other spelling: same node
      {u"0\\temp\\a.cab", true, 1},   // still ignored
      {u"0\\Temp\\A.cab", true, 0},   // last one removes it
      {u"0\\Temp\\A.cab", false, 0},  // unmatched stop is dropped, never negative
      {u"1\\Temp\\A.cab", true, 1},
      {u"x\\Temp\\A.cab", true, 0},   // any type but "1" stops ignoring
      {u"1\\Temp\\A.cab", true, 1},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(send(list, steps[i].message), steps[i].effect);
    EXPECT_EQ(list.count(p), steps[i].count);
    EXPECT_EQ(list.isIgnored(u"\\temp\\a.CAB"), steps[i].count > 0);
  }
  // Whole paths only.
  EXPECT_FALSE(list.isIgnored(u"\\Temp\\A.ca"));
  EXPECT_FALSE(list.isIgnored(u"\\Temp\\A.cab2"));
  EXPECT_FALSE(list.isIgnored(u"Temp\\A.cab"));
  EXPECT_EQ(list.size(), 1u);
  // Case folding beyond ASCII, as file names compare on the handset.
  ASSERT_TRUE(send(list, u"1\\Temp\\\u00e9t\u00e9.txt"));
  EXPECT_TRUE(list.isIgnored(u"\\TEMP\\\u00c9T\u00c9.TXT"));
}

TEST_F(IgnoreListTest, MessagesAreTakenAsBytesWithinTheirLength) {
  auto raw = [&](const void* p, DWORD n) { return list.apply(p, n); };
  EXPECT_FALSE(raw(u"1", 0));
  EXPECT_FALSE(raw(u"1", 2)) << "type without a path";
  EXPECT_FALSE(raw(u"1\0abc", 10)) << "empty path";
  // No terminator: the path ends with the message's bytes.
  EXPECT_TRUE(raw(u"1abcdef", 8));
  EXPECT_TRUE(list.isIgnored(u"abc"));
  // An odd byte count ignores the half character.
  EXPECT_TRUE(raw(u"1xyz", 7));
  EXPECT_TRUE(list.isIgnored(u"xy"));
  // Unaligned message bytes.
  alignas(4) BYTE buf[32] = {};
  std::u16string m = u"1\\odd";
  std::memcpy(buf + 1, m.data(), m.size() * 2);
  EXPECT_TRUE(raw(buf + 1, static_cast<DWORD>(m.size() * 2)));
  EXPECT_TRUE(list.isIgnored(u"\\odd"));
}

TEST_F(IgnoreListTest, PathsLongerThanANodeLeaveNoNode) {
  std::u16string p259(259, u'p'), p260(260, u'q');
  EXPECT_TRUE(send(list, u"1" + p259));
  EXPECT_TRUE(list.isIgnored(p259.c_str()));
  EXPECT_FALSE(send(list, u"1" + p260));
  EXPECT_FALSE(list.isIgnored(p260.c_str()));
  EXPECT_EQ(list.size(), 1u);
  // A full-size reader buffer of garbage without any terminator.
  std::vector<BYTE> junk(nx::kGuardReadBufferBytes + 100, 0x41);
  EXPECT_FALSE(list.apply(junk.data(), static_cast<DWORD>(junk.size())));
  EXPECT_EQ(list.size(), 1u);
}

TEST_F(IgnoreListTest, LastReleaseIsReportedUnderTheMutex) {
  std::vector<std::u16string> released;
  std::atomic<DWORD> otherThreadWait{0};
  list.setOnReleased([&](const WCHAR* path) {
    released.emplace_back(path);
    // The guard clears the pending-scan mark here; nobody else may touch the
    // list meanwhile.
    std::thread other([&] {
      ce::HANDLE m = ce::OpenMutexW(ce::MUTEX_ALL_ACCESS, ce::FALSE, nx::kIgnoreListMutexName);
      otherThreadWait = m ? ce::WaitForSingleObject(m, 0) : 999;
      if (otherThreadWait == ce::WAIT_OBJECT_0) ce::ReleaseMutex(m);
      if (m) ce::CloseHandle(m);
    });
    other.join();
  });
  ASSERT_TRUE(list.ignore(u"\\a"));
  ASSERT_TRUE(list.ignore(u"\\A"));
  ASSERT_TRUE(list.unignore(u"\\a"));
  EXPECT_TRUE(released.empty());
  ASSERT_TRUE(list.unignore(u"\\a"));
  EXPECT_EQ(released, std::vector<std::u16string>{u"\\a"});
  EXPECT_EQ(otherThreadWait.load(), ce::WAIT_TIMEOUT);
}

TEST_F(IgnoreListTest, ConcurrentSendersAndLookupsBalanceOut) {
  // The wait thread applies messages while the UI thread and the scan worker
  // look paths up; nested pairs from every side must leave exact counts.
  const WCHAR* paths[] = {u"\\Temp\\a", u"\\Temp\\B", u"\\temp\\c"};
  std::atomic<bool> stop{false};
  std::thread lookup([&] {
    while (!stop) list.isIgnored(u"\\TEMP\\A");
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&, t] {
      list.ignore(u"\\keep");
      for (int i = 0; i < 300; ++i) {
        const WCHAR* p = paths[(i + t) % 3];
        ASSERT_TRUE(list.ignore(p));
        ASSERT_TRUE(list.isIgnored(p));
        ASSERT_TRUE(list.unignore(p));
      }
    });
  for (auto& s : senders) s.join();
  stop = true;
  lookup.join();
  EXPECT_EQ(list.size(), 1u);
  EXPECT_EQ(list.count(u"\\KEEP"), 4u);
}

TEST_F(IgnoreListTest, WaitsForAnotherProcessHoldingOnlineMutexEvenWhenItDies) {
  ASSERT_TRUE(list.ignore(u"\\held"));
  nxtest::HelperProcess holder({"kmutex_hold", "Online_Mutex"});
  ASSERT_EQ(lineOf(holder), "owned");
  std::atomic<bool> done{false};
  std::thread t([&] {
    EXPECT_TRUE(list.isIgnored(u"\\held"));
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done.load()) << "the lookup must wait for the mutex";
  holder.writeLine("go");  // ends without releasing: the mutex comes back abandoned
  holder.wait();
  t.join();
  EXPECT_TRUE(done.load());
  EXPECT_TRUE(list.ignore(u"\\held")) << "the list stays usable after an abandoned mutex";
  EXPECT_EQ(list.count(u"\\held"), 2u);
}

}  // namespace
