// Unique temporary names "~xnNNNN.ext": the engine extracts archive members
// and writes repaired copies under them. The generator is the C run-time one
// and is not seeded, so names repeat between runs; the existence test is what
// makes a name free in its directory.
#include <cstdlib>
#include <cstring>
#include <string>

#include "ce/files.h"
#include "ce/text.h"
#include "common/rwlock.h"
#include "platform/platform_internal.h"

namespace nx::plat {
namespace {

using namespace ce;

constexpr int kMaxExtension = 10;
// Random draws before the search turns to walking every name in order, so
// that a directory holding all 10000 names ends the search instead of
// spinning for ever.
constexpr int kRandomTries = 20000;

RwLock g_uniqueLock;

// Names handed out lately, by full path. A caller creates its file only after
// the lock is gone, so the existence test alone would let two threads that
// ask in quick succession walk away with the same name.
constexpr size_t kRecent = 64;
std::u16string g_recent[kRecent];
size_t g_recentNext = 0;

bool recentlyIssued(const std::u16string& full) {
  for (const auto& r : g_recent)
    if (!r.empty() && equalsNoCase(r, full)) return true;
  return false;
}

// "~xn%02d%02d.%s" into name.
bool composeName(int a, int b, const WCHAR* ext, WCHAR* name) {
  return format16(name, kUniqueNameChars + 1, u"~xn%02d%02d.%s", a, b, ext) > 0;
}

// Takes the name when nothing by that path exists and it was not just given
// to another caller.
bool claimIfFree(const WCHAR* dir, size_t dirLen, bool addSlash, const WCHAR* name, WCHAR* out) {
  size_t nameLen = wcslen16(name);
  if (dirLen + (addSlash ? 1 : 0) + nameLen >= MAX_PATH) return false;
  std::u16string full(dir, dirLen);
  if (addSlash) full += u'\\';
  full.append(name, nameLen);
  if (GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES || recentlyIssued(full)) return false;
  g_recent[g_recentNext] = std::move(full);
  g_recentNext = (g_recentNext + 1) % kRecent;
  std::memcpy(out, name, (nameLen + 1) * sizeof(WCHAR));
  return true;
}

}  // namespace

int uniqueFilename(const WCHAR* directory, const WCHAR* extension, WCHAR* out) {
  if (!directory || !out) return 0;
  const WCHAR* ext = u"tmp";
  if (extension) {
    size_t n = 0;
    while (n <= kMaxExtension && extension[n]) ++n;
    if (n <= kMaxExtension) ext = extension;
  }
  size_t dirLen = 0;
  while (dirLen < MAX_PATH && directory[dirLen]) ++dirLen;
  // The joined path has to fit a 260-character path with the shortest name;
  // a directory that cannot take one is refused, not cut short.
  size_t extLen = wcslen16(ext);
  bool addSlash = dirLen == 0 || directory[dirLen - 1] != u'\\';
  if (dirLen + (addSlash ? 1 : 0) + 8 + extLen >= MAX_PATH) return 0;

  RwLockHold hold(g_uniqueLock, true);
  if (!hold.held()) return 0;
  WCHAR name[kUniqueNameChars + 1];
  for (int i = 0; i < kRandomTries; ++i) {
    int a = std::rand() % 100;
    int b = std::rand() % 100;
    if (composeName(a, b, ext, name) && claimIfFree(directory, dirLen, addSlash, name, out)) return 1;
  }
  for (int n = 0; n < 10000; ++n) {
    if (composeName(n / 100, n % 100, ext, name) && claimIfFree(directory, dirLen, addSlash, name, out)) return 1;
  }
  return 0;
}

}  // namespace nx::plat
