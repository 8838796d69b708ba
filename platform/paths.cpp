// The installation and temporary directories this process works with, and
// the directory of a loaded module. Paths live in fixed 260-character
// buffers; a path that does not fit is refused rather than shortened, since a
// shortened path names some other file or folder.
#include <atomic>
#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/module.h"
#include "ce/text.h"
#include "platform/platform_internal.h"

namespace nx::plat {
namespace {

using namespace ce;

WCHAR g_installPath[MAX_PATH];
WCHAR g_tempPath[MAX_PATH];

// Length of s if it has fewer than cap characters, else -1.
int boundedLen(const WCHAR* s, int cap) {
  for (int i = 0; i < cap; ++i)
    if (!s[i]) return i;
  return -1;
}

bool isDirectory(const WCHAR* path) {
  DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Copies path (at most 259 characters) into a zeroed buffer and drops one
// trailing "\". false when it does not fit.
bool takePath(const WCHAR* path, WCHAR (&out)[MAX_PATH]) {
  std::memset(out, 0, sizeof out);
  int len = boundedLen(path, MAX_PATH);
  if (len < 0) return false;
  std::memcpy(out, path, len * sizeof(WCHAR));
  if (len > 0 && out[len - 1] == u'\\') out[len - 1] = 0;
  return true;
}

// Linked into every engine module's process through the dynamic linker, so
// the loader only learns about this library once asked about one of its
// addresses; after that "platform.dll" is found by name like any other.
void registerSelf() {
  static std::atomic<bool> done{false};
  if (!done.load(std::memory_order_acquire) && ModuleFromAddress(reinterpret_cast<const void*>(&registerSelf)))
    done.store(true, std::memory_order_release);
}

}  // namespace

const WCHAR* installPath() { return g_installPath; }

int moduleDir(const WCHAR* moduleName, WCHAR* buffer, int capacity) {
  if (!buffer || capacity < static_cast<int>(MAX_PATH)) return 0;
  HMODULE module = nullptr;
  if (moduleName) {
    registerSelf();
    module = GetModuleHandleW(moduleName);
    if (!module) return 0;
  }
  WCHAR path[MAX_PATH + 1];
  DWORD len = GetModuleFileNameW(module, path, MAX_PATH + 1);
  // A path of MAX_PATH characters or more cannot take its directory's "\"
  // in a 260-character buffer; it would come back cut, so it is refused.
  if (len == 0 || len >= MAX_PATH) return 0;
  WCHAR* slash = nullptr;
  for (WCHAR* p = path; *p; ++p)
    if (*p == u'\\') slash = p;
  if (slash) {
    slash[1] = 0;
  } else {
    path[len] = u'\\';
    path[len + 1] = 0;
  }
  size_t out = wcslen16(path);
  if (out >= static_cast<size_t>(capacity)) return 0;
  std::memcpy(buffer, path, (out + 1) * sizeof(WCHAR));
  return static_cast<int>(len);
}

int setInstallPath(const WCHAR* path) {
  if (!path) return 0;
  WCHAR candidate[MAX_PATH];
  if (!takePath(path, candidate) || !isDirectory(candidate)) return 0;
  std::memcpy(g_installPath, candidate, sizeof candidate);
  return 1;
}

int setTempPath(const WCHAR* path) {
  if (!path) return 0;
  WCHAR candidate[MAX_PATH];
  if (!takePath(path, candidate)) return 0;
  size_t len = wcslen16(candidate);
  // "C:" alone means the drive's root.
  if (len == 2 && candidate[1] == u':') candidate[2] = u'\\';
  // Room for the "\" GetNXTempPathW adds, so the path can be handed out
  // whole. Checked before anything is created: a refused path leaves no
  // folder behind.
  len = wcslen16(candidate);
  if (len + 1 >= MAX_PATH && candidate[len - 1] != u'\\') return 0;
  if (!isDirectory(candidate)) {
    // Another process may make the same folder at the same moment: what
    // counts is that a folder is there afterwards.
    const bool made = CreateDirectoryW(candidate, nullptr);
    if (!isDirectory(candidate)) {
      if (made) RemoveDirectoryW(candidate);
      return 0;
    }
  }
  std::memcpy(g_tempPath, candidate, sizeof candidate);
  return 1;
}

int getTempPath(WCHAR* buffer, int capacity) {
  if (!buffer || capacity < static_cast<int>(MAX_PATH) || !g_tempPath[0]) return 0;
  // Again, so that a temporary folder someone deleted is made anew.
  WCHAR recorded[MAX_PATH];
  std::memcpy(recorded, g_tempPath, sizeof recorded);
  if (!setTempPath(recorded)) return 0;
  size_t len = wcslen16(g_tempPath);
  bool addSlash = len == 0 || g_tempPath[len - 1] != u'\\';
  if (len + (addSlash ? 1 : 0) >= static_cast<size_t>(capacity)) return 0;
  std::memcpy(buffer, g_tempPath, len * sizeof(WCHAR));
  if (addSlash) buffer[len++] = u'\\';
  buffer[len] = 0;
  return 1;
}

int longPathName(const WCHAR* source, WCHAR* out) {
  if (!source || !out) return 0;
  int len = boundedLen(source, MAX_PATH);
  if (len < 0) return 0;
  std::memmove(out, source, (len + 1) * sizeof(WCHAR));
  return 1;
}

}  // namespace nx::plat
