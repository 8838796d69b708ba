// The quarantine database "wmquardb.dat" in "\Quarantine" of the installation
// directory: a 20-byte head (marker 01 01 01 01, CRC-32 of every byte from
// offset 8 to the end, record count, 8 reserved bytes) and one 1144-byte
// record per quarantined file. This file reads and writes the bytes; the
// store (quarantine_store.h) does the file work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ce/windows.h"

namespace nx {

using ce::BYTE;
using ce::DWORD;
using ce::WCHAR;

// Kinds of a record: the source was moved (deleted after the copy) or copied.
inline constexpr DWORD kQuarantineMove = 7;
inline constexpr DWORD kQuarantineCopy = 8;

inline constexpr DWORD kQuarantineHeadBytes = 20;
inline constexpr DWORD kQuarantineRecordBytes = 1144;
inline constexpr size_t kQuarantinePathChars = 256;   // field size, terminator included
inline constexpr size_t kQuarantineThreatChars = 50;  // field size, terminator included
// The database stays within what a signed 32-bit seek reaches.
inline constexpr uint64_t kQuarantineMaxBytes = 0x7FFFFFFFu;
inline constexpr DWORD kQuarantineMaxRecords =
    static_cast<DWORD>((kQuarantineMaxBytes - kQuarantineHeadBytes) / kQuarantineRecordBytes);

inline constexpr const WCHAR* kQuarantineFolder = u"\\Quarantine";
inline constexpr const WCHAR* kQuarantineDatabase = u"wmquardb.dat";
inline constexpr const WCHAR* kQuarantineScratch = u"TempQuar.dat";
// Quarantined copies: "qf" + UTC hour, minute, second, unpadded.
inline constexpr const WCHAR* kQuarantineCopyFormat = u"qf%d%d%d.qrt";
inline constexpr DWORD kQuarantineNameDelayMs = 1000;
inline constexpr DWORD kQuarantineBlockBytes = 512;

// Record offsets.
inline constexpr size_t kQrSource = 0;
inline constexpr size_t kQrThreat = 512;
inline constexpr size_t kQrStored = 612;
inline constexpr size_t kQrTime = 1124;
inline constexpr size_t kQrKind = 1140;

// One record as read: texts terminated, each bounded by its field (a field
// stored without a terminator keeps all its characters).
struct QuarantineRecord {
  WCHAR source[kQuarantinePathChars + 1];
  WCHAR threat[kQuarantineThreatChars + 1];
  WCHAR stored[kQuarantinePathChars + 1];
  ce::SYSTEMTIME time;  // local time of quarantining
  DWORD kind;
};

// What a database holds, or why it cannot be used as it stands.
enum QuarantineDbStatus : DWORD {
  kQdbOk = 0,
  kQdbMissing = 1,         // no database (an empty store)
  kQdbShortHead = 2,       // fewer than 20 bytes
  kQdbBadCrc = 3,          // the CRC does not match the bytes
  kQdbPartialRecord = 4,   // the records do not end on a record boundary
  kQdbCountMismatch = 5,   // the count names more or fewer records than the file holds
  kQdbReadError = 6,
  kQdbTooLarge = 7,
};
const char* quarantineDbStatusText(DWORD status);

// Checks a whole database image; count receives the number of records when
// it is sound.
DWORD checkQuarantineImage(const void* image, size_t size, DWORD* count);

// The check of a database read front to back: the head, then the bytes
// after it in record-sized pieces (a shorter piece only at the end). Status
// order: short head, partial record, count mismatch, CRC.
class QuarantineDbCheck {
 public:
  void head(const BYTE* head, size_t got);
  void body(const BYTE* data, size_t n);
  DWORD finish() const;
  DWORD count() const { return count_; }  // from the head

 private:
  bool shortHead_ = true;
  uint32_t reg_ = 0xFFFFFFFFu;
  uint32_t stored_ = 0;
  DWORD count_ = 0;
  uint64_t bodyBytes_ = 0;
};

// Fills the 20-byte head of a database of `count` records whose CRC is crc;
// reserved bytes from `reserved` (8 bytes) or zero.
void encodeQuarantineHead(DWORD count, uint32_t crc, const BYTE* reserved, BYTE* out);

void decodeQuarantineRecord(const BYTE* rec, QuarantineRecord* out);
// False when a path does not fit its field whole (255 characters); the
// threat name is cut to 49 characters, never inside a surrogate pair.
bool encodeQuarantineRecord(const QuarantineRecord& rec, BYTE* out);

}  // namespace nx
