#include "epocscan/epoc_signatures.h"

#include <algorithm>
#include <cstring>

#include "common/crc32.h"
#include "common/signature_constants.h"

namespace nx::epoc {

namespace {

namespace cat = sig::category;
static_assert(cat::kEpocStored == rec::kStored && cat::kEpocKept == rec::kKept);

Region regionAt(const std::uint8_t* p) { return Region{le32(p), p[4], le32(p + 5)}; }

bool regionMatches(const Region& r, const ImageFacts& image, const EntryBytes& entry, ReadExact read, void* ctx) {
  // The bytes at the entry point were read and summed once for the whole scan.
  if (image.entryOffset == std::int64_t(r.offset) && r.length == entry.count) return r.crc == entry.crc;
  std::uint8_t buf[255];
  if (!read(ctx, r.offset, buf, r.length)) return false;
  return crc32Raw(buf, r.length) == r.crc;
}

}  // namespace

std::int64_t recordCount(const std::uint8_t* header, std::uint64_t fileSize) {
  if (fileSize < cat::kHeaderSize || std::memcmp(header, cat::kMagic, 4) != 0) return -1;
  if ((fileSize - cat::kHeaderSize) % rec::kStored != 0) return -1;
  const std::uint64_t n = le32(header + 8);
  if (n == 0 || n != (fileSize - cat::kHeaderSize) / rec::kStored) return -1;
  return std::int64_t(n);
}

bool parseTable(const std::uint8_t* data, std::size_t size, Table& out) {
  out.clear();
  if (!data) return false;
  const std::int64_t n = recordCount(data, size);
  if (n < 0) return false;
  std::uint32_t sum = 0;
  for (std::size_t i = cat::kHeaderSize; i < size; ++i) sum += data[i];
  if (sum != le32(data + 4)) return false;
  Table t(static_cast<std::size_t>(n));
  std::uint8_t d[rec::kKept];
  for (std::size_t r = 0; r < t.size(); ++r) {
    const std::uint8_t* stored = data + cat::kHeaderSize + r * rec::kStored;
    for (std::size_t i = 0; i < rec::kKept; ++i) d[i] = sig::decodeCategoryByte(stored[i]);
    Record& x = t[r];
    std::memcpy(x.name, d + rec::kName, rec::kNameBytes);
    x.name[rec::kNameBytes] = 0;
    x.key = le32(d + rec::kKey);
    x.headerCrc = le32(d + rec::kHeaderCrc);
    x.regions[0] = regionAt(d + rec::kRegionA);
    x.regions[1] = regionAt(d + rec::kRegionB);
    x.regions[2] = regionAt(d + rec::kRegionC);
    for (const Region& g : x.regions)
      if (g.offset == 0 || g.length == 0) return false;
    // The search is a binary search on the key: a table out of order would
    // silently hide some of its records, so it is not taken at all.
    if (r > 0 && x.key < t[r - 1].key) return false;
  }
  out.swap(t);
  return true;
}

Hit findImage(const TableSet& set, std::uint16_t categoryMask, const ImageFacts& image, const EntryBytes& entry,
              ReadExact read, void* context) {
  Hit hit;
  if (!image.epoc || image.entryOffset < 0 || image.entryOffset > 0xFFFFFFFFll) return hit;
  const std::uint32_t key = std::uint32_t(image.entryOffset);
  for (int t = 0; t < 30; ++t) {
    const TableInfo& info = kTables[t];
    if (info.kind != 0 && (info.mask & categoryMask) == 0) continue;
    const Table& table = set[static_cast<std::size_t>(t)];
    // The first record with the key; those after it with the same key follow in file order.
    auto it = std::lower_bound(table.begin(), table.end(), key,
                               [](const Record& r, std::uint32_t k) { return r.key < k; });
    for (; it != table.end() && it->key == key; ++it) {
      if (it->headerCrc != image.headerCrc) continue;
      if (!regionMatches(it->regions[0], image, entry, read, context)) continue;
      if (!regionMatches(it->regions[1], image, entry, read, context)) continue;
      if (!regionMatches(it->regions[2], image, entry, read, context)) continue;
      hit.table = t;
      hit.index = static_cast<std::size_t>(it - table.begin());
      return hit;
    }
  }
  return hit;
}

}  // namespace nx::epoc
