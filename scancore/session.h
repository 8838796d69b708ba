// The process's scan session: modules, settings built from the options, the
// caller's callback and the update state. One instance per process; the API
// layer's lock serialises the calls that change it.
#pragma once

#include <cstdint>

#include "ce/windows.h"
#include "common/engine_types.h"
#include "filekit/filekit_api.h"
#include "nyxel/avapi.h"

#define SCANCORE_EXPORT extern "C" __attribute__((visibility("default")))

namespace nx::scancore {

using NxScanFileFn = int32_t (*)(int32_t, const char16_t*, ScanSettings*, int32_t, ScannerObject***, int32_t**,
                                 int32_t*, int32_t*, uint32_t*);
using ScanFileTypeFn = int32_t (*)(const char16_t*, uint16_t*, uint16_t*);
using SetMessageStringFn = int32_t (*)(const char16_t*);
using MimeFn = int32_t (*)(void*, void*);
using DeleteMimeFn = int32_t (*)(void*);
using ReloadFn = int (*)(int32_t, int32_t);

struct Session {
  int32_t count = 0;
  int32_t configured = 0;
  NxScanOptions options{};
  ScanSettings settings{};
  NxScanCallback callback = nullptr;
  uint8_t updateState[4] = {};
  // In force until NxSetScanLimits says otherwise.
  NxScanLimits limits{sizeof(NxScanLimits), 0, NX_DEFAULT_MAX_FILES, NX_DEFAULT_MAX_SCAN_SIZE,
                      NX_DEFAULT_MAX_SCAN_TIME_MS, 0};

  ce::HMODULE filekit = nullptr;
  PFN_CreateFileWrapObject createWrap = nullptr;
  PFN_DeleteFileWrapObject deleteWrap = nullptr;
  FileWrapObject* fw = nullptr;

  ce::HMODULE scan = nullptr;
  NxCreateNXScanFn createNXScan = nullptr;
  NxDeleteNXScanFn deleteNXScan = nullptr;
  ScanFileTypeFn scanFileType = nullptr;
  SetMessageStringFn setMessageString = nullptr;
  MimeFn createMime = nullptr;
  DeleteMimeFn deleteMime = nullptr;

  ce::HMODULE threatlist = nullptr;
  PFN_CreateThreatListObject createThreats = nullptr;
  PFN_DeleteThreatListObject deleteThreats = nullptr;
};

Session& session();

// "<directory of scancore.dll><name>" into out (260); false when the
// directory cannot be had or the name does not fit.
bool moduleFilePath(const char16_t* name, char16_t* out);

// Bounded length of a fixed text field: cap when it is not terminated inside.
size_t fieldLength(const char16_t* s, size_t cap);

}  // namespace nx::scancore
