#include "common/report_log.h"

#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/options_files.h"
#include "common/options_records.h"
#include "common/queue_sender.h"

namespace nx {

using namespace ce;

namespace {

const WCHAR* kindPrefix(DWORD kind) {
  switch (kind) {
    case kReportScan:
      return u"scn";
    case kReportOnline:
      return u"oln";
    case kReportUpdate:
      return u"upd";
    default:
      return nullptr;
  }
}

// dir (without a trailing separator) + rest, whole or not at all.
bool joinPath(const WCHAR* dir, const WCHAR* rest, WCHAR* out, size_t cap) {
  if (!dir || !rest) return false;
  size_t d = wcslen16(dir);
  while (d > 0 && dir[d - 1] == u'\\') --d;
  size_t r = wcslen16(rest);
  if (d + r + 1 > cap) return false;
  std::memcpy(out, dir, d * sizeof(WCHAR));
  std::memcpy(out + d, rest, (r + 1) * sizeof(WCHAR));
  return true;
}

std::u16string fmt(const WCHAR* f, ...) {
  va_list ap;
  va_start(ap, f);
  std::u16string s = vformat16(f, ap);
  va_end(ap);
  return s;
}

std::u16string databaseTime(const UiStrings& s, const SYSTEMTIME& t) {
  return fmt(u"%02d %s %d [%02d:%02d:%02d]", t.wDay, monthName(s, t.wMonth).c_str(), t.wYear, t.wHour, t.wMinute,
             t.wSecond);
}

std::u16string actionText(const UiStrings& s, int action) {
  switch (action) {
    case kActionRepairOrDelete:
      return s.get(ui::kActionRepairDelete);
    case kActionRepairOrQuarantine:
      return s.get(ui::kActionRepairQuarantine);
    case kActionDelete:
      return s.get(ui::kActionDelete);
    case kActionPrompt:
      return s.get(ui::kActionPrompt);
    case kActionReportOnly:
      return s.get(ui::kActionReportOnly);
    default:
      return {};
  }
}

}  // namespace

// ---- Version file -------------------------------------------------------------

bool decodeScanVersion(const void* data, size_t size, ScanVersionInfo* out) {
  if (!data || !out || size < kScanVersionBytes) return false;
  const BYTE* p = static_cast<const BYTE*>(data);
  out->major = static_cast<int16_t>(getU16(p));
  out->minor = static_cast<int16_t>(getU16(p + 2));
  getSystemTimeField(p + 4, &out->database);
  return true;
}

bool readScanVersion(const WCHAR* installDir, ScanVersionInfo* out) {
  WCHAR path[MAX_PATH];
  if (!joinPath(installDir, kScanVersionFile, path, MAX_PATH)) return false;
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BYTE buf[kScanVersionBytes];
  DWORD got = 0;
  BOOL ok = ReadFile(h, buf, sizeof buf, &got, nullptr);
  CloseHandle(h);
  return ok && decodeScanVersion(buf, got, out);
}

// ---- Texts --------------------------------------------------------------------

std::u16string dayName(const UiStrings& s, WORD dayOfWeek) {
  if (dayOfWeek == 0) return s.get(ui::kSunday);
  if (dayOfWeek <= 6) return s.get(ui::kMonday + dayOfWeek - 1);
  return {};
}

std::u16string monthName(const UiStrings& s, WORD month) {
  if (month >= 1 && month <= 12) return s.get(ui::kJanuary + month - 1);
  return {};
}

std::u16string formatReportHeader(const UiStrings& s, DWORD kind, const WCHAR* title, const SYSTEMTIME& t,
                                  const ScanVersionInfo* v, int whatToScan, int action) {
  if (!v) return {};
  const std::u16string separator = s.get(ui::kSeparator);
  std::u16string date =
      fmt(u"%s, %02d %s %d", dayName(s, t.wDayOfWeek).c_str(), t.wDay, monthName(s, t.wMonth).c_str(), t.wYear);
  std::u16string time = fmt(u"[%02d:%02d:%02d]", t.wHour, t.wMinute, t.wSecond);
  std::u16string version = fmt(u"%d.%02d", v->major, v->minor);
  // The whole header goes through one buffer of 2048 characters; what does
  // not fit is cut, never written past it.
  WCHAR buf[kReportHeaderChars];
  buf[0] = 0;
  int n = format16(buf, kReportHeaderChars, u"%s %s \r\n%s %s\r\n%s %s %s\r\n%s %s\r\n%s\r\n",
                   s.get(ui::kReportFor).c_str(), title ? title : u"", date.c_str(), time.c_str(),
                   s.get(ui::kCompany).c_str(), s.get(ui::kVersion).c_str(), version.c_str(),
                   s.get(ui::kVirusDatabase).c_str(), databaseTime(s, v->database).c_str(), separator.c_str());
  std::u16string header(buf);
  if (n >= 0 && kind == kReportScan) {
    std::u16string item = s.get(whatToScan == 2 ? ui::kScanAllFiles : ui::kScanExecutables);
    std::u16string more = fmt(u"\r\n%s\r\n%s %s\r\n%s %s\r\n%s\r\n", s.get(ui::kScannerSettings).c_str(),
                              s.get(ui::kWhatToScan).c_str(), item.c_str(), s.get(ui::kRespond).c_str(),
                              actionText(s, action).c_str(), separator.c_str());
    header += more.substr(0, kReportHeaderChars - 1 - header.size());
  }
  return header;
}

std::u16string formatOnlineEntry(const UiStrings& s, DWORD resultCode, const WCHAR* threat, const WCHAR* path) {
  DWORD word = 0;
  switch (resultCode) {
    case 3001: word = ui::kWordRepaired; break;
    case 3002: word = ui::kWordUnrepairable; break;
    case 3003: word = ui::kWordDeleted; break;
    case 3004: word = ui::kWordSkipped; break;
    case 3006: word = ui::kWordMarkForDeletion; break;
    case 3007: word = ui::kWordQuarantined; break;
    case 3008: word = ui::kWordNotScanned; break;
    default: return {};
  }
  return fmt(u"%s %s\r\n%s %s\r\n%s %s\r\n%s", s.get(ui::kFileName).c_str(), path ? path : u"",
             s.get(ui::kDetected).c_str(), threat ? threat : u"", s.get(ui::kActionTaken).c_str(),
             s.get(word).c_str(), s.get(ui::kSeparator, ui::kEntrySeparatorFallback).c_str());
}

std::u16string formatUpdateBody(const UiStrings& s, DWORD resultCode, const ScanVersionInfo* oldVersion,
                                const ScanVersionInfo* newVersion) {
  const std::u16string separator = s.get(ui::kSeparator);
  auto simple = [&](DWORD id) { return fmt(u"%s\r\n%s", s.get(id).c_str(), separator.c_str()); };
  switch (resultCode) {
    case 2000: return simple(ui::kUpdateFailed);
    case 2002: return simple(ui::kInterrupted);
    case 2003: return simple(ui::kUpToDate);
    case 2006: return simple(ui::kNoConnection);
    case 2008: return simple(ui::kCorruptDefinition);
    case 2014: return simple(ui::kNotApplicable);
    case 2007:
      return fmt(u"%s\r\n%s\r\n%s", s.get(ui::kNoDefinitions).c_str(), s.get(ui::kSpecifyPath).c_str(),
                 separator.c_str());
    case 2001: {
      const ScanVersionInfo none{};
      const std::u16string fromLabel = s.get(ui::kFromVersion);
      // Without a label of its own the second block borrows the first's.
      const std::u16string toLabel = s.get(ui::kToVersion, fromLabel.c_str());
      auto block = [&](const std::u16string& label, const ScanVersionInfo& v) {
        return fmt(u"%s %d.%02d\r\n%s %s", label.c_str(), v.major, v.minor, s.get(ui::kVirusDatabase).c_str(),
                   databaseTime(s, v.database).c_str());
      };
      return fmt(u"%s.\r\n\r\n%s\r\n\r\n%s\r\n%s", s.get(ui::kUpdated).c_str(),
                 block(fromLabel, oldVersion ? *oldVersion : none).c_str(),
                 block(toLabel, newVersion ? *newVersion : none).c_str(), separator.c_str());
    }
    default:
      return {};
  }
}

std::u16string updateTitle(const UiStrings& s, DWORD resultCode) {
  if (resultCode == 2001) return s.get(ui::kTitleUpdated);
  if (resultCode == 2003) return s.get(ui::kTitleUpToDate);
  return s.get(ui::kTitleFailed);
}

// ---- Session ------------------------------------------------------------------

ReportSession::~ReportSession() {
  if (isOpen()) Close();
}

bool ReportSession::Open(const WCHAR* installDir, DWORD kind, const WCHAR* title, const WCHAR* indexName) {
  if (isOpen() || !installDir || !indexName) return false;
  const WCHAR* prefix = kindPrefix(kind);
  if (!prefix) return false;
  WCHAR folder[MAX_PATH];
  if (!joinPath(installDir, kReportFolder, folder, MAX_PATH) || !joinPath(installDir, indexName, index_, MAX_PATH))
    return false;
  failed_ = false;
  kind_ = kind;
  strings_.load(installDir);  // without it every text is its built-in one
  CreateDirectoryW(folder, nullptr);

  // The name carries the UTC time down to milliseconds, unpadded, and the
  // 800 ms wait makes the next one differ. Unpadded fields can still spell an
  // older report's name, so the file is created new, never appended to.
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 8 && h == INVALID_HANDLE_VALUE; ++attempt) {
    SYSTEMTIME utc{};
    GetSystemTime(&utc);
    WCHAR name[64];
    if (format16(name, 64, u"\\%s%d%d%d%d.rpt", prefix, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds) < 0 ||
        !joinPath(folder, name, path_, MAX_PATH))
      break;
    // The index stores the path in the ANSI code page: a path it cannot hold
    // whole is refused here rather than listed as some other file.
    IndexRecord probe;
    if (!encodeIndexRecord(SYSTEMTIME{}, path_, nullptr, &probe)) break;
    Sleep(kReportNameDelayMs);
    // The guard leaves the report alone while it is written: it would find
    // it held and say it could not be scanned.
    sendIgnoreMessage(path_, true);
    h = CreateFileW(path_, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      sendIgnoreMessage(path_, false);
      if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) break;
    }
  }
  if (h == INVALID_HANDLE_VALUE) {
    path_[0] = 0;
    strings_.unload();
    return false;
  }
  file_ = h;

  size_t n = 0;
  if (title)
    while (n + 1 < kReportTitleChars && title[n]) ++n;
  // Never end on half a surrogate pair.
  if (n > 0 && title[n] && title[n - 1] >= 0xD800 && title[n - 1] <= 0xDBFF) --n;
  std::memcpy(title_, title ? title : u"", n * sizeof(WCHAR));
  title_[n] = 0;
  GetLocalTime(&opened_);

  ScanVersionInfo version;
  bool haveVersion = readScanVersion(installDir, &version);
  int what = 1, action = kActionRepairOrQuarantine;
  if (haveVersion && kind == kReportScan) {
    WM_SCAN_OPTS scan{};
    if (CWmOptionsGen::ReadScanOpts(installDir, &scan, kOptionsReadCurrent)) {
      what = scan.bWhatToScan;
      action = scan.bAction;
    }
  }
  std::u16string header = formatReportHeader(strings_, kind, title_, opened_, haveVersion ? &version : nullptr,
                                             what, action);
  // A header that cannot be written does not stop the report.
  if (!header.empty()) appendText(header.data(), header.size());
  return true;
}

bool ReportSession::appendText(const WCHAR* text, size_t len) {
  if (!isOpen()) return false;
  if (len == 0) return true;
  if (len > 0x3FFFFFFF) return false;
  // UTF-16LE, no byte-order mark, no terminator.
  std::string bytes(len * 2, '\0');
  for (size_t i = 0; i < len; ++i) {
    bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
  if (SetFilePointer(file_, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS)
    return false;
  DWORD put = 0;
  return WriteFile(file_, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size();
}

bool ReportSession::Write(const WCHAR* text) {
  if (!isOpen() || !text) return false;
  if (!appendText(text, wcslen16(text))) failed_ = true;
  return !failed_;
}

bool ReportSession::WriteOnlineEntry(DWORD resultCode, const WCHAR* threat, const WCHAR* path) {
  std::u16string entry = formatOnlineEntry(strings_, resultCode, threat, path);
  if (entry.empty()) return false;
  return Write(entry.c_str());
}

bool ReportSession::WriteUpdateBody(DWORD resultCode, const ScanVersionInfo* oldVersion,
                                    const ScanVersionInfo* newVersion) {
  std::u16string body = formatUpdateBody(strings_, resultCode, oldVersion, newVersion);
  if (body.empty()) return false;
  return Write(body.c_str());
}

bool ReportSession::Close() {
  if (!isOpen()) return false;
  CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
  strings_.unload();
  bool listed = false;
  // A report whose entry could not be written is not listed.
  if (!failed_) {
    IndexRecord record;
    if (encodeIndexRecord(opened_, path_, title_, &record)) {
      sendIgnoreMessage(index_, true);
      listed = appendIndexRecord(index_, kind_, record) == kIndexOk;
      sendIgnoreMessage(index_, false);
    }
    if (!listed) DeleteFileW(path_);
  }
  sendIgnoreMessage(path_, false);
  return listed;
}

}  // namespace nx
