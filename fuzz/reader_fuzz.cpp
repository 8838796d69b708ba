// libFuzzer target for the cabinet reader: the input is the archive file,
// served from memory through a file-wrapper table; every member is taken
// with ExtractNext and its bytes thrown away, as a scan would do.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archivekit/cab_reader.h"

namespace {

const uint8_t* g_data;
int32_t g_size;
struct Slot {
  bool open = false;
  bool archive = false;
  int64_t pos = 0;
};
Slot g_slots[8];

int32_t openW(FileWrapObject*, const char16_t* path, int32_t flags, int32_t) {
  for (int32_t i = 0; i < 8; ++i)
    if (!g_slots[i].open) {
      g_slots[i] = {true, (flags & 3) == 0, 0};
      return i;
    }
  return -1;
}
bool valid(int32_t h) { return h >= 0 && h < 8 && g_slots[h].open; }
int32_t seek(FileWrapObject*, int32_t h, int32_t off, int32_t origin) {
  if (!valid(h)) return -1;
  int64_t size = g_slots[h].archive ? g_size : 0;
  int64_t base = origin == 0 ? 0 : origin == 1 ? g_slots[h].pos : size;
  int64_t p = base + off;
  if (p < 0) return -1;
  g_slots[h].pos = p;
  return static_cast<int32_t>(p);
}
int32_t read(FileWrapObject*, int32_t h, void* buf, int32_t n) {
  if (!valid(h) || n < 0 || !g_slots[h].archive) return -1;
  int64_t left = g_size - g_slots[h].pos;
  if (left <= 0) return 0;
  int32_t take = static_cast<int32_t>(left < n ? left : n);
  std::memcpy(buf, g_data + g_slots[h].pos, static_cast<size_t>(take));
  g_slots[h].pos += take;
  return take;
}
int32_t write(FileWrapObject*, int32_t h, const void*, int32_t n) { return valid(h) ? n : -1; }
int32_t close(FileWrapObject*, int32_t h) {
  if (valid(h)) g_slots[h].open = false;
  return 0;
}
int32_t tell(FileWrapObject*, int32_t h) { return valid(h) ? static_cast<int32_t>(g_slots[h].pos) : -1; }
int32_t sizeOf(FileWrapObject*, int32_t h) { return valid(h) ? (g_slots[h].archive ? g_size : 0) : -1; }

FileWrapOps makeOps() {
  FileWrapOps ops{};
  ops.OpenW = openW;
  ops.Seek = seek;
  ops.Read = read;
  ops.Write = write;
  ops.Close = close;
  ops.Tell = tell;
  ops.Size = sizeOf;
  return ops;
}
const FileWrapOps g_ops = makeOps();
FileWrapObject g_wrapper{&g_ops};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  g_data = data;
  g_size = static_cast<int32_t>(size);
  for (auto& s : g_slots) s = Slot{};
  {
    nx::cab::CabReader reader(&g_wrapper);
    // Next cabinets "exist" so that chains are followed into the same bytes.
    reader.setDirectoryProbe([](const std::u16string&, const std::u16string&) { return true; });
    if (reader.Open(u"\\fuzz\\input.cab")) {
      char16_t name[260];
      for (int i = 0; i < 70000 && reader.ExtractNext(u"\\fuzz\\out.bin", name); ++i) {
      }
      reader.Close();
    }
  }
  for (const auto& s : g_slots)
    if (s.open) __builtin_trap();  // a destroyed reader has closed every file it opened
  return 0;
}
