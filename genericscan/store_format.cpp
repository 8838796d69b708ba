#include "genericscan/store_format.h"

#include <cstring>

#include "common/horspool.h"

namespace nx::gen::store {

namespace {

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool isWhite(uint8_t c) { return c == 9 || c == 10 || c == 13 || c == 32; }

}  // namespace

int64_t recordCount(const uint8_t header[kHeaderSize], uint64_t fileSize) {
  if (fileSize < kHeaderSize || (fileSize - kHeaderSize) % kRecordSize != 0) return -1;
  uint64_t n = le32(header + 4);
  if (n != (fileSize - kHeaderSize) / kRecordSize) return -1;
  return static_cast<int64_t>(n);
}

uint32_t headerChecksum(const uint8_t header[kHeaderSize]) { return le32(header); }

void decodeRecord(const uint8_t stored[kRecordSize], Record& out, uint32_t& sum) {
  for (size_t i = kPatternOffset; i < kPatternOffset + kPatternBytes; ++i) sum += stored[i];
  for (size_t i = 0; i < kNameBytes; ++i) out.name[i] = static_cast<char>(sig::decodeStoreByte(stored[i]));
  out.name[kNameBytes - 1] = 0;
  for (size_t i = 0; i < kPatternBytes; ++i) out.pattern[i] = sig::decodeStoreByte(stored[kPatternOffset + i]);
  out.length = static_cast<int16_t>(stored[150] | stored[151] << 8);
}

bool parse(const uint8_t* data, size_t size, std::vector<Record>& out) {
  out.clear();
  if (!data || size < kHeaderSize) return false;
  int64_t n = recordCount(data, size);
  if (n < 0) return false;
  std::vector<Record> records(static_cast<size_t>(n));
  uint32_t sum = 0;
  for (size_t i = 0; i < records.size(); ++i) decodeRecord(data + kHeaderSize + i * kRecordSize, records[i], sum);
  if (sum != headerChecksum(data)) return false;
  out.swap(records);
  return true;
}

size_t normalise(const uint8_t* in, size_t n, uint8_t* out) {
  size_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = in[i];
    if (isWhite(c)) continue;
    if (c >= 0x61 && c <= 0x7A) c = static_cast<uint8_t>(c - 0x20);
    out[m++] = c;
  }
  return m;
}

int32_t findInFile(const std::vector<Record>& records, int32_t fileLength, ReadAt read, void* context) {
  uint8_t raw[kWindow];
  uint8_t text[kWindow];
  // Windows overlap by 100 raw bytes, the longest pattern, so a pattern that
  // crosses one window's end lies whole in the next.
  for (int64_t w = 0; w < fileLength; w += kStep) {
    int32_t got = read(context, static_cast<int32_t>(w), raw, kWindow);
    if (got <= 0) continue;
    if (got > kWindow) got = kWindow;
    // Only the normalised bytes are searched: the zero fill behind them is
    // not file content, and a pattern ending in zero bytes must not find it
    // where white space was dropped.
    size_t m = normalise(raw, static_cast<size_t>(got), text);
    for (size_t i = 0; i < records.size(); ++i) {
      const Record& r = records[i];
      if (r.length <= 0 || r.length > static_cast<int16_t>(kPatternBytes)) continue;
      if (horspoolFind(text, m, r.pattern, static_cast<size_t>(r.length)) != Horspool::npos)
        return static_cast<int32_t>(i);
    }
    if (got < kWindow) break;
  }
  return -1;
}

}  // namespace nx::gen::store
