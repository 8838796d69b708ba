// The process's file wrapper: a table of slots addressed by small handles,
// with a cache of the head of each open file.
#pragma once

#include <atomic>
#include <cstdint>

#include "ce/kernel.h"
#include "ce/windows.h"
#include "filekit/filekit_api.h"

namespace filekit {

constexpr int32_t kInitialSlots = 15;
constexpr int32_t kGrowBy = 15;
constexpr int32_t kFreeCacheSize = 5;
constexpr int32_t kNameChars = 256;
constexpr int32_t kAnsiPathChars = 260;

struct Slot {
  // Pointer-sized on this host; the handset keeps it in 32 bits.
  ce::HANDLE file;
  int32_t size;
  int32_t position;
  int32_t cacheValid;
  uint8_t head[NX_FILEKIT_HEAD_CACHE];
  int32_t cachedBytes;
  // The platform file pointer may differ from position: Seek and cache hits
  // only record the position, the next real read or write moves the pointer.
  int32_t positionMoved;
  // Opened with NX_O_APPEND: every write goes to the end of the file.
  int32_t append;
  char16_t name[kNameChars];
};

struct FileWrap {
  FileWrapObject base;  // first, so FileWrapObject* converts back
  Slot** table;
  int32_t capacity;
  int32_t initialised;
  ce::CRITICAL_SECTION lock;  // the table, slot lookup and free-slot cache
  int32_t freeCache[kFreeCacheSize];
  int32_t cursor;  // next cache entry to hand out (0..4)
  int32_t releasing;  // set by LibDeinit around Destroy
  std::atomic<int32_t> openFiles;
  std::atomic<int64_t> platformReads;
  std::atomic<int64_t> platformPointerMoves;
};

inline FileWrap* fromObject(FileWrapObject* o) { return reinterpret_cast<FileWrap*>(o); }

// slot_table.cpp
// nullptr when memory runs out (nothing is left allocated).
FileWrap* createFileWrap();
// Frees every slot and the table. Open slots are first reported to the log
// and their platform handles closed.
void destroyFileWrap(FileWrap* w);
// A slot index handed out for a new open, with the platform handle already
// stored in it; -1 when the table cannot grow.
int32_t takeSlot(FileWrap* w, ce::HANDLE file);
// Marks the slot free and offers its index for the next open.
void freeSlot(FileWrap* w, int32_t index);
// The open slot behind a handle, or nullptr (-1, out of range, or free).
Slot* lookupSlot(FileWrap* w, int32_t handle);
// The slot at an index the caller just took.
Slot* slotAt(FileWrap* w, int32_t index);

// file_wrap.cpp
extern const FileWrapOps kFileWrapOps;

// unload_log.cpp: one bare UTF-16 line appended to "\nxdebug.log".
void writeUnloadLine(const char16_t* text);

}  // namespace filekit
