// A file wrapper over the fuzzer's input for the archive-reader targets:
// every handle opened for reading serves the input bytes, every handle
// opened for writing takes bytes and keeps none, and a target can check
// afterwards that the reader closed every handle it opened.
#pragma once

#include <cstdint>
#include <cstring>

#include "filekit/filekit_api.h"

namespace fuzzfiles {

struct Slot {
  bool open = false;
  bool input = false;  // opened for reading: serves the input
  int64_t pos = 0;
};

inline const uint8_t* g_data = nullptr;
inline int32_t g_size = 0;
inline Slot g_slots[8];

// Serves data from now on with every handle closed.
inline void reset(const uint8_t* data, int32_t size) {
  g_data = data;
  g_size = size;
  for (auto& s : g_slots) s = Slot{};
}

inline bool anyOpen() {
  for (const auto& s : g_slots)
    if (s.open) return true;
  return false;
}

inline bool valid(int32_t h) { return h >= 0 && h < 8 && g_slots[h].open; }

inline int32_t openSlot(int32_t flags) {
  for (int32_t i = 0; i < 8; ++i)
    if (!g_slots[i].open) {
      g_slots[i] = {true, (flags & 3) == 0, 0};
      return i;
    }
  return -1;
}
inline int32_t openW(FileWrapObject*, const char16_t* path, int32_t flags, int32_t) {
  return path ? openSlot(flags) : -1;
}
inline int32_t openA(FileWrapObject*, const char* path, int32_t flags, int32_t) { return path ? openSlot(flags) : -1; }

inline int32_t seek(FileWrapObject*, int32_t h, int32_t off, int32_t origin) {
  if (!valid(h)) return -1;
  const int64_t size = g_slots[h].input ? g_size : 0;
  const int64_t p = (origin == 0 ? 0 : origin == 1 ? g_slots[h].pos : size) + off;
  if (p < 0 || p > INT32_MAX) return -1;
  g_slots[h].pos = p;
  return static_cast<int32_t>(p);
}
inline int32_t read(FileWrapObject*, int32_t h, void* buf, int32_t n) {
  if (!valid(h) || n < 0 || !g_slots[h].input) return -1;
  const int64_t left = g_size - g_slots[h].pos;
  if (left <= 0) return 0;
  const int32_t take = static_cast<int32_t>(left < n ? left : n);
  std::memcpy(buf, g_data + g_slots[h].pos, static_cast<size_t>(take));
  g_slots[h].pos += take;
  return take;
}
inline int32_t write(FileWrapObject*, int32_t h, const void*, int32_t n) {
  return valid(h) && !g_slots[h].input ? n : -1;
}
inline int32_t close(FileWrapObject*, int32_t h) {
  if (valid(h)) g_slots[h].open = false;
  return 0;
}
inline int32_t tell(FileWrapObject*, int32_t h) { return valid(h) ? static_cast<int32_t>(g_slots[h].pos) : -1; }
inline int32_t sizeOf(FileWrapObject*, int32_t h) { return valid(h) ? (g_slots[h].input ? g_size : 0) : -1; }

inline FileWrapOps makeOps() {
  FileWrapOps ops{};
  ops.OpenW = openW;
  ops.OpenA = openA;
  ops.Seek = seek;
  ops.Read = read;
  ops.Write = write;
  ops.Close = close;
  ops.Tell = tell;
  ops.Size = sizeOf;
  return ops;
}
inline const FileWrapOps g_ops = makeOps();
inline FileWrapObject g_wrapper{&g_ops};

}  // namespace fuzzfiles
