// The files waiting for the scan worker: at most 1000 paths in arrival order,
// each with an active mark that the ignore list clears when a trusted writer
// releases the path. A path already waiting is not queued twice. Every add
// sets the work event, on which the worker sleeps.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "ce/windows.h"

namespace guard {

inline constexpr size_t kPendingCapacity = 1000;
// A path an entry holds, terminator included.
inline constexpr size_t kPendingPathChars = 1024;

class PendingQueue {
 public:
  enum class AddResult { Added, Merged, Full, Refused };

  struct Entry {
    std::u16string path;
    bool active = true;
  };

  PendingQueue();
  ~PendingQueue();
  PendingQueue(const PendingQueue&) = delete;
  PendingQueue& operator=(const PendingQueue&) = delete;

  // False when the work event cannot be made.
  bool ok() const { return work_ != nullptr; }
  ce::HANDLE workEvent() const { return work_; }

  // Queues a path (letter case ignored when merging). Refused: empty, or too
  // long for an entry. Full: the queue holds kPendingCapacity paths. The work
  // event is set for every result but Refused.
  AddResult add(const ce::WCHAR* path);
  // Takes the oldest entry out of the queue. The worker holds it while it
  // scans, so a change to the same file meanwhile is queued afresh and the
  // file is scanned again.
  bool take(Entry* out);
  // Clears the active mark of the waiting entry with this path.
  void cancel(const ce::WCHAR* path);
  size_t size() const;
  void clear();

 private:
  mutable std::mutex mu_;
  std::deque<Entry> entries_;
  std::unordered_map<std::u16string, size_t> waiting_;  // folded path -> entries holding it
  ce::HANDLE work_ = nullptr;
};

}  // namespace guard
