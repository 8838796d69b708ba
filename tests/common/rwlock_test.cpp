#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>
#include <vector>

#include "common/rwlock.h"
#include "testkit.h"

namespace {

using State = nx::RwLock::State;

// Waits (host time) until the lock's counters reach the wanted state.
bool reaches(nx::RwLock& l, State want) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    State s = l.state();
    if (s.active == want.active && s.waitingReaders == want.waitingReaders && s.waitingWriters == want.waitingWriters)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class RwLockTest : public ::testing::Test {
 protected:
  nxtest::TempDevice dev;
  nx::RwLock lock;
};

TEST_F(RwLockTest, ReadersShareWriterExcludes) {
  ASSERT_TRUE(lock.acquireShared());
  ASSERT_TRUE(lock.acquireShared());
  EXPECT_TRUE(reaches(lock, {2, 0, 0}));
  std::atomic<bool> wrote{false};
  std::thread w([&] {
    lock.acquireExclusive();
    wrote = true;
    lock.release();
  });
  EXPECT_TRUE(reaches(lock, {2, 0, 1}));
  lock.release();
  EXPECT_FALSE(wrote.load());
  lock.release();
  w.join();
  EXPECT_TRUE(wrote.load());
  EXPECT_TRUE(reaches(lock, {0, 0, 0}));
}

// A waiting writer blocks new readers even while only readers hold the lock,
// and the release hands over to it before the waiting reader.
TEST_F(RwLockTest, WaitingWriterIsPreferred) {
  std::vector<int> order;
  std::mutex orderMu;
  auto note = [&](int who) {
    std::lock_guard g(orderMu);
    order.push_back(who);
  };
  ASSERT_TRUE(lock.acquireShared());
  std::thread writer([&] {
    lock.acquireExclusive();
    note(1);
    lock.release();
  });
  ASSERT_TRUE(reaches(lock, {1, 0, 1}));
  std::thread reader([&] {
    lock.acquireShared();
    note(2);
    lock.release();
  });
  ASSERT_TRUE(reaches(lock, {1, 1, 1}));
  lock.release();
  writer.join();
  reader.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_TRUE(reaches(lock, {0, 0, 0}));
}

// All readers waiting behind a writer are let in by one release, together:
// each of them waits inside for all the others.
TEST_F(RwLockTest, WaitingReadersAreAdmittedTogether) {
  constexpr int kReaders = 4;
  ASSERT_TRUE(lock.acquireExclusive());
  std::latch allInside(kReaders);
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i)
    readers.emplace_back([&] {
      lock.acquireShared();
      allInside.arrive_and_wait();
      lock.release();
    });
  ASSERT_TRUE(reaches(lock, {-1, kReaders, 0}));
  lock.release();
  // The release itself counts them all in before any of them runs.
  for (auto& r : readers) r.join();
  EXPECT_TRUE(reaches(lock, {0, 0, 0}));
}

TEST_F(RwLockTest, WritersTakeTurnsAndStrayReleaseIsIgnored) {
  lock.release();  // not held: ignored
  EXPECT_TRUE(reaches(lock, {0, 0, 0}));
  constexpr int kThreads = 4, kRounds = 300;
  long counter = 0;  // only touched under the exclusive hold
  std::atomic<int> inside{0}, overlap{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < kThreads; ++t)
    ts.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if ((i + t) % 3 == 0) {
          lock.acquireShared();
          if (inside.load() < 0) ++overlap;
          lock.release();
        } else {
          lock.acquireExclusive();
          if (inside.exchange(-1) != 0) ++overlap;
          ++counter;
          inside = 0;
          lock.release();
        }
      }
    });
  for (auto& th : ts) th.join();
  EXPECT_EQ(overlap.load(), 0);
  long writes = 0;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kRounds; ++i) writes += (i + t) % 3 != 0;
  EXPECT_EQ(counter, writes);
  EXPECT_TRUE(reaches(lock, {0, 0, 0}));
}

}  // namespace
