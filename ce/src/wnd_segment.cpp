// The window manager's segment: mapping, the lock, handles, owners that end,
// and the per-thread message queues.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "ce/base.h"
#include "ce/time.h"
#include "device_settings.h"
#include "kobj.h"
#include "wnd.h"
#include "wnd_local.h"

namespace ce::detail::wnd {
namespace {

constexpr uint64_t kMagic = 0x31444E574E58584Eull;  // "NXXNWND1"
constexpr int64_t kReapMinGapNs = 20'000'000;

std::string g_initCeDir;  // the device whose segment is being set up

void initSegment(void* base, size_t) {
  auto* h = static_cast<Header*>(base);
  h->magic = kMagic;
  initSharedMutex(&h->lock);
  std::string dpi = settingsGet(g_initCeDir, "screen_dpi");
  h->dpi = dpi == "192" ? 192 : 96;
  h->landscape = settingsGet(g_initCeDir, "screen_orientation") == "landscape" ? 1 : 0;
}

// A process died holding the lock: every record is complete or unused (a
// record is filled before it is marked used), so only the counters that
// index into arrays need to be brought back in range.
void repair(void* p) {
  auto* h = static_cast<Header*>(p);
  for (auto& q : h->queues) {
    if (q.head >= kQueueSlots || q.count > kQueueSlots) q.head = q.count = 0;
    if (q.sentHead >= kSentRing || q.sentCount > kSentRing) q.sentHead = q.sentCount = 0;
  }
  for (auto& w : h->wins) {
    if (w.parent > kMaxWindows) w.parent = 0;
    if (w.queue >= kMaxQueues) w.used = 0;
    if (w.textLen >= kTextMax) w.textLen = 0;
    if (w.classLen >= kClassMax) w.classLen = 0;
  }
  if (h->dpi != 96 && h->dpi != 192) h->dpi = 96;
}

void futexWake(std::atomic<uint32_t>* w) {
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(w), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

struct Registry {
  std::mutex mu;
  std::map<DeviceState*, Seg*> segs;
};
Registry& registry() {
  static auto* r = new Registry;  // outlives static destructors that end threads
  return *r;
}

// The calling thread's queues (one per device it has used) and the journal
// lines it owes once it lets the lock go.
struct ThreadQueues {
  struct Entry {
    Seg* seg;
    uint32_t q;
    uint32_t gen;
  };
  std::vector<Entry> entries;
  std::vector<std::pair<std::string, std::string>> pendingJournal;  // folder, line
  ~ThreadQueues();
};
thread_local ThreadQueues t_queues;

}  // namespace

Seg* current() {
  DeviceState* d = device();
  if (!d) return nullptr;
  auto& r = registry();
  std::lock_guard g(r.mu);
  auto it = r.segs.find(d);
  if (it != r.segs.end()) return it->second;
  g_initCeDir = d->ceDir;
  void* base = mapDeviceSegment(d->ceDir + "/windows", sizeof(Header), &initSegment);
  if (!base) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto* s = new Seg;  // never freed: handles of a device left behind still point at it
  s->h = static_cast<Header*>(base);
  s->me = selfId();
  s->ceDir = d->ceDir;
  r.segs[d] = s;
  return s;
}

// ---- Lock --------------------------------------------------------------------------

Locked::Locked(Seg* s) : s_(s) { relock(); }

Locked::~Locked() {
  if (held_) unlock();
}

void Locked::relock() {
  lockShared(&s_->h->lock, &repair, s_->h);
  held_ = true;
}

void Locked::unlock() {
  Header* h = s_->h;
  unlockShared(&h->lock);
  held_ = false;
  if (wakeAll_) {
    for (auto& q : h->queues)
      if (q.waiters.load()) futexWake(&q.seq);
  } else {
    for (uint32_t i = 0; i < nWakes_; ++i)
      if (h->queues[wakes_[i]].waiters.load()) futexWake(&h->queues[wakes_[i]].seq);
  }
  nWakes_ = 0;
  wakeAll_ = false;
  if (!t_queues.pendingJournal.empty()) {
    std::vector<std::pair<std::string, std::string>> lines;
    lines.swap(t_queues.pendingJournal);
    for (auto& [dir, line] : lines) journalLine(dir, line);
  }
}

void Locked::wake(uint32_t q) {
  if (q >= kMaxQueues) return;
  s_->h->queues[q].seq.fetch_add(1);
  for (uint32_t i = 0; i < nWakes_; ++i)
    if (wakes_[i] == q) return;
  if (nWakes_ < std::size(wakes_))
    wakes_[nWakes_++] = q;
  else
    wakeAll_ = true;
}

void queueJournalLine(Seg* s, std::string line) { t_queues.pendingJournal.emplace_back(s->ceDir, std::move(line)); }

// ---- Handles -------------------------------------------------------------------------

uint32_t resolve(Locked& L, HWND hwnd) {
  const uintptr_t raw = reinterpret_cast<uintptr_t>(hwnd);
  const uint32_t v = static_cast<uint32_t>(raw);
  const uint32_t slot = (v & 0xFFFF) - 1;
  Header* h = L.h();
  if (raw == 0 || raw > 0x7FFFFFFF || slot >= kMaxWindows || !h->wins[slot].used ||
      genTag(h->wins[slot].gen) != (v >> 16)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return kNone;
  }
  const Win& w = h->wins[slot];
  const ProcId me = L.seg()->me;
  if ((w.pid != me.pid || w.start != me.start) && !procAlive(ProcId{w.pid, w.start})) {
    reapProcess(L, w.pid, w.start);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return kNone;
  }
  return slot;
}

bool mine(Locked& L, uint32_t slot) {
  const Win& w = L.h()->wins[slot];
  return w.pid == L.seg()->me.pid && w.start == L.seg()->me.start;
}

bool ownThread(Locked& L, uint32_t slot) { return mine(L, slot) && L.h()->wins[slot].tid == kobj::currentTid(); }

uint32_t topOf(const Header* h, uint32_t slot) {
  for (uint32_t n = 0; n < kMaxWindows && h->wins[slot].parent; ++n) slot = h->wins[slot].parent - 1;
  return slot;
}

// ---- Owners ----------------------------------------------------------------------------

namespace {

void freeSend(Header* h, uint32_t i) {
  Send& s = h->sends[i];
  uint32_t gen = s.gen + 1;
  std::memset(&s, 0, offsetof(Send, text));
  s.gen = gen;
  s.state = SendState::Free;
}

void removeFromRing(Queue& q, uint32_t sendIdx) {
  for (uint32_t i = 0; i < q.sentCount; ++i) {
    if (q.sent[(q.sentHead + i) % kSentRing] != sendIdx) continue;
    for (uint32_t j = i; j + 1 < q.sentCount; ++j)
      q.sent[(q.sentHead + j) % kSentRing] = q.sent[(q.sentHead + j + 1) % kSentRing];
    --q.sentCount;
    return;
  }
}

}  // namespace

void freeWindow(Locked& L, uint32_t slot) {
  Header* h = L.h();
  Win& w = h->wins[slot];
  uint32_t gen = w.gen + 1;
  std::memset(&w, 0, offsetof(Win, cls));
  w.gen = gen;
}

void reapProcess(Locked& L, int32_t pid, uint64_t start) {
  Header* h = L.h();
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    Win& w = h->wins[i];
    if (!w.used || w.pid != pid || w.start != start) continue;
    if (!w.parent && w.visible) journalWindow(L, i, "destroy");
  }
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    Win& w = h->wins[i];
    if (w.used && w.pid == pid && w.start == start) freeWindow(L, i);
  }
  for (uint32_t i = 0; i < kMaxSends; ++i) {
    Send& s = h->sends[i];
    if (s.state == SendState::Free || s.senderPid != pid || s.senderStart != start) continue;
    if (s.state == SendState::Pending) {
      if (s.receiverQueue < kMaxQueues) removeFromRing(h->queues[s.receiverQueue], i);
      freeSend(h, i);
    } else if (s.state == SendState::Taken) {
      s.state = SendState::Abandoned;
    } else if (s.state == SendState::Answered) {
      freeSend(h, i);
    }
  }
  for (uint32_t q = 0; q < kMaxQueues; ++q) {
    Queue& Q = h->queues[q];
    if (Q.used && Q.pid == pid && Q.start == start) freeQueue(L, q);
  }
}

void reapDead(Locked& L, bool force) {
  Header* h = L.h();
  int64_t now = clock::hostMonotonicNs();
  if (!force && now - h->lastReapNs < kReapMinGapNs) return;
  h->lastReapNs = now;
  const ProcId me = L.seg()->me;
  std::vector<ProcId> seen;
  auto check = [&](int32_t pid, uint64_t start) {
    if (pid == me.pid && start == me.start) return;
    for (auto& p : seen)
      if (p.pid == pid && p.start == start) return;
    seen.push_back(ProcId{pid, start});
    if (!procAlive(ProcId{pid, start})) reapProcess(L, pid, start);
  };
  for (uint32_t i = 0; i < kMaxWindows; ++i)
    if (h->wins[i].used) check(h->wins[i].pid, h->wins[i].start);
  for (uint32_t q = 0; q < kMaxQueues; ++q)
    if (h->queues[q].used) check(h->queues[q].pid, h->queues[q].start);
  for (uint32_t i = 0; i < kMaxSends; ++i)
    if (h->sends[i].state != SendState::Free) check(h->sends[i].senderPid, h->sends[i].senderStart);
}

// ---- Queues --------------------------------------------------------------------------------

// A thread that ends takes its windows and its queue with it, as on the
// handset: nothing can be posted to a window nobody will ever read.
ThreadQueues::~ThreadQueues() {
  const int32_t tid = kobj::currentTid();
  for (auto& e : entries) {
    std::vector<uint32_t> gone;
    {
      Locked L(e.seg);
      Header* h = L.h();
      const ProcId me = e.seg->me;
      for (uint32_t i = 0; i < kMaxWindows; ++i) {
        Win& w = h->wins[i];
        if (!w.used || w.pid != me.pid || w.start != me.start || w.tid != tid) continue;
        if (!w.parent && w.visible) journalWindow(L, i, "destroy");
      }
      for (uint32_t i = 0; i < kMaxWindows; ++i) {
        Win& w = h->wins[i];
        if (!w.used || w.pid != me.pid || w.start != me.start || w.tid != tid) continue;
        gone.push_back(handleValue(i, w.gen));
        freeWindow(L, i);
      }
      Queue& Q = h->queues[e.q];
      if (Q.used && Q.gen == e.gen && Q.pid == me.pid && Q.tid == tid) freeQueue(L, e.q);
    }
    for (uint32_t v : gone) localErase(e.seg, v);
  }
}

uint32_t myQueue(Locked& L) {
  Seg* s = L.seg();
  Header* h = L.h();
  const int32_t tid = kobj::currentTid();
  for (auto& e : t_queues.entries) {
    if (e.seg != s) continue;
    const Queue& Q = h->queues[e.q];
    if (Q.used && Q.gen == e.gen && Q.pid == s->me.pid && Q.start == s->me.start && Q.tid == tid) return e.q;
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t q = 0; q < kMaxQueues; ++q) {
      Queue& Q = h->queues[q];
      if (Q.used) continue;
      Q.pid = s->me.pid;
      Q.start = s->me.start;
      Q.tid = tid;
      Q.head = Q.count = 0;
      Q.sentHead = Q.sentCount = 0;
      Q.quit = 0;
      Q.quitCode = 0;
      std::u16string image = programPath();
      std::memset(Q.image, 0, sizeof Q.image);
      std::memcpy(Q.image, image.data(), std::min<size_t>(image.size(), MAX_PATH - 1) * sizeof(char16_t));
      Q.used = 1;
      bool noted = false;
      for (auto& e : t_queues.entries)
        if (e.seg == s) {
          e.q = q;
          e.gen = Q.gen;
          noted = true;
        }
      if (!noted) t_queues.entries.push_back({s, q, Q.gen});
      return q;
    }
    reapDead(L, true);
  }
  SetLastError(ERROR_NOT_ENOUGH_QUOTA);
  return kNone;
}

bool queueAlive(Locked& L, uint32_t q, uint32_t gen) {
  if (q >= kMaxQueues) return false;
  Queue& Q = L.h()->queues[q];
  if (!Q.used || Q.gen != gen) return false;
  const ProcId me = L.seg()->me;
  if (Q.pid == me.pid && Q.start == me.start) return true;
  if (procAlive(ProcId{Q.pid, Q.start})) return true;
  reapProcess(L, Q.pid, Q.start);
  return false;
}

void freeQueue(Locked& L, uint32_t q) {
  Header* h = L.h();
  Queue& Q = h->queues[q];
  // Whoever still waits for an answer from this thread gets 0 now.
  for (uint32_t i = 0; i < Q.sentCount; ++i) {
    uint32_t idx = Q.sent[(Q.sentHead + i) % kSentRing];
    if (idx >= kMaxSends) continue;
    Send& s = h->sends[idx];
    if (s.state != SendState::Pending) continue;
    s.state = SendState::Answered;
    s.result = 0;
    s.failed = 1;
    L.wake(s.senderQueue);
  }
  Q.used = 0;
  Q.gen += 1;
  Q.head = Q.count = 0;
  Q.sentHead = Q.sentCount = 0;
  Q.quit = 0;
  L.wake(q);
}

bool postLocked(Locked& L, uint32_t q, uint32_t hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Queue& Q = L.h()->queues[q];
  if (Q.count >= kQueueSlots) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return false;
  }
  Posted& p = ringOf(L.h(), Q)[(Q.head + Q.count) % kQueueSlots];
  p.hwnd = hwnd;
  p.msg = msg;
  p.wParam = static_cast<uint64_t>(wParam);
  p.lParam = static_cast<uint64_t>(lParam);
  p.time = GetTickCount();
  p.reserved = 0;
  ++Q.count;
  L.wake(q);
  return true;
}

// Sends live in the segment; these helpers are for thread_queue.cpp.
void sendFree(Locked& L, uint32_t i) { freeSend(L.h(), i); }
void sendUnlink(Locked& L, uint32_t i) {
  Send& s = L.h()->sends[i];
  if (s.receiverQueue < kMaxQueues) removeFromRing(L.h()->queues[s.receiverQueue], i);
}

}  // namespace ce::detail::wnd
