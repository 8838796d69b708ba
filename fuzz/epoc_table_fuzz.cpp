// libFuzzer target for the EPOC scanner's category-file loader. The input
// is loaded as a table file; when it loads, the same bytes are taken as an
// image and searched for in that table, so keys, header checksums and
// regions that point anywhere are read against a file of fuzzed length.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "epocscan/epoc_signatures.h"

namespace {

struct Image {
  const uint8_t* data;
  size_t size;
};

bool readExact(void* c, uint32_t offset, uint8_t* buffer, uint32_t len) {
  const Image* i = static_cast<const Image*>(c);
  if (static_cast<uint64_t>(offset) + len > i->size) return false;
  std::memcpy(buffer, i->data + offset, len);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file(data, data + size);
  nx::epoc::Table table;
  if (!nx::epoc::parseTable(file.data(), file.size(), table)) return 0;
  static nx::epoc::TableSet set;
  const size_t slot = size % 30;
  set[slot] = std::move(table);
  nx::epoc::ImageFacts facts = nx::epoc::inspectImage(file.data(), file.size() < 124 ? file.size() : 124);
  if (!facts.epoc) {
    // Take the table's own first key, so the search reaches its records.
    facts.epoc = true;
    facts.entryOffset = set[slot].front().key;
    facts.headerCrc = set[slot].front().headerCrc;
  }
  nx::epoc::EntryBytes entry;
  if (facts.entryOffset >= 0 && static_cast<uint64_t>(facts.entryOffset) < size) {
    entry.count = static_cast<uint32_t>(std::min<uint64_t>(30, size - static_cast<uint64_t>(facts.entryOffset)));
    entry.crc = nx::crc32Raw(file.data() + facts.entryOffset, entry.count);
  }
  Image image{file.data(), file.size()};
  (void)nx::epoc::findImage(set, 0xFFFF, facts, entry, readExact, &image);
  set[slot].clear();
  return 0;
}
