// The budget and the account of one archive reader: how many bytes it may
// still produce and until when it may work, what it delivered, what it held
// but could not deliver, and which limit it stopped at. Every reader of
// archivekit.dll and arjkit.dll keeps one; the modules' SetArchiveReaderLimits
// and GetArchiveReaderStatus exports reach it.
//
// A reader nobody limits works within the defaults below for one archive
// (from its Open on), so a user of the module that knows nothing of limits
// (an older engine, the update engine) still gets bounded work.
#pragma once

#include <cstdint>

#include "ce/time.h"
#include "common/engine_types.h"

namespace nx {

class ReaderBudget {
 public:
  // One archive's worth when nobody says otherwise: the engine's own
  // defaults for one scanned file (docs/engine.md has the table).
  static constexpr uint64_t kDefaultMaxBytes = 256ull << 20;
  static constexpr uint32_t kDefaultMs = 30000;
  // Members taken from one archive (counted by the reader's user).
  static constexpr uint32_t kDefaultMaxFiles = 2000;

  // At Open: the account starts afresh; limits set before Open stand,
  // otherwise the defaults run from now.
  void opened() {
    delivered_ = undelivered_ = hit_ = 0;
    produced_ = base_ = 0;
    if (!explicit_) {
      maxBytes_ = kDefaultMaxBytes;
      deadline_ = after(kDefaultMs);
    }
  }

  // Replaces the limits (from SetArchiveReaderLimits). 1, or 0 for a record
  // too small to hold them.
  int32_t set(const ArchiveReaderLimits& limits) {
    if (limits.size < sizeof(ArchiveReaderLimits)) return 0;
    explicit_ = true;
    maxBytes_ = limits.maxBytes;
    base_ = produced_;
    deadline_ = limits.deadline;
    return 1;
  }

  // Whether n more bytes may be produced; false marks the size limit.
  bool allows(uint64_t n) {
    const uint64_t used = produced_ - base_;
    if (used <= maxBytes_ && n <= maxBytes_ - used) return true;
    hit_ |= NX_SCAN_LIMIT_SIZE;
    return false;
  }
  // Counts n bytes produced (written or decoded to reach a member).
  void produced(uint64_t n) { produced_ += n; }
  // Whether the work time has run out; marks the time limit when it has.
  bool expired() {
    if (deadline_ == 0) return false;
    if (static_cast<int32_t>(ce::GetTickCount() - deadline_) < 0) return false;
    hit_ |= NX_SCAN_LIMIT_TIME;
    return true;
  }
  // Marks a limit the reader stopped at for a reason of its own (entries held).
  void refuse(uint32_t bits) { hit_ |= bits; }
  bool stopped() const { return hit_ != 0; }

  void delivered() { ++delivered_; }
  void undelivered(uint32_t n = 1) { undelivered_ += n; }

  void report(ArchiveReaderStatus& s, bool pending) const {
    s.delivered = delivered_;
    s.undelivered = undelivered_;
    s.limits = hit_;
    s.pending = pending ? 1 : 0;
    s.reserved = 0;
    s.produced = produced_;
  }

  // A tick count ms from now, never 0 (0 means no deadline).
  static uint32_t after(uint32_t ms) {
    uint32_t t = ce::GetTickCount() + ms;
    return t ? t : 1;
  }

 private:
  bool explicit_ = false;
  uint64_t maxBytes_ = kDefaultMaxBytes;
  uint32_t deadline_ = 0;
  uint64_t produced_ = 0;
  uint64_t base_ = 0;  // produced_ when the limits were set: maxBytes_ counts from there
  uint32_t delivered_ = 0, undelivered_ = 0, hit_ = 0;
};

}  // namespace nx
