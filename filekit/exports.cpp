// Exports of filekit.dll: the counted module frame around the one wrapper
// object every module of the process shares.
#include <climits>
#include <mutex>

#include "filekit/file_wrap.h"

#define FILEKIT_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Modules load and free filekit from different threads (the scan engine,
// the session layer, archive readers loaded on demand), so the count and
// the object pointer change only under this lock.
std::mutex g_frameLock;
int32_t g_usage = 0;
filekit::FileWrap* g_wrap = nullptr;

}  // namespace

FILEKIT_EXPORT int32_t LibInit() {
  std::lock_guard<std::mutex> guard(g_frameLock);
  if (g_usage == INT32_MAX) return 0;
  if (g_usage == 0) {
    g_wrap = filekit::createFileWrap();
    if (!g_wrap) return 0;
  }
  return ++g_usage;
}

FILEKIT_EXPORT int32_t LibDeinit() {
  std::lock_guard<std::mutex> guard(g_frameLock);
  if (g_usage == 0) return 0;
  if (--g_usage == 0 && g_wrap) {
    g_wrap->releasing = 1;
    g_wrap->base.ops->Destroy(&g_wrap->base, 1);
    g_wrap = nullptr;
  }
  return g_usage;
}

FILEKIT_EXPORT int32_t CreateFileWrapObject(FileWrapObject** out) {
  if (!out) return 0;
  std::lock_guard<std::mutex> guard(g_frameLock);
  if (!g_wrap) return 0;
  *out = &g_wrap->base;
  return 1;
}

FILEKIT_EXPORT void DeleteFileWrapObject(FileWrapObject*) {}

FILEKIT_EXPORT int32_t FileWrapDiagGet(FileWrapDiag* out) {
  if (!out) return 0;
  std::lock_guard<std::mutex> guard(g_frameLock);
  if (!g_wrap) return 0;
  out->platformReads = g_wrap->platformReads.load();
  out->platformPointerMoves = g_wrap->platformPointerMoves.load();
  ce::EnterCriticalSection(&g_wrap->lock);
  out->tableCapacity = g_wrap->capacity;
  ce::LeaveCriticalSection(&g_wrap->lock);
  out->openFiles = g_wrap->openFiles.load();
  return 1;
}
