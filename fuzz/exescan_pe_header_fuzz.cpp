// libFuzzer target for the PE header reading and the entry-point walk over arbitrary images.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "exescan/pe_header.h"

namespace {
struct Span {
  const uint8_t* data;
  size_t size;
};
size_t readAt(void* ctx, uint64_t offset, void* buf, size_t len) {
  const Span& s = *static_cast<Span*>(ctx);
  if (offset >= s.size) return 0;
  const size_t n = std::min<uint64_t>(len, s.size - offset);
  std::memcpy(buf, s.data + offset, n);
  return n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Span s{data, size};
  nx::pe::Reader r{readAt, &s};
  const nx::pe::Headers h = nx::pe::readHeaders(r);
  const nx::pe::EntryPoint ep = nx::pe::findEntryPoint(r, h);
  if (ep.sectionName[nx::pe::kSectionNameSize] != 0) __builtin_trap();
  return 0;
}
