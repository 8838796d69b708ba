#include "kobj.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <iterator>
#include <cstring>
#include <map>
#include <mutex>

#include "ce/base.h"
#include "ce/time.h"

namespace ce::detail::kobj {
namespace {

constexpr uint64_t kMagic = 0x314A424F4B58584Eull;  // "NXXKOBJ1"
constexpr int64_t kPeerCheckNs = 100'000'000;   // how often a waiter looks for dead peers
constexpr int64_t kProcPollNs = 5'000'000;      // how often process handles are polled in mixed waits
constexpr int64_t kTimerChunkNs = 250'000'000;  // bounds a sleep towards a timer so clock changes are followed
constexpr int64_t kReapMinGapNs = 20'000'000;

thread_local bool t_repaired = false;

void futexWake(std::atomic<uint32_t>* w) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(w), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void futexWaitUntil(std::atomic<uint32_t>* w, uint32_t val, int64_t untilNs) {
  timespec ts{};
  timespec* tp = nullptr;
  if (untilNs != INT64_MAX) {
    ts.tv_sec = static_cast<time_t>(untilNs / 1000000000);
    ts.tv_nsec = static_cast<long>(untilNs % 1000000000);
    tp = &ts;
  }
  // Shared (not private) futex: the word lives in a mapping other processes share.
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(w), FUTEX_WAIT_BITSET, val, tp, nullptr, FUTEX_BITSET_MATCH_ANY);
}

void initSegment(void* base, size_t) {
  auto* h = static_cast<Header*>(base);
  h->magic = kMagic;
  initSharedMutex(&h->lock);
  h->nextDue = INT64_MAX;
}

constexpr uint32_t kSlotMask = kNameSlots - 1;
static_assert((kNameSlots & kSlotMask) == 0 && kNameSlots > kMaxObjects && kMaxObjects < 0xFFFF);

void indexInsert(Header* h, uint32_t idx) {
  for (uint32_t s = h->nameHash[idx] & kSlotMask;; s = (s + 1) & kSlotMask)
    if (!h->nameSlots[s]) {
      h->nameSlots[s] = static_cast<uint16_t>(idx + 1);
      return;
    }
}

void indexRemove(Header* h, uint32_t idx) {
  uint32_t i = h->nameHash[idx] & kSlotMask;
  for (uint32_t n = 0;; ++n, i = (i + 1) & kSlotMask) {
    if (n == kNameSlots || !h->nameSlots[i]) return;  // not in the index
    if (h->nameSlots[i] == idx + 1) break;
  }
  // Close the gap: a later entry of the run moves back into it unless its
  // home slot lies cyclically within (gap, entry].
  for (uint32_t j = i, steps = 0;;) {
    h->nameSlots[i] = 0;
    for (;;) {
      j = (j + 1) & kSlotMask;
      if (++steps > kNameSlots) return;  // a damaged index (rebuilt by repair)
      uint16_t v = h->nameSlots[j];
      if (!v) return;
      uint32_t home = v - 1u < kMaxObjects ? h->nameHash[v - 1u] & kSlotMask : j;
      bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
      if (!stays) break;
    }
    h->nameSlots[i] = h->nameSlots[j];
    i = j;
  }
}

void rebuildIndex(Header* h) {
  std::memset(h->nameSlots, 0, sizeof h->nameSlots);
  for (uint32_t i = 0; i < kMaxObjects; ++i)
    if (h->objs[i].type != OType::Free && h->nameHash[i]) indexInsert(h, i);
}

void freeObj(Header* h, uint32_t idx) {
  Obj& o = h->objs[idx];
  if (h->nameHash[idx]) indexRemove(h, idx);
  if (o.type == OType::Queue && o.qPages) {
    for (uint32_t p = 0; p < o.qPages && o.qFirstPage + p < kArenaPages; ++p) h->pageUsed[o.qFirstPage + p] = 0;
  }
  uint32_t gen = o.gen + 1;
  // The futex words keep counting so that a sleeper never sees an old value again.
  uint32_t seq = o.seq.load() + 1;
  std::memset(reinterpret_cast<char*>(&o) + offsetof(Obj, gen), 0, sizeof(Obj) - offsetof(Obj, gen));
  o.gen = gen;
  o.seq.store(seq);
  h->nameHash[idx] = 0;
}

// A process died inside the lock: make the table consistent again from what
// every record says about itself. Records are filled before they are marked
// in use, so a half-made record is either complete or still free.
void repair(void* p) {
  auto* h = static_cast<Header*>(p);
  std::memset(h->nameSlots, 0, sizeof h->nameSlots);  // rebuilt below from the records
  for (auto& o : h->objs) o.refs = 0;
  for (auto& o : h->objs) {
    if (o.type == OType::Queue) o.readers = o.writers = 0;
  }
  for (auto& hd : h->holds) {
    if (hd.count == 0) continue;
    if (hd.obj >= kMaxObjects || hd.proc >= kMaxProcs || h->objs[hd.obj].type == OType::Free) {
      hd.count = 0;
      continue;
    }
    Obj& o = h->objs[hd.obj];
    o.refs += hd.count;
    if (o.type == OType::Queue) {
      if (hd.end == kReadEnd) o.readers += hd.count;
      if (hd.end == kWriteEnd) o.writers += hd.count;
    }
  }
  for (uint32_t i = 0; i < kMaxObjects; ++i) {
    Obj& o = h->objs[i];
    if (o.type != OType::Free && o.refs == 0) freeObj(h, i);
  }
  std::memset(h->pageUsed, 0, sizeof h->pageUsed);
  for (auto& o : h->objs) {
    if (o.type != OType::Queue) continue;
    if (o.qSlots == 0 || o.qFirstPage + o.qPages > kArenaPages || o.qHead >= o.qSlots || o.qCount > o.qSlots) {
      o.qHead = o.qCount = 0;
    }
    for (uint32_t p = 0; p < o.qPages && o.qFirstPage + p < kArenaPages; ++p) h->pageUsed[o.qFirstPage + p] = 1;
  }
  for (uint32_t i = 0; i < kMaxObjects; ++i)
    if (h->objs[i].type == OType::Free) h->nameHash[i] = 0;
  rebuildIndex(h);
  h->nextDue = INT64_MAX;
  for (auto& t : h->timers) {
    if (t.nameLen > kNameMax) t.nameLen = 0;
    if (t.nameLen && t.due < h->nextDue) h->nextDue = t.due;
  }
  t_repaired = true;
}

struct Registry {
  std::mutex mu;
  std::map<DeviceState*, Seg*> segs;
};
Registry& registry() {
  static auto* r = new Registry;  // outlives static destructors that close handles
  return *r;
}

uint32_t hashName(const char16_t* name, uint32_t len) {
  uint32_t hsh = 2166136261u;
  for (uint32_t i = 0; i < len; ++i) hsh = (hsh ^ name[i]) * 16777619u;
  return hsh | 1;  // 0 marks an unnamed slot
}

void reclaimProc(Locked& L, uint16_t p) {
  Header* h = L.h();
  Proc pr = h->procs[p];
  for (auto& hd : h->holds) {
    if (hd.count == 0 || hd.proc != p) continue;
    uint32_t n = hd.count;
    uint8_t end = hd.end;
    uint32_t idx = hd.obj;
    hd.count = 0;
    Obj& o = h->objs[idx];
    if (o.type == OType::Free) continue;
    if (o.type == OType::Queue) {
      if (end == kReadEnd) o.readers -= std::min(o.readers, n);
      if (end == kWriteEnd) o.writers -= std::min(o.writers, n);
    }
    o.refs -= std::min(o.refs, n);
    L.changed(idx);
    if (o.refs == 0) freeObj(h, idx);
  }
  for (uint32_t i = 0; i < kMaxObjects; ++i) {
    Obj& o = h->objs[i];
    if (o.type == OType::Mutex && o.ownerPid == pr.pid && o.ownerStart == pr.start) {
      o.ownerPid = 0;
      o.ownerTid = 0;
      o.recursion = 0;
      o.abandoned = 1;
      L.changed(i);
    }
  }
  h->procs[p].pid = 0;
}

}  // namespace

int32_t currentTid() {
  static thread_local int32_t tid = static_cast<int32_t>(::syscall(SYS_gettid));
  return tid;
}

// ---- Segment and lock --------------------------------------------------------

Seg* current() {
  DeviceState* d = device();
  if (!d) return nullptr;
  auto& r = registry();
  std::lock_guard g(r.mu);
  auto it = r.segs.find(d);
  if (it != r.segs.end()) return it->second;
  void* base = mapDeviceSegment(d->ceDir + "/kobj", kSegmentSize, &initSegment);
  if (!base) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* s = new Seg;
  s->h = static_cast<Header*>(base);
  s->arena = static_cast<uint8_t*>(base) + kArenaOffset;
  s->me = selfId();
  {
    Locked L(s);
    reapDead(L, true);
    int found = -1;
    for (uint32_t i = 0; i < kMaxProcs; ++i) {
      const Proc& p = s->h->procs[i];
      if (p.pid == s->me.pid && p.start == s->me.start) {
        found = static_cast<int>(i);
        break;
      }
      if (found < 0 && p.pid == 0) found = static_cast<int>(i);
    }
    if (found < 0) {
      SetLastError(ERROR_TOO_MANY_OPEN_FILES);
      return nullptr;  // the segment stays mapped; a later call may find room
    }
    s->self = static_cast<uint16_t>(found);
    s->h->procs[found].start = s->me.start;
    s->h->procs[found].pid = s->me.pid;
  }
  r.segs[d] = s;
  return s;
}

Locked::Locked(Seg* s) : s_(s) { relock(); }

Locked::~Locked() {
  if (held_) unlock();
}

void Locked::relock() {
  t_repaired = false;
  lockShared(&s_->h->lock, &repair, s_->h);
  held_ = true;
  if (t_repaired) wakeAll_ = true;
  fireDueTimers(*this);
}

void Locked::unlock() {
  unlockShared(&s_->h->lock);
  held_ = false;
  flushWakes();
}

void Locked::changed(uint32_t idx) {
  Obj& o = s_->h->objs[idx];
  o.seq.fetch_add(1, std::memory_order_relaxed);
  s_->h->globalSeq.fetch_add(1, std::memory_order_relaxed);
  for (uint32_t i = 0; i < nWakes_; ++i)
    if (wakes_[i] == idx) return;
  if (nWakes_ < std::size(wakes_))
    wakes_[nWakes_++] = idx;
  else
    wakeAll_ = true;
}

void Locked::flushWakes() {
  Header* h = s_->h;
  if (wakeAll_) {
    for (auto& o : h->objs) {
      o.seq.fetch_add(1);
      if (o.waiters.load()) futexWake(&o.seq);
    }
    h->globalSeq.fetch_add(1);
    futexWake(&h->globalSeq);
  } else {
    bool global = wakeGlobal_;
    for (uint32_t i = 0; i < nWakes_; ++i) {
      Obj& o = h->objs[wakes_[i]];
      if (o.waiters.load()) futexWake(&o.seq);
      if (o.anyWaiters.load()) global = true;
    }
    if (global && h->globalWaiters.load()) futexWake(&h->globalSeq);
  }
  nWakes_ = 0;
  wakeAll_ = false;
  wakeGlobal_ = false;
}

// ---- Table -----------------------------------------------------------------

bool checkName(LPCWSTR name, uint32_t& len) {
  len = 0;
  if (!name) return true;
  while (name[len]) {
    if (++len > kNameMax) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
  }
  return true;
}

static bool inClass(OType t, NameClass cls) {
  if (cls == NameClass::Queue) return t == OType::Queue;
  return t == OType::Event || t == OType::Mutex || t == OType::Semaphore;
}

uint32_t findNamed(Locked& L, const char16_t* name, uint32_t len, NameClass cls) {
  Header* h = L.h();
  uint32_t hsh = hashName(name, len);
  for (uint32_t n = 0, s = hsh & kSlotMask; n < kNameSlots; ++n, s = (s + 1) & kSlotMask) {
    uint16_t v = h->nameSlots[s];
    if (!v) break;
    uint32_t i = v - 1u;
    if (i >= kMaxObjects || h->nameHash[i] != hsh) continue;
    const Obj& o = h->objs[i];
    if (o.nameLen != len || !inClass(o.type, cls)) continue;
    if (std::memcmp(o.name, name, len * sizeof(char16_t)) != 0) continue;
    return i;
  }
  return kNone;
}

uint32_t allocObj(Locked& L, OType type, const char16_t* name, uint32_t len, End end) {
  Header* h = L.h();
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t n = 0; n < kMaxObjects; ++n) {
      uint32_t i = (h->allocHint + n) % kMaxObjects;
      Obj& o = h->objs[i];
      if (o.type != OType::Free) continue;
      freeObj(h, i);  // clean slate (gen and seq keep counting)
      o.nameLen = len;
      if (len) std::memcpy(o.name, name, len * sizeof(char16_t));
      o.type = type;
      h->nameHash[i] = len ? hashName(name, len) : 0;
      if (len) indexInsert(h, i);
      if (!addHold(L, i, end)) {
        freeObj(h, i);
        return kNone;
      }
      h->allocHint = (i + 1) % kMaxObjects;
      return i;
    }
    reapDead(L, true);  // the table is full: maybe of dead processes' objects
  }
  SetLastError(ERROR_OUTOFMEMORY);
  return kNone;
}

namespace {

uint64_t holdKey(uint32_t idx, End end) { return (static_cast<uint64_t>(idx) << 8) | end; }

// This process's hold on (idx, end), or nullptr.
Hold* findHold(Locked& L, uint32_t idx, End end) {
  Header* h = L.h();
  Seg* s = L.seg();
  auto mine = [&](const Hold& hd) { return hd.count && hd.obj == idx && hd.proc == s->self && hd.end == end; };
  auto it = s->holdAt.find(holdKey(idx, end));
  if (it != s->holdAt.end()) {
    if (it->second < kMaxHolds && mine(h->holds[it->second])) return &h->holds[it->second];
    s->holdAt.erase(it);
  }
  for (uint32_t i = 0; i < kMaxHolds; ++i)
    if (mine(h->holds[i])) {
      s->holdAt[holdKey(idx, end)] = i;
      return &h->holds[i];
    }
  return nullptr;
}

// Holds are made only by addHold, which notes each in holdAt, and never
// move: a hold of this process missing from holdAt does not exist.
bool mayHold(Locked& L, uint32_t idx, End end) { return L.seg()->holdAt.count(holdKey(idx, end)) != 0; }

}  // namespace

bool addHold(Locked& L, uint32_t idx, End end) {
  Header* h = L.h();
  Seg* s = L.seg();
  Hold* slot = mayHold(L, idx, end) ? findHold(L, idx, end) : nullptr;
  if (slot) {
    if (slot->count == UINT32_MAX) slot = nullptr;
  } else {
    for (uint32_t n = 0; n < kMaxHolds; ++n) {
      uint32_t i = (s->freeHoldHint + n) % kMaxHolds;
      if (h->holds[i].count) continue;
      slot = &h->holds[i];
      slot->obj = idx;
      slot->proc = s->self;
      slot->end = end;
      s->freeHoldHint = (i + 1) % kMaxHolds;
      s->holdAt[holdKey(idx, end)] = i;
      break;
    }
  }
  if (!slot) {
    SetLastError(ERROR_OUTOFMEMORY);
    return false;
  }
  ++slot->count;
  Obj& o = h->objs[idx];
  ++o.refs;
  if (end == kReadEnd) ++o.readers;
  if (end == kWriteEnd) ++o.writers;
  if (end != kNoEnd) L.changed(idx);
  return true;
}

void dropHold(Locked& L, uint32_t idx, End end) {
  Header* h = L.h();
  Hold* hd = findHold(L, idx, end);
  if (!hd) return;
  if (--hd->count == 0) {
    L.seg()->holdAt.erase(holdKey(idx, end));
    L.seg()->freeHoldHint = static_cast<uint32_t>(hd - h->holds);
  }
  Obj& o = h->objs[idx];
  if (end == kReadEnd && o.readers) --o.readers;
  if (end == kWriteEnd && o.writers) --o.writers;
  if (o.refs) --o.refs;
  L.changed(idx);
  if (o.refs == 0) freeObj(h, idx);
}

void reapDead(Locked& L, bool force) {
  Header* h = L.h();
  int64_t now = clock::hostMonotonicNs();
  if (!force && now - h->lastReapNs < kReapMinGapNs) return;
  h->lastReapNs = now;
  const ProcId me = L.seg()->me;
  for (uint16_t p = 0; p < kMaxProcs; ++p) {
    const Proc& pr = h->procs[p];
    if (pr.pid == 0 || (pr.pid == me.pid && pr.start == me.start)) continue;
    if (!procAlive(ProcId{pr.pid, pr.start})) reclaimProc(L, p);
  }
}

void reapHoldersOf(Locked& L, uint32_t idx) {
  Header* h = L.h();
  // Nothing to look for when every reference is this process's own (two
  // threads of one scanner sharing the guard's queue).
  uint32_t mine = 0;
  for (End e : {kNoEnd, kReadEnd, kWriteEnd})
    if (mayHold(L, idx, e))
      if (Hold* hd = findHold(L, idx, e)) mine += hd->count;
  if (h->objs[idx].refs <= mine) return;
  bool checked[kMaxProcs] = {};
  checked[L.seg()->self] = true;
  for (auto& hd : h->holds) {
    if (hd.count == 0 || hd.obj != idx || hd.proc >= kMaxProcs || checked[hd.proc]) continue;
    checked[hd.proc] = true;
    const Proc& pr = h->procs[hd.proc];
    if (pr.pid == 0 || !procAlive(ProcId{pr.pid, pr.start})) reclaimProc(L, hd.proc);
  }
}

void abandonMutexesOf(Locked& L, int32_t tid) {
  Header* h = L.h();
  const ProcId me = L.seg()->me;
  for (uint32_t i = 0; i < kMaxObjects; ++i) {
    Obj& o = h->objs[i];
    if (o.type == OType::Mutex && o.ownerPid == me.pid && o.ownerStart == me.start && (tid == 0 || o.ownerTid == tid)) {
      o.ownerPid = 0;
      o.ownerTid = 0;
      o.recursion = 0;
      o.abandoned = 1;
      L.changed(i);
    }
  }
}

bool queueBroken(const Obj& o, End end) {
  if (o.qFlags & MSGQUEUE_ALLOW_BROKEN) return false;
  return end == kReadEnd ? o.writers == 0 : o.readers == 0;
}

uint8_t* queueData(Seg* s, const Obj& o) { return s->arena + static_cast<size_t>(o.qFirstPage) * kPageSize; }

// ---- Timers ------------------------------------------------------------------

void fireDueTimers(Locked& L) {
  Header* h = L.h();
  if (h->nextDue == INT64_MAX) return;
  int64_t now = clock::deviceNow100ns();
  if (now < h->nextDue) return;
  int64_t next = INT64_MAX;
  for (auto& t : h->timers) {
    if (t.nameLen == 0) continue;
    if (t.due <= now) {
      uint32_t idx = findNamed(L, t.name, t.nameLen, NameClass::Sync);
      if (idx != kNone && h->objs[idx].type == OType::Event) {
        h->objs[idx].signalled = 1;
        L.changed(idx);
      }
      t.nameLen = 0;
    } else if (t.due < next) {
      next = t.due;
    }
  }
  h->nextDue = next;
}

// ---- Sleeping --------------------------------------------------------------------

bool sleepLocked(Locked& L, uint32_t idx, int64_t deadlineNs, uint32_t flags, int64_t& nextReapNs) {
  Header* h = L.h();
  int64_t now = clock::hostMonotonicNs();
  if ((flags & kPeerCheck) && nextReapNs == 0) {
    // First time this wait is blocked: the peer may have died long ago, and
    // a zero time-out must see that too.
    reapDead(L, true);
    nextReapNs = now + kPeerCheckNs;
    return true;
  }
  if (now >= deadlineNs) return false;
  int64_t until = deadlineNs;
  if (flags & kPeerCheck) until = std::min(until, nextReapNs);
  if (flags & kPollProcs) until = std::min(until, now + kProcPollNs);
  if (h->nextDue != INT64_MAX) {
    int64_t left100ns = h->nextDue - clock::deviceNow100ns();
    double speed = GetClockSpeed();
    int64_t hostNs = left100ns <= 0 ? 0 : static_cast<int64_t>(static_cast<double>(left100ns) * 100.0 / speed);
    until = std::min(until, now + std::min(hostNs + 1000, kTimerChunkNs));
  }
  std::atomic<uint32_t>* word = idx == kNone ? &h->globalSeq : &h->objs[idx].seq;
  std::atomic<uint32_t>* waiters = idx == kNone ? &h->globalWaiters : &h->objs[idx].waiters;
  uint32_t val = word->load();
  waiters->fetch_add(1);
  L.unlock();
  futexWaitUntil(word, val, until);
  waiters->fetch_sub(1);
  L.relock();
  if ((flags & kPeerCheck) && clock::hostMonotonicNs() >= nextReapNs) {
    reapDead(L, false);
    nextReapNs = clock::hostMonotonicNs() + kPeerCheckNs;
  }
  return true;
}

// ---- Mutex owners that end -------------------------------------------------------

namespace {
struct OwnerHook {
  Seg* segs[8] = {};
  ~OwnerHook() {
    int32_t tid = currentTid();
    for (Seg* s : segs) {
      if (!s) continue;
      Locked L(s);
      abandonMutexesOf(L, tid);
    }
  }
};
thread_local OwnerHook t_ownerHook;
}  // namespace

void noteMutexOwner(Seg* s) {
  for (Seg*& slot : t_ownerHook.segs) {
    if (slot == s) return;
    if (!slot) {
      slot = s;
      return;
    }
  }
}

// ---- Handles ---------------------------------------------------------------------

KHandle::~KHandle() {
  Locked L(seg);
  if (alive(L, *this)) dropHold(L, idx, end);
}

std::shared_ptr<KHandle> getHandle(HANDLE h, Kind k) {
  auto p = handleGetAs<KHandle>(h, k);
  if (!p) SetLastError(ERROR_INVALID_HANDLE);
  return p;
}

HANDLE makeHandle(Kind k, Seg* s, uint32_t idx, uint32_t gen, End end) {
  // On failure the KHandle's destructor drops the reference again.
  return handleInsert(std::make_shared<KHandle>(k, s, idx, gen, end));
}

}  // namespace ce::detail::kobj

namespace ce::diag {

void LockKernelObjectsAndKeep() {
  using namespace ce::detail::kobj;
  Seg* s = current();
  if (!s) return;
  ce::detail::lockShared(&s->h->lock, nullptr, nullptr);
}

}  // namespace ce::diag
