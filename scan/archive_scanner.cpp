// The ArchiveScanner: walks the members of a CAB, SIS or SISX archive. Each
// member is extracted by the archive reader to a temporary file, renamed to
// carry the member's extension (so that extension-based detection sees what
// the handset would), scanned with a scanner list of its own one level
// deeper, and removed again. The guard is told to leave every temporary
// path alone for exactly as long as the engine uses it.
#include <cstring>
#include <new>

#include "ce/files.h"
#include "ce/text.h"
#include "ce/time.h"
#include "platform/platform_api.h"
#include "scan/engine.h"

namespace nx::scan {
namespace {

using ce::WCHAR;

constexpr size_t kPathChars = ce::MAX_PATH;  // 260
// Display paths grow by "/" and a member name per level while shorter than
// 520 characters, so 520 + 1 + 259 and a terminator always fit.
constexpr size_t kDisplayChars = 1024;
constexpr size_t kAppendBelow = 520;
constexpr size_t kMemberExtChars = 9;
constexpr int kRemoveTries = 50;
constexpr ce::DWORD kRemovePauseMs = 50;

struct ArchiveScanner {
  ScannerObject base;
  int32_t listCode;
  ScanSettings* settings = nullptr;
  WCHAR archivePath[kPathChars] = {};
  WCHAR rootDisplay[kPathChars] = {};
  int32_t rootType = 0;
  uintptr_t userValue = 0;
  int32_t depth = 0;
  ArchiveReader* reader = nullptr;
  NxDeleteArchiveReaderFn deleteReader = nullptr;
  NxSetArchiveReaderLimitsFn readerLimits = nullptr;
  NxGetArchiveReaderStatusFn readerStatus = nullptr;
  uint64_t counted = 0;  // of the reader's bytes, those already in the file's account
};

ArchiveScanner* self(ScannerObject* o) { return reinterpret_cast<ArchiveScanner*>(o); }

// Copies src into dst (cap characters with terminator); false when it does not fit.
bool copyWhole(WCHAR* dst, size_t cap, const WCHAR* src) {
  size_t n = 0;
  while (n < cap && src[n]) ++n;
  if (n >= cap) return false;
  std::memcpy(dst, src, n * sizeof(WCHAR));
  dst[n] = 0;
  return true;
}

// Copies as much of src as fits (a display path may be shown shortened).
void copyCut(WCHAR* dst, size_t cap, const WCHAR* src) {
  size_t n = 0;
  while (n + 1 < cap && src[n]) ++n;
  std::memcpy(dst, src, n * sizeof(WCHAR));
  dst[n] = 0;
}

void dropReader(ArchiveScanner* a) {
  if (!a->reader) return;
  a->reader->ops->Close(a->reader);
  if (a->deleteReader) a->deleteReader(a->reader);
  a->reader = nullptr;
  a->deleteReader = nullptr;
}

int32_t notify(ScanSettings* s, int32_t event, NxEventRecord* record, uintptr_t userValue) {
  if (!s->eventHandler) return NX_ACTION_CONTINUE;
  const int32_t answer = s->eventHandler(event, record, userValue, s->context);
  if (answer == NX_ACTION_STOP) s->stop = 1;
  return answer;
}

// ---- Scan limits -------------------------------------------------------------------------
// The file's budget is in its settings (limits and account), shared by every
// level of nesting; each reader is handed what is left of it before Open and
// before each member, and its account is taken into the file's after each.

bool limited(const ScanSettings* s) { return NX_SETTINGS_HAVE_LIMITS(s); }

uint32_t deadlineOf(const ScanSettings* s) {
  if (s->limitMs == 0) return 0;
  const uint32_t d = s->startTick + s->limitMs;
  return d ? d : 1;
}

bool timeIsUp(ScanSettings* s) {
  if (!limited(s) || s->limitMs == 0) return false;
  if (static_cast<int32_t>(ce::GetTickCount() - deadlineOf(s)) < 0) return false;
  s->limitsHit |= NX_SCAN_LIMIT_TIME;
  return true;
}

void passLimits(ArchiveScanner* a, ArchiveReader* reader) {
  const ScanSettings* s = a->settings;
  if (!a->readerLimits || !limited(s)) return;
  ArchiveReaderLimits l{};
  l.size = sizeof l;
  l.maxBytes = s->limitBytes == 0                ? UINT64_MAX
               : s->usedBytes >= s->limitBytes ? 0
                                               : s->limitBytes - s->usedBytes;
  l.deadline = deadlineOf(s);
  a->readerLimits(reader, &l);
}

// The reader's account into the file's; false when the reader keeps none.
bool takeStatus(ArchiveScanner* a, ArchiveReader* reader, ArchiveReaderStatus& st) {
  st = ArchiveReaderStatus{};
  st.size = sizeof st;
  if (!a->readerStatus || a->readerStatus(reader, &st) != 1) return false;
  ScanSettings* s = a->settings;
  if (limited(s)) {
    if (st.produced > a->counted) s->usedBytes += st.produced - a->counted;
    a->counted = st.produced;
    s->limitsHit |= st.limits;
  }
  return true;
}

// ---- Temporary files -----------------------------------------------------------------

// "<dir>\<fresh unique name>.<ext>" into out; dir ends with or without "\".
bool uniquePath(const WCHAR* dir, const WCHAR* ext, WCHAR (&out)[kPathChars]) {
  WCHAR name[32] = {};
  if (GetNXUniqueFilenameW(dir, ext, name) == 0) return false;
  size_t d = ce::wcslen16(dir);
  const bool slash = d == 0 || dir[d - 1] != u'\\';
  const size_t n = ce::wcslen16(name);
  if (d + (slash ? 1 : 0) + n >= kPathChars) return false;
  std::memcpy(out, dir, d * sizeof(WCHAR));
  if (slash) out[d++] = u'\\';
  std::memcpy(out + d, name, (n + 1) * sizeof(WCHAR));
  return true;
}

const WCHAR* fileNamePart(const WCHAR* path) {
  const WCHAR* last = path;
  for (const WCHAR* p = path; *p; ++p)
    if (*p == u'\\' || *p == u'/') last = p + 1;
  return last;
}

// The member's extension (after the last "." of its last path component, at
// most 9 characters). Names come from the archive: an extension with a
// character no file name may hold is treated as none.
bool memberExtension(const WCHAR* name, WCHAR (&ext)[kMemberExtChars + 1]) {
  const WCHAR* dot = nullptr;
  for (const WCHAR* p = fileNamePart(name); *p; ++p)
    if (*p == u'.') dot = p;
  if (!dot || !dot[1]) return false;
  size_t n = 0;
  for (const WCHAR* p = dot + 1; *p && n < kMemberExtChars; ++p) {
    const WCHAR c = *p;
    if (c < 0x20 || c == u'"' || c == u'*' || c == u':' || c == u'<' || c == u'>' || c == u'?' || c == u'|')
      return false;
    ext[n++] = c;
  }
  ext[n] = 0;
  return n > 0;
}

// Removes an extracted file, retrying while something (a scanner closing
// late, the guard reading it) still holds it. A directory goes once.
void removeExtracted(FileWrapObject* fw, const WCHAR* path) {
  const ce::DWORD attr = ce::GetFileAttributesW(path);
  if (attr == ce::INVALID_FILE_ATTRIBUTES) return;
  if (attr & ce::FILE_ATTRIBUTE_DIRECTORY) {
    fw->ops->RemoveDirW(fw, path);
    return;
  }
  for (int i = 0; i < kRemoveTries; ++i) {
    ce::SetFileAttributesW(path, ce::FILE_ATTRIBUTE_NORMAL);
    if (fw->ops->RemoveW(fw, path) == 0) return;
    if (i + 1 < kRemoveTries) ce::Sleep(kRemovePauseMs);
  }
}

// ---- One member --------------------------------------------------------------------------

struct Walk {
  ArchiveScanner* a;
  FileWrapObject* fw;
  ThreatListObject* threats;
  int32_t depth;  // the archive's depth
};

// Scans the extracted member at `path`, shown as `display`. 1993 when one
// of its scanners found a threat that was not skipped, else 1992.
int32_t scanMember(const Walk& w, const WCHAR* path, WCHAR* display) {
  ScanSettings* s = w.a->settings;
  NxEventRecord record{};
  record.size = sizeof record;
  record.displayPath = display;
  const int32_t memberDepth = w.depth + 1;

  const int32_t h = w.fw->ops->OpenW(w.fw, path, NX_O_RDONLY | NX_O_BINARY, 0);
  if (h < 0) {
    notify(s, NX_ENGINE_ERROR, &record, w.a->userValue);
    return NX_ENGINE_CLEAN;
  }
  ScannerObject** objects = nullptr;
  int32_t* codes = nullptr;
  int32_t count = 0;
  int32_t type = 0;
  uint32_t length = 0;
  const int32_t made = createNXScan(h, path, s, memberDepth, &objects, &codes, &count, &type, &length);
  record.type = type;
  record.length = length;
  // An archive too deep to be opened leaves its members unseen.
  if (limited(s) && archiveBeyondDepth(type, s, memberDepth)) s->limitsHit |= NX_SCAN_LIMIT_DEPTH;
  if (made != NX_ENGINE_SUCCESS) {
    notify(s, made == NX_ENGINE_ERROR ? NX_ENGINE_ERROR : NX_ENGINE_CLEAN, &record, w.a->userValue);
    w.fw->ops->Close(w.fw, h);
    return NX_ENGINE_CLEAN;
  }
  if (notify(s, NX_ENGINE_MEMBER_NEXT, &record, w.a->userValue) == NX_ACTION_STOP) {
    deleteNXScan(objects, codes, count);
    w.fw->ops->Close(w.fw, h);
    return NX_ENGINE_CLEAN;
  }

  bool threat = false;
  bool errorOrDetection = false;
  for (int32_t i = 0; i < count && !s->stop; ++i) {
    ScannerObject* o = objects[i];
    const int32_t opened =
        o->ops->Open(o, h, path, s, w.a->rootDisplay, w.a->rootType, w.a->userValue);
    if (opened == NX_ENGINE_ERROR) {
      errorOrDetection = true;
      notify(s, NX_ENGINE_ERROR, &record, w.a->userValue);
      break;
    }
    if (opened != NX_ENGINE_SUCCESS) continue;
    const int32_t r = o->ops->Scan(o, display, w.threats, memberDepth);
    if (r == NX_ENGINE_ERROR) {
      errorOrDetection = true;
      notify(s, NX_ENGINE_ERROR, &record, w.a->userValue);
      o->ops->Close(o);
      break;
    }
    if (r == NX_ENGINE_THREAT) {
      errorOrDetection = true;
      ThreatRecord* rec = nullptr;
      if (w.threats->ops->Last(w.threats, &rec) == 1 && rec) {
        rec->memberType = static_cast<uint16_t>(type);
        rec->memberLength = length;
        rec->rootType = static_cast<uint16_t>(w.a->rootType);
      } else {
        rec = nullptr;
      }
      if (!s->eventHandler) {
        threat = true;
        o->ops->Close(o);
        break;
      }
      record.threat = rec;
      const int32_t answer = notify(s, NX_ENGINE_THREAT, &record, w.a->userValue);
      record.threat = nullptr;
      if (answer == NX_ACTION_SKIP) {
        if (rec) w.threats->ops->RemoveLast(w.threats);
        o->ops->Close(o);
        continue;
      }
      threat = true;
      if (answer == NX_ACTION_DELETE || answer == NX_ACTION_REPAIR || answer == NX_ACTION_USER1 ||
          answer == NX_ACTION_USER2)
        notify(s, NX_ENGINE_CANNOT_CLEAN, &record, w.a->userValue);
      o->ops->Close(o);
      break;
    }
    if (r == NX_ENGINE_THREAT_MEMBER) {
      threat = true;
      errorOrDetection = true;
      o->ops->Close(o);
      break;
    }
    o->ops->Close(o);
  }
  deleteNXScan(objects, codes, count);
  w.fw->ops->Close(w.fw, h);
  if (threat) return NX_ENGINE_THREAT;
  if (!errorOrDetection) notify(s, NX_ENGINE_CLEAN, &record, w.a->userValue);
  return NX_ENGINE_CLEAN;
}

// ---- The walk ------------------------------------------------------------------------------

// Buffers of one walk, on the heap: walks nest once per archive level.
struct WalkBuffers {
  WCHAR dir[kPathChars];
  WCHAR extract[kPathChars];
  WCHAR renamed[kPathChars];
  WCHAR name[kPathChars + 1];
  WCHAR display[kDisplayChars];
};

int32_t walk(ArchiveScanner* a, const WCHAR* displayIn, ThreatListObject* threats, int32_t depth) {
  FileWrapObject* fw = wrapper();
  if (!fw) return NX_ENGINE_ERROR;
  ScanSettings* s = a->settings;
  auto* b = new (std::nothrow) WalkBuffers{};
  if (!b) return NX_ENGINE_ERROR;
  struct Free {
    WalkBuffers* b;
    ~Free() { delete b; }
  } freeLater{b};

  // The member display paths are built in a buffer of our own: the caller's
  // is only known to hold its own text.
  copyCut(b->display, kDisplayChars, displayIn);
  const size_t displayLen = ce::wcslen16(displayIn);
  const size_t baseLen = ce::wcslen16(b->display);

  if (!copyWhole(b->dir, kPathChars, s->tempDir)) return NX_ENGINE_ERROR;
  if (!uniquePath(b->dir, u"tmp", b->extract)) return NX_ENGINE_ERROR;
  ignorePath(s, b->extract);

  const Walk w{a, fw, threats, depth};
  int32_t hits = 0;
  uint32_t taken = 0;
  ArchiveReaderStatus st;
  for (;;) {
    if (s->stop || timeIsUp(s)) break;
    if (limited(s) && s->limitFiles != 0 && taken == s->limitFiles) {
      // Only an archive that holds more than the limit has met it.
      if (takeStatus(a, a->reader, st) && st.pending) s->limitsHit |= NX_SCAN_LIMIT_FILES;
      break;
    }
    std::memset(b->name, 0, sizeof b->name);
    passLimits(a, a->reader);
    const int32_t got = a->reader->ops->ExtractNext(a->reader, b->extract, b->name);
    takeStatus(a, a->reader, st);
    if (got != 1) break;
    ++taken;
    b->name[kPathChars - 1] = 0;
    if (s->stop) break;

    const ce::DWORD attr = ce::GetFileAttributesW(b->extract);
    if (attr == ce::INVALID_FILE_ATTRIBUTES) continue;
    if (attr & ce::FILE_ATTRIBUTE_DIRECTORY) {
      removeExtracted(fw, b->extract);
      continue;
    }

    // The member is scanned under a name carrying its own extension.
    WCHAR ext[kMemberExtChars + 1];
    const WCHAR* current = b->extract;
    if (b->name[0] && memberExtension(b->name, ext) && uniquePath(b->dir, ext, b->renamed)) {
      ignorePath(s, b->renamed);
      if (fw->ops->MoveW(fw, b->extract, b->renamed) == 0) {
        unignorePath(s, b->extract);
        current = b->renamed;
      } else {
        unignorePath(s, b->renamed);
      }
    }

    if (displayLen < kAppendBelow) {
      const WCHAR* shown = b->name[0] ? b->name : fileNamePart(current);
      size_t at = baseLen;
      b->display[at++] = u'/';
      for (const WCHAR* p = shown; *p && at + 1 < kDisplayChars; ++p) b->display[at++] = *p;
      b->display[at] = 0;
    }

    if (scanMember(w, current, b->display) == NX_ENGINE_THREAT) ++hits;

    b->display[baseLen] = 0;
    removeExtracted(fw, current);
    unignorePath(s, current);

    if (!uniquePath(b->dir, u"tmp", b->extract)) return NX_ENGINE_ERROR;
    ignorePath(s, b->extract);
    if (hits > 0 && s->firstHitOnly == 1) break;
  }
  removeExtracted(fw, b->extract);
  unignorePath(s, b->extract);
  if (limited(s) && takeStatus(a, a->reader, st) && st.undelivered) s->limitsHit |= NX_SCAN_LIMIT_INCOMPLETE;

  if (hits > 0) return NX_ENGINE_THREAT_MEMBER;
  return s->stop ? NX_ENGINE_CANNOT_CLEAN : NX_ENGINE_CLEAN;
}

// ---- Operations ------------------------------------------------------------------------------

int32_t opOpen(ScannerObject* o, int32_t fileHandle, const char16_t* path, ScanSettings* settings,
               const char16_t* rootDisplayPath, int32_t rootType, uintptr_t userValue) {
  ArchiveScanner* a = self(o);
  if (!path || !settings || !rootDisplayPath) return NX_ENGINE_MISSING_ARG;
  if (!copyWhole(a->archivePath, kPathChars, path)) return NX_ENGINE_FAILURE;
  a->userValue = userValue;
  a->settings = settings;
  if (a->reader) return NX_ENGINE_FAILURE;

  const Slot slot = slotSnapshot(a->listCode == NX_LIST_CAB ? kCab : kSis);
  ce::FARPROC create = a->listCode == NX_LIST_SISX ? slot.create2 : slot.create;
  ce::FARPROC destroy = a->listCode == NX_LIST_SISX ? slot.destroy2 : slot.destroy;
  if (!create || !destroy) return NX_ENGINE_FAILURE;
  ArchiveReader* reader = nullptr;
  if (reinterpret_cast<NxCreateArchiveReaderFn>(create)(&reader) == 0 || !reader) return NX_ENGINE_FAILURE;
  auto del = reinterpret_cast<NxDeleteArchiveReaderFn>(destroy);
  a->readerLimits = reinterpret_cast<NxSetArchiveReaderLimitsFn>(slot.readerLimits);
  a->readerStatus = reinterpret_cast<NxGetArchiveReaderStatusFn>(slot.readerStatus);
  a->counted = 0;
  passLimits(a, reader);
  if (reader->ops->Open(reader, fileHandle, a->archivePath) != 1) {
    // An archive a limit kept from opening was not looked at.
    ArchiveReaderStatus st;
    takeStatus(a, reader, st);
    del(reader);
    return NX_ENGINE_FAILURE;
  }
  a->reader = reader;
  a->deleteReader = del;
  a->rootType = rootType;
  copyCut(a->rootDisplay, kPathChars, rootDisplayPath);
  return NX_ENGINE_SUCCESS;
}

int32_t opScan(ScannerObject* o, char16_t* displayPath, ThreatListObject* threats, int32_t depth) {
  ArchiveScanner* a = self(o);
  if (!displayPath || !threats || !a->reader) return NX_ENGINE_MISSING_ARG;
  a->depth = depth;
  return walk(a, displayPath, threats, depth);
}

int32_t opClean(ScannerObject*, ThreatListObject* threats, int32_t) {
  if (!threats) return NX_ENGINE_MISSING_ARG;
  return NX_ENGINE_CANNOT_CLEAN;
}

int32_t opClose(ScannerObject* o) {
  dropReader(self(o));
  return NX_ENGINE_SUCCESS;
}

ScannerObject* opDestroy(ScannerObject* o, uint32_t flags) {
  ArchiveScanner* a = self(o);
  dropReader(a);
  if (flags & 1) {
    delete a;
    return nullptr;
  }
  return o;
}

void opRelease(ScannerObject* o) { opDestroy(o, 1); }

const ScannerOps kOps = {opOpen, opScan, opClean, opClose, opDestroy, opRelease};

}  // namespace

int32_t createArchiveScanner(ScannerObject** slot, int32_t listCode) {
  if (!slot) return 0;
  if (listCode != NX_LIST_CAB && listCode != NX_LIST_SIS && listCode != NX_LIST_SISX) return 0;
  auto* a = new (std::nothrow) ArchiveScanner{};
  if (!a) return 0;
  a->base.ops = &kOps;
  a->listCode = listCode;
  *slot = &a->base;
  return 1;
}

void deleteArchiveScanner(ScannerObject* object) {
  if (object) object->ops->Destroy(object, 1);
}

}  // namespace nx::scan
