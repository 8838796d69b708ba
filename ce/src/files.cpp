#include "ce/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "ce/base.h"
#include "ce/text.h"
#include "ce/time.h"
#include "handles.h"
#include "paths.h"

namespace ce {
namespace detail {
namespace {

struct FileObject : Object {
  Kind kind() const override { return Kind::File; }
  ~FileObject() override {
    if (fd >= 0) ::close(fd);
    shareRelease(shareSlot);
  }
  int fd = -1;
  DWORD access = 0;
  int32_t shareSlot = -1;
};

bool readOnlyMode(mode_t m) { return (m & S_IWUSR) == 0; }

DWORD attributesOf(const struct stat& st) {
  DWORD a = 0;
  if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
  if (readOnlyMode(st.st_mode)) a |= FILE_ATTRIBUTE_READONLY;
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

FILETIME toFiletime(const timespec& ts) {
  int64_t v = clock::unixToFiletime(ts.tv_sec, ts.tv_nsec);
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(static_cast<uint64_t>(v) >> 32)};
}

// Opens the path as spelled; on a miss, matches the components ignoring case
// and tries again. The exact spelling costs no directory scan.
int openPath(const WCHAR* path, ResolvedPath& p, int flags, mode_t mode, bool& missing) {
  missing = false;
  if (!parsePath(path, p, false)) return -1;
  int fd = openResolved(p, flags & ~O_CREAT, mode);
  if (fd >= 0 || (errno != ENOENT && errno != ENOTDIR)) {
    if (fd < 0) SetLastError(errnoToError(errno));
    return fd;
  }
  if (!fixCase(p, errno == ENOENT)) return -1;
  if (!p.lastExists && !(flags & O_CREAT)) {
    missing = true;
    SetLastError(ERROR_FILE_NOT_FOUND);
    return -1;
  }
  fd = openResolved(p, flags, mode);
  if (fd < 0) SetLastError(errnoToError(errno));
  return fd;
}

// Resolves a path that must exist; its stat is filled.
bool statPath(const WCHAR* path, ResolvedPath& p, struct stat& st) {
  bool missing;
  int fd = openPath(path, p, O_PATH, 0, missing);
  if (fd < 0) return false;
  int rc = ::fstat(fd, &st);
  ::close(fd);
  if (rc != 0) return SetLastError(errnoToError(errno)), false;
  return true;
}

bool parentFd(const ResolvedPath& p, int& dirFd, std::string& name) {
  auto slash = p.rel.rfind('/');
  name = slash == std::string::npos ? p.rel : p.rel.substr(slash + 1);
  ResolvedPath parent = p;
  parent.rel = slash == std::string::npos ? std::string() : p.rel.substr(0, slash);
  dirFd = openResolved(parent, O_PATH | O_DIRECTORY);
  if (dirFd < 0) return SetLastError(errnoToError(errno, true)), false;
  return true;
}

// A symbolic link named by the path's last component is removed itself, its
// target never touched (a link out of the device could not even be resolved).
// 1: removed; 0: the last name is no link (or is not there); -1: a link that
// could not be removed, last error set.
int deleteLink(LPCWSTR path) {
  ResolvedPath checked;
  if (!parsePath(path, checked, false) || checked.rel.empty()) return 0;  // the usual checks report it
  const std::u16string full(path);
  const size_t cut = full.find_last_of(u"\\/");
  if (cut == std::u16string::npos || cut + 1 == full.size()) return 0;
  const std::u16string folder = cut == 0 ? std::u16string(u"\\") : full.substr(0, cut);
  ResolvedPath dir;
  if (!resolvePath(folder.c_str(), dir) || !dir.lastExists) return 0;
  int fd = openResolved(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return 0;
  std::string name = utf16ToUtf8(full.substr(cut + 1));
  struct stat st{};
  bool found = ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!found && errno == ENOENT) {
    // Names are matched ignoring case, as everywhere on the device.
    int scan = ::dup(fd);
    DIR* d = scan >= 0 ? ::fdopendir(scan) : nullptr;
    if (!d && scan >= 0) ::close(scan);
    const std::u16string want = full.substr(cut + 1);
    while (d && !found) {
      dirent* e = ::readdir(d);
      if (!e) break;
      if (equalsNoCase(utf8ToUtf16(e->d_name), want) &&
          ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        name = e->d_name;
        found = true;
      }
    }
    if (d) ::closedir(d);
  }
  if (!found || !S_ISLNK(st.st_mode)) {
    ::close(fd);
    return 0;
  }
  int rc = ::unlinkat(fd, name.c_str(), 0);
  int err = errno;
  ::close(fd);
  if (rc != 0) return SetLastError(errnoToError(err)), -1;
  return 1;
}

}  // namespace
}  // namespace detail

using namespace detail;

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE) {
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (access & GENERIC_ALL) access |= GENERIC_READ | GENERIC_WRITE;
  const bool wantRead = access & (GENERIC_READ | GENERIC_EXECUTE);
  const bool wantWrite = access & GENERIC_WRITE;
  if (disposition == TRUNCATE_EXISTING && !wantWrite) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
  int flags = (wantWrite || truncate) ? (wantRead || !wantWrite ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (disposition == CREATE_NEW) flags |= O_CREAT | O_EXCL;
  if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) flags |= O_CREAT;
  // A handle without access only asks about the file.
  if (!wantRead && !wantWrite && !truncate && !(flags & O_CREAT)) flags = O_PATH;
  // The handset's file system holds files and folders only. A FIFO or device
  // node planted in the device folder (from the host) would block an open
  // until some other party opened its other end, so every open is made
  // without waiting and anything but a regular file is refused below.
  else flags |= O_NONBLOCK | O_NOCTTY;
  const mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644;

  // A FIFO opened for reading would wait for a writer (for writing, for a
  // reader): the open never waits, and what it opened is checked below.
  if (flags != O_PATH) flags |= O_NONBLOCK | O_NOCTTY;

  ResolvedPath p;
  bool missing;
  // Open what exists first: whether the file existed decides the last error
  // (183 for an existing file) and whether truncation needs a share check.
  int fd = openPath(path, p, flags & ~(O_CREAT | O_EXCL), mode, missing);
  bool created = false;
  if (fd < 0) {
    if (!(flags & O_CREAT) || GetLastError() != ERROR_FILE_NOT_FOUND) return INVALID_HANDLE_VALUE;
    fd = openResolved(p, flags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
      created = true;
    } else if (errno == EEXIST && disposition != CREATE_NEW) {
      fd = openResolved(p, flags & ~(O_CREAT | O_EXCL), mode);  // another creator won the race
    }
    if (fd < 0) {
      SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : errnoToError(errno));
      return INVALID_HANDLE_VALUE;
    }
  } else if (disposition == CREATE_NEW) {
    ::close(fd);
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
  }

  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    SetLastError(errnoToError(errno));
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(st.st_mode) || (!(flags & O_PATH) && !S_ISREG(st.st_mode))) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if ((flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    SetLastError(errnoToError(errno));
    return INVALID_HANDLE_VALUE;
  }
  // The read-only attribute is the host write bits; it binds every user,
  // the superuser included, as it does on the handset.
  if (!created && (wantWrite || truncate) && readOnlyMode(st.st_mode)) {
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  auto obj = std::make_shared<FileObject>();
  obj->fd = fd;
  obj->access = access;
  DWORD shareAccess = (wantRead ? GENERIC_READ : 0) | ((wantWrite || truncate) ? GENERIC_WRITE : 0);
  // A handle without data access only asks about the file and takes no part in sharing.
  if (shareAccess && !shareAcquire(st.st_dev, st.st_ino, shareAccess, share, &obj->shareSlot)) {
    obj->shareSlot = -1;
    return INVALID_HANDLE_VALUE;  // obj closes fd
  }
  // Truncation only once the file is known not to be held by another opener.
  if (truncate && !created && st.st_size != 0 && ::ftruncate(fd, 0) != 0) {
    SetLastError(errnoToError(errno));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = handleInsert(std::move(obj));
  if (!h) return INVALID_HANDLE_VALUE;
  SetLastError((!created && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)) ? ERROR_ALREADY_EXISTS
                                                                                           : ERROR_SUCCESS);
  return h;
}

namespace {
std::shared_ptr<FileObject> fileOf(HANDLE h) {
  auto f = handleGetAs<FileObject>(h, Kind::File);
  if (!f) SetLastError(ERROR_INVALID_HANDLE);
  return f;
}
}  // namespace

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, void*) {
  if (read) *read = 0;
  auto f = fileOf(h);
  if (!f) return FALSE;
  if (!(f->access & (GENERIC_READ | GENERIC_EXECUTE))) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  if (!buffer && toRead) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  DWORD done = 0;
  while (done < toRead) {
    ssize_t n = ::read(f->fd, static_cast<char*>(buffer) + done, toRead - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (read) *read = done;
      return SetLastError(errnoToError(errno)), FALSE;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  if (read) *read = done;
  return TRUE;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, void*) {
  if (written) *written = 0;
  auto f = fileOf(h);
  if (!f) return FALSE;
  if (!(f->access & GENERIC_WRITE)) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  if (!buffer && toWrite) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  DWORD done = 0;
  while (done < toWrite) {
    ssize_t n = ::write(f->fd, static_cast<const char*>(buffer) + done, toWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written) *written = done;
      return SetLastError(errnoToError(errno)), FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (written) *written = done;
  return TRUE;
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method) {
  auto f = fileOf(h);
  if (!f) return INVALID_SET_FILE_POINTER;
  if (method > FILE_END) return SetLastError(ERROR_INVALID_PARAMETER), INVALID_SET_FILE_POINTER;
  int64_t off = distanceHigh ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                                                    static_cast<uint32_t>(distance))
                             : static_cast<int64_t>(distance);
  static const int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
  int64_t base = 0;
  if (method != FILE_BEGIN) {
    base = ::lseek(f->fd, 0, whence[method]);
    if (base < 0) return SetLastError(errnoToError(errno)), INVALID_SET_FILE_POINTER;
  }
  if ((off < 0 && base + off < 0) || (!distanceHigh && base + off > 0xFFFFFFFELL)) {
    SetLastError(off < 0 ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t pos = ::lseek(f->fd, base + off, SEEK_SET);
  if (pos < 0) return SetLastError(errnoToError(errno)), INVALID_SET_FILE_POINTER;
  if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(pos);
}

BOOL SetEndOfFile(HANDLE h) {
  auto f = fileOf(h);
  if (!f) return FALSE;
  if (!(f->access & GENERIC_WRITE)) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  off_t pos = ::lseek(f->fd, 0, SEEK_CUR);
  if (pos < 0 || ::ftruncate(f->fd, pos) != 0) return SetLastError(errnoToError(errno)), FALSE;
  return TRUE;
}

DWORD GetFileSize(HANDLE h, LPDWORD sizeHigh) {
  auto f = fileOf(h);
  if (!f) return INVALID_FILE_SIZE;
  struct stat st{};
  if (::fstat(f->fd, &st) != 0) return SetLastError(errnoToError(errno)), INVALID_FILE_SIZE;
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(static_cast<uint64_t>(st.st_size) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(st.st_size);
}

BOOL FlushFileBuffers(HANDLE h) {
  auto f = fileOf(h);
  if (!f) return FALSE;
  if (::fdatasync(f->fd) != 0 && errno != EINVAL && errno != EBADF) return SetLastError(errnoToError(errno)), FALSE;
  return TRUE;
}

BOOL GetFileTime(HANDLE h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
  auto f = fileOf(h);
  if (!f) return FALSE;
  struct stat st{};
  if (::fstat(f->fd, &st) != 0) return SetLastError(errnoToError(errno)), FALSE;
  if (creation) *creation = toFiletime(st.st_mtim);
  if (lastAccess) *lastAccess = toFiletime(st.st_atim);
  if (lastWrite) *lastWrite = toFiletime(st.st_mtim);
  return TRUE;
}

BOOL SetFileTime(HANDLE h, const FILETIME*, const FILETIME* lastAccess, const FILETIME* lastWrite) {
  auto f = fileOf(h);
  if (!f) return FALSE;
  auto conv = [](const FILETIME* ft, timespec& ts) {
    if (!ft) {
      ts.tv_nsec = UTIME_OMIT;
      return;
    }
    int64_t v = static_cast<int64_t>((static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime) -
                clock::unixToFiletime(0, 0);
    ts.tv_sec = static_cast<time_t>(v / 10000000);
    ts.tv_nsec = static_cast<long>((v % 10000000) * 100);
    if (ts.tv_nsec < 0) {
      ts.tv_nsec += 1000000000;
      ts.tv_sec -= 1;
    }
  };
  timespec times[2];
  conv(lastAccess, times[0]);
  conv(lastWrite, times[1]);
  if (::futimens(f->fd, times) != 0) return SetLastError(errnoToError(errno)), FALSE;
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
  ResolvedPath p;
  struct stat st{};
  if (!statPath(path, p, st)) return INVALID_FILE_ATTRIBUTES;
  return attributesOf(st);
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
  ResolvedPath p;
  struct stat st{};
  if (!statPath(path, p, st)) return FALSE;
  mode_t m = st.st_mode & 07777;
  if (attributes & FILE_ATTRIBUTE_READONLY)
    m &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    m |= S_IWUSR;
  if (m != (st.st_mode & 07777)) {
    int fd = openResolved(p, O_PATH);
    if (fd < 0) return SetLastError(errnoToError(errno)), FALSE;
    // fchmod does not take O_PATH descriptors; the magic link does, without following user links.
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    int rc = ::chmod(proc.c_str(), m);
    int err = errno;
    ::close(fd);
    if (rc != 0) return SetLastError(errnoToError(err)), FALSE;
  }
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
  if (int link = deleteLink(path); link != 0) return link > 0 ? TRUE : FALSE;
  ResolvedPath p;
  struct stat st{};
  if (!statPath(path, p, st)) return FALSE;
  if (S_ISDIR(st.st_mode) || readOnlyMode(st.st_mode)) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  if (shareInUse(st.st_dev, st.st_ino)) return SetLastError(ERROR_SHARING_VIOLATION), FALSE;
  int dirFd;
  std::string name;
  if (!parentFd(p, dirFd, name)) return FALSE;
  int rc = ::unlinkat(dirFd, name.c_str(), 0);
  int err = errno;
  ::close(dirFd);
  if (rc != 0) return SetLastError(errnoToError(err)), FALSE;
  return TRUE;
}

namespace {

// Copies the contents of an open file into another, from their current offsets.
bool copyContents(int in, int out) {
  for (;;) {
    ssize_t n = ::sendfile(out, in, nullptr, 1 << 20);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EINVAL && errno != ENOSYS) return false;
      char buf[65536];
      for (;;) {
        ssize_t r = ::read(in, buf, sizeof buf);
        if (r == 0) return true;
        if (r < 0) return false;
        for (ssize_t w = 0; w < r;) {
          ssize_t k = ::write(out, buf + w, static_cast<size_t>(r - w));
          if (k < 0) return false;
          w += k;
        }
      }
    }
  }
}

}  // namespace

BOOL CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists) {
  HANDLE src = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (src == INVALID_HANDLE_VALUE) return FALSE;
  auto in = handleGetAs<FileObject>(src, Kind::File);
  struct stat st{};
  ::fstat(in->fd, &st);
  HANDLE dst = CreateFileW(to, GENERIC_WRITE, 0, nullptr, failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (dst == INVALID_HANDLE_VALUE) {
    DWORD err = GetLastError();
    CloseHandle(src);
    SetLastError(err == ERROR_FILE_EXISTS ? ERROR_FILE_EXISTS : err);
    return FALSE;
  }
  auto out = handleGetAs<FileObject>(dst, Kind::File);
  bool ok = copyContents(in->fd, out->fd);
  DWORD err = ok ? ERROR_SUCCESS : errnoToError(errno);
  if (ok && readOnlyMode(st.st_mode)) ::fchmod(out->fd, st.st_mode & 07555);
  CloseHandle(src);
  CloseHandle(dst);
  if (!ok) return SetLastError(err), FALSE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL MoveFileW(LPCWSTR from, LPCWSTR to) {
  ResolvedPath src;
  struct stat st{};
  if (!statPath(from, src, st)) return FALSE;
  ResolvedPath dst;
  if (!resolvePath(to, dst)) return FALSE;
  if (dst.lastExists) return SetLastError(ERROR_ALREADY_EXISTS), FALSE;
  if (!S_ISDIR(st.st_mode) && shareBlocksMove(st.st_dev, st.st_ino)) return SetLastError(ERROR_SHARING_VIOLATION), FALSE;
  int sdir, ddir;
  std::string sname, dname;
  if (!parentFd(src, sdir, sname)) return FALSE;
  if (!parentFd(dst, ddir, dname)) {
    ::close(sdir);
    return FALSE;
  }
  int rc = ::renameat2(sdir, sname.c_str(), ddir, dname.c_str(), RENAME_NOREPLACE);
  int err = errno;
  ::close(sdir);
  ::close(ddir);
  if (rc == 0) return TRUE;
  if (err == EXDEV && !S_ISDIR(st.st_mode)) {
    // Between the device and its card: copy, then remove the original.
    if (!CopyFileW(from, to, TRUE)) return FALSE;
    if (!DeleteFileW(from)) {
      DWORD e = GetLastError();
      DeleteFileW(to);
      return SetLastError(e), FALSE;
    }
    return TRUE;
  }
  return SetLastError(err == EEXIST ? ERROR_ALREADY_EXISTS : errnoToError(err)), FALSE;
}

BOOL DeleteAndRenameFile(LPCWSTR dest, LPCWSTR source) {
  ResolvedPath src, dst;
  struct stat sst{}, dstst{};
  if (!statPath(source, src, sst) || !statPath(dest, dst, dstst)) return FALSE;
  if (S_ISDIR(sst.st_mode) || S_ISDIR(dstst.st_mode) || readOnlyMode(dstst.st_mode))
    return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  if (sst.st_dev != dstst.st_dev) return SetLastError(ERROR_NOT_SAME_DEVICE), FALSE;
  if (sst.st_ino == dstst.st_ino) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  if (shareBlocksMove(sst.st_dev, sst.st_ino) || shareBlocksMove(dstst.st_dev, dstst.st_ino))
    return SetLastError(ERROR_SHARING_VIOLATION), FALSE;
  int sdir, ddir;
  std::string sname, dname;
  if (!parentFd(src, sdir, sname)) return FALSE;
  if (!parentFd(dst, ddir, dname)) {
    ::close(sdir);
    return FALSE;
  }
  int rc = ::renameat(sdir, sname.c_str(), ddir, dname.c_str());
  int err = errno;
  ::close(sdir);
  ::close(ddir);
  if (rc != 0) return SetLastError(err == EXDEV ? ERROR_NOT_SAME_DEVICE : errnoToError(err)), FALSE;
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES) {
  ResolvedPath p;
  if (!resolvePath(path, p)) return FALSE;
  if (p.lastExists || p.rel.empty()) return SetLastError(ERROR_ALREADY_EXISTS), FALSE;
  int dirFd;
  std::string name;
  if (!parentFd(p, dirFd, name)) return FALSE;
  int rc = ::mkdirat(dirFd, name.c_str(), 0755);
  int err = errno;
  ::close(dirFd);
  if (rc != 0) return SetLastError(err == EEXIST ? ERROR_ALREADY_EXISTS : errnoToError(err, true)), FALSE;
  return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
  ResolvedPath p;
  struct stat st{};
  if (!statPath(path, p, st)) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) SetLastError(ERROR_PATH_NOT_FOUND);
    return FALSE;
  }
  if (!S_ISDIR(st.st_mode)) return SetLastError(ERROR_DIRECTORY), FALSE;
  if (p.rel.empty()) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  int dirFd;
  std::string name;
  if (!parentFd(p, dirFd, name)) return FALSE;
  int rc = ::unlinkat(dirFd, name.c_str(), AT_REMOVEDIR);
  int err = errno;
  ::close(dirFd);
  if (rc != 0) return SetLastError(err == EEXIST ? ERROR_DIR_NOT_EMPTY : errnoToError(err, true)), FALSE;
  return TRUE;
}

std::string HostPathOf(LPCWSTR devicePath) {
  ResolvedPath p;
  if (!resolvePath(devicePath, p)) return {};
  return p.host;
}

}  // namespace ce
