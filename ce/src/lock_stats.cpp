// Counters of the device-wide locks, kept only when NX_CE_LOCK_STATS is set
// in the environment: how often each lock is taken, how often a taker had
// to wait, and how long it was waited for and held. Each process writes one
// line per lock to standard error when it ends; bench/scan_scaling.py reads
// them to model what bounds many scanning processes on one device.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "device.h"

namespace ce::detail {
namespace {

struct Counters {
  std::atomic<pthread_mutex_t*> lock{nullptr};
  std::atomic<bool> kernel{false};
  std::atomic<uint64_t> taken{0}, contended{0}, waitNs{0}, holdNs{0};
};

constexpr int kLocks = 8;
Counters g_locks[kLocks];

struct Held {
  pthread_mutex_t* lock;
  uint64_t since;
};
thread_local Held t_held[8];
thread_local int t_depth = 0;

Counters* countersOf(pthread_mutex_t* m) {
  for (Counters& c : g_locks) {
    pthread_mutex_t* seen = c.lock.load(std::memory_order_acquire);
    if (seen == m) return &c;
    if (!seen) {
      pthread_mutex_t* expected = nullptr;
      if (c.lock.compare_exchange_strong(expected, m)) {
        DeviceState* d = device();
        c.kernel = d && d->seg && m == &d->seg->lock;
        return &c;
      }
      if (expected == m) return &c;
    }
  }
  return nullptr;
}

struct Report {
  ~Report() {
    if (!lockStatsOn()) return;
    for (Counters& c : g_locks) {
      if (!c.lock.load()) continue;
      std::fprintf(stderr, "nx-lock-stats pid=%d lock=%s taken=%llu contended=%llu wait_ns=%llu hold_ns=%llu\n",
                   static_cast<int>(::getpid()), c.kernel ? "kernel" : "kobj",
                   static_cast<unsigned long long>(c.taken.load()), static_cast<unsigned long long>(c.contended.load()),
                   static_cast<unsigned long long>(c.waitNs.load()), static_cast<unsigned long long>(c.holdNs.load()));
    }
  }
} g_report;

}  // namespace

bool lockStatsOn() {
  static const bool on = std::getenv("NX_CE_LOCK_STATS") != nullptr;
  return on;
}

uint64_t lockStatsNow() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void lockStatsTaken(pthread_mutex_t* m, bool contended, uint64_t askedAt) {
  const uint64_t now = lockStatsNow();
  if (Counters* c = countersOf(m)) {
    c->taken.fetch_add(1, std::memory_order_relaxed);
    if (contended) c->contended.fetch_add(1, std::memory_order_relaxed);
    c->waitNs.fetch_add(now - askedAt, std::memory_order_relaxed);
  }
  if (t_depth < 8) t_held[t_depth] = Held{m, now};
  ++t_depth;
}

void lockStatsReleased(pthread_mutex_t* m) {
  const uint64_t now = lockStatsNow();
  if (t_depth == 0) return;
  --t_depth;
  if (t_depth >= 8) return;
  // Locks are let go in the reverse order of taking them.
  if (t_held[t_depth].lock == m)
    if (Counters* c = countersOf(m)) c->holdNs.fetch_add(now - t_held[t_depth].since, std::memory_order_relaxed);
}

}  // namespace ce::detail
