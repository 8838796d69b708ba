// Device-wide state shared by every process attached to one device root: a
// file under "<root>/.ce" mapped into each process, guarded by a robust
// process-shared mutex so that a process killed while holding it cannot wedge
// the others.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "ce/windows.h"

namespace ce::detail {

// Maps "<root>/.ce/<name>" (created and zero-filled at `size` bytes when new
// or when it was made before the host last booted) and returns its address.
// `init` runs once on fresh contents, under an exclusive file lock, before any
// other process can see the segment. Returns nullptr on failure.
void* mapDeviceSegment(const std::string& name, size_t size, void (*init)(void* base, size_t size));

// A robust, process-shared mutex living in a segment.
void initSharedMutex(pthread_mutex_t* m);
// Locks; when the previous owner died holding it, `onOwnerDied` (may be null)
// repairs the guarded state before the lock is marked consistent.
void lockShared(pthread_mutex_t* m, void (*onOwnerDied)(void* ctx) = nullptr, void* ctx = nullptr);
void unlockShared(pthread_mutex_t* m);
// Counters of those locks, kept when NX_CE_LOCK_STATS is set (lock_stats.cpp).
bool lockStatsOn();
uint64_t lockStatsNow();
void lockStatsTaken(pthread_mutex_t* m, bool contended, uint64_t askedAt);
void lockStatsReleased(pthread_mutex_t* m);

// Process identity that survives pid reuse: pid plus the start time the
// kernel recorded for it.
struct ProcId {
  int32_t pid;
  uint64_t start;
};
ProcId selfId();

// Fields of /proc/<pid>/stat the layer needs.
struct ProcStat {
  uint64_t start = 0;
  int ppid = 0;
  long threads = 1;
  char state = 0;
};
bool readProcStat(int pid, ProcStat& out);
bool procAlive(const ProcId& id);

constexpr uint32_t kMaxProcesses = 512;
constexpr uint32_t kOpenFileSlots = 16384;
constexpr uint32_t kOpenFileBuckets = 4096;

struct ProcessRecord {
  int32_t pid;  // 0: free
  uint64_t start;
  char16_t image[MAX_PATH];  // device path of the program
};

// One open of a file (a handle, or a loaded module) with its access and share
// modes, so that opens in other processes can be checked against it.
struct OpenFileRecord {
  uint64_t dev;
  uint64_t ino;
  int32_t pid;  // 0: free
  uint64_t start;
  uint32_t access;  // GENERIC_READ | GENERIC_WRITE
  uint32_t share;   // FILE_SHARE_*
  int32_t next;     // bucket chain or free list, -1 ends
};

struct KernelSegment {
  uint64_t magic;
  uint32_t version;
  pthread_mutex_t lock;
  // Clock, read lock-free under a sequence counter; written under the lock.
  std::atomic<uint32_t> clockSeq;
  std::atomic<double> clockSpeed;
  std::atomic<int64_t> anchorHostNs;   // CLOCK_MONOTONIC
  std::atomic<int64_t> anchorDevice;   // 100 ns since 1601
  std::atomic<int64_t> createdDevice;  // for GetTickCount
  std::atomic<int32_t> tzBiasMinutes;
  // Storage card mount.
  std::atomic<uint32_t> cardGeneration;
  char cardFolder[4096];
  // Processes attached to the device.
  ProcessRecord processes[kMaxProcesses];
  // Open files and loaded modules.
  int32_t buckets[kOpenFileBuckets];
  int32_t freeHead;
  OpenFileRecord files[kOpenFileSlots];
};

struct DeviceState {
  std::string root;       // host root, no trailing slash
  std::string ceDir;      // root + "/.ce"
  int rootFd = -1;        // O_PATH descriptor of the root
  KernelSegment* seg = nullptr;
};

// The attached device, attaching to the default one on first use; nullptr
// (with the last error set) when none can be attached.
DeviceState* device();

// Runs fn with the segment lock held.
template <class F>
auto withSegmentLock(KernelSegment* seg, F&& fn) {
  struct Guard {
    KernelSegment* s;
    ~Guard() { unlockShared(&s->lock); }
  };
  extern void repairSegment(void*);
  lockShared(&seg->lock, &repairSegment, seg);
  Guard g{seg};
  return fn();
}

void repairSegment(void* seg);
void clockInit(KernelSegment* seg, const std::string& ceDir);
// Device path of the running program.
std::u16string programPath();

}  // namespace ce::detail
