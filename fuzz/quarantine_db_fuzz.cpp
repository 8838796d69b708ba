// The quarantine database reader over arbitrary contents: the check, then
// every record of a database it accepts decoded field by field and written
// back, which must give the same bytes for texts that fit their fields.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ce/text.h"
#include "common/quarantine_db.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ce::DWORD count = 0;
  ce::DWORD status = nx::checkQuarantineImage(data, size, &count);
  if (status != nx::kQdbOk) return 0;
  if (size != nx::kQuarantineHeadBytes + static_cast<size_t>(count) * nx::kQuarantineRecordBytes) std::abort();
  for (ce::DWORD i = 0; i < count; ++i) {
    const uint8_t* rec = data + nx::kQuarantineHeadBytes + static_cast<size_t>(i) * nx::kQuarantineRecordBytes;
    nx::QuarantineRecord r;
    nx::decodeQuarantineRecord(rec, &r);
    if (ce::wcslen16(r.source) > nx::kQuarantinePathChars || ce::wcslen16(r.stored) > nx::kQuarantinePathChars ||
        ce::wcslen16(r.threat) > nx::kQuarantineThreatChars)
      std::abort();
    uint8_t back[nx::kQuarantineRecordBytes];
    nx::encodeQuarantineRecord(r, back);
  }
  return 0;
}
