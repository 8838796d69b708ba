// Kernel objects between real processes of one device: named events, the
// guard's queue, wait-any ordering, run-at-time under a fast clock, and
// processes killed while holding the lock, a mutex or a queue end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/kernel.h"
#include "testkit.h"

using namespace ce;

namespace {

class KernelCrossProcess : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;
};

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

int64_t hostMs() { return clock::hostMonotonicNs() / 1000000; }

std::u16string runAtName(const char16_t* event) { return std::u16string(u"\\\\.\\Notifications\\NamedEvents\\") + event; }

SYSTEMTIME localIn(int64_t seconds) {
  SYSTEMTIME st;
  GetLocalTime(&st);
  FILETIME ft;
  SystemTimeToFileTime(&st, &ft);
  uint64_t v = (static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) + static_cast<uint64_t>(seconds * 10000000);
  ft.dwLowDateTime = static_cast<DWORD>(v);
  ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
  FileTimeToSystemTime(&ft, &st);
  return st;
}

}  // namespace

TEST_F(KernelCrossProcess, NamedEventsWorkBothWays) {
  // This process sets, the helper wakes.
  HANDLE a = CreateEventW(nullptr, TRUE, FALSE, u"NX_Unload_AdvAvapi_Event");
  ASSERT_TRUE(a);
  nxtest::HelperProcess waiter({"kevent_wait", "NX_Unload_AdvAvapi_Event", "10000"});
  ASSERT_EQ(trim(waiter.readLine()), "ready");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(SetEvent(a));
  EXPECT_EQ(trim(waiter.readLine()), "0");
  EXPECT_EQ(waiter.wait(), 0);

  // The helper sets, this process wakes; an auto-reset event is used up by our wait.
  HANDLE b = CreateEventW(nullptr, FALSE, FALSE, u"NX_Reload_AdvAvapi_Event");
  ASSERT_TRUE(b);
  EXPECT_EQ(nxtest::runHelper({"kevent_set", "NX_Reload_AdvAvapi_Event"}).exitCode, 0);
  EXPECT_EQ(WaitForSingleObject(b, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);

  // Names are device-wide: the helper's create opens ours.
  nxtest::HelperProcess creator({"kevent_create", "NX_Unload_AdvAvapi_Event"});
  EXPECT_EQ(trim(creator.readLine()), "created 183");
  creator.writeLine("go");
  EXPECT_EQ(creator.wait(), 0);

  // Opening a name nobody holds fails in the other process.
  auto missing = nxtest::runHelper({"kevent_set", "NX_Update_Event_Stop"});
  EXPECT_EQ(missing.exitCode, 3);
  EXPECT_EQ(trim(missing.out), "error 2");
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(KernelCrossProcess, ObjectLivesWhileAnyProcessHoldsIt) {
  {
    nxtest::HelperProcess holder({"kevent_create", "UPD_Progress_Event"});
    ASSERT_EQ(trim(holder.readLine()), "created 0");
    HANDLE h = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"UPD_Progress_Event");
    ASSERT_TRUE(h) << "exists while the helper holds it";
    CloseHandle(h);
    holder.writeLine("go");
    EXPECT_EQ(holder.wait(), 0);
  }
  EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"UPD_Progress_Event"), nullptr) << "its holder has ended";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // The same when the holder is killed outright.
  nxtest::HelperProcess killed({"kevent_create", "UPD_Progress_Event"});
  ASSERT_EQ(trim(killed.readLine()), "created 0");
  killed.kill(9);
  killed.wait();
  EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"UPD_Progress_Event"), nullptr);
  HANDLE fresh = CreateEventW(nullptr, TRUE, FALSE, u"UPD_Progress_Event");
  ASSERT_TRUE(fresh);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a new object, not the dead one's";
  CloseHandle(fresh);
}

TEST_F(KernelCrossProcess, SegmentOfAnotherBuildIsReplacedWithoutFaultingItsUsers) {
  // A service of an older build (here this process) keeps running while a
  // newer build starts: the newer one starts the segment over in a file of
  // its own. Neither may read the other's records as its own.
  HANDLE mine = CreateEventW(nullptr, TRUE, FALSE, u"Build_Event");
  ASSERT_TRUE(mine);
  nxtest::HelperProcess peer({"kevent_create", "Build_Event"});
  ASSERT_EQ(trim(peer.readLine()), "created 183") << "one segment so far";
  {
    int fd = ::open((dev.root() + "/.ce/kobj").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const uint64_t otherLayout = 0x3939394745535858ull;
    ASSERT_EQ(::pwrite(fd, &otherLayout, sizeof otherLayout, 0), static_cast<ssize_t>(sizeof otherLayout));
    ::close(fd);
  }
  nxtest::HelperProcess newer({"kevent_create", "Build_Event"});
  EXPECT_EQ(trim(newer.readLine()), "created 0") << "a segment of its own, without the older build's objects";
  EXPECT_EQ(nxtest::runHelper({"kevent_set", "Build_Event"}).exitCode, 0) << "later processes share the new segment";
  EXPECT_EQ(WaitForSingleObject(mine, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the newer build's event is not the older one's";
  EXPECT_TRUE(SetEvent(mine));
  EXPECT_EQ(WaitForSingleObject(mine, 0), WAIT_OBJECT_0) << "the older segment still works for its users";
  EXPECT_TRUE(CloseHandle(mine));
  for (auto* h : {&peer, &newer}) {
    h->writeLine("go");
    EXPECT_EQ(h->wait(), 0);
  }
}

TEST_F(KernelCrossProcess, GuardQueueTakesTwentyMessagesAndRefusesTheTwentyFirst) {
  MSGQUEUEOPTIONS o{sizeof(MSGQUEUEOPTIONS), MSGQUEUE_ALLOW_BROKEN, 20, 541, TRUE};
  HANDLE q = CreateMsgQueue(u"OlnMsgQueue", &o);
  ASSERT_TRUE(q);
  auto r = nxtest::runHelper({"kqueue_send", "OlnMsgQueue", "21", "541"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "full 20\nsent 20\n");
  for (int i = 0; i < 20; ++i) {
    unsigned char buf[600];
    DWORD n = 0, flags = 1;
    ASSERT_TRUE(ReadMsgQueue(q, buf, sizeof buf, &n, 0, &flags)) << i;
    ASSERT_EQ(n, 541u);
    EXPECT_EQ(buf[0], i);
    EXPECT_EQ(buf[540], i);
    EXPECT_EQ(flags, 0u);
  }
  EXPECT_EQ(WaitForSingleObject(q, 0), WAIT_TIMEOUT);
  // Room again: a sender gets through.
  r = nxtest::runHelper({"kqueue_send", "OlnMsgQueue", "1", "10"});
  EXPECT_EQ(r.out, "sent 1\n");
  EXPECT_EQ(WaitForSingleObject(q, 0), WAIT_OBJECT_0);
  CloseMsgQueue(q);
}

TEST_F(KernelCrossProcess, WaitAnyInAnotherProcessTakesLowestIndexFirst) {
  HANDLE e[3];
  const char* names[] = {"Oln_Close_Event", "Online Options_Changed", "Other Options_Changed"};
  const char16_t* wnames[] = {u"Oln_Close_Event", u"Online Options_Changed", u"Other Options_Changed"};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(e[i] = CreateEventW(nullptr, FALSE, FALSE, wnames[i]));
  SetEvent(e[2]);
  SetEvent(e[1]);
  auto r = nxtest::runHelper({"kwait_any", "0", names[0], names[1], names[2]});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "1\n2\ntimeout\n");
  for (HANDLE h : e) EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT) << "the helper's waits used them up";

  // And a sleeping wait-any in the helper is woken by a set here.
  nxtest::HelperProcess waiter({"kwait_any", "5000", names[0], names[1], names[2]});
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  SetEvent(e[2]);
  EXPECT_EQ(trim(waiter.readLine()), "2");
  SetEvent(e[0]);
  EXPECT_EQ(trim(waiter.readLine()), "0");
  waiter.kill(9);
  for (HANDLE h : e) CloseHandle(h);
}

TEST_F(KernelCrossProcess, RunAtTimeSetsTheNamedEventOnTheDeviceClock) {
  ASSERT_TRUE(SetClockSpeed(100));
  HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, u"NyxelUpdate");
  ASSERT_TRUE(ev);
  int64_t t0 = hostMs();
  // The process that asks ends at once; the event is still set on time.
  ASSERT_EQ(nxtest::runHelper({"krunat", "NyxelUpdate", "60"}).exitCode, 0);
  EXPECT_EQ(WaitForSingleObject(ev, 30000), WAIT_TIMEOUT) << "30 device seconds: not yet";
  EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
  int64_t took = hostMs() - t0;
  EXPECT_GE(took, 550) << "60 device seconds at speed 100";
  EXPECT_LT(took, 1500);
  ResetEvent(ev);

  // A cancelled time never fires; a replaced one fires at the new time only.
  SYSTEMTIME in30 = localIn(30);
  ASSERT_TRUE(CeRunAppAtTime(runAtName(u"NyxelUpdate").c_str(), &in30));
  ASSERT_EQ(nxtest::runHelper({"krunat", "NyxelUpdate", "-1"}).exitCode, 0);
  EXPECT_EQ(WaitForSingleObject(ev, 60000), WAIT_TIMEOUT);
  SYSTEMTIME in10 = localIn(10), in300 = localIn(300);
  ASSERT_TRUE(CeRunAppAtTime(runAtName(u"NyxelUpdate").c_str(), &in10));
  ASSERT_TRUE(CeRunAppAtTime(runAtName(u"NyxelUpdate").c_str(), &in300));
  EXPECT_EQ(WaitForSingleObject(ev, 60000), WAIT_TIMEOUT);

  // A time already past fires at once; other forms are refused.
  SYSTEMTIME past = localIn(-5);
  ASSERT_TRUE(CeRunAppAtTime(runAtName(u"NyxelUpdate").c_str(), &past));
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_FALSE(CeRunAppAtTime(u"\\Windows\\updater.exe", &past));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(CeRunAppAtTime(runAtName(u"").c_str(), &past));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SYSTEMTIME bad = past;
  bad.wMonth = 13;
  EXPECT_FALSE(CeRunAppAtTime(runAtName(u"NyxelUpdate").c_str(), &bad));
  CloseHandle(ev);
}

TEST_F(KernelCrossProcess, ProcessKilledInsideTheLockDoesNotWedgeTheDevice) {
  HANDLE ev = CreateEventW(nullptr, FALSE, FALSE, u"Upd_Close_Event");
  ASSERT_TRUE(ev);
  nxtest::HelperProcess holder({"klock_hold"});
  ASSERT_EQ(trim(holder.readLine()), "locked");
  holder.kill(9);
  holder.wait();
  ASSERT_TRUE(SetEvent(ev));
  EXPECT_EQ(WaitForSingleObject(ev, 1000), WAIT_OBJECT_0);
  HANDLE other = CreateEventW(nullptr, TRUE, TRUE, u"Update Options_Changed");
  ASSERT_TRUE(other);
  EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0);
  CloseHandle(other);
  CloseHandle(ev);
}

TEST_F(KernelCrossProcess, MutexOfAKilledProcessComesBackAbandoned) {
  HANDLE m = CreateMutexW(nullptr, FALSE, u"Online_Mutex");
  ASSERT_TRUE(m);
  nxtest::HelperProcess holder({"kmutex_hold", "Online_Mutex"});
  ASSERT_EQ(trim(holder.readLine()), "owned");
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT);
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    holder.kill(9);
  });
  int64_t t0 = hostMs();
  EXPECT_EQ(WaitForSingleObject(m, 10000), WAIT_ABANDONED_0) << "a sleeping waiter notices the death";
  EXPECT_LT(hostMs() - t0, 2000);
  killer.join();
  holder.wait();
  ASSERT_TRUE(ReleaseMutex(m));
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "abandonment is reported once";
  ReleaseMutex(m);

  // A process that ends normally without releasing: the next owner hears of it too.
  nxtest::HelperProcess quitter({"kmutex_hold", "Online_Mutex"});
  ASSERT_EQ(trim(quitter.readLine()), "owned");
  quitter.writeLine("go");
  EXPECT_EQ(quitter.wait(), 0);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED_0);
  ReleaseMutex(m);
  CloseHandle(m);
}

TEST_F(KernelCrossProcess, WriterBlockedOnAKilledReaderIsReleased) {
  nxtest::HelperProcess reader({"kqueue_hold", "OlnMsgQueue", "read"});
  ASSERT_EQ(trim(reader.readLine()), "open");
  MSGQUEUEOPTIONS o{sizeof(MSGQUEUEOPTIONS), 0, 20, 541, FALSE};
  HANDLE q = CreateMsgQueue(u"OlnMsgQueue", &o);
  ASSERT_TRUE(q);
  char msg[] = "1\\Temp\\x";
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(WriteMsgQueue(q, msg, sizeof msg, 0, 0));
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    reader.kill(9);
  });
  int64_t t0 = hostMs();
  EXPECT_FALSE(WriteMsgQueue(q, msg, sizeof msg, INFINITE, 0));
  EXPECT_EQ(GetLastError(), ERROR_PIPE_NOT_CONNECTED);
  EXPECT_LT(hostMs() - t0, 2000);
  killer.join();
  reader.wait();
  MSGQUEUEINFO info{};
  info.dwSize = sizeof info;
  ASSERT_TRUE(GetMsgQueueInfo(q, &info));
  EXPECT_EQ(info.wNumReaders, 0);
  EXPECT_EQ(info.wNumWriters, 1);
  CloseMsgQueue(q);

  // A killed writer of an allow-broken queue leaves a reader that still works.
  MSGQUEUEOPTIONS ro{sizeof(MSGQUEUEOPTIONS), MSGQUEUE_ALLOW_BROKEN, 20, 541, TRUE};
  HANDLE rq = CreateMsgQueue(u"Broken", &ro);
  nxtest::HelperProcess writer({"kqueue_hold", "Broken", "write", "broken"});
  ASSERT_EQ(trim(writer.readLine()), "open");
  writer.kill(9);
  writer.wait();
  char buf[8];
  DWORD n;
  EXPECT_FALSE(ReadMsgQueue(rq, buf, sizeof buf, &n, 200, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  CloseMsgQueue(rq);
}
