#include "registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ce/time.h"
#include "device_log.h"

namespace ce::detail::reg {
namespace {

// Larger files are not something this layer ever wrote; reading them whole
// would only exhaust memory.
constexpr off_t kMaxFileSize = 256 << 20;
constexpr int kMaxSetAside = 100000;

int64_t mtimeNs(const struct stat& st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

FileIdentity identityOf(const struct stat& st) {
  FileIdentity id;
  id.dev = st.st_dev;
  id.ino = st.st_ino;
  id.size = st.st_size;
  id.mtimeNs = mtimeNs(st);
  return id;
}

bool writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool readAll(int fd, std::string& out, size_t size) {
  out.resize(size);
  size_t got = 0;
  while (got < size) {
    ssize_t r = ::read(fd, out.data() + got, size - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return true;
}

void syncDir(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

std::string baseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Links `from` under the first free "<base>.damaged-<N>"; the name, or empty.
std::string setAside(const std::string& from, const std::string& base) {
  for (int n = 1; n <= kMaxSetAside; ++n) {
    std::string name = base + ".damaged-" + std::to_string(n);
    if (::link(from.c_str(), name.c_str()) == 0) return name;
    if (errno != EEXIST) return {};
  }
  return {};
}

}  // namespace

struct Store::WriteLock {
  int fd = -1;
  explicit WriteLock(const std::string& path) {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    while (::flock(fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd);
        fd = -1;
        return;
      }
    }
  }
  ~WriteLock() {
    if (fd >= 0) ::close(fd);  // releases the lock
  }
  bool held() const { return fd >= 0; }
};

Store::Store(std::string ceDir)
    : ceDir_(std::move(ceDir)),
      file_(ceDir_ + "/registry"),
      bak_(ceDir_ + "/registry.bak"),
      tmp_(ceDir_ + "/registry.tmp"),
      lock_(ceDir_ + "/registry.lock"),
      tree_(std::make_unique<Tree>()) {}

Store::Load Store::readFile(const std::string& path, Tree& out, FileIdentity& id, std::string& why) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Load::Missing : Load::Unreadable;
  struct stat st{};
  std::string text;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    return Load::Unreadable;
  }
  id = identityOf(st);
  if (st.st_size > kMaxFileSize) {
    ::close(fd);
    why = "file too large";
    return Load::Damaged;
  }
  bool ok = readAll(fd, text, static_cast<size_t>(st.st_size));
  ::close(fd);
  if (!ok) return Load::Unreadable;
  return parse(text, out, why) ? Load::Ok : Load::Damaged;
}

LONG Store::refresh() {
  struct stat st{};
  if (::stat(file_.c_str(), &st) != 0) {
    if (errno != ENOENT) return ERROR_BADDB;
    if (!(valid_ && missing_)) {
      tree_ = std::make_unique<Tree>();
      id_ = {};
      valid_ = missing_ = true;
    }
    return ERROR_SUCCESS;
  }
  if (valid_ && !missing_ && identityOf(st) == id_) return ERROR_SUCCESS;

  auto fresh = std::make_unique<Tree>();
  FileIdentity id;
  std::string why;
  switch (readFile(file_, *fresh, id, why)) {
    case Load::Ok:
      tree_ = std::move(fresh);
      id_ = id;
      valid_ = true;
      missing_ = false;
      return ERROR_SUCCESS;
    case Load::Missing:  // removed between the stat and the open
      tree_ = std::make_unique<Tree>();
      id_ = {};
      valid_ = missing_ = true;
      return ERROR_SUCCESS;
    case Load::Unreadable:
      return ERROR_BADDB;
    case Load::Damaged:
      break;
  }
  // Damage is repaired under the write lock, where no writer can be midway.
  WriteLock lock(lock_);
  if (!lock.held()) return ERROR_BADDB;
  return refreshLocked();
}

LONG Store::refreshLocked() {
  struct stat st{};
  if (::stat(file_.c_str(), &st) == 0 && valid_ && !missing_ && identityOf(st) == id_) return ERROR_SUCCESS;
  auto fresh = std::make_unique<Tree>();
  FileIdentity id;
  std::string why;
  switch (readFile(file_, *fresh, id, why)) {
    case Load::Ok:
      tree_ = std::move(fresh);
      id_ = id;
      valid_ = true;
      missing_ = false;
      return ERROR_SUCCESS;
    case Load::Missing:
      tree_ = std::make_unique<Tree>();
      id_ = {};
      valid_ = missing_ = true;
      return ERROR_SUCCESS;
    case Load::Unreadable:
      return ERROR_BADDB;
    case Load::Damaged:
      return recover(why);
  }
  return ERROR_BADDB;
}

LONG Store::recover(const std::string& why) {
  std::string aside = setAside(file_, file_);
  if (aside.empty()) {
    report("registry: " + file_ + " is damaged (" + why + ") and cannot be set aside: " + std::strerror(errno));
    valid_ = false;
    return ERROR_BADDB;
  }
  std::string line = "registry: " + file_ + " is damaged (" + why + "); set aside as " + baseName(aside);

  auto restored = std::make_unique<Tree>();
  std::string bakWhy;
  bool fromBackup = false;
  {
    // The backup is read through the same checks as the registry itself.
    FileIdentity ignored;
    Load l = readFile(bak_, *restored, ignored, bakWhy);
    if (l == Load::Ok) {
      fromBackup = true;
    } else {
      restored = std::make_unique<Tree>();
      addStandardKeys(*restored);
      if (l == Load::Damaged) {
        std::string bakAside = setAside(bak_, bak_);
        line += "; the backup is damaged too (" + bakWhy + ")";
        if (!bakAside.empty()) line += ", set aside as " + baseName(bakAside);
      } else {
        line += "; no backup";
      }
    }
  }
  line += fromBackup ? "; restored from registry.bak" : "; continuing with an empty registry";
  // The damaged file stays linked under its new name; the restored registry
  // replaces it atomically, and the good backup is not overwritten with it.
  tree_ = std::move(restored);
  missing_ = false;
  if (!writeFile(*tree_, false)) {
    report(line + "; writing the restored registry failed: " + std::strerror(errno));
    valid_ = false;
    return ERROR_BADDB;
  }
  report(line);
  return ERROR_SUCCESS;
}

bool Store::writeFile(const Tree& tree, bool keepBackup) {
  std::string text = serialize(tree);
  int fd = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
  if (ok) {
    // A modification time after the one of the file being replaced keeps the
    // file identity unique even on coarse clocks and reused inodes.
    struct stat cur{};
    int64_t floor = ::stat(file_.c_str(), &cur) == 0 ? mtimeNs(cur) + 1 : 0;
    struct timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    int64_t t = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    if (t < floor) t = floor;
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = t / 1000000000;
    times[0].tv_nsec = times[1].tv_nsec = t % 1000000000;
    struct stat st{};
    ok = ::futimens(fd, times) == 0 && ::fstat(fd, &st) == 0;
    if (ok) id_ = identityOf(st);
  }
  ::close(fd);
  if (!ok) {
    ::unlink(tmp_.c_str());
    return false;
  }
  if (keepBackup) {
    // The file being replaced was read and checked under this lock: it is
    // the previous good state. Failing to keep it does not stop the write.
    std::string bakTmp = bak_ + ".tmp";
    ::unlink(bakTmp.c_str());
    if (::link(file_.c_str(), bakTmp.c_str()) == 0) {
      if (::rename(bakTmp.c_str(), bak_.c_str()) != 0) ::unlink(bakTmp.c_str());
    }
  }
  if (::rename(tmp_.c_str(), file_.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp_.c_str());
    errno = e;
    return false;
  }
  syncDir(ceDir_);
  valid_ = true;
  missing_ = false;
  return true;
}

LONG Store::update(const std::function<LONG(Tree&, bool&)>& change) {
  WriteLock lock(lock_);
  if (!lock.held()) return ERROR_CANTWRITE;
  LONG rc = refreshLocked();
  if (rc != ERROR_SUCCESS) return rc;
  bool changed = false;
  rc = change(*tree_, changed);
  if (!changed) return rc;
  if (!writeFile(*tree_, true)) {
    valid_ = false;  // the tree holds a change the file does not
    return ERROR_CANTWRITE;
  }
  return rc;
}

bool Store::createDefault() {
  WriteLock lock(lock_);
  if (!lock.held()) return false;
  struct stat st{};
  if (::stat(file_.c_str(), &st) == 0) return true;
  if (errno != ENOENT) return false;
  Tree t;
  addStandardKeys(t);
  return writeFile(t, false);
}

void Store::report(const std::string& line) { deviceLog(ceDir_, line); }

}  // namespace ce::detail::reg
