// The shell's change notifications for device programs: the registrations
// of this process, the records posted to their windows and the watcher that
// feeds them (started with the first registration, stopped with the last).
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "ce/base.h"
#include "ce/process.h"
#include "ce/shell.h"
#include "ce/text.h"
#include "shell_table.h"
#include "shell_watch.h"

namespace ce {

using namespace detail;

namespace {

struct Registration {
  HWND hwnd;
  DWORD mask;
  std::u16string folder;  // normalised device path; empty: the whole device
  bool recursive;
};

struct State {
  std::mutex ctl;  // starting and stopping the watcher
  std::unique_ptr<ChangeWatcher> watcher;
  DeviceState* device = nullptr;  // the device the watcher watches
  std::mutex mu;  // the registrations; held while records are posted
  std::vector<Registration> regs;
  std::atomic<diag::ChangeRecordSink> sink{nullptr};
  bool exitHook = false;
};

State& state() {
  static State* s = new State;  // lives until exit: the watcher may post while statics are destroyed
  return *s;
}

// The records made here and not yet freed: a window destroyed with records
// still in its queue never reads them, so they are freed when its posted
// messages go. Anyone may post WM_FILECHANGEINFO with any parameter; only a
// record in this set is ever freed that way.
struct Outstanding {
  std::mutex mu;
  std::unordered_set<const void*> records;
};

Outstanding& outstanding() {
  static Outstanding* o = new Outstanding;  // as the state: used until exit
  return *o;
}

constexpr char16_t kCardName[] = u"Storage Card";

bool badNameChar(char16_t c) {
  return c < 32 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

// The watch folder as a device path ("\My Documents\Sub"), checked the way
// the file layer checks paths but without touching the disk: the folder, or
// the card it lies on, may come later. "\" and none both mean everything.
bool normaliseFolder(const WCHAR* in, std::u16string& out) {
  out.clear();
  if (!in || !*in) return true;
  size_t len = 0;
  while (in[len])
    if (++len >= MAX_PATH) return SetLastError(ERROR_FILENAME_EXCED_RANGE), false;
  if (in[0] != u'\\' && in[0] != u'/') return SetLastError(ERROR_BAD_PATHNAME), false;
  std::vector<std::u16string> comps;
  std::u16string_view all(in, len);
  for (size_t i = 0; i < len;) {
    while (i < len && (all[i] == u'\\' || all[i] == u'/')) ++i;
    size_t start = i;
    while (i < len && all[i] != u'\\' && all[i] != u'/') ++i;
    if (i == start) break;
    std::u16string_view c = all.substr(start, i - start);
    if (c == u".") continue;
    if (c == u"..") {
      // Not above the device's root, nor out of the card.
      if (comps.empty() || (comps.size() == 1 && equalsNoCase(comps[0], kCardName)))
        return SetLastError(ERROR_BAD_PATHNAME), false;
      comps.pop_back();
      continue;
    }
    for (char16_t ch : c)
      if (badNameChar(ch)) return SetLastError(ERROR_INVALID_NAME), false;
    comps.emplace_back(c);
  }
  if (!comps.empty() && comps[0] == u".ce") return SetLastError(ERROR_ACCESS_DENIED), false;
  for (const auto& c : comps) {
    out.push_back(u'\\');
    out += c;
  }
  return true;
}

std::u16string_view parentOf(std::u16string_view path) {
  size_t cut = path.rfind(u'\\');
  return cut == std::u16string_view::npos || cut == 0 ? std::u16string_view(u"\\") : path.substr(0, cut);
}

bool inFolder(const Registration& r, const std::u16string& item) {
  if (item.empty()) return false;
  std::u16string_view parent = parentOf(item);
  if (!r.recursive) return equalsNoCase(parent, r.folder);
  return item.size() > r.folder.size() && item[r.folder.size()] == u'\\' &&
         equalsNoCase(std::u16string_view(item).substr(0, r.folder.size()), r.folder);
}

bool wants(const Registration& r, const ChangeEvent& ev) {
  if ((r.mask & static_cast<DWORD>(ev.code)) == 0) return false;
  if (r.folder.empty()) return true;
  // The card coming and going is told to the windows that watch everything.
  if (ev.code == SHCNE_DRIVEADD || ev.code == SHCNE_DRIVEREMOVED) return false;
  return inFolder(r, ev.item1) || inFolder(r, ev.item2);
}

// One block: the record, then the two paths it points to.
FILECHANGENOTIFY* makeRecord(const ChangeEvent& ev) {
  const size_t n1 = ev.item1.size() + 1;
  const size_t n2 = ev.item2.empty() ? 0 : ev.item2.size() + 1;
  const size_t bytes = sizeof(FILECHANGENOTIFY) + (n1 + n2) * sizeof(char16_t);
  auto* rec = static_cast<FILECHANGENOTIFY*>(std::calloc(1, bytes));
  if (!rec) return nullptr;
  auto* text = reinterpret_cast<char16_t*>(rec + 1);
  std::memcpy(text, ev.item1.c_str(), n1 * sizeof(char16_t));
  if (n2) std::memcpy(text + n1, ev.item2.c_str(), n2 * sizeof(char16_t));
  rec->dwRefCount = 1;
  rec->fci.cbSize = sizeof(FILECHANGEINFO);
  rec->fci.wEventId = ev.code;
  rec->fci.uFlags = SHCNF_PATH;
  rec->fci.dwItem1 = reinterpret_cast<uintptr_t>(text);
  rec->fci.dwItem2 = n2 ? reinterpret_cast<uintptr_t>(text + n1) : 0;
  rec->fci.dwAttributes = ev.attributes;
  rec->fci.ftModified = ev.modified;
  rec->fci.nFileSize = ev.size;
  Outstanding& o = outstanding();
  std::lock_guard lock(o.mu);
  o.records.insert(rec);
  return rec;
}

enum class Posted { Yes, NoWindow, Full };

Posted postRecord(HWND hwnd, FILECHANGENOTIFY* rec) {
  if (auto sink = state().sink.load()) return sink(hwnd, rec) ? Posted::Yes : Posted::Full;
  if (PostMessageW(hwnd, WM_FILECHANGEINFO, 0, reinterpret_cast<LPARAM>(rec))) return Posted::Yes;
  return GetLastError() == ERROR_INVALID_WINDOW_HANDLE ? Posted::NoWindow : Posted::Full;
}

bool deliverEvent(const ChangeEvent& ev, void*) {
  State& s = state();
  std::lock_guard lock(s.mu);
  bool all = true;
  for (size_t i = 0; i < s.regs.size();) {
    const Registration& r = s.regs[i];
    if (!wants(r, ev)) {
      ++i;
      continue;
    }
    FILECHANGENOTIFY* rec = makeRecord(ev);
    Posted p = rec ? postRecord(r.hwnd, rec) : Posted::Full;
    if (p != Posted::Yes) SHChangeNotifyFree(rec);
    if (p == Posted::Full) all = false;
    if (p == Posted::NoWindow) {
      // The window was destroyed (or its thread ended) without
      // deregistering: its registration goes with it.
      if (s.device) shellTableRemove(s.device, r.hwnd);
      s.regs.erase(s.regs.begin() + static_cast<ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
  return all;
}

void stopAtExit() {
  State& s = state();
  std::lock_guard lock(s.ctl);
  if (s.watcher && s.watcher->onWatcherThread()) {
    (void)s.watcher.release();  // exit() from a record's consumer on the watcher's own thread
    return;
  }
  s.watcher.reset();
}

}  // namespace

BOOL SHChangeNotifyRegister(HWND hwnd, SHCHANGENOTIFYENTRY* entry) {
  if (!hwnd || !entry) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  std::u16string folder;
  if (!normaliseFolder(entry->pszWatchDir, folder)) return FALSE;
  DeviceState* d = device();
  if (!d) return SetLastError(ERROR_NOT_READY), FALSE;
  State& s = state();
  if (!s.sink.load()) {
    // A record is made in this process and points into its memory: only
    // a window of this process can read it.
    DWORD owner = 0;
    if (!IsWindow(hwnd) || !GetWindowThreadProcessId(hwnd, &owner))
      return SetLastError(ERROR_INVALID_WINDOW_HANDLE), FALSE;
    if (owner != GetCurrentProcessId()) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  }
  std::lock_guard ctl(s.ctl);
  if (!s.watcher) {
    // Set before the watcher's thread starts: its first record may already
    // need the device to drop the registration of a vanished window.
    s.device = d;
    s.watcher = ChangeWatcher::start(d, &deliverEvent, nullptr);
    if (!s.watcher) {
      s.device = nullptr;
      return FALSE;
    }
    if (!s.exitHook) {
      s.exitHook = true;
      std::atexit(&stopAtExit);
    }
  }
  {
    std::lock_guard lock(s.mu);
    Registration r{hwnd, entry->dwEventMask, folder, entry->fRecursive != FALSE};
    auto it = std::find_if(s.regs.begin(), s.regs.end(), [&](const Registration& x) { return x.hwnd == hwnd; });
    if (it != s.regs.end())
      *it = std::move(r);
    else
      s.regs.push_back(std::move(r));
  }
  shellTableSet(s.device, hwnd, entry->dwEventMask, folder, entry->fRecursive != FALSE);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL SHChangeNotifyDeregister(HWND hwnd) {
  State& s = state();
  std::lock_guard ctl(s.ctl);
  bool last = false;
  {
    std::lock_guard lock(s.mu);
    auto it = std::find_if(s.regs.begin(), s.regs.end(), [&](const Registration& x) { return x.hwnd == hwnd; });
    if (!hwnd || it == s.regs.end()) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    s.regs.erase(it);
    last = s.regs.empty();
  }
  if (s.device) shellTableRemove(s.device, hwnd);
  // The watches go with the last window; a deregistration made while a
  // record is being posted (on the watcher's own thread) leaves it running.
  if (last && s.watcher && !s.watcher->onWatcherThread()) {
    s.watcher.reset();
    s.device = nullptr;
  }
  return TRUE;
}

void SHChangeNotifyFree(FILECHANGENOTIFY* record) {
  if (!record) return;
  if (record->dwRefCount > 1) {
    --record->dwRefCount;
    return;
  }
  {
    Outstanding& o = outstanding();
    std::lock_guard lock(o.mu);
    o.records.erase(record);
  }
  std::free(record);
}

namespace detail {

void dropFileChangeRecord(uint64_t lParam) {
  auto* record = reinterpret_cast<FILECHANGENOTIFY*>(static_cast<uintptr_t>(lParam));
  {
    Outstanding& o = outstanding();
    std::lock_guard lock(o.mu);
    if (!o.records.count(record)) return;
  }
  SHChangeNotifyFree(record);
}

}  // namespace detail

std::vector<ChangeNotifyRegistration> ListChangeNotifyRegistrations() {
  DeviceState* d = device();
  if (!d) return {};
  return shellTableList(d);
}

namespace diag {
void SetChangeRecordSink(ChangeRecordSink fn) { state().sink.store(fn); }
}  // namespace diag

}  // namespace ce
