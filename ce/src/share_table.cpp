// The device-wide table of open files. Every handle and every loaded module
// holds one record; an open is refused with a sharing violation when its
// access or share mode conflicts with a record of any process of the device.
#include "ce/base.h"
#include "device.h"
#include "paths.h"

namespace ce::detail {
namespace {

uint32_t bucketOf(uint64_t dev, uint64_t ino) {
  return static_cast<uint32_t>((dev * 0x9E3779B97F4A7C15ull ^ ino) % kOpenFileBuckets);
}

bool conflicts(const OpenFileRecord& r, DWORD access, DWORD share) {
  if ((r.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
  if ((r.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
  if ((access & GENERIC_READ) && !(r.share & FILE_SHARE_READ)) return true;
  if ((access & GENERIC_WRITE) && !(r.share & FILE_SHARE_WRITE)) return true;
  return false;
}

// Unlinks record i (found after `prev` in its bucket) and frees it.
void unlinkRecord(KernelSegment* seg, uint32_t bucket, int32_t prev, int32_t i) {
  OpenFileRecord& r = seg->files[i];
  if (prev < 0)
    seg->buckets[bucket] = r.next;
  else
    seg->files[prev].next = r.next;
  r.pid = 0;
  r.next = seg->freeHead;
  seg->freeHead = i;
}

bool ownedByDeadProcess(const OpenFileRecord& r, const ProcId& me) {
  if (r.pid == me.pid && r.start == me.start) return false;
  return !procAlive(ProcId{r.pid, r.start});
}

// Frees every record of processes that are gone; used when the table is full.
void sweepDead(KernelSegment* seg, const ProcId& me) {
  for (uint32_t b = 0; b < kOpenFileBuckets; ++b) {
    int32_t prev = -1;
    for (int32_t i = seg->buckets[b]; i >= 0;) {
      int32_t next = seg->files[i].next;
      if (ownedByDeadProcess(seg->files[i], me))
        unlinkRecord(seg, b, prev, i);
      else
        prev = i;
      i = next;
    }
  }
}

}  // namespace

bool shareAcquire(uint64_t dev, uint64_t ino, DWORD access, DWORD share, int32_t* slot) {
  DeviceState* d = device();
  if (!d) return SetLastError(ERROR_NOT_READY), false;
  KernelSegment* seg = d->seg;
  const ProcId me = selfId();
  access &= (GENERIC_READ | GENERIC_WRITE);
  const uint32_t b = bucketOf(dev, ino);
  return withSegmentLock(seg, [&] {
    int32_t prev = -1;
    for (int32_t i = seg->buckets[b]; i >= 0;) {
      OpenFileRecord& r = seg->files[i];
      int32_t next = r.next;
      if (r.dev == dev && r.ino == ino && conflicts(r, access, share)) {
        // A record left by a process that died does not hold the file.
        if (!ownedByDeadProcess(r, me)) {
          SetLastError(ERROR_SHARING_VIOLATION);
          return false;
        }
        unlinkRecord(seg, b, prev, i);
      } else {
        prev = i;
      }
      i = next;
    }
    if (seg->freeHead < 0) sweepDead(seg, me);
    if (seg->freeHead < 0) {
      SetLastError(ERROR_TOO_MANY_OPEN_FILES);
      return false;
    }
    int32_t i = seg->freeHead;
    OpenFileRecord& r = seg->files[i];
    seg->freeHead = r.next;
    r.dev = dev;
    r.ino = ino;
    r.start = me.start;
    r.access = access;
    r.share = share;
    r.pid = me.pid;
    r.next = seg->buckets[b];
    seg->buckets[b] = i;
    *slot = i;
    return true;
  });
}

void shareRelease(int32_t slot) {
  if (slot < 0 || slot >= static_cast<int32_t>(kOpenFileSlots)) return;
  DeviceState* d = device();
  if (!d) return;
  KernelSegment* seg = d->seg;
  withSegmentLock(seg, [&] {
    OpenFileRecord& r = seg->files[slot];
    if (r.pid == 0) return;
    const uint32_t b = bucketOf(r.dev, r.ino);
    int32_t prev = -1;
    for (int32_t i = seg->buckets[b]; i >= 0; prev = i, i = seg->files[i].next) {
      if (i == slot) {
        unlinkRecord(seg, b, prev, i);
        return;
      }
    }
  });
}

namespace {

// Whether a live record of the file matches; records of dead processes met
// on the way are dropped.
template <class Pred>
bool anyRecord(uint64_t dev, uint64_t ino, Pred&& pred) {
  DeviceState* d = device();
  if (!d) return false;
  KernelSegment* seg = d->seg;
  const ProcId me = selfId();
  const uint32_t b = bucketOf(dev, ino);
  return withSegmentLock(seg, [&] {
    int32_t prev = -1;
    for (int32_t i = seg->buckets[b]; i >= 0;) {
      OpenFileRecord& r = seg->files[i];
      int32_t next = r.next;
      if (r.dev == dev && r.ino == ino) {
        if (!ownedByDeadProcess(r, me)) {
          if (pred(r)) return true;
          prev = i;
        } else {
          unlinkRecord(seg, b, prev, i);
        }
      } else {
        prev = i;
      }
      i = next;
    }
    return false;
  });
}

}  // namespace

bool shareInUse(uint64_t dev, uint64_t ino) {
  return anyRecord(dev, ino, [](const OpenFileRecord&) { return true; });
}

bool shareBlocksMove(uint64_t dev, uint64_t ino) {
  return anyRecord(dev, ino, [](const OpenFileRecord& r) { return (r.share & FILE_SHARE_DELETE) == 0; });
}

}  // namespace ce::detail
