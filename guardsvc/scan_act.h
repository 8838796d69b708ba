// Scan-and-act: one file through the scanning API, then the action the
// on-access options ask for when it holds a threat (repair, delete,
// quarantine, report only), with the outcome in the result record.
#pragma once

#include <cstdint>
#include <string>

#include "ce/windows.h"
#include "common/options_records.h"
#include "guardsvc/scan_api.h"

namespace guard {

#pragma pack(push, 1)
// The result record (2154 bytes, zeroed before each file).
struct ScanResultRecord {
  uint16_t threatInfo;   // the ScanReport's 16-bit threat information (its offset 2156)
  uint32_t code;         // kResult* (guard_ids.h), or 0 when nothing is to be told
  char16_t threat[50];   // threat name, or why the file could not be scanned
  char16_t path[1024];
};
#pragma pack(pop)
static_assert(sizeof(ScanResultRecord) == 2154);
static_assert(offsetof(ScanResultRecord, threat) == 6);
static_assert(offsetof(ScanResultRecord, path) == 106);

enum class ActOutcome {
  Nothing,  // clean, gone, not a file: nothing to tell
  Result,   // record.code says what was done
  Busy,     // another program holds the file so that it cannot be read: try again later
};

// Why a file was not scanned (the texts live with the notification texts).
enum class NotScannedReason { None, ScanError, Limits, InUse, PathTooLong, TooLarge };

struct ActContext {
  const ScanApi* api;
  const ce::WCHAR* installDir;
  nx::WM_ONLINE_OPTS options;
};

struct ActDetails {
  NotScannedReason reason = NotScannedReason::None;
  bool engineWrote = false;    // the engine rewrote the file (a repair)
  bool notAFile = false;       // a folder, FIFO or device node: left alone
  bool scanned = false;        // the engine opened and scanned the file
};

ActOutcome scanAndAct(const ActContext& ctx, const std::u16string& path, ScanResultRecord* record,
                      ActDetails* details);

}  // namespace guard
