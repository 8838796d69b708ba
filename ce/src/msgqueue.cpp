// Point-to-point message queues. A queue is a ring of fixed slots in the
// device segment's page arena, one slot per message ([length][flags][data]),
// sized when the queue is made and bounded so that no caller can claim the
// arena. Handles are read ends or write ends; each end is counted so that a
// side whose other side has gone can be told so.
#include <cstring>

#include "ce/base.h"
#include "ce/time.h"
#include "kobj.h"

namespace ce {

using namespace detail;
using namespace detail::kobj;

namespace {

constexpr uint32_t kSlotHeader = 8;

bool validOptions(const MSGQUEUEOPTIONS* o) {
  if (!o || o->dwSize != sizeof(MSGQUEUEOPTIONS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

// First fit of `pages` free pages; kNone when the arena has no such run.
uint32_t allocPages(Header* h, uint32_t pages) {
  uint32_t run = 0;
  for (uint32_t p = 0; p < kArenaPages; ++p) {
    run = h->pageUsed[p] ? 0 : run + 1;
    if (run == pages) return p + 1 - pages;
  }
  return kNone;
}

// Only a queue that can break needs its waiters to look for a dead other side.
uint32_t peerFlags(const Obj& o) { return (o.qFlags & MSGQUEUE_ALLOW_BROKEN) ? 0 : kPeerCheck; }

uint8_t* slotAt(Seg* s, const Obj& o, uint32_t slot) { return queueData(s, o) + static_cast<size_t>(slot) * o.qSlotSize; }

std::shared_ptr<KHandle> queueEnd(HANDLE h, End want) {
  auto kh = getHandle(h, Kind::MsgQueue);
  if (kh && kh->end != want) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return kh;
}

}  // namespace

HANDLE CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options) {
  if (!validOptions(options)) return nullptr;
  uint32_t len;
  if (!checkName(name, len)) return nullptr;
  const End end = options->bReadAccess ? kReadEnd : kWriteEnd;
  Seg* s = current();
  if (!s) return nullptr;
  Locked L(s);
  uint32_t idx = kNone;
  bool existed = false;
  if (len) {
    idx = findNamed(L, name, len, NameClass::Queue);
    if (idx != kNone) {
      reapHoldersOf(L, idx);
      if (L.obj(idx).type == OType::Free) idx = kNone;
    }
  }
  if (idx != kNone) {
    if (!addHold(L, idx, end)) return nullptr;
    existed = true;
  } else {
    const uint32_t cbMax = options->cbMaxMessage;
    if (cbMax == 0 || (options->dwFlags & ~(MSGQUEUE_NOPRECOMMIT | MSGQUEUE_ALLOW_BROKEN)) != 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    const uint32_t slots = options->dwMaxMessages ? options->dwMaxMessages : kUnboundedQueueSlots;
    const uint64_t slotSize = (static_cast<uint64_t>(cbMax) + kSlotHeader + 7) / 8 * 8;
    const uint64_t bytes = slotSize * slots;
    if (cbMax > kMaxQueueMessage || bytes > kMaxQueueBytes) {
      SetLastError(ERROR_OUTOFMEMORY);
      return nullptr;
    }
    const uint32_t pages = static_cast<uint32_t>((bytes + kPageSize - 1) / kPageSize);
    uint32_t first = allocPages(L.h(), pages);
    if (first == kNone) {
      reapDead(L, true);
      first = allocPages(L.h(), pages);
    }
    if (first == kNone) {
      SetLastError(ERROR_OUTOFMEMORY);
      return nullptr;
    }
    idx = allocObj(L, OType::Queue, name, len, end);
    if (idx == kNone) return nullptr;
    Obj& o = L.obj(idx);
    o.qFlags = options->dwFlags;
    o.qMaxMessages = options->dwMaxMessages;
    o.qCbMax = cbMax;
    o.qSlots = slots;
    o.qSlotSize = static_cast<uint32_t>(slotSize);
    o.qFirstPage = first;
    o.qPages = pages;
    for (uint32_t p = 0; p < pages; ++p) L.h()->pageUsed[first + p] = 1;
  }
  uint32_t gen = L.obj(idx).gen;
  L.unlock();
  HANDLE h = makeHandle(Kind::MsgQueue, s, idx, gen, end);
  if (h) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return h;
}

HANDLE OpenMsgQueue(HANDLE, HANDLE hMsgQ, LPMSGQUEUEOPTIONS options) {
  if (!validOptions(options)) return nullptr;
  auto kh = getHandle(hMsgQ, Kind::MsgQueue);
  if (!kh) return nullptr;
  const End end = options->bReadAccess ? kReadEnd : kWriteEnd;
  Locked L(kh->seg);
  if (!alive(L, *kh)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!addHold(L, kh->idx, end)) return nullptr;
  L.unlock();
  return makeHandle(Kind::MsgQueue, kh->seg, kh->idx, kh->gen, end);
}

BOOL WriteMsgQueue(HANDLE h, LPVOID buffer, DWORD cbDataSize, DWORD timeout, DWORD flags) {
  if (!buffer || cbDataSize == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto kh = queueEnd(h, kWriteEnd);
  if (!kh) return FALSE;
  const int64_t deadline = clock::hostDeadlineNs(timeout);
  int64_t nextReap = 0;
  Locked L(kh->seg);
  for (;;) {
    if (!alive(L, *kh)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    Obj& o = L.obj(kh->idx);
    if (cbDataSize > o.qCbMax) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    if (queueBroken(o, kWriteEnd)) {
      SetLastError(ERROR_PIPE_NOT_CONNECTED);
      return FALSE;
    }
    if (o.qCount < o.qSlots) {
      uint32_t slot;
      if ((flags & MSGQUEUE_MSGALERT) && !o.alertAtHead) {
        // One alert at a time jumps the queue; later ones queue as normal messages.
        o.qHead = (o.qHead + o.qSlots - 1) % o.qSlots;
        slot = o.qHead;
        o.alertAtHead = 1;
      } else {
        slot = (o.qHead + o.qCount) % o.qSlots;
        flags &= ~MSGQUEUE_MSGALERT;
      }
      uint8_t* p = slotAt(kh->seg, o, slot);
      uint32_t hdr[2] = {cbDataSize, flags};
      std::memcpy(p, hdr, sizeof hdr);
      std::memcpy(p + kSlotHeader, buffer, cbDataSize);
      ++o.qCount;
      if (o.qCount > o.qMaxSeen) o.qMaxSeen = o.qCount;
      L.changed(kh->idx);
      return TRUE;
    }
    if (!sleepLocked(L, kh->idx, deadline, peerFlags(o), nextReap)) {
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    }
  }
}

BOOL ReadMsgQueue(HANDLE h, LPVOID buffer, DWORD cbBufferSize, LPDWORD bytesRead, DWORD timeout, DWORD* flags) {
  if (!buffer || cbBufferSize == 0 || !bytesRead) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto kh = queueEnd(h, kReadEnd);
  if (!kh) return FALSE;
  const int64_t deadline = clock::hostDeadlineNs(timeout);
  int64_t nextReap = 0;
  Locked L(kh->seg);
  for (;;) {
    if (!alive(L, *kh)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    Obj& o = L.obj(kh->idx);
    if (o.qCount > 0) {
      const uint8_t* p = slotAt(kh->seg, o, o.qHead);
      uint32_t hdr[2];
      std::memcpy(hdr, p, sizeof hdr);
      const uint32_t len = std::min(hdr[0], o.qCbMax);
      const uint32_t n = std::min<uint32_t>(len, cbBufferSize);
      std::memcpy(buffer, p + kSlotHeader, n);
      o.qHead = (o.qHead + 1) % o.qSlots;
      --o.qCount;
      o.alertAtHead = 0;
      L.changed(kh->idx);
      *bytesRead = n;
      if (flags) *flags = hdr[1] & MSGQUEUE_MSGALERT;
      if (n < len) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
      }
      return TRUE;
    }
    if (queueBroken(o, kReadEnd)) {
      SetLastError(ERROR_PIPE_NOT_CONNECTED);
      return FALSE;
    }
    if (!sleepLocked(L, kh->idx, deadline, peerFlags(o), nextReap)) {
      SetLastError(ERROR_TIMEOUT);
      return FALSE;
    }
  }
}

BOOL CloseMsgQueue(HANDLE h) {
  if (!getHandle(h, Kind::MsgQueue)) return FALSE;
  return CloseHandle(h);
}

BOOL GetMsgQueueInfo(HANDLE h, LPMSGQUEUEINFO info) {
  if (!info || info->dwSize != sizeof(MSGQUEUEINFO)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto kh = getHandle(h, Kind::MsgQueue);
  if (!kh) return FALSE;
  Locked L(kh->seg);
  if (!alive(L, *kh)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const Obj& o = L.obj(kh->idx);
  info->dwFlags = o.qFlags;
  info->dwMaxMessages = o.qMaxMessages;
  info->cbMaxMessage = o.qCbMax;
  info->dwCurrentMessages = o.qCount;
  info->dwMaxQueueMessages = o.qMaxSeen;
  info->wNumReaders = static_cast<WORD>(std::min<uint32_t>(o.readers, 0xFFFF));
  info->wNumWriters = static_cast<WORD>(std::min<uint32_t>(o.writers, 0xFFFF));
  return TRUE;
}

}  // namespace ce
