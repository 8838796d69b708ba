#include "updengine/source_list.h"

#include <algorithm>

#include "ce/base.h"
#include "ce/files.h"
#include "common/crc32.h"
#include "common/nibble.h"
#include "common/update_formats.h"
#include "updengine/update_log.h"

namespace nx::upd {

using namespace ce;

namespace {

// The largest list read: thousands of locations, far more than a handset
// can go through, and a bound on what a damaged file makes us allocate.
constexpr size_t kMaxListBytes = 16u << 20;

uint32_t u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

std::u16string text(const uint8_t* p, size_t chars) {
  std::u16string s;
  for (size_t i = 0; i < chars; ++i) {
    char16_t c = u16(p + 2 * i);
    if (!c) break;
    s.push_back(c);
  }
  return s;
}

}  // namespace

int parseSourceList(const uint8_t* data, size_t size, std::vector<Location>& out) {
  out.clear();
  if (size < kSourcesPlainHead) return kSourcesShort;
  if (size > kMaxListBytes) return kSourcesTooLarge;
  if (nx::crc32(data + kSourcesPlainHead, size - kSourcesPlainHead) != u32(data + kSourcesCrcOffset))
    return kSourcesBadCrc;
  const unsigned sections = u16(data + kSourcesCountOffset);
  size_t pos = kSourcesPlainHead;
  uint8_t head[kSectionHeadSize];
  std::vector<uint8_t> rec(kLocationSize);
  for (unsigned s = 0; s < sections; ++s) {
    if (size - pos < kSectionHeadSize) return kSourcesShort;
    std::copy(data + pos, data + pos + kSectionHeadSize, head);
    nx::swapNibbles(head, sizeof head);
    pos += kSectionHeadSize;
    const uint32_t type = u32(head);
    const unsigned count = u16(head + 4);
    // Every location must lie in the file before any is taken.
    if ((size - pos) / kLocationSize < count) return kSourcesShort;
    for (unsigned i = 0; i < count; ++i) {
      log::write(log::kProgress, u"ReadDatUrls", u"In while (iUrlLoop < nLoc)");
      std::copy(data + pos, data + pos + kLocationSize, rec.begin());
      nx::swapNibbles(rec.data(), rec.size());
      pos += kLocationSize;
      if (type != kSectionUpdateLocations) continue;
      Location l;
      l.base = text(rec.data() + kLocationBaseOffset, kLocationTextChars);
      l.number = u32(rec.data() + kLocationNumberOffset);
      l.text2 = text(rec.data() + kLocationText2Offset, kLocationTextChars);
      l.text3 = text(rec.data() + kLocationText3Offset, kLocationTextChars);
      out.push_back(std::move(l));
    }
  }
  return kSourcesOk;
}

int readSourceList(const std::u16string& path, std::vector<Location>& out) {
  out.clear();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? kSourcesOk : kSourcesShort;
  }
  DWORD high = 0;
  DWORD size = GetFileSize(f, &high);
  if (high || size > kMaxListBytes) {
    CloseHandle(f);
    return kSourcesTooLarge;
  }
  std::vector<uint8_t> bytes(size);
  DWORD got = 0;
  BOOL ok = size == 0 || ReadFile(f, bytes.data(), size, &got, nullptr);
  CloseHandle(f);
  if (!ok || got != size) return kSourcesShort;
  return parseSourceList(bytes.data(), bytes.size(), out);
}

}  // namespace nx::upd
