#include "common/rwlock.h"

#include "ce/base.h"

namespace nx {

using namespace ce;

namespace {
constexpr LONG kMaxCount = 0x7FFFFFFF;
}

RwLock::RwLock() { InitializeCriticalSection(&cs_); }

RwLock::~RwLock() {
  waitingReaders_ = waitingWriters_ = active_ = 0;
  DeleteCriticalSection(&cs_);
  if (readers_) CloseHandle(readers_);
  if (writers_) CloseHandle(writers_);
}

bool RwLock::ensure(HANDLE& sem) {
  if (!sem) sem = CreateSemaphoreW(nullptr, 0, kMaxCount, nullptr);
  return sem != nullptr;
}

bool RwLock::acquireShared() {
  EnterCriticalSection(&cs_);
  if (waitingWriters_ > 0 || active_ < 0) {
    if (!ensure(readers_)) {
      LeaveCriticalSection(&cs_);
      return false;
    }
    ++waitingReaders_;
    HANDLE sem = readers_;
    LeaveCriticalSection(&cs_);
    // The releasing thread has already counted us in as active.
    WaitForSingleObject(sem, INFINITE);
    return true;
  }
  ++active_;
  LeaveCriticalSection(&cs_);
  return true;
}

bool RwLock::acquireExclusive() {
  EnterCriticalSection(&cs_);
  if (active_ != 0) {
    if (!ensure(writers_)) {
      LeaveCriticalSection(&cs_);
      return false;
    }
    ++waitingWriters_;
    HANDLE sem = writers_;
    LeaveCriticalSection(&cs_);
    WaitForSingleObject(sem, INFINITE);
    return true;
  }
  active_ = -1;
  LeaveCriticalSection(&cs_);
  return true;
}

void RwLock::release() {
  HANDLE wake = nullptr;
  LONG count = 0;
  EnterCriticalSection(&cs_);
  if (active_ > 0) {
    --active_;
  } else if (active_ == -1) {
    active_ = 0;
  } else {
    LeaveCriticalSection(&cs_);
    return;
  }
  if (active_ == 0) {
    if (waitingWriters_ > 0) {
      --waitingWriters_;
      active_ = -1;
      wake = writers_;
      count = 1;
    } else if (waitingReaders_ > 0) {
      active_ = waitingReaders_;
      count = waitingReaders_;
      waitingReaders_ = 0;
      wake = readers_;
    }
  }
  LeaveCriticalSection(&cs_);
  if (wake) ReleaseSemaphore(wake, count, nullptr);
}

RwLock::State RwLock::state() {
  EnterCriticalSection(&cs_);
  State s{active_, waitingReaders_, waitingWriters_};
  LeaveCriticalSection(&cs_);
  return s;
}

}  // namespace nx
