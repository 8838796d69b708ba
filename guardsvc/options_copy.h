// The guard's copies of the on-access and general options. The wait thread
// and the card procedure replace them; the file-event procedure and the scan
// worker read them. A read that fails keeps the copy held before.
#pragma once

#include <mutex>

#include "common/options_files.h"
#include "common/options_records.h"

namespace guard {

class OptionsCopy {
 public:
  nx::WM_ONLINE_OPTS online() const {
    std::lock_guard<std::mutex> lock(mu_);
    return online_;
  }
  nx::WM_GENERAL_OPTS general() const {
    std::lock_guard<std::mutex> lock(mu_);
    return general_;
  }
  bool protectionOn() const { return online().bEnabled != 0; }

  // Re-reads the current options (with the defaults fallback); true when read.
  // Reads are taken one at a time from file to copy: two threads reloading
  // at once (a card put in while the options change) could otherwise store
  // the older read last and keep it until the next change.
  bool reloadOnline(const ce::WCHAR* installDir) {
    std::lock_guard<std::mutex> reading(readMu_);
    nx::WM_ONLINE_OPTS o{};
    if (!nx::CWmOptionsGen::ReadOnlineOpts(installDir, &o, nx::kOptionsReadCurrent)) return false;
    std::lock_guard<std::mutex> lock(mu_);
    online_ = o;
    return true;
  }
  bool reloadGeneral(const ce::WCHAR* installDir) {
    std::lock_guard<std::mutex> reading(readMu_);
    nx::WM_GENERAL_OPTS g{};
    if (!nx::CWmOptionsGen::ReadGeneralOpts(installDir, &g, nx::kOptionsReadCurrent)) return false;
    std::lock_guard<std::mutex> lock(mu_);
    general_ = g;
    return true;
  }

 private:
  mutable std::mutex mu_;
  std::mutex readMu_;  // held from the read of a file to the copy's update
  // Until the first read: the built-in defaults (protection on, repair or
  // quarantine, keep a copy; scan an inserted card).
  nx::WM_ONLINE_OPTS online_{1, nx::kActionRepairOrQuarantine, 1, {}};
  nx::WM_GENERAL_OPTS general_{1, {}};
};

}  // namespace guard
