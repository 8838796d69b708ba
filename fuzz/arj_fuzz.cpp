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
#include "fuzz/memory_files.h"

namespace {

#ifndef NX_ARJ_FUZZ_READER
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
  fuzzfiles::reset(data, static_cast<int32_t>(size));
  FileWrapObject* files = &fuzzfiles::g_wrapper;
  int32_t count = nx::arj::countMembers(files, "a.arj");
  for (int32_t n = 1; n <= count && n <= 16; ++n) {
    char name[nx::arj::kCallerNameCapacity] = {};
    nx::arj::extractMember(files, "a.arj", n, "o", name);
    if (std::strlen(name) >= sizeof name) __builtin_trap();
  }
  if (fuzzfiles::anyOpen()) __builtin_trap();  // every walk closes what it opened
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
