// The run's dealings with its caller and its controllers: progress records,
// the pause/stop protocol over the named events, the report; and the file
// helpers every step uses.
#include <cstdarg>
#include <cstring>
#include <mutex>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "common/report_log.h"
#include "updengine/engine.h"
#include "updengine/update_log.h"

namespace nx::upd {

using namespace ce;

namespace {

std::mutex g_transferMu;
NxTransferCallback g_transfer = nullptr;
void* g_transferCtx = nullptr;

bool isSet(HANDLE h) { return h && WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

}  // namespace

Events& events() {
  static Events e;
  return e;
}

bool& stoppedMark() {
  static bool stopped = false;
  return stopped;
}

void setTransferCallback(NxTransferCallback cb, void* ctx) {
  std::lock_guard lock(g_transferMu);
  g_transfer = cb;
  g_transferCtx = ctx;
}

void reportTransfer(const WCHAR* file, uint64_t done, uint64_t total) {
  std::lock_guard lock(g_transferMu);
  if (g_transfer) g_transfer(file, done, total, g_transferCtx);
}

std::u16string text(const WCHAR* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::u16string s = vformat16(fmt, ap);
  va_end(ap);
  return s;
}

std::u16string joinPath(const std::u16string& dir, const std::u16string& name) {
  if (!dir.empty() && dir.back() == u'\\') return dir + name;
  return dir + u"\\" + name;
}

bool fileExists(const std::u16string& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool folderExists(const std::u16string& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void emptyFolder(const std::u16string& folder) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW d;
  HANDLE f = FindFirstFileW(joinPath(folder, u"*.*").c_str(), &d);
  if (f == INVALID_HANDLE_VALUE) return;
  do {
    if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(d.cFileName);
  } while (FindNextFileW(f, &d));
  FindClose(f);
  for (const auto& n : names) {
    const std::u16string p = joinPath(folder, n);
    SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(p.c_str())) break;
  }
}

int32_t Run::progress(uint16_t code, const WCHAR* file) const {
  if (!cb_) return 0;
  NxUpdateProgress rec;
  std::memset(&rec, 0, sizeof rec);
  rec.code = code;
  if (file) {
    size_t n = wcslen16(file);
    if (n > 259) n = 259;
    std::memcpy(rec.file, file, n * sizeof(WCHAR));
  }
  return cb_(&rec, ctx_);
}

bool Run::pauseStopCheck() {
  Events& ev = events();
  if (!isSet(ev.pause) && !marks.paused) return false;
  if (marks.resumed) {
    marks = {};
    return false;
  }
  if (!ev.resume || !ev.stop) return false;
  // Paused: wait for a controller to resume or stop. The handset polls the
  // two events without sleeping; a wait for either wakes as soon as one is
  // set, without spinning a core for as long as the pause lasts.
  HANDLE both[2] = {ev.resume, ev.stop};
  DWORD w = WaitForMultipleObjects(2, both, FALSE, INFINITE);
  if (w == WAIT_OBJECT_0) {
    ResetEvent(ev.resume);
    ResetEvent(ev.pause);
    marks = {};
    return false;
  }
  ResetEvent(ev.pause);
  log::write(log::kProgress, u"CheckPauseStop", u"Update stopped by the user");
  report(kResultInterrupted);
  stoppedMark() = true;
  return true;
}

void Run::report(DWORD result, const ScanVersionInfo* oldV, const ScanVersionInfo* newV) const {
  ReportSession session;
  // The title is one of the string library's texts, like the body's.
  UiStrings strings;
  strings.load(installDir.c_str());
  const std::u16string title = updateTitle(strings, result);
  strings.unload();
  if (!session.Open(installDir.c_str(), kReportUpdate, title.c_str(), kUpdateIndexName)) {
    log::write(log::kError, u"WriteReport", u"Cannot open the update report. ERROR: %d", int(GetLastError()));
    return;
  }
  if (!session.WriteUpdateBody(result, oldV, newV))
    log::write(log::kError, u"WriteReport", u"Cannot write the update report. ERROR: %d", int(GetLastError()));
  session.Close();
}

}  // namespace nx::upd
