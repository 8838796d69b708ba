#include "updengine/index_list.h"

#include <algorithm>
#include <set>
#include <utility>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "common/update_formats.h"

namespace nx::upd {

using namespace ce;

namespace {

// An index names at most a few hundred packages; a larger file is damage.
constexpr size_t kMaxIndexBytes = 1u << 20;

uint32_t u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool familyAccepted(uint32_t family) { return family == kFamilyIndexAlt || family == kFamilyPackage; }

char codeOf(uint8_t type) { return type >= 100 && type <= 106 ? static_cast<char>('d' + (type - 100)) : 0; }

}  // namespace

bool plainFileName(const std::u16string& name, size_t maxChars) {
  if (name.empty() || name.size() > maxChars) return false;
  if (name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c < 0x20 || c == 0x7F) return false;
    switch (c) {
      case u'\\': case u'/': case u':': case u'*': case u'?': case u'"': case u'<': case u'>': case u'|':
        return false;
      default: break;
    }
  }
  return name.back() != u'.' && name.back() != u' ' && name.front() != u' ';
}

bool readSmallFile(const std::u16string& path, std::vector<uint8_t>& out, size_t maxBytes) {
  out.clear();
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD high = 0;
  DWORD size = GetFileSize(f, &high);
  bool ok = !high && size != INVALID_FILE_SIZE && size <= maxBytes;
  if (ok) {
    out.resize(size);
    DWORD got = 0;
    ok = size == 0 || (ReadFile(f, out.data(), size, &got, nullptr) && got == size);
  }
  CloseHandle(f);
  if (!ok) out.clear();
  return ok;
}

int32_t parseIndex(const uint8_t* data, size_t size, bool checked, bool platformTest, FileList& out) {
  out.clear();
  if (size < kIndexHeadSize || size > kMaxIndexBytes) return kListDamaged;
  if (checked) {
    uint32_t sum = 0;
    for (size_t i = kIndexHeadSize; i < size; ++i) sum += data[i];
    if (sum != u32(data + 4)) return kListDamaged;
    if (!familyAccepted(u32(data))) return kListNotForPlatform;
  }
  // A partial entry at the end is not an entry.
  const size_t count = (size - kIndexHeadSize) / kIndexEntrySize;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = data + kIndexHeadSize + i * kIndexEntrySize;
    ListEntry le;
    le.type = e[kEntryType];
    le.sequence = e[kEntrySequence];
    le.code = codeOf(le.type);
    std::copy(e + kEntryName, e + kEntryName + kEntryNameBytes, le.nameBytes.begin());
    const auto* nameEnd = std::find(e + kEntryName, e + kEntryName + kEntryNameBytes, 0);
    if (nameEnd == e + kEntryName + kEntryNameBytes) return kListDamaged;  // no terminator
    const int len = static_cast<int>(nameEnd - (e + kEntryName));
    if (len > 0) {
      WCHAR wide[kEntryNameBytes] = {};
      if (MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(e + kEntryName), len, wide,
                              static_cast<int>(kEntryNameBytes)) != len)
        return kListDamaged;
      le.name.assign(wide, static_cast<size_t>(len));
    }
    if (!plainFileName(le.name, kEntryNameBytes - 1)) return kListDamaged;
    if (platformTest && e[kEntryPlatform] != kPlatformWindowsMobile) return kListNotForPlatform;
    out.push_back(std::move(le));
  }
  return kListBuilt;
}

int32_t buildList(const std::u16string& installedIndex, const std::u16string& newIndex, FileList& out) {
  out.clear();
  std::vector<uint8_t> fresh;
  if (!readSmallFile(newIndex, fresh, kMaxIndexBytes)) {
    // Too large to be an index is damage; unreadable is unreadable.
    return fileExists(newIndex) ? kListDamaged : kListCannotRead;
  }
  std::vector<uint8_t> installed;
  const bool haveInstalled = readSmallFile(installedIndex, installed, kMaxIndexBytes);
  // The head of a new index is checked on every update, not only the first:
  // a damaged index would otherwise name packages out of its garbage.
  FileList entries;
  int32_t r = parseIndex(fresh.data(), fresh.size(), true, !haveInstalled, entries);
  if (r != kListBuilt) return r;
  if (!haveInstalled) {
    out = std::move(entries);
    return kListBuilt;
  }
  std::set<std::pair<uint8_t, uint8_t>> known;
  const size_t count = installed.size() >= kIndexHeadSize ? (installed.size() - kIndexHeadSize) / kIndexEntrySize : 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = installed.data() + kIndexHeadSize + i * kIndexEntrySize;
    known.insert({e[kEntryType], e[kEntrySequence]});
  }
  for (auto& e : entries)
    if (!known.count({e.type, e.sequence})) out.push_back(std::move(e));
  return out.empty() ? kListNothingNew : kListBuilt;
}

bool checkPackage(const std::u16string& path) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  uint8_t head[kPackageHeadSize];
  DWORD got = 0;
  BOOL ok = ReadFile(f, head, sizeof head, &got, nullptr);
  CloseHandle(f);
  return ok && got == sizeof head && familyAccepted(u32(head + kHeadKind)) && head[kHeadPlatform] == kPlatformWindowsMobile;
}

}  // namespace nx::upd
