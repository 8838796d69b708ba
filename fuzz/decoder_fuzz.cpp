// libFuzzer target for one cabinet block decoder (chosen at build time by
// NX_FUZZ_METHOD; NX_FUZZ_OWN_INFLATE picks our own MSZIP inflater). Input:
// one byte of window exponent, then blocks, each a 16-bit packed length,
// a 16-bit unpacked length (little-endian) and the packed bytes. The
// decoder sees them exactly as the reader hands them over.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archivekit/decompressor.h"

using namespace nx::cab;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
#ifdef NX_FUZZ_OWN_INFLATE
  CabDecompressor* d = newOwnMszipDecompressor();
#else
  CabDecompressor* d = createDecompressor(NX_FUZZ_METHOD);
#endif
  if (!d) return 0;
  int window = NX_FUZZ_METHOD == kMethodQuantum || NX_FUZZ_METHOD == kMethodLzx ? data[0] & 0x1F : 0;
  if (d->Init(window) == kDecodeOk) {
    size_t at = 1;
    while (at + 4 <= size) {
      int packed = data[at] | data[at + 1] << 8;
      int unpacked = data[at + 2] | data[at + 3] << 8;
      at += 4;
      if (packed > kMaxPacked) break;
      size_t take = static_cast<size_t>(packed) <= size - at ? static_cast<size_t>(packed) : size - at;
      std::memcpy(d->input, data + at, take);
      d->input[take] = 0;
      d->input[take + 1] = 0;
      at += take;
      if (d->Decompress(static_cast<int>(take), unpacked) != kDecodeOk) break;
    }
  }
  d->Destroy(1);
  return 0;
}
