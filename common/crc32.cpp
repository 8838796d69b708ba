#include "common/crc32.h"

#include <array>
#include <cstring>

namespace nx {
namespace {

// Eight tables let the loop take eight bytes a step: signature files and
// quarantined copies are checksummed whole, so this is on the scan path.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables makeTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (size_t s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  return t;
}

constexpr Tables kTables = makeTables();

}  // namespace

uint32_t crc32Update(uint32_t reg, const void* data, size_t len) {
  if (!data) return reg;
  const auto* p = static_cast<const uint8_t*>(data);
  while (len >= 8) {
    // Assembled byte by byte: the layout is little-endian whatever the host.
    uint32_t lo = reg ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    uint32_t hi = uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
    reg = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^ kTables[4][lo >> 24] ^
          kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^ kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
    p += 8;
    len -= 8;
  }
  while (len--) reg = kTables[0][(reg ^ *p++) & 0xFF] ^ (reg >> 8);
  return reg;
}

}  // namespace nx
