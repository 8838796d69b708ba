#include "device.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "ce/base.h"
#include "ce/text.h"
#include "device_settings.h"
#include "registry_internal.h"

namespace ce::detail {
namespace {

constexpr uint64_t kSegmentMagic = 0x3230304745535858ull;  // "XXSEG002": changes with any segment layout
constexpr size_t kPrefix = 4096;

struct SegmentPrefix {
  uint64_t magic;
  uint64_t size;
  char bootId[64];
};

const std::string& bootId() {
  static const std::string id = [] {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string line;
    std::getline(in, line);
    return line;
  }();
  return id;
}

// Fills a new segment's body and then its prefix, which marks it finished.
void initSegmentFile(void* base, size_t size, void (*init)(void*, size_t)) {
  if (init) init(static_cast<char*>(base) + kPrefix, size);
  SegmentPrefix p{};
  p.magic = kSegmentMagic;
  p.size = size;
  std::snprintf(p.bootId, sizeof p.bootId, "%s", bootId().c_str());
  std::memcpy(base, &p, sizeof p);
  ::msync(base, kPrefix, MS_SYNC);
}

}  // namespace

void* mapDeviceSegment(const std::string& path, size_t size, void (*init)(void*, size_t)) {
  // The lock is taken on the file that is at the path: a process that waited
  // for it while another replaced the file opens the new one.
  int fd = -1;
  for (int tries = 0; fd < 0 && tries < 100; ++tries) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    if (::flock(fd, LOCK_EX) != 0) {
      ::close(fd);
      return nullptr;
    }
    struct stat held{}, named{};
    if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0 || held.st_ino != named.st_ino ||
        held.st_dev != named.st_dev) {
      ::close(fd);
      fd = -1;
    }
  }
  if (fd < 0) return nullptr;
  const size_t total = kPrefix + size;
  SegmentPrefix prefix{};
  bool fresh = true;
  struct stat st{};
  const bool empty = ::fstat(fd, &st) == 0 && st.st_size == 0;
  if (static_cast<size_t>(st.st_size) == total &&
      ::pread(fd, &prefix, sizeof prefix, 0) == static_cast<ssize_t>(sizeof prefix)) {
    fresh = !(prefix.magic == kSegmentMagic && prefix.size == size &&
              std::strncmp(prefix.bootId, bootId().c_str(), sizeof prefix.bootId) == 0);
  }
  auto done = [&](void* result) {
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return result;
  };
  if (fresh && !empty) {
    // Contents made before the host booted, or by a build with another
    // layout, hold locks of processes that no longer exist or cannot be
    // read by this one: start over in a new file put in place by rename.
    // Cutting the old file short instead would fault every process of the
    // other build that still has it mapped (a service that kept running
    // across an update).
    std::string fresher = path + ".new." + std::to_string(::getpid());
    int nfd = ::open(fresher.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (nfd < 0) return done(nullptr);
    // Made whole and locked before it takes the name, so whoever opens it
    // next finds a finished segment.
    if (::flock(nfd, LOCK_EX) != 0 || ::ftruncate(nfd, static_cast<off_t>(total)) != 0) {
      ::close(nfd);
      ::unlink(fresher.c_str());
      return done(nullptr);
    }
    int old = fd;
    fd = nfd;
    void* base = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    bool ok = base != MAP_FAILED;
    if (ok) initSegmentFile(base, size, init);
    if (!ok || ::rename(fresher.c_str(), path.c_str()) != 0) {
      if (ok) ::munmap(base, total);
      ::unlink(fresher.c_str());
      ::close(old);
      return done(nullptr);
    }
    ::close(old);  // lets the waiters go; they find the new file by its name
    return done(static_cast<char*>(base) + kPrefix);
  } else if (fresh && ::ftruncate(fd, static_cast<off_t>(total)) != 0) {
    return done(nullptr);
  }
  void* base = ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return done(nullptr);
  if (fresh) initSegmentFile(base, size, init);
  return done(static_cast<char*>(base) + kPrefix);
}

void initSharedMutex(pthread_mutex_t* m) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(m, &attr);
  pthread_mutexattr_destroy(&attr);
}

void lockShared(pthread_mutex_t* m, void (*onOwnerDied)(void*), void* ctx) {
  // The segment locks are held for a few microseconds at a time: a short
  // spin usually gets the lock without the sleep and wake-up (two context
  // switches) a contended futex lock costs.
  const uint64_t askedAt = lockStatsOn() ? lockStatsNow() : 0;
  int rc = EBUSY;
  bool contended = false;
  for (int spin = 0; spin < 64 && rc == EBUSY; ++spin) {
    rc = pthread_mutex_trylock(m);
    contended = contended || rc == EBUSY;
    if (rc == EBUSY) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }
  if (rc == EBUSY) rc = pthread_mutex_lock(m);
  if (rc == EOWNERDEAD) {
    if (onOwnerDied) onOwnerDied(ctx);
    pthread_mutex_consistent(m);
  }
  if (askedAt) lockStatsTaken(m, contended, askedAt);
}

void unlockShared(pthread_mutex_t* m) {
  if (lockStatsOn()) lockStatsReleased(m);
  pthread_mutex_unlock(m);
}

bool readProcStat(int pid, ProcStat& out) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[1024];
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return false;
  buf[n] = 0;
  // The command name may hold spaces and parentheses: fields start after the last ')'.
  char* p = std::strrchr(buf, ')');
  if (!p || p[1] != ' ' || p[2] == 0) return false;
  p += 2;  // field 3
  out.state = *p;
  for (int field = 3; field < 22; ++field) {
    if (field == 4) out.ppid = std::atoi(p);
    if (field == 20) out.threads = std::atol(p);
    p = std::strchr(p, ' ');
    if (!p) return false;
    ++p;
  }
  out.start = std::strtoull(p, nullptr, 10);
  return true;
}

namespace {

bool readStart(int pid, uint64_t& start, char& state) {
  ProcStat ps;
  if (!readProcStat(pid, ps)) return false;
  start = ps.start;
  state = ps.state;
  return true;
}

}  // namespace

namespace {

ProcId readSelfId() {
  ProcId r{static_cast<int32_t>(::getpid()), 0};
  char state;
  readStart(r.pid, r.start, state);
  return r;
}

ProcId g_self{0, 0};
std::once_flag g_selfOnce;

}  // namespace

// Cached: it is asked on every open and close. A forked child learns its own
// identity through the fork handler.
ProcId selfId() {
  std::call_once(g_selfOnce, [] {
    g_self = readSelfId();
    ::pthread_atfork(nullptr, nullptr, [] { g_self = readSelfId(); });
  });
  return g_self;
}

bool procAlive(const ProcId& id) {
  if (id.pid <= 0) return false;
  uint64_t start = 0;
  char state = 0;
  if (!readStart(id.pid, start, state)) return false;
  return start == id.start && state != 'Z' && state != 'X';
}

void repairSegment(void* p) {
  // A process died inside the lock: rebuild the open-file chains from the
  // records themselves, which are written before they are linked.
  auto* seg = static_cast<KernelSegment*>(p);
  for (auto& b : seg->buckets) b = -1;
  seg->freeHead = -1;
  for (int32_t i = static_cast<int32_t>(kOpenFileSlots) - 1; i >= 0; --i) {
    OpenFileRecord& r = seg->files[i];
    if (r.pid == 0) {
      r.next = seg->freeHead;
      seg->freeHead = i;
    } else {
      uint32_t b = static_cast<uint32_t>((r.dev * 0x9E3779B97F4A7C15ull ^ r.ino) % kOpenFileBuckets);
      r.next = seg->buckets[b];
      seg->buckets[b] = i;
    }
  }
}

namespace {

std::string g_initCeDir;  // the device being set up, for its saved settings

void initKernelSegment(void* base, size_t) {
  auto* seg = static_cast<KernelSegment*>(base);
  seg->magic = kSegmentMagic;
  seg->version = 1;
  initSharedMutex(&seg->lock);
  for (auto& b : seg->buckets) b = -1;
  for (uint32_t i = 0; i < kOpenFileSlots; ++i) seg->files[i].next = (i + 1 < kOpenFileSlots) ? static_cast<int32_t>(i + 1) : -1;
  seg->freeHead = 0;
  clockInit(seg, g_initCeDir);
  std::string card = settingsGet(g_initCeDir, "card");
  struct stat st{};
  if (!card.empty() && card.size() < sizeof seg->cardFolder && ::stat(card.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    std::snprintf(seg->cardFolder, sizeof seg->cardFolder, "%s", card.c_str());
}

std::mutex g_attachMu;
std::atomic<DeviceState*> g_device{nullptr};
std::u16string g_programPath;
bool g_hostMount = false;
bool g_exitHookInstalled = false;

std::u16string defaultProgramPath() {
  if (const char* env = std::getenv("NX_MODULE_PATH"); env && *env) return utf8ToUtf16(env);
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return u"\\Windows\\program.exe";
  exe[n] = 0;
  std::string host(exe);
  if (g_hostMount) {
    std::string dev = "\\Host" + host;
    for (auto& c : dev)
      if (c == '/') c = '\\';
    return utf8ToUtf16(dev);
  }
  return u"\\Windows\\" + utf8ToUtf16(host.substr(host.rfind('/') + 1));
}

void writeProcessRecord(KernelSegment* seg, bool add) {
  ProcId me = selfId();
  withSegmentLock(seg, [&] {
    ProcessRecord* freeSlot = nullptr;
    for (auto& r : seg->processes) {
      if (r.pid == me.pid && r.start == me.start) {
        if (!add) {
          r.pid = 0;
          return;
        }
        freeSlot = &r;
        break;
      }
      if (!freeSlot && (r.pid == 0 || !procAlive(ProcId{r.pid, r.start}))) freeSlot = &r;
    }
    if (!add || !freeSlot) return;
    std::u16string image = g_programPath.empty() ? defaultProgramPath() : g_programPath;
    std::memset(freeSlot->image, 0, sizeof freeSlot->image);
    std::memcpy(freeSlot->image, image.data(), std::min<size_t>(image.size(), MAX_PATH - 1) * sizeof(char16_t));
    freeSlot->start = me.start;
    freeSlot->pid = me.pid;
  });
}

void onExit() {
  if (DeviceState* d = g_device.load()) writeProcessRecord(d->seg, false);
}

DeviceState* attach(const std::string& hostRoot) {
  std::string root = hostRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  struct stat st{};
  std::string ceDir = root + "/.ce";
  if (::stat(ceDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  int fd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  g_initCeDir = ceDir;
  auto* seg = static_cast<KernelSegment*>(mapDeviceSegment(ceDir + "/kernel", sizeof(KernelSegment), &initKernelSegment));
  if (!seg) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // Never freed: other threads may still use a device this process switched
  // away from. Kept reachable so that leak checkers see it as owned.
  static std::vector<std::unique_ptr<DeviceState>>* all = new std::vector<std::unique_ptr<DeviceState>>;
  all->push_back(std::make_unique<DeviceState>());
  DeviceState* d = all->back().get();
  d->root = root;
  d->ceDir = ceDir;
  d->rootFd = fd;
  d->seg = seg;
  return d;
}

}  // namespace

DeviceState* device() {
  if (DeviceState* d = g_device.load(std::memory_order_acquire)) return d;
  std::string root = DefaultDeviceRoot();
  std::lock_guard lock(g_attachMu);
  if (DeviceState* d = g_device.load()) return d;
  DeviceState* d = attach(root);
  if (!d) return nullptr;
  g_device.store(d, std::memory_order_release);
  writeProcessRecord(d->seg, true);
  if (!g_exitHookInstalled) {
    g_exitHookInstalled = true;
    std::atexit(&onExit);
  }
  return d;
}

}  // namespace ce::detail

namespace ce {

using namespace detail;

std::string DefaultDeviceRoot() {
  if (const char* env = std::getenv("NX_DEVICE_ROOT"); env && *env) return env;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::string(xdg) + "/nyxel/device";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/nyxel/device";
}

BOOL AttachDevice(const std::string& hostRoot) {
  std::lock_guard lock(g_attachMu);
  DeviceState* d = attach(hostRoot);
  if (!d) return FALSE;
  if (DeviceState* old = g_device.load()) writeProcessRecord(old->seg, false);
  g_device.store(d, std::memory_order_release);
  writeProcessRecord(d->seg, true);
  if (!g_exitHookInstalled) {
    g_exitHookInstalled = true;
    std::atexit(&onExit);
  }
  return TRUE;
}

BOOL CreateDevice(const std::string& hostRoot) {
  std::string root = hostRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  // mkdir -p for the root itself; the device's folders below it.
  for (size_t pos = 1; pos <= root.size(); ++pos) {
    if (pos == root.size() || root[pos] == '/') {
      std::string part = root.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
      }
    }
  }
  // The folders every handset has: installers put shortcuts into the
  // start-up and help folders and never remove them.
  for (const char* sub : {"/.ce", "/Windows", "/Windows/StartUp", "/Windows/Help", "/My Documents", "/Program Files",
                          "/Temp"}) {
    std::string p = root + sub;
    if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  settingsCreateDefault(root + "/.ce");
  if (!registryCreateDefault(root + "/.ce")) return FALSE;
  return AttachDevice(root);
}

const std::string& DeviceRoot() {
  static const std::string empty;
  DeviceState* d = device();
  return d ? d->root : empty;
}

bool DeviceAttached() { return g_device.load() != nullptr; }

void EnableHostMount(bool enable) { g_hostMount = enable; }
bool HostMountEnabled() { return g_hostMount; }

BOOL InsertStorageCard(const std::string& hostDir) {
  DeviceState* d = device();
  if (!d) return FALSE;
  struct stat st{};
  if (hostDir.empty() || hostDir.size() >= sizeof(d->seg->cardFolder) || ::stat(hostDir.c_str(), &st) != 0 ||
      !S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  char real[4096];
  if (!::realpath(hostDir.c_str(), real)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  withSegmentLock(d->seg, [&] {
    std::snprintf(d->seg->cardFolder, sizeof d->seg->cardFolder, "%s", real);
    d->seg->cardGeneration.fetch_add(1);
  });
  settingsSet(d->ceDir, "card", real);
  return TRUE;
}

BOOL RemoveStorageCard() {
  DeviceState* d = device();
  if (!d) return FALSE;
  withSegmentLock(d->seg, [&] {
    d->seg->cardFolder[0] = 0;
    d->seg->cardGeneration.fetch_add(1);
  });
  settingsSet(d->ceDir, "card", "");
  return TRUE;
}

std::string StorageCardFolder() {
  DeviceState* d = device();
  if (!d) return {};
  return withSegmentLock(d->seg, [&] { return std::string(d->seg->cardFolder); });
}

void SetProgramPath(const std::u16string& devicePath) {
  g_programPath = devicePath;
  if (DeviceState* d = g_device.load()) writeProcessRecord(d->seg, true);
}

}  // namespace ce

namespace ce::detail {

std::u16string programPath() {
  return g_programPath.empty() ? defaultProgramPath() : g_programPath;
}

}  // namespace ce
