// Reader-writer lock with writer preference, in the handset's terms: a
// critical section guards three counters, readers and writers that must wait
// sleep on a semaphore each. A waiting writer blocks new readers; a release
// that frees the lock hands it to one waiting writer before any waiting
// reader, and admits all waiting readers together. Not re-entrant: a thread
// holding it shared that asks for it exclusively waits for itself.
#pragma once

#include "ce/kernel.h"

namespace nx {

class RwLock {
 public:
  RwLock();
  ~RwLock();
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  // Block until held. false only when a thread that has to wait finds no
  // semaphore to wait on (the kernel object could not be created); the lock
  // is then not held and nothing has changed.
  bool acquireShared();
  bool acquireExclusive();
  // Gives up one hold, shared or exclusive. A release without a hold is
  // ignored rather than driving the counters into a state no one can leave.
  void release();

  // For tests and diagnostics: a snapshot of the counters.
  struct State {
    ce::LONG active;  // 0 free, -1 one writer, n > 0 n readers
    ce::LONG waitingReaders;
    ce::LONG waitingWriters;
  };
  State state();

 private:
  // The semaphores are made on first need, not at construction: a static
  // lock in a library the dynamic linker maps is built before the process
  // has chosen its device, and kernel objects belong to one device.
  bool ensure(ce::HANDLE& sem);

  ce::CRITICAL_SECTION cs_;
  ce::HANDLE readers_ = nullptr;
  ce::HANDLE writers_ = nullptr;
  ce::LONG waitingReaders_ = 0;
  ce::LONG waitingWriters_ = 0;
  ce::LONG active_ = 0;
};

// Holds an RwLock for a scope.
class RwLockHold {
 public:
  RwLockHold(RwLock& lock, bool exclusive)
      : lock_(lock), held_(exclusive ? lock.acquireExclusive() : lock.acquireShared()) {}
  ~RwLockHold() {
    if (held_) lock_.release();
  }
  RwLockHold(const RwLockHold&) = delete;
  RwLockHold& operator=(const RwLockHold&) = delete;
  bool held() const { return held_; }

 private:
  RwLock& lock_;
  bool held_;
};

}  // namespace nx
