// What the shell tests need to see change records: the records this process
// is given (through the record sink, in place of a window's queue), and
// waiting for the ones a test expects.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ce/ce.h"

namespace shelltest {

struct Record {
  ce::HWND window;
  ce::LONG code;
  std::string item1;
  std::string item2;
  bool hasItem2;
  ce::DWORD cbSize;
  ce::ULONG flags;
  ce::DWORD attributes;
  ce::ULONG size;
};

inline std::string describe(const Record& r) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%X", static_cast<unsigned>(r.code));
  return std::string(code) + " " + r.item1 + (r.hasItem2 ? " -> " + r.item2 : "");
}

// Every record posted in this process, in order, with the window it was for.
class Records {
 public:
  static Records& get() {
    static Records* r = new Records;
    return *r;
  }

  void install() { ce::diag::SetChangeRecordSink(&sink); }
  void uninstall() { ce::diag::SetChangeRecordSink(nullptr); }
  // While set, every post fails as if the window's queue were full.
  void refuse(bool on) {
    std::lock_guard lock(mu_);
    refuse_ = on;
  }
  void clear() {
    std::lock_guard lock(mu_);
    seen_.clear();
  }
  std::vector<Record> all() {
    std::lock_guard lock(mu_);
    return seen_;
  }
  std::vector<Record> of(ce::HWND w) {
    std::vector<Record> out;
    for (auto& r : all())
      if (r.window == w) out.push_back(r);
    return out;
  }
  // Waits until a record for window w (any window when null) with this code
  // and items has been posted.
  bool waitFor(ce::HWND w, ce::LONG code, const std::string& item1, const std::string& item2 = "",
               int timeoutMs = 10000) {
    return waitUntil(
        [&](const std::vector<Record>& seen) {
          for (const auto& r : seen)
            if ((!w || r.window == w) && r.code == code && r.item1 == item1 && r.item2 == item2) return true;
          return false;
        },
        timeoutMs);
  }
  bool waitUntil(const std::function<bool(const std::vector<Record>&)>& done, int timeoutMs = 10000) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return done(seen_); });
  }
  std::string dump() {
    std::string out;
    for (auto& r : all()) out += "  " + describe(r) + "\n";
    return out;
  }

 private:
  static ce::BOOL sink(ce::HWND w, ce::FILECHANGENOTIFY* rec) {
    Records& self = get();
    std::lock_guard lock(self.mu_);
    if (self.refuse_) return ce::FALSE;
    const auto& f = rec->fci;
    auto text = [](uintptr_t p) { return p ? ce::utf16ToUtf8(reinterpret_cast<const char16_t*>(p)) : std::string(); };
    self.seen_.push_back(Record{w, f.wEventId, text(f.dwItem1), text(f.dwItem2), f.dwItem2 != 0, f.cbSize, f.uFlags,
                                f.dwAttributes, f.nFileSize});
    ce::SHChangeNotifyFree(rec);
    self.cv_.notify_all();
    return ce::TRUE;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Record> seen_;
  bool refuse_ = false;
};

inline ce::HWND window(uintptr_t n) { return reinterpret_cast<ce::HWND>(n); }

inline bool registerWindow(ce::HWND w, ce::DWORD mask, const char16_t* folder, bool recursive) {
  std::u16string f = folder ? folder : u"";
  ce::SHCHANGENOTIFYENTRY e{mask, folder ? f.data() : nullptr, recursive ? ce::TRUE : ce::FALSE};
  return ce::SHChangeNotifyRegister(w, &e) != ce::FALSE;
}

// Runs a shell command line on the host, as another process.
inline void host(const std::string& command) {
  int rc = std::system(command.c_str());
  ASSERT_EQ(rc, 0) << command;
}

inline std::string quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace shelltest
