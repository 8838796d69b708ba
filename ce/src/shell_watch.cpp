#include "shell_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_set>

#include "ce/base.h"
#include "ce/text.h"
#include "ce/time.h"
#include "device_log.h"
#include "device_settings.h"

namespace ce::detail {
namespace {

constexpr uint32_t kWatchMask =
    IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// The kernel queues both halves of a rename together; a read that ends
// between them is the only reason to wait for the second.
constexpr int64_t kMoveGraceNs = 10'000'000;
// File times come from the kernel's coarse clock and may lag the moment a
// change was queued; a rescan looks this much further back.
constexpr int64_t kStampSlackNs = 1'000'000'000;
constexpr char16_t kCardDevice[] = u"\\Storage Card";

int64_t realNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t nsOf(const timespec& ts) { return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec; }

// When the file last changed as far as anyone can tell: a copy that keeps
// the original modification time still gets a new change time.
int64_t changedNs(const struct stat& st) { return std::max(nsOf(st.st_mtim), nsOf(st.st_ctim)); }

bool dotName(const char* n) { return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)); }

std::string clockText(int64_t realNsValue) {
  // Device local time of a host instant: the device clock may run fast, so
  // the instant is placed relative to now on both clocks.
  int64_t agoNs = std::max<int64_t>(0, realNs() - realNsValue);
  int64_t dev = clock::deviceNow100ns() - static_cast<int64_t>(static_cast<double>(agoNs / 100) * GetClockSpeed());
  FILETIME ft{static_cast<DWORD>(dev), static_cast<DWORD>(static_cast<uint64_t>(dev) >> 32)};
  FILETIME local{};
  SYSTEMTIME t{};
  FileTimeToLocalFileTime(&ft, &local);
  FileTimeToSystemTime(&local, &t);
  char text[32];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", t.wHour, t.wMinute, t.wSecond);
  return text;
}

// Entries of a host folder, not following symbolic links.
struct Entry {
  std::string name;
  bool dir;
};
bool listFolder(const std::string& host, std::vector<Entry>& out) {
  out.clear();
  int fd = ::open(host.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return false;
  }
  while (dirent* e = ::readdir(dir)) {
    if (dotName(e->d_name)) continue;
    bool isDir = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN) {
      struct stat st{};
      isDir = ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    out.push_back({e->d_name, isDir});
  }
  ::closedir(dir);
  return true;
}

// Device path of a name (or a relative host path) below a device folder.
std::u16string joinDevice(const std::u16string& folder, std::string_view rel) {
  std::u16string out = folder == u"\\" ? std::u16string() : folder;
  out.push_back(u'\\');
  for (char16_t c : utf8ToUtf16(rel)) out.push_back(c == u'/' ? u'\\' : c);
  return out;
}

bool under(const std::string& path, const std::string& folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

}  // namespace

std::unique_ptr<ChangeWatcher> ChangeWatcher::start(DeviceState* dev, ChangeDeliver deliver, void* ctx) {
  std::unique_ptr<ChangeWatcher> w(new ChangeWatcher);
  w->dev_ = dev;
  w->deliver_ = deliver;
  w->ctx_ = ctx;
  w->root_ = dev->root;
  w->inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (w->inotify_ < 0) {
    int err = errno;
    deviceLog(dev->ceDir, std::string("shell: no change notifications: the host gives no inotify instance (") +
                              std::strerror(err) + ")");
    SetLastError(err == EMFILE || err == ENFILE ? ERROR_TOO_MANY_OPEN_FILES : ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  w->wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (w->wake_ < 0) {
    SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
  }
  // A limit below the host's, for trying out a device with few watches.
  std::string limit = settingsGet(dev->ceDir, "shell_watch_limit");
  if (!limit.empty()) w->watchLimit_ = std::strtoul(limit.c_str(), nullptr, 10);
  w->idleRealNs_ = realNs();
  // Whoever inserts or removes the card rewrites the device settings after
  // the mount changed: that rename wakes this thread to look.
  w->ceWd_ = ::inotify_add_watch(w->inotify_, dev->ceDir.c_str(), IN_MOVED_TO | IN_ONLYDIR);
  w->cardGen_ = dev->seg->cardGeneration.load(std::memory_order_acquire);
  w->cardHost_ = withSegmentLock(dev->seg, [&] { return std::string(dev->seg->cardFolder); });
  w->addTree(Dir{w->root_, u"\\", false}, false, 0);
  if (!w->cardHost_.empty()) w->addTree(Dir{w->cardHost_, kCardDevice, true}, false, 0);
  w->thread_ = std::thread([p = w.get()] { p->run(); });
  return w;
}

ChangeWatcher::~ChangeWatcher() {
  stop_.store(true);
  if (wake_ >= 0) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
  }
  if (thread_.joinable()) thread_.join();
  if (inotify_ >= 0) ::close(inotify_);
  if (wake_ >= 0) ::close(wake_);
}

void ChangeWatcher::run() {
  pollfd fds[2] = {{inotify_, POLLIN, 0}, {wake_, POLLIN, 0}};
  while (!stop_.load()) {
    int64_t due = INT64_MAX;
    for (const auto& m : moves_) due = std::min(due, m.deadlineNs);
    if (!polled_.empty()) due = std::min(due, nextPollNs_);
    if (lost_) due = std::min(due, retryNs_);
    int timeout = -1;
    if (due != INT64_MAX) {
      int64_t left = due - clock::hostMonotonicNs();
      timeout = left <= 0 ? 0 : static_cast<int>(std::min<int64_t>((left + 999'999) / 1'000'000, INT_MAX));
    }
    int n = ::poll(fds, 2, timeout);
    if (n < 0 && errno != EINTR) {
      deviceLog(dev_->ceDir, std::string("shell: change notifications stopped: ") + std::strerror(errno));
      return;
    }
    if (stop_.load()) return;
    if (n > 0 && (fds[0].revents & POLLIN)) readEvents();
    flushMoves(false);
    checkCard();
    int64_t now = clock::hostMonotonicNs();
    if (!polled_.empty() && now >= nextPollNs_) pollUnwatched();
    if (lost_ && now >= retryNs_) {
      // Post again what changed since posting first failed; if that fails
      // too, the next try looks back just as far.
      lost_ = false;
      retrying_ = true;
      rescanChanged(lostSinceRealNs_, false);
      retrying_ = false;
    }
  }
}

void ChangeWatcher::readEvents() {
  alignas(inotify_event) char buf[65536];
  const int64_t prevIdle = idleRealNs_;
  bool overflowed = false;
  for (;;) {
    ssize_t n = ::read(inotify_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      idleRealNs_ = realNs();
      break;
    }
    if (n <= 0) {
      deviceLog(dev_->ceDir, std::string("shell: reading change notifications failed: ") + std::strerror(errno));
      break;
    }
    for (char* p = buf; p < buf + n;) {
      auto* ev = reinterpret_cast<inotify_event*>(p);
      p += sizeof(inotify_event) + ev->len;
      if (ev->mask & IN_Q_OVERFLOW) {
        overflowed = true;
        continue;
      }
      handle(ev);
    }
    if (stop_.load()) return;
  }
  if (overflowed) {
    deviceLog(dev_->ceDir, "shell: change notifications overflowed the host's queue (fs.inotify.max_queued_events); "
                           "files changed since " +
                               clockText(prevIdle) + " are posted as updates");
    // Moves whose second half was lost: the old name is gone, and the new
    // one, if inside the device, is found by the rescan.
    for (const auto& m : moves_) {
      struct stat st{};
      if (::lstat(m.from.host.c_str(), &st) != 0) post(m.isDir ? SHCNE_RMDIR : SHCNE_DELETE, m.from, nullptr, m.isDir);
    }
    moves_.clear();
    replayDeferred();
    checkCard();
    rescanChanged(prevIdle, true);
  }
}

void ChangeWatcher::handle(const inotify_event* ev) {
  handleOne(ev->wd, ev->mask, ev->cookie, ev->len ? ev->name : "");
}

void ChangeWatcher::handleOne(int wd, uint32_t mask, uint32_t cookie, const char* name) {
  if (wd == ceWd_) return;  // the card is looked at after every batch
  // While a move waits for its second half, everything after it waits too:
  // until the mover's new name is known (or that it left the device), what
  // happens next, inside the moved folder or elsewhere, can be neither named
  // nor told in its place.
  if (!moves_.empty()) {
    const bool settles = (mask & IN_MOVED_TO) && std::any_of(moves_.begin(), moves_.end(), [&](const PendingMove& m) {
                           return m.cookie == cookie;
                         });
    if (!settles) {
      deferred_.push_back({wd, mask, cookie, name});
      return;
    }
  }
  auto it = dirs_.find(wd);
  if (mask & IN_IGNORED) {
    if (it != dirs_.end()) dirs_.erase(it);
    return;
  }
  if (it == dirs_.end() || !*name) return;
  const Dir parent = it->second;  // a copy: the table may change below
  if (!parent.card && isRootTop(parent.host) && std::strcmp(name, ".ce") == 0) return;
  Dir item{parent.host + "/" + name, joinDevice(parent.device, name), parent.card};
  const bool isDir = (mask & IN_ISDIR) != 0;

  if (mask & IN_MOVED_TO) {
    auto m = std::find_if(moves_.begin(), moves_.end(), [&](const PendingMove& pm) { return pm.cookie == cookie; });
    if (m != moves_.end()) {
      PendingMove from = *m;
      moves_.erase(m);
      if (isDir) retarget(from.from, item);
      post(isDir ? SHCNE_RENAMEFOLDER : SHCNE_RENAMEITEM, from.from, &item, isDir);
      replayDeferred();
      return;
    }
  }
  if (mask & (IN_CREATE | IN_MOVED_TO)) {
    // Moved in from outside the device counts as made here.
    if (isDir) {
      addTree(item, true, SHCNE_MKDIR);
    } else {
      post(SHCNE_CREATE, item, nullptr, false);
    }
  } else if (mask & IN_CLOSE_WRITE) {
    post(SHCNE_UPDATEITEM, item, nullptr, false);
  } else if (mask & IN_DELETE) {
    post(isDir ? SHCNE_RMDIR : SHCNE_DELETE, item, nullptr, isDir);
  } else if (mask & IN_MOVED_FROM) {
    moves_.push_back({cookie, item, isDir, clock::hostMonotonicNs() + kMoveGraceNs});
  }
}

void ChangeWatcher::flushMoves(bool all) {
  int64_t now = clock::hostMonotonicNs();
  for (size_t i = 0; i < moves_.size();) {
    if (all || moves_[i].deadlineNs <= now) {
      PendingMove m = moves_[i];
      moves_.erase(moves_.begin() + static_cast<ptrdiff_t>(i));
      movedOut(m);
    } else {
      ++i;
    }
  }
}

void ChangeWatcher::movedOut(const PendingMove& m) {
  post(m.isDir ? SHCNE_RMDIR : SHCNE_DELETE, m.from, nullptr, m.isDir);
  // The folder's watches follow it wherever it went; outside the device
  // they must not report.
  if (m.isDir) removeSubtree(m.from.host);
  replayDeferred();
}

void ChangeWatcher::replayDeferred() {
  // In the order they came; those of a folder still in flight wait again.
  std::vector<Deferred> events;
  events.swap(deferred_);
  for (const auto& d : events) handleOne(d.wd, d.mask, d.cookie, d.name.c_str());
}

void ChangeWatcher::addTree(const Dir& top, bool report, LONG topCode) {
  struct Todo {
    Dir dir;
    LONG code;
  };
  std::vector<Todo> todo{{top, topCode}};
  std::vector<Entry> entries;
  while (!todo.empty()) {
    Todo t = std::move(todo.back());
    todo.pop_back();
    const Dir& d = t.dir;
    if (addWatch(d, report, t.code) < 0) continue;
    if (!listFolder(d.host, entries)) continue;
    const bool rootTop = !d.card && isRootTop(d.host);
    for (const auto& e : entries) {
      if (rootTop && e.name == ".ce") continue;
      Dir child{d.host + "/" + e.name, joinDevice(d.device, e.name), d.card};
      if (e.dir)
        todo.push_back({std::move(child), report ? SHCNE_MKDIR : 0});
      else if (report)
        post(SHCNE_CREATE, child, nullptr, false);
    }
  }
}

int ChangeWatcher::addWatch(const Dir& d, bool report, LONG code) {
  // Below a polled folder: it is watched again only as a whole.
  for (const auto& p : polled_)
    if (under(d.host, p.dir.host)) {
      if (code) post(code, d, nullptr, true);
      return -1;
    }
  int wd = ::inotify_add_watch(inotify_, d.host.c_str(), kWatchMask);
  if (wd >= 0) {
    auto it = dirs_.find(wd);
    if (it != dirs_.end()) {
      // The folder is already watched under another name (its move was
      // not seen whole): it is where the kernel says it is now.
      it->second = d;
    } else if (watchLimit_ == 0 || dirs_.size() < watchLimit_) {
      dirs_.emplace(wd, d);
    } else {
      ::inotify_rm_watch(inotify_, wd);
      wd = -1;
      errno = 0;  // the device's own limit
    }
  }
  // A new folder is told once its watch is in place (or its polling is
  // logged): whoever acts on the news and makes something in it is seen.
  const int err = errno;
  if (wd >= 0 || err == ENOENT || err == ENOTDIR) {  // gone again, or not a folder any more
    if (code) post(code, d, nullptr, true);
    return wd;
  }
  deviceLog(dev_->ceDir, "shell: no change watch for " + utf16ToUtf8(d.device) + " (" +
                             (err == 0        ? std::string("the device's limit of watches, shell_watch_limit, is reached")
                              : err == ENOSPC ? std::string("the host's limit of watches, fs.inotify.max_user_watches, "
                                                            "is reached")
                                              : std::string(std::strerror(err))) +
                             "): it and its folders are polled for changes instead");
  if (code) post(code, d, nullptr, true);
  Polled p;
  p.dir = d;
  snapshot(p, report);
  polled_.push_back(std::move(p));
  int64_t interval = std::clamp<int64_t>(clock::hostDurationNs(1000), 20'000'000, 1'000'000'000);
  if (polled_.size() == 1) nextPollNs_ = clock::hostMonotonicNs() + interval;
  return -1;
}

void ChangeWatcher::removeSubtree(const std::string& host) {
  for (auto it = dirs_.begin(); it != dirs_.end();) {
    if (under(it->second.host, host)) {
      ::inotify_rm_watch(inotify_, it->first);
      it = dirs_.erase(it);
    } else {
      ++it;
    }
  }
  std::erase_if(polled_, [&](const Polled& p) { return under(p.dir.host, host); });
}

void ChangeWatcher::retarget(const Dir& from, const Dir& to) {
  bool found = false;
  auto fix = [&](Dir& d) {
    if (!under(d.host, from.host)) return;
    d.host = to.host + d.host.substr(from.host.size());
    d.device = to.device + d.device.substr(std::min(d.device.size(), from.device.size()));
    d.card = to.card;
    found = true;
  };
  for (auto& [wd, d] : dirs_) fix(d);
  for (auto& p : polled_) fix(p.dir);
  // Moved in from a place without watches (a polled folder): watch it now.
  if (!found) addTree(to, false, 0);
}

void ChangeWatcher::snapshot(Polled& p, bool report) {
  p.entries.clear();
  std::vector<std::string> todo{""};
  std::vector<Entry> entries;
  while (!todo.empty()) {
    std::string rel = std::move(todo.back());
    todo.pop_back();
    if (!listFolder(rel.empty() ? p.dir.host : p.dir.host + "/" + rel, entries)) continue;
    for (const auto& e : entries) {
      std::string childRel = rel.empty() ? e.name : rel + "/" + e.name;
      Dir child{p.dir.host + "/" + childRel, joinDevice(p.dir.device, childRel), p.dir.card};
      struct stat st{};
      if (::lstat(child.host.c_str(), &st) != 0) continue;
      p.entries[childRel] = Stamp{nsOf(st.st_mtim), nsOf(st.st_ctim), static_cast<uint64_t>(st.st_ino),
                                  static_cast<int64_t>(st.st_size), e.dir};
      if (report) post(e.dir ? SHCNE_MKDIR : SHCNE_CREATE, child, nullptr, e.dir);
      if (e.dir) todo.push_back(std::move(childRel));
    }
  }
}

void ChangeWatcher::pollUnwatched() {
  nextPollNs_ = clock::hostMonotonicNs() + std::clamp<int64_t>(clock::hostDurationNs(1000), 20'000'000, 1'000'000'000);
  for (size_t i = 0; i < polled_.size();) {
    Polled was = polled_[i];
    bool rewatched = false;
    int wd = ::inotify_add_watch(inotify_, was.dir.host.c_str(), kWatchMask);
    if (wd >= 0 && (dirs_.count(wd) || watchLimit_ == 0 || dirs_.size() < watchLimit_)) {
      rewatched = true;
      dirs_[wd] = was.dir;
      polled_.erase(polled_.begin() + static_cast<ptrdiff_t>(i));
      addTree(was.dir, false, 0);
    } else if (wd >= 0) {
      ::inotify_rm_watch(inotify_, wd);
    }
    Polled now;
    now.dir = was.dir;
    snapshot(now, false);
    for (const auto& [rel, st] : now.entries) {
      Dir item{was.dir.host + "/" + rel, joinDevice(was.dir.device, rel), was.dir.card};
      auto old = was.entries.find(rel);
      if (old == was.entries.end() || old->second.dir != st.dir) {
        post(st.dir ? SHCNE_MKDIR : SHCNE_CREATE, item, nullptr, st.dir);
      } else if (!st.dir && (old->second.mtime != st.mtime || old->second.ctime != st.ctime ||
                             old->second.size != st.size || old->second.ino != st.ino)) {
        post(SHCNE_UPDATEITEM, item, nullptr, false);
      }
    }
    for (const auto& [rel, st] : was.entries) {
      if (now.entries.count(rel)) continue;
      Dir item{was.dir.host + "/" + rel, joinDevice(was.dir.device, rel), was.dir.card};
      post(st.dir ? SHCNE_RMDIR : SHCNE_DELETE, item, nullptr, st.dir);
    }
    if (rewatched) {
      deviceLog(dev_->ceDir, "shell: " + utf16ToUtf8(was.dir.device) + " is watched for changes again");
      continue;
    }
    polled_[i].entries = std::move(now.entries);
    ++i;
  }
}

void ChangeWatcher::rescanChanged(int64_t sinceRealNs, bool relink) {
  const int64_t threshold = sinceRealNs - kStampSlackNs;
  std::unordered_set<int> seen;
  std::vector<Dir> todo{Dir{root_, u"\\", false}};
  if (!cardHost_.empty()) todo.push_back(Dir{cardHost_, kCardDevice, true});
  std::vector<Entry> entries;
  while (!todo.empty()) {
    Dir d = std::move(todo.back());
    todo.pop_back();
    if (relink) {
      // Folders made, moved or removed while the queue was lost are
      // watched, renamed or dropped to match the disk again.
      int wd = addWatch(d, false, 0);
      if (wd < 0) continue;
      seen.insert(wd);
    }
    if (!listFolder(d.host, entries)) continue;
    const bool rootTop = !d.card && isRootTop(d.host);
    for (const auto& e : entries) {
      if (rootTop && e.name == ".ce") continue;
      Dir child{d.host + "/" + e.name, joinDevice(d.device, e.name), d.card};
      if (e.dir) {
        todo.push_back(std::move(child));
        continue;
      }
      struct stat st{};
      if (::lstat(child.host.c_str(), &st) == 0 && changedNs(st) >= threshold)
        post(SHCNE_UPDATEITEM, child, nullptr, false);
    }
  }
  if (!relink) return;
  for (auto it = dirs_.begin(); it != dirs_.end();) {
    if (!seen.count(it->first)) {
      ::inotify_rm_watch(inotify_, it->first);
      it = dirs_.erase(it);
    } else {
      ++it;
    }
  }
}

void ChangeWatcher::checkCard() {
  uint32_t gen = dev_->seg->cardGeneration.load(std::memory_order_acquire);
  if (gen == cardGen_) return;
  const uint32_t steps = gen - cardGen_;
  cardGen_ = gen;
  std::string now = withSegmentLock(dev_->seg, [&] { return std::string(dev_->seg->cardFolder); });
  const bool had = !cardHost_.empty();
  const bool has = !now.empty();
  // Taken out and put back (or another card put in) between two looks.
  const bool swapped = had && has && (now != cardHost_ || steps >= 2);
  if (had && (!has || swapped)) {
    for (auto it = dirs_.begin(); it != dirs_.end();) {
      if (it->second.card) {
        ::inotify_rm_watch(inotify_, it->first);
        it = dirs_.erase(it);
      } else {
        ++it;
      }
    }
    std::erase_if(polled_, [](const Polled& p) { return p.dir.card; });
    std::erase_if(moves_, [](const PendingMove& m) { return m.from.card; });
    replayDeferred();
    cardHost_.clear();
    postNamed(SHCNE_DRIVEREMOVED, kCardDevice, u"");
  }
  if (has && (!had || swapped)) {
    cardHost_ = now;
    addTree(Dir{now, kCardDevice, true}, false, 0);
    postNamed(SHCNE_DRIVEADD, kCardDevice, u"");
  }
}

void ChangeWatcher::post(LONG code, const Dir& item, const Dir* item2, bool isDir) {
  ChangeEvent ev;
  ev.code = code;
  ev.item1 = item.device;
  if (item2) ev.item2 = item2->device;
  ev.attributes = isDir ? FILE_ATTRIBUTE_DIRECTORY : 0;
  if (code != SHCNE_DELETE && code != SHCNE_RMDIR) {
    struct stat st{};
    if (::lstat((item2 ? item2->host : item.host).c_str(), &st) == 0) {
      DWORD a = 0;
      if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
      if ((st.st_mode & S_IWUSR) == 0) a |= FILE_ATTRIBUTE_READONLY;
      ev.attributes = a ? a : FILE_ATTRIBUTE_NORMAL;
      int64_t ft = clock::unixToFiletime(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
      ev.modified = FILETIME{static_cast<DWORD>(ft), static_cast<DWORD>(static_cast<uint64_t>(ft) >> 32)};
      ev.size = static_cast<ULONG>(st.st_size);
    }
  }
  deliver(ev);
}

void ChangeWatcher::postNamed(LONG code, const std::u16string& item1, const std::u16string& item2) {
  ChangeEvent ev;
  ev.code = code;
  ev.item1 = item1;
  ev.item2 = item2;
  ev.attributes = FILE_ATTRIBUTE_DIRECTORY;
  deliver(ev);
}

bool ChangeWatcher::deliver(ChangeEvent& ev) {
  if (deliver_(ev, ctx_)) return true;
  lost("a window's message queue is full");
  return false;
}

void ChangeWatcher::lost(const char* why) {
  // Tries again soon, then less and less often while the window stays full.
  static constexpr int64_t kFirstRetryNs = 50'000'000;
  static constexpr int64_t kLastRetryNs = 5'000'000'000;
  if (lost_) return;  // a retry is due already
  lost_ = true;
  if (!retrying_) {
    lostSinceRealNs_ = idleRealNs_;
    retryDelayNs_ = kFirstRetryNs;
    deviceLog(dev_->ceDir, std::string("shell: change notifications could not be posted (") + why +
                               "); files changed since " + clockText(idleRealNs_) + " are posted again as updates");
  } else {
    retryDelayNs_ = std::min(kLastRetryNs, 2 * retryDelayNs_);
  }
  retryNs_ = clock::hostMonotonicNs() + retryDelayNs_;
}

}  // namespace ce::detail
