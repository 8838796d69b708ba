#include "common/quarantine_store.h"

#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/crc32.h"
#include "common/nibble.h"
#include "common/options_records.h"

namespace nx {

using namespace ce;

namespace {

constexpr DWORD kNameAttempts = 8;      // fresh copy names tried when one is taken
constexpr DWORD kAsideAttempts = 1000;  // "wmquardb<N>.bad" names tried
constexpr DWORD kRestoreAttempts = 100; // scratch names beside a restore target
constexpr DWORD kCrcChunk = 16384;

struct File {
  HANDLE h = INVALID_HANDLE_VALUE;
  File() = default;
  explicit File(HANDLE x) : h(x) {}
  ~File() { close(); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  void close() {
    if (h != INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      CloseHandle(h);
      SetLastError(e);
    }
    h = INVALID_HANDLE_VALUE;
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

bool seekTo(HANDLE h, DWORD pos) {
  return SetFilePointer(h, static_cast<LONG>(pos), nullptr, FILE_BEGIN) == pos;
}
// Reads until n bytes or the end; false on a read error.
bool readUpTo(HANDLE h, void* buf, DWORD n, DWORD* got) {
  *got = 0;
  auto* p = static_cast<BYTE*>(buf);
  while (*got < n) {
    DWORD part = 0;
    if (!ReadFile(h, p + *got, n - *got, &part, nullptr)) return false;
    if (part == 0) break;
    *got += part;
  }
  return true;
}
bool writeExact(HANDLE h, const void* buf, DWORD n) {
  DWORD put = 0;
  if (!WriteFile(h, buf, n, &put, nullptr)) return false;
  if (put != n) return SetLastError(ERROR_DISK_FULL), false;
  return true;
}

bool exists(const WCHAR* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }
bool isDirectory(const WCHAR* path) {
  DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// dir + "\" + name, whole or not at all.
bool joinName(const WCHAR* dir, const WCHAR* name, WCHAR* out, size_t cap) {
  size_t d = wcslen16(dir), n = wcslen16(name);
  if (d + 1 + n + 1 > cap) return false;
  std::memcpy(out, dir, d * sizeof(WCHAR));
  out[d] = u'\\';
  std::memcpy(out + d + 1, name, (n + 1) * sizeof(WCHAR));
  return true;
}

bool copyText(const WCHAR* text, WCHAR* out, size_t cap) {
  size_t n = text ? wcslen16(text) : 0;
  if (n + 1 > cap) return false;
  std::memcpy(out, text ? text : u"", n * sizeof(WCHAR));
  out[n] = 0;
  return true;
}

// Copies an open file into another in 512-byte blocks, exchanging the halves
// of every byte (the same step stores and restores), then flushes.
bool copyExchanged(HANDLE from, HANDLE to) {
  BYTE block[kQuarantineBlockBytes];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, block, sizeof block, &got, nullptr)) return false;
    if (got == 0) break;
    swapNibbles(block, got);
    if (!writeExact(to, block, got)) return false;
  }
  return FlushFileBuffers(to) != FALSE;
}

bool terminated(const WCHAR* s, size_t chars) {
  for (size_t i = 0; i < chars; ++i)
    if (s[i] == 0) return true;
  return false;
}

// Terminated within its field and not empty.
bool textField(const WCHAR* s, size_t chars) {
  for (size_t i = 0; i < chars; ++i)
    if (s[i] == 0) return i > 0;
  return false;
}

}  // namespace

// ---- Request ------------------------------------------------------------------

bool makeQuarantineRequest(const WCHAR* source, const WCHAR* threat, DWORD kind, QuarantineRequest* out) {
  if (!out || !source || !source[0]) return SetLastError(ERROR_INVALID_PARAMETER), false;
  if (wcslen16(source) + 1 > kQuarantinePathChars) return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
  std::memset(out, 0, sizeof *out);
  copyText(source, out->source, kQuarantinePathChars);
  size_t n = 0;
  if (threat)
    while (n + 1 < kQuarantineThreatChars && threat[n]) ++n;
  if (n > 0 && threat[n] && threat[n - 1] >= 0xD800 && threat[n - 1] <= 0xDBFF) --n;
  if (n) std::memcpy(out->threat, threat, n * sizeof(WCHAR));
  out->kind = kind;
  return true;
}

std::string quarantineErrorText(DWORD error, DWORD dbStatus) {
  switch (error) {
    case ERROR_BADDB:
      return std::string("the quarantine database is damaged (") + quarantineDbStatusText(dbStatus) + ")";
    case ERROR_DIRECTORY: return "the quarantine folder is a file";
    case ERROR_PATH_NOT_FOUND: return "the installation directory or the target folder does not exist";
    case ERROR_FILE_NOT_FOUND: return "the file does not exist";
    case ERROR_FILENAME_EXCED_RANGE: return "the path is longer than the quarantine's 255 characters";
    case ERROR_ALREADY_EXISTS: return "a copy of this file is in quarantine already";
    case ERROR_FILE_EXISTS: return "the target exists (use --force to replace it)";
    case ERROR_SHARING_VIOLATION: return "the file is in use";
    case ERROR_ACCESS_DENIED: return "access denied (read-only, or a folder)";
    case ERROR_DISK_FULL: return "the device is full";
    case ERROR_INVALID_PARAMETER: return "no such record";
    case ERROR_INVALID_DATA: return "the record names a copy outside the quarantine folder";
    default: return "error " + std::to_string(error);
  }
}

// ---- Lock ---------------------------------------------------------------------

// The device-wide mutex of the store. A holder that died leaves it abandoned,
// which is taken as free: whatever it left half done is the next recover()'s.
class QuarantineStore::Lock {
 public:
  Lock() {
    h_ = CreateMutexW(nullptr, FALSE, kQuarantineMutexName);
    if (!h_) return;
    DWORD w = WaitForSingleObject(h_, INFINITE);
    owned_ = w == WAIT_OBJECT_0 || w == WAIT_ABANDONED_0;
  }
  ~Lock() {
    DWORD e = GetLastError();
    if (owned_) ReleaseMutex(h_);
    if (h_) CloseHandle(h_);
    SetLastError(e);
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  bool ok() const { return owned_; }

 private:
  HANDLE h_ = nullptr;
  bool owned_ = false;
};

// ---- Store --------------------------------------------------------------------

QuarantineStore::QuarantineStore(const WCHAR* installDir) {
  size_t n = installDir ? wcslen16(installDir) : 0;
  while (n > 0 && installDir[n - 1] == u'\\') --n;
  // The longest copy name ("qf235959.qrt") must still fit a record's field.
  if (n == 0 || n + wcslen16(kQuarantineFolder) + 13 + 1 > kQuarantinePathChars) return;
  std::memcpy(install_, installDir, n * sizeof(WCHAR));
  install_[n] = 0;
  std::memcpy(folder_, install_, n * sizeof(WCHAR));
  copyText(kQuarantineFolder, folder_ + n, MAX_PATH - n);
  pathsOk_ = joinName(folder_, kQuarantineDatabase, db_, MAX_PATH) &&
             joinName(folder_, kQuarantineScratch, scratch_, MAX_PATH);
}

bool QuarantineStore::pathsOk() {
  if (!pathsOk_) return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
  return true;
}

DWORD QuarantineStore::readAll(std::vector<QuarantineRecord>* out, DWORD* count) {
  if (out) out->clear();
  if (count) *count = 0;
  File f(CreateFileW(db_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) {
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? kQdbMissing : kQdbReadError;
  }
  BYTE head[kQuarantineHeadBytes];
  DWORD got = 0;
  if (!readUpTo(f.h, head, sizeof head, &got)) return kQdbReadError;
  QuarantineDbCheck check;
  check.head(head, got);
  if (got < sizeof head) return check.finish();
  BYTE rec[kQuarantineRecordBytes];
  for (DWORD i = 0;; ++i) {
    if (!readUpTo(f.h, rec, sizeof rec, &got)) return kQdbReadError;
    if (got == 0) break;
    check.body(rec, got);
    if (got < sizeof rec) break;
    // Past the count or the size limit the database is damaged anyway;
    // keep nothing more of it in memory.
    if (out && i < check.count() && i < kQuarantineMaxRecords) {
      out->emplace_back();
      decodeQuarantineRecord(rec, &out->back());
    }
  }
  DWORD status = check.finish();
  if (status != kQdbOk && out) out->clear();
  if (status == kQdbOk && count) *count = check.count();
  return status;
}

bool QuarantineStore::ReadAll(std::vector<QuarantineRecord>* out) {
  if (!pathsOk()) return false;
  Lock lock;
  recover();
  dbStatus_ = readAll(out);
  if (dbStatus_ == kQdbMissing) {
    dbStatus_ = kQdbOk;
    return true;
  }
  if (dbStatus_ != kQdbOk) return SetLastError(ERROR_BADDB), false;
  return true;
}

bool QuarantineStore::CountRecords(DWORD* count) {
  if (!pathsOk()) return false;
  Lock lock;
  recover();
  DWORD n = 0;
  dbStatus_ = readAll(nullptr, &n);
  if (dbStatus_ == kQdbMissing) return SetLastError(ERROR_FILE_NOT_FOUND), false;
  if (dbStatus_ != kQdbOk) return SetLastError(ERROR_BADDB), false;
  if (count) *count = n;
  return true;
}

bool QuarantineStore::ReadRecord(DWORD index, QuarantineRecord* out) {
  if (!pathsOk()) return false;
  Lock lock;
  recover();
  std::vector<QuarantineRecord> all;
  dbStatus_ = readAll(&all);
  if (dbStatus_ == kQdbMissing) return SetLastError(ERROR_FILE_NOT_FOUND), false;
  if (dbStatus_ != kQdbOk) return SetLastError(ERROR_BADDB), false;
  if (index >= all.size()) return SetLastError(ERROR_INVALID_PARAMETER), false;
  if (out) *out = all[index];
  return true;
}

bool QuarantineStore::findSource(const WCHAR* path, bool* found) {
  *found = false;
  std::vector<QuarantineRecord> all;
  dbStatus_ = readAll(&all);
  if (dbStatus_ == kQdbMissing) {
    dbStatus_ = kQdbOk;
    return true;
  }
  if (dbStatus_ != kQdbOk) return false;
  for (const QuarantineRecord& r : all)
    if (equalsNoCase(r.source, path)) *found = true;
  return true;
}

bool QuarantineStore::IsQuarantined(const WCHAR* path) {
  if (!path || !pathsOk()) return false;
  Lock lock;
  recover();
  bool found = false;
  if (!findSource(path, &found)) return SetLastError(ERROR_BADDB), false;
  return found;
}

// A change interrupted before its database was put in place leaves
// "TempQuar.dat" beside a sound database: the change did not happen, the
// scratch goes. One interrupted between deleting the database and renaming
// the scratch (as a store that deletes before it renames would leave it)
// has only the scratch: when it is sound it becomes the database.
bool QuarantineStore::recover() {
  if (!exists(scratch_)) return true;
  if (exists(db_)) return DeleteFileW(scratch_) != FALSE;
  File f(CreateFileW(scratch_, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) return false;
  QuarantineDbCheck check;
  BYTE buf[kCrcChunk];
  DWORD got = 0;
  if (!readUpTo(f.h, buf, kQuarantineHeadBytes, &got)) return false;
  check.head(buf, got);
  for (;;) {
    if (!readUpTo(f.h, buf, sizeof buf, &got)) return false;
    if (got == 0) break;
    check.body(buf, got);
  }
  f.close();
  if (check.finish() == kQdbOk) return MoveFileW(scratch_, db_) != FALSE;
  return DeleteFileW(scratch_) != FALSE;
}

// A damaged database keeps the records a reader might still make out and
// names copies that are still on disk: it is moved aside whole, never
// written over, and a new database is started.
bool QuarantineStore::setAsideDamaged() {
  for (DWORD n = 1; n <= kAsideAttempts; ++n) {
    WCHAR name[32], aside[MAX_PATH];
    if (format16(name, 32, u"wmquardb%u.bad", n) < 0 || !joinName(folder_, name, aside, MAX_PATH)) return false;
    if (MoveFileW(db_, aside)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool QuarantineStore::insideFolder(const WCHAR* path) const {
  size_t f = wcslen16(folder_), n = wcslen16(path);
  if (n <= f + 1 || path[f] != u'\\' || !equalsNoCase(std::u16string_view(path, f), folder_)) return false;
  std::u16string_view rest(path + f + 1, n - f - 1);
  if (rest.find(u'\\') != rest.npos || rest == u"." || rest == u"..") return false;
  return !equalsNoCase(rest, kQuarantineDatabase) && !equalsNoCase(rest, kQuarantineScratch);
}

bool QuarantineStore::makeCopy(const WCHAR* source, WCHAR* stored) {
  File in(CreateFileW(source, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!in.ok()) return false;
  File out;
  for (DWORD attempt = 0; attempt < kNameAttempts && !out.ok(); ++attempt) {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    WCHAR name[32];
    if (format16(name, 32, kQuarantineCopyFormat, utc.wHour, utc.wMinute, utc.wSecond) < 0 ||
        !joinName(folder_, name, stored, kQuarantinePathChars))
      return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
    // The wait makes the next name differ; unpadded fields can still spell
    // an older copy's name, so a taken name is passed over, never reused.
    Sleep(kQuarantineNameDelayMs);
    out.h = CreateFileW(stored, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!out.ok() && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  if (!out.ok()) return SetLastError(ERROR_FILE_EXISTS), false;
  if (!copyExchanged(in.h, out.h)) {
    // Half a copy is no copy.
    out.close();
    DWORD e = GetLastError();
    DeleteFileW(stored);
    return SetLastError(e), false;
  }
  return true;
}

template <class Drop>
bool QuarantineStore::rewrite(Drop&& drop, const BYTE* append, std::vector<QuarantineRecord>* removed) {
  removed->clear();
  File old(CreateFileW(db_, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!old.ok() && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  File out(CreateFileW(scratch_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                       nullptr));
  if (!out.ok()) return false;
  auto fail = [&](DWORD error) {
    out.close();
    DeleteFileW(scratch_);
    SetLastError(error);
    return false;
  };
  BYTE head[kQuarantineHeadBytes] = {};
  DWORD kept = 0;
  bool changed = append != nullptr;
  if (!writeExact(out.h, head, sizeof head)) return fail(GetLastError());
  if (old.ok()) {
    DWORD got = 0;
    if (!readUpTo(old.h, head, sizeof head, &got)) return fail(GetLastError());
    QuarantineDbCheck check;
    check.head(head, got);
    BYTE rec[kQuarantineRecordBytes];
    for (bool more = got == sizeof head; more;) {
      if (!readUpTo(old.h, rec, sizeof rec, &got)) return fail(GetLastError());
      if (got == 0) break;
      check.body(rec, got);
      if (got < sizeof rec) break;
      QuarantineRecord r;
      decodeQuarantineRecord(rec, &r);
      if (drop(r)) {
        removed->push_back(r);
        changed = true;
      } else {
        if (++kept > kQuarantineMaxRecords) return fail(ERROR_BADDB);
        if (!writeExact(out.h, rec, sizeof rec)) return fail(GetLastError());
      }
    }
    dbStatus_ = check.finish();
    if (dbStatus_ != kQdbOk) {
      removed->clear();
      return fail(ERROR_BADDB);
    }
  }
  if (!changed) {
    out.close();
    DeleteFileW(scratch_);
    return true;
  }
  if (append) {
    if (kept + 1 > kQuarantineMaxRecords) return fail(ERROR_DISK_FULL);
    if (!writeExact(out.h, append, kQuarantineRecordBytes)) return fail(GetLastError());
    ++kept;
  }
  BYTE fresh[kQuarantineHeadBytes];
  encodeQuarantineHead(kept, 0, old.ok() ? head + 12 : nullptr, fresh);
  if (!seekTo(out.h, 0) || !writeExact(out.h, fresh, sizeof fresh)) return fail(GetLastError());
  // The CRC is taken from what was written, read back.
  if (!seekTo(out.h, 8)) return fail(GetLastError());
  uint32_t reg = kCrc32Init;
  BYTE buf[kCrcChunk];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(out.h, buf, sizeof buf, &got, nullptr)) return fail(GetLastError());
    if (got == 0) break;
    reg = crc32Update(reg, buf, got);
  }
  BYTE crc[4];
  putU32(crc, ~reg);
  if (!seekTo(out.h, 4) || !writeExact(out.h, crc, 4) || !FlushFileBuffers(out.h)) return fail(GetLastError());
  out.close();
  bool hadOld = old.ok();
  old.close();
  // One step: a reader sees the old database or the new one.
  BOOL placed = hadOld ? DeleteAndRenameFile(db_, scratch_) : MoveFileW(scratch_, db_);
  if (!placed) {
    DWORD e = GetLastError();
    DeleteFileW(scratch_);
    removed->clear();
    return SetLastError(e), false;
  }
  return true;
}

void QuarantineStore::deleteCopies(const std::vector<QuarantineRecord>& removed) {
  // A record names its copy; only a file of the store's own folder is ever
  // deleted on its word, whatever a damaged or foreign record says.
  for (const QuarantineRecord& r : removed)
    if (insideFolder(r.stored)) DeleteFileW(r.stored);
}

bool QuarantineStore::Quarantine(const QuarantineRequest& request) {
  if (!pathsOk()) return false;
  if (!textField(request.source, kQuarantinePathChars) || !terminated(request.threat, kQuarantineThreatChars))
    return SetLastError(ERROR_INVALID_PARAMETER), false;
  Lock lock;
  if (!lock.ok()) return false;
  if (!isDirectory(install_)) return SetLastError(ERROR_PATH_NOT_FOUND), false;
  if (exists(folder_) && !isDirectory(folder_)) return SetLastError(ERROR_DIRECTORY), false;
  CreateDirectoryW(folder_, nullptr);
  if (!isDirectory(folder_)) return false;
  recover();

  bool found = false;
  if (!findSource(request.source, &found)) {
    if (dbStatus_ == kQdbReadError) return SetLastError(ERROR_BADDB), false;
    if (!setAsideDamaged()) return false;
    dbStatus_ = kQdbOk;
  }
  if (found) {
    if (request.kind == kQuarantineMove) return DeleteFileW(request.source) != FALSE;
    if (request.kind == kQuarantineCopy) return SetLastError(ERROR_ALREADY_EXISTS), false;
    return true;
  }

  QuarantineRecord rec{};
  if (!makeCopy(request.source, rec.stored)) return false;
  copyText(request.source, rec.source, kQuarantinePathChars);
  copyText(request.threat, rec.threat, kQuarantineThreatChars);
  GetLocalTime(&rec.time);
  rec.kind = request.kind;
  BYTE bytes[kQuarantineRecordBytes];
  std::vector<QuarantineRecord> removed;
  if (!encodeQuarantineRecord(rec, bytes) ||
      !rewrite([](const QuarantineRecord&) { return false; }, bytes, &removed)) {
    DWORD e = GetLastError();
    DeleteFileW(rec.stored);
    return SetLastError(e ? e : ERROR_FILENAME_EXCED_RANGE), false;
  }
  if (request.kind != kQuarantineMove) return true;
  if (DeleteFileW(request.source)) return true;
  // The source stays where it was: its record and copy go again.
  DWORD e = GetLastError();
  RemoveRecords(request);
  return SetLastError(e), false;
}

bool QuarantineStore::RemoveRecords(const QuarantineRequest& request) {
  if (!pathsOk()) return false;
  if (!textField(request.source, kQuarantinePathChars)) return SetLastError(ERROR_INVALID_PARAMETER), false;
  Lock lock;
  if (!lock.ok()) return false;
  recover();
  std::u16string_view source(request.source);
  std::vector<QuarantineRecord> removed;
  if (!rewrite([&](const QuarantineRecord& r) { return r.kind == request.kind && source == r.source; }, nullptr,
               &removed))
    return false;
  deleteCopies(removed);
  return true;
}

bool QuarantineStore::Restore(DWORD index, const WCHAR* target, bool overwrite, bool* recordKept,
                              const WCHAR* expectedCopy) {
  if (recordKept) *recordKept = false;
  if (!pathsOk()) return false;
  Lock lock;
  if (!lock.ok()) return false;
  recover();
  std::vector<QuarantineRecord> all;
  dbStatus_ = readAll(&all);
  if (dbStatus_ != kQdbOk && dbStatus_ != kQdbMissing) return SetLastError(ERROR_BADDB), false;
  if (index >= all.size()) return SetLastError(ERROR_INVALID_PARAMETER), false;
  const QuarantineRecord rec = all[index];
  if (expectedCopy && std::u16string_view(rec.stored) != std::u16string_view(expectedCopy))
    return SetLastError(ERROR_INVALID_PARAMETER), false;
  if (!insideFolder(rec.stored)) return SetLastError(ERROR_INVALID_DATA), false;
  WCHAR dest[MAX_PATH];
  if (!copyText(target ? target : rec.source, dest, MAX_PATH) || !dest[0])
    return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
  if (isDirectory(dest)) return SetLastError(ERROR_ACCESS_DENIED), false;
  if (!overwrite && exists(dest)) return SetLastError(ERROR_FILE_EXISTS), false;

  File in(CreateFileW(rec.stored, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      nullptr));
  if (!in.ok()) return false;
  // Written beside the target under a free name and put in place whole.
  WCHAR temp[MAX_PATH];
  File out;
  size_t slash = wcslen16(dest);
  while (slash > 0 && dest[slash - 1] != u'\\') --slash;
  for (DWORD n = 0; n < kRestoreAttempts && !out.ok(); ++n) {
    WCHAR name[24];
    format16(name, 24, u"~nxr%u.tmp", n);
    size_t s = wcslen16(name);
    if (slash + s + 1 > MAX_PATH) return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
    std::memcpy(temp, dest, slash * sizeof(WCHAR));
    std::memcpy(temp + slash, name, (s + 1) * sizeof(WCHAR));
    out.h = CreateFileW(temp, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!out.ok() && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  if (!out.ok()) return SetLastError(ERROR_FILE_EXISTS), false;
  bool copied = copyExchanged(in.h, out.h);
  out.close();
  in.close();
  BOOL placed = FALSE;
  if (copied) {
    if (exists(dest))
      placed = overwrite ? DeleteAndRenameFile(dest, temp) : (SetLastError(ERROR_FILE_EXISTS), FALSE);
    else
      placed = MoveFileW(temp, dest);  // never replaces a file that appeared meanwhile
  }
  if (!placed) {
    DWORD e = GetLastError();
    DeleteFileW(temp);
    return SetLastError(e), false;
  }

  // The file is back: now the record, then its copy.
  DWORD position = 0;
  std::vector<QuarantineRecord> removed;
  bool ok = rewrite([&](const QuarantineRecord&) { return position++ == index; }, nullptr, &removed);
  if (!ok || removed.size() != 1) {
    if (recordKept) *recordKept = true;
    return true;
  }
  deleteCopies(removed);
  return true;
}

}  // namespace nx
