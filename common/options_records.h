// The six settings records as they lie in the options files. Every field is
// bytes, so a record has no padding and can be copied to and from disk as it
// stands; multi-byte values are read and written through the little-endian
// accessors below, never through a cast.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ce/windows.h"

namespace nx {

using ce::BYTE;
using ce::WCHAR;

// Action codes of the on-access guard and of the on-demand scanner.
enum OptionsAction : BYTE {
  kActionRepairOrDelete = 0,
  kActionRepairOrQuarantine = 1,
  kActionDelete = 2,
  kActionPrompt = 3,
  kActionReportOnly = 4,
};

struct WM_ONLINE_OPTS {
  BYTE bEnabled;       // 1: on-access protection on
  BYTE bAction;        // OptionsAction
  BYTE bQuarantine;    // 1: keep a quarantine copy before acting
  BYTE reserved[8];
};
static_assert(sizeof(WM_ONLINE_OPTS) == 11);

struct WM_GENERAL_OPTS {
  BYTE bScanCardOnInsert;
  BYTE reserved[8];
};
static_assert(sizeof(WM_GENERAL_OPTS) == 9);

struct WM_SCAN_OPTS {
  BYTE bWhatToScan;    // 1: executable files, 2: all files
  BYTE bAction;        // OptionsAction
  BYTE bScannerFlag;   // the scanner program's own
  BYTE reserved[8];
};
static_assert(sizeof(WM_SCAN_OPTS) == 11);

inline constexpr size_t kUpdateFolderChars = 260;
struct WM_UPDATE_OPTS {
  BYTE bAutoUpdate;    // 1: scheduled updates on
  BYTE bSource;        // 0: internet, 1: local folder
  BYTE localFolder[kUpdateFolderChars * 2];  // UTF-16LE, terminated
};
static_assert(sizeof(WM_UPDATE_OPTS) == 522);

struct WM_SCHEDULE_OPTS {
  BYTE bFlag0;
  BYTE bFlag1;
  BYTE time[16];       // SYSTEMTIME, eight little-endian u16
  BYTE reserved[8];
};
static_assert(sizeof(WM_SCHEDULE_OPTS) == 26);

inline constexpr size_t kProxyHostChars = 256;
inline constexpr size_t kProxyCredentialChars = 260;
struct WM_INTERNET_OPTS {
  BYTE bUseProxy;
  BYTE reserved;
  BYTE proxyHost[kProxyHostChars * 2];          // UTF-16LE, terminated
  BYTE proxyPort[2];                            // u16
  BYTE proxyUser[kProxyCredentialChars * 2];    // UTF-16LE, terminated
  BYTE proxyPassword[kProxyCredentialChars * 2];
};
static_assert(sizeof(WM_INTERNET_OPTS) == 1556);
static_assert(offsetof(WM_INTERNET_OPTS, proxyPort) == 514);
static_assert(offsetof(WM_INTERNET_OPTS, proxyUser) == 516);
static_assert(offsetof(WM_INTERNET_OPTS, proxyPassword) == 1036);

// ---- Little-endian accessors -------------------------------------------------
inline uint16_t getU16(const BYTE* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline void putU16(BYTE* p, uint16_t v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
}
inline uint32_t getU32(const BYTE* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
inline void putU32(BYTE* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}

// A UTF-16LE text field of `chars` characters. Reading always terminates the
// copy, also when the stored field has no terminator; writing refuses a text
// that does not fit whole (a cut host name or folder names something else).
// cap is the room of `out` in characters, terminator included.
size_t getTextField(const BYTE* field, size_t chars, WCHAR* out, size_t cap);
bool putTextField(BYTE* field, size_t chars, const WCHAR* text);

void getSystemTimeField(const BYTE* field, ce::SYSTEMTIME* st);
void putSystemTimeField(BYTE* field, const ce::SYSTEMTIME& st);

}  // namespace nx
