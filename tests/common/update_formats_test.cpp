// The package check value shared by the package builder and the update
// engine: CRC-32 registers of 1024-byte blocks, summed, fed in any pieces.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/update_formats.h"

namespace {

uint32_t blockRegister(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c;
}

TEST(PackageCheck, SumOfBlockRegistersWhateverThePieces) {
  std::mt19937 rng(3);
  for (size_t size : {size_t(0), size_t(1), size_t(1023), size_t(1024), size_t(1025), size_t(5000)}) {
    std::vector<uint8_t> data(size);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    uint32_t expected = 0;
    for (size_t at = 0; at < size; at += 1024) expected += blockRegister(data.data() + at, std::min<size_t>(1024, size - at));
    EXPECT_EQ(nx::upd::packageCheckValue(data.data(), data.size()), expected) << size;
    for (size_t piece : {size_t(1), size_t(7), size_t(1000), size_t(4096)}) {
      nx::upd::PackageCheck c;
      for (size_t at = 0; at < size; at += piece) c.update(data.data() + at, std::min(piece, size - at));
      EXPECT_EQ(c.value(), expected) << size << "/" << piece;
    }
  }
}

}  // namespace
