#include "exescan/signature_tables.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "exescan/category_tables.h"

namespace nx::exe {

namespace {

std::uint16_t u16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
std::uint32_t u32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

bool readExactly(ByteStream& in, void* buf, std::size_t len) {
  auto* p = static_cast<std::uint8_t*>(buf);
  while (len > 0) {
    std::size_t n = in.read(p, len);
    if (n == 0) return false;
    p += n;
    len -= n;
  }
  return true;
}

struct CategoryDecode {
  std::uint8_t table[256];
  constexpr CategoryDecode() : table() {
    for (int i = 0; i < 256; ++i) table[i] = sig::decodeCategoryByte(std::uint8_t(i));
  }
};
constexpr CategoryDecode kDecode;

}  // namespace

std::size_t MemoryStream::read(void* buf, std::size_t len) {
  const std::size_t n = std::min(len, size_ - pos_);
  if (n) std::memcpy(buf, data_ + pos_, n);
  pos_ += n;
  return n;
}

// ---- "sig32ce.inx" ----------------------------------------------------------------------
int PeTable::match(const std::uint8_t* bytes, std::size_t size) const {
  // Which bytes and which byte pairs occur in the window.
  std::uint64_t singles[256 / 64] = {};
  std::uint64_t pairs[65536 / 64] = {};
  for (std::size_t i = 0; i < size; ++i) {
    singles[bytes[i] >> 6] |= std::uint64_t(1) << (bytes[i] & 63);
    if (i + 1 < size) {
      const unsigned p = unsigned(bytes[i]) << 8 | bytes[i + 1];
      pairs[p >> 6] |= std::uint64_t(1) << (p & 63);
    }
  }
  for (int i = 0; i < count; ++i) {
    const PeRecord& r = records[i];
    if (r.length <= 0 || std::size_t(r.length) > sig::pe::kPatternBytes) continue;
    const bool possible = r.length == 1 ? (singles[r.lead >> 6] >> (r.lead & 63)) & 1
                                        : (pairs[r.lead >> 6] >> (r.lead & 63)) & 1;
    if (possible && r.search.find(bytes, size) != Horspool::npos) return i;
  }
  return -1;
}

bool loadPeTable(ByteStream& in, PeTable& out) {
  std::uint8_t header[sig::pe::kHeaderSize];
  if (!readExactly(in, header, sizeof header)) return false;
  const std::int16_t count = std::int16_t(u16(header + 2));
  if (count < 0 || count > sig::pe::kMaxRecords) return false;
  const std::int64_t size = in.size();
  if (size >= 0 && size < std::int64_t(sig::pe::kHeaderSize + std::size_t(count) * sig::pe::kRecordSize)) return false;
  std::unique_ptr<PeRecord[]> records(new (std::nothrow) PeRecord[std::size_t(count)]);
  if (count > 0 && !records) return false;
  std::uint16_t sum = 0;
  for (int i = 0; i < count; ++i) {
    std::uint8_t raw[sig::pe::kRecordSize];
    if (!readExactly(in, raw, sizeof raw)) return false;
    PeRecord& r = records[i];
    for (std::size_t b = 0; b < sig::pe::kPatternBytes; ++b) {
      sum = std::uint16_t(sum + raw[b]);
      r.pattern[b] = sig::decodePatternByte(raw[b]);
    }
    r.length = std::int16_t(u16(raw + 21));
    std::memset(r.name, 0, sizeof r.name);
    for (std::size_t b = 0; b + 1 < sig::pe::kNameBytes; ++b) {
      const std::uint8_t c = sig::decodeNameByte(raw[sig::pe::kNameOffset + b]);
      if (c == 0) break;
      r.name[b] = char(c);
    }
    // A length beyond the 21 stored bytes would search past the record: it never matches.
    const std::size_t usable = r.length > 0 && std::size_t(r.length) <= sig::pe::kPatternBytes ? std::size_t(r.length) : 0;
    r.search.reset(r.pattern, usable);
    r.lead = usable == 1 ? r.pattern[0] : std::uint16_t(r.pattern[0] << 8 | r.pattern[1]);
  }
  if (sum != u16(header)) return false;
  out.records = std::move(records);
  out.count = count;
  return true;
}

// ---- "sigmpoly.inx" ---------------------------------------------------------------------
bool loadPolyTable(ByteStream& in, PolyTable& out) {
  std::uint8_t header[sig::poly::kHeaderSize];
  if (!readExactly(in, header, sizeof header)) return false;
  std::int64_t total = 0;
  for (int t = 0; t < sig::poly::kTypes; ++t) total += std::max<std::int16_t>(0, std::int16_t(u16(header + 2 * t)));
  const std::int16_t type3 = std::int16_t(u16(header + 4));
  PolyTable table;
  if (type3 <= 0) {
    out = std::move(table);
    return true;
  }
  const std::int64_t size = in.size();
  if (size >= 0 && size < std::int64_t(sig::poly::kHeaderSize) + total * std::int64_t(sig::poly::kRecordSize))
    return false;
  table.names.reserve(std::size_t(type3));
  for (std::int64_t i = 0; i < total; ++i) {
    std::uint8_t raw[sig::poly::kRecordSize];
    if (!readExactly(in, raw, sizeof raw)) return false;
    if (u16(raw) != 3 || table.names.size() >= std::size_t(type3)) continue;
    std::array<char, sig::poly::kNameBytes> name{};
    for (std::size_t b = 0; b + 1 < sig::poly::kNameBytes; ++b) name[b] = char(sig::decodeNameByte(raw[2 + b]));
    name[sig::poly::kNameBytes - 1] = 0;
    table.names.push_back(name);
  }
  out = std::move(table);
  return true;
}

// ---- Category files ------------------------------------------------------------------------
std::uint32_t CategoryTable::firstWithKey(std::uint32_t key) const {
  const std::uint32_t* begin = keys.get();
  const std::uint32_t* end = begin + count;
  const std::uint32_t* it = std::lower_bound(begin, end, key);
  return it != end && *it == key ? std::uint32_t(it - begin) : count;
}

bool loadCategoryTable(ByteStream& in, CategoryTable& out) {
  namespace c = sig::category;
  constexpr std::size_t stored = c::kWinceStored;
  std::uint8_t header[c::kHeaderSize];
  if (!readExactly(in, header, sizeof header)) return false;
  if (std::memcmp(header, c::kMagic, 4) != 0) return false;
  const std::uint32_t count = u32(header + 8);
  const std::int64_t size = in.size();
  if (count == 0 || size < 0 || std::uint64_t(size) != c::kHeaderSize + std::uint64_t(count) * stored) return false;

  CategoryTable table;
  table.keys.reset(new (std::nothrow) std::uint32_t[count]);
  table.records.reset(new (std::nothrow) CategoryRecord[count]);
  if (!table.keys || !table.records) return false;
  table.count = count;

  constexpr std::size_t kChunkRecords = 256;
  std::vector<std::uint8_t> chunk(kChunkRecords * stored);
  std::uint32_t sum = 0;
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t n = std::min<std::uint32_t>(kChunkRecords, count - done);
    if (!readExactly(in, chunk.data(), n * stored)) return false;
    for (std::uint32_t r = 0; r < n; ++r) {
      const std::uint8_t* src = &chunk[r * stored];
      CategoryRecord& rec = table.records[done + r];
      for (std::size_t b = 0; b < stored; ++b) sum += src[b];
      for (std::size_t b = 0; b < kCategoryKept; ++b) rec.bytes[b] = kDecode.table[src[b]];
      namespace k = category::rec;
      for (std::size_t region : {k::kRegionA, k::kRegionB, k::kRegionC})
        if (u32(rec.bytes + region) == 0 || rec.bytes[region + 4] == 0) return false;
      // The lookup is a binary search on the key: a table out of order would silently hide some
      // of its records, so it is not taken at all.
      const std::uint32_t key = u32(rec.bytes + k::kKey);
      if (done + r > 0 && key < table.keys[done + r - 1]) return false;
      table.keys[done + r] = key;
    }
    done += n;
  }
  if (sum != u32(header + 4)) return false;
  out = std::move(table);
  return true;
}

}  // namespace nx::exe
