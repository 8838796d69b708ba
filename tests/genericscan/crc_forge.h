// Test support: sets four bytes of a buffer so that the signature checksum
// (CRC-32, reflected, register from all ones, no final complement) of the
// whole buffer comes out at a chosen value. Lets tests build files that
// carry a fixed checksum without storing any real sample.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/crc32.h"

namespace scanbed {

inline const std::array<uint32_t, 256>& crcTable() {
  static const std::array<uint32_t, 256> t = [] {
    std::array<uint32_t, 256> a{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      a[i] = c;
    }
    return a;
  }();
  return t;
}

// The register before a byte, given the register after it.
inline uint32_t crcStepBack(uint32_t after, uint8_t byte) {
  const auto& t = crcTable();
  for (uint32_t i = 0; i < 256; ++i)
    if ((t[i] >> 24) == (after >> 24)) return ((after ^ t[i]) << 8) | (i ^ byte);
  return 0;
}

// Rewrites bytes [at, at + 4) of data[0, len) so that its checksum is target.
inline void forgeCrc(std::vector<uint8_t>& data, size_t len, size_t at, uint32_t target) {
  uint32_t before = nx::crc32Raw(data.data(), at);
  uint32_t reg = target;
  for (size_t i = len; i-- > at + 4;) reg = crcStepBack(reg, data[i]);
  // Four steps back with zero bytes give the register right after the
  // forged bytes were mixed in; the bytes are what turns `before` into it.
  for (int i = 0; i < 4; ++i) reg = crcStepBack(reg, 0);
  uint32_t x = reg ^ before;
  for (int i = 0; i < 4; ++i) data[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

}  // namespace scanbed
