// FindFirstFileW/FindNextFileW: the folder is read once at FindFirstFileW and
// the matches handed out one by one, so that files created or deleted while a
// caller walks the listing cannot make it skip or repeat entries.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "ce/time.h"
#include "handles.h"
#include "paths.h"

namespace ce {
namespace detail {

// Wildcard match ignoring case: '*' any run, '?' exactly one unit.
bool wildcardMatch(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*.*" || pattern == u"*") return true;
  size_t p = 0, n = 0, starP = std::u16string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || foldCase(pattern[p]) == foldCase(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

namespace {

struct FindObject : Object {
  Kind kind() const override { return Kind::Find; }
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

FILETIME toFiletime(const timespec& ts) {
  int64_t v = clock::unixToFiletime(ts.tv_sec, ts.tv_nsec);
  return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(static_cast<uint64_t>(v) >> 32)};
}

bool hasWildcards(std::u16string_view s) { return s.find_first_of(u"*?") != std::u16string_view::npos; }

}  // namespace
}  // namespace detail

using namespace detail;

HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data) {
  if (!pattern || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string full(pattern);
  size_t cut = full.find_last_of(u"\\/");
  if (cut == std::u16string::npos) {
    SetLastError(ERROR_BAD_PATHNAME);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string folder = full.substr(0, cut);
  std::u16string namePattern = full.substr(cut + 1);
  if (folder.empty()) folder = u"\\";
  if (hasWildcards(folder)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (namePattern.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  for (char16_t c : namePattern) {
    if (c < 32 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|') {
      SetLastError(ERROR_INVALID_NAME);
      return INVALID_HANDLE_VALUE;
    }
  }
  ResolvedPath dir;
  if (!resolvePath(folder.c_str(), dir)) return INVALID_HANDLE_VALUE;
  if (!dir.lastExists) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  int fd = openResolved(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    SetLastError(errnoToError(errno, true));
    return INVALID_HANDLE_VALUE;
  }
  DIR* d = ::fdopendir(fd);
  if (!d) {
    ::close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  auto obj = std::make_shared<FindObject>();
  const bool atRoot = dir.mount == Mount::Root && dir.rel.empty();
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (atRoot && std::strcmp(e->d_name, ".ce") == 0) continue;  // the device's own state is not a file
    std::u16string name = utf8ToUtf16(e->d_name);
    if (name.size() >= MAX_PATH || !wildcardMatch(namePattern, name)) continue;
    struct stat st{};
    if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    WIN32_FIND_DATAW w{};
    DWORD a = 0;
    // The entry itself is described, never what a link points to, so that a
    // walk over a folder tree does not leave the tree through a link.
    if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
    if (S_ISLNK(st.st_mode)) a |= FILE_ATTRIBUTE_REPARSE_POINT;
    else if (!(st.st_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
    w.dwFileAttributes = a ? a : FILE_ATTRIBUTE_NORMAL;
    w.ftCreationTime = toFiletime(st.st_mtim);
    w.ftLastAccessTime = toFiletime(st.st_atim);
    w.ftLastWriteTime = toFiletime(st.st_mtim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    w.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    w.nFileSizeLow = static_cast<DWORD>(size);
    std::memcpy(w.cFileName, name.data(), name.size() * sizeof(WCHAR));
    obj->entries.push_back(w);
  }
  ::closedir(d);
  if (obj->entries.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  *data = obj->entries[0];
  obj->next = 1;
  HANDLE h = handleInsert(std::move(obj));
  if (!h) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
  auto f = handleGetAs<FindObject>(find, Kind::Find);
  if (!f) return SetLastError(ERROR_INVALID_HANDLE), FALSE;
  if (!data) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  if (f->next >= f->entries.size()) return SetLastError(ERROR_NO_MORE_FILES), FALSE;
  *data = f->entries[f->next++];
  return TRUE;
}

BOOL FindClose(HANDLE find) {
  if (!handleGetAs<FindObject>(find, Kind::Find)) return SetLastError(ERROR_INVALID_HANDLE), FALSE;
  return CloseHandle(find);
}

}  // namespace ce
