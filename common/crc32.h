// CRC-32 over the IEEE 802.3 polynomial in reflected form (0xEDB88320), the
// register started at all ones. The signature files check their records with
// the register as it stands after the last byte (no final complement); the
// product's own data files use the usual complemented value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx {

inline constexpr uint32_t kCrc32Init = 0xFFFFFFFFu;

// Feeds bytes into a running register (start it with kCrc32Init). Lets a
// caller checksum a file in pieces.
uint32_t crc32Update(uint32_t reg, const void* data, size_t len);

// The register after the data, without the final complement.
inline uint32_t crc32Raw(const void* data, size_t len) { return crc32Update(kCrc32Init, data, len); }

// The usual CRC-32 (register complemented at the end): "123456789" gives 0xCBF43926.
inline uint32_t crc32(const void* data, size_t len) { return ~crc32Raw(data, len); }

}  // namespace nx
