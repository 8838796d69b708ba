// Per-file operations: open, silent and interactive scan, clean, close, and
// the small services (file type, memory-scan action, message scan).
#include <cstring>
#include <new>

#include "ce/text.h"
#include "ce/time.h"
#include "scancore/session.h"

using namespace nx::scancore;
using ce::WCHAR;

struct NxScanFileHandle_ {
  ScanSettings* settings;
  WCHAR path[1024];
  ScannerObject** scanners;
  int32_t* codes;
  int32_t count;
  ThreatListObject* threats;
  int32_t detecting;
  int32_t scannable;
  int32_t type;
  uint32_t length;
  int32_t file;
};

namespace {

using Handle = NxScanFileHandle_;

// A scanner that keeps answering "cleaned" while the file still holds a
// threat would have the interactive scan repair and rescan forever.
constexpr int kMaxRepairRounds = 8;

// Answers of the ScanCallback.
enum : int32_t {
  kAnsIgnore = 2000,
  kAnsRepair = 2001,
  kAnsDelete = 2002,
  kAnsSkipReported = 2003,
  kAnsStop = 2004,
  kAnsSkipSilent = 2005,
  kAnsUser1 = 2006,
  kAnsUser2 = 2007,
  kAnsQuarantine = 2008,
};

void copyCut(WCHAR* dst, size_t cap, const WCHAR* src) {
  size_t n = 0;
  if (src)
    while (n + 1 < cap && src[n]) ++n;
  std::memcpy(dst, src, n * sizeof(WCHAR));
  dst[n] = 0;
}

void fileReport(ScanReport& r, const Handle* h, uint16_t code) {
  std::memset(&r, 0, sizeof r);
  r.code = code;
  copyCut(r.path, 1024, h->path);
  r.type = static_cast<uint16_t>(h->type);
  r.length = h->length;
}

void recordReport(ScanReport& r, const ThreatRecord* rec, uint16_t code) {
  std::memset(&r, 0, sizeof r);
  r.code = code;
  if (!rec) return;
  copyCut(r.path, 1024, rec->displayPath);
  r.type = rec->memberType;
  r.length = rec->memberLength;
  copyCut(r.threat, 50, rec->name);
  r.category = static_cast<uint16_t>(rec->category);
  r.index = rec->index;
  r.rootType = static_cast<int16_t>(rec->rootType);
}

ThreatRecord* lastRecord(ThreatListObject* t) {
  ThreatRecord* rec = nullptr;
  if (!t || !t->ops->Last(t, &rec)) return nullptr;
  return rec;
}

void clearThreats(Handle* h) {
  if (h->threats) h->threats->ops->Clear(h->threats);
}

void closeFile(Handle* h) {
  Session& s = session();
  if (h->file >= 0 && s.fw) s.fw->ops->Close(s.fw, h->file);
  h->file = -1;
}

bool fileExists(const Handle* h) {
  Session& s = session();
  return s.fw && s.fw->ops->AccessW(s.fw, h->path, 0) == 0;
}

bool makeWritable(const Handle* h) {
  Session& s = session();
  return s.fw && s.fw->ops->ChmodW(s.fw, h->path, 0x180) == 0;
}

bool removeFile(const Handle* h) {
  Session& s = session();
  return s.fw && s.fw->ops->RemoveW(s.fw, h->path) == 0;
}

// Releases the scanner list and the threat list and closes the file.
void releaseAll(Handle* h) {
  Session& s = session();
  if (h->scanners && s.deleteNXScan) s.deleteNXScan(h->scanners, h->codes, h->count);
  h->scanners = nullptr;
  h->codes = nullptr;
  h->count = 0;
  if (h->threats && s.deleteThreats) s.deleteThreats(h->threats);
  h->threats = nullptr;
  closeFile(h);
  h->scannable = 0;
  h->detecting = -1;
}

// Open the file, make its threat list and ask the engine for its scanners.
// 1 (scannable or not), 4001 (cannot open, or the engine fails on it), 0
// (no threat list).
int32_t armHandle(Handle* h) {
  Session& s = session();
  if (!s.fw || !s.createThreats || !s.createNXScan) return 0;
  h->file = s.fw->ops->OpenW(s.fw, h->path, NX_O_RDONLY | NX_O_BINARY, 0);
  if (h->file < 0) {
    h->file = -1;
    return 4001;
  }
  ThreatListObject* threats = nullptr;
  if (!s.createThreats(&threats) || !threats) {
    closeFile(h);
    return 0;
  }
  h->threats = threats;
  int32_t type = 0;
  uint32_t length = 0;
  int32_t rc = s.createNXScan(h->file, h->path, h->settings, 0, &h->scanners, &h->codes, &h->count, &type, &length);
  if (rc == NX_ENGINE_ERROR || rc == NX_ENGINE_NOT_REGULAR) {
    releaseAll(h);
    return 4001;
  }
  if (rc != NX_ENGINE_SUCCESS) {
    if (h->threats) s.deleteThreats(h->threats);
    h->threats = nullptr;
    closeFile(h);
    h->scanners = nullptr;
    h->codes = nullptr;
    h->count = 0;
    h->scannable = 0;
  } else {
    h->scannable = 1;
  }
  h->detecting = -1;
  h->type = type;
  h->length = length;
  return 1;
}

// Every scan of a file starts its account afresh: nothing produced, the work
// time running from now, no limit met.
void startAccount(Handle* h) {
  h->settings->usedBytes = 0;
  h->settings->startTick = ce::GetTickCount();
  h->settings->limitsHit = 0;
}

// Drops a pending detection: its scanner closed, its records cleared.
void dropPending(Handle* h) {
  if (h->detecting >= 0 && h->detecting < h->count && h->scanners && h->scanners[h->detecting]) {
    ScannerObject* o = h->scanners[h->detecting];
    o->ops->Close(o);
  }
  clearThreats(h);
  h->detecting = -1;
}

int32_t callBack(const Handle*, ScanReport& r, uintptr_t context, uintptr_t sessionValue) {
  NxScanCallback cb = session().callback;
  return cb ? cb(&r, context, sessionValue) : kAnsDelete;
}

int32_t reportFile(const Handle* h, uint16_t code, uintptr_t context, uintptr_t sv) {
  ScanReport r;
  fileReport(r, h, code);
  return callBack(h, r, context, sv);
}

// Removes the file for a delete answer: 3003, or 1005 and 4001.
int32_t removeReported(Handle* h, uintptr_t context, uintptr_t sv) {
  if (!removeFile(h)) {
    reportFile(h, NX_CB_ERROR, context, sv);
    return 4001;
  }
  reportFile(h, NX_CB_DELETED, context, sv);
  return 1;
}

// The session layer's answer to the engine core's events during NxScanFileEx.
int32_t engineEventHandler(int32_t event, NxEventRecord* record, uintptr_t user, uintptr_t context) {
  NxScanCallback cb = session().callback;
  if (!cb || !record) return NX_ACTION_CONTINUE;
  ScanReport r;
  std::memset(&r, 0, sizeof r);
  copyCut(r.path, 1024, record->displayPath);
  r.type = static_cast<uint16_t>(record->type);
  r.length = record->length;
  auto plain = [&](uint16_t code) {
    r.code = code;
    return cb(&r, user, context) == kAnsStop ? NX_ACTION_STOP : NX_ACTION_CONTINUE;
  };
  switch (event) {
    case NX_ENGINE_ERROR: return plain(NX_CB_ERROR);
    case NX_ENGINE_CLEAN: return plain(NX_CB_CLEAN);
    case NX_ENGINE_CANNOT_CLEAN: return plain(NX_CB_NOT_REPAIRABLE);
    case NX_ENGINE_CLEANED: return plain(NX_CB_REPAIRED);
    case 2001: return plain(NX_CB_DELETED);
    case NX_ENGINE_MEMBER_NEXT: {
      r.code = NX_CB_MEMBER_BEGIN;
      if (cb(&r, user, context) == kAnsStop) return NX_ACTION_STOP;
      r.code = NX_CB_MEMBER_BEGIN2;
      return cb(&r, user, context) == kAnsStop ? NX_ACTION_STOP : NX_ACTION_CONTINUE;
    }
    case NX_ENGINE_THREAT: {
      if (record->threat) {
        recordReport(r, record->threat, NX_CB_MEMBER_THREAT);
      } else {
        r.code = NX_CB_MEMBER_THREAT;
      }
      ScanReport keep = r;
      int32_t answer = cb(&r, user, context);
      switch (answer) {
        case kAnsIgnore: return NX_ACTION_SKIP;
        case kAnsRepair: return NX_ACTION_REPAIR;
        case kAnsDelete: return NX_ACTION_DELETE;
        case kAnsUser1: return NX_ACTION_USER1;
        case kAnsUser2: return NX_ACTION_USER2;
        case kAnsStop:
          keep.code = NX_CB_SKIPPED;
          cb(&keep, user, context);
          return NX_ACTION_STOP;
        case kAnsSkipReported:
          keep.code = NX_CB_SKIPPED;
          return cb(&keep, user, context) == kAnsStop ? NX_ACTION_STOP : NX_ACTION_CONTINUE;
        default: return NX_ACTION_CONTINUE;
      }
    }
    default: return NX_ACTION_CONTINUE;
  }
}

}  // namespace

SCANCORE_EXPORT int32_t NxOpenFile(void* sessionValue, const WCHAR* path, Handle** out) {
  Session& s = session();
  if (!path || !out) return 0;
  size_t n = fieldLength(path, 1024);
  if (n == 0 || n >= 1024) return 0;
  if (!s.fw || !s.createNXScan) return 0;
  auto* h = new (std::nothrow) Handle{};
  if (!h) return 0;
  h->settings = new (std::nothrow) ScanSettings(s.settings);
  if (!h->settings) {
    delete h;
    return 0;
  }
  h->settings->stop = 0;
  h->settings->firstHitOnly = 0;
  h->settings->eventHandler = nullptr;
  h->settings->context = reinterpret_cast<uintptr_t>(sessionValue);
  h->file = -1;
  h->detecting = -1;
  std::memcpy(h->path, path, n * sizeof(WCHAR));
  h->path[n] = 0;
  int32_t rc = armHandle(h);
  if (rc != 1) {
    releaseAll(h);
    delete h->settings;
    delete h;
    *out = nullptr;
    return rc;
  }
  *out = h;
  return 1;
}

SCANCORE_EXPORT int32_t NxScanFile(Handle* h, ScanReport* report) {
  if (!h || !report) return 0;
  fileReport(*report, h, 0);
  if (!h->scannable) return NX_RESULT_CLEAN;
  if (h->detecting != -1) return 0;
  h->settings->eventHandler = nullptr;
  h->settings->firstHitOnly = 1;
  startAccount(h);
  if (!h->scanners || h->count <= 0) return NX_RESULT_CLEAN;
  for (int32_t i = 0; i < h->count; ++i) {
    ScannerObject* o = h->scanners[i];
    if (!o) continue;
    int32_t rc = o->ops->Open(o, h->file, h->path, h->settings, h->path, h->codes[i], 0);
    if (rc == NX_ENGINE_ERROR) return NX_RESULT_ERROR;
    if (rc != NX_ENGINE_SUCCESS) continue;
    WCHAR display[1024];
    std::memcpy(display, h->path, sizeof display);
    rc = o->ops->Scan(o, display, h->threats, 0);
    if (rc == NX_ENGINE_ERROR) {
      o->ops->Close(o);
      return NX_RESULT_ERROR;
    }
    if (rc == NX_ENGINE_THREAT || rc == NX_ENGINE_THREAT_MEMBER) {
      ThreatRecord* rec = lastRecord(h->threats);
      if (rec && rc == NX_ENGINE_THREAT) {
        rec->memberType = static_cast<uint16_t>(h->type);
        rec->memberLength = h->length;
      }
      recordReport(*report, rec,
                   rc == NX_ENGINE_THREAT ? NX_REPORT_THREAT_IN_FILE : NX_REPORT_THREAT_IN_MEMBER);
      if (!rec) copyCut(report->path, 1024, h->path);
      report->limits = h->settings->limitsHit;
      h->detecting = i;
      return NX_RESULT_THREAT;
    }
    o->ops->Close(o);
  }
  // Nothing found, but not everything was looked at: not clean.
  if (h->settings->limitsHit) {
    report->code = NX_REPORT_INCOMPLETE;
    report->limits = h->settings->limitsHit;
    return NX_RESULT_INCOMPLETE;
  }
  return NX_RESULT_CLEAN;
}

SCANCORE_EXPORT int32_t NxScanFileEx(void* sessionValue, Handle* h, uintptr_t context) {
  Session& s = session();
  if (!sessionValue || !h || !s.callback) return 0;
  const uintptr_t sv = reinterpret_cast<uintptr_t>(sessionValue);
  if (reportFile(h, NX_CB_FILE_BEGIN, context, sv) == kAnsStop) return 1;
  if (!h->scannable) {
    reportFile(h, NX_CB_CLEAN, context, sv);
    return 1;
  }
  dropPending(h);
  for (int round = 0;; ++round) {
    h->settings->eventHandler = engineEventHandler;
    h->settings->firstHitOnly = 0;
    h->settings->stop = 0;
    startAccount(h);
    bool found = false;
    bool rescan = false;
    for (int32_t i = 0; i < h->count && !h->settings->stop && !rescan; ++i) {
      ScannerObject* o = h->scanners[i];
      if (!o) continue;
      int32_t rc = o->ops->Open(o, h->file, h->path, h->settings, h->path, h->codes[i], context);
      if (rc == NX_ENGINE_ERROR) {
        reportFile(h, NX_CB_ERROR, context, sv);
        return NX_RESULT_ERROR;
      }
      if (rc != NX_ENGINE_SUCCESS) continue;
      WCHAR display[1024];
      std::memcpy(display, h->path, sizeof display);
      rc = o->ops->Scan(o, display, h->threats, 0);
      if (rc == NX_ENGINE_ERROR) {
        o->ops->Close(o);
        reportFile(h, NX_CB_ERROR, context, sv);
        return NX_RESULT_ERROR;
      }
      if (rc == NX_ENGINE_THREAT) {
        found = true;
        ThreatRecord* rec = lastRecord(h->threats);
        if (rec) {
          rec->memberType = static_cast<uint16_t>(h->type);
          rec->memberLength = h->length;
        }
        ScanReport r;
        recordReport(r, rec, NX_CB_THREAT);
        if (!rec) fileReport(r, h, NX_CB_THREAT);
        int32_t answer = callBack(h, r, context, sv);
        if (answer == kAnsIgnore) {
          clearThreats(h);
          o->ops->Close(o);
          return 1;
        }
        if (answer != kAnsRepair && answer != kAnsDelete && answer != kAnsQuarantine) {
          if (answer != kAnsSkipSilent) reportFile(h, NX_CB_SKIPPED, context, sv);
          clearThreats(h);
          o->ops->Close(o);
          return 1;
        }
        closeFile(h);
        makeWritable(h);
        if (answer == kAnsQuarantine) {
          clearThreats(h);
          o->ops->Close(o);
          reportFile(h, NX_CB_QUARANTINE, context, sv);
          return 1;
        }
        if (answer == kAnsDelete) {
          clearThreats(h);
          o->ops->Close(o);
          return removeReported(h, context, sv);
        }
        int32_t cleaned = o->ops->Clean(o, h->threats, NX_ACTION_REPAIR);
        clearThreats(h);
        o->ops->Close(o);
        if (!fileExists(h)) {
          reportFile(h, NX_CB_DELETED, context, sv);
          return 1;
        }
        if (cleaned == NX_ENGINE_CLEANED) {
          if (reportFile(h, NX_CB_REPAIRED, context, sv) == kAnsStop) return 1;
          releaseAll(h);
          if (round + 1 >= kMaxRepairRounds) {
            reportFile(h, NX_CB_ERROR, context, sv);
            return NX_RESULT_ERROR;
          }
          if (armHandle(h) != 1 || !h->scannable) {
            releaseAll(h);
            return 1;
          }
          rescan = true;
          break;
        }
        if (cleaned == NX_ENGINE_DELETE || cleaned == 2012) return removeReported(h, context, sv);
        int32_t second = reportFile(h, NX_CB_NOT_REPAIRABLE, context, sv);
        if (second == kAnsDelete) return removeReported(h, context, sv);
        if (second == kAnsQuarantine) reportFile(h, NX_CB_QUARANTINE, context, sv);
        return 1;
      }
      if (rc == NX_ENGINE_THREAT_MEMBER) {
        found = true;
        ScanReport r;
        fileReport(r, h, NX_CB_ARCHIVE_THREAT);
        copyCut(r.threat, 50, u"Infected Archive");
        int32_t answer = callBack(h, r, context, sv);
        if (answer == kAnsIgnore) {
          clearThreats(h);
          o->ops->Close(o);
          return 1;
        }
        if (answer != kAnsRepair && answer != kAnsDelete && answer != kAnsQuarantine) {
          if (answer != kAnsSkipSilent) reportFile(h, NX_CB_SKIPPED, context, sv);
          clearThreats(h);
          o->ops->Close(o);
          return 1;
        }
        clearThreats(h);
        o->ops->Close(o);
        closeFile(h);
        makeWritable(h);
        if (answer == kAnsQuarantine) {
          reportFile(h, NX_CB_QUARANTINE, context, sv);
          return 1;
        }
        if (answer == kAnsRepair) {
          // Archives are not repaired: only a delete answer goes on.
          if (reportFile(h, NX_CB_NOT_REPAIRABLE, context, sv) != kAnsDelete) return 1;
        }
        return removeReported(h, context, sv);
      }
      if (rc == 2021) found = true;
      o->ops->Close(o);
    }
    if (rescan) continue;
    if (!found) {
      if (h->settings->limitsHit) {
        // In place of "clean": the file was not looked at whole.
        ScanReport r;
        fileReport(r, h, NX_CB_INCOMPLETE);
        r.limits = h->settings->limitsHit;
        callBack(h, r, context, sv);
      } else {
        reportFile(h, NX_CB_CLEAN, context, sv);
      }
    }
    return 1;
  }
}

// A file left in place after a clean keeps a usable handle: the file was
// closed for the clean, so it is opened and its scanner list built again
// (without this a later NxScanFile would meet a closed file and answer 4001).
static int32_t rearm(Handle* h, int32_t result) {
  releaseAll(h);
  if (armHandle(h) != 1) releaseAll(h);
  return result;
}

// A file gone or not made writable before the clean was tried keeps its
// detection pending: the scanner has not acted on it, so a later clean (the
// file made writable again, or back) can still do so, and a scan of the
// handle does not report the same file clean or failed meanwhile.
SCANCORE_EXPORT int32_t NxCleanFileEx(Handle* h, int32_t action) {
  if (!h) return 0;
  if (h->detecting < 0 || h->detecting >= h->count || !h->scanners) return 0;
  closeFile(h);
  if (!fileExists(h)) return NX_RESULT_FILE_GONE;
  if (!makeWritable(h)) return NX_RESULT_ERROR;
  int32_t engineAction = action == NX_CLEAN_DELETE ? NX_ACTION_DELETE
                         : action == NX_CLEAN_USER1 ? NX_ACTION_USER1
                         : action == NX_CLEAN_USER2 ? NX_ACTION_USER2
                                                    : NX_ACTION_REPAIR;
  ScannerObject* o = h->scanners[h->detecting];
  int32_t rc = o ? o->ops->Clean(o, h->threats, engineAction) : NX_ENGINE_CANNOT_CLEAN;
  if (o) o->ops->Close(o);
  clearThreats(h);
  h->detecting = -1;
  switch (rc) {
    case NX_ENGINE_ERROR: return fileExists(h) ? NX_RESULT_ERROR : NX_RESULT_FILE_GONE;
    case NX_ENGINE_CLEANED:
      if (!fileExists(h)) return NX_RESULT_FILE_GONE;
      releaseAll(h);
      if (armHandle(h) != 1) releaseAll(h);
      return NX_RESULT_REPAIRED;
    case NX_ENGINE_DELETE:
    case 2012:
      if (!fileExists(h)) return NX_RESULT_FILE_GONE;
      if (h->settings->noDelete == 1) return rearm(h, NX_RESULT_NOT_REPAIRED);
      makeWritable(h);
      if (removeFile(h)) return NX_RESULT_FILE_GONE;
      return rearm(h, rc == NX_ENGINE_DELETE ? NX_RESULT_ERROR : NX_RESULT_NOT_REPAIRED);
    default: return fileExists(h) ? rearm(h, NX_RESULT_NOT_REPAIRED) : NX_RESULT_FILE_GONE;
  }
}

SCANCORE_EXPORT int32_t NxCleanFile(Handle* h, uintptr_t) { return NxCleanFileEx(h, NX_CLEAN_REPAIR); }

SCANCORE_EXPORT int32_t NxCloseFile(Handle** address, uintptr_t) {
  if (!address || !*address) return 0;
  Handle* h = *address;
  dropPending(h);
  releaseAll(h);
  delete h->settings;
  delete h;
  *address = nullptr;
  return 1;
}

SCANCORE_EXPORT int32_t NxGetFileType(void*, const WCHAR* path, uint16_t* category, uint16_t* type) {
  Session& s = session();
  if (!path || !category || !s.scanFileType) return 0;
  uint16_t c = 0, t = 0;
  int32_t rc = s.scanFileType(path, &c, &t);
  if (rc == NX_ENGINE_ERROR || rc == NX_ENGINE_NOT_REGULAR) return NX_RESULT_ERROR;
  if (rc != NX_ENGINE_SUCCESS) return 0;
  *category = c;
  if (type) *type = t;
  return 1;
}

SCANCORE_EXPORT int32_t NxGetActionForMemoryScan(void*, int32_t kind, const ScanReport* report, int32_t* first,
                                                 int32_t* second) {
  if (!report || !first || !second) return 0;
  if (kind == NX_MEMSCAN_KIND_PROCESS) {
    const int c = report->category;
    bool terminate = (c >= 26 && c <= 37) || (c >= 73 && c <= 90) || c == 113;
    *first = terminate ? NX_MEMSCAN_TERMINATE : NX_MEMSCAN_NONE;
    *second = NX_MEMSCAN_SECOND;
  } else {
    *first = NX_MEMSCAN_NONE;
    *second = NX_MEMSCAN_NONE;
  }
  return 1;
}

SCANCORE_EXPORT int32_t NxScanMessage(void*, void*) { return 0; }
