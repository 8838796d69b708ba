// Events, mutexes, semaphores and critical sections.
#include <pthread.h>

#include <functional>
#include <new>

#include "ce/base.h"
#include "kobj.h"

namespace ce {

using namespace detail;
using namespace detail::kobj;

namespace {

Kind kindOf(OType t) {
  switch (t) {
    case OType::Event: return Kind::Event;
    case OType::Mutex: return Kind::Mutex;
    case OType::Semaphore: return Kind::Semaphore;
    default: return Kind::Other;
  }
}

// Looks a sync object up by name, dropping it first when only dead processes
// still held it (a name must not outlive every process that used it).
uint32_t lookupLive(Locked& L, LPCWSTR name, uint32_t len) {
  uint32_t idx = findNamed(L, name, len, NameClass::Sync);
  if (idx == kNone) return kNone;
  reapHoldersOf(L, idx);
  return L.obj(idx).type == OType::Free ? kNone : idx;
}

// Creates an object of `type`, or opens the one that has the name.
HANDLE createOrOpen(OType type, LPCWSTR name, const std::function<void(Obj&)>& init) {
  uint32_t len;
  if (!checkName(name, len)) return nullptr;
  Seg* s = current();
  if (!s) return nullptr;
  Locked L(s);
  bool existed = false;
  uint32_t idx = len ? lookupLive(L, name, len) : kNone;
  if (idx != kNone) {
    if (L.obj(idx).type != type) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (!addHold(L, idx, kNoEnd)) return nullptr;
    existed = true;
  } else {
    idx = allocObj(L, type, name, len, kNoEnd);
    if (idx == kNone) return nullptr;
    init(L.obj(idx));
  }
  uint32_t gen = L.obj(idx).gen;
  L.unlock();
  HANDLE h = makeHandle(kindOf(type), s, idx, gen, kNoEnd);
  if (h) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

HANDLE openExisting(OType type, LPCWSTR name) {
  uint32_t len;
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!checkName(name, len)) return nullptr;
  if (len == 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  Seg* s = current();
  if (!s) return nullptr;
  Locked L(s);
  uint32_t idx = lookupLive(L, name, len);
  if (idx == kNone) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (L.obj(idx).type != type) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!addHold(L, idx, kNoEnd)) return nullptr;
  uint32_t gen = L.obj(idx).gen;
  L.unlock();
  return makeHandle(kindOf(type), s, idx, gen, kNoEnd);
}

// Runs fn on the live object behind handle h of kind k under the lock.
template <class F>
BOOL withObject(HANDLE h, Kind k, F&& fn) {
  auto kh = getHandle(h, k);
  if (!kh) return FALSE;
  Locked L(kh->seg);
  if (!alive(L, *kh)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return fn(L, L.obj(kh->idx), kh->idx);
}

}  // namespace

// ---- Events ------------------------------------------------------------------

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR name) {
  return createOrOpen(OType::Event, name, [&](Obj& o) {
    o.manualReset = bManualReset ? 1 : 0;
    o.signalled = bInitialState ? 1 : 0;
  });
}

HANDLE OpenEventW(DWORD, BOOL, LPCWSTR name) { return openExisting(OType::Event, name); }

BOOL SetEvent(HANDLE h) {
  return withObject(h, Kind::Event, [](Locked& L, Obj& o, uint32_t idx) {
    if (!o.signalled) {
      o.signalled = 1;
      L.changed(idx);
    }
    return TRUE;
  });
}

BOOL ResetEvent(HANDLE h) {
  return withObject(h, Kind::Event, [](Locked&, Obj& o, uint32_t) {
    o.signalled = 0;
    return TRUE;
  });
}

BOOL PulseEvent(HANDLE h) {
  return withObject(h, Kind::Event, [](Locked& L, Obj& o, uint32_t idx) {
    o.signalled = 0;
    if (o.sleepers) {
      ++o.pulseSeq;
      o.pulseTokens = o.manualReset ? 0 : 1;
      L.changed(idx);
    }
    return TRUE;
  });
}

// ---- Mutexes -------------------------------------------------------------------

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCWSTR name) {
  Seg* s = current();
  if (!s) return nullptr;
  bool owned = false;
  HANDLE h = createOrOpen(OType::Mutex, name, [&](Obj& o) {
    if (bInitialOwner) {
      o.ownerPid = s->me.pid;
      o.ownerStart = s->me.start;
      o.ownerTid = currentTid();
      o.recursion = 1;
      owned = true;
    }
  });
  if (owned) noteMutexOwner(s);
  return h;
}

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) { return openExisting(OType::Mutex, name); }

BOOL ReleaseMutex(HANDLE h) {
  return withObject(h, Kind::Mutex, [](Locked& L, Obj& o, uint32_t idx) {
    const ProcId me = L.seg()->me;
    if (o.ownerPid != me.pid || o.ownerStart != me.start || o.ownerTid != currentTid() || o.recursion == 0) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    if (--o.recursion == 0) {
      o.ownerPid = 0;
      o.ownerTid = 0;
      L.changed(idx);
    }
    return TRUE;
  });
}

// ---- Semaphores ------------------------------------------------------------------

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCWSTR name) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return createOrOpen(OType::Semaphore, name, [&](Obj& o) {
    o.count = initialCount;
    o.maxCount = maximumCount;
  });
}

HANDLE OpenSemaphoreW(DWORD, BOOL, LPCWSTR name) { return openExisting(OType::Semaphore, name); }

BOOL ReleaseSemaphore(HANDLE h, LONG releaseCount, LONG* previousCount) {
  if (releaseCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return withObject(h, Kind::Semaphore, [&](Locked& L, Obj& o, uint32_t idx) {
    if (static_cast<int64_t>(o.count) + releaseCount > o.maxCount) {
      SetLastError(ERROR_TOO_MANY_POSTS);
      return FALSE;
    }
    if (previousCount) *previousCount = o.count;
    o.count += releaseCount;
    L.changed(idx);
    return TRUE;
  });
}

// ---- Critical sections ---------------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION::opaque));
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION));

namespace {
pthread_mutex_t* csMutex(LPCRITICAL_SECTION cs) { return std::launder(reinterpret_cast<pthread_mutex_t*>(cs->opaque)); }
}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  if (!cs) return;
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(new (cs->opaque) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  if (cs) pthread_mutex_destroy(csMutex(cs));
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
  if (cs) pthread_mutex_lock(csMutex(cs));
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) { return cs && pthread_mutex_trylock(csMutex(cs)) == 0; }

void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  if (cs) pthread_mutex_unlock(csMutex(cs));
}

}  // namespace ce
