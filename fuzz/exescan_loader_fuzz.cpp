// libFuzzer targets for the signature loaders of exescan.dll: NX_FUZZ_LOADER 0 = "sig32ce.inx",
// 1 = "sigmpoly.inx", 2 = a category file. The category target first repairs the header of
// half of its inputs (magic, count from the length, checksum) so the records are reached.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "exescan/signature_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace nx::exe;
#if NX_FUZZ_LOADER == 0
  MemoryStream in(data, size);
  PeTable t;
  if (loadPeTable(in, t)) {
    static const uint8_t window[64] = {1, 2, 3, 4, 5};
    (void)t.match(window, sizeof window);
  }
#elif NX_FUZZ_LOADER == 1
  MemoryStream in(data, size);
  PolyTable t;
  (void)loadPolyTable(in, t);
#else
  std::vector<uint8_t> file(data, data + size);
  if (size >= 13 && (data[0] & 1)) {
    file.erase(file.begin());
    const size_t records = (file.size() - 12) / 89;
    file.resize(12 + records * 89);
    std::memcpy(file.data(), "INXF", 4);
    uint32_t sum = 0;
    for (size_t i = 12; i < file.size(); ++i) sum += file[i];
    for (int i = 0; i < 4; ++i) file[4 + i] = uint8_t(sum >> (8 * i));
    for (int i = 0; i < 4; ++i) file[8 + i] = uint8_t(uint32_t(records) >> (8 * i));
  }
  MemoryStream in(file.data(), file.size());
  CategoryTable t;
  if (loadCategoryTable(in, t) && t.count) (void)t.firstWithKey(t.keys[t.count / 2]);
#endif
  return 0;
}
