// Builds small cabinets in memory for the reader tests: folders of stored or
// MSZIP blocks (or raw blocks given byte for byte), file entries with any
// folder index, reserves, next/previous names and checksums.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace cabtest {

struct Block {
  std::vector<uint8_t> packed;
  uint16_t unpacked = 0;
  bool checksum = true;       // store the real checksum (false: store 0)
  uint32_t forceChecksum = 0;  // stored as it is when non-zero
};

struct Folder {
  uint16_t type = 0;
  std::vector<Block> blocks;
};

struct File {
  std::string name;
  uint32_t length = 0;
  uint32_t offset = 0;
  uint16_t folder = 0;
};

struct Cabinet {
  uint16_t flags = 0;
  std::string previousName, previousDisk, nextName, nextDisk;
  uint16_t headerReserve = 0;
  uint8_t folderReserve = 0, dataReserve = 0;
  std::vector<Folder> folders;
  std::vector<File> files;
};

inline void put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>((v >> 8) & 0xFF));
}
inline void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}
inline void set32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline uint32_t checksum(const uint8_t* p, size_t n, uint32_t sum) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    sum ^= static_cast<uint32_t>(p[i]) | static_cast<uint32_t>(p[i + 1]) << 8 | static_cast<uint32_t>(p[i + 2]) << 16 |
           static_cast<uint32_t>(p[i + 3]) << 24;
  uint32_t last = 0;
  for (; i < n; ++i) last = last << 8 | p[i];
  return sum ^ last;
}

inline std::string build(const Cabinet& c) {
  std::string h = "MSCF";
  put32(h, 0);
  put32(h, 0);  // cabinet size, set below
  put32(h, 0);
  put32(h, 0);  // file table offset, set below
  put32(h, 0);
  put16(h, 0x0103);
  put16(h, static_cast<uint32_t>(c.folders.size()));
  put16(h, static_cast<uint32_t>(c.files.size()));
  put16(h, c.flags);
  put16(h, 1234);
  put16(h, 0);
  if (c.flags & 4) {
    put16(h, c.headerReserve);
    h.push_back(static_cast<char>(c.folderReserve));
    h.push_back(static_cast<char>(c.dataReserve));
    h.append(c.headerReserve, 'r');
  }
  auto str = [&](const std::string& s) { h += s, h.push_back('\0'); };
  if (c.flags & 1) str(c.previousName), str(c.previousDisk);
  if (c.flags & 2) str(c.nextName), str(c.nextDisk);
  size_t folderTable = h.size();
  h.append(c.folders.size() * (8 + c.folderReserve), '\0');
  set32(h, 16, static_cast<uint32_t>(h.size()));
  for (const auto& f : c.files) {
    put32(h, f.length);
    put32(h, f.offset);
    put16(h, f.folder);
    put16(h, 0x3A21);
    put16(h, 0x5C42);
    put16(h, 0x20);
    str(f.name);
  }
  for (size_t i = 0; i < c.folders.size(); ++i) {
    const Folder& f = c.folders[i];
    size_t entry = folderTable + i * (8 + c.folderReserve);
    set32(h, entry, static_cast<uint32_t>(h.size()));
    h[entry + 4] = static_cast<char>(f.blocks.size() & 0xFF);
    h[entry + 5] = static_cast<char>(f.blocks.size() >> 8);
    h[entry + 6] = static_cast<char>(f.type & 0xFF);
    h[entry + 7] = static_cast<char>(f.type >> 8);
    for (const auto& b : f.blocks) {
      uint8_t lens[4] = {static_cast<uint8_t>(b.packed.size()), static_cast<uint8_t>(b.packed.size() >> 8),
                         static_cast<uint8_t>(b.unpacked), static_cast<uint8_t>(b.unpacked >> 8)};
      uint32_t sum = b.forceChecksum ? b.forceChecksum
                     : b.checksum    ? checksum(lens, 4, checksum(b.packed.data(), b.packed.size(), 0))
                                     : 0;
      put32(h, sum);
      h.append(reinterpret_cast<const char*>(lens), 4);
      h.append(c.dataReserve, 'd');
      h.append(reinterpret_cast<const char*>(b.packed.data()), b.packed.size());
    }
  }
  set32(h, 8, static_cast<uint32_t>(h.size()));
  return h;
}

// Stored blocks of at most blockSize bytes.
inline Folder storedFolder(const std::string& data, size_t blockSize = 32768) {
  Folder f;
  for (size_t at = 0; at < data.size(); at += blockSize) {
    std::string part = data.substr(at, blockSize);
    f.blocks.push_back({std::vector<uint8_t>(part.begin(), part.end()), static_cast<uint16_t>(part.size())});
  }
  return f;
}

// The first part of a set whose second part ("absent.cab") is not there:
// member `whole` lies in it, member `continued` runs on into the missing part.
inline std::string firstPartOfAMissingSet(const std::string& whole, const std::string& continued) {
  Cabinet first;
  first.flags = 2;
  first.nextName = "absent.cab";
  first.nextDisk = "disk 2";
  first.folders.push_back(storedFolder("aaaabb"));
  first.files = {{whole, 4, 0, 0}, {continued, 10, 4, 0xFFFE}};
  return build(first);
}

// MSZIP blocks of 32 KiB, each coded with the previous block as history.
inline Folder mszipFolder(const std::string& data) {
  Folder f;
  f.type = 1;
  std::string history;
  for (size_t at = 0; at < data.size(); at += 32768) {
    std::string part = data.substr(at, 32768);
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (!history.empty())
      deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(history.data()), static_cast<uInt>(history.size()));
    std::vector<uint8_t> out(deflateBound(&z, part.size()) + 2);
    out[0] = 'C';
    out[1] = 'K';
    z.next_in = reinterpret_cast<Bytef*>(part.data());
    z.avail_in = static_cast<uInt>(part.size());
    z.next_out = out.data() + 2;
    z.avail_out = static_cast<uInt>(out.size() - 2);
    deflate(&z, Z_FINISH);
    out.resize(2 + z.total_out);
    deflateEnd(&z);
    f.blocks.push_back({out, static_cast<uint16_t>(part.size())});
    history = part;
  }
  return f;
}

inline std::string pattern(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    // Compressible but not trivial: words from a small alphabet.
    s[i] = static_cast<char>('a' + (seed >> 28));
  }
  return s;
}

}  // namespace cabtest
