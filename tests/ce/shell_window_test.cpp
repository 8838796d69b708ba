// Change records posted to real windows: dispatched in the window's own
// thread, refused for windows the records could not reach, and ended with
// the window.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "shell_records.h"
#include "testkit.h"

using namespace shelltest;

namespace {

// A window on a thread of its own, with its message loop.
class WindowThread {
 public:
  explicit WindowThread(ce::DWORD mask) {
    thread_ = std::thread([this, mask] { run(mask); });
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return started_; });
  }
  ~WindowThread() {
    if (hwnd_) ce::PostMessageW(hwnd_, ce::WM_CLOSE, 0, 0);
    thread_.join();
  }
  ce::HWND hwnd() const { return hwnd_; }
  bool registered() const { return registered_; }
  ce::DWORD threadId() const { return tid_; }
  // Destroys the window on its thread without deregistering it.
  void destroyOnly() {
    ce::PostMessageW(hwnd_, ce::WM_APP + 1, 0, 0);
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return ended_; });
  }
  bool waitFor(const std::string& item, ce::LONG code, int timeoutMs = 10000) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (auto& s : seen_)
        if (s.item == item && s.code == code) return true;
      return false;
    });
  }
  struct Seen {
    ce::LONG code;
    std::string item;
    ce::DWORD thread;
  };
  std::vector<Seen> seen() {
    std::lock_guard lock(mu_);
    return seen_;
  }

 private:
  static WindowThread*& self() {
    static thread_local WindowThread* w = nullptr;
    return w;
  }
  static ce::LRESULT proc(ce::HWND hwnd, ce::UINT msg, ce::WPARAM wp, ce::LPARAM lp) {
    WindowThread* me = self();
    if (msg == ce::WM_FILECHANGEINFO) {
      auto* rec = reinterpret_cast<ce::FILECHANGENOTIFY*>(lp);
      std::lock_guard lock(me->mu_);
      me->seen_.push_back({rec->fci.wEventId, ce::utf16ToUtf8(reinterpret_cast<const char16_t*>(rec->fci.dwItem1)),
                           ce::GetCurrentThreadId()});
      ce::SHChangeNotifyFree(rec);
      me->cv_.notify_all();
      return 0;
    }
    if (msg == ce::WM_CLOSE || msg == ce::WM_APP + 1) {
      ce::DestroyWindow(hwnd);
      ce::PostQuitMessage(0);
      return 0;
    }
    return ce::DefWindowProcW(hwnd, msg, wp, lp);
  }
  void run(ce::DWORD mask) {
    self() = this;
    ce::WNDCLASSW wc{};
    wc.lpfnWndProc = &proc;
    wc.lpszClassName = u"ShellWindowTest";
    ce::RegisterClassW(&wc);
    ce::HWND h = ce::CreateWindowExW(0, u"ShellWindowTest", u"t", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ce::SHCHANGENOTIFYENTRY e{mask, nullptr, ce::TRUE};
    bool ok = h && ce::SHChangeNotifyRegister(h, &e);
    {
      std::lock_guard lock(mu_);
      hwnd_ = h;
      registered_ = ok;
      tid_ = ce::GetCurrentThreadId();
      started_ = true;
    }
    cv_.notify_all();
    ce::MSG m;
    while (ce::GetMessageW(&m, nullptr, 0, 0) > 0) ce::DispatchMessageW(&m);
    std::lock_guard lock(mu_);
    ended_ = true;
    cv_.notify_all();
  }

  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool started_ = false, ended_ = false, registered_ = false;
  ce::HWND hwnd_ = nullptr;
  ce::DWORD tid_ = 0;
  std::vector<Seen> seen_;
};

TEST(ShellWindow, RecordsAreDispatchedInTheWindowsThread) {
  nxtest::TempDevice dev(100.0);
  WindowThread w(ce::SHCNE_CREATE | ce::SHCNE_UPDATEITEM);
  ASSERT_TRUE(w.registered()) << ce::GetLastError();
  host("mkdir " + quoted(dev.host("Temp/n")) + " && printf 1 > " + quoted(dev.host("Temp/n/one.txt")));
  ASSERT_TRUE(w.waitFor("\\Temp\\n\\one.txt", ce::SHCNE_CREATE) || w.waitFor("\\Temp\\n\\one.txt", ce::SHCNE_UPDATEITEM));
  for (const auto& s : w.seen()) EXPECT_EQ(s.thread, w.threadId()) << s.item;
  ce::SHChangeNotifyDeregister(w.hwnd());
}

TEST(ShellWindow, OnlyWindowsOfThisProcessCanBeRegistered) {
  nxtest::TempDevice dev(100.0);
  nxtest::HelperProcess other({"shell_watch", "2", "1"});
  std::string ready = other.readLine();
  ASSERT_EQ(ready.rfind("ready ", 0), 0u) << ready;
  auto theirs = reinterpret_cast<ce::HWND>(static_cast<uintptr_t>(std::stoull(ready.substr(6), nullptr, 16)));
  ce::SHCHANGENOTIFYENTRY e{ce::SHCNE_ALLEVENTS, nullptr, ce::TRUE};
  EXPECT_FALSE(ce::SHChangeNotifyRegister(theirs, &e));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_ACCESS_DENIED);
  EXPECT_FALSE(ce::SHChangeNotifyRegister(window(0x4242), &e));
  EXPECT_EQ(ce::GetLastError(), ce::ERROR_INVALID_WINDOW_HANDLE);
  // Theirs is told in their window, by their watcher.
  host("printf x > " + quoted(dev.host("Temp/x.txt")));
  std::string line;
  for (int i = 0; i < 20 && line.find("x.txt") == std::string::npos; ++i) line = other.readLine(1000);
  EXPECT_EQ(line, "event 2\t\\Temp\\x.txt\t\n");
  other.writeLine("quit");
  EXPECT_EQ(other.wait(), 0);
}

TEST(ShellWindow, ADestroyedWindowLosesItsRegistration) {
  nxtest::TempDevice dev(100.0);
  WindowThread keep(ce::SHCNE_CREATE);
  WindowThread gone(ce::SHCNE_CREATE);
  ASSERT_TRUE(keep.registered() && gone.registered());
  EXPECT_EQ(ce::ListChangeNotifyRegistrations().size(), 2u);
  gone.destroyOnly();
  host("printf x > " + quoted(dev.host("Temp/after.txt")));
  ASSERT_TRUE(keep.waitFor("\\Temp\\after.txt", ce::SHCNE_CREATE));
  // Dropped when a record for it is refused, just after keep's was posted.
  auto list = ce::ListChangeNotifyRegistrations();
  for (int i = 0; i < 500 && list.size() != 1; ++i) {
    ::usleep(2000);
    list = ce::ListChangeNotifyRegistrations();
  }
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].window, reinterpret_cast<uintptr_t>(keep.hwnd()));
  ce::SHChangeNotifyDeregister(keep.hwnd());
}

// A window destroyed before it read its records frees them with its queue
// (the leak checker of the sanitizer build sees one that is not), and a
// WM_FILECHANGEINFO posted by anyone else with a parameter of its own is
// dropped without being taken for a record.
TEST(ShellWindow, RecordsStillQueuedGoWithTheWindow) {
  nxtest::TempDevice dev(100.0);
  ce::WNDCLASSW wc{};
  wc.lpfnWndProc = &ce::DefWindowProcW;
  wc.lpszClassName = u"ShellUnread";
  ce::RegisterClassW(&wc);
  ce::HWND h = ce::CreateWindowExW(0, u"ShellUnread", u"t", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(h);
  ce::SHCHANGENOTIFYENTRY e{ce::SHCNE_CREATE | ce::SHCNE_UPDATEITEM, nullptr, ce::TRUE};
  ASSERT_TRUE(ce::SHChangeNotifyRegister(h, &e)) << ce::GetLastError();
  ASSERT_TRUE(ce::PostMessageW(h, ce::WM_FILECHANGEINFO, 0, 0x1234));
  host("printf x > " + quoted(dev.host("Temp/unread.txt")));
  // Wait until a record stands in the queue behind the foreign message.
  auto queued = [&] {
    ce::MSG m;
    int n = 0;
    std::vector<ce::MSG> taken;
    while (ce::PeekMessageW(&m, h, ce::WM_FILECHANGEINFO, ce::WM_FILECHANGEINFO, ce::PM_REMOVE)) taken.push_back(m);
    for (const ce::MSG& t : taken) {
      if (t.lParam != 0x1234) ++n;
      ce::PostMessageW(h, t.message, t.wParam, t.lParam);
    }
    return n;
  };
  int n = 0;
  for (int i = 0; i < 1000 && (n = queued()) == 0; ++i) ::usleep(2000);
  ASSERT_GT(n, 0) << "no record was posted for the file";
  ASSERT_TRUE(ce::SHChangeNotifyDeregister(h));
  ASSERT_TRUE(ce::DestroyWindow(h));
  ce::MSG m;
  EXPECT_FALSE(ce::PeekMessageW(&m, nullptr, 0, 0, ce::PM_REMOVE)) << "a message of the window outlived it";
}

}  // namespace
