// UpdateNow: one whole update on the caller's thread, from the first
// progress code to the report.
#include "updengine/driver.h"

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "common/install_dir.h"
#include "common/options_files.h"
#include "updengine/engine.h"
#include "updengine/replace.h"
#include "updengine/update_log.h"
#include "updengine/version_key.h"

namespace nx::upd {

using namespace ce;

namespace {

// "UPD_Progress_Event" for as long as this update runs.
struct RunningMark {
  HANDLE h = nullptr;
  ~RunningMark() {
    if (h) CloseHandle(h);
  }
};

std::u16string installDirectory() {
  WCHAR dir[MAX_PATH];
  if (!nx::getInstallDirectory(dir, MAX_PATH)) return {};
  return dir;
}

}  // namespace

bool recoverInstallation(const std::u16string& installDir) {
  log::setInstallDir(installDir);
  bool finished = false, engine = false;
  bool sound = recoverReplacement(installDir, &finished, &engine);
  sweepOldModules(installDir);
  // Files a killed update left while staging or fetching belong to no
  // update: left there, they would be installed with the next one.
  if (!replacementPending(installDir)) {
    emptyFolder(joinPath(installDir, kUpgradeFolder));
    emptyFolder(joinPath(installDir, kTempFolder));
  }
  return sound;
}

int32_t updateNow(NxUpdateCallback cb, void* ctx, uint32_t* status) {
  if (status) *status = 0;
  Run run(cb, ctx);
  // 1.
  if (cb && run.progress(NX_UPD_STARTING) == NX_UPD_ABORT) return kResultInterrupted;
  // 2. One update at a time on the device: creating the event tells at once
  // whether another update holds it, without a gap between looking and making.
  RunningMark running;
  running.h = CreateEventW(nullptr, TRUE, TRUE, NX_UPD_EVENT_RUNNING);
  if (!running.h || GetLastError() == ERROR_ALREADY_EXISTS) {
    run.progress(NX_UPD_ALREADY_RUNNING);
    return 0;
  }
  // 3.
  run.installDir = installDirectory();
  if (run.installDir.empty()) return 0;
  log::setInstallDir(run.installDir);
  run.tempDir = joinPath(run.installDir, kTempFolder);
  run.upgradeDir = joinPath(run.installDir, kUpgradeFolder);
  CreateDirectoryW(run.tempDir.c_str(), nullptr);
  // What an interrupted update left behind is settled before anything else.
  recoverInstallation(run.installDir);
  run.haveOldVersion = readScanVersion(run.installDir.c_str(), &run.oldVersion);
  CWmOptionsGen::ReadUpdateOpts(run.installDir.c_str(), &run.updateOpts, kOptionsReadCurrent);
  // 4.
  if (run.pauseStopCheck()) return 0;
  // 5.
  FileList list;
  int32_t result = kSuccess;
  if (run.updateOpts.bSource == 0)
    result = fetchInternet(run, list);
  else if (run.updateOpts.bSource == 1)
    result = fetchLocal(run, list);
  // 6.
  if (stoppedMark() || run.pauseStopCheck()) {
    if (!stoppedMark()) run.progress(NX_UPD_STOPPED);
    emptyFolder(run.tempDir);
    return 0;
  }
  // 7.
  if (result != kSuccess) {
    emptyFolder(run.tempDir);
    switch (result) {
      case kFailed: run.report(kResultFailed); break;
      case kResultUpToDate: run.report(kResultUpToDate); return 1;
      case kResultCorrupt:
        if (status) *status = kResultCorrupt;
        run.report(result);
        break;
      case kResultInterrupted:
      case kResultNoConnection:
      case kResultNotFound:
      case kResultNotApplicable: run.report(result); break;
      default: break;
    }
    if (result == kFailed || result == kResultInterrupted || result == kResultNoConnection ||
        result == kResultNotFound || result == kResultCorrupt || result == kResultNotApplicable)
      return 0;
  }
  // 8.
  run.progress(NX_UPD_INSTALLING);
  DWORD installStatus = 0;
  bool engineUpdate = false;
  if (install(run, list, installStatus, engineUpdate) == kSuccess && installStatus == kResultUpdated) {
    // 9.
    ScanVersionInfo fresh{};
    readScanVersion(run.installDir.c_str(), &fresh);
    if (engineUpdate && !writeCurrentVersion(run.installDir, fresh)) return 0;
    run.report(kResultUpdated, &run.oldVersion, &fresh);
    run.progress(NX_UPD_UPDATED);
    return 1;
  }
  // 10. The staged files of a replacement that could not be undone stay
  // for the next start to finish.
  emptyFolder(run.tempDir);
  if (!replacementPending(run.installDir)) emptyFolder(run.upgradeDir);
  if (stoppedMark()) {
    run.progress(NX_UPD_STOPPED);
    return 0;
  }
  if (installStatus == kResultCorrupt) {
    if (status) *status = kResultCorrupt;
    run.report(kResultCorrupt);
  } else {
    const bool current = installStatus == kResultUpToDate;
    run.progress(current ? NX_UPD_UP_TO_DATE : NX_UPD_INSTALL_FAILED);
    run.report(current ? kResultUpToDate : kResultFailed);
  }
  return 0;
}

}  // namespace nx::upd
