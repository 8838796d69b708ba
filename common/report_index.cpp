#include "common/report_index.h"

#include <algorithm>
#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "common/crc32.h"
#include "common/debug_log.h"
#include "common/options_records.h"

namespace nx {

using namespace ce;

namespace {

constexpr BYTE kMarker[4] = {1, 1, 1, 1};
constexpr DWORD kChunk = 16384;  // an index grows by 784 bytes a report; read it in large pieces
// Index files stay within what a signed 32-bit seek can reach.
constexpr uint64_t kMaxIndexBytes = 0x7FFFFFFFu;
// Copies of damaged indexes kept beside them before the names run out.
constexpr int kMaxDamagedCopies = 100;

struct FileHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~FileHandle() { close(); }
  void close() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

bool seekTo(HANDLE h, DWORD pos) { return SetFilePointer(h, static_cast<LONG>(pos), nullptr, FILE_BEGIN) == pos; }
bool readExact(HANDLE h, void* buf, DWORD n) {
  DWORD got = 0;
  return ReadFile(h, buf, n, &got, nullptr) && got == n;
}
bool writeExact(HANDLE h, const void* buf, DWORD n) {
  DWORD put = 0;
  return WriteFile(h, buf, n, &put, nullptr) && put == n;
}

// The check over any source of bytes; read returns the bytes given, -1 on error.
template <class ReadFn>
DWORD checkIndex(ReadFn&& read, DWORD kind, DWORD* count) {
  BYTE head[kIndexHeadBytes];
  long got = read(head, kIndexHeadBytes);
  if (got < 0) return kIndexReadError;
  if (got != static_cast<long>(kIndexHeadBytes)) return kIndexShortHead;
  uint32_t reg = crc32Update(kCrc32Init, head + 8, 8);
  uint64_t body = 0;
  BYTE buf[kChunk];
  for (;;) {
    long n = read(buf, kChunk);
    if (n < 0) return kIndexReadError;
    if (n == 0) break;
    reg = crc32Update(reg, buf, static_cast<size_t>(n));
    body += static_cast<uint64_t>(n);
  }
  if (body % kIndexRecordBytes != 0) return kIndexPartialRecord;
  if (getU32(head + 12) != body / kIndexRecordBytes) return kIndexCountMismatch;
  if (~reg != getU32(head + 4)) return kIndexBadCrc;
  if (kind != 0 && getU32(head + 8) != kind) return kIndexOtherKind;
  if (count) *count = getU32(head + 12);
  return kIndexOk;
}

long readFrom(HANDLE h, BYTE* out, DWORD want) {
  DWORD got = 0;
  if (!ReadFile(h, out, want, &got, nullptr)) return -1;
  return static_cast<long>(got);
}

const WCHAR* damageText(DWORD status) {
  switch (status) {
    case kIndexShortHead: return u"its head is cut short";
    case kIndexPartialRecord: return u"a record is cut short";
    case kIndexCountMismatch: return u"its count does not match its records";
    case kIndexBadCrc: return u"its checksum does not match";
    case kIndexOtherKind: return u"it lists another kind of report";
    default: return u"it cannot be read as an index";
  }
}

// "<folder>\<stem>.damaged[.n]<ext>" for the n-th try (n from 1).
bool damagedName(const WCHAR* indexPath, int n, WCHAR (&out)[MAX_PATH]) {
  const size_t len = wcslen16(indexPath);
  size_t dot = len;
  for (size_t i = len; i > 0; --i) {
    if (indexPath[i - 1] == u'\\') break;
    if (indexPath[i - 1] == u'.') {
      dot = i - 1;
      break;
    }
  }
  const std::u16string stem(indexPath, dot), ext(indexPath + dot, len - dot);
  const std::u16string name = stem + u".damaged" + (n > 1 ? format16(u".%d", n) : std::u16string()) + ext;
  if (name.size() >= MAX_PATH) return false;
  std::memcpy(out, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
  return true;
}

// Keeps a copy of the damaged index open as h under the first free name
// beside it, so that starting a new index erases no history, and says so
// in the debug log. The index itself is not touched here.
DWORD setAside(HANDLE h, const WCHAR* indexPath, DWORD damage) {
  // An empty file lists nothing.
  DWORD high = 0;
  if (GetFileSize(h, &high) == 0 && high == 0) return kIndexOk;
  WCHAR kept[MAX_PATH];
  FileHandle copy;
  for (int n = 1; n <= kMaxDamagedCopies && !copy.ok(); ++n) {
    if (!damagedName(indexPath, n, kept)) return kIndexWriteError;
    // Created new: a name that is taken is never written over.
    copy.h = CreateFileW(kept, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!copy.ok() && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
      return kIndexWriteError;
  }
  if (!copy.ok()) return kIndexWriteError;
  bool copied = seekTo(h, 0);
  BYTE buf[kChunk];
  while (copied) {
    long n = readFrom(h, buf, kChunk);
    if (n <= 0) {
      copied = n == 0;
      break;
    }
    copied = writeExact(copy.h, buf, static_cast<DWORD>(n));
  }
  copy.close();
  if (!copied) {
    DeleteFileW(kept);
    return kIndexWriteError;
  }
  appendDebugLogLine(format16(u"Report index %s is damaged (%s): kept as %s, a new index is started.", indexPath,
                              damageText(damage), kept)
                         .c_str());
  return kIndexOk;
}

}  // namespace

bool encodeIndexRecord(const SYSTEMTIME& opened, const WCHAR* reportPath, const WCHAR* title, IndexRecord* out) {
  if (!reportPath || !out) return false;
  std::memset(out, 0, sizeof *out);
  putSystemTimeField(out->opened, opened);
  int need = WideCharToMultiByte(CP_ACP, 0, reportPath, -1, nullptr, 0, nullptr, nullptr);
  if (need <= 1 || static_cast<size_t>(need) > kIndexPathBytes) return false;
  BOOL lossy = FALSE;
  if (WideCharToMultiByte(CP_ACP, 0, reportPath, -1, out->path, static_cast<INT>(kIndexPathBytes), nullptr, &lossy) !=
          need ||
      lossy)
    return false;
  if (title) {
    size_t n = 0;
    while (n + 1 < kIndexTitleChars && title[n]) ++n;
    // Never end on half a surrogate pair.
    if (n > 0 && title[n] && title[n - 1] >= 0xD800 && title[n - 1] <= 0xDBFF) --n;
    for (size_t i = 0; i < n; ++i) putU16(out->title + 2 * i, title[i]);
  }
  return true;
}

void decodeIndexRecord(const BYTE* record, IndexEntry* out) {
  getSystemTimeField(record, &out->opened);
  const char* path = reinterpret_cast<const char*>(record + 16);
  out->path.assign(path, strnlen(path, kIndexPathBytes));
  WCHAR title[kIndexTitleChars + 1];
  size_t n = getTextField(record + 16 + kIndexPathBytes, kIndexTitleChars, title, kIndexTitleChars + 1);
  out->title.assign(title, n);
}

DWORD checkIndexImage(const void* image, size_t size, DWORD kind, DWORD* count) {
  const BYTE* p = static_cast<const BYTE*>(image);
  size_t pos = 0;
  auto read = [&](BYTE* out, DWORD want) -> long {
    size_t take = std::min<size_t>(want, size - pos);
    if (take) std::memcpy(out, p + pos, take);
    pos += take;
    return static_cast<long>(take);
  };
  return checkIndex(read, kind, count);
}

DWORD appendIndexRecord(const WCHAR* indexPath, DWORD kind, const IndexRecord& record) {
  if (!indexPath) return kIndexWriteError;
  FileHandle f;
  // Readers may look while we write; a second writer of the same index may not.
  f.h = CreateFileW(indexPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!f.ok()) return kIndexWriteError;
  bool fresh = GetLastError() != ERROR_ALREADY_EXISTS;
  DWORD count = 0;
  BYTE oldHead[kIndexHeadBytes] = {};
  uint64_t oldSize = 0;
  if (!fresh) {
    HANDLE h = f.h;
    DWORD status = checkIndex([h](BYTE* o, DWORD w) { return readFrom(h, o, w); }, kind, &count);
    if (status == kIndexReadError) return status;
    if (status != kIndexOk) {
      // An index whose count, records or checksum disagree cannot be appended
      // to without making it worse. It is copied aside first, so the history
      // it holds stays for whoever can still read it; when no copy can be
      // made the index is left alone and this report is not listed.
      DWORD kept = setAside(f.h, indexPath, status);
      if (kept != kIndexOk) return kept;
      fresh = true;
    } else {
      oldSize = kIndexHeadBytes + static_cast<uint64_t>(count) * kIndexRecordBytes;
      if (!seekTo(f.h, 0) || !readExact(f.h, oldHead, kIndexHeadBytes)) return kIndexReadError;
    }
  }
  if (!fresh && oldSize + kIndexRecordBytes > kMaxIndexBytes) return kIndexWriteError;

  // Puts the index back as it was found (empty when it was new or unusable).
  auto undo = [&](DWORD status) {
    seekTo(f.h, static_cast<DWORD>(oldSize));
    SetEndOfFile(f.h);
    if (oldSize) {
      seekTo(f.h, 0);
      writeExact(f.h, oldHead, kIndexHeadBytes);
    }
    return status;
  };

  if (fresh) {
    count = 0;
    BYTE head[kIndexHeadBytes];
    std::memcpy(head, kMarker, 4);
    putU32(head + 4, 1);
    putU32(head + 8, kind);
    putU32(head + 12, 0);
    if (!seekTo(f.h, 0) || !SetEndOfFile(f.h)) return kIndexWriteError;
    if (!writeExact(f.h, head, kIndexHeadBytes)) return undo(kIndexWriteError);
    oldSize = 0;
  }
  DWORD end = static_cast<DWORD>(kIndexHeadBytes + static_cast<uint64_t>(count) * kIndexRecordBytes);
  if (!seekTo(f.h, end) || !writeExact(f.h, &record, kIndexRecordBytes)) return undo(kIndexWriteError);
  BYTE kc[8];
  if (!seekTo(f.h, 8) || !readExact(f.h, kc, 8)) return undo(kIndexReadError);
  putU32(kc + 4, getU32(kc + 4) + 1);
  if (!seekTo(f.h, 8) || !writeExact(f.h, kc, 8)) return undo(kIndexWriteError);
  // CRC from offset 8 to the end.
  if (!seekTo(f.h, 8)) return undo(kIndexReadError);
  uint32_t reg = kCrc32Init;
  BYTE buf[kChunk];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(f.h, buf, kChunk, &got, nullptr)) return undo(kIndexReadError);
    if (got == 0) break;
    reg = crc32Update(reg, buf, got);
  }
  BYTE crc[4];
  putU32(crc, ~reg);
  if (!seekTo(f.h, 4) || !writeExact(f.h, crc, 4)) return undo(kIndexWriteError);
  f.close();
  return kIndexOk;
}

DWORD readIndexFile(const WCHAR* indexPath, DWORD kind, void (*fn)(const IndexEntry&, void*), void* ctx) {
  if (!indexPath) return kIndexMissing;
  FileHandle f;
  f.h = CreateFileW(indexPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!f.ok()) return GetLastError() == ERROR_FILE_NOT_FOUND ? kIndexMissing : kIndexReadError;
  HANDLE h = f.h;
  DWORD count = 0;
  DWORD status = checkIndex([h](BYTE* o, DWORD w) { return readFrom(h, o, w); }, kind, &count);
  if (status != kIndexOk) return status;
  if (!seekTo(f.h, kIndexHeadBytes)) return kIndexReadError;
  for (DWORD i = 0; i < count; ++i) {
    BYTE rec[kIndexRecordBytes];
    if (!readExact(f.h, rec, kIndexRecordBytes)) return kIndexReadError;
    IndexEntry e;
    decodeIndexRecord(rec, &e);
    if (fn) fn(e, ctx);
  }
  return kIndexOk;
}

}  // namespace nx
