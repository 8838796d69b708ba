#include "common/options_files.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/crc32.h"
#include "common/queue_sender.h"

namespace nx {

using namespace ce;

// ---- Record fields ------------------------------------------------------------

size_t getTextField(const BYTE* field, size_t chars, WCHAR* out, size_t cap) {
  if (!out || cap == 0) return 0;
  size_t n = 0;
  while (n < chars && n + 1 < cap) {
    WCHAR c = getU16(field + 2 * n);
    if (c == 0) break;
    out[n++] = c;
  }
  out[n] = 0;
  return n;
}

bool putTextField(BYTE* field, size_t chars, const WCHAR* text) {
  size_t len = text ? wcslen16(text) : 0;
  if (len + 1 > chars) return false;
  std::memset(field, 0, chars * 2);
  for (size_t i = 0; i < len; ++i) putU16(field + 2 * i, text[i]);
  return true;
}

void getSystemTimeField(const BYTE* f, SYSTEMTIME* st) {
  st->wYear = getU16(f);
  st->wMonth = getU16(f + 2);
  st->wDayOfWeek = getU16(f + 4);
  st->wDay = getU16(f + 6);
  st->wHour = getU16(f + 8);
  st->wMinute = getU16(f + 10);
  st->wSecond = getU16(f + 12);
  st->wMilliseconds = getU16(f + 14);
}

void putSystemTimeField(BYTE* f, const SYSTEMTIME& st) {
  const WORD v[8] = {st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
  for (int i = 0; i < 8; ++i) putU16(f + 2 * i, v[i]);
}

// ---- Areas --------------------------------------------------------------------

namespace {

const OptionsAreaInfo kAreas[kOptionsAreaCount] = {
    {u"\\Config\\wmolncnf.dat", u"\\Config\\dfolncnf.dat", sizeof(WM_ONLINE_OPTS), u"Online Options_Changed"},
    {u"\\Config\\wmgencnf.dat", u"\\Config\\dfgencnf.dat", sizeof(WM_GENERAL_OPTS), u"Other Options_Changed"},
    {u"\\Config\\wmscncnf.dat", u"\\Config\\dfscncnf.dat", sizeof(WM_SCAN_OPTS), nullptr},
    {u"\\Config\\wmupdcnf.dat", u"\\Config\\dfupdcnf.dat", sizeof(WM_UPDATE_OPTS), u"Update Options_Changed"},
    {u"\\Config\\wmschcnf.dat", u"\\Config\\dfschcnf.dat", sizeof(WM_SCHEDULE_OPTS), nullptr},
    {u"\\Config\\wmintcnf.dat", u"\\Config\\dfintcnf.dat", sizeof(WM_INTERNET_OPTS), nullptr},
};

constexpr DWORD kChunk = 1024;
constexpr BYTE kMarker[4] = {1, 1, 1, 1};

void setCode(DWORD* code, DWORD value) {
  if (code) *code = value;
}

// A handle closed on every path out.
struct FileHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~FileHandle() { close(); }
  void close() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    h = INVALID_HANDLE_VALUE;
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

bool seekTo(HANDLE h, DWORD pos) {
  SetLastError(ERROR_SUCCESS);
  return SetFilePointer(h, static_cast<LONG>(pos), nullptr, FILE_BEGIN) == pos;
}

bool readExact(HANDLE h, void* buf, DWORD n) {
  DWORD got = 0;
  return ReadFile(h, buf, n, &got, nullptr) && got == n;
}

bool writeExact(HANDLE h, const void* buf, DWORD n) {
  DWORD put = 0;
  return WriteFile(h, buf, n, &put, nullptr) && put == n;
}

// CRC-32 from the current position to the end of the file, in 1024-byte
// reads; false on a read error. size receives the bytes fed.
bool crcToEnd(HANDLE h, uint32_t* crc, uint64_t* size) {
  BYTE buf[kChunk];
  uint32_t reg = kCrc32Init;
  uint64_t total = 0;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h, buf, kChunk, &got, nullptr)) return false;
    if (got == 0) break;
    reg = crc32Update(reg, buf, got);
    total += got;
  }
  *crc = ~reg;
  if (size) *size = total;
  return true;
}

// Ignore messages around a write: "1" before, "0" after on every way out.
struct IgnoreBracket {
  const WCHAR* path;
  explicit IgnoreBracket(const WCHAR* p) : path(p) { sendIgnoreMessage(path, true); }
  ~IgnoreBracket() { sendIgnoreMessage(path, false); }
};

}  // namespace

const OptionsAreaInfo& optionsAreaInfo(OptionsArea area) { return kAreas[static_cast<int>(area)]; }

// ---- Decoding -----------------------------------------------------------------

// The read check over any source of bytes: head, then the payload in pieces
// through the CRC, keeping the first n bytes aside. The record is handed out
// only once the file proved whole and sound.
template <class ReadFn>
static DWORD decodeOptions(ReadFn&& read, void* record, DWORD n) {
  if (n > kOptionsMaxRecord) return kOptionsReadFailed;
  BYTE head[kOptionsHeadBytes];
  if (read(head, kOptionsHeadBytes) != kOptionsHeadBytes) return kOptionsReadFailed;
  std::array<BYTE, kOptionsMaxRecord> kept{};
  BYTE buf[kChunk];
  uint32_t reg = kCrc32Init;
  uint64_t total = 0;
  for (;;) {
    long got = read(buf, kChunk);
    if (got < 0) return kOptionsReadFailed;
    if (got == 0) break;
    if (total < n) {
      uint64_t take = std::min<uint64_t>(n - total, static_cast<uint64_t>(got));
      std::memcpy(kept.data() + total, buf, static_cast<size_t>(take));
    }
    reg = crc32Update(reg, buf, static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
  }
  // A file too short for its record is a short read whatever its checksum
  // says: the record cannot be had from it.
  if (total < n) return kOptionsReadFailed;
  if (~reg != getU32(head + 4)) return kOptionsBadCrc;
  std::memcpy(record, kept.data(), n);
  return kOptionsOk;
}

DWORD decodeOptionsImage(const void* image, size_t size, void* record, DWORD n) {
  const BYTE* p = static_cast<const BYTE*>(image);
  size_t pos = 0;
  auto read = [&](BYTE* out, DWORD want) -> long {
    size_t take = std::min<size_t>(want, size - pos);
    if (take) std::memcpy(out, p + pos, take);
    pos += take;
    return static_cast<long>(take);
  };
  return decodeOptions(read, record, n);
}

// ---- File operations ------------------------------------------------------------

// Another writer holds an options file only for the moment of one write.
constexpr int kBusyTries = 20;
constexpr DWORD kBusyPauseMs = 5;

BOOL CWmOptionsGen::ReadFile(const WCHAR* path, void* record, DWORD n, DWORD* code) {
  setCode(code, kOptionsOk);
  if (!path || !record || n == 0 || n > kOptionsMaxRecord) return FALSE;
  FileHandle f;
  f.h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (!f.ok()) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) setCode(code, kOptionsNotFound);
    return FALSE;
  }
  HANDLE h = f.h;
  auto read = [h](BYTE* out, DWORD want) -> long {
    DWORD got = 0;
    if (!ce::ReadFile(h, out, want, &got, nullptr)) return -1;
    return static_cast<long>(got);
  };
  DWORD result = decodeOptions(read, record, n);
  setCode(code, result);
  return result == kOptionsOk ? TRUE : FALSE;
}

BOOL CWmOptionsGen::WriteFile(const WCHAR* path, const void* record, DWORD n, DWORD* code) {
  setCode(code, kOptionsOk);
  if (!path || !record || n == 0 || n > kOptionsMaxRecord) return FALSE;
  IgnoreBracket bracket(path);
  FileHandle f;
  // A reader making the missing file from the defaults holds it for the
  // moment of one write; the save waits for it rather than failing.
  for (int tries = 0;; ++tries) {
    f.h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f.ok() || GetLastError() != ERROR_SHARING_VIOLATION || tries + 1 >= kBusyTries) break;
    Sleep(kBusyPauseMs);
  }
  if (!f.ok()) {
    setCode(code, GetLastError() == ERROR_FILE_NOT_FOUND ? kOptionsNotFound : kOptionsWriteFailed);
    return FALSE;
  }
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  // An existing file too short to hold a head gets a fresh one; otherwise the
  // record would land behind a gap and the head would be whatever lay there.
  if (existed && GetFileSize(f.h, nullptr) < kOptionsHeadBytes) existed = false;
  if (!existed) {
    BYTE head[kOptionsHeadBytes];
    std::memcpy(head, kMarker, 4);
    putU32(head + 4, 1);
    if (!seekTo(f.h, 0)) return setCode(code, kOptionsReadFailed), FALSE;
    if (!writeExact(f.h, head, kOptionsHeadBytes)) return setCode(code, kOptionsWriteFailed), FALSE;
  }
  if (!seekTo(f.h, kOptionsHeadBytes)) return setCode(code, kOptionsReadFailed), FALSE;
  if (!writeExact(f.h, record, n)) return setCode(code, kOptionsWriteFailed), FALSE;
  // The checksum covers everything after the head, a longer file's tail too.
  uint32_t crc = 0;
  if (!seekTo(f.h, kOptionsHeadBytes) || !crcToEnd(f.h, &crc, nullptr)) return setCode(code, kOptionsReadFailed), FALSE;
  BYTE head[kOptionsHeadBytes];
  if (!seekTo(f.h, 0) || !readExact(f.h, head, kOptionsHeadBytes)) return setCode(code, kOptionsReadFailed), FALSE;
  putU32(head + 4, crc);
  if (!seekTo(f.h, 0)) return setCode(code, kOptionsReadFailed), FALSE;
  if (!writeExact(f.h, head, kOptionsHeadBytes)) return setCode(code, kOptionsWriteFailed), FALSE;
  f.close();
  return TRUE;
}

void CWmOptionsGen::BuiltInDefaults(OptionsArea area, void* record) {
  std::memset(record, 0, optionsAreaInfo(area).size);
  BYTE* r = static_cast<BYTE*>(record);
  switch (area) {
    case OptionsArea::Online:
      r[0] = 1;  // protection on
      r[1] = kActionRepairOrQuarantine;
      r[2] = 1;  // quarantine copy first
      break;
    case OptionsArea::General:
      r[0] = 1;  // scan an inserted card
      break;
    case OptionsArea::Scan:
      r[0] = 1;  // executable files
      r[1] = kActionRepairOrQuarantine;
      r[2] = 1;
      break;
    case OptionsArea::Update:
    case OptionsArea::Internet:
      break;
    case OptionsArea::Schedule: {
      SYSTEMTIME now{};
      GetLocalTime(&now);
      putSystemTimeField(r + 2, now);
      break;
    }
  }
}

namespace {

enum class CreateResult { Created, Exists, Failed };

// A whole file (head and record) made only where none is: whoever made one
// first wins, so a file written meanwhile by someone else is never replaced.
CreateResult createNew(const WCHAR* path, const void* record, DWORD n) {
  FileHandle f;
  f.h = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
  if (!f.ok()) {
    DWORD e = GetLastError();
    // Held by another opener: it was made by someone else a moment ago.
    return e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS || e == ERROR_SHARING_VIOLATION ? CreateResult::Exists
                                                                                               : CreateResult::Failed;
  }
  // A file is made and then held: a writer quick enough to open, fill and
  // close it between the two has saved settings that stand.
  if (GetFileSize(f.h, nullptr) != 0) return CreateResult::Exists;
  BYTE image[kOptionsHeadBytes + kOptionsMaxRecord];
  std::memcpy(image, kMarker, 4);
  std::memcpy(image + kOptionsHeadBytes, record, n);
  putU32(image + 4, crc32(image + kOptionsHeadBytes, n));
  if (!writeExact(f.h, image, kOptionsHeadBytes + n)) {
    f.close();
    // A half-written file would fail every later read with 101/104 instead
    // of being rebuilt.
    DeleteFileW(path);
    return CreateResult::Failed;
  }
  f.close();
  return CreateResult::Created;
}

}  // namespace

BOOL CWmOptionsGen::CreateDefaults(OptionsArea area, const WCHAR* path, void* record, DWORD* code) {
  setCode(code, kOptionsOk);
  if (!path || !record) return FALSE;
  const DWORD n = optionsAreaInfo(area).size;
  BuiltInDefaults(area, record);
  IgnoreBracket bracket(path);
  if (createNew(path, record, n) != CreateResult::Created) {
    setCode(code, kOptionsWriteFailed);
    return FALSE;
  }
  return TRUE;
}

bool CWmOptionsGen::FilePath(OptionsArea area, const WCHAR* installDir, bool defaults, WCHAR* out, size_t cap) {
  if (!installDir || !out) return false;
  size_t dirLen = wcslen16(installDir);
  if (dirLen > kOptionsMaxInstallDir) return false;
  while (dirLen > 0 && installDir[dirLen - 1] == u'\\') --dirLen;
  const OptionsAreaInfo& info = optionsAreaInfo(area);
  const WCHAR* file = defaults ? info.defaultsFile : info.currentFile;
  size_t fileLen = wcslen16(file);
  size_t total = dirLen + fileLen;
  if (total > kOptionsMaxPath || total + 1 > cap) return false;
  std::memcpy(out, installDir, dirLen * sizeof(WCHAR));
  std::memcpy(out + dirLen, file, (fileLen + 1) * sizeof(WCHAR));
  return true;
}

// ---- Areas ----------------------------------------------------------------------

BOOL CWmOptionsGen::Read(OptionsArea area, const WCHAR* installDir, void* record, int mode, DWORD* detail) {
  setCode(detail, kOptionsOk);
  if (!record) return FALSE;
  const DWORD n = optionsAreaInfo(area).size;
  WCHAR current[kOptionsMaxPath + 1], defaults[kOptionsMaxPath + 1];
  if (!FilePath(area, installDir, false, current, kOptionsMaxPath + 1) ||
      !FilePath(area, installDir, true, defaults, kOptionsMaxPath + 1))
    return FALSE;
  // Work on a copy: a failed read leaves the caller's record as it was, so
  // the caller carries on with the settings it had.
  std::array<BYTE, kOptionsMaxRecord> rec{};
  DWORD code = kOptionsOk;
  if (mode == kOptionsDefaults) {
    BOOL ok = ReadFile(defaults, rec.data(), n, &code);
    if (!ok && code == kOptionsNotFound) ok = CreateDefaults(area, defaults, rec.data(), &code);
    setCode(detail, code);
    if (ok) std::memcpy(record, rec.data(), n);
    return ok;
  }
  BOOL ok = ReadFile(current, rec.data(), n, &code);
  if (ok || code != kOptionsNotFound) {
    // A damaged current file is reported, never replaced: the user's
    // settings are not silently thrown away.
    setCode(detail, code);
    if (ok) std::memcpy(record, rec.data(), n);
    return ok;
  }
  ok = ReadFile(defaults, rec.data(), n, &code);
  if (!ok) {
    if (code != kOptionsNotFound) return setCode(detail, code), FALSE;
    // The built-in defaults are in rec even when the defaults file could not
    // be created; the current file is still rebuilt from them.
    CreateDefaults(area, defaults, rec.data(), &code);
  }
  // The current file is made only while it is still missing: settings the
  // user saved since the first look above are theirs and are read instead.
  CreateResult made;
  {
    IgnoreBracket bracket(current);
    made = createNew(current, rec.data(), n);
  }
  if (made == CreateResult::Exists) {
    // Whoever made it may still be writing it; give them a moment.
    for (int tries = 0; tries < kBusyTries; ++tries) {
      ok = ReadFile(current, rec.data(), n, &code);
      if (ok) break;
      Sleep(kBusyPauseMs);
    }
  } else {
    ok = made == CreateResult::Created ? TRUE : FALSE;
    code = ok ? kOptionsOk : kOptionsWriteFailed;
  }
  setCode(detail, code);
  if (ok) std::memcpy(record, rec.data(), n);
  return ok;
}

BOOL CWmOptionsGen::Write(OptionsArea area, const WCHAR* installDir, const void* record, int mode, DWORD* detail) {
  setCode(detail, kOptionsOk);
  if (!record) return FALSE;
  WCHAR path[kOptionsMaxPath + 1];
  bool toDefaults = mode == kOptionsDefaults;
  if (!FilePath(area, installDir, toDefaults, path, kOptionsMaxPath + 1)) return FALSE;
  DWORD code = kOptionsOk;
  BOOL ok = WriteFile(path, record, optionsAreaInfo(area).size, &code);
  setCode(detail, code);
  if (ok && !toDefaults) signalOptionsChanged(area);
  return ok;
}

#define NX_OPTIONS_AREA(Name, Record, Area)                                                         \
  BOOL CWmOptionsGen::Read##Name(const WCHAR* installDir, Record* record, int mode) {               \
    return Read(OptionsArea::Area, installDir, record, mode);                                      \
  }                                                                                                \
  BOOL CWmOptionsGen::Write##Name(const WCHAR* installDir, const Record* record, int mode) {        \
    return Write(OptionsArea::Area, installDir, record, mode);                                     \
  }
NX_OPTIONS_AREA(OnlineOpts, WM_ONLINE_OPTS, Online)
NX_OPTIONS_AREA(GeneralOpts, WM_GENERAL_OPTS, General)
NX_OPTIONS_AREA(ScanOpts, WM_SCAN_OPTS, Scan)
NX_OPTIONS_AREA(UpdateOpts, WM_UPDATE_OPTS, Update)
NX_OPTIONS_AREA(ScheduleOpts, WM_SCHEDULE_OPTS, Schedule)
NX_OPTIONS_AREA(InternetOpts, WM_INTERNET_OPTS, Internet)
#undef NX_OPTIONS_AREA

void signalOptionsChanged(OptionsArea area) {
  const WCHAR* name = optionsAreaInfo(area).changedEvent;
  if (!name) return;
  HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
  if (!e) return;
  SetEvent(e);
  CloseHandle(e);
}

}  // namespace nx
