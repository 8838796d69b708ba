// The scan worker: takes the waiting files one at a time, has them scanned
// and acted on, writes the report entry and hands the notification to the
// dialog.
#include <algorithm>
#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/gdi.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/report_log.h"
#include "common/string_lookup.h"
#include "guardsvc/display_path.h"
#include "guardsvc/guard_ids.h"
#include "guardsvc/guard_log.h"
#include "guardsvc/guard_service.h"

namespace guard {

using namespace ce;

namespace {

// A file held by another program is tried again after 1, 2 and 4 device
// seconds, then told as not scanned.
constexpr int kBusyAttempts = 3;
constexpr DWORD kBusyFirstDelayMs = 1000;
constexpr size_t kMaxLostKept = 100;
constexpr size_t kMaxWrittenKept = 256;

struct Text {
  DWORD id;
  const WCHAR* fallback;
};

// The notification text of a result code; id 0 for a code that is not told.
Text noteText(DWORD code) {
  switch (code) {
    case kResultRepaired: return {nx::ui::kNoteRepaired, u"File was repaired."};
    case kResultUnrepairable: return {nx::ui::kNoteUnrepairable, u"File was unrepairable."};
    case kResultDeleted: return {nx::ui::kNoteDeleted, u"File was deleted."};
    case kResultSkipped: return {nx::ui::kNoteSkipped, u"File was skipped."};
    case kResultQuarantined: return {nx::ui::kNoteQuarantined, u"File was quarantined."};
    case kResultNotScanned: return {nx::ui::kNoteNotScanned, nx::ui::builtIn(nx::ui::kNoteNotScanned)};
    default: return {0, nullptr};
  }
}

DWORD reasonId(NotScannedReason r) {
  switch (r) {
    case NotScannedReason::Limits: return nx::ui::kReasonScanLimits;
    case NotScannedReason::InUse: return nx::ui::kReasonInUse;
    case NotScannedReason::PathTooLong: return nx::ui::kReasonPathTooLong;
    case NotScannedReason::TooLarge: return nx::ui::kReasonTooLarge;
    default: return nx::ui::kReasonScanError;
  }
}

// Size and last write time of a file, without opening it.
bool fileVersion(const std::u16string& path, uint64_t* size, uint64_t* modified) {
  WIN32_FIND_DATAW fd;
  HANDLE f = FindFirstFileW(path.c_str(), &fd);
  if (f == INVALID_HANDLE_VALUE) return false;
  FindClose(f);
  *size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
  *modified = (static_cast<uint64_t>(fd.ftLastWriteTime.dwHighDateTime) << 32) | fd.ftLastWriteTime.dwLowDateTime;
  return true;
}

}  // namespace

DWORD GuardService::workerThreadProc(void* p) {
  static_cast<GuardService*>(p)->workerLoop();
  return 0;
}

void GuardService::workerLoop() {
  HANDLE objects[2] = {closeEvent_, pending_.workEvent()};
  auto closing = [&] { return WaitForSingleObject(closeEvent_, 0) == WAIT_OBJECT_0; };
  for (;;) {
    DWORD timeout = INFINITE;
    if (!retries_.empty()) {
      DWORD now = GetTickCount();
      timeout = 0;
      DWORD soonest = INFINITE;
      for (const Retry& r : retries_) {
        DWORD left = static_cast<int32_t>(r.due - now) > 0 ? r.due - now : 0;
        soonest = std::min(soonest, left);
      }
      timeout = soonest;
    }
    DWORD w = WaitForMultipleObjects(2, objects, FALSE, timeout);
    if (w == WAIT_FAILED) break;
    if (w == WAIT_OBJECT_0 + 1) ResetEvent(objects[1]);
    if (closing()) break;
    if (protected_.load()) {
      PendingQueue::Entry e;
      while (!closing() && protected_.load() && pending_.take(&e)) {
        if (!e.active) continue;  // released by a trusted writer meanwhile
        handleFile(e.path, 0);
      }
      // Files held by another program whose time has come.
      const DWORD now = GetTickCount();
      std::vector<Retry> due;
      for (auto it = retries_.begin(); it != retries_.end();) {
        if (static_cast<int32_t>(it->due - now) <= 0) {
          due.push_back(std::move(*it));
          it = retries_.erase(it);
        } else {
          ++it;
        }
      }
      for (const Retry& r : due) {
        if (closing() || !protected_.load()) {
          retries_.push_back(r);
          continue;
        }
        handleFile(r.path, r.attempts);
      }
    }
    diag_.setGauges(protected_.load() ? 1 : 0, static_cast<uint32_t>(pending_.size()),
                    static_cast<uint32_t>(retries_.size()));
    flushLost();
  }
}

void GuardService::handleFile(const std::u16string& path, int attempts) {
  if (ignore_.isIgnored(path.c_str())) {
    diag_.count(&Statistics::filesIgnored);
    diag_.handled(path, false, 0);
    return;
  }
  const std::u16string key = toUpperCase(path);
  // A change notification of the engine's own repair: the file is as the
  // guard left it. One repair may raise several notifications (the write and
  // the close can come apart), so the mark stays until the file changes.
  if (auto it = written_.find(key); it != written_.end()) {
    uint64_t size = 0, modified = 0;
    bool same = fileVersion(path, &size, &modified) && size == it->second.size && modified == it->second.modified;
    if (!same) written_.erase(it);
    if (same) {
      diag_.count(&Statistics::filesUnchanged);
      diag_.handled(path, false, 0);
      return;
    }
  }
  // A new change of a file waiting for its retry is this file's scan now.
  if (attempts == 0)
    retries_.erase(std::remove_if(retries_.begin(), retries_.end(), [&](const Retry& r) { return r.path == path; }),
                   retries_.end());

  ScanResultRecord rec;
  ActDetails details;
  ActOutcome outcome;
  {
    std::shared_lock<std::shared_mutex> lock(apiMu_);
    if (!protected_.load() || !api_.loaded()) {
      // The engine went away (its card was taken out): the file waits.
      if (attempts) retries_.push_back(Retry{path, attempts, GetTickCount()});
      else pending_.add(path.c_str());
      return;
    }
    ActContext ctx{&api_, installDir_, options_.online()};
    outcome = scanAndAct(ctx, path, &rec, &details);
  }
  if (details.scanned) diag_.count(&Statistics::filesScanned);
  if (details.engineWrote) {
    uint64_t size = 0, modified = 0;
    if (fileVersion(path, &size, &modified)) {
      if (written_.size() >= kMaxWrittenKept) {
        auto oldest = std::min_element(written_.begin(), written_.end(),
                                       [](const auto& a, const auto& b) { return a.second.at < b.second.at; });
        written_.erase(oldest);
      }
      written_[key] = Written{size, modified, GetTickCount()};
    }
  }
  if (details.notAFile) logLine(u"Not a file, not scanned: " + path);
  if (outcome == ActOutcome::Busy) {
    if (attempts < kBusyAttempts) {
      retries_.push_back(Retry{path, attempts + 1, GetTickCount() + (kBusyFirstDelayMs << attempts)});
      diag_.handled(path, details.scanned, 0);
      return;
    }
    std::memset(&rec, 0, sizeof rec);
    size_t n = std::min<size_t>(path.size(), 1023);
    std::memcpy(rec.path, path.data(), n * sizeof(char16_t));
    rec.code = kResultNotScanned;
    details.reason = NotScannedReason::InUse;
    outcome = ActOutcome::Result;
  }
  if (outcome == ActOutcome::Result && rec.code != 0) {
    if (rec.code == kResultNotScanned) diag_.count(&Statistics::notScanned);
    else diag_.count(&Statistics::threats);
    if (!reportAndNotify(rec, details.reason)) {
      diag_.count(&Statistics::reportFailures);
      logLine(u"The report for " + path + u" could not be written; no notification.");
    } else {
      diag_.count(&Statistics::reports);
    }
  }
  diag_.handled(path, details.scanned, outcome == ActOutcome::Result ? rec.code : 0);
}

bool GuardService::reportAndNotify(const ScanResultRecord& rec, NotScannedReason reason) {
  Text note = noteText(rec.code);
  if (!note.id) return false;
  // The built-in English texts stand in for a missing string library: what
  // was done to the user's file is told either way.
  nx::UiStrings strings;
  strings.load(installDir_);
  std::u16string text = strings.get(note.id, note.fallback);
  std::u16string threat = rec.code == kResultNotScanned ? strings.get(reasonId(reason)) : std::u16string(rec.threat);
  nx::ReportSession report;
  if (!report.Open(installDir_, nx::kReportOnline, rec.path, nx::kOnlineIndexName)) return false;
  bool written = report.WriteOnlineEntry(rec.code, threat.c_str(), rec.path);
  if (!report.Close() || !written) return false;
  const bool landscape = GetSystemMetrics(SM_CXSCREEN) > GetSystemMetrics(SM_CYSCREEN);
  notify_.post(Notice{displayPath(rec.path, landscape), threat, text});
  return true;
}

void GuardService::noteLost(const WCHAR* path, bool tooLong) {
  diag_.count(&Statistics::eventsLost);
  {
    std::lock_guard<std::mutex> lock(lostMu_);
    if (lost_.size() < kMaxLostKept) {
      size_t n = 0;
      while (path[n] && n < 4096) ++n;
      lost_.push_back(Lost{std::u16string(path, n), tooLong});
    } else {
      ++lostMore_;
    }
  }
  SetEvent(pending_.workEvent());
}

void GuardService::flushLost() {
  std::vector<Lost> lost;
  uint64_t more = 0;
  {
    std::lock_guard<std::mutex> lock(lostMu_);
    lost.swap(lost_);
    more = lostMore_;
    lostMore_ = 0;
  }
  for (const Lost& l : lost)
    logLine((l.tooLong ? u"Path too long to be scanned: " : u"Scan queue full, a change was not scanned: ") + l.path);
  if (more) logLine(format16(u"Scan queue full, %u more changes were not scanned.", static_cast<unsigned>(more)));
}

}  // namespace guard
