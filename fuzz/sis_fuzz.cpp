// libFuzzer target for the SIS reader (and, built with NX_FUZZ_SISX, the SISX
// reader): the input is the package, served from memory through a
// file-wrapper table whose written files stay in memory, so that the SISX
// controller's work file is parsed as on the handset. Every member is taken
// with ExtractNext as a scan would do.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "archivekit/sis_reader.h"
#include "archivekit/sisx_reader.h"

namespace {

std::map<std::u16string, std::string> g_files;
struct Slot {
  bool open = false;
  std::string* file = nullptr;
  int64_t pos = 0;
};
Slot g_slots[8];

bool valid(int32_t h) { return h >= 0 && h < 8 && g_slots[h].open; }
int32_t openW(FileWrapObject*, const char16_t* path, int32_t flags, int32_t) {
  if (!path) return -1;
  std::u16string p(path);
  auto it = g_files.find(p);
  if (it == g_files.end()) {
    if (!(flags & NX_O_CREAT)) return -1;
    it = g_files.emplace(p, std::string()).first;
  }
  if (flags & NX_O_TRUNC) it->second.clear();
  for (int32_t i = 0; i < 8; ++i)
    if (!g_slots[i].open) {
      g_slots[i] = {true, &it->second, 0};
      return i;
    }
  return -1;
}
int32_t seek(FileWrapObject*, int32_t h, int32_t off, int32_t origin) {
  if (!valid(h)) return -1;
  int64_t size = static_cast<int64_t>(g_slots[h].file->size());
  int64_t base = origin == 0 ? 0 : origin == 1 ? g_slots[h].pos : size;
  int64_t p = base + off;
  if (p < 0) return -1;
  g_slots[h].pos = p;
  return static_cast<int32_t>(p);
}
int32_t read(FileWrapObject*, int32_t h, void* buf, int32_t n) {
  if (!valid(h) || n < 0) return -1;
  int64_t left = static_cast<int64_t>(g_slots[h].file->size()) - g_slots[h].pos;
  if (left <= 0) return 0;
  int32_t take = static_cast<int32_t>(left < n ? left : n);
  std::memcpy(buf, g_slots[h].file->data() + g_slots[h].pos, static_cast<size_t>(take));
  g_slots[h].pos += take;
  return take;
}
int32_t write(FileWrapObject*, int32_t h, const void* buf, int32_t n) {
  if (!valid(h) || n < 0) return -1;
  std::string& f = *g_slots[h].file;
  size_t end = static_cast<size_t>(g_slots[h].pos) + static_cast<size_t>(n);
  if (f.size() < end) f.resize(end);
  std::memcpy(f.data() + g_slots[h].pos, buf, static_cast<size_t>(n));
  g_slots[h].pos = static_cast<int64_t>(end);
  return n;
}
int32_t close(FileWrapObject*, int32_t h) {
  if (valid(h)) g_slots[h].open = false;
  return 0;
}
int32_t tell(FileWrapObject*, int32_t h) { return valid(h) ? static_cast<int32_t>(g_slots[h].pos) : -1; }
int32_t sizeOf(FileWrapObject*, int32_t h) { return valid(h) ? static_cast<int32_t>(g_slots[h].file->size()) : -1; }
int32_t removeW(FileWrapObject*, const char16_t* path) {
  if (!path) return -1;
  for (const auto& s : g_slots)
    if (s.open && s.file == &g_files[path]) return -1;
  g_files.erase(path);
  return 0;
}

FileWrapOps makeOps() {
  FileWrapOps ops{};
  ops.OpenW = openW;
  ops.Seek = seek;
  ops.Read = read;
  ops.Write = write;
  ops.Close = close;
  ops.Tell = tell;
  ops.Size = sizeOf;
  ops.RemoveW = removeW;
  return ops;
}
const FileWrapOps g_ops = makeOps();
FileWrapObject g_wrapper{&g_ops};

#ifdef NX_FUZZ_SISX
using Reader = nx::sis::SisxReader;
#else
using Reader = nx::sis::SisReader;
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  g_files.clear();
  for (auto& s : g_slots) s = Slot{};
  g_files[u"\\fuzz\\input"] = std::string(reinterpret_cast<const char*>(data), size);
  {
    Reader reader(&g_wrapper, &g_wrapper);
    if (reader.Open(u"\\fuzz\\input")) {
      char16_t name[260];
      for (int i = 0; i < 70000; ++i) {
        std::u16string out = u"\\fuzz\\m" + std::u16string(1, static_cast<char16_t>(u'a' + i % 8));
        if (!reader.ExtractNext(out.c_str(), name)) break;
        name[259] = 0;
      }
      reader.Close();
    }
  }
  for (const auto& s : g_slots)
    if (s.open) __builtin_trap();  // a closed reader has closed every file it opened
  return 0;
}
