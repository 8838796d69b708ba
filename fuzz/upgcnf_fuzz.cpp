// The update service's schedule file "upgcnf.dat" as it lies on disk (the two
// halves of every byte exchanged): exchanged back and checked. A sound
// verdict must hand out exactly the values at offsets 8, 10 and 12, and
// writing them again must give the same head and values.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/nibble.h"
#include "updsvc/interval_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using nx::updsvc::IntervalStatus;
  // The plain copy at the end of a heap block of its size, so that a read
  // past it is caught.
  uint8_t* plain = static_cast<uint8_t*>(std::malloc(size ? size : 1));
  if (size) std::memcpy(plain, data, size);
  nx::swapNibbles(plain, size);
  nx::updsvc::IntervalValues v;
  IntervalStatus st = nx::updsvc::decodeIntervalImage(plain, size, &v);
  if (st == IntervalStatus::Ok) {
    if (size < nx::updsvc::kIntervalFileBytes) std::abort();
    if (v.internetMinutes != (plain[8] | plain[9] << 8) || v.localMinutes != (plain[10] | plain[11] << 8) ||
        v.carried != (plain[12] | plain[13] << 8))
      std::abort();
    if (size == nx::updsvc::kIntervalFileBytes) {
      std::vector<uint8_t> again = nx::updsvc::encodeIntervalImage(v);
      if (std::memcmp(again.data(), plain, size) != 0) std::abort();
    }
  } else if (st != IntervalStatus::Short && st != IntervalStatus::BadCrc && st != IntervalStatus::TooLarge) {
    std::abort();
  }
  std::free(plain);
  return 0;
}
