#include "exescan/pe_header.h"

#include <cstring>

namespace nx::pe {

namespace {

std::uint16_t u16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
std::uint32_t u32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

// Fills buf with what can be read and zeros after it; true when all of it was read.
bool readZeroFilled(const Reader& r, std::uint64_t offset, std::uint8_t* buf, std::size_t len) {
  std::memset(buf, 0, len);
  std::size_t got = r.read(offset, buf, len);
  return got == len;
}

// a + b, an overflow counting as 0xFFFFFFFF.
std::uint32_t saturatingAdd(std::uint32_t a, std::uint32_t b) {
  std::uint32_t s = a + b;
  return s < a ? 0xFFFFFFFFu : s;
}

}  // namespace

Headers readHeaders(const Reader& reader) {
  Headers h;
  std::uint8_t dos[64];
  readZeroFilled(reader, 0, dos, sizeof dos);
  h.mz = dos[0] == 'M' && dos[1] == 'Z';
  h.peOffset = u32(dos + 60);

  std::uint8_t sig[4];
  h.peSignature = readZeroFilled(reader, h.peOffset, sig, 4) && sig[0] == 'P' && sig[1] == 'E' && sig[2] == 0 &&
                  sig[3] == 0;

  std::uint8_t file[20];
  readZeroFilled(reader, std::uint64_t(h.peOffset) + 4, file, sizeof file);
  h.sectionCount = u16(file + 2);
  h.optionalHeaderSize = u16(file + 16);
  h.characteristics = u16(file + 18);

  std::uint8_t opt[96];
  readZeroFilled(reader, std::uint64_t(h.peOffset) + 24, opt, sizeof opt);
  h.entryRva = u32(opt + 16);
  h.subsystem = u16(opt + 68);
  h.dataDirectories = u32(opt + 92);

  h.sectionTable = h.optionalHeaderSize != 0
                       ? std::uint64_t(h.peOffset) + 24 + h.optionalHeaderSize
                       : std::uint64_t(h.peOffset) + 120 + 8 * std::uint64_t(h.dataDirectories);
  return h;
}

EntryPoint findEntryPoint(const Reader& reader, const Headers& headers) {
  EntryPoint ep;
  const std::uint32_t rva = headers.entryRva;
  const unsigned n = headers.sectionCount;
  std::uint32_t lowest = 0xFFFFFFFFu;
  for (unsigned i = 0; i < n; ++i) {
    std::uint8_t sh[kSectionHeaderSize];
    const std::uint64_t at = headers.sectionTable + std::uint64_t(i) * kSectionHeaderSize;
    if (!readZeroFilled(reader, at, sh, sizeof sh)) break;
    const std::uint32_t vsize = u32(sh + 8), va = u32(sh + 12), rsize = u32(sh + 16);
    std::uint32_t rptr = u32(sh + 20);
    if (va < lowest) lowest = va;
    if (rsize == 0) continue;

    const bool last = i + 1 == n;
    std::uint32_t m;
    if (vsize < rsize)
      m = vsize != 0 ? vsize : rsize;
    else
      m = rptr < 512 ? vsize : rsize;
    if (last) m = vsize < rsize ? rsize : vsize;
    if (i == 0 && rptr < 512) rptr = 0;

    const std::uint64_t rawEnd = std::uint64_t(va) + rsize;  // compared without wrapping
    bool holds;
    if (!last) {
      std::uint8_t next[kSectionHeaderSize];
      readZeroFilled(reader, at + kSectionHeaderSize, next, sizeof next);  // a short read counts as zeros
      const std::uint32_t nextVa = u32(next + 12);
      holds = (vsize != 0 || rva < nextVa) && rva >= va &&
              (rva < saturatingAdd(va, m) || (rva < rawEnd && rva < nextVa));
    } else {
      holds = rva >= va && (rva <= saturatingAdd(va, m) || rva < rawEnd);
    }
    if (holds) {
      const std::uint32_t base = headers.subsystem == kSubsystemNative ? rptr : (rptr & ~std::uint32_t(511));
      ep.offset = std::int64_t(rva - va) + base;
      ep.section = int(i);
      std::memcpy(ep.sectionName, sh, kSectionNameSize);
      ep.sectionName[kSectionNameSize] = 0;
      return ep;
    }
  }
  ep.offset = rva < lowest ? std::int64_t(rva) : -1;
  return ep;
}

}  // namespace nx::pe
