// The files an update server offers and the handset reads: the source list
// "httpdn.dat", the index files "index.bin" and "index.dat", the definition
// packages with their 51-byte head, and the optional signature file
// "index.sig". The package builder writes them and the update engine reads
// them; both take sizes, offsets and constants from this one header so that
// the two sides cannot drift apart. Everything is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/crc32.h"

namespace nx::upd {

// ---- "httpdn.dat" ------------------------------------------------------------------
// CRC-32 (complemented) of every stored byte from offset 6 on, then the
// section count; every byte after these six is stored nibble-exchanged.
inline constexpr size_t kSourcesPlainHead = 6;
inline constexpr size_t kSourcesCrcOffset = 0;
inline constexpr size_t kSourcesCountOffset = 4;
// Section head: u32 type, u16 number of locations, 8 bytes without meaning.
inline constexpr size_t kSectionHeadSize = 14;
inline constexpr uint32_t kSectionUpdateLocations = 1;  // the only type the handset uses
// Location record: three UTF-16 texts of 260 characters and a number.
inline constexpr size_t kLocationSize = 1568;
inline constexpr size_t kLocationTextChars = 260;
inline constexpr size_t kLocationBaseOffset = 0;    // base address; file names are appended to it
inline constexpr size_t kLocationNumberOffset = 520;
inline constexpr size_t kLocationText2Offset = 524;
inline constexpr size_t kLocationText3Offset = 1044;

// ---- "index.dat" ---------------------------------------------------------------------
inline constexpr size_t kIndexHeadSize = 8;    // u32 family, u32 byte sum of everything after the head
inline constexpr size_t kIndexEntrySize = 70;
inline constexpr uint32_t kFamilyPackage = 57055;  // 0xDEDF: the family every package and index carries
inline constexpr uint32_t kFamilyIndexAlt = 56543;  // also accepted in an index head and by the fetch check
inline constexpr size_t kEntryType = 0;
inline constexpr size_t kEntrySequence = 1;
inline constexpr size_t kEntrySize = 2;       // u32 size of the package file (the server's; the engine ignores it)
inline constexpr size_t kEntryName = 6;       // ANSI, at most 49 characters and a terminator
inline constexpr size_t kEntryNameBytes = 50;
inline constexpr size_t kEntryCheck = 56;     // u32 check value of the package (the server's)
inline constexpr size_t kEntryPlatform = 60;
inline constexpr uint8_t kPlatformWindowsMobile = 7;
inline constexpr uint8_t kTypeFirstDatabase = 100;
inline constexpr uint8_t kTypeLastDatabase = 104;
inline constexpr uint8_t kTypeEngine = 105;
inline constexpr uint8_t kTypeEngineUpdate = 106;  // an engine update: the version decision needs one

// ---- "index.bin" ---------------------------------------------------------------------
// Only byte 0 counts for the handset: the index revision, changed by every
// build of a server folder. The server writes 16 bytes: the revision, three
// zero bytes, then the entry count, the size and the byte sum of the
// "index.dat" it belongs to (u32 each), so that a stale pair can be told.
inline constexpr size_t kIndexBinSize = 16;

// ---- Definition package ----------------------------------------------------------------
inline constexpr size_t kPackageHeadSize = 51;
inline constexpr size_t kHeadKind = 0;      // u32
inline constexpr size_t kHeadCheck = 4;     // u32 check value of every byte after the head
inline constexpr size_t kHeadLength = 8;    // u32 number of bytes after the head (the server's)
inline constexpr size_t kHeadPlatform = 12;
inline constexpr size_t kHeadType = 13;     // the index entry's type and sequence (the server's)
inline constexpr size_t kHeadSequence = 14;
inline constexpr uint32_t kKindPackage = kFamilyPackage;
inline constexpr uint32_t kKindAlt1 = 0xB145B145u;
inline constexpr uint32_t kKindAlt2 = 0xB145B146u;
// The first bytes of the ARJ body are stored combined with a one-byte key so
// that the package is not an ARJ archive as it stands.
inline constexpr size_t kScrambledBytes = 90;
inline constexpr uint8_t kScrambleKey = 0x6D;
inline constexpr size_t kCheckBlock = 1024;

// The package check value: the bytes after the head in 1024-byte blocks
// (the last one may be shorter), the sum modulo 2^32 of each block's CRC-32
// register started at all ones and not complemented. Fed in pieces of any
// size.
class PackageCheck {
 public:
  void update(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (len > 0) {
      const size_t take = len < kCheckBlock - fill_ ? len : kCheckBlock - fill_;
      reg_ = crc32Update(reg_, p, take);
      fill_ += take;
      p += take;
      len -= take;
      if (fill_ == kCheckBlock) {
        sum_ += reg_;
        reg_ = kCrc32Init;
        fill_ = 0;
      }
    }
  }
  uint32_t value() const { return fill_ ? sum_ + reg_ : sum_; }

 private:
  uint32_t sum_ = 0;
  uint32_t reg_ = kCrc32Init;
  size_t fill_ = 0;
};

inline uint32_t packageCheckValue(const void* data, size_t len) {
  PackageCheck c;
  c.update(data, len);
  return c.value();
}

// ---- "index.sig" ---------------------------------------------------------------------
// An Ed25519 signature over index.dat and the SHA-256 of every package:
//   0   8  "NXIDXSIG"
//   8   4  format version (1)
//   12  4  number of package records N (the entries of index.dat, in order)
//   16  32 SHA-256 of index.dat
//   48  8  key id: the first 8 bytes of the SHA-256 of the raw 32-byte public key
//   56  N records of 82 bytes: the entry's 50 name bytes as in index.dat, the SHA-256 of the package
//   end 64 the Ed25519 signature (RFC 8032, pure) of every byte before it
inline constexpr char kSigMagic[8] = {'N', 'X', 'I', 'D', 'X', 'S', 'I', 'G'};
inline constexpr uint32_t kSigVersion = 1;
inline constexpr size_t kSigHeadSize = 56;
inline constexpr size_t kSigIndexHash = 16;
inline constexpr size_t kSigKeyId = 48;
inline constexpr size_t kSigKeyIdSize = 8;
inline constexpr size_t kSigRecordSize = 82;
inline constexpr size_t kSigRecordHash = 50;
inline constexpr size_t kSigSignatureSize = 64;
inline constexpr size_t kSha256Size = 32;
inline constexpr size_t kEd25519KeySize = 32;

}  // namespace nx::upd
