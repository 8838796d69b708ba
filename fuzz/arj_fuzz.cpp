// libFuzzer targets for the ARJ reader. NX_ARJ_FUZZ_READER: the input is an
// archive served from memory through a file-wrapper table; the members are
// counted and each is extracted (its bytes thrown away) as the update engine
// would take them. Otherwise the input is one member for the decoder: a
// method byte, the stated size (32-bit, little-endian, capped at 1 MB) and
// the packed bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "arjkit/arj_decoder.h"
#include "arjkit/arj_headers.h"

namespace {

#ifdef NX_ARJ_FUZZ_READER
const uint8_t* g_data;
int32_t g_size;
struct Slot {
  bool open = false;
  bool archive = false;
  int64_t pos = 0;
};
Slot g_slots[4];

bool valid(int32_t h) { return h >= 0 && h < 4 && g_slots[h].open; }
int32_t openA(FileWrapObject*, const char* path, int32_t flags, int32_t) {
  if (!path) return -1;
  for (int32_t i = 0; i < 4; ++i)
    if (!g_slots[i].open) {
      g_slots[i] = {true, (flags & 3) == 0, 0};
      return i;
    }
  return -1;
}
int32_t seek(FileWrapObject*, int32_t h, int32_t off, int32_t origin) {
  if (!valid(h)) return -1;
  int64_t size = g_slots[h].archive ? g_size : 0;
  int64_t p = (origin == 0 ? 0 : origin == 1 ? g_slots[h].pos : size) + off;
  if (p < 0) p = 0;
  if (p > INT32_MAX) p = INT32_MAX;
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
int32_t write(FileWrapObject*, int32_t h, const void*, int32_t n) { return valid(h) && !g_slots[h].archive ? n : -1; }
int32_t close(FileWrapObject*, int32_t h) {
  if (valid(h)) g_slots[h].open = false;
  return 0;
}
int32_t tell(FileWrapObject*, int32_t h) { return valid(h) ? static_cast<int32_t>(g_slots[h].pos) : -1; }
int32_t sizeOf(FileWrapObject*, int32_t h) { return valid(h) ? (g_slots[h].archive ? g_size : 0) : -1; }

FileWrapOps makeOps() {
  FileWrapOps ops{};
  ops.OpenA = openA;
  ops.Seek = seek;
  ops.Read = read;
  ops.Write = write;
  ops.Close = close;
  ops.Tell = tell;
  ops.Size = sizeOf;
  return ops;
}
const FileWrapOps kOps = makeOps();
FileWrapObject g_files{&kOps};
#else
struct Source final : nx::arj::PackedSource {
  const uint8_t* p;
  size_t left;
  int32_t fill(uint8_t* buffer, int32_t capacity) override {
    size_t n = left < static_cast<size_t>(capacity) ? left : static_cast<size_t>(capacity);
    std::memcpy(buffer, p, n);
    p += n;
    left -= n;
    return static_cast<int32_t>(n);
  }
};
struct Sink final : nx::arj::PlainSink {
  size_t total = 0;
  bool put(const uint8_t*, size_t n) override {
    total += n;
    return true;
  }
};
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef NX_ARJ_FUZZ_READER
  if (size > 1 << 20) return 0;
  g_data = data;
  g_size = static_cast<int32_t>(size);
  int32_t count = nx::arj::countMembers(&g_files, "a.arj");
  for (int32_t n = 1; n <= count && n <= 16; ++n) {
    char name[nx::arj::kCallerNameCapacity] = {};
    nx::arj::extractMember(&g_files, "a.arj", n, "o", name);
    if (std::strlen(name) >= sizeof name) __builtin_trap();
  }
  for (auto& s : g_slots)
    if (s.open) __builtin_trap();  // every walk closes what it opened
#else
  if (size < 5) return 0;
  uint32_t stated = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24;
  stated &= (1u << 20) - 1;
  Source src;
  src.p = data + 5;
  src.left = size - 5;
  Sink sink;
  int method = data[0] % 6;
  nx::arj::decodeMember(method, src, stated, sink);
  if (method != 0 && sink.total > stated) __builtin_trap();
#endif
  return 0;
}
