#include <gtest/gtest.h>

#include "common/nibble.h"

namespace {

TEST(Nibble, SwapsHalvesAndUndoesItself) {
  uint8_t data[] = {0x12, 0xAB, 0x00, 0xFF, 0xF0, 0x4D};
  nx::swapNibbles(data, sizeof data);
  const uint8_t swapped[] = {0x21, 0xBA, 0x00, 0xFF, 0x0F, 0xD4};
  EXPECT_EQ(0, memcmp(data, swapped, sizeof data));
  nx::swapNibbles(data, sizeof data);
  const uint8_t original[] = {0x12, 0xAB, 0x00, 0xFF, 0xF0, 0x4D};
  EXPECT_EQ(0, memcmp(data, original, sizeof data));
  nx::swapNibbles(nullptr, 10);  // nothing
  static_assert(nx::swapNibbles(uint8_t{0x3C}) == 0xC3);
}

}  // namespace
