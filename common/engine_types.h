// What the engine core, the scanner modules, the archive readers and the scan
// session share: status and action codes, the engine settings record, the
// scanner-object and archive-reader operation tables, the scanner list and the
// event record. Plain C-compatible layouts: these cross module boundaries.
#pragma once

#include <cstdint>

#include "threatlist/threatlist_api.h"

extern "C" {

// ---- Engine status codes -----------------------------------------------------
enum : int32_t {
  NX_ENGINE_ERROR = 1800,         // could not open, read or write, or no temporary name
  NX_ENGINE_MISSING_ARG = 1802,   // a required argument is missing
  NX_ENGINE_SUCCESS = 1804,
  NX_ENGINE_FAILURE = 1805,       // failure, or nothing to do (no scanner suits the file)
  NX_ENGINE_CLEAN = 1992,
  NX_ENGINE_THREAT = 1993,        // threat in the file itself
  NX_ENGINE_THREAT_MEMBER = 1994, // threat in at least one archive member
  NX_ENGINE_MEMBER_NEXT = 1997,   // event: an archive member is about to be scanned
  NX_ENGINE_CANNOT_CLEAN = 1998,  // cleaning impossible, or the scan was stopped
  NX_ENGINE_CLEANED = 1999,       // changed: scan again
  NX_ENGINE_DELETE = 2000,        // the whole file is the threat
  NX_ENGINE_NOT_REGULAR = 2010,   // directory or missing path
};

// ---- Action codes: the callback's answers to a detection ----------------------
enum : int32_t {
  NX_ACTION_CONTINUE = 2002,
  NX_ACTION_STOP = 2003,
  NX_ACTION_DELETE = 2004,
  NX_ACTION_SKIP = 2011,
  NX_ACTION_REPAIR = 2014,
  NX_ACTION_USER1 = 2017,
  NX_ACTION_USER2 = 2018,
  NX_ACTION_NONE = 2020,  // "no action": scanners refuse to clean
};

// ---- Scanner list codes ---------------------------------------------------------
enum : int32_t {
  NX_LIST_PE_SIGNATURE = 5,
  NX_LIST_PE_POLY = 6,
  NX_LIST_CATEGORY = 26,
  NX_LIST_EPOC = 57,
  NX_LIST_CAB = 5010,
  NX_LIST_SIS = 5074,
  NX_LIST_SIS_MISC = 5077,
  NX_LIST_EPOC_STORE = 5081,
  NX_LIST_GDR = 5082,
  NX_LIST_SISX = 5092,
  NX_LIST_TEST_FILE = 5093,
};

struct NxEventRecord;

// The session layer's event handler: (event code, event record, user value,
// callback context) -> answer code.
typedef int32_t (*NxEngineEventHandler)(int32_t event, NxEventRecord* record, uintptr_t userValue,
                                        uintptr_t context);

// The engine settings record the session layer builds from the options and
// hands down by pointer. Fields in their documented order; `context` carries
// the session value, which on this host is a pointer, so it is kept whole.
struct ScanSettings {
  uint16_t size;
  NxEngineEventHandler eventHandler;
  char16_t tempDir[260];
  int16_t maxDepth;
  uint8_t scanArchives;
  uint8_t firstHitOnly;
  uint8_t optionB;
  uint8_t flagE1;
  uint8_t noDelete;
  uint8_t flagE14;
  uint8_t flagE15;
  uint8_t optionC;
  uint8_t stop;
  uint8_t flagE0;
  uint16_t categoryMask;
  uint16_t flagE2;
  uint32_t archiveExclude;
  uint32_t optionBMask;
  uint32_t engineFlags;
  uintptr_t context;
  // Scan limits, set by the session layer (0: no limit). The engine core
  // reads them, and the account below, only when `size` covers them.
  uint64_t limitBytes;  // bytes the archive readers may produce for one file
  uint32_t limitFiles;  // members taken from one archive
  uint32_t limitMs;     // work time for one file
  // The account of the file being scanned, cleared by the session layer
  // before every scan of it and kept by the engine core down every level.
  uint64_t usedBytes;   // bytes the readers produced so far
  uint32_t startTick;   // GetTickCount at the scan's start
  uint32_t limitsHit;   // NX_SCAN_LIMIT_* bits: why the scan was not whole
};

// Whether a settings record carries the limits and their account.
#define NX_SETTINGS_HAVE_LIMITS(s) ((s)->size >= sizeof(ScanSettings))

enum : uint32_t {
  NX_EXCLUDE_CAB = 2,
  NX_EXCLUDE_SIS = 256,
  NX_ENGINE_FLAG_NO_IGNORE_LIST = 1,
  NX_ENGINE_FLAG_E8 = 2,
};

// The block handed to the event handler.
struct NxEventRecord {
  uint16_t size;
  const char16_t* displayPath;
  int32_t type;
  uint32_t length;
  ThreatRecord* threat;  // event 1993 only
  int32_t last;          // 0
};

// ---- Scanner objects --------------------------------------------------------------
struct ScannerObject;

struct ScannerOps {
  // Prepare to scan one file: 1804 will scan, 1805 will not, 1800 error, 1802 missing arguments.
  int32_t (*Open)(ScannerObject* self, int32_t fileHandle, const char16_t* path, ScanSettings* settings,
                  const char16_t* rootDisplayPath, int32_t rootType, uintptr_t userValue);
  // 1992, 1993, 1994, 1998 or 1800; a detection appends a threat record.
  int32_t (*Scan)(ScannerObject* self, char16_t* displayPath, ThreatListObject* threats, int32_t depth);
  // 1999 cleaned, 2000 delete the file, 1998 nothing can be done.
  int32_t (*Clean)(ScannerObject* self, ThreatListObject* threats, int32_t action);
  // 1804.
  int32_t (*Close)(ScannerObject* self);
  // Destructor; bit 0 of flags frees the object.
  ScannerObject* (*Destroy)(ScannerObject* self, uint32_t flags);
  // Destroy with the free flag.
  void (*Release)(ScannerObject* self);
};

struct ScannerObject {
  const ScannerOps* ops;
};

// A scanner module's create/delete exports: create(object slot, list code) -> 1 on success.
typedef int32_t (*NxCreateScannerFn)(ScannerObject** slot, int32_t listCode);
typedef void (*NxDeleteScannerFn)(ScannerObject* object);

// ---- Archive readers ------------------------------------------------------------------
struct ArchiveReader;

struct ArchiveReaderOps {
  // 1 opened, 0 not an archive of this kind or unreadable. The handle is ignored.
  int32_t (*Open)(ArchiveReader* self, int32_t fileHandle, const char16_t* archivePath);
  // 1: the next member was written to outputPath and its name (260 units) stored; 0: no more, or failure.
  int32_t (*ExtractNext)(ArchiveReader* self, const char16_t* outputPath, char16_t* nameOut);
  int32_t (*Reserved)(ArchiveReader* self);  // always 0
  int32_t (*Close)(ArchiveReader* self);
  ArchiveReader* (*Destroy)(ArchiveReader* self, uint32_t flags);
};

struct ArchiveReader {
  const ArchiveReaderOps* ops;
};

typedef int32_t (*NxCreateArchiveReaderFn)(ArchiveReader** out);
typedef void (*NxDeleteArchiveReaderFn)(ArchiveReader* reader);

// ---- Reader limits and status ------------------------------------------------------
// What made a scan stop short or left part of an archive unseen. The same bits
// reach the caller in the ScanReport (nyxel/avapi.h, NX_LIMIT_*).
enum : uint32_t {
  NX_SCAN_LIMIT_SIZE = 0x01,        // the bytes the readers may produce for one file were used up
  NX_SCAN_LIMIT_FILES = 0x02,       // an archive held more members than may be taken from one archive
  NX_SCAN_LIMIT_TIME = 0x04,        // the work time for one file ran out
  NX_SCAN_LIMIT_DEPTH = 0x08,       // an archive nested deeper than the depth allowed was not opened
  NX_SCAN_LIMIT_INCOMPLETE = 0x10,  // members an archive holds could not be delivered
};

// The budget a reader works within, given by its user through the module's
// SetArchiveReaderLimits before Open or any ExtractNext; each call replaces
// the last. A reader never made to stop produces at most the module's
// defaults for one archive.
struct ArchiveReaderLimits {
  uint32_t size;       // sizeof(ArchiveReaderLimits)
  uint32_t deadline;   // tick count (ce::GetTickCount) at which work stops; 0: none
  uint64_t maxBytes;   // bytes the reader may still produce: members written and data decoded to reach them
};

// What a reader did since its last Open, from the module's GetArchiveReaderStatus.
struct ArchiveReaderStatus {
  uint32_t size;         // sizeof(ArchiveReaderStatus)
  uint32_t delivered;    // members written whole
  uint32_t undelivered;  // members the archive holds that were not and will not be delivered
  uint32_t limits;       // NX_SCAN_LIMIT_* bits the reader stopped at (size, time)
  uint32_t pending;      // 1 while further members may follow (or would, but for a limit)
  uint32_t reserved;
  uint64_t produced;     // bytes produced since Open (written and decoded)
};

// SetArchiveReaderLimits(reader, limits) / GetArchiveReaderStatus(reader, out):
// 1, or 0 for a null argument, a record too small or a reader of another module.
typedef int32_t (*NxSetArchiveReaderLimitsFn)(ArchiveReader* reader, const ArchiveReaderLimits* limits);
typedef int32_t (*NxGetArchiveReaderStatusFn)(ArchiveReader* reader, ArchiveReaderStatus* status);

// ---- Engine core exports (scan.dll) ------------------------------------------------
typedef int32_t (*NxCreateNXScanFn)(int32_t fileHandle, const char16_t* path, ScanSettings* settings, int32_t depth,
                                     ScannerObject*** objects, int32_t** codes, int32_t* count, int32_t* typeCode,
                                     uint32_t* length);
typedef int32_t (*NxDeleteNXScanFn)(ScannerObject** objects, int32_t* codes, int32_t count);

}  // extern "C"
