// Scrambling constants of the signature file formats, and the small codecs built on them.
//
// These values are part of the on-disk formats: every scanner that reads a signature file and
// the signature compiler that writes it include this one header, so the two can never drift
// apart. Changing a value invalidates every signature file already shipped.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::sig {

// "sig32ce.inx": each of the 21 pattern bytes is stored as value + kPatternConstant (mod 256).
inline constexpr std::uint8_t kPatternConstant = 0x5A;
// "sig32ce.inx" threat names and "sigmpoly.inx" names: each byte stored as value + kNameConstant.
inline constexpr std::uint8_t kNameConstant = 0x3C;
// Category files (".inx"/".in0".."in4", Windows CE and EPOC): every stored record byte is the
// decoded byte rotated left by kRotation bit places; loaders rotate right to decode.
inline constexpr unsigned kRotation = 3;
// "sigaif.inx": bytes 0-149 of each record are stored XOR kStoreXor.
inline constexpr std::uint8_t kStoreXor = 0xA7;

static_assert(kRotation >= 1 && kRotation <= 7, "an 8-bit rotation must move the bits");

constexpr std::uint8_t encodePatternByte(std::uint8_t v) { return std::uint8_t(v + kPatternConstant); }
constexpr std::uint8_t decodePatternByte(std::uint8_t s) { return std::uint8_t(s - kPatternConstant); }
constexpr std::uint8_t encodeNameByte(std::uint8_t v) { return std::uint8_t(v + kNameConstant); }
constexpr std::uint8_t decodeNameByte(std::uint8_t s) { return std::uint8_t(s - kNameConstant); }

constexpr std::uint8_t encodeCategoryByte(std::uint8_t v) {
  return std::uint8_t((v << kRotation) | (v >> (8 - kRotation)));
}
constexpr std::uint8_t decodeCategoryByte(std::uint8_t s) {
  return std::uint8_t((s >> kRotation) | (s << (8 - kRotation)));
}

constexpr std::uint8_t encodeStoreByte(std::uint8_t v) { return std::uint8_t(v ^ kStoreXor); }
constexpr std::uint8_t decodeStoreByte(std::uint8_t s) { return std::uint8_t(s ^ kStoreXor); }

static_assert(decodeCategoryByte(encodeCategoryByte(0x81)) == 0x81);
static_assert(decodePatternByte(encodePatternByte(0xF0)) == 0xF0);
static_assert(decodeNameByte(encodeNameByte(0xE0)) == 0xE0);

// Record geometry of the formats, shared by loaders and the compiler.
namespace pe {
inline constexpr std::size_t kHeaderSize = 4;     // 16-bit checksum, signed 16-bit count
inline constexpr std::size_t kRecordSize = 50;
inline constexpr std::size_t kPatternBytes = 21;
inline constexpr std::size_t kNameOffset = 25;
inline constexpr std::size_t kNameBytes = 25;
inline constexpr int kMaxRecords = 999;
}  // namespace pe

namespace poly {
inline constexpr std::size_t kHeaderSize = 20;    // five signed 16-bit counts, 10 spare bytes
inline constexpr std::size_t kRecordSize = 27;    // 16-bit type, 25-byte name
inline constexpr std::size_t kNameBytes = 25;
inline constexpr int kTypes = 5;
}  // namespace poly

namespace category {
inline constexpr char kMagic[4] = {'I', 'N', 'X', 'F'};
inline constexpr std::size_t kHeaderSize = 12;    // magic, 32-bit checksum, 32-bit count
inline constexpr std::size_t kWinceStored = 89;   // Windows CE record as stored
inline constexpr std::size_t kWinceKept = 81;     // ... and as kept after decoding
inline constexpr std::size_t kEpocStored = 76;
inline constexpr std::size_t kEpocKept = 72;
}  // namespace category

namespace store {
inline constexpr std::size_t kHeaderSize = 8;     // 32-bit checksum, 32-bit count
inline constexpr std::size_t kRecordSize = 152;
inline constexpr std::size_t kNameBytes = 50;
inline constexpr std::size_t kPatternOffset = 50;
inline constexpr std::size_t kPatternBytes = 100;
inline constexpr std::size_t kScrambled = 150;    // bytes 0-149 are XOR-scrambled
}  // namespace store

}  // namespace nx::sig
