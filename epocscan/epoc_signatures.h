// EPOC category signature files ("INXF", 76-byte scrambled records sorted by
// key) and the search of the 30 tables for one image. Kept apart from the
// module so the tests and the fuzz targets use the code the scanner loads
// and searches with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "epocscan/epoc_image.h"
#include "epocscan/epoc_tables.h"

namespace nx::epoc {

struct Region {
  std::uint32_t offset;
  std::uint8_t length;
  std::uint32_t crc;
};

struct Record {
  char name[rec::kNameBytes + 1];  // always zero-terminated
  std::uint32_t key;
  std::uint32_t headerCrc;
  Region regions[3];
};

using Table = std::vector<Record>;
using TableSet = std::array<Table, 30>;  // indexed as kTables

// The record count a file of fileSize bytes announces in its 12-byte header,
// or -1 when magic, count and size disagree (nothing more is read then).
std::int64_t recordCount(const std::uint8_t* header, std::uint64_t fileSize);
// A whole table file: true with its records, false (out emptied) when the
// file is rejected: wrong magic, length, count (at least 1) or checksum, a
// region at offset 0 or of length 0, or records out of key order.
bool parseTable(const std::uint8_t* data, std::size_t size, Table& out);

// The bytes at the entry point the scan reads once (at most 30) and their checksum.
struct EntryBytes {
  std::uint32_t count = 0;
  std::uint32_t crc = 0;
};
inline constexpr std::uint32_t kEntryBytes = 30;

// Reads exactly len bytes at offset; false when the position cannot be
// reached or fewer bytes are there.
using ReadExact = bool (*)(void* context, std::uint32_t offset, std::uint8_t* buffer, std::uint32_t len);

struct Hit {
  int table = -1;  // index into kTables; -1 when nothing matched
  std::size_t index = 0;
};

// Searches the selected tables in order: the records whose key is the
// image's entry offset, in file order; the first whose header checksum and
// three regions all match wins.
Hit findImage(const TableSet& set, std::uint16_t categoryMask, const ImageFacts& image, const EntryBytes& entry,
              ReadExact read, void* context);

}  // namespace nx::epoc
