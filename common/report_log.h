// Report sessions: every user-visible outcome of the guard and of the update
// engine becomes a small UTF-16LE text file in "\Report" of the installation
// directory (header, then the entry or the update body), listed on closing in
// the index of its kind. Texts come from uires.dll with built-in fallbacks.
// A session belongs to one thread.
#pragma once

#include <cstddef>
#include <string>

#include "ce/windows.h"
#include "common/report_index.h"
#include "common/string_lookup.h"

namespace nx {

inline constexpr const WCHAR* kOnlineIndexName = u"\\online.dat";
inline constexpr const WCHAR* kUpdateIndexName = u"\\update.dat";
inline constexpr const WCHAR* kReportFolder = u"\\Report";
inline constexpr const WCHAR* kScanVersionFile = u"\\scanver.cnf";
inline constexpr ce::DWORD kReportNameDelayMs = 800;
inline constexpr size_t kReportHeaderChars = 2048;
// The longest title a report keeps, terminator included: an online report's
// title is the infected file's path, which may have up to 1,023 characters.
// The header prints it whole; the index record keeps what its field holds.
inline constexpr size_t kReportTitleChars = 1024;

// "scanver.cnf": engine version and the virus database's date and time.
struct ScanVersionInfo {
  int16_t major = 0;
  int16_t minor = 0;
  ce::SYSTEMTIME database{};
};
inline constexpr size_t kScanVersionBytes = 20;
// False when fewer than 20 bytes are given.
bool decodeScanVersion(const void* data, size_t size, ScanVersionInfo* out);
// Reads "<installDir>\scanver.cnf"; false when it is missing or short.
bool readScanVersion(const WCHAR* installDir, ScanVersionInfo* out);

// Day names and month abbreviations by the texts of the string library; an
// out-of-range value (a damaged version file) gives an empty text.
std::u16string dayName(const UiStrings& s, ce::WORD dayOfWeek);
std::u16string monthName(const UiStrings& s, ce::WORD month);

// The report header. version null: no "scanver.cnf", so no header (empty).
// scanOpts (what to scan, action) is used by the on-demand scan kind only.
std::u16string formatReportHeader(const UiStrings& s, ce::DWORD kind, const WCHAR* title,
                                  const ce::SYSTEMTIME& reportTime, const ScanVersionInfo* version,
                                  int whatToScan = 1, int action = 1);
// The entry of an online report; empty for a result code without a word.
std::u16string formatOnlineEntry(const UiStrings& s, ce::DWORD resultCode, const WCHAR* threat, const WCHAR* path);
// The body of an update report; empty for an unknown result code. The two
// version records are used for 2001 (updated) only.
std::u16string formatUpdateBody(const UiStrings& s, ce::DWORD resultCode, const ScanVersionInfo* oldVersion,
                                const ScanVersionInfo* newVersion);
// "UPDATE FAILED", "UPDATED SUCCESSFULLY" or "UP-TO-DATE" for a result code.
std::u16string updateTitle(const UiStrings& s, ce::DWORD resultCode);

class ReportSession {
 public:
  ReportSession() = default;
  ~ReportSession();  // an open session is closed (and indexed)
  ReportSession(const ReportSession&) = delete;
  ReportSession& operator=(const ReportSession&) = delete;

  // Creates the report file with its header. kind: 1 scan, 2 online, 3
  // update; indexName relative to the installation directory (kOnlineIndexName,
  // ...). Takes at least 800 ms of device time so the next name differs.
  bool Open(const WCHAR* installDir, ce::DWORD kind, const WCHAR* title, const WCHAR* indexName);
  // Appends text; a failed append fails the report (it is then not indexed).
  bool Write(const WCHAR* text);
  bool WriteOnlineEntry(ce::DWORD resultCode, const WCHAR* threat, const WCHAR* path);
  bool WriteUpdateBody(ce::DWORD resultCode, const ScanVersionInfo* oldVersion, const ScanVersionInfo* newVersion);
  // Closes the file and records it in the index; when that fails the report
  // file is deleted, so the index never names a missing file.
  bool Close();

  bool isOpen() const { return file_ != ce::INVALID_HANDLE_VALUE; }
  const WCHAR* path() const { return path_; }
  const UiStrings& strings() const { return strings_; }

 private:
  bool appendText(const WCHAR* text, size_t len);

  UiStrings strings_;
  ce::HANDLE file_ = ce::INVALID_HANDLE_VALUE;
  ce::DWORD kind_ = 0;
  bool failed_ = false;
  ce::SYSTEMTIME opened_{};
  WCHAR path_[ce::MAX_PATH] = {};
  WCHAR index_[ce::MAX_PATH] = {};
  WCHAR title_[kReportTitleChars] = {};
};

}  // namespace nx
