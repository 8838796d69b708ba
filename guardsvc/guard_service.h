// The on-access guard service: one instance while the service host runs
// "OLN0:". OLN_Init makes the named objects and starts, in this order, the
// user-interface thread (windows, shell notifications, protection on and off,
// the storage card), the wait thread (close event, options changes, the
// ignore queue) and the scan worker; OLN_Deinit stops them all before the
// library can be unloaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ce/shell.h"
#include "ce/ui.h"
#include "ce/windows.h"
#include "common/ignore_list.h"
#include "guardsvc/diagnostics.h"
#include "guardsvc/notify_dialog.h"
#include "guardsvc/options_copy.h"
#include "guardsvc/pending_queue.h"
#include "guardsvc/scan_act.h"
#include "guardsvc/scan_api.h"

namespace guard {

class GuardService {
 public:
  GuardService();
  ~GuardService();
  GuardService(const GuardService&) = delete;
  GuardService& operator=(const GuardService&) = delete;

  bool init();
  // False when the user-interface thread could not be stopped (it is inside
  // a call the service host answers only after OLN_Deinit): the object and
  // the library must then outlive the call.
  bool deinit();

  // ---- The user-interface thread (ui_thread.cpp) ----
  static ce::DWORD uiThreadProc(void* self);
  bool enableProtection();
  bool disableProtection();
  void onFileChange(const ce::FILECHANGEINFO& info);
  void onCardChange(const ce::FILECHANGEINFO& info);
  void startUpdateService();
  void startCardScanner(const ce::WCHAR* cardFolder);
  bool installOnCard(const ce::WCHAR* cardFolder) const;

  // ---- The reminder (reminder.cpp) ----
  bool setReminder();
  void endReminder();
  static ce::DWORD remindThreadProc(void* event);

  // ---- The wait thread (guard_service.cpp) ----
  static ce::DWORD waitThreadProc(void* self);

  // ---- The scan worker (scan_worker.cpp) ----
  static ce::DWORD workerThreadProc(void* self);
  void workerLoop();
  // attempts: how often the file was found held by another program.
  void handleFile(const std::u16string& path, int attempts);
  bool reportAndNotify(const ScanResultRecord& rec, NotScannedReason reason);
  // A file event the queue could not take (full, or a path too long for it).
  void noteLost(const ce::WCHAR* path, bool tooLong);
  void flushLost();

  // OLN_IOControl: the diagnostic codes (diagnostics.h); FALSE for any other.
  ce::BOOL ioControl(ce::DWORD code, const ce::BYTE* in, ce::DWORD inSize, ce::BYTE* out, ce::DWORD outSize,
                     ce::DWORD* actual);

  const ce::WCHAR* installDir() const { return installDir_; }
  ce::HINSTANCE module() const { return module_; }

 private:
  ce::WCHAR installDir_[ce::MAX_PATH] = {};
  ce::HINSTANCE module_ = nullptr;

  // Named objects.
  ce::HANDLE closeEvent_ = nullptr;
  ce::HANDLE onlineChanged_ = nullptr;
  ce::HANDLE otherChanged_ = nullptr;
  ce::HANDLE queue_ = nullptr;
  nx::IgnoreList ignore_;

  // Threads.
  ce::HANDLE uiThread_ = nullptr;
  ce::DWORD uiThreadId_ = 0;
  ce::HANDLE waitThread_ = nullptr;
  ce::HANDLE worker_ = nullptr;
  std::atomic<bool> uiEnded_{false};

  // The reminder while the card holding the installation is out, and
  // whether the user-interface thread waits for the service host.
  std::mutex stateMu_;
  ce::HANDLE reminderThread_ = nullptr;
  ce::HANDLE reminderEvent_ = nullptr;  // the service's own handle of "Close_Remind_Event"
  bool closing_ = false;                // no reminder and no host call start once the service stops
  bool inHostCall_ = false;

  OptionsCopy options_;
  Diagnostics diag_;
  PendingQueue pending_;

  // The scanning API: the worker scans under a shared hold, the
  // user-interface thread loads and unloads it under an exclusive one.
  std::shared_mutex apiMu_;
  ScanApi api_;
  std::atomic<bool> protected_{false};

  // Windows of the user-interface thread.
  // Read by the wait thread when it deregisters them at the stop.
  std::atomic<ce::HWND> fileWatch_{nullptr};
  std::atomic<ce::HWND> card_{nullptr};
  NotifyDialog notify_;

  // Paths the queue had no room for, told by the worker in the debug log.
  std::mutex lostMu_;
  struct Lost {
    std::u16string path;
    bool tooLong;
  };
  std::vector<Lost> lost_;
  uint64_t lostMore_ = 0;

  // The worker's own: files it is to try again (held by another program),
  // and the state of files the engine rewrote, whose change notifications
  // are the guard's own doing.
  struct Retry {
    std::u16string path;
    int attempts;
    ce::DWORD due;
  };
  std::vector<Retry> retries_;
  struct Written {
    uint64_t size;
    uint64_t modified;
    ce::DWORD at;
  };
  std::unordered_map<std::u16string, Written> written_;
  bool optionsDamaged_[2] = {false, false};
};

}  // namespace guard
