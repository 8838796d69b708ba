// The in-memory signature tables of the three Windows CE scanners and their loaders.
//
// Loaders read a file front to back through a ByteStream (the engine's file wrapper in the
// module, a buffer in the fuzz targets) and either build a whole table or reject the file;
// nothing is allocated before the file's length shows the records are really there.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/horspool.h"
#include "common/signature_constants.h"

namespace nx::exe {

struct ByteStream {
  virtual ~ByteStream() = default;
  // Length of the whole stream, or -1 when unknown.
  virtual std::int64_t size() = 0;
  // Reads up to len bytes at the current position; returns the number read (0 at the end or on error).
  virtual std::size_t read(void* buf, std::size_t len) = 0;
};

class MemoryStream : public ByteStream {
 public:
  MemoryStream(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::int64_t size() override { return std::int64_t(size_); }
  std::size_t read(void* buf, std::size_t len) override;

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// ---- "sig32ce.inx" ----------------------------------------------------------------------
struct PeRecord {
  std::uint8_t pattern[sig::pe::kPatternBytes];
  std::int16_t length;      // as stored; 0 or less, or more than 21, never matches
  char name[sig::pe::kNameBytes];
  BasicHorspool<std::uint8_t> search;  // over `pattern`, built once at load (shifts of at most 21)
  std::uint16_t lead;       // the pattern's first two bytes (or its one byte), for the pre-check
};

struct PeTable {
  std::unique_ptr<PeRecord[]> records;
  int count = 0;
  // Index of the first record whose pattern occurs in the bytes, or -1. Records are tried in
  // file order; a record whose leading byte pair does not occur anywhere in the bytes is passed
  // over without a search, since its pattern cannot occur either.
  int match(const std::uint8_t* bytes, std::size_t size) const;
};

// false (out untouched) for a count outside 0..999, a short read or a checksum mismatch.
bool loadPeTable(ByteStream& in, PeTable& out);

// ---- "sigmpoly.inx" ---------------------------------------------------------------------
struct PolyTable {
  // Decoded type-3 names, at most 24 characters each, in file order.
  std::vector<std::array<char, sig::poly::kNameBytes>> names;
};

// false for a short header or a short record read. The table never holds more names than
// the header's type-3 count; further type-3 records are ignored.
bool loadPolyTable(ByteStream& in, PolyTable& out);

// ---- Category files (Windows CE layout) ------------------------------------------------------
inline constexpr std::size_t kCategoryKept = sig::category::kWinceKept;

struct CategoryRecord {
  std::uint8_t bytes[kCategoryKept];
};

struct CategoryTable {
  std::uint32_t count = 0;
  std::unique_ptr<std::uint32_t[]> keys;  // kept apart so a search touches only keys
  std::unique_ptr<CategoryRecord[]> records;
  bool empty() const { return count == 0; }
  // Index of the first record with this key, or count when there is none.
  std::uint32_t firstWithKey(std::uint32_t key) const;
};

// Rejects the whole file (out untouched) for a wrong magic, length, count or checksum, a short
// read, a record with a zero offset or zero length in one of its three regions, or keys out of
// ascending order.
bool loadCategoryTable(ByteStream& in, CategoryTable& out);

}  // namespace nx::exe
