// The report index reader over arbitrary index contents: the check, then every
// record of an index it accepts decoded field by field.
#include <cstdint>
#include <cstdlib>

#include "common/report_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ce::DWORD count = 0;
  ce::DWORD status = nx::checkIndexImage(data, size, 0, &count);
  if (status != nx::kIndexOk) return 0;
  if (size != nx::kIndexHeadBytes + static_cast<size_t>(count) * nx::kIndexRecordBytes) std::abort();
  for (ce::DWORD i = 0; i < count; ++i) {
    nx::IndexEntry e;
    nx::decodeIndexRecord(data + nx::kIndexHeadBytes + static_cast<size_t>(i) * nx::kIndexRecordBytes, &e);
    if (e.path.size() >= nx::kIndexPathBytes + 1 || e.title.size() > nx::kIndexTitleChars) std::abort();
  }
  return 0;
}
