// The index files that list the reports of one kind ("online.dat",
// "update.dat" in the installation directory) for the report history of the
// user interface: a 16-byte head (marker, CRC-32 of everything after the
// first 8 bytes, kind, record count) and one 784-byte record per report.
// The layer keeps the count equal to the records and the CRC current after
// every append; an index found inconsistent is copied aside (its history
// kept under a free name, said in the debug log) and started afresh rather
// than appended to, since a reader could not tell its records apart.
#pragma once

#include <cstddef>
#include <string>

#include "ce/windows.h"

namespace nx {

using ce::BYTE;
using ce::DWORD;
using ce::WCHAR;

enum ReportKind : DWORD {
  kReportScan = 1,
  kReportOnline = 2,
  kReportUpdate = 3,
};

inline constexpr DWORD kIndexHeadBytes = 16;
inline constexpr DWORD kIndexRecordBytes = 784;
inline constexpr size_t kIndexPathBytes = 256;   // ANSI, terminated
inline constexpr size_t kIndexTitleChars = 256;  // UTF-16, terminated

struct IndexRecord {
  BYTE opened[16];               // SYSTEMTIME, local time the report was opened
  char path[kIndexPathBytes];    // report file, code page 1252
  BYTE title[kIndexTitleChars * 2];
};
static_assert(sizeof(IndexRecord) == kIndexRecordBytes);

// What an index holds, or why it cannot be used as it stands.
enum IndexStatus : DWORD {
  kIndexOk = 0,
  kIndexMissing = 1,         // no such file
  kIndexShortHead = 2,       // fewer than 16 bytes
  kIndexPartialRecord = 3,   // the records do not end on a record boundary
  kIndexCountMismatch = 4,   // the head's count is not the number of records
  kIndexBadCrc = 5,
  kIndexOtherKind = 6,       // the head names another report kind
  kIndexReadError = 7,
  kIndexWriteError = 8,
};

struct IndexEntry {
  ce::SYSTEMTIME opened;
  std::string path;     // as stored (code page 1252)
  std::u16string title;
};

// Fills a record: path must fit 255 bytes in code page 1252 and contain only
// characters that code page has (a path that does not survive the trip
// would name another file); a longer title is cut to 255 characters.
bool encodeIndexRecord(const ce::SYSTEMTIME& opened, const WCHAR* reportPath, const WCHAR* title, IndexRecord* out);
// Reads a record's fields, each bounded by its field even without a terminator.
void decodeIndexRecord(const BYTE* record, IndexEntry* out);

// Checks a whole index image: kind 0 accepts any kind. count receives the
// number of records when the image is sound.
DWORD checkIndexImage(const void* image, size_t size, DWORD kind, DWORD* count);

// The Close step of a report: adds one record to the index at path, creating
// it, or starting it afresh when it is inconsistent after copying it to
// "<name>.damaged<ext>" (".damaged.2", ... when taken) beside it. On failure
// the index is put back as it was. Returns kIndexOk or the failure.
DWORD appendIndexRecord(const WCHAR* indexPath, DWORD kind, const IndexRecord& record);

// Reads an index for listing: calls fn for every record when the index is
// sound; returns its status.
template <class Fn>
DWORD readIndex(const WCHAR* indexPath, DWORD kind, Fn&& fn);
DWORD readIndexFile(const WCHAR* indexPath, DWORD kind, void (*fn)(const IndexEntry&, void*), void* ctx);

template <class Fn>
DWORD readIndex(const WCHAR* indexPath, DWORD kind, Fn&& fn) {
  return readIndexFile(
      indexPath, kind, [](const IndexEntry& e, void* c) { (*static_cast<Fn*>(c))(e); }, &fn);
}

}  // namespace nx
