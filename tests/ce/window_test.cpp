// Windows and message queues within one process: posting, taking and
// dispatching in order, filters, WM_QUIT, sending between threads (also both
// ways at once), windows that are gone, threads that end, full queues and
// texts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "testkit.h"

using namespace ce;

namespace {

struct Seen {
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};
thread_local std::vector<Seen>* t_seen = nullptr;

constexpr UINT kEcho = WM_USER + 5;     // answers wParam + 1
constexpr UINT kForward = WM_USER + 6;  // sends kEcho to the window in lParam and answers its answer

LRESULT recordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kEcho) return static_cast<LRESULT>(wParam + 1);
  if (msg == kForward) return SendMessageW(reinterpret_cast<HWND>(lParam), kEcho, wParam, 0);
  if (t_seen && msg >= WM_USER) t_seen->push_back(Seen{msg, wParam, lParam});
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

class Windows : public ::testing::Test {
 protected:
  void SetUp() override {
    static bool registered = false;
    if (!registered) {
      WNDCLASSW wc{};
      wc.lpfnWndProc = &recordingProc;
      wc.lpszClassName = u"NxTestWindow";
      ASSERT_NE(RegisterClassW(&wc), 0);
      registered = true;
    }
  }
  static HWND make(LPCWSTR title = u"test") {
    return CreateWindowExW(0, u"NxTestWindow", title, WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
  }
  nxtest::TempDevice dev;
};

// Runs a message loop on its own thread around one window; stops on WM_QUIT.
class LoopThread {
 public:
  LoopThread() {
    th_ = std::thread([this] {
      hwnd_ = CreateWindowExW(0, u"NxTestWindow", u"loop", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
      tid_ = GetCurrentThreadId();
      ready_ = true;
      MSG m;
      while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
      if (hwnd_) DestroyWindow(hwnd_);
    });
    while (!ready_) std::this_thread::yield();
  }
  ~LoopThread() { stop(); }
  void stop() {
    if (!th_.joinable()) return;
    PostThreadMessageW(tid_, WM_QUIT, 0, 0);
    th_.join();
  }
  HWND hwnd() const { return hwnd_; }

 private:
  std::thread th_;
  std::atomic<bool> ready_{false};
  HWND hwnd_ = nullptr;
  DWORD tid_ = 0;
};

}  // namespace

TEST_F(Windows, PostedMessagesComeInOrderAndReachTheProcedure) {
  std::vector<Seen> seen;
  t_seen = &seen;
  HWND w = make();
  ASSERT_TRUE(w);
  for (WPARAM i = 1; i <= 3; ++i) ASSERT_TRUE(PostMessageW(w, WM_USER + 1, i, static_cast<LPARAM>(i * 10)));
  ASSERT_TRUE(PostMessageW(nullptr, WM_USER + 2, 9, 0)) << "a thread message";
  PostQuitMessage(5);
  MSG m;
  std::vector<UINT> order;
  BOOL r;
  while ((r = GetMessageW(&m, nullptr, 0, 0)) > 0) {
    order.push_back(m.message);
    if (m.message == WM_USER + 2) {
      EXPECT_EQ(m.hwnd, nullptr);
      EXPECT_EQ(DispatchMessageW(&m), 0) << "nothing to dispatch a thread message to";
    } else {
      EXPECT_EQ(m.hwnd, w);
      DispatchMessageW(&m);
    }
  }
  EXPECT_EQ(r, FALSE);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 5u) << "WM_QUIT comes after every posted message";
  EXPECT_EQ(order, (std::vector<UINT>{WM_USER + 1, WM_USER + 1, WM_USER + 1, WM_USER + 2}));
  ASSERT_EQ(seen.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(seen[i].wParam, i + 1);
    EXPECT_EQ(seen[i].lParam, static_cast<LPARAM>((i + 1) * 10));
  }
  t_seen = nullptr;
  DestroyWindow(w);
}

TEST_F(Windows, PeekTakesOnlyWhatTheFilterLetsThrough) {
  HWND a = make(u"a");
  HWND b = make(u"b");
  ASSERT_TRUE(a && b);
  PostMessageW(a, WM_USER + 1, 1, 0);
  PostMessageW(b, WM_USER + 2, 2, 0);
  PostMessageW(a, WM_USER + 3, 3, 0);
  MSG m;
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.wParam, 1u);
  ASSERT_TRUE(PeekMessageW(&m, b, 0, 0, PM_REMOVE)) << "only b's";
  EXPECT_EQ(m.wParam, 2u);
  ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER + 3, WM_USER + 3, PM_REMOVE)) << "by range";
  EXPECT_EQ(m.wParam, 3u);
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 1u);
  EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) << "empty";

  // Messages of a window destroyed before they were taken are dropped.
  PostMessageW(a, WM_USER + 1, 4, 0);
  PostMessageW(b, WM_USER + 1, 5, 0);
  ASSERT_TRUE(DestroyWindow(a));
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 5u);
  EXPECT_EQ(PeekMessageW(&m, a, 0, 0, PM_REMOVE), FALSE);
  EXPECT_EQ(GetMessageW(&m, a, 0, 0), -1) << "a filter window that is gone";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  DestroyWindow(b);
}

TEST_F(Windows, SendingBetweenThreadsWaitsForTheOwnerAndNeverDeadlocks) {
  LoopThread loop;
  HWND mine = make();
  ASSERT_TRUE(loop.hwnd() && mine);
  // Another thread's window: handled on its thread, answered to ours.
  EXPECT_EQ(SendMessageW(loop.hwnd(), kEcho, 41, 0), 42);
  // The other thread sends back to ours while we wait for it: our waiting
  // send handles it, or the two would wait for each other for ever.
  EXPECT_EQ(SendMessageW(loop.hwnd(), kForward, 9, reinterpret_cast<LPARAM>(mine)), 10);
  // Our own window is called at once.
  EXPECT_EQ(SendMessageW(mine, kEcho, 1, 0), 2);

  // Many threads sending at once each get their own answer.
  std::vector<std::thread> senders;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t)
    senders.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i)
        if (SendMessageW(loop.hwnd(), kEcho, static_cast<WPARAM>(t * 1000 + i), 0) != t * 1000 + i + 1) ++wrong;
    });
  for (auto& s : senders) s.join();
  EXPECT_EQ(wrong.load(), 0);
  DestroyWindow(mine);
}

TEST_F(Windows, AWindowThatIsGoneIsRefusedEverywhere) {
  HWND first = make();  // the device's first window: no small number names it
  HWND w = make();
  ASSERT_TRUE(w);
  // Only its own thread may destroy it.
  std::thread([w] {
    EXPECT_FALSE(DestroyWindow(w));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }).join();
  ASSERT_TRUE(DestroyWindow(w));
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(PostMessageW(w, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  SetLastError(0);
  EXPECT_EQ(SendMessageW(w, kEcho, 1, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(ShowWindow(w, SW_SHOW));
  EXPECT_FALSE(DestroyWindow(w));
  for (uintptr_t junk : {uintptr_t{1}, uintptr_t{2}, uintptr_t{0xFFFF0000u}, uintptr_t{0x7FFFFFFFu}, ~uintptr_t{0}}) {
    EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(junk))) << junk;
    EXPECT_FALSE(PostMessageW(reinterpret_cast<HWND>(junk), WM_USER, 0, 0)) << junk;
  }
  EXPECT_TRUE(IsWindow(first));
  DestroyWindow(first);
}

TEST_F(Windows, AThreadThatEndsTakesItsWindowsAndAnswersWhoWaitsForIt) {
  HWND left = nullptr;
  std::thread([&] { left = make(); }).join();
  ASSERT_TRUE(left);
  EXPECT_FALSE(IsWindow(left)) << "its thread ended";
  EXPECT_FALSE(PostMessageW(left, WM_USER, 0, 0));

  // A send waiting on a thread that ends without ever reading its queue.
  std::atomic<HWND> w{nullptr};
  std::atomic<bool> go{false};
  std::thread idle([&] {
    w = make();
    while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  while (!w) std::this_thread::yield();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    go = true;
  });
  SetLastError(0);
  EXPECT_EQ(SendMessageW(w, kEcho, 1, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  idle.join();
  releaser.join();
}

TEST_F(Windows, ASendThatTimesOutLeavesNothingBehind) {
  std::atomic<HWND> w{nullptr};
  std::atomic<bool> pump{false};
  std::atomic<bool> done{false};
  std::thread slow([&] {
    w = make();
    while (!pump) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    MSG m;
    while (!done) {
      while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  while (!w) std::this_thread::yield();
  UINT_PTR result = 99;
  EXPECT_EQ(SendMessageTimeoutW(w, kEcho, 1, 0, SMTO_NORMAL, 30, &result), 0);
  EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
  EXPECT_EQ(result, 0u);
  pump = true;
  // The queue works on afterwards; the message given up on is not answered to anyone.
  EXPECT_EQ(SendMessageTimeoutW(w, kEcho, 5, 0, SMTO_NORMAL, 10000, &result), 1);
  EXPECT_EQ(result, 6u);
  done = true;
  slow.join();
}

TEST_F(Windows, AFullQueueRefusesPostsAndRecovers) {
  HWND w = make();
  ASSERT_TRUE(w);
  int posted = 0;
  while (PostMessageW(w, WM_USER, static_cast<WPARAM>(posted), 0)) ++posted;
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  EXPECT_EQ(posted, 4096);
  MSG m;
  ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 0u);
  EXPECT_TRUE(PostMessageW(w, WM_USER, 1, 0)) << "room again";
  int taken = 0;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) ++taken;
  EXPECT_EQ(taken, 4096);
  DestroyWindow(w);
}

TEST_F(Windows, TextsAreKeptAndPointerMessagesAreNotPosted) {
  HWND w = make(u"first");
  ASSERT_TRUE(w);
  WCHAR buf[64];
  EXPECT_EQ(GetWindowTextW(w, buf, 64), 5);
  EXPECT_EQ(std::u16string(buf), u"first");
  ASSERT_TRUE(SetWindowTextW(w, u"second"));
  EXPECT_EQ(GetWindowTextLengthW(w), 6);
  EXPECT_EQ(GetWindowTextW(w, buf, 4), 3) << "cut to the buffer";
  EXPECT_EQ(std::u16string(buf), u"sec");
  std::u16string huge(5000, u'x');
  ASSERT_TRUE(SetWindowTextW(w, huge.c_str()));
  EXPECT_EQ(GetWindowTextLengthW(w), 1023) << "a window keeps 1023 characters";
  // Another thread of the process sets it through the owner's queue.
  LoopThread loop;
  ASSERT_TRUE(SetWindowTextW(loop.hwnd(), u"from another thread"));
  EXPECT_EQ(GetWindowTextW(loop.hwnd(), buf, 64), 19);
  EXPECT_FALSE(PostMessageW(w, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(u"x")));
  EXPECT_EQ(GetLastError(), ERROR_MESSAGE_SYNC_ONLY);
  DestroyWindow(w);
}

TEST_F(Windows, PlacementAndValues) {
  HWND w = make();
  HWND child = CreateWindowExW(0, u"STATIC", u"label", WS_CHILD | WS_VISIBLE, 5, 6, 20, 10, w,
                               reinterpret_cast<HMENU>(77), nullptr, nullptr);
  ASSERT_TRUE(w && child);
  EXPECT_EQ(GetParent(child), w);
  EXPECT_TRUE(IsChild(w, child));
  EXPECT_EQ(GetDlgCtrlID(child), 77);
  EXPECT_EQ(GetDlgItem(w, 77), child);
  EXPECT_FALSE(IsWindowVisible(child)) << "its parent is hidden";
  ASSERT_TRUE(MoveWindow(w, 10, 20, 200, 100, TRUE));
  RECT r;
  ASSERT_TRUE(GetWindowRect(child, &r));
  EXPECT_EQ(r.left, 15);
  EXPECT_EQ(r.top, 26);
  EXPECT_EQ(r.right, 35);
  ASSERT_TRUE(GetClientRect(w, &r));
  EXPECT_EQ(r.right, 200);
  EXPECT_EQ(r.bottom, 100);
  EXPECT_EQ(SetWindowLongW(w, GWL_USERDATA, 1234), 0);
  EXPECT_EQ(GetWindowLongW(w, GWL_USERDATA), 1234);
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(w, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, GetCurrentProcessId());
  EXPECT_EQ(FindWindowW(u"NxTestWindow", u"test"), w);
  ASSERT_TRUE(DestroyWindow(w));
  EXPECT_FALSE(IsWindow(child)) << "children go with their parent";
}
