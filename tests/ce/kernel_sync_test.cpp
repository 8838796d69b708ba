// Events, mutexes, semaphores, critical sections, threads and waits within
// one process (these also run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/kernel.h"
#include "testkit.h"

using namespace ce;

namespace {

class KernelSync : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;
};

// Closes a handle at scope end.
struct Owned {
  HANDLE h;
  explicit Owned(HANDLE x) : h(x) {}
  ~Owned() {
    if (h) CloseHandle(h);
  }
  operator HANDLE() const { return h; }
};

int64_t hostMs() { return clock::hostMonotonicNs() / 1000000; }

}  // namespace

TEST_F(KernelSync, ManualEventStaysSetAutoEventWakesOneWait) {
  Owned manual(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Owned automatic(CreateEventW(nullptr, FALSE, TRUE, nullptr));  // initially set
  ASSERT_TRUE(manual.h && automatic.h);

  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ResetEvent(manual));
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);

  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "the first wait consumed the auto-reset event";
}

TEST_F(KernelSync, SetEventWakesSleepingWaiterInAnotherThread) {
  Owned ev(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  std::atomic<DWORD> result{0xDEAD};
  std::thread waiter([&] { result = WaitForSingleObject(ev, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result.load(), 0xDEADu);
  ASSERT_TRUE(SetEvent(ev));
  waiter.join();
  EXPECT_EQ(result.load(), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST_F(KernelSync, PulseReleasesSleepersAndLeavesEventClear) {
  for (BOOL manualReset : {TRUE, FALSE}) {
    SCOPED_TRACE(manualReset ? "manual" : "auto");
    Owned ev(CreateEventW(nullptr, manualReset, FALSE, nullptr));
    std::atomic<int> woken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; ++i)
      ts.emplace_back([&] {
        if (WaitForSingleObject(ev, 1500) == WAIT_OBJECT_0) ++woken;
      });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(PulseEvent(ev));
    for (auto& t : ts) t.join();
    EXPECT_EQ(woken.load(), manualReset ? 3 : 1);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  }
}

TEST_F(KernelSync, NamedObjectsShareOneNamespaceAndLiveWhileHeld) {
  HANDLE a = CreateEventW(nullptr, TRUE, FALSE, u"Oln_Close_Event");
  ASSERT_TRUE(a);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE b = CreateEventW(nullptr, FALSE, TRUE, u"Oln_Close_Event");  // kind and state ignored: it exists
  ASSERT_TRUE(b);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
  SetEvent(b);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "still manual reset";

  // Names are case-sensitive, and a name is taken for every sync kind.
  HANDLE other = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"oln_close_event");
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Oln_Close_Event"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 1, u"Oln_Close_Event"), nullptr);

  HANDLE c = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Oln_Close_Event");
  ASSERT_TRUE(c);
  CloseHandle(a);
  CloseHandle(b);
  EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_OBJECT_0) << "alive while one handle remains";
  CloseHandle(c);
  EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, u"Oln_Close_Event"), nullptr) << "gone with the last handle";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  std::u16string tooLong(MAX_PATH + 1, u'x');
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, tooLong.c_str()), nullptr);
  EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(KernelSync, WaitAnyLowestSignalledIndexWinsAndOnlyItIsConsumed) {
  Owned e0(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  Owned e1(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  Owned e2(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  Owned sem(CreateSemaphoreW(nullptr, 0, 10, nullptr));
  HANDLE hs[] = {e0, e1, e2, sem};
  SetEvent(e2);
  SetEvent(e1);
  ReleaseSemaphore(sem, 1, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(4, hs, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(4, hs, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(4, hs, FALSE, 0), WAIT_OBJECT_0 + 3);
  EXPECT_EQ(WaitForMultipleObjects(4, hs, FALSE, 0), WAIT_TIMEOUT);

  // A sleeping wait-any is woken by the object set later.
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    SetEvent(e2);
  });
  EXPECT_EQ(WaitForMultipleObjects(4, hs, FALSE, 5000), WAIT_OBJECT_0 + 2);
  setter.join();
}

// Voluntary context switches of a thread of this process so far.
long switchesOf(pid_t tid) {
  std::FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/status").c_str(), "r");
  if (!f) return -1;
  char line[256];
  long n = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1) break;
  std::fclose(f);
  return n;
}

TEST_F(KernelSync, WaitAnySleepsThroughChangesOfOtherObjects) {
  // A service thread waits for any of two events for its whole life while
  // the rest of the device churns through other objects; every one of those
  // changes must not cost it a wake-up.
  Owned e0(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  Owned e1(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  Owned busy(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<pid_t> tid{0};
  std::atomic<DWORD> got{WAIT_FAILED};
  std::thread waiter([&] {
    tid = static_cast<pid_t>(::syscall(SYS_gettid));
    HANDLE hs[] = {e0, e1};
    got = WaitForMultipleObjects(2, hs, FALSE, 20000);
  });
  while (!tid.load()) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // asleep by now
  long before = switchesOf(tid);
  for (int i = 0; i < 2000; ++i) {
    SetEvent(busy);
    ResetEvent(busy);
    HANDLE temp = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(temp);
  }
  long after = switchesOf(tid);
  SetEvent(e1);
  waiter.join();
  EXPECT_EQ(got.load(), WAIT_OBJECT_0 + 1) << "still woken by its own object";
  ASSERT_GE(before, 0);
  EXPECT_LT(after - before, 50) << "woken by changes to objects it does not wait for";
}

TEST_F(KernelSync, NamesAreFoundWhileManyComeAndGo) {
  // Thousands of names share the name index's slots; removing one must
  // leave every other still to be found, and a closed name must be gone.
  constexpr int kNames = 3000;
  std::vector<HANDLE> h(kNames, nullptr);
  auto name = [](int i) { return u"Churn_" + utf8ToUtf16(std::to_string(i)); };
  uint32_t rng = 12345;
  auto next = [&] { return rng = rng * 1103515245u + 12345u, (rng >> 8); };
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < kNames; ++i)
      if (!h[i]) {
        h[i] = CreateEventW(nullptr, TRUE, FALSE, name(i).c_str());
        ASSERT_TRUE(h[i]) << i;
        ASSERT_EQ(GetLastError(), ERROR_SUCCESS) << "name " << i << " was still found after its close";
      }
    for (int i = 0; i < kNames; ++i)
      if (next() % 2) {
        CloseHandle(h[i]);
        h[i] = nullptr;
      }
    for (int i = 0; i < kNames; ++i) {
      HANDLE o = OpenEventW(EVENT_ALL_ACCESS, FALSE, name(i).c_str());
      ASSERT_EQ(o != nullptr, h[i] != nullptr) << "round " << round << " name " << i;
      if (o) CloseHandle(o);
    }
  }
  for (HANDLE x : h)
    if (x) CloseHandle(x);
}

TEST_F(KernelSync, WaitArgumentsAreChecked) {
  Owned ev(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, ev.h);
  struct Case {
    const char* what;
    DWORD count;
    const HANDLE* handles;
    BOOL all;
    DWORD error;
  };
  HANDLE bogus[] = {reinterpret_cast<HANDLE>(0x1234560), ev.h};
  const Case cases[] = {
      {"no objects", 0, many.data(), FALSE, ERROR_INVALID_PARAMETER},
      {"65 objects", MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, ERROR_INVALID_PARAMETER},
      {"null array", 1, nullptr, FALSE, ERROR_INVALID_PARAMETER},
      {"wait for all", 2, many.data(), TRUE, ERROR_NOT_SUPPORTED},
      {"stale handle", 2, bogus, FALSE, ERROR_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.all, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), c.error);
  }
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many.data(), FALSE, 0), WAIT_OBJECT_0);
  HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  CloseHandle(closed);
  EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(KernelSync, TimeoutsRunOnTheDeviceClock) {
  SetClockSpeed(10);
  Owned ev(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  int64_t t0 = hostMs();
  EXPECT_EQ(WaitForSingleObject(ev, 2000), WAIT_TIMEOUT);  // 2 device seconds = 200 host ms
  int64_t took = hostMs() - t0;
  EXPECT_GE(took, 190);
  EXPECT_LT(took, 1000);
}

TEST_F(KernelSync, SemaphoreCountsAndLimits) {
  struct Bad {
    LONG initial, max;
  };
  for (Bad b : {Bad{-1, 5}, Bad{6, 5}, Bad{0, 0}, Bad{0, -3}}) {
    EXPECT_EQ(CreateSemaphoreW(nullptr, b.initial, b.max, nullptr), nullptr) << b.initial << "/" << b.max;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  Owned sem(CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, u"RwLockReaders"));
  ASSERT_TRUE(sem.h);
  LONG prev = -1;
  ASSERT_TRUE(ReleaseSemaphore(sem, 3, &prev));
  EXPECT_EQ(prev, 0);
  ASSERT_TRUE(ReleaseSemaphore(sem, 0x7FFFFFFF - 3, &prev));
  EXPECT_EQ(prev, 3);
  prev = -1;
  EXPECT_FALSE(ReleaseSemaphore(sem, 1, &prev));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(prev, -1);
  EXPECT_FALSE(ReleaseSemaphore(sem, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForSingleObject(sem, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(ReleaseSemaphore(sem, 1, &prev));
  EXPECT_EQ(prev, 0x7FFFFFFE) << "the wait took one";

  Owned small(CreateSemaphoreW(nullptr, 2, 2, nullptr));
  EXPECT_EQ(WaitForSingleObject(small, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(small, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(small, 0), WAIT_TIMEOUT);
  EXPECT_FALSE(ReleaseSemaphore(small, 3, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(WaitForSingleObject(small, 0), WAIT_TIMEOUT) << "a refused release changes nothing";
}

TEST_F(KernelSync, MutexIsRecursiveAndOwnedByAThread) {
  Owned m(CreateMutexW(nullptr, TRUE, u"Online_Mutex"));
  ASSERT_TRUE(m.h);
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // recursion 2
  DWORD other = 0xDEAD;
  std::thread([&] {
    other = WaitForSingleObject(m, 0);
    SetLastError(0);
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);
  }).join();
  EXPECT_EQ(other, WAIT_TIMEOUT);
  ASSERT_TRUE(ReleaseMutex(m));
  std::thread([&] { other = WaitForSingleObject(m, 0); }).join();
  EXPECT_EQ(other, WAIT_TIMEOUT) << "still held once";
  ASSERT_TRUE(ReleaseMutex(m));
  EXPECT_FALSE(ReleaseMutex(m));
  EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

  // The existing mutex opened with bInitialOwner is not taken.
  Owned again(CreateMutexW(nullptr, TRUE, u"Online_Mutex"));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  std::thread([&] {
    other = WaitForSingleObject(m, 0);
    if (other == WAIT_OBJECT_0) ReleaseMutex(m);
  }).join();
  EXPECT_EQ(other, WAIT_OBJECT_0);
}

TEST_F(KernelSync, MutexOfAnEndedThreadIsReportedAbandonedOnce) {
  Owned m(CreateMutexW(nullptr, FALSE, nullptr));
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0); }).join();  // ends owning it
  EXPECT_EQ(WaitForSingleObject(m, 1000), WAIT_ABANDONED_0);
  ASSERT_TRUE(ReleaseMutex(m)) << "the abandoned mutex now belongs to this thread";
  EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
  ReleaseMutex(m);

  // Through a thread of the layer, and as the second object of a wait-any.
  Owned ev(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE t = CreateThread(
      nullptr, 0, [](LPVOID p) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(p), 0); }, m.h, 0, nullptr);
  ASSERT_TRUE(t);
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  CloseHandle(t);
  HANDLE hs[] = {ev, m};
  EXPECT_EQ(WaitForMultipleObjects(2, hs, FALSE, 1000), WAIT_ABANDONED_0 + 1);
  ReleaseMutex(m);
}

TEST_F(KernelSync, MutexExcludesAcrossThreads) {
  Owned m(CreateMutexW(nullptr, FALSE, nullptr));
  int counter = 0;  // guarded by the mutex only: ThreadSanitizer checks the hand-over
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] {
      for (int k = 0; k < 300; ++k) {
        ASSERT_EQ(WaitForSingleObject(m, 10000), WAIT_OBJECT_0);
        int v = counter;
        counter = v + 1;
        ReleaseMutex(m);
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(counter, 1200);
}

TEST_F(KernelSync, CriticalSectionIsRecursiveAndExclusive) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  BOOL fromOther = TRUE;
  std::thread([&] { fromOther = TryEnterCriticalSection(&cs); }).join();
  EXPECT_FALSE(fromOther);
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  std::thread([&] {
    fromOther = TryEnterCriticalSection(&cs);
    if (fromOther) LeaveCriticalSection(&cs);
  }).join();
  EXPECT_TRUE(fromOther);

  long total = 0;
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] {
      for (int k = 0; k < 5000; ++k) {
        EnterCriticalSection(&cs);
        ++total;
        LeaveCriticalSection(&cs);
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(total, 20000);
  DeleteCriticalSection(&cs);
}

TEST_F(KernelSync, ThreadHandleIsWaitableWithIdAndExitCode) {
  struct Ctx {
    HANDLE go;
    DWORD seenId;
  } ctx{CreateEventW(nullptr, TRUE, FALSE, nullptr), 0};
  DWORD tid = 0;
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        c->seenId = GetCurrentThreadId();
        WaitForSingleObject(c->go, INFINITE);
        return 42;
      },
      &ctx, 0, &tid);
  ASSERT_TRUE(t);
  EXPECT_NE(tid, 0u);
  EXPECT_NE(tid, GetCurrentThreadId());
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);
  SetEvent(ctx.go);
  ASSERT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
  ASSERT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(ctx.seenId, tid);
  CloseHandle(t);
  CloseHandle(ctx.go);
  EXPECT_FALSE(GetExitCodeThread(t, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(KernelSync, SuspendedThreadRunsOnlyAfterResume) {
  static std::atomic<int> ran{0};
  ran = 0;
  HANDLE t = CreateThread(
      nullptr, 0,
      [](LPVOID) -> DWORD {
        ran = 1;
        return 7;
      },
      nullptr, CREATE_SUSPENDED, nullptr);
  ASSERT_TRUE(t);
  EXPECT_EQ(WaitForSingleObject(t, 100), WAIT_TIMEOUT);
  EXPECT_EQ(ran.load(), 0);
  EXPECT_EQ(ResumeThread(t), 1u);
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(ResumeThread(t), 0u);
  CloseHandle(t);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// The reader-writer lock of the scanning API is built from a critical section
// and two semaphores; many threads hammering the same shape must neither lose
// a wake-up nor let a writer in beside a reader.
TEST_F(KernelSync, SemaphoreHandOverUnderContention) {
  Owned readers(CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr));
  Owned writers(CreateSemaphoreW(nullptr, 0, 0x7FFFFFFF, nullptr));
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  int active = 0, waitingReaders = 0, waitingWriters = 0;
  std::atomic<int> inside{0};
  std::atomic<bool> bad{false};
  auto acquire = [&](bool exclusive) {
    EnterCriticalSection(&cs);
    if (exclusive ? active != 0 : (waitingWriters > 0 || active < 0)) {
      ++(exclusive ? waitingWriters : waitingReaders);
      LeaveCriticalSection(&cs);
      WaitForSingleObject(exclusive ? writers.h : readers.h, INFINITE);
    } else {
      active = exclusive ? -1 : active + 1;
      LeaveCriticalSection(&cs);
    }
  };
  auto release = [&] {
    HANDLE sem = nullptr;
    LONG n = 0;
    EnterCriticalSection(&cs);
    active = active > 0 ? active - 1 : 0;
    if (active == 0) {
      if (waitingWriters) {
        --waitingWriters;
        active = -1;
        sem = writers;
        n = 1;
      } else if (waitingReaders) {
        active = waitingReaders;
        n = waitingReaders;
        waitingReaders = 0;
        sem = readers;
      }
    }
    LeaveCriticalSection(&cs);
    if (sem) ReleaseSemaphore(sem, n, nullptr);
  };
  std::vector<std::thread> ts;
  for (int i = 0; i < 6; ++i)
    ts.emplace_back([&, i] {
      bool writer = i < 2;
      for (int k = 0; k < 150; ++k) {
        acquire(writer);
        int v = inside.fetch_add(writer ? 1000 : 1);
        if (writer ? v != 0 : v >= 1000) bad = true;
        inside.fetch_sub(writer ? 1000 : 1);
        release();
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_FALSE(bad.load());
  DeleteCriticalSection(&cs);
}
