// The scheduled update service ("UPD0:"): one worker that runs an update when
// the service starts, then asks the system to set "NyxelUpdate" at the next
// update time and waits for it, for the close event or for a change of the
// update options.
#pragma once

#include <atomic>

#include "ce/windows.h"
#include "common/options_records.h"

namespace nx::updsvc {

inline constexpr const ce::WCHAR* kCloseEventName = u"Upd_Close_Event";
inline constexpr const ce::WCHAR* kOptionsChangedEventName = u"Update Options_Changed";
inline constexpr const ce::WCHAR* kUpdateTimeEventName = u"NyxelUpdate";
inline constexpr const ce::WCHAR* kNamedEventsPath = u"\\\\.\\Notifications\\NamedEvents\\";

// A cycle that finds nothing to schedule (no usable interval file, an unknown
// source, an interval of 0, a refused schedule) waits this long (device
// milliseconds) before the next, instead of starting it at once.
inline constexpr ce::DWORD kRetryPauseMs = 60000;

enum class WorkerState : int { Running = 0, Stopped = 1, Ending = 3 };

class UpdateService {
 public:
  UpdateService() = default;
  ~UpdateService();
  UpdateService(const UpdateService&) = delete;
  UpdateService& operator=(const UpdateService&) = delete;

  // Creates the three events and starts the worker; on failure nothing is
  // left open.
  bool init();
  // Ends the worker (an update under way is finished first) and closes
  // everything.
  void deinit();

 private:
  static ce::DWORD workerMain(ce::LPVOID self);
  void worker();
  void cycle();
  // Nothing scheduled this cycle: wait for the close event or an options
  // change, at most kRetryPauseMs.
  void pause(const WM_UPDATE_OPTS& cycleOptions);
  void optionsChanged(const WM_UPDATE_OPTS& cycleOptions);
  void cancelSchedule();
  void setState(WorkerState s);
  void closeAll();

  ce::WCHAR installDir_[ce::MAX_PATH] = {};
  ce::WCHAR runAtPath_[ce::MAX_PATH] = {};
  ce::HANDLE close_ = nullptr;
  ce::HANDLE optionsChanged_ = nullptr;
  ce::HANDLE updateTime_ = nullptr;
  ce::HANDLE thread_ = nullptr;
  std::atomic<WorkerState> state_{WorkerState::Running};
};

}  // namespace nx::updsvc
