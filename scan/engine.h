// The engine core's state shared by its parts: the module slots, the file
// wrapper every file operation goes through, the on-demand loads and the
// ignore-list binding.
#pragma once

#include <atomic>
#include <cstdint>

#include "ce/kernel.h"
#include "common/engine_types.h"
#include "filekit/filekit_api.h"

namespace nx::scan {

inline constexpr const char16_t* kOwnFile = u"scan.dll";

enum SlotId : int {
  kThreatList,
  kFileWrap,
  kPeSignature,
  kPePoly,
  kCategory,
  kMisc,
  kEpoc,
  kBatch,
  kCab,
  kSis,
  kSlotCount
};

// One loaded module and the entry points resolved from it for one slot. The
// SIS/SISX slot resolves two pairs (SIS, then SISX).
struct Slot {
  ce::HMODULE module = nullptr;
  ce::FARPROC create = nullptr;
  ce::FARPROC destroy = nullptr;
  ce::FARPROC create2 = nullptr;
  ce::FARPROC destroy2 = nullptr;
  // The archive modules' reader limits and status (optional: a module
  // without them works within its own defaults and reports nothing).
  ce::FARPROC readerLimits = nullptr;
  ce::FARPROC readerStatus = nullptr;
  int32_t loaded = 0;
};

// ---- lifecycle.cpp ----------------------------------------------------------------
int libInit();
int libDeinit();
int reloadSignatures(int32_t a, int32_t b);
int32_t setMessageString(const char16_t* text);

// The engine's file wrapper object; null while the engine is not initialised.
FileWrapObject* wrapper();

// Whether an on-demand slot (EPOC, CAB, SIS/SISX) is loaded, loading it on
// the first call; a failed load is not tried again until the engine is
// unloaded. Serialised by the engine's critical section.
bool onDemandLoaded(SlotId id);

// The entry points of a slot, as one consistent snapshot (null when the slot
// is not loaded).
Slot slotSnapshot(SlotId id);

// The ignore-list calls, skipped when bit 0 of the settings' engine flags is
// set or when the binding could not be made.
void ignorePath(const ScanSettings* settings, const char16_t* path);
void unignorePath(const ScanSettings* settings, const char16_t* path);

// ---- scan_object.cpp -------------------------------------------------------------
int32_t createNXScan(int32_t fileHandle, const char16_t* path, ScanSettings* settings, int32_t depth,
                     ScannerObject*** objects, int32_t** codes, int32_t* count, int32_t* typeCode, uint32_t* length);
int32_t deleteNXScan(ScannerObject** objects, int32_t* codes, int32_t count);
// Whether a file of this type would be opened as an archive but for its
// depth: archive scanning on, the kind not excluded, the depth at or past
// the maximum.
bool archiveBeyondDepth(int32_t type, const ScanSettings* settings, int32_t depth);

// ---- file_type.cpp (export side) ------------------------------------------------------
int32_t scanFileType(const char16_t* path, uint16_t* category, uint16_t* type);

// ---- archive_scanner.cpp ---------------------------------------------------------
// The built-in scanner of CAB (5010), SIS (5074) and SISX (5092) archives.
int32_t createArchiveScanner(ScannerObject** slot, int32_t listCode);
void deleteArchiveScanner(ScannerObject* object);

// The deepest archive nesting the engine opens, whatever the settings say:
// every level holds a walk's buffers and an extracted file.
inline constexpr int16_t kDepthCeiling = 50;

}  // namespace nx::scan
