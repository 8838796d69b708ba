// The window manager's device-wide state: one file under "<root>/.ce/windows"
// mapped into every process, holding the window table, one message queue per
// thread that has asked for one, the table of messages sent and awaiting an
// answer, and the screen's orientation and resolution.
//
// Everything is read and changed under one robust process-shared mutex; a
// thread waiting for its queue sleeps on the queue's futex word, which every
// post, send and answer to it bumps. Windows and queues record the process
// (pid and start time) and thread that own them: those of a process found
// dead are freed by whoever meets them next, so a killed process never leaves
// a window that can be posted to.
//
// What cannot be shared stays in the owning process (wnd_local.h): window
// procedures, user data, fonts.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "ce/gdi.h"
#include "ce/screen.h"
#include "ce/ui.h"
#include "device.h"

namespace ce::detail::wnd {

constexpr uint32_t kMaxWindows = 2048;
constexpr uint32_t kMaxQueues = 128;
constexpr uint32_t kQueueSlots = 4096;  // posted messages a queue holds
constexpr uint32_t kSentRing = 64;      // sent messages waiting in one queue
constexpr uint32_t kMaxSends = 256;     // sent messages awaiting an answer, device-wide
constexpr uint32_t kTextMax = 1024;     // characters with the terminator
constexpr uint32_t kClassMax = 64;
constexpr uint32_t kNone = 0xFFFFFFFFu;

// Window kinds as the journal names them.
enum class WKind : uint8_t { Window = 0, Dialog, Label, Edit, Button };

struct Win {
  uint32_t gen;  // bumped when the slot is freed; part of the handle
  uint8_t used;
  WKind kind;
  uint8_t visible;
  uint8_t destroying;
  int32_t pid;
  uint64_t start;
  int32_t tid;
  uint32_t queue;  // the owner thread's queue slot
  uint32_t parent;  // slot + 1, 0 for a top-level window
  int32_t ctrlId;
  uint32_t style;
  uint32_t exStyle;
  int32_t x, y, w, h;  // top-level: screen coordinates; child: relative to its parent
  uint32_t z;          // raise order of top-level windows
  uint32_t order;      // creation order (children are listed in it)
  uint32_t templateId;
  int32_t fontWeight;  // 0: none set
  int32_t fontHeight;
  uint32_t textLen;
  uint32_t classLen;
  char16_t cls[kClassMax];
};

struct Posted {
  uint32_t hwnd;  // handle value, 0 for a thread message
  uint32_t msg;
  uint64_t wParam;
  uint64_t lParam;
  uint32_t time;
  uint32_t reserved;
};
static_assert(sizeof(Posted) == 32);

struct Queue {
  std::atomic<uint32_t> seq;      // futex word: bumped on every post, send and answer
  std::atomic<uint32_t> waiters;  // threads asleep on seq
  uint32_t gen;
  uint8_t used;
  uint8_t quit;
  int32_t quitCode;
  int32_t pid;
  uint64_t start;
  int32_t tid;
  char16_t image[MAX_PATH];  // the owner's program path, for the journal
  uint32_t head;
  uint32_t count;
  uint32_t sentHead;
  uint32_t sentCount;
  uint32_t sent[kSentRing];  // indexes into sends
};

enum class SendState : uint8_t { Free = 0, Pending, Taken, Answered, Abandoned };
// How a sent message's lParam crosses processes.
enum class Marshal : uint8_t { None = 0, SetText, GetText };

struct Send {
  uint32_t gen;
  SendState state;
  Marshal marshal;
  uint8_t failed;  // answered because the receiver is gone
  uint32_t senderQueue;
  uint32_t senderQueueGen;
  int32_t senderPid;
  uint64_t senderStart;
  uint32_t receiverQueue;
  uint32_t receiverQueueGen;
  uint32_t hwnd;
  uint32_t msg;
  uint64_t wParam;
  uint64_t lParam;
  int64_t result;
  uint32_t textLen;
  char16_t text[kTextMax];
};

struct Header {
  uint64_t magic;
  pthread_mutex_t lock;
  uint32_t zCounter;
  uint32_t orderCounter;
  uint32_t allocHint;
  uint32_t landscape;  // the screen's orientation (1: landscape)
  uint32_t dpi;
  int64_t lastReapNs;
  Win wins[kMaxWindows];
  Queue queues[kMaxQueues];
  Send sends[kMaxSends];
  // Apart from the records, so that a walk over the records touches few pages.
  char16_t texts[kMaxWindows][kTextMax];
  Posted rings[kMaxQueues][kQueueSlots];
};

inline char16_t* textOf(Header* h, const Win& w) { return h->texts[&w - h->wins]; }
inline const char16_t* textOf(const Header* h, const Win& w) { return h->texts[&w - h->wins]; }
inline Posted* ringOf(Header* h, const Queue& q) { return h->rings[&q - h->queues]; }

struct Seg {
  Header* h = nullptr;
  ProcId me{};
  std::string ceDir;
};

// The attached device's segment; nullptr with the last error set.
Seg* current();

// The lock, with the queue wakes it owes published when it is let go.
class Locked {
 public:
  explicit Locked(Seg* s);
  ~Locked();
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  void unlock();
  void relock();
  // Bumps queue q's word; sleepers are woken once the lock is released.
  void wake(uint32_t q);
  Header* h() const { return s_->h; }
  Seg* seg() const { return s_; }

 private:
  Seg* s_;
  bool held_ = false;
  uint32_t wakes_[8];
  uint32_t nWakes_ = 0;
  bool wakeAll_ = false;
};

// ---- Handles ---------------------------------------------------------------------
// The generation part is never 0, so no handle is a small number that a
// stray integer or a constant such as HWND_BOTTOM could be taken for.
inline uint32_t genTag(uint32_t gen) { return gen % 0x7FFF + 1; }
inline uint32_t handleValue(uint32_t slot, uint32_t gen) { return (genTag(gen) << 16) | (slot + 1); }
inline HWND toHwnd(uint32_t value) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(value)); }
inline uint32_t hwndValue(HWND h) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)); }
inline HWND hwndOf(const Header* h, uint32_t slot) { return toHwnd(handleValue(slot, h->wins[slot].gen)); }

// The slot a handle names, with its owner alive (a dead owner's windows and
// queue are freed on the way); kNone with ERROR_INVALID_WINDOW_HANDLE.
uint32_t resolve(Locked& L, HWND hwnd);
// Whether a window belongs to this process / to the calling thread.
bool mine(Locked& L, uint32_t slot);
bool ownThread(Locked& L, uint32_t slot);
// The top-level window above slot (itself when it is one).
uint32_t topOf(const Header* h, uint32_t slot);

// ---- Owners ---------------------------------------------------------------------------
// Frees every window and queue of a process found dead (rate-limited unless forced).
void reapDead(Locked& L, bool force);
// Frees the windows of process pid/start (and their queues); answers the
// messages they were sent.
void reapProcess(Locked& L, int32_t pid, uint64_t start);
// Frees one window slot (no messages: the caller has sent them).
void freeWindow(Locked& L, uint32_t slot);

// ---- Queues ---------------------------------------------------------------------------
// The calling thread's queue, made on first use; kNone with the last error set.
uint32_t myQueue(Locked& L);
// Whether queue q (of generation gen) still belongs to a live thread.
bool queueAlive(Locked& L, uint32_t q, uint32_t gen);
// Frees a queue: its pending sends are answered with 0 for their senders.
void freeQueue(Locked& L, uint32_t q);
// Appends a posted message; false with ERROR_NOT_ENOUGH_QUOTA when full.
bool postLocked(Locked& L, uint32_t q, uint32_t hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Frees a sent-message record / takes it out of its receiver's ring.
void sendFree(Locked& L, uint32_t idx);
void sendUnlink(Locked& L, uint32_t idx);

// ---- Screen ---------------------------------------------------------------------------
inline int screenWidth(const Header* h) { return (h->landscape ? 320 : 240) * static_cast<int>(h->dpi) / 96; }
inline int screenHeight(const Header* h) { return (h->landscape ? 240 : 320) * static_cast<int>(h->dpi) / 96; }

// ---- Journal --------------------------------------------------------------------------
// Writes the state of top-level window `top` as one journal line ("show",
// "hide", "change", "destroy"). Takes its snapshot under L, writes after.
void journalWindow(Locked& L, uint32_t top, const char* event);
// A "screen" line: the screen's metrics changed (reason "rotate", "dpi").
void journalScreen(Locked& L, const char* reason);
// A "change" line when slot's top-level window is shown.
void journalIfShown(Locked& L, uint32_t slot);
// Appends a line now (the caller holds no lock) / once the lock is let go.
void journalLine(const std::string& ceDir, const std::string& line);
void queueJournalLine(Seg* s, std::string line);

// ---- Procedures --------------------------------------------------------------------------
// Calls the window's procedure in this thread (the window must be this
// thread's). Marshalled texts have been copied in already.
LRESULT callProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Handles every message sent to queue q; returns whether any was.
bool handleSent(Seg* s, uint32_t q);

}  // namespace ce::detail::wnd
