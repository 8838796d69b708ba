// Threads with waitable handles. A thread's object lives in the kernel-object
// table like any other, referenced by its handles and by the running thread
// itself, so that waits on it mix freely with events and mutexes.
#include <pthread.h>

#include <condition_variable>
#include <mutex>

#include "ce/base.h"
#include "kobj.h"

namespace ce {

using namespace detail;
using namespace detail::kobj;

namespace {

// What the creator and the new thread share in this process.
struct ThreadCtl {
  std::mutex mu;
  std::condition_variable cv;
  int32_t tid = 0;
  bool suspended = false;
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;
  Seg* seg = nullptr;
  uint32_t idx = 0;
  uint32_t gen = 0;
};

struct ThreadHandle : KHandle {
  ThreadHandle(Seg* s, uint32_t idx, uint32_t gen, std::shared_ptr<ThreadCtl> c)
      : KHandle(Kind::Thread, s, idx, gen, kNoEnd), ctl(std::move(c)) {}
  std::shared_ptr<ThreadCtl> ctl;
};

void* threadMain(void* arg) {
  auto ctl = *static_cast<std::shared_ptr<ThreadCtl>*>(arg);
  delete static_cast<std::shared_ptr<ThreadCtl>*>(arg);
  {
    std::unique_lock lk(ctl->mu);
    ctl->tid = currentTid();
    ctl->cv.notify_all();
    ctl->cv.wait(lk, [&] { return !ctl->suspended; });
  }
  {
    Locked L(ctl->seg);
    Obj& o = L.obj(ctl->idx);
    if (o.gen == ctl->gen) o.tid = ctl->tid;
  }
  DWORD code = ctl->start(ctl->param);
  Locked L(ctl->seg);
  Obj& o = L.obj(ctl->idx);
  // Mutexes the routine kept are abandoned before anyone sees the thread end.
  abandonMutexesOf(L, ctl->tid);
  if (o.gen == ctl->gen && o.type == OType::Thread) {
    o.exitCode = code;
    o.done = 1;
    L.changed(ctl->idx);
    dropHold(L, ctl->idx, kNoEnd);  // the running thread's own reference
  }
  return nullptr;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD creationFlags,
                    LPDWORD threadId) {
  if (!start || (creationFlags & ~CREATE_SUSPENDED) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Seg* s = current();
  if (!s) return nullptr;
  auto ctl = std::make_shared<ThreadCtl>();
  ctl->start = start;
  ctl->param = param;
  ctl->seg = s;
  ctl->suspended = (creationFlags & CREATE_SUSPENDED) != 0;
  {
    Locked L(s);
    uint32_t idx = allocObj(L, OType::Thread, nullptr, 0, kNoEnd);
    if (idx == kNone) return nullptr;
    if (!addHold(L, idx, kNoEnd)) {  // one for the handle, one for the running thread
      dropHold(L, idx, kNoEnd);
      return nullptr;
    }
    ctl->idx = idx;
    ctl->gen = L.obj(idx).gen;
  }
  HANDLE h = handleInsert(std::make_shared<ThreadHandle>(s, ctl->idx, ctl->gen, ctl));
  if (!h) {
    Locked L(s);
    dropHold(L, ctl->idx, kNoEnd);
    return nullptr;
  }
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t th;
  auto* arg = new std::shared_ptr<ThreadCtl>(ctl);
  int rc = pthread_create(&th, &attr, &threadMain, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    {
      Locked L(s);
      if (L.obj(ctl->idx).gen == ctl->gen) dropHold(L, ctl->idx, kNoEnd);
    }
    CloseHandle(h);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  {
    std::unique_lock lk(ctl->mu);
    ctl->cv.wait(lk, [&] { return ctl->tid != 0; });
  }
  if (threadId) *threadId = static_cast<DWORD>(ctl->tid);
  SetLastError(ERROR_SUCCESS);
  return h;
}

DWORD ResumeThread(HANDLE h) {
  auto kh = getHandle(h, Kind::Thread);
  if (!kh) return 0xFFFFFFFFu;
  auto ctl = static_cast<ThreadHandle*>(kh.get())->ctl;
  std::lock_guard lk(ctl->mu);
  if (!ctl->suspended) return 0;
  ctl->suspended = false;
  ctl->cv.notify_all();
  return 1;
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode) {
  if (!exitCode) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto kh = getHandle(h, Kind::Thread);
  if (!kh) return FALSE;
  Locked L(kh->seg);
  if (!alive(L, *kh)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const Obj& o = L.obj(kh->idx);
  *exitCode = o.done ? o.exitCode : STILL_ACTIVE;
  return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(currentTid()); }

}  // namespace ce
