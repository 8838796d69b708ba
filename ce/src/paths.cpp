#include "paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "ce/base.h"
#include "ce/text.h"
#include "device.h"

namespace ce::detail {
namespace {

constexpr char16_t kCardName[] = u"Storage Card";
constexpr char16_t kHostName[] = u"Host";

bool invalidNameChar(char16_t c) {
  return c < 32 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

// The card's folder as this process last opened it; reopened when another
// process inserts or removes a card (the generation moves).
struct CardCache {
  std::mutex mu;
  uint32_t generation = ~0u;
  int fd = -1;
  std::string folder;
};

CardCache& cardCache() {
  static CardCache* c = new CardCache;
  return *c;
}

bool cardMount(DeviceState* d, int& fd, std::string& folder) {
  auto& c = cardCache();
  uint32_t gen = d->seg->cardGeneration.load(std::memory_order_acquire);
  std::lock_guard lock(c.mu);
  if (gen != c.generation) {
    std::string now = withSegmentLock(d->seg, [&] { return std::string(d->seg->cardFolder); });
    if (c.fd >= 0) ::close(c.fd);
    c.fd = now.empty() ? -1 : ::open(now.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    c.folder = now;
    c.generation = gen;
  }
  fd = c.fd;
  folder = c.folder;
  return fd >= 0;
}

int hostRootFd() {
  static int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

long openat2Call(int dirfd, const char* path, int flags, mode_t mode, uint64_t resolve) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags) | O_CLOEXEC;
  how.mode = ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) ? mode : 0;
  how.resolve = resolve;
  return ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
}

uint64_t resolveFlags(Mount m) {
  // The host mount is the host's own tree: its links resolve as on the host.
  return m == Mount::Host ? RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS : RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
}

// Finds the entry of the open folder `fd` whose name equals `want` ignoring
// case. The entries are read straight from the kernel: this runs for every
// name about to be made, and a directory stream would cost two more calls.
bool findNoCaseIn(int fd, const std::u16string& want, std::string& found) {
  alignas(8) char buf[16384];
  for (;;) {
    long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
    if (n <= 0) return false;
    for (long at = 0; at < n;) {
      const auto* e = reinterpret_cast<const dirent64*>(buf + at);
      at += e->d_reclen;
      const char* name = e->d_name;
      if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
      if (equalsNoCase(utf8ToUtf16(name), want)) {
        found = name;
        return true;
      }
    }
  }
}

bool findNoCase(const ResolvedPath& p, const std::string& dirRel, const std::u16string& want, std::string& found) {
  int fd = static_cast<int>(openat2Call(p.dirFd, dirRel.empty() ? "." : dirRel.c_str(), O_RDONLY | O_DIRECTORY, 0,
                                        resolveFlags(p.mount)));
  if (fd < 0) return false;
  bool ok = findNoCaseIn(fd, want, found);
  ::close(fd);
  return ok;
}

}  // namespace

DWORD errnoToError(int err, bool forDirectory) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return forDirectory ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EXDEV:
    case ELOOP:
    case EISDIR:
    case EROFS:
    case ENXIO:   // a FIFO opened for writing without a reader, a device node without its device
    case ENODEV: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return ERROR_DISK_FULL;  // a file-size limit set on the process reads as a full disk
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
    case ETXTBSY:
    case EAGAIN: return ERROR_SHARING_VIOLATION;  // a non-blocking open of a file another holds a lease on
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EIO: return ERROR_GEN_FAILURE;
    default: return ERROR_GEN_FAILURE;
  }
}

namespace {

// Appends one name in UTF-8 without a temporary string for the common ASCII case.
void appendUtf8(std::string& out, std::u16string_view name) {
  for (char16_t c : name) {
    if (c >= 0x80) {
      out += utf16ToUtf8(name);
      return;
    }
  }
  for (char16_t c : name) out.push_back(static_cast<char>(c));
}

// Host folder of a mount ("" for the host's own root).
std::string mountFolderOf(Mount m) {
  DeviceState* d = device();
  if (!d || m == Mount::Host) return {};
  if (m == Mount::Root) return d->root;
  int fd;
  std::string folder;
  cardMount(d, fd, folder);
  return folder;
}

}  // namespace

bool parsePath(const WCHAR* path, ResolvedPath& out, bool withNames) {
  if (!path) return SetLastError(ERROR_INVALID_PARAMETER), false;
  size_t len = 0;
  while (path[len]) {
    if (++len >= MAX_PATH) return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
  }
  if (len == 0 || (path[0] != u'\\' && path[0] != u'/')) return SetLastError(ERROR_BAD_PATHNAME), false;

  // Split into components, folding "." and ".." lexically. A ".." may not
  // climb above the mount it starts in.
  std::u16string_view all(path, len);
  std::u16string_view comps[MAX_PATH / 2 + 1];
  size_t n = 0;
  size_t i = 0;
  while (i < len) {
    while (i < len && (all[i] == u'\\' || all[i] == u'/')) ++i;
    size_t start = i;
    while (i < len && all[i] != u'\\' && all[i] != u'/') ++i;
    if (i == start) break;
    std::u16string_view c = all.substr(start, i - start);
    if (c == u".") continue;
    if (c == u"..") {
      if (n == 0) return SetLastError(ERROR_BAD_PATHNAME), false;
      --n;
      continue;
    }
    for (char16_t ch : c)
      if (invalidNameChar(ch)) return SetLastError(ERROR_INVALID_NAME), false;
    comps[n++] = c;
  }

  DeviceState* d = device();
  if (!d) return SetLastError(ERROR_NOT_READY), false;

  size_t first = 0;
  out.mount = Mount::Root;
  out.dirFd = d->rootFd;
  std::string cardFolder;
  if (n > 0 && equalsNoCase(comps[0], kCardName)) {
    out.mount = Mount::Card;
    if (!cardMount(d, out.dirFd, cardFolder)) return SetLastError(ERROR_PATH_NOT_FOUND), false;
    first = 1;
  } else if (n > 0 && HostMountEnabled() && equalsNoCase(comps[0], kHostName)) {
    out.mount = Mount::Host;
    out.dirFd = hostRootFd();
    first = 1;
  } else if (n > 0 && comps[0] == u".ce") {
    // The device's own kernel and registry files are not part of its file system.
    return SetLastError(ERROR_ACCESS_DENIED), false;
  }

  out.rel.clear();
  out.aliasRelLen = 0;
  out.aliasDevice.clear();
  if (out.mount == Mount::Host && n > 1 && hostAliasFolder(comps[1], out.rel)) {
    out.aliasRelLen = out.rel.size();
    out.aliasDevice = u"\\Host\\";
    out.aliasDevice.append(comps[1]);
    first = 2;
  }
  for (size_t k = first; k < n; ++k) {
    if (!out.rel.empty()) out.rel.push_back('/');
    appendUtf8(out.rel, comps[k]);
  }
  if (!withNames) {
    out.device.clear();
    out.host.clear();
    out.lastExists = false;
    return true;
  }
  out.device.clear();
  if (out.aliasRelLen) {
    out.device = out.aliasDevice;
  } else if (first == 1) {
    out.device.push_back(u'\\');
    out.device.append(out.mount == Mount::Card ? kCardName : kHostName);
  }
  for (size_t k = first; k < n; ++k) {
    out.device.push_back(u'\\');
    out.device.append(comps[k]);
  }
  if (out.device.empty()) out.device = u"\\";
  const std::string& mountFolder = out.mount == Mount::Root ? d->root : cardFolder;  // "" for the host mount
  out.host = out.rel.empty() ? (mountFolder.empty() ? "/" : mountFolder) : mountFolder + "/" + out.rel;
  out.lastExists = false;
  return true;
}

// Keeps the host and device spellings in step with what was found.
static bool finishFixed(ResolvedPath& p, const std::string& fixed) {
  std::string mountFolder = mountFolderOf(p.mount) + "/";
  const bool aliasKept = p.aliasRelLen && fixed.compare(0, p.aliasRelLen, p.rel, 0, p.aliasRelLen) == 0;
  p.rel = fixed;
  p.host = mountFolder + fixed;
  std::u16string dev;
  size_t s = 0;
  if (aliasKept &&
      (fixed.size() == p.aliasRelLen || fixed[p.aliasRelLen] == '/')) {
    // The alias stays in the spelling, so that the path still fits.
    dev = p.aliasDevice;
    if (fixed.size() == p.aliasRelLen) {
      p.device = dev;
      return true;
    }
    s = p.aliasRelLen + 1;
  } else {
    p.aliasRelLen = 0;
    if (p.mount == Mount::Card) dev = std::u16string(u"\\") + kCardName;
    if (p.mount == Mount::Host) dev = std::u16string(u"\\") + kHostName;
  }
  while (s <= fixed.size()) {
    size_t e = fixed.find('/', s);
    if (e == std::string::npos) e = fixed.size();
    dev.push_back(u'\\');
    dev += utf8ToUtf16(std::string_view(fixed).substr(s, e - s));
    s = e + 1;
  }
  p.device = dev;
  return true;
}

bool fixCase(ResolvedPath& p, bool exactMissing) {
  if (p.rel.empty()) {
    std::string folder = mountFolderOf(p.mount);
    p.host = folder.empty() ? "/" : folder;
    p.device = p.mount == Mount::Root ? std::u16string(u"\\")
                                      : std::u16string(u"\\") + (p.mount == Mount::Card ? kCardName : kHostName);
    p.lastExists = true;
    return true;
  }
  std::string fixed;
  size_t pos = 0;
  bool last = false;
  // Usually only the last name is missing or spelled otherwise (a file about
  // to be made, a probe for a free name): a folder found as spelled spares
  // the walk over every component before it.
  // The folder is opened for reading: a scan for the last name, if one is
  // needed, uses this descriptor.
  int parentFd = -1;
  if (size_t cut = p.rel.rfind('/'); cut != std::string::npos) {
    std::string parent = p.rel.substr(0, cut);
    parentFd = static_cast<int>(openat2Call(p.dirFd, parent.c_str(), O_RDONLY | O_DIRECTORY, 0, resolveFlags(p.mount)));
    if (parentFd >= 0) {
      fixed = std::move(parent);
      pos = cut + 1;
      if (exactMissing) {
        std::string actual;
        bool found = findNoCaseIn(parentFd, utf8ToUtf16(std::string_view(p.rel).substr(pos)), actual);
        ::close(parentFd);
        fixed += "/" + (found ? actual : p.rel.substr(pos));
        p.lastExists = found;
        return finishFixed(p, fixed);
      }
    }
  }
  struct Closer {
    int& fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closeParent{parentFd};
  while (!last) {
    size_t slash = p.rel.find('/', pos);
    last = slash == std::string::npos;
    std::string comp = p.rel.substr(pos, last ? std::string::npos : slash - pos);
    std::string candidate = fixed.empty() ? comp : fixed + "/" + comp;
    // Folders on the way must be folders; the last component may be anything.
    int fd = static_cast<int>(
        openat2Call(p.dirFd, candidate.c_str(), last ? O_PATH : O_PATH | O_DIRECTORY, 0, resolveFlags(p.mount)));
    std::string actual = comp;
    bool exists = fd >= 0;
    if (fd >= 0) {
      ::close(fd);
    } else if (errno == EXDEV || errno == ELOOP) {
      SetLastError(ERROR_ACCESS_DENIED);
      return false;
    } else if (errno == ENOENT && (last && parentFd >= 0 ? findNoCaseIn(parentFd, utf8ToUtf16(comp), actual)
                                                         : findNoCase(p, fixed, utf8ToUtf16(comp), actual))) {
      exists = true;
      if (!last) {
        // The match must be a folder too.
        std::string again = fixed.empty() ? actual : fixed + "/" + actual;
        int dfd = static_cast<int>(openat2Call(p.dirFd, again.c_str(), O_PATH | O_DIRECTORY, 0, resolveFlags(p.mount)));
        if (dfd < 0) return SetLastError(ERROR_PATH_NOT_FOUND), false;
        ::close(dfd);
      }
    }
    if (!exists && !last) return SetLastError(ERROR_PATH_NOT_FOUND), false;
    fixed = fixed.empty() ? actual : fixed + "/" + actual;
    if (last) p.lastExists = exists;
    pos = slash + 1;
  }
  return finishFixed(p, fixed);
}

bool resolvePath(const WCHAR* path, ResolvedPath& out) {
  if (!parsePath(path, out)) return false;
  return fixCase(out);
}

int openResolved(const ResolvedPath& p, int flags, mode_t mode) {
  return static_cast<int>(openat2Call(p.dirFd, p.rel.empty() ? "." : p.rel.c_str(), flags, mode, resolveFlags(p.mount)));
}

bool hostToDevicePath(const std::string& host, std::u16string& out) {
  auto under = [&](const std::string& folder, std::string& rest) {
    if (folder.empty() || host.compare(0, folder.size(), folder) != 0) return false;
    if (host.size() == folder.size()) {
      rest.clear();
      return true;
    }
    if (host[folder.size()] != '/') return false;
    rest = host.substr(folder.size() + 1);
    return true;
  };
  auto convert = [](const std::u16string& prefix, const std::string& rest) {
    std::u16string r = prefix;
    for (char16_t c : utf8ToUtf16(rest)) r.push_back(c == u'/' ? u'\\' : c);
    return r;
  };
  DeviceState* d = device();
  std::string rest;
  std::string card = d ? StorageCardFolder() : std::string();
  if (d && under(card, rest)) {
    out = convert(std::u16string(u"\\") + kCardName + (rest.empty() ? u"" : u"\\"), rest);
    return true;
  }
  if (d && under(d->root, rest)) {
    if (rest == ".ce" || rest.compare(0, 4, ".ce/") == 0) return false;
    out = convert(u"\\", rest);
    return true;
  }
  if (HostMountEnabled() && !host.empty() && host[0] == '/') {
    out = convert(std::u16string(u"\\") + kHostName, host);
    return true;
  }
  return false;
}

}  // namespace ce::detail
