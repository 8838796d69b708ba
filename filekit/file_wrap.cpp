// The 25 operations of the file wrapper. Type detection and the signature
// checks read the first bytes of a file again and again, so the head of each
// open file is kept in its slot and Seek only records the position: the
// platform pointer is moved lazily, right before a read or write that really
// needs the file.
#include <algorithm>
#include <climits>
#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "filekit/file_wrap.h"

namespace filekit {
namespace {

FileWrap* self(FileWrapObject* o) { return fromObject(o); }

// ---- Platform calls (counted, so that the cache's effect is measurable) ----

bool movePointer(FileWrap* w, Slot* s, int32_t position) {
  w->platformPointerMoves.fetch_add(1, std::memory_order_relaxed);
  return ce::SetFilePointer(s->file, position, nullptr, ce::FILE_BEGIN) != ce::INVALID_SET_FILE_POINTER;
}

// The new platform pointer, or -1.
int64_t moveToEnd(FileWrap* w, Slot* s) {
  w->platformPointerMoves.fetch_add(1, std::memory_order_relaxed);
  ce::DWORD p = ce::SetFilePointer(s->file, 0, nullptr, ce::FILE_END);
  return p == ce::INVALID_SET_FILE_POINTER ? -1 : static_cast<int64_t>(p);
}

// The platform pointer, or -1.
int64_t currentPointer(FileWrap* w, Slot* s) {
  w->platformPointerMoves.fetch_add(1, std::memory_order_relaxed);
  ce::DWORD p = ce::SetFilePointer(s->file, 0, nullptr, ce::FILE_CURRENT);
  return p == ce::INVALID_SET_FILE_POINTER ? -1 : static_cast<int64_t>(p);
}

bool platformRead(FileWrap* w, Slot* s, void* buffer, ce::DWORD length, ce::DWORD* got) {
  w->platformReads.fetch_add(1, std::memory_order_relaxed);
  *got = 0;
  return ce::ReadFile(s->file, buffer, length, got, nullptr) != ce::FALSE;
}

int32_t clampPosition(int64_t p) { return static_cast<int32_t>(std::clamp<int64_t>(p, 0, INT32_MAX)); }

// Code-page path to UTF-16 in the fixed 260-character buffer. A path that
// does not fit is refused: cutting it would name a different file.
bool ansiPath(const char* path, char16_t (&out)[kAnsiPathChars]) {
  if (!path) return false;
  return ce::MultiByteToWideChar(ce::CP_ACP, 0, path, -1, out, kAnsiPathChars) > 0;
}

void rememberName(Slot* s, const char16_t* path) {
  // The name only serves the unload warning; a path longer than the field is
  // kept as its beginning marked with "...", never as a different-looking path.
  const size_t n = ce::wcslen16(path);
  if (n < static_cast<size_t>(kNameChars)) {
    std::memcpy(s->name, path, n * sizeof(char16_t));
    s->name[n] = 0;
    return;
  }
  const size_t keep = kNameChars - 4;
  std::memcpy(s->name, path, keep * sizeof(char16_t));
  s->name[keep] = s->name[keep + 1] = s->name[keep + 2] = u'.';
  s->name[keep + 3] = 0;
}

// ---- Paths ------------------------------------------------------------------

int32_t accessW(FileWrapObject*, const char16_t* path, int32_t mode) {
  if (!path) return -1;
  const ce::DWORD attr = ce::GetFileAttributesW(path);
  if (attr == ce::INVALID_FILE_ATTRIBUTES) return -1;
  if ((mode & NX_ACCESS_WRITE) && (attr & ce::FILE_ATTRIBUTE_READONLY)) return -1;
  return 0;
}

int32_t accessA(FileWrapObject* o, const char* path, int32_t mode) {
  char16_t w[kAnsiPathChars];
  return ansiPath(path, w) ? accessW(o, w, mode) : -1;
}

int32_t chmodW(FileWrapObject*, const char16_t* path, int32_t mode) {
  if (!path) return -1;
  ce::DWORD attr = ce::GetFileAttributesW(path);
  if (attr == ce::INVALID_FILE_ATTRIBUTES) return -1;
  if (mode & NX_S_IWRITE)
    attr &= ~ce::FILE_ATTRIBUTE_READONLY;
  else
    attr |= ce::FILE_ATTRIBUTE_READONLY;
  return ce::SetFileAttributesW(path, attr) ? 0 : -1;
}

int32_t chmodA(FileWrapObject* o, const char* path, int32_t mode) {
  char16_t w[kAnsiPathChars];
  return ansiPath(path, w) ? chmodW(o, w, mode) : -1;
}

int32_t removeW(FileWrapObject*, const char16_t* path) {
  if (!path) return -1;
  const ce::DWORD before = ce::GetFileAttributesW(path);
  if (before == ce::INVALID_FILE_ATTRIBUTES) return -1;
  ce::SetFileAttributesW(path, ce::FILE_ATTRIBUTE_NORMAL);
  if (ce::DeleteFileW(path) && ce::GetFileAttributesW(path) == ce::INVALID_FILE_ATTRIBUTES) return 0;
  // Still there (in use elsewhere, say): give it its read-only bit back
  // rather than leave it unprotected after a failed delete.
  const ce::DWORD err = ce::GetLastError();
  if ((before & ce::FILE_ATTRIBUTE_READONLY) && ce::GetFileAttributesW(path) != ce::INVALID_FILE_ATTRIBUTES)
    ce::SetFileAttributesW(path, before);
  ce::SetLastError(err);
  return -1;
}

int32_t removeA(FileWrapObject* o, const char* path) {
  char16_t w[kAnsiPathChars];
  return ansiPath(path, w) ? removeW(o, w) : -1;
}

int32_t makeDirW(FileWrapObject*, const char16_t* path) {
  if (!path) return 0;
  return ce::CreateDirectoryW(path, nullptr);
}

int32_t makeDirA(FileWrapObject* o, const char* path) {
  char16_t w[kAnsiPathChars];
  return ansiPath(path, w) ? makeDirW(o, w) : 0;
}

int32_t removeDirW(FileWrapObject*, const char16_t* path) {
  if (!path) return -1;
  return ce::RemoveDirectoryW(path) ? 0 : -1;
}

int32_t removeDirA(FileWrapObject* o, const char* path) {
  char16_t w[kAnsiPathChars];
  return ansiPath(path, w) ? removeDirW(o, w) : -1;
}

int32_t copyW(FileWrapObject*, const char16_t* source, const char16_t* target) {
  if (!source || !target) return 0;
  return ce::CopyFileW(source, target, ce::FALSE);
}

int32_t copyA(FileWrapObject* o, const char* source, const char* target) {
  char16_t s[kAnsiPathChars];
  char16_t t[kAnsiPathChars];
  return ansiPath(source, s) && ansiPath(target, t) ? copyW(o, s, t) : 0;
}

int32_t moveW(FileWrapObject*, const char16_t* source, const char16_t* target) {
  if (!source || !target) return -1;
  return ce::MoveFileW(source, target) ? 0 : -1;
}

int32_t moveA(FileWrapObject* o, const char* source, const char* target) {
  char16_t s[kAnsiPathChars];
  char16_t t[kAnsiPathChars];
  return ansiPath(source, s) && ansiPath(target, t) ? moveW(o, s, t) : -1;
}

// ---- Open files -------------------------------------------------------------

int32_t openW(FileWrapObject* o, const char16_t* path, int32_t flags, int32_t share) {
  FileWrap* w = self(o);
  if (!path) return -1;
  const ce::DWORD disposition = (flags & NX_O_TRUNC)   ? ce::CREATE_ALWAYS
                                : (flags & NX_O_CREAT) ? ce::OPEN_ALWAYS
                                                       : ce::OPEN_EXISTING;
  const bool writes = (flags & (NX_O_WRONLY | NX_O_RDWR | NX_O_CREAT | NX_O_TRUNC)) != 0;
  const ce::DWORD access = writes ? (ce::GENERIC_READ | ce::GENERIC_WRITE) : ce::GENERIC_READ;
  const ce::DWORD sharing = ce::FILE_SHARE_READ | ((share & NX_SH_ALLOW_WRITE) ? ce::FILE_SHARE_WRITE : 0);
  ce::HANDLE f = ce::CreateFileW(path, access, sharing, nullptr, disposition, ce::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return -1;

  // Sizes and positions are 32-bit signed: a file of 2 GiB or more cannot be
  // addressed and is refused rather than read with a wrapped-around size.
  ce::DWORD high = 0;
  const ce::DWORD low = ce::GetFileSize(f, &high);
  if (low == ce::INVALID_FILE_SIZE || high != 0 || low > static_cast<ce::DWORD>(INT32_MAX)) {
    const ce::DWORD err = ce::GetLastError();
    ce::CloseHandle(f);
    ce::SetLastError(err != ce::ERROR_SUCCESS ? err : ce::ERROR_ARITHMETIC_OVERFLOW);
    return -1;
  }
  if (flags & NX_O_APPEND) {
    w->platformPointerMoves.fetch_add(1, std::memory_order_relaxed);
    ce::SetFilePointer(f, 0, nullptr, ce::FILE_END);
  }

  const int32_t index = takeSlot(w, f);
  if (index < 0) {
    ce::CloseHandle(f);
    ce::SetLastError(ce::ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  Slot* s = slotAt(w, index);
  s->size = static_cast<int32_t>(low);
  s->append = (flags & NX_O_APPEND) ? 1 : 0;
  rememberName(s, path);
  w->openFiles.fetch_add(1);
  return index;
}

int32_t openA(FileWrapObject* o, const char* path, int32_t flags, int32_t share) {
  char16_t w[kAnsiPathChars];
  return ansiPath(path, w) ? openW(o, w, flags, share) : -1;
}

int32_t seek(FileWrapObject* o, int32_t handle, int32_t offset, int32_t origin) {
  Slot* s = lookupSlot(self(o), handle);
  if (!s) return -1;
  int64_t p;
  switch (origin) {
    case NX_SEEK_SET: p = offset; break;
    case NX_SEEK_CUR: p = static_cast<int64_t>(s->position) + offset; break;
    case NX_SEEK_END: p = static_cast<int64_t>(s->size) + offset; break;
    default: return s->position;
  }
  s->position = clampPosition(p);
  s->positionMoved = 1;
  return s->position;
}

void fillHeadCache(FileWrap* w, Slot* s) {
  ce::DWORD got = 0;
  if (movePointer(w, s, 0) && platformRead(w, s, s->head, NX_FILEKIT_HEAD_CACHE, &got)) {
    s->cacheValid = 1;
    s->cachedBytes = static_cast<int32_t>(got);
  } else {
    s->cacheValid = 0;
    s->cachedBytes = 0;
  }
  s->positionMoved = movePointer(w, s, s->position) ? 0 : 1;
}

int32_t read(FileWrapObject* o, int32_t handle, void* buffer, int32_t length) {
  FileWrap* w = self(o);
  if (handle == -1 || !buffer) return -1;
  if (length == 0) return 0;
  if (length < 0) return -1;
  Slot* s = lookupSlot(w, handle);
  if (!s) return -1;

  if (!s->cacheValid) fillHeadCache(w, s);
  const int64_t end = static_cast<int64_t>(s->position) + length;
  if (s->cacheValid && end <= s->cachedBytes) {
    std::memcpy(buffer, s->head + s->position, static_cast<size_t>(length));
    s->position = static_cast<int32_t>(end);
    s->positionMoved = 1;
    return length;
  }

  if (s->positionMoved) {
    if (!movePointer(w, s, s->position)) return -1;
    s->positionMoved = 0;
  }
  const ce::DWORD want = static_cast<ce::DWORD>(std::min<int64_t>(length, INT32_MAX - s->position));
  ce::DWORD got = 0;
  if (!platformRead(w, s, buffer, want, &got)) {
    s->positionMoved = 1;  // a failed read may have moved the pointer partway
    return -1;
  }
  s->position += static_cast<int32_t>(got);
  return static_cast<int32_t>(got);
}

int32_t write(FileWrapObject* o, int32_t handle, const void* buffer, int32_t length) {
  FileWrap* w = self(o);
  if (handle == -1 || !buffer) return -1;
  if (length == 0) return 0;
  if (length < 0) return -1;
  Slot* s = lookupSlot(w, handle);
  if (!s) return -1;

  int64_t at = s->position;
  if (s->append) {
    // Appending files write at the end every time, even after reads or
    // seeks have moved the position: their existing content is never
    // overwritten.
    at = moveToEnd(w, s);
    if (at < 0) return -1;
    s->positionMoved = 0;
  } else if (s->positionMoved) {
    if (!movePointer(w, s, s->position)) return -1;
    s->positionMoved = 0;
  }
  // The write may touch the cached head (or a short file's whole content).
  if (s->cachedBytes >= at || s->cachedBytes < NX_FILEKIT_HEAD_CACHE) s->cacheValid = 0;

  ce::DWORD written = 0;
  const bool ok = ce::WriteFile(s->file, buffer, static_cast<ce::DWORD>(length), &written, nullptr) != ce::FALSE;
  const int64_t now = currentPointer(w, s);
  if (now < 0) {
    s->positionMoved = 1;
    return ok ? static_cast<int32_t>(written) : -1;
  }
  s->position = clampPosition(now);
  if (s->position >= s->size) {
    ce::DWORD high = 0;
    const ce::DWORD size = ce::GetFileSize(s->file, &high);
    if (size != ce::INVALID_FILE_SIZE) s->size = high ? INT32_MAX : clampPosition(size);
  }
  return ok ? static_cast<int32_t>(written) : -1;
}

int32_t close(FileWrapObject* o, int32_t handle) {
  FileWrap* w = self(o);
  if (handle == -1) return 0;
  Slot* s = lookupSlot(w, handle);
  if (!s) return -1;
  if (!ce::CloseHandle(s->file)) return -1;
  w->openFiles.fetch_sub(1);
  freeSlot(w, handle);
  return 0;
}

int32_t tell(FileWrapObject* o, int32_t handle) {
  Slot* s = lookupSlot(self(o), handle);
  return s ? s->position : -1;
}

int32_t size(FileWrapObject* o, int32_t handle) {
  if (handle == -1) return 0;
  Slot* s = lookupSlot(self(o), handle);
  return s ? s->size : -1;
}

int32_t isEnd(FileWrapObject* o, int32_t handle) {
  Slot* s = lookupSlot(self(o), handle);
  if (!s) return -1;
  return s->position == s->size ? 1 : 0;
}

int32_t truncate(FileWrapObject* o, int32_t handle, int32_t length) {
  FileWrap* w = self(o);
  Slot* s = lookupSlot(w, handle);
  if (!s || length < 0) return -1;
  if (!movePointer(w, s, length)) {
    s->positionMoved = 1;
    return -1;
  }
  const bool ok = ce::SetEndOfFile(s->file) != ce::FALSE;
  s->positionMoved = movePointer(w, s, s->position) ? 0 : 1;
  if (!ok) return -1;
  // The file is now `length` long: a head cache or size from before would
  // show bytes that are gone, to a rescan after a repair above all.
  s->size = length;
  s->cacheValid = 0;
  s->cachedBytes = 0;
  return 0;
}

void destroy(FileWrapObject* o, int32_t) {
  FileWrap* w = self(o);
  if (!w || !w->releasing) return;
  destroyFileWrap(w);
}

}  // namespace

const FileWrapOps kFileWrapOps = {
    accessW, accessA, openW,    openA,    seek,      read,       write,      close,  tell,
    size,    isEnd,   truncate, chmodW,   chmodA,    removeW,    removeA,    makeDirW,
    makeDirA, removeDirW, removeDirA, copyW, copyA, moveW, moveA, destroy,
};

}  // namespace filekit
