// The guard's user-interface thread: its windows, the file-event and card
// procedures, protection on and off, and the update service and the card
// scanner it starts.
#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/process.h"
#include "ce/registry.h"
#include "ce/services.h"
#include "ce/text.h"
#include "common/options_files.h"
#include "common/service_keys.h"
#include "guardsvc/guard_ids.h"
#include "guardsvc/guard_service.h"

namespace guard {

using namespace ce;

namespace {

GuardService* serviceOf(HWND hwnd) { return reinterpret_cast<GuardService*>(GetWindowLongW(hwnd, DWL_USER)); }

// Both windows are never shown: they exist to receive change notifications.
template <void (GuardService::*Handler)(const FILECHANGEINFO&)>
INT_PTR notificationProc(HWND hwnd, UINT msg, WPARAM, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongW(hwnd, DWL_USER, lParam);
      return TRUE;
    case WM_FILECHANGEINFO: {
      auto* record = reinterpret_cast<FILECHANGENOTIFY*>(lParam);
      if (!record) return TRUE;
      if (GuardService* s = serviceOf(hwnd)) (s->*Handler)(record->fci);
      SHChangeNotifyFree(record);
      return TRUE;
    }
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return TRUE;
    default:
      return FALSE;
  }
}

void makeConfigFolder(const WCHAR* installDir) {
  WCHAR folder[MAX_PATH];
  if (format16(folder, MAX_PATH, u"%s\\Config", installDir) > 0) CreateDirectoryW(folder, nullptr);
}

const WCHAR* itemPath(uintptr_t item) { return reinterpret_cast<const WCHAR*>(item); }

}  // namespace

DWORD GuardService::uiThreadProc(void* p) {
  auto* s = static_cast<GuardService*>(p);
  HWND card = CreateDialogParamW(s->module_, MAKEINTRESOURCEW(kTemplateCard), nullptr,
                                 &notificationProc<&GuardService::onCardChange>, reinterpret_cast<LPARAM>(s));
  if (!card) {
    s->uiEnded_ = true;
    return 0;
  }
  s->card_ = card;
  makeConfigFolder(s->installDir_);
  s->options_.reloadOnline(s->installDir_);
  s->options_.reloadGeneral(s->installDir_);

  // Card insertion and removal only: the file events go to the file-watch
  // window, and would otherwise all be posted here a second time.
  SHCHANGENOTIFYENTRY cardEntry{static_cast<DWORD>(SHCNE_DRIVEADD | SHCNE_DRIVEREMOVED), nullptr, FALSE};
  bool running = SHChangeNotifyRegister(card, &cardEntry) != FALSE;
  if (running) {
    if (GetFileAttributesW(s->installDir_) == INVALID_FILE_ATTRIBUTES) {
      // The software lives on a storage card that is not there.
      if (!s->setReminder()) MessageBoxW(nullptr, kSetReminderFailed, kCaption, kBoxFlags);
    } else if (!s->enableProtection()) {
      MessageBoxW(nullptr, kEnableFailed, kCaption, kBoxFlags);
      running = false;
    }
  }
  while (running) {
    MSG m;
    BOOL r = GetMessageW(&m, nullptr, 0, 0);
    if (r <= 0) break;
    if (!m.hwnd && m.message == kMsgStopUi) break;
    HWND fw = s->fileWatch_.load();
    HWND nd = s->notify_.hwnd();
    if (fw && IsDialogMessageW(fw, &m)) continue;
    if (nd && IsDialogMessageW(nd, &m)) continue;
    if (IsDialogMessageW(card, &m)) continue;
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  if (HWND fw = s->fileWatch_.exchange(nullptr)) {
    SHChangeNotifyDeregister(fw);
    DestroyWindow(fw);
  }
  s->notify_.destroy();
  s->card_ = nullptr;
  SHChangeNotifyDeregister(card);
  DestroyWindow(card);
  s->protected_ = false;
  s->uiEnded_ = true;
  return 0;
}

bool GuardService::enableProtection() {
  if (protected_.load()) return true;
  ScanApi api;
  if (!loadScanApi(installDir_, &api)) return false;
  HWND fw = CreateDialogParamW(module_, MAKEINTRESOURCEW(kTemplateFileWatch), nullptr,
                               &notificationProc<&GuardService::onFileChange>, reinterpret_cast<LPARAM>(this));
  bool ok = fw && notify_.create(module_);
  if (ok) {
    // Renames, creations and files written, anywhere on the device.
    SHCHANGENOTIFYENTRY entry{static_cast<DWORD>(SHCNE_RENAMEITEM | SHCNE_CREATE | SHCNE_UPDATEITEM), nullptr, TRUE};
    ok = SHChangeNotifyRegister(fw, &entry) != FALSE;
  }
  if (!ok) {
    if (fw) DestroyWindow(fw);
    notify_.destroy();
    unloadScanApi(&api);
    return false;
  }
  {
    std::unique_lock<std::shared_mutex> lock(apiMu_);
    api_ = api;
    protected_ = true;
  }
  fileWatch_ = fw;
  // Files that waited while the engine was away are scanned now.
  SetEvent(pending_.workEvent());
  return true;
}

bool GuardService::disableProtection() {
  if (HWND fw = fileWatch_.exchange(nullptr)) {
    SHChangeNotifyDeregister(fw);
    DestroyWindow(fw);
  }
  notify_.destroy();
  // Waits for the file the worker is scanning: the engine is not taken away
  // from under it.
  std::unique_lock<std::shared_mutex> lock(apiMu_);
  protected_ = false;
  return unloadScanApi(&api_);
}

bool GuardService::installOnCard(const WCHAR* cardFolder) const {
  if (!cardFolder || !cardFolder[0]) return false;
  std::u16string_view dir(installDir_), card(cardFolder);
  while (!card.empty() && card.back() == u'\\') card.remove_suffix(1);
  if (card.empty() || dir.size() < card.size() || !equalsNoCase(dir.substr(0, card.size()), card)) return false;
  return dir.size() == card.size() || dir[card.size()] == u'\\';
}

void GuardService::onFileChange(const FILECHANGEINFO& info) {
  if (!options_.protectionOn()) {
    diag_.count(&Statistics::eventsOff);
    return;
  }
  const WCHAR* path = nullptr;
  switch (info.wEventId) {
    case SHCNE_RENAMEITEM:
      path = itemPath(info.dwItem2);
      break;
    case SHCNE_CREATE:
    case SHCNE_UPDATEITEM:
      path = itemPath(info.dwItem1);
      break;
    default:
      return;
  }
  if (!path || !path[0]) return;
  if (ignore_.isIgnored(path)) return;
  // Only the queue's own lock and the ignore list's: nothing here waits for
  // a file or a scan. A path that cannot be queued is told by the worker.
  switch (pending_.add(path)) {
    case PendingQueue::AddResult::Added:
      diag_.count(&Statistics::eventsQueued);
      diag_.queued(path);
      break;
    case PendingQueue::AddResult::Merged:
      diag_.count(&Statistics::eventsMerged);
      break;
    case PendingQueue::AddResult::Full:
      noteLost(path, false);
      break;
    case PendingQueue::AddResult::Refused:
      noteLost(path, true);
      break;
    default:
      break;
  }
}

void GuardService::onCardChange(const FILECHANGEINFO& info) {
  const WCHAR* card = itemPath(info.dwItem1);
  if (!card || !card[0]) return;
  if (info.wEventId == SHCNE_DRIVEREMOVED) {
    if (installOnCard(card) && disableProtection()) setReminder();
    return;
  }
  if (info.wEventId != SHCNE_DRIVEADD) return;
  if (installOnCard(card)) {
    if (!enableProtection()) return;
    endReminder();
    startUpdateService();
  }
  makeConfigFolder(installDir_);
  options_.reloadOnline(installDir_);
  options_.reloadGeneral(installDir_);
  if (options_.general().bScanCardOnInsert != 0) startCardScanner(card);
}

void GuardService::startUpdateService() {
  nx::WM_UPDATE_OPTS update{};
  if (!nx::CWmOptionsGen::ReadUpdateOpts(installDir_, &update, nx::kOptionsReadCurrent)) return;
  if (update.bAutoUpdate != 1) return;
  nx::writeServiceKey(nx::ProductService::Update);
  // Whatever the registry gave; a failure is only noted (the last error).
  {
    std::lock_guard<std::mutex> lock(stateMu_);
    if (closing_) return;
    inHostCall_ = true;
  }
  RegisterService(u"UPD0:", 0, u"updsvc.dll", 0);
  std::lock_guard<std::mutex> lock(stateMu_);
  inHostCall_ = false;
}

void GuardService::startCardScanner(const WCHAR* cardFolder) {
  WCHAR program[MAX_PATH];
  size_t n = wcslen16(installDir_);
  if (format16(program, MAX_PATH, (n > 0 && installDir_[n - 1] == u'\\') ? u"%s%s" : u"%s\\%s", installDir_,
               kScannerProgram) < 0)
    return;
  WCHAR args[MAX_PATH + 32];
  if (format16(args, MAX_PATH + 32, kCardScanArguments, cardFolder) < 0) return;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program, args, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi)) return;
  if (pi.hProcess) CloseHandle(pi.hProcess);
  if (pi.hThread) CloseHandle(pi.hThread);
}

}  // namespace guard
