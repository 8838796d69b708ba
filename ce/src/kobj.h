// Kernel objects shared by every process of a device: one file under
// "<root>/.ce/kobj" mapped into each process, holding a fixed table of
// objects (events, mutexes, semaphores, threads, message queues), the
// references each process holds on them, the run-at-time table and the pages
// message queues keep their messages in.
//
// Everything is read and changed under one robust process-shared mutex.
// Waiting is done on futex words in the segment: every change bumps the
// changed object's word and a device-wide word; a waiter re-checks state under
// the lock after any wake-up, so a missed or spurious wake costs nothing but a
// re-check. A process that dies holding the lock, a mutex or a queue end is
// found dead by the next process that needs it (procAlive), and everything it
// held is reclaimed.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "ce/kernel.h"
#include "device.h"
#include "handles.h"

namespace ce::detail::kobj {

constexpr uint32_t kMaxObjects = 4096;
constexpr uint32_t kNameSlots = 2 * kMaxObjects;  // a power of two
constexpr uint32_t kMaxHolds = 8192;
constexpr uint32_t kMaxProcs = 256;
constexpr uint32_t kMaxTimers = 64;
constexpr uint32_t kNameMax = MAX_PATH;  // characters, terminator excluded
constexpr uint32_t kPageSize = 4096;
constexpr uint32_t kArenaPages = 4096;  // 16 MiB of queue storage per device
constexpr uint32_t kMaxQueueBytes = 4u << 20;
constexpr uint32_t kMaxQueueMessage = 1u << 20;
constexpr uint32_t kUnboundedQueueSlots = 256;
constexpr uint32_t kNone = 0xFFFFFFFFu;

enum class OType : uint8_t { Free = 0, Event, Mutex, Semaphore, Thread, Queue };

// Which end of a message queue a reference holds.
enum End : uint8_t { kNoEnd = 0, kReadEnd = 1, kWriteEnd = 2 };

struct Obj {
  std::atomic<uint32_t> seq;      // futex word: bumped on every change
  std::atomic<uint32_t> waiters;  // threads asleep on seq (a hint for waking)
  // Threads asleep on the device-wide word in a wait for several objects
  // including this one: a change wakes that word only when someone waits
  // there for this object, so unrelated traffic does not wake every such
  // waiter on the device.
  std::atomic<uint32_t> anyWaiters;
  uint32_t gen;                   // bumped when the slot is freed
  OType type;
  uint8_t manualReset;
  uint8_t signalled;
  uint8_t abandoned;
  uint32_t refs;
  uint32_t nameLen;  // 0: unnamed
  // Pulses: a sleeper that saw pulseSeq before sleeping and another value
  // after waking was asleep during a pulse.
  uint32_t sleepers;
  uint32_t pulseSeq;
  uint32_t pulseTokens;
  // Mutex owner (pid 0: free) and recursion.
  int32_t ownerPid;
  uint64_t ownerStart;
  int32_t ownerTid;
  uint32_t recursion;
  // Semaphore.
  int32_t count;
  int32_t maxCount;
  // Thread.
  int32_t tid;
  uint32_t exitCode;
  uint8_t done;
  // Message queue: fixed slots of slotSize bytes ([len][flags][data]).
  uint8_t alertAtHead;
  uint32_t qFlags;
  uint32_t qMaxMessages;  // as given (0: no maximum)
  uint32_t qCbMax;
  uint32_t qSlots;
  uint32_t qSlotSize;
  uint32_t qHead;
  uint32_t qCount;
  uint32_t qMaxSeen;
  uint32_t qFirstPage;
  uint32_t qPages;
  uint32_t readers;
  uint32_t writers;
  char16_t name[kNameMax];
};

struct Hold {
  uint32_t obj;
  uint32_t count;  // 0: free
  uint16_t proc;
  uint8_t end;
};

struct Proc {
  int32_t pid;  // 0: free
  uint64_t start;
};

struct Timer {
  int64_t due;  // 100 ns since 1601, UTC
  uint32_t nameLen;  // 0: free
  char16_t name[kNameMax];
};

struct Header {
  uint64_t magic;
  pthread_mutex_t lock;
  std::atomic<uint32_t> globalSeq;
  std::atomic<uint32_t> globalWaiters;
  int64_t nextDue;  // earliest active timer, INT64_MAX when none
  int64_t lastReapNs;
  uint32_t allocHint;
  uint8_t pageUsed[kArenaPages];
  uint32_t nameHash[kMaxObjects];
  // Named objects by hash: linear probing from hash & (kNameSlots - 1),
  // holding index + 1 (0: empty). Deletion shifts later entries back, so
  // there are no tombstones however often a name comes and goes.
  uint16_t nameSlots[kNameSlots];
  Obj objs[kMaxObjects];
  Hold holds[kMaxHolds];
  Proc procs[kMaxProcs];
  Timer timers[kMaxTimers];
};

constexpr size_t kArenaOffset = (sizeof(Header) + kPageSize - 1) / kPageSize * kPageSize;
constexpr size_t kSegmentSize = kArenaOffset + static_cast<size_t>(kArenaPages) * kPageSize;

// One device's segment as this process sees it. Never freed: handles of a
// device the process has since left still point at it.
struct Seg {
  Header* h = nullptr;
  uint8_t* arena = nullptr;
  uint16_t self = 0;  // this process's slot in procs
  ProcId me{};
  // Where this process's hold on (object, end) was last seen, and where to
  // look for a free hold first; hints only, checked against the table under
  // the lock, which spares a walk over every hold per open and close.
  std::unordered_map<uint64_t, uint32_t> holdAt;
  uint32_t freeHoldHint = 0;
};

// The segment of the attached device, registering this process on first use;
// nullptr with the last error set when there is no device.
Seg* current();

// The lock with the futex wakes it owes: changes made under it are published
// when it is released.
class Locked {
 public:
  explicit Locked(Seg* s);
  ~Locked();
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  void unlock();
  void relock();
  // Marks object idx as changed: bumps its word and the device-wide one.
  void changed(uint32_t idx);
  // Wakes every waiter on the device-wide word when the lock is released
  // (their sleep bounds depend on something that is not an object).
  void wakeGlobal() { wakeGlobal_ = true; }
  Seg* seg() const { return s_; }
  Header* h() const { return s_->h; }
  Obj& obj(uint32_t idx) const { return s_->h->objs[idx]; }

 private:
  void flushWakes();
  Seg* s_;
  bool held_ = false;
  bool wakeAll_ = false;
  bool wakeGlobal_ = false;
  uint32_t wakes_[16];
  uint32_t nWakes_ = 0;
};

// ---- Table operations (caller holds the lock) ------------------------------
enum class NameClass { Sync, Queue };
uint32_t findNamed(Locked& L, const char16_t* name, uint32_t len, NameClass cls);
// Allocates a slot of `type` with one reference of this process; kNone when
// the table is full (last error set).
uint32_t allocObj(Locked& L, OType type, const char16_t* name, uint32_t len, End end);
bool addHold(Locked& L, uint32_t idx, End end);
void dropHold(Locked& L, uint32_t idx, End end);
// Reclaims every process found dead (rate-limited unless forced).
void reapDead(Locked& L, bool force);
// Reclaims the dead among the processes holding object idx.
void reapHoldersOf(Locked& L, uint32_t idx);
void fireDueTimers(Locked& L);
// Abandons the mutexes a thread of this process owns (tid 0: all of them).
void abandonMutexesOf(Locked& L, int32_t tid);
// Whether a queue end has lost its other side for good.
bool queueBroken(const Obj& o, End end);
// Arena pages of a queue.
uint8_t* queueData(Seg* s, const Obj& o);

// Validates a user-supplied object name: null is fine (unnamed); a name of
// more than MAX_PATH characters fails.
bool checkName(LPCWSTR name, uint32_t& len);

int32_t currentTid();

// ---- Waiting ---------------------------------------------------------------
constexpr uint32_t kPeerCheck = 1;  // the wait depends on another process staying alive
constexpr uint32_t kPollProcs = 2;  // process handles take part: wake up now and then to poll them

// Under L: sleeps on object idx's word (or the device-wide word for kNone)
// until it changes or the deadline passes, then takes the lock again.
// False (without sleeping) when the deadline has already passed.
bool sleepLocked(Locked& L, uint32_t idx, int64_t deadlineNs, uint32_t flags, int64_t& nextReapNs);

// Remembers that the calling thread owns mutexes of segment s, so that they
// are abandoned when it ends.
void noteMutexOwner(Seg* s);

// ---- Handles ---------------------------------------------------------------
// A handle's view of an object: the slot, its generation at open, the queue
// end it holds. Closing the last handle drops the process's reference.
struct KHandle : Object {
  KHandle(Kind k, Seg* s, uint32_t idx, uint32_t gen, End end) : k_(k), seg(s), idx(idx), gen(gen), end(end) {}
  ~KHandle() override;
  Kind kind() const override { return k_; }
  Kind k_;
  Seg* seg;
  uint32_t idx;
  uint32_t gen;
  End end;
};

// Resolves a handle of kind k; nullptr with ERROR_INVALID_HANDLE otherwise.
std::shared_ptr<KHandle> getHandle(HANDLE h, Kind k);
// Whether a handle's slot still holds the object it was opened on.
inline bool alive(Locked& L, const KHandle& kh) {
  const Obj& o = L.obj(kh.idx);
  return o.gen == kh.gen && o.type != OType::Free;
}
// Wraps a slot this process has just referenced (gen read under the lock) in
// a handle; drops the reference when the handle table is full. Call it with
// the lock released.
HANDLE makeHandle(Kind k, Seg* s, uint32_t idx, uint32_t gen, End end);

}  // namespace ce::detail::kobj
