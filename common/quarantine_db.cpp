#include "common/quarantine_db.h"

#include <algorithm>
#include <cstring>

#include "common/crc32.h"
#include "common/options_records.h"

namespace nx {

const char* quarantineDbStatusText(DWORD status) {
  switch (status) {
    case kQdbOk: return "sound";
    case kQdbMissing: return "no database (the store is empty)";
    case kQdbShortHead: return "shorter than its 20-byte head";
    case kQdbBadCrc: return "its CRC does not match its contents";
    case kQdbPartialRecord: return "its last record is cut short";
    case kQdbCountMismatch: return "its record count does not match the records it holds";
    case kQdbReadError: return "it cannot be read";
    case kQdbTooLarge: return "it is too large";
    default: return "damaged";
  }
}

void QuarantineDbCheck::head(const BYTE* h, size_t got) {
  shortHead_ = got < kQuarantineHeadBytes;
  if (shortHead_) return;
  stored_ = getU32(h + 4);
  count_ = getU32(h + 8);
  reg_ = crc32Update(kCrc32Init, h + 8, kQuarantineHeadBytes - 8);
}

void QuarantineDbCheck::body(const BYTE* data, size_t n) {
  reg_ = crc32Update(reg_, data, n);
  bodyBytes_ += n;
}

DWORD QuarantineDbCheck::finish() const {
  if (shortHead_) return kQdbShortHead;
  if (bodyBytes_ + kQuarantineHeadBytes > kQuarantineMaxBytes) return kQdbTooLarge;
  if (bodyBytes_ % kQuarantineRecordBytes != 0) return kQdbPartialRecord;
  if (bodyBytes_ / kQuarantineRecordBytes != count_) return kQdbCountMismatch;
  if (~reg_ != stored_) return kQdbBadCrc;
  return kQdbOk;
}

DWORD checkQuarantineImage(const void* image, size_t size, DWORD* count) {
  if (!image && size) return kQdbReadError;
  const BYTE* p = static_cast<const BYTE*>(image);
  QuarantineDbCheck check;
  check.head(p, size);
  if (size >= kQuarantineHeadBytes) check.body(p + kQuarantineHeadBytes, size - kQuarantineHeadBytes);
  DWORD status = check.finish();
  if (status == kQdbOk && count) *count = check.count();
  return status;
}

void encodeQuarantineHead(DWORD count, uint32_t crc, const BYTE* reserved, BYTE* out) {
  std::memset(out, 0, kQuarantineHeadBytes);
  std::memset(out, 1, 4);
  putU32(out + 4, crc);
  putU32(out + 8, count);
  if (reserved) std::memcpy(out + 12, reserved, 8);
}

void decodeQuarantineRecord(const BYTE* rec, QuarantineRecord* out) {
  getTextField(rec + kQrSource, kQuarantinePathChars, out->source, kQuarantinePathChars + 1);
  getTextField(rec + kQrThreat, kQuarantineThreatChars, out->threat, kQuarantineThreatChars + 1);
  getTextField(rec + kQrStored, kQuarantinePathChars, out->stored, kQuarantinePathChars + 1);
  getSystemTimeField(rec + kQrTime, &out->time);
  out->kind = getU32(rec + kQrKind);
}

bool encodeQuarantineRecord(const QuarantineRecord& rec, BYTE* out) {
  std::memset(out, 0, kQuarantineRecordBytes);
  if (!putTextField(out + kQrSource, kQuarantinePathChars, rec.source) ||
      !putTextField(out + kQrStored, kQuarantinePathChars, rec.stored))
    return false;
  size_t n = 0;
  while (n + 1 < kQuarantineThreatChars && rec.threat[n]) ++n;
  if (n > 0 && rec.threat[n] && rec.threat[n - 1] >= 0xD800 && rec.threat[n - 1] <= 0xDBFF) --n;
  for (size_t i = 0; i < n; ++i) putU16(out + kQrThreat + 2 * i, rec.threat[i]);
  putSystemTimeField(out + kQrTime, rec.time);
  putU32(out + kQrKind, rec.kind);
  return true;
}

}  // namespace nx
