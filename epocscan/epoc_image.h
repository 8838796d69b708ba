// What the EPOC scanner reads from an image's header: whether it is an EPOC
// image at all, which of the two header formats it has, the header checksum
// and the entry point's file offset. Pure functions over the first bytes of
// the file, shared by the scanner and the signature compiler's learn.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crc32.h"

namespace nx::epoc {

inline constexpr std::size_t kClassicHeader = 124;  // "EPOC" at 16
inline constexpr std::size_t kOtherHeader = 100;
inline constexpr std::size_t kChecksumFrom = 16;

struct ImageFacts {
  bool epoc = false;
  bool classic = false;
  std::uint32_t headerCrc = 0;
  // The entry point's file offset, computed without wrapping: it may be
  // negative or beyond 32 bits for a damaged header, and is then never a key.
  std::int64_t entryOffset = -1;
};

inline std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// head: the first n bytes of the file (the scanner reads up to 124).
inline ImageFacts inspectImage(const std::uint8_t* head, std::size_t n) {
  ImageFacts f;
  if (n < 20) return f;
  const std::uint32_t uid1 = le32(head);
  if (uid1 != 0x10000079u && uid1 != 0x1000007Au && uid1 != 0x10000058u) return f;
  f.classic = head[16] == 'E' && head[17] == 'P' && head[18] == 'O' && head[19] == 'C';
  const std::size_t size = f.classic ? kClassicHeader : kOtherHeader;
  // A file shorter than its header has no header checksum to compare.
  if (n < size) return f;
  f.epoc = true;
  f.headerCrc = crc32Raw(head + kChecksumFrom, size - kChecksumFrom);
  if (f.classic)
    f.entryOffset = std::int64_t(le32(head + 100)) + std::int64_t(le32(head + 72));
  else
    f.entryOffset = std::int64_t(le32(head + 16)) - std::int64_t(le32(head + 20)) + 100;
  return f;
}

}  // namespace nx::epoc
