#include "guardsvc/guard_service.h"

#include "ce/base.h"
#include "ce/kernel.h"
#include "ce/module.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/install_dir.h"
#include "common/queue_sender.h"
#include "guardsvc/guard_ids.h"
#include "guardsvc/guard_log.h"

namespace guard {

using namespace ce;

namespace {

void closeHandle(HANDLE& h) {
  if (h) CloseHandle(h);
  h = nullptr;
}

}  // namespace

GuardService::GuardService() {
  module_ = ModuleFromAddress(reinterpret_cast<const void*>(&GuardService::uiThreadProc));
  // A path released by its last trusted writer takes its waiting scan with
  // it: the file was replaced by that writer after the event that queued it.
  ignore_.setOnReleased([this](const WCHAR* path) { pending_.cancel(path); });
}

GuardService::~GuardService() = default;

bool GuardService::init() {
  closeEvent_ = CreateEventW(nullptr, TRUE, FALSE, kCloseEventName);
  onlineChanged_ = CreateEventW(nullptr, TRUE, FALSE, kOnlineChangedName);
  otherChanged_ = CreateEventW(nullptr, TRUE, FALSE, kOtherChangedName);
  MSGQUEUEOPTIONS qo = nx::guardQueueOptions(true);
  queue_ = CreateMsgQueue(nx::kGuardQueueName, &qo);
  bool ok = closeEvent_ && onlineChanged_ && otherChanged_ && queue_ && ignore_.open() && pending_.ok() &&
            nx::getInstallDirectory(installDir_, MAX_PATH);
  if (ok) {
    ResetEvent(closeEvent_);
    ResetEvent(onlineChanged_);
    ResetEvent(otherChanged_);
    uiThread_ = CreateThread(nullptr, 0, &GuardService::uiThreadProc, this, 0, &uiThreadId_);
    ok = uiThread_ != nullptr;
  }
  if (ok) {
    waitThread_ = CreateThread(nullptr, 0, &GuardService::waitThreadProc, this, 0, nullptr);
    if (waitThread_) worker_ = CreateThread(nullptr, 0, &GuardService::workerThreadProc, this, 0, nullptr);
    if (!waitThread_ || !worker_) {
      // The threads already running see the close event and end.
      deinit();
      return false;
    }
  }
  if (!ok) {
    closeHandle(closeEvent_);
    closeHandle(onlineChanged_);
    closeHandle(otherChanged_);
    if (queue_) CloseMsgQueue(queue_);
    queue_ = nullptr;
    return false;
  }
  return true;
}

bool GuardService::deinit() {
  if (closeEvent_) SetEvent(closeEvent_);
  bool uiInHostCall;
  {
    std::lock_guard<std::mutex> lock(stateMu_);
    closing_ = true;
    uiInHostCall = inHostCall_;
  }
  endReminder();
  for (HANDLE* t : {&waitThread_, &worker_}) {
    if (!*t) continue;
    WaitForSingleObject(*t, INFINITE);
    closeHandle(*t);
  }
  // The user-interface thread owns the windows: it destroys them and leaves
  // its loop when told, and it must be gone before the library is unloaded.
  // Only a thread inside a call to the service host cannot be waited for:
  // the host answers that call only once this Deinit has returned. Then the
  // library stays loaded and this object alive until the thread is done.
  bool safe = true;
  if (uiThread_) {
    if (!uiEnded_.load()) PostThreadMessageW(uiThreadId_, kMsgStopUi, 0, 0);
    if (uiInHostCall) {
      WCHAR self[MAX_PATH];
      if (GetModuleFileNameW(module_, self, MAX_PATH) > 0) LoadLibraryW(self);
      logLine(u"Stopped while registering the update service; the library stays loaded.");
      safe = false;
    } else {
      WaitForSingleObject(uiThread_, INFINITE);
    }
    closeHandle(uiThread_);
  }
  // A card removed during the stop could have started a reminder since.
  endReminder();
  closeHandle(onlineChanged_);
  closeHandle(otherChanged_);
  closeHandle(closeEvent_);
  if (queue_) CloseMsgQueue(queue_);
  queue_ = nullptr;
  ignore_.clear();
  pending_.clear();
  std::unique_lock<std::shared_mutex> lock(apiMu_);
  protected_ = false;
  if (api_.module) {
    // A session the API refuses to end keeps its library (as a failed
    // disable does); anything else frees it.
    if (!unloadScanApi(&api_)) api_ = ScanApi{};
  }
  return safe;
}

DWORD GuardService::waitThreadProc(void* p) {
  auto* s = static_cast<GuardService*>(p);
  HANDLE objects[4] = {s->closeEvent_, s->onlineChanged_, s->otherChanged_, s->queue_};
  for (;;) {
    DWORD r = WaitForMultipleObjects(4, objects, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0) break;
    if (r == WAIT_OBJECT_0 + 1 || r == WAIT_OBJECT_0 + 2) {
      // Reset before reading: a change made while the file is read sets the
      // event again and is read next time round.
      const bool online = r == WAIT_OBJECT_0 + 1;
      ResetEvent(objects[r - WAIT_OBJECT_0]);
      bool read = online ? s->options_.reloadOnline(s->installDir_) : s->options_.reloadGeneral(s->installDir_);
      bool& damaged = s->optionsDamaged_[online ? 0 : 1];
      if (!read && !damaged)
        logLine(online ? u"The on-access options could not be read; the settings read before stay."
                       : u"The general options could not be read; the settings read before stay.");
      damaged = !read;
    } else if (r == WAIT_OBJECT_0 + 3) {
      s->ignore_.readAndApply(s->queue_);
    } else {
      break;
    }
  }
  if (HWND w = s->fileWatch_.load()) SHChangeNotifyDeregister(w);
  if (HWND w = s->card_.load()) SHChangeNotifyDeregister(w);
  return 0;
}

}  // namespace guard
