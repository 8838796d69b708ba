// The scanning API as the guard uses it: avapi.dll loaded from the
// installation directory, the session the guard opens with its on-access
// options, and the entry points scan-and-act calls.
#pragma once

#include "ce/windows.h"
#include "nyxel/avapi.h"

namespace guard {

struct ScanApi {
  ce::HMODULE module = nullptr;
  NxSession session = nullptr;
  PFN_NxInitScan init = nullptr;
  PFN_NxDeinitScan deinit = nullptr;
  PFN_NxOpenFile open = nullptr;
  PFN_NxScanFile scan = nullptr;
  PFN_NxCleanFile clean = nullptr;
  PFN_NxCloseFile close = nullptr;
  PFN_NxIgnoreFile ignore = nullptr;
  PFN_NxUnignoreFile unignore = nullptr;

  bool loaded() const { return module != nullptr && session != nullptr; }
  // Every entry point scan-and-act needs was found.
  bool complete() const { return open && scan && clean && close && ignore && unignore; }
};

// The session options of the guard: record size 1054, the session never
// deletes (the guard does), archive depth 5 with archive scanning off, option
// B on, the installation directory and its "temp" folder, flag word D 87,
// flag word E 0, archive exclusion bits 110.
void fillGuardOptions(const ce::WCHAR* installDir, NxScanOptions* out);

// Loads "avapi.dll" from the installation directory and opens the session.
// On failure nothing stays loaded and *api is left empty.
bool loadScanApi(const ce::WCHAR* installDir, ScanApi* api);
// Ends the session. When NxDeinitScan answers 0 the library stays loaded (and
// false is returned); otherwise it is freed and *api emptied.
bool unloadScanApi(ScanApi* api);

}  // namespace guard
