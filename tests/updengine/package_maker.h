// Update files made byte by byte in the tests, for what nxpack refuses to
// make: ARJ archives with hostile member names, packages and indexes with
// damaged or odd fields. Layouts from the format tables (ARJ headers, the
// 51-byte package head, 70-byte index entries).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/crc32.h"
#include "common/update_formats.h"

namespace updtest {

inline void le16(std::string& b, uint16_t v) {
  b.push_back(static_cast<char>(v & 0xFF));
  b.push_back(static_cast<char>(v >> 8));
}
inline void le32(std::string& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
}

// One ARJ header: id, size, the basic header (30 bytes of fields, then the
// name and an empty comment), its CRC, no extended header.
inline std::string arjHeader(uint8_t fileType, const std::string& name, uint32_t packed, uint32_t original,
                             uint32_t dataCrc) {
  std::string h;
  h.push_back(30);        // first header size
  h.push_back(11);        // archiver version
  h.push_back(1);         // minimum version to extract
  h.push_back(0);         // host OS: MS-DOS
  h.push_back(0);         // flags
  h.push_back(0);         // method: stored
  h.push_back(static_cast<char>(fileType));
  h.push_back(0);         // reserved
  le32(h, 0x5A210000u);   // a DOS time stamp
  le32(h, packed);
  le32(h, original);
  le32(h, dataCrc);
  le16(h, 0);             // file name position
  le16(h, 0x20);          // access mode
  le16(h, 0);             // host data
  h += name;
  h.push_back(0);
  h.push_back(0);         // empty comment
  std::string out("\x60\xEA", 2);
  le16(out, static_cast<uint16_t>(h.size()));
  out += h;
  le32(out, nx::crc32(h.data(), h.size()));
  le16(out, 0);  // no extended headers
  return out;
}

// A stored ARJ archive of the members, in order.
inline std::string arjStored(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string a = arjHeader(2, "files.arj", 0, 0, 0);
  for (const auto& [name, data] : members) {
    a += arjHeader(0, name, static_cast<uint32_t>(data.size()), static_cast<uint32_t>(data.size()),
                   nx::crc32(data.data(), data.size()));
    a += data;
  }
  a += std::string("\x60\xEA\x00\x00", 4);
  return a;
}

// A definition package around an ARJ body: the 51-byte head with the
// check value, the first 90 body bytes combined with the key.
inline std::string packageOf(const std::string& arj, uint32_t kind = nx::upd::kKindPackage, uint8_t platform = 7,
                             uint32_t lengthField = 0xFFFFFFFFu) {
  std::string body = arj;
  for (size_t i = 0; i < nx::upd::kScrambledBytes && i < body.size(); ++i) body[i] ^= nx::upd::kScrambleKey;
  std::string head;
  le32(head, kind);
  le32(head, nx::upd::packageCheckValue(body.data(), body.size()));
  le32(head, lengthField);
  head.push_back(static_cast<char>(platform));
  head.resize(nx::upd::kPackageHeadSize, '\0');
  return head + body;
}

struct IndexEntryBytes {
  uint8_t type = 100;
  uint8_t sequence = 1;
  std::string name;  // up to 50 bytes as stored (a terminator is added when there is room)
  uint8_t platform = 7;
};

// "index.dat": family, byte sum of the entries (or the given wrong sum), entries.
inline std::string indexOf(const std::vector<IndexEntryBytes>& entries, uint32_t family = nx::upd::kFamilyPackage,
                           int64_t sum = -1) {
  std::string body;
  for (const auto& e : entries) {
    std::string rec(nx::upd::kIndexEntrySize, '\0');
    rec[0] = static_cast<char>(e.type);
    rec[1] = static_cast<char>(e.sequence);
    for (size_t i = 0; i < e.name.size() && i < nx::upd::kEntryNameBytes; ++i) rec[nx::upd::kEntryName + i] = e.name[i];
    rec[nx::upd::kEntryPlatform] = static_cast<char>(e.platform);
    body += rec;
  }
  uint32_t s = 0;
  for (unsigned char c : body) s += c;
  std::string out;
  le32(out, family);
  le32(out, sum < 0 ? s : static_cast<uint32_t>(sum));
  return out + body;
}

}  // namespace updtest
