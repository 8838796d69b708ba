// Waiting for one or any of several objects, and run-at-time entries.
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstring>

#include "ce/base.h"
#include "ce/time.h"
#include "kobj.h"

namespace ce {

using namespace detail;
using namespace detail::kobj;

namespace {

enum class Take { No, Yes, Abandoned };

struct Target {
  std::shared_ptr<Object> keep;
  KHandle* kh = nullptr;
  ProcessObject* proc = nullptr;
  uint32_t pulse = 0;  // the event's pulse count when this waiter went to sleep
};

bool processEnded(const ProcessObject& p) {
  if (p.pidfd >= 0) {
    pollfd pfd{p.pidfd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0;
  }
  if (p.reaped || p.pid <= 0) return true;
  return ::kill(p.pid, 0) != 0 && errno == ESRCH;
}

// Tries to satisfy the wait with one object; consumes what a wait consumes.
Take tryTake(Locked& L, Target& t, bool slept) {
  Obj& o = L.obj(t.kh->idx);
  switch (o.type) {
    case OType::Event:
      if (o.signalled) {
        if (!o.manualReset) o.signalled = 0;
        return Take::Yes;
      }
      if (slept && o.pulseSeq != t.pulse) {
        if (o.manualReset) return Take::Yes;
        if (o.pulseTokens) {
          --o.pulseTokens;
          return Take::Yes;
        }
      }
      return Take::No;
    case OType::Mutex: {
      const ProcId me = L.seg()->me;
      int32_t tid = currentTid();
      if (o.ownerPid == 0) {
        o.ownerPid = me.pid;
        o.ownerStart = me.start;
        o.ownerTid = tid;
        o.recursion = 1;
        noteMutexOwner(L.seg());
        bool abandoned = o.abandoned;
        o.abandoned = 0;
        return abandoned ? Take::Abandoned : Take::Yes;
      }
      if (o.ownerPid == me.pid && o.ownerStart == me.start && o.ownerTid == tid && o.recursion < UINT32_MAX) {
        ++o.recursion;
        return Take::Yes;
      }
      return Take::No;
    }
    case OType::Semaphore:
      if (o.count > 0) {
        --o.count;
        return Take::Yes;
      }
      return Take::No;
    case OType::Thread:
      return o.done ? Take::Yes : Take::No;
    case OType::Queue:
      if (queueBroken(o, t.kh->end)) return Take::Yes;
      if (t.kh->end == kReadEnd) return o.qCount > 0 ? Take::Yes : Take::No;
      return o.qCount < o.qSlots ? Take::Yes : Take::No;
    default:
      return Take::No;
  }
}

// Whether the object can only become signalled while some other process is
// alive (a mutex it owns, the other end of a queue).
bool dependsOnPeer(Locked& L, const Target& t) {
  const Obj& o = L.obj(t.kh->idx);
  // An allow-broken queue never breaks: a gone peer changes nothing a waiter could see.
  if (o.type == OType::Queue) return (o.qFlags & MSGQUEUE_ALLOW_BROKEN) == 0;
  if (o.type == OType::Mutex) return o.ownerPid != 0 && o.ownerPid != L.seg()->me.pid;
  return false;
}

DWORD waitProcessesOnly(Target* t, DWORD n, int64_t deadline) {
  for (;;) {
    pollfd fds[MAXIMUM_WAIT_OBJECTS];
    bool allFds = true;
    for (DWORD i = 0; i < n; ++i) {
      if (processEnded(*t[i].proc)) return WAIT_OBJECT_0 + i;
      fds[i] = pollfd{t[i].proc->pidfd, POLLIN, 0};
      allFds = allFds && t[i].proc->pidfd >= 0;
    }
    int64_t now = clock::hostMonotonicNs();
    if (now >= deadline) return WAIT_TIMEOUT;
    int64_t leftNs = deadline == INT64_MAX ? INT64_MAX : deadline - now;
    if (!allFds) leftNs = std::min<int64_t>(leftNs, 5'000'000);
    int ms = leftNs == INT64_MAX ? -1 : static_cast<int>(std::min<int64_t>((leftNs + 999999) / 1000000, 1 << 30));
    ::poll(fds, allFds ? n : 0, ms);
  }
}

DWORD waitAny(DWORD count, const HANDLE* handles, DWORD ms) {
  Target t[MAXIMUM_WAIT_OBJECTS];
  Seg* seg = nullptr;
  bool anyProc = false;
  for (DWORD i = 0; i < count; ++i) {
    auto obj = handleGet(handles[i]);
    if (!obj) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    switch (obj->kind()) {
      case Kind::Event:
      case Kind::Mutex:
      case Kind::Semaphore:
      case Kind::Thread:
      case Kind::MsgQueue: {
        auto* kh = static_cast<KHandle*>(obj.get());
        if (seg && kh->seg != seg) {
          // Objects of two devices cannot be waited on together.
          SetLastError(ERROR_INVALID_PARAMETER);
          return WAIT_FAILED;
        }
        seg = kh->seg;
        t[i].kh = kh;
        break;
      }
      case Kind::Process:
        t[i].proc = static_cast<ProcessObject*>(obj.get());
        anyProc = true;
        break;
      default:
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    t[i].keep = std::move(obj);
  }
  const int64_t deadline = clock::hostDeadlineNs(ms);
  if (!seg) return waitProcessesOnly(t, count, deadline);

  Locked L(seg);
  bool slept = false;
  int64_t nextReap = 0;
  const uint32_t word = count == 1 ? t[0].kh->idx : kNone;
  for (;;) {
    bool ended[MAXIMUM_WAIT_OBJECTS] = {};
    if (anyProc) {
      // Polled with the lock released next time round if need be; a process
      // that ends meanwhile is seen on the next pass.
      for (DWORD i = 0; i < count; ++i)
        if (t[i].proc) ended[i] = processEnded(*t[i].proc);
    }
    bool peer = false;
    for (DWORD i = 0; i < count; ++i) {
      if (t[i].proc) {
        if (ended[i]) return WAIT_OBJECT_0 + i;
        continue;
      }
      if (!alive(L, *t[i].kh)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      Take r = tryTake(L, t[i], slept);
      if (r == Take::Yes) return WAIT_OBJECT_0 + i;
      if (r == Take::Abandoned) return WAIT_ABANDONED_0 + i;
      peer = peer || dependsOnPeer(L, t[i]);
    }
    for (DWORD i = 0; i < count; ++i) {
      if (!t[i].kh) continue;
      Obj& o = L.obj(t[i].kh->idx);
      if (o.type == OType::Event) {
        t[i].pulse = o.pulseSeq;
        ++o.sleepers;
      }
    }
    uint32_t flags = (peer ? kPeerCheck : 0) | (anyProc ? kPollProcs : 0);
    if (word == kNone)
      for (DWORD i = 0; i < count; ++i)
        if (t[i].kh) L.obj(t[i].kh->idx).anyWaiters.fetch_add(1);
    bool more = sleepLocked(L, word, deadline, flags, nextReap);
    if (word == kNone)
      for (DWORD i = 0; i < count; ++i)
        if (t[i].kh) L.obj(t[i].kh->idx).anyWaiters.fetch_sub(1);
    for (DWORD i = 0; i < count; ++i) {
      if (!t[i].kh || !alive(L, *t[i].kh)) continue;
      Obj& o = L.obj(t[i].kh->idx);
      if (o.type == OType::Event && o.sleepers) --o.sleepers;
    }
    if (!more) return WAIT_TIMEOUT;
    slept = true;
  }
}

constexpr char16_t kNamedEventPrefix[] = u"\\\\.\\Notifications\\NamedEvents\\";

bool startsWithNoCase(LPCWSTR s, const char16_t* prefix, size_t& len) {
  len = 0;
  for (; prefix[len]; ++len) {
    char16_t a = s[len], b = prefix[len];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a + 32);
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b + 32);
    if (a != b) return false;
  }
  return true;
}

}  // namespace

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) { return waitAny(1, &h, milliseconds); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL bWaitAll, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  if (bWaitAll) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return WAIT_FAILED;
  }
  return waitAny(count, handles, milliseconds);
}

BOOL CeRunAppAtTime(LPCWSTR app, const SYSTEMTIME* time) {
  size_t prefixLen;
  if (!app) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!startsWithNoCase(app, kNamedEventPrefix, prefixLen)) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  LPCWSTR name = app + prefixLen;
  uint32_t len;
  if (!checkName(name, len)) return FALSE;
  if (len == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t due = 0;
  if (time) {
    // The handset's schedule is in local time.
    FILETIME local, utc;
    if (!SystemTimeToFileTime(time, &local) || !LocalFileTimeToFileTime(&local, &utc)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    due = static_cast<int64_t>((static_cast<uint64_t>(utc.dwHighDateTime) << 32) | utc.dwLowDateTime);
  }
  Seg* s = current();
  if (!s) return FALSE;
  Locked L(s);
  Header* h = L.h();
  Timer* slot = nullptr;
  for (auto& t : h->timers) {
    if (t.nameLen == len && std::memcmp(t.name, name, len * sizeof(char16_t)) == 0) {
      t.nameLen = 0;  // a new time replaces the old one; no time cancels it
      if (!slot) slot = &t;
    } else if (!slot && t.nameLen == 0) {
      slot = &t;
    }
  }
  if (time) {
    if (!slot) {
      SetLastError(ERROR_OUTOFMEMORY);
      return FALSE;
    }
    std::memcpy(slot->name, name, len * sizeof(char16_t));
    slot->due = due;
    slot->nameLen = len;
  }
  h->nextDue = INT64_MAX;
  for (auto& t : h->timers)
    if (t.nameLen && t.due < h->nextDue) h->nextDue = t.due;
  // Sleepers shorten their sleep to the new due time.
  h->globalSeq.fetch_add(1);
  for (uint32_t i = 0; i < kMaxObjects; ++i)
    if (h->objs[i].waiters.load() && h->objs[i].type == OType::Event) L.changed(i);
  L.changed(0);
  L.wakeGlobal();
  fireDueTimers(L);
  return TRUE;
}

}  // namespace ce
