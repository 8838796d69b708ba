#include "updsvc/update_service.h"

#include "ce/base.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/install_dir.h"
#include "common/options_files.h"
#include "updsvc/interval_file.h"
#include "updsvc/schedule.h"
#include "updsvc/update_run.h"

namespace nx::updsvc {

using namespace ce;

UpdateService::~UpdateService() { closeAll(); }

void UpdateService::closeAll() {
  for (HANDLE* h : {&thread_, &close_, &optionsChanged_, &updateTime_}) {
    if (*h) CloseHandle(*h);
    *h = nullptr;
  }
}

bool UpdateService::init() {
  if (!getInstallDirectory(installDir_, MAX_PATH)) return false;
  if (format16(runAtPath_, MAX_PATH, u"%s%s", kNamedEventsPath, kUpdateTimeEventName) < 0) return false;
  close_ = CreateEventW(nullptr, TRUE, FALSE, kCloseEventName);
  optionsChanged_ = CreateEventW(nullptr, TRUE, FALSE, kOptionsChangedEventName);
  updateTime_ = CreateEventW(nullptr, TRUE, FALSE, kUpdateTimeEventName);
  if (!close_ || !optionsChanged_ || !updateTime_) {
    closeAll();
    return false;
  }
  // Another holder of a name may have left it set; a stale close would end
  // the new worker at once.
  ResetEvent(close_);
  ResetEvent(optionsChanged_);
  ResetEvent(updateTime_);
  state_ = WorkerState::Running;
  thread_ = CreateThread(nullptr, 0, &UpdateService::workerMain, this, 0, nullptr);
  if (!thread_) {
    closeAll();
    return false;
  }
  return true;
}

void UpdateService::deinit() {
  state_ = WorkerState::Ending;
  if (close_) SetEvent(close_);
  // An update under way cannot be cut short from here: the engine's stop is
  // only heard while it is paused, and pausing it would report an
  // interruption by the user that never happened.
  if (thread_) WaitForSingleObject(thread_, INFINITE);
  closeAll();
}

DWORD UpdateService::workerMain(LPVOID self) {
  static_cast<UpdateService*>(self)->worker();
  return 0;
}

void UpdateService::worker() {
  runUpdate(installDir_);
  while (state_.load() == WorkerState::Running) cycle();
}

void UpdateService::setState(WorkerState s) {
  // Ending is final: Deinit's word stands over the worker's own.
  WorkerState cur = WorkerState::Running;
  state_.compare_exchange_strong(cur, s);
}

void UpdateService::cancelSchedule() { CeRunAppAtTime(runAtPath_, nullptr); }

void UpdateService::optionsChanged(const WM_UPDATE_OPTS& cycleOptions) {
  ResetEvent(optionsChanged_);
  // The options as they are now decide: someone who just turned scheduled
  // updates off must see them stop. A read that fails falls back on what
  // the cycle started with.
  WM_UPDATE_OPTS now{};
  const WM_UPDATE_OPTS& decide =
      CWmOptionsGen::ReadUpdateOpts(installDir_, &now, kOptionsReadCurrent) ? now : cycleOptions;
  if (decide.bAutoUpdate == 0) setState(WorkerState::Stopped);
}

void UpdateService::pause(const WM_UPDATE_OPTS& cycleOptions) {
  HANDLE waitOn[2] = {close_, optionsChanged_};
  DWORD w = WaitForMultipleObjects(2, waitOn, FALSE, kRetryPauseMs);
  if (w == WAIT_OBJECT_0) {
    setState(WorkerState::Stopped);
  } else if (w == WAIT_OBJECT_0 + 1) {
    optionsChanged(cycleOptions);
  } else if (w != WAIT_TIMEOUT) {
    Sleep(kRetryPauseMs);
  }
}

void UpdateService::cycle() {
  WM_UPDATE_OPTS options{};
  CWmOptionsGen::ReadUpdateOpts(installDir_, &options, kOptionsReadCurrent);

  IntervalValues values;
  if (readIntervalFile(installDir_, &values) != IntervalStatus::Ok) {
    pause(options);
    return;
  }
  SYSTEMTIME now, due;
  GetLocalTime(&now);
  if (!nextUpdateTime(now, scheduleInterval(options, values), &due) || !CeRunAppAtTime(runAtPath_, &due)) {
    pause(options);
    return;
  }

  HANDLE waitOn[3] = {close_, optionsChanged_, updateTime_};
  DWORD w = WaitForMultipleObjects(3, waitOn, FALSE, INFINITE);
  switch (w) {
    case WAIT_OBJECT_0:
      cancelSchedule();
      setState(WorkerState::Stopped);
      break;
    case WAIT_OBJECT_0 + 1:
      cancelSchedule();
      optionsChanged(options);
      break;
    case WAIT_OBJECT_0 + 2:
      runUpdate(installDir_);
      ResetEvent(updateTime_);
      break;
    default:
      cancelSchedule();
      Sleep(kRetryPauseMs);
      break;
  }
}

}  // namespace nx::updsvc
