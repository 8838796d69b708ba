// The host side of the shell's change notifications: one inotify instance per
// process over the device root and the inserted card, every folder watched,
// new folders watched as they appear. Its thread turns what the kernel reports
// into the shell's events and hands them to the notification layer.
#pragma once

#include <sys/inotify.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ce/shell.h"
#include "device.h"

namespace ce::detail {

struct ChangeEvent {
  LONG code = 0;
  std::u16string item1;
  std::u16string item2;
  DWORD attributes = 0;
  FILETIME modified{};
  ULONG size = 0;
};

// Receives each event on the watcher's thread; false when a record could not
// be posted to a window that still exists (its queue was full): the watcher
// then posts the files changed since as updates once posting works again.
using ChangeDeliver = bool (*)(const ChangeEvent& ev, void* ctx);

class ChangeWatcher {
 public:
  // Watches the device, then starts the thread; the folders are all watched
  // when it returns, so a change made afterwards is seen. nullptr with the
  // last error set when the host gives no inotify instance.
  static std::unique_ptr<ChangeWatcher> start(DeviceState* dev, ChangeDeliver deliver, void* ctx);
  ~ChangeWatcher();  // stops and joins the thread
  ChangeWatcher(const ChangeWatcher&) = delete;
  ChangeWatcher& operator=(const ChangeWatcher&) = delete;

  bool onWatcherThread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  ChangeWatcher() = default;

  struct Dir {
    std::string host;
    std::u16string device;
    bool card = false;
  };
  // A file or folder below a polled folder, as last seen.
  struct Stamp {
    int64_t mtime = 0;
    int64_t ctime = 0;
    uint64_t ino = 0;
    int64_t size = 0;
    bool dir = false;
  };
  // A folder the host would not give a watch for: its whole subtree is
  // compared with what it held at the last look, now and then.
  struct Polled {
    Dir dir;
    std::unordered_map<std::string, Stamp> entries;  // by path below dir.host
  };
  struct PendingMove {
    uint32_t cookie;
    Dir from;
    bool isDir;
    int64_t deadlineNs;
  };
  // An event from inside a folder whose move is not settled yet: it is
  // handled once the folder's new name (or its leaving the device) is known.
  struct Deferred {
    int wd;
    uint32_t mask;
    uint32_t cookie;
    std::string name;
  };

  void run();
  void readEvents();
  void handle(const inotify_event* ev);
  void handleOne(int wd, uint32_t mask, uint32_t cookie, const char* name);
  void replayDeferred();
  void flushMoves(bool all);
  void movedOut(const PendingMove& m);
  void overflow();
  void rescanChanged(int64_t sinceRealNs, bool relink);
  void checkCard();
  void pollUnwatched();

  // Watches the folder and everything below it; with `report` its contents
  // are new and posted as created, and topCode (if any) is posted for the
  // folder itself. Listing a folder after its watch is in place means
  // nothing made in it in the meantime goes unseen.
  void addTree(const Dir& top, bool report, LONG topCode);
  // The watch of one folder, posting `code` (if any) for it once the watch
  // is there; -1 when none was given (a folder the host will not watch is
  // polled instead, see Polled).
  int addWatch(const Dir& d, bool report, LONG code);
  void removeSubtree(const std::string& host);
  void retarget(const Dir& from, const Dir& to);
  void snapshot(Polled& p, bool report);
  bool isRootTop(const std::string& host) const { return host == root_; }

  void post(LONG code, const Dir& item, const Dir* item2, bool isDir);
  void postNamed(LONG code, const std::u16string& item1, const std::u16string& item2);
  bool deliver(ChangeEvent& ev);
  void lost(const char* why);

  DeviceState* dev_ = nullptr;
  ChangeDeliver deliver_ = nullptr;
  void* ctx_ = nullptr;
  std::string root_;
  int inotify_ = -1;
  int wake_ = -1;
  int ceWd_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};

  std::unordered_map<int, Dir> dirs_;
  std::vector<Polled> polled_;
  std::vector<PendingMove> moves_;
  std::vector<Deferred> deferred_;
  size_t watchLimit_ = 0;  // 0: only the host's own limit
  int64_t nextPollNs_ = 0;

  std::string cardHost_;
  uint32_t cardGen_ = 0;

  // Host realtime at which the kernel's queue was last found empty: every
  // change since is in the queue or, after an overflow, lost from it.
  int64_t idleRealNs_ = 0;
  // Posting failed since this time; a rescan is due at retryNs_.
  bool lost_ = false;
  bool retrying_ = false;
  int64_t lostSinceRealNs_ = 0;
  int64_t retryNs_ = 0;
  int64_t retryDelayNs_ = 0;
};

}  // namespace ce::detail
