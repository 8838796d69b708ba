// Entry-point file offsets of generated images: section spans, the first section's raw pointer,
// rounding to 512, the next section's address, the last section's inclusive end, and the
// fallback for an entry point in the headers.
#include <gtest/gtest.h>

#include "exescan/pe_header.h"
#include "exescan_bed.h"

namespace {

using exebed::Bytes;
using exebed::PeImage;
using exebed::Section;

std::size_t memRead(void* ctx, std::uint64_t off, void* buf, std::size_t len) {
  const Bytes& b = *static_cast<const Bytes*>(ctx);
  if (off >= b.size()) return 0;
  std::size_t n = std::min<std::uint64_t>(len, b.size() - off);
  std::memcpy(buf, b.data() + off, n);
  return n;
}

nx::pe::EntryPoint entry(const PeImage& img) {
  Bytes b = img.build();
  nx::pe::Reader r{memRead, &b};
  return nx::pe::findEntryPoint(r, nx::pe::readHeaders(r));
}

struct Case {
  const char* what;
  uint16_t subsystem;
  std::vector<Section> sections;
  uint32_t rva;
  int64_t offset;
  int section;
};

TEST(EntryPointOffset, SectionRules) {
  const Case cases[] = {
      {"inside the first section", 9, {{".text", 0x800, 0x1000, 0x800, 0x400}, {".data", 0x200, 0x2000, 0x200, 0xC00}}, 0x1010, 0x410, 0},
      {"raw pointer rounded down to 512", 9, {{".text", 0x800, 0x1000, 0x800, 0x4F0}, {".data", 0x200, 0x2000, 0x200, 0xC00}}, 0x1010, 0x410, 0},
      {"subsystem 1 keeps the raw pointer", 1, {{".text", 0x800, 0x1000, 0x800, 0x4F0}, {".data", 0x200, 0x2000, 0x200, 0xC00}}, 0x1010, 0x500, 0},
      {"first section's raw pointer below 512 counts as 0", 1, {{".text", 0x800, 0x1000, 0x800, 0x1F0}, {".data", 0x200, 0x2000, 0x200, 0xC00}}, 0x1010, 0x10, 0},
      {"second section", 9, {{".text", 0x800, 0x1000, 0x800, 0x400}, {".data", 0x200, 0x2000, 0x200, 0xC00}}, 0x2010, 0xC10, 1},
      {"virtual size below raw size bounds the span", 9, {{".text", 0x100, 0x1000, 0x800, 0x400}, {".data", 0x200, 0x1100, 0x200, 0xC00}}, 0x1100, 0xC00, 1},
      {"... but the raw size still holds it below the next section", 9, {{".text", 0x100, 0x1000, 0x800, 0x400}, {".data", 0x200, 0x3000, 0x200, 0xC00}}, 0x1100, 0x500, 0},
      {"virtual size 0 takes the raw size", 9, {{".text", 0, 0x1000, 0x800, 0x400}, {".data", 0x200, 0x2000, 0x200, 0xC00}}, 0x1700, 0xB00, 0},
      {"raw size 0 skips the section", 9, {{".bss", 0x800, 0x1000, 0, 0}, {".data", 0x200, 0x2000, 0x200, 0xC00}}, 0x1010, -1, -1},
      {"last section's end is inclusive", 9, {{".text", 0x800, 0x1000, 0x800, 0x400}, {".data", 0x300, 0x2000, 0x200, 0xC00}}, 0x2300, 0xF00, 1},
      {"one past the last section's end has no offset", 9, {{".text", 0x800, 0x1000, 0x800, 0x400}, {".data", 0x300, 0x2000, 0x200, 0xC00}}, 0x2301, -1, -1},
      {"entry point in the headers is its own offset", 9, {{".text", 0x800, 0x1000, 0x800, 0x400}, {".data", 0x200, 0x2000, 0x200, 0xC00}}, 0x40, 0x40, -1},
      {"a gap between sections has no offset", 9, {{".text", 0x800, 0x1000, 0x800, 0x400}, {".data", 0x200, 0x4000, 0x200, 0xC00}}, 0x3000, -1, -1},
  };
  for (const Case& c : cases) {
    PeImage img;
    img.subsystem = c.subsystem;
    img.sections = c.sections;
    img.entryRva = c.rva;
    const nx::pe::EntryPoint ep = entry(img);
    EXPECT_EQ(ep.offset, c.offset) << c.what;
    EXPECT_EQ(ep.section, c.section) << c.what;
    if (c.section >= 0) {
      EXPECT_EQ(std::string(ep.sectionName), c.sections[std::size_t(c.section)].name) << c.what;
    }
  }
}

TEST(EntryPointOffset, SectionTableFollowsTheDataDirectoriesWhenTheOptionalHeaderSizeIsZero) {
  PeImage img;
  img.optionalHeaderSize = 0;
  img.dataDirectories = 4;  // table at 0x80 + 120 + 32
  EXPECT_EQ(entry(img).offset, 0x410);
}

TEST(EntryPointOffset, TruncatedAndHostileHeadersStayInBounds) {
  PeImage img;
  Bytes full = img.build();
  for (size_t cut : {size_t(0), size_t(2), size_t(63), size_t(0x80), size_t(0x100), size_t(0x178 + 20)}) {
    Bytes b(full.begin(), full.begin() + std::ptrdiff_t(cut));
    nx::pe::Reader r{memRead, &b};
    const nx::pe::Headers h = nx::pe::readHeaders(r);
    (void)nx::pe::findEntryPoint(r, h);
    EXPECT_FALSE(cut < 0x80 + 4 && h.peSignature) << cut;
  }
  PeImage far;
  far.peOffset = 0xFFFFFFF0u;  // header offset beyond any file
  Bytes b = far.build();
  nx::pe::Reader r{memRead, &b};
  const nx::pe::Headers h = nx::pe::readHeaders(r);
  EXPECT_FALSE(h.isWindowsCe());
  EXPECT_EQ(nx::pe::findEntryPoint(r, h).offset, 0);  // RVA 0 lies below the "lowest" address
}

}  // namespace
