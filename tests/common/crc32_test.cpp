#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "common/crc32.h"

namespace {

// Bit by bit, straight from the polynomial: what the tables must agree with.
uint32_t reference(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c;
}

TEST(Crc32, KnownValuesWithAndWithoutFinalComplement) {
  struct Case {
    std::string data;
    uint32_t full;
  } cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nx::crc32(c.data.data(), c.data.size()), c.full) << c.data;
    EXPECT_EQ(nx::crc32Raw(c.data.data(), c.data.size()), ~c.full) << c.data;
  }
}

// Every length and alignment around the eight-byte steps, and any split into
// pieces, agree with the bitwise form.
TEST(Crc32, PiecesAndAlignmentsAgreeWithBitwiseForm) {
  std::mt19937 rng(7);
  std::vector<uint8_t> buf(300);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t off = 0; off < 8; ++off)
    for (size_t len = 0; len + off <= 40; ++len)
      ASSERT_EQ(nx::crc32Raw(buf.data() + off, len), reference(buf.data() + off, len)) << off << "/" << len;
  for (size_t split = 0; split <= buf.size(); split += 13) {
    uint32_t r = nx::crc32Update(nx::kCrc32Init, buf.data(), split);
    r = nx::crc32Update(r, buf.data() + split, buf.size() - split);
    EXPECT_EQ(r, reference(buf.data(), buf.size())) << split;
  }
  EXPECT_EQ(nx::crc32Update(0x1234u, nullptr, 99), 0x1234u);
}

}  // namespace
