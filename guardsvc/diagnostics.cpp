#include "guardsvc/diagnostics.h"

#include "ce/text.h"
#include "ce/time.h"

namespace guard {

Statistics Diagnostics::statistics() const {
  std::lock_guard<std::mutex> lock(mu_);
  Statistics s = s_;
  s.size = sizeof s;
  return s;
}

void Diagnostics::count(uint64_t Statistics::*field, uint64_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  s_.*field += n;
}

void Diagnostics::setGauges(uint32_t protectedNow, uint32_t pending, uint32_t retrying) {
  std::lock_guard<std::mutex> lock(mu_);
  s_.protectedNow = protectedNow;
  s_.pendingNow = pending;
  s_.retryingNow = retrying;
}

void Diagnostics::queued(const std::u16string& path) {
  std::u16string key = ce::toUpperCase(path);
  std::lock_guard<std::mutex> lock(mu_);
  // The table only remembers so many files: a long run starts it over.
  if (files_.size() >= kMaxFiles && !files_.count(key)) files_.clear();
  FileState& f = files_[key];
  if (f.size == 0) {
    f.size = sizeof f;
    f.firstQueuedTick = ce::GetTickCount();
  }
}

void Diagnostics::handled(const std::u16string& path, bool scanned, uint32_t code) {
  std::u16string key = ce::toUpperCase(path);
  std::lock_guard<std::mutex> lock(mu_);
  if (files_.size() >= kMaxFiles && !files_.count(key)) files_.clear();
  FileState& f = files_[key];
  f.size = sizeof f;
  ++f.handled;
  if (scanned) ++f.scans;
  f.lastCode = code;
  f.lastDoneTick = ce::GetTickCount();
}

bool Diagnostics::fileState(const std::u16string& path, FileState* out) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(ce::toUpperCase(path));
  if (it == files_.end()) return false;
  *out = it->second;
  return true;
}

}  // namespace guard
