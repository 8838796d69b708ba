#include "guardsvc/scan_act.h"

#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "common/quarantine_store.h"
#include "guardsvc/guard_ids.h"

namespace guard {

using namespace ce;

namespace {

void copyText(char16_t* to, size_t cap, const char16_t* from) {
  size_t n = 0;
  if (from)
    while (n + 1 < cap && from[n]) ++n;
  if (n > 0 && from[n] && from[n - 1] >= 0xD800 && from[n - 1] <= 0xDBFF) --n;
  if (n) std::memcpy(to, from, n * sizeof(char16_t));
  to[n] = 0;
}

// What a file that the engine could not open or read is.
enum class Probe { Gone, NotAFile, InUse, PathTooLong, TooLarge, Readable, Unreadable };

Probe probe(const WCHAR* path) {
  DWORD a = GetFileAttributesW(path);
  if (a == INVALID_FILE_ATTRIBUTES) {
    DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return Probe::Gone;
    if (e == ERROR_FILENAME_EXCED_RANGE) return Probe::PathTooLong;
    return Probe::Unreadable;
  }
  if (a & FILE_ATTRIBUTE_DIRECTORY) return Probe::NotAFile;
  // The engine opens for reading with read sharing only.
  HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return Probe::Gone;
    if (e == ERROR_SHARING_VIOLATION) return Probe::InUse;
    // Anything but a regular file is refused by the file layer.
    if (e == ERROR_ACCESS_DENIED) return Probe::NotAFile;
    if (e == ERROR_FILENAME_EXCED_RANGE) return Probe::PathTooLong;
    return Probe::Unreadable;
  }
  DWORD high = 0;
  DWORD low = GetFileSize(h, &high);
  CloseHandle(h);
  if (high != 0 || low > 0x7FFFFFFFu) return Probe::TooLarge;
  return Probe::Readable;
}

// The answer to a file the engine could not open or scan through.
ActOutcome unscanned(const WCHAR* path, ScanResultRecord* rec, ActDetails* d) {
  switch (probe(path)) {
    case Probe::Gone:
      return ActOutcome::Nothing;
    case Probe::NotAFile:
      d->notAFile = true;
      return ActOutcome::Nothing;
    case Probe::InUse:
      return ActOutcome::Busy;
    case Probe::PathTooLong:
      d->reason = NotScannedReason::PathTooLong;
      break;
    case Probe::TooLarge:
      d->reason = NotScannedReason::TooLarge;
      break;
    case Probe::Readable:
    case Probe::Unreadable:
      d->reason = NotScannedReason::ScanError;
      break;
  }
  rec->code = kResultNotScanned;
  return ActOutcome::Result;
}

bool quarantine(const WCHAR* installDir, const WCHAR* path, const WCHAR* threat, DWORD kind) {
  nx::QuarantineRequest request;
  if (!nx::makeQuarantineRequest(path, threat, kind, &request)) return false;
  nx::QuarantineStore store(installDir);
  return store.Quarantine(request);
}

// The guard deletes infected files itself (the session never does): made
// writable first, as the engine does before it removes a file.
bool deleteInfected(const WCHAR* path) {
  DWORD a = GetFileAttributesW(path);
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
    SetFileAttributesW(path, a & ~FILE_ATTRIBUTE_READONLY);
  if (DeleteFileW(path)) return true;
  DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
}

// The file is closed and could not be repaired: what the action code says
// then. A threat the guard could neither remove nor repair is still told.
ActOutcome afterFailedRepair(const ActContext& ctx, const WCHAR* path, ScanResultRecord* rec) {
  switch (ctx.options.bAction) {
    case nx::kActionRepairOrDelete:
      rec->code = deleteInfected(path) ? kResultDeleted : kResultUnrepairable;
      break;
    case nx::kActionRepairOrQuarantine:
      rec->code = quarantine(ctx.installDir, path, rec->threat, nx::kQuarantineMove) ? kResultQuarantined
                                                                                    : kResultUnrepairable;
      break;
    default:  // prompt, and codes the options do not define: the file stays as it is
      rec->code = kResultUnrepairable;
      break;
  }
  return ActOutcome::Result;
}

class Ignored {
 public:
  Ignored(const ScanApi& api, const WCHAR* path) : api_(api), path_(path) {}
  ~Ignored() { release(); }
  void hold() {
    if (held_) return;
    api_.ignore(api_.session, path_);
    held_ = true;
  }
  void release() {
    if (!held_) return;
    api_.unignore(api_.session, path_);
    held_ = false;
  }

 private:
  const ScanApi& api_;
  const WCHAR* path_;
  bool held_ = false;
};

}  // namespace

ActOutcome scanAndAct(const ActContext& ctx, const std::u16string& pathText, ScanResultRecord* rec, ActDetails* d) {
  std::memset(rec, 0, sizeof *rec);
  *d = ActDetails{};
  const ScanApi& api = *ctx.api;
  if (!api.loaded() || !api.complete()) return ActOutcome::Nothing;
  copyText(rec->path, 1024, pathText.c_str());
  const WCHAR* path = rec->path;

  NxFileHandle file = nullptr;
  int32_t r = api.open(api.session, path, &file);
  if (r != NX_RESULT_DONE || !file) return unscanned(path, rec, d);
  auto closeFile = [&] {
    if (file) api.close(&file, 0);
    file = nullptr;
  };

  ScanReport report;
  std::memset(&report, 0, sizeof report);
  int32_t s = api.scan(file, &report);
  d->scanned = true;
  if (s == NX_RESULT_CLEAN) {
    closeFile();
    return ActOutcome::Nothing;
  }
  if (s != NX_RESULT_THREAT) {
    // Neither a threat nor looked at completely: never taken for clean.
    closeFile();
    ActOutcome o = unscanned(path, rec, d);
    if (o == ActOutcome::Result && d->reason == NotScannedReason::ScanError && s != NX_RESULT_ERROR &&
        s != NX_RESULT_REFUSED)
      d->reason = NotScannedReason::Limits;
    return o;
  }
  copyText(rec->threat, 50, report.threat);
  rec->threatInfo = report.category;

  const nx::WM_ONLINE_OPTS& o = ctx.options;
  const bool keepCopy = o.bQuarantine == 1;
  switch (o.bAction) {
    case nx::kActionDelete:
      closeFile();
      if (keepCopy) quarantine(ctx.installDir, path, rec->threat, nx::kQuarantineCopy);
      rec->code = deleteInfected(path) ? kResultDeleted : kResultUnrepairable;
      return ActOutcome::Result;
    case nx::kActionReportOnly:
      closeFile();
      rec->code = kResultSkipped;
      return ActOutcome::Result;
    case nx::kActionRepairOrDelete:
    case nx::kActionRepairOrQuarantine:
      if (keepCopy) quarantine(ctx.installDir, path, rec->threat, nx::kQuarantineCopy);
      break;
    default:
      break;
  }

  // Repair, at most twice. Only the engine's clean writes to the file, so
  // the guard leaves the file's own change notifications alone around it.
  Ignored ignored(api, path);
  for (int attempt = 0; attempt < 2; ++attempt) {
    ignored.hold();
    int32_t c = api.clean(file, 0);
    if (c == NX_RESULT_REPAIRED) {
      d->engineWrote = true;
      std::memset(&report, 0, sizeof report);
      if (api.scan(file, &report) == NX_RESULT_THREAT) continue;  // still infected: once more
      closeFile();
      rec->code = kResultRepaired;
      return ActOutcome::Result;
    }
    closeFile();
    if (c == NX_RESULT_FILE_GONE) {
      // The clean took the file away (a threat that is the whole file), or
      // someone else removed it first: either way it is off the device.
      rec->code = kResultDeleted;
      return ActOutcome::Result;
    }
    // 0 or 4003: not repaired; 4001: the clean failed. The file still holds
    // the threat, so the action's fallback applies to both.
    ignored.release();
    return afterFailedRepair(ctx, path, rec);
  }
  // Repaired twice and still infected.
  closeFile();
  ignored.release();
  return afterFailedRepair(ctx, path, rec);
}

}  // namespace guard
