// The slot table and its free-slot cache. Handles are reused lowest cached
// first, so a module that opens and closes one file at a time keeps getting
// the same small handle, and the table only grows when fewer than five free
// slots are left above the last one handed out.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ce/base.h"
#include "filekit/file_wrap.h"

namespace filekit {
namespace {

Slot* newFreeSlot() {
  auto* s = static_cast<Slot*>(std::calloc(1, sizeof(Slot)));
  if (s) s->file = ce::INVALID_HANDLE_VALUE;
  return s;
}

void resetSlot(Slot* s) {
  std::memset(s, 0, sizeof(Slot));
  s->file = ce::INVALID_HANDLE_VALUE;
}

// Appends kGrowBy free slots. Leaves the table as it was when memory runs out.
bool growTable(FileWrap* w) {
  if (w->capacity > INT32_MAX - kGrowBy) return false;
  const int32_t newCap = w->capacity + kGrowBy;
  auto** table = static_cast<Slot**>(std::calloc(static_cast<size_t>(newCap), sizeof(Slot*)));
  if (!table) return false;
  for (int32_t i = w->capacity; i < newCap; ++i) {
    table[i] = newFreeSlot();
    if (!table[i]) {
      for (int32_t k = w->capacity; k < i; ++k) std::free(table[k]);
      std::free(table);
      return false;
    }
  }
  if (w->capacity > 0) std::memcpy(table, w->table, static_cast<size_t>(w->capacity) * sizeof(Slot*));
  std::free(w->table);
  w->table = table;
  w->capacity = newCap;
  return true;
}

void freeTable(FileWrap* w) {
  for (int32_t i = 0; i < w->capacity; ++i) std::free(w->table[i]);
  std::free(w->table);
  w->table = nullptr;
  w->capacity = 0;
}

}  // namespace

FileWrap* createFileWrap() {
  auto* w = new (std::nothrow) FileWrap{};
  if (!w) return nullptr;
  w->base.ops = &kFileWrapOps;
  if (!growTable(w)) {
    delete w;
    return nullptr;
  }
  ce::InitializeCriticalSection(&w->lock);
  for (int32_t i = 0; i < kFreeCacheSize; ++i) w->freeCache[i] = i;
  w->cursor = 0;
  w->initialised = 1;
  return w;
}

void destroyFileWrap(FileWrap* w) {
  if (!w) return;
  ce::EnterCriticalSection(&w->lock);
  for (int32_t i = 0; i < w->capacity; ++i) {
    Slot* s = w->table[i];
    if (s->file == ce::INVALID_HANDLE_VALUE) continue;
    writeUnloadLine(u"filekit.dll Error: file not closed. Name");
    writeUnloadLine(s->name);
    // Nobody can reach this handle once the table is gone; leaving it open
    // would keep the file locked against writers and deletes for the rest
    // of the process's life.
    ce::CloseHandle(s->file);
    resetSlot(s);
  }
  ce::LeaveCriticalSection(&w->lock);
  if (w->openFiles.load() != 0) writeUnloadLine(u"filekit.dll Error: Open Close Mismatched");
  ce::DeleteCriticalSection(&w->lock);
  freeTable(w);
  w->initialised = 0;
  delete w;
}

int32_t takeSlot(FileWrap* w, ce::HANDLE file) {
  ce::EnterCriticalSection(&w->lock);
  int32_t index = -1;
  if (w->cursor < kFreeCacheSize - 1) {
    index = w->freeCache[w->cursor++];
  } else {
    // Handing out the last cached index: refill the cache with the next free
    // slots above it, growing the table when there are not enough. The
    // refill is built aside so that a failed growth leaves the cache intact.
    const int32_t handed = w->freeCache[kFreeCacheSize - 1];
    int32_t refill[kFreeCacheSize];
    int32_t found = 0;
    for (int32_t i = handed + 1; i < w->capacity && found < kFreeCacheSize; ++i)
      if (w->table[i]->file == ce::INVALID_HANDLE_VALUE) refill[found++] = i;
    bool ok = true;
    if (found < kFreeCacheSize) {
      const int32_t firstNew = w->capacity;
      ok = growTable(w);
      for (int32_t k = 0; ok && found < kFreeCacheSize; ++k) refill[found++] = firstNew + k;
    }
    if (ok) {
      std::memcpy(w->freeCache, refill, sizeof refill);
      w->cursor = 0;
      index = handed;
    }
  }
  // Claimed under the lock, so that a refill on another thread can never
  // see this slot as free while its open is being completed.
  if (index >= 0) w->table[index]->file = file;
  ce::LeaveCriticalSection(&w->lock);
  return index;
}

void freeSlot(FileWrap* w, int32_t index) {
  ce::EnterCriticalSection(&w->lock);
  resetSlot(w->table[index]);
  if (w->cursor > 0) {
    w->freeCache[--w->cursor] = index;
  } else if (index < w->freeCache[kFreeCacheSize - 1]) {
    // The index it replaces lies above the next refill's starting point,
    // so the next refill finds it again.
    w->freeCache[kFreeCacheSize - 1] = index;
  }
  ce::LeaveCriticalSection(&w->lock);
}

Slot* lookupSlot(FileWrap* w, int32_t handle) {
  if (handle < 0) return nullptr;
  ce::EnterCriticalSection(&w->lock);
  Slot* s = nullptr;
  if (handle < w->capacity && w->table[handle]->file != ce::INVALID_HANDLE_VALUE) s = w->table[handle];
  ce::LeaveCriticalSection(&w->lock);
  return s;
}

Slot* slotAt(FileWrap* w, int32_t index) {
  ce::EnterCriticalSection(&w->lock);
  Slot* s = w->table[index];
  ce::LeaveCriticalSection(&w->lock);
  return s;
}

}  // namespace filekit
