// Posting, sending and taking messages. A posted message goes into the ring
// of the window's thread; a sent message to another thread is a record in the
// segment named in that thread's ring of sent messages, handled before any
// posted message the next time the thread looks at its queue, and answered
// into the record, which wakes the sender.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "ce/base.h"
#include "ce/text.h"
#include "ce/time.h"
#include "kobj.h"
#include "wnd.h"
#include "wnd_local.h"

namespace ce::detail::wnd {
namespace {

constexpr int64_t kPeerCheckNs = 100'000'000;  // how often a sender looks whether the receiver still lives

void futexWaitUntil(std::atomic<uint32_t>* w, uint32_t val, int64_t untilNs) {
  timespec ts{};
  timespec* tp = nullptr;
  if (untilNs != INT64_MAX) {
    ts.tv_sec = static_cast<time_t>(untilNs / 1000000000);
    ts.tv_nsec = static_cast<long>(untilNs % 1000000000);
    tp = &ts;
  }
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(w), FUTEX_WAIT_BITSET, val, tp, nullptr, FUTEX_BITSET_MATCH_ANY);
}

// Sleeps on queue q's word until it changes or untilNs passes; the lock is
// let go meanwhile.
void sleepOn(Locked& L, uint32_t q, int64_t untilNs) {
  Queue& Q = L.h()->queues[q];
  uint32_t val = Q.seq.load();
  Q.waiters.fetch_add(1);
  L.unlock();
  futexWaitUntil(&Q.seq, val, untilNs);
  Q.waiters.fetch_sub(1);
  L.relock();
}

// Pointers in these messages' parameters mean nothing in another process.
bool carriesPointer(UINT msg) { return msg == WM_SETTEXT || msg == WM_GETTEXT || msg == WM_CREATE; }

bool inRange(UINT msg, UINT lo, UINT hi) { return (lo == 0 && hi == 0) || (msg >= lo && msg <= hi); }

// Whether posted message p passes a window filter (the window and its children).
bool matchesWindow(const Header* h, uint32_t value, uint32_t filterSlot) {
  if (filterSlot == kNone) return true;
  uint32_t slot = (value & 0xFFFF) - 1;
  if (value == 0 || slot >= kMaxWindows) return false;
  for (uint32_t n = 0; n < kMaxWindows; ++n) {
    const Win& w = h->wins[slot];
    if (!w.used) return false;
    if (slot == filterSlot) return true;
    if (!w.parent) return false;
    slot = w.parent - 1;
  }
  return false;
}

bool windowExists(const Header* h, uint32_t value) {
  uint32_t slot = (value & 0xFFFF) - 1;
  return value != 0 && slot < kMaxWindows && h->wins[slot].used && genTag(h->wins[slot].gen) == (value >> 16);
}

void fill(LPMSG out, const Posted& p) {
  out->hwnd = toHwnd(p.hwnd);
  out->message = p.msg;
  out->wParam = static_cast<WPARAM>(p.wParam);
  out->lParam = static_cast<LPARAM>(p.lParam);
  out->time = p.time;
  out->pt = POINT{0, 0};
}

// Takes (or only reads) the oldest posted message matching the filter.
// Messages for windows destroyed since they were posted are dropped.
bool takePosted(Locked& L, uint32_t q, uint32_t filterSlot, UINT lo, UINT hi, bool remove, LPMSG out) {
  Header* h = L.h();
  Queue& Q = h->queues[q];
  for (uint32_t i = 0; i < Q.count;) {
    Posted* ring = ringOf(h, Q);
    Posted& p = ring[(Q.head + i) % kQueueSlots];
    const bool stale = p.hwnd != 0 && !windowExists(h, p.hwnd);
    const bool match = !stale && inRange(p.msg, lo, hi) &&
                       (filterSlot == kNone || (p.hwnd != 0 && matchesWindow(h, p.hwnd, filterSlot)));
    if (!stale && !match) {
      ++i;
      continue;
    }
    if (match) fill(out, p);
    if (stale || remove) {
      if (i == 0) {
        Q.head = (Q.head + 1) % kQueueSlots;
      } else {
        for (uint32_t j = i; j + 1 < Q.count; ++j)
          ring[(Q.head + j) % kQueueSlots] = ring[(Q.head + j + 1) % kQueueSlots];
      }
      --Q.count;
    }
    if (match) return true;
  }
  return false;
}

bool takeQuit(Queue& Q, bool remove, LPMSG out) {
  if (!Q.quit) return false;
  out->hwnd = nullptr;
  out->message = WM_QUIT;
  out->wParam = static_cast<WPARAM>(Q.quitCode);
  out->lParam = 0;
  out->time = GetTickCount();
  out->pt = POINT{0, 0};
  if (remove) Q.quit = 0;
  return true;
}

}  // namespace

LRESULT callProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Seg* s = current();
  if (!s) return 0;
  auto lw = localGet(s, hwndValue(hwnd));
  if (!lw || !lw->proc) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return lw->proc(hwnd, msg, wParam, lParam);
}

bool handleSent(Seg* s, uint32_t q) {
  bool any = false;
  for (;;) {
    Locked L(s);
    Header* h = L.h();
    Queue& Q = h->queues[q];
    if (!Q.used || Q.sentCount == 0) return any;
    const uint32_t idx = Q.sent[Q.sentHead];
    Q.sentHead = (Q.sentHead + 1) % kSentRing;
    --Q.sentCount;
    if (idx >= kMaxSends || h->sends[idx].state != SendState::Pending) continue;
    any = true;
    Send& sd = h->sends[idx];
    sd.state = SendState::Taken;
    const uint32_t gen = sd.gen;
    const HWND hwnd = toHwnd(sd.hwnd);
    const UINT msg = sd.msg;
    WPARAM wParam = static_cast<WPARAM>(sd.wParam);
    LPARAM lParam = static_cast<LPARAM>(sd.lParam);
    const Marshal marshal = sd.marshal;
    std::vector<char16_t> text;
    if (marshal == Marshal::SetText) {
      text.assign(sd.text, sd.text + std::min(sd.textLen, kTextMax - 1));
      text.push_back(0);
      lParam = reinterpret_cast<LPARAM>(text.data());
    } else if (marshal == Marshal::GetText) {
      wParam = std::min<WPARAM>(wParam, kTextMax);
      text.assign(kTextMax, 0);
      lParam = reinterpret_cast<LPARAM>(text.data());
    }
    const bool exists = windowExists(h, sd.hwnd);
    L.unlock();
    LRESULT r = exists ? callProc(hwnd, msg, wParam, lParam) : 0;
    L.relock();
    Send& done = h->sends[idx];
    if (done.gen != gen) continue;  // reaped meanwhile
    if (done.state == SendState::Abandoned) {
      sendFree(L, idx);
      continue;
    }
    done.result = r;
    if (marshal == Marshal::GetText) {
      size_t n = std::min<size_t>(wcslen16(text.data()), kTextMax - 1);
      std::memcpy(done.text, text.data(), n * sizeof(char16_t));
      done.textLen = static_cast<uint32_t>(n);
    }
    done.state = SendState::Answered;
    L.wake(done.senderQueue);
  }
}

namespace {

// One send to a window of another thread. False with the last error set
// when no answer can come (ERROR_INVALID_WINDOW_HANDLE) or came too late
// (ERROR_TIMEOUT).
bool sendAcross(Seg* s, uint32_t slot, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs,
                LRESULT& result) {
  Locked L(s);
  Header* h = L.h();
  if (!h->wins[slot].used || hwndOf(h, slot) != hwnd) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
  }
  const uint32_t me = myQueue(L);
  if (me == kNone) return false;
  const uint32_t rq = h->wins[slot].queue;
  Queue& R = h->queues[rq];
  if (R.sentCount >= kSentRing) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return false;
  }
  uint32_t idx = kNone;
  for (uint32_t i = 0; i < kMaxSends; ++i)
    if (h->sends[i].state == SendState::Free) {
      idx = i;
      break;
    }
  if (idx == kNone) {
    reapDead(L, true);
    for (uint32_t i = 0; i < kMaxSends && idx == kNone; ++i)
      if (h->sends[i].state == SendState::Free) idx = i;
  }
  if (idx == kNone) {
    SetLastError(ERROR_NOT_ENOUGH_QUOTA);
    return false;
  }
  Send& sd = h->sends[idx];
  sd.marshal = Marshal::None;
  sd.failed = 0;
  sd.senderQueue = me;
  sd.senderQueueGen = h->queues[me].gen;
  sd.senderPid = s->me.pid;
  sd.senderStart = s->me.start;
  sd.receiverQueue = rq;
  sd.receiverQueueGen = R.gen;
  sd.hwnd = hwndValue(hwnd);
  sd.msg = msg;
  sd.wParam = wParam;
  sd.lParam = static_cast<uint64_t>(lParam);
  sd.result = 0;
  sd.textLen = 0;
  const bool across = !mine(L, slot);
  if (across && msg == WM_SETTEXT) {
    sd.marshal = Marshal::SetText;
    const auto* text = reinterpret_cast<const char16_t*>(lParam);
    size_t n = text ? std::min<size_t>(wcslen16(text), kTextMax - 1) : 0;
    if (n) std::memcpy(sd.text, text, n * sizeof(char16_t));
    sd.textLen = static_cast<uint32_t>(n);
  } else if (across && msg == WM_GETTEXT) {
    sd.marshal = Marshal::GetText;
  } else if (across && carriesPointer(msg)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const uint32_t gen = sd.gen;
  sd.state = SendState::Pending;
  R.sent[(R.sentHead + R.sentCount) % kSentRing] = idx;
  ++R.sentCount;
  L.wake(rq);

  const int64_t deadline = clock::hostDeadlineNs(timeoutMs);
  int64_t nextCheck = clock::hostMonotonicNs() + kPeerCheckNs;
  for (;;) {
    Send& cur = h->sends[idx];
    if (cur.gen != gen) {  // freed by a reaper that thought us dead: cannot happen to a live sender
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return false;
    }
    if (cur.state == SendState::Answered) {
      const bool failed = cur.failed;
      result = static_cast<LRESULT>(cur.result);
      if (cur.marshal == Marshal::GetText && !failed && lParam) {
        size_t cap = std::min<size_t>(wParam, kTextMax);
        if (cap) {
          size_t n = std::min<size_t>(cur.textLen, cap - 1);
          auto* out = reinterpret_cast<char16_t*>(lParam);
          std::memcpy(out, cur.text, n * sizeof(char16_t));
          out[n] = 0;
          result = static_cast<LRESULT>(n);
        }
      }
      sendFree(L, idx);
      if (failed) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
      }
      return true;
    }
    if (h->queues[me].sentCount) {
      L.unlock();
      handleSent(s, me);
      L.relock();
      continue;
    }
    const int64_t now = clock::hostMonotonicNs();
    if (now >= nextCheck) {
      nextCheck = now + kPeerCheckNs;
      if (!queueAlive(L, rq, cur.receiverQueueGen)) {
        if (h->sends[idx].gen == gen) {
          sendUnlink(L, idx);
          sendFree(L, idx);
        }
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
      }
      continue;
    }
    if (now >= deadline) {
      if (cur.state == SendState::Pending) {
        sendUnlink(L, idx);
        sendFree(L, idx);
      } else {
        cur.state = SendState::Abandoned;  // its handler frees it when done
      }
      SetLastError(ERROR_TIMEOUT);
      return false;
    }
    sleepOn(L, me, std::min(deadline, nextCheck));
  }
}

bool sendOne(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, DWORD timeoutMs, LRESULT& result) {
  Seg* s = current();
  if (!s) return false;
  uint32_t slot;
  bool direct;
  {
    Locked L(s);
    slot = resolve(L, hwnd);
    if (slot == kNone) return false;
    direct = ownThread(L, slot);
  }
  if (direct) {
    result = callProc(hwnd, msg, wParam, lParam);
    return true;
  }
  return sendAcross(s, slot, hwnd, msg, wParam, lParam, timeoutMs, result);
}

// The live top-level windows of the device.
std::vector<HWND> topLevel(Seg* s) {
  std::vector<HWND> out;
  Locked L(s);
  reapDead(L, true);
  Header* h = L.h();
  for (uint32_t i = 0; i < kMaxWindows; ++i)
    if (h->wins[i].used && !h->wins[i].parent) out.push_back(hwndOf(h, i));
  return out;
}

}  // namespace
}  // namespace ce::detail::wnd

namespace ce {

using namespace detail;
using namespace detail::wnd;

BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (carriesPointer(msg)) {
    SetLastError(ERROR_MESSAGE_SYNC_ONLY);
    return FALSE;
  }
  Seg* s = current();
  if (!s) return FALSE;
  if (hwnd == HWND_BROADCAST) {
    std::vector<HWND> all = topLevel(s);
    Locked L(s);
    for (HWND w : all) {
      uint32_t slot = resolve(L, w);
      if (slot != kNone) postLocked(L, L.h()->wins[slot].queue, hwndValue(w), msg, wParam, lParam);
    }
    return TRUE;
  }
  Locked L(s);
  if (!hwnd) {
    uint32_t q = myQueue(L);
    return q != kNone && postLocked(L, q, 0, msg, wParam, lParam);
  }
  uint32_t slot = resolve(L, hwnd);
  if (slot == kNone) return FALSE;
  return postLocked(L, L.h()->wins[slot].queue, hwndValue(hwnd), msg, wParam, lParam);
}

BOOL PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (carriesPointer(msg)) {
    SetLastError(ERROR_MESSAGE_SYNC_ONLY);
    return FALSE;
  }
  Seg* s = current();
  if (!s) return FALSE;
  Locked L(s);
  Header* h = L.h();
  for (uint32_t q = 0; q < kMaxQueues; ++q) {
    Queue& Q = h->queues[q];
    if (!Q.used || static_cast<DWORD>(Q.tid) != threadId) continue;
    if (!queueAlive(L, q, Q.gen)) break;
    return postLocked(L, q, 0, msg, wParam, lParam);
  }
  SetLastError(ERROR_INVALID_THREAD_ID);
  return FALSE;
}

void PostQuitMessage(int exitCode) {
  Seg* s = current();
  if (!s) return;
  Locked L(s);
  uint32_t q = myQueue(L);
  if (q == kNone) return;
  L.h()->queues[q].quit = 1;
  L.h()->queues[q].quitCode = exitCode;
  L.wake(q);
}

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == HWND_BROADCAST) {
    Seg* s = current();
    if (!s) return 0;
    for (HWND w : topLevel(s)) {
      LRESULT ignored;
      sendOne(w, msg, wParam, lParam, INFINITE, ignored);
    }
    return 0;
  }
  LRESULT r = 0;
  return sendOne(hwnd, msg, wParam, lParam, INFINITE, r) ? r : 0;
}

LRESULT SendMessageTimeoutW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT, UINT timeoutMs,
                            UINT_PTR* result) {
  LRESULT r = 0;
  bool ok = sendOne(hwnd, msg, wParam, lParam, timeoutMs, r);
  if (result) *result = ok ? static_cast<UINT_PTR>(r) : 0;
  return ok ? 1 : 0;
}

namespace {

// GetMessageW and PeekMessageW: sent messages first, then posted ones, then
// WM_QUIT. wait: sleep until one comes.
int takeMessage(LPMSG msg, HWND hwnd, UINT lo, UINT hi, bool remove, bool wait) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  Seg* s = current();
  if (!s) return -1;
  Locked L(s);
  const uint32_t q = myQueue(L);
  if (q == kNone) return -1;
  uint32_t filter = kNone;
  uint32_t filterGen = 0;
  if (hwnd) {
    filter = resolve(L, hwnd);
    if (filter == kNone) return -1;
    filterGen = L.h()->wins[filter].gen;
  }
  for (;;) {
    Queue& Q = L.h()->queues[q];
    if (Q.sentCount) {
      L.unlock();
      handleSent(s, q);
      L.relock();
      continue;
    }
    if (filter != kNone && (!L.h()->wins[filter].used || L.h()->wins[filter].gen != filterGen)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
    if (takePosted(L, q, filter, lo, hi, remove, msg)) return msg->message == WM_QUIT ? 0 : 1;
    if (inRange(WM_QUIT, lo, hi) && takeQuit(Q, remove, msg)) return 0;
    if (!wait) return 2;
    sleepOn(L, q, INT64_MAX);
  }
}

}  // namespace

BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax) {
  int r = takeMessage(msg, hwnd, msgFilterMin, msgFilterMax, true, true);
  return r == 1 ? TRUE : r == 0 ? FALSE : -1;
}

BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg) {
  int r = takeMessage(msg, hwnd, msgFilterMin, msgFilterMax, (removeMsg & PM_REMOVE) != 0, false);
  return r == 0 || r == 1 ? TRUE : FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
  if (!msg || !msg->hwnd) return 0;
  Seg* s = current();
  if (!s) return 0;
  {
    Locked L(s);
    uint32_t slot = resolve(L, msg->hwnd);
    if (slot == kNone) return 0;
    if (!ownThread(L, slot)) {
      SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
      return 0;
    }
  }
  return callProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL TranslateMessage(const MSG* msg) { return msg && msg->message == WM_KEYDOWN ? TRUE : FALSE; }

DWORD GetQueueStatus(UINT) {
  Seg* s = current();
  if (!s) return 0;
  Locked L(s);
  uint32_t q = myQueue(L);
  if (q == kNone) return 0;
  const Queue& Q = L.h()->queues[q];
  return Q.count + Q.sentCount;
}

}  // namespace ce
