// The options layer: every settings area lives in "\Config" below the
// installation directory as a current file (wm...) and a factory-defaults
// file (df...), each an 8-byte head (marker, CRC-32 of everything after the
// head) followed by the area's record. A damaged file is refused, a missing
// current file is rebuilt from the defaults file, a missing defaults file from
// the built-in defaults, and every write is bracketed by ignore messages so
// that the on-access guard leaves the file alone while it changes.
#pragma once

#include <cstddef>

#include "ce/windows.h"
#include "common/options_records.h"

namespace nx {

using ce::BOOL;
using ce::DWORD;

// Detail codes of the file operations.
enum OptionsDetail : DWORD {
  kOptionsOk = 0,            // also: no file was touched (bad arguments, path too long)
  kOptionsNotFound = 100,    // the file does not exist
  kOptionsBadCrc = 101,      // the checksum does not match the contents
  kOptionsReadFailed = 104,  // short read or failed seek: the file is shorter than its record
  kOptionsWriteFailed = 105, // short or failed write
};

enum class OptionsArea { Online, General, Scan, Update, Schedule, Internet };
inline constexpr int kOptionsAreaCount = 6;

struct OptionsAreaInfo {
  const WCHAR* currentFile;   // "\Config\wm....dat", relative to the installation directory
  const WCHAR* defaultsFile;  // "\Config\df....dat"
  DWORD size;                 // record bytes
  const WCHAR* changedEvent;  // named event the area's readers wait on, or null
};
const OptionsAreaInfo& optionsAreaInfo(OptionsArea area);

inline constexpr DWORD kOptionsHeadBytes = 8;
inline constexpr DWORD kOptionsMaxRecord = sizeof(WM_INTERNET_OPTS);
// The longest installation directory the layer accepts, and the longest full
// path of an options file (both in characters, without the terminator).
inline constexpr size_t kOptionsMaxInstallDir = 255;
inline constexpr size_t kOptionsMaxPath = 255;

// Reads modes: the defaults file only, or the current settings with fallback.
inline constexpr int kOptionsReadCurrent = 0;
inline constexpr int kOptionsDefaults = 1;

// Checks a whole options file image and copies its record (n bytes) into
// record when it is sound. Returns kOptionsOk, kOptionsReadFailed (shorter
// than head and record) or kOptionsBadCrc. record is untouched on failure.
DWORD decodeOptionsImage(const void* image, size_t size, void* record, DWORD n);

class CWmOptionsGen {
 public:
  // Every operation answers TRUE on success. The record buffer is the
  // caller's and exactly the area's size; on failure it keeps what it held.
  static BOOL ReadOnlineOpts(const WCHAR* installDir, WM_ONLINE_OPTS* record, int mode);
  static BOOL WriteOnlineOpts(const WCHAR* installDir, const WM_ONLINE_OPTS* record, int mode);
  static BOOL ReadGeneralOpts(const WCHAR* installDir, WM_GENERAL_OPTS* record, int mode);
  static BOOL WriteGeneralOpts(const WCHAR* installDir, const WM_GENERAL_OPTS* record, int mode);
  static BOOL ReadScanOpts(const WCHAR* installDir, WM_SCAN_OPTS* record, int mode);
  static BOOL WriteScanOpts(const WCHAR* installDir, const WM_SCAN_OPTS* record, int mode);
  static BOOL ReadUpdateOpts(const WCHAR* installDir, WM_UPDATE_OPTS* record, int mode);
  static BOOL WriteUpdateOpts(const WCHAR* installDir, const WM_UPDATE_OPTS* record, int mode);
  static BOOL ReadScheduleOpts(const WCHAR* installDir, WM_SCHEDULE_OPTS* record, int mode);
  static BOOL WriteScheduleOpts(const WCHAR* installDir, const WM_SCHEDULE_OPTS* record, int mode);
  static BOOL ReadInternetOpts(const WCHAR* installDir, WM_INTERNET_OPTS* record, int mode);
  static BOOL WriteInternetOpts(const WCHAR* installDir, const WM_INTERNET_OPTS* record, int mode);

  // The same by area. detail (optional) receives the code of the last file
  // operation. A successful write of the current file sets the area's
  // change event when one of the services is waiting on it.
  static BOOL Read(OptionsArea area, const WCHAR* installDir, void* record, int mode, DWORD* detail = nullptr);
  static BOOL Write(OptionsArea area, const WCHAR* installDir, const void* record, int mode,
                    DWORD* detail = nullptr);

  // File operations on a full path; code receives the detail code.
  static BOOL ReadFile(const WCHAR* path, void* record, DWORD n, DWORD* code);
  static BOOL WriteFile(const WCHAR* path, const void* record, DWORD n, DWORD* code);
  // Stores the area's built-in defaults into record (zero-filled first) and
  // creates the file with them; an existing file is left alone (failure).
  static BOOL CreateDefaults(OptionsArea area, const WCHAR* path, void* record, DWORD* code);

  // The built-in defaults of an area into a record of its size.
  static void BuiltInDefaults(OptionsArea area, void* record);
  // installDir + the area's current or defaults file; false when it does not fit.
  static bool FilePath(OptionsArea area, const WCHAR* installDir, bool defaults, WCHAR* out, size_t cap);
};

// Sets the named change event when a service has created it; nothing when
// none waits (the event is never created here, so no stale signal lingers).
void signalOptionsChanged(OptionsArea area);

}  // namespace nx
