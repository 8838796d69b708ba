#include "guardsvc/pending_queue.h"

#include "ce/base.h"
#include "ce/kernel.h"
#include "ce/text.h"

namespace guard {

using namespace ce;

PendingQueue::PendingQueue() { work_ = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

PendingQueue::~PendingQueue() {
  if (work_) CloseHandle(work_);
}

PendingQueue::AddResult PendingQueue::add(const WCHAR* path) {
  if (!path || !path[0]) return AddResult::Refused;
  size_t n = 0;
  while (path[n]) {
    if (++n >= kPendingPathChars) return AddResult::Refused;
  }
  std::u16string key = toUpperCase(std::u16string_view(path, n));
  AddResult r;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = waiting_.find(key);
    if (it != waiting_.end()) {
      // Waiting already: the worker reads the file as it is when it gets
      // there, so one scan covers every change made meanwhile.
      r = AddResult::Merged;
    } else if (entries_.size() >= kPendingCapacity) {
      r = AddResult::Full;
    } else {
      entries_.push_back(Entry{std::u16string(path, n), true});
      waiting_.emplace(std::move(key), 1);
      r = AddResult::Added;
    }
  }
  if (work_) SetEvent(work_);
  return r;
}

bool PendingQueue::take(Entry* out) {
  std::lock_guard<std::mutex> lock(mu_);
  if (entries_.empty()) return false;
  *out = std::move(entries_.front());
  entries_.pop_front();
  auto it = waiting_.find(toUpperCase(out->path));
  if (it != waiting_.end() && --it->second == 0) waiting_.erase(it);
  return true;
}

void PendingQueue::cancel(const WCHAR* path) {
  if (!path) return;
  std::u16string_view p(path);
  std::lock_guard<std::mutex> lock(mu_);
  for (Entry& e : entries_)
    if (e.active && equalsNoCase(e.path, p)) {
      e.active = false;
      return;
    }
}

size_t PendingQueue::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

void PendingQueue::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
  waiting_.clear();
}

}  // namespace guard
