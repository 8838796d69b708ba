// The install step: unpack every fetched package into the staging folder
// "Upgrade", decide whether the staged update is newer than the
// installation, replace the installed files while the scanning engines
// let go of them, and let them load again.
#include "ce/base.h"
#include "ce/files.h"
#include "ce/time.h"
#include "updengine/engine.h"
#include "updengine/package.h"
#include "updengine/replace.h"
#include "updengine/update_log.h"

namespace nx::upd {

using namespace ce;

namespace {

InstallMode modeOf(uint8_t type, InstallMode current) {
  if (type >= 100 && type <= 104) return InstallMode::Database;
  if (type == 105 || type == 106) return InstallMode::Engine;
  return current;
}

bool versionOf(const std::u16string& dir, ScanVersionInfo& v) { return readScanVersion(dir.c_str(), &v); }

// An installed database time that is not a date (a damaged record) is older
// than any staged one, so that an update can repair it.
bool stagedIsNewer(const ScanVersionInfo& installed, const ScanVersionInfo& staged, bool engineUpdate,
                   bool& stagedValid) {
  stagedValid = true;
  if (installed.major != staged.major || installed.minor != staged.minor) {
    const bool lower = staged.major < installed.major || (staged.major == installed.major && staged.minor < installed.minor);
    return !lower && engineUpdate;
  }
  FILETIME a{}, b{};
  if (!SystemTimeToFileTime(&staged.database, &b)) {
    stagedValid = false;
    return false;
  }
  if (!SystemTimeToFileTime(&installed.database, &a)) return true;
  return CompareFileTime(&b, &a) > 0;
}

}  // namespace

int32_t install(Run& run, const FileList& list, DWORD& status, bool& engineUpdate) {
  status = 0;
  engineUpdate = false;
  CreateDirectoryW(run.upgradeDir.c_str(), nullptr);
  // 1. The index files go with the update into the installation.
  for (const WCHAR* name : {kIndexBin, kIndexDat}) {
    if (!CopyFileW(joinPath(run.tempDir, name).c_str(), joinPath(run.upgradeDir, name).c_str(), FALSE)) {
      log::write(log::kError, u"Install", u"CopyFile:%s. ERROR: %d", name, int(GetLastError()));
      return kFailed;
    }
  }
  PlatformLink platform;
  if (!platform.load(run.installDir)) {
    log::write(log::kError, u"Install", u"platform.dll cannot be loaded");
    return kFailed;
  }
  // 2. Every package in index order.
  InstallMode mode = InstallMode::Unset;
  for (const ListEntry& e : list) {
    if (run.pauseStopCheck()) return kFailed;
    mode = modeOf(e.type, mode);
    if (e.type == 106) engineUpdate = true;
    int r = unpackPackage(run, platform, joinPath(run.tempDir, e.name), run.upgradeDir);
    if (r == kUnpackCorrupt) {
      run.progress(NX_UPD_CORRUPT);
      status = kResultCorrupt;
      return kFailed;
    }
    if (r != kUnpacked) return kFailed;
  }
  // 3. and 4. The version decision.
  ScanVersionInfo installed, staged;
  if (!versionOf(run.installDir, installed) || !versionOf(run.upgradeDir, staged)) {
    log::write(log::kError, u"Install", u"SCANVER.cnf cannot be read");
    return kFailed;
  }
  bool stagedValid = true;
  if (!stagedIsNewer(installed, staged, engineUpdate, stagedValid)) {
    status = stagedValid ? kResultUpToDate : kResultCorrupt;
    return kFailed;
  }
  // 5. and 6.
  if (run.pauseStopCheck()) return kFailed;
  run.progress(NX_UPD_VERSION_PASSED);
  if (!replaceFiles(run, mode, engineUpdate)) return kFailed;
  // 7. The engines may load the new files.
  letEnginesReload();
  // 8. The version record came in with the staged files; what they replaced
  // goes, and the folders are emptied.
  finishReplacement(run.installDir);
  emptyFolder(run.tempDir);
  emptyFolder(run.upgradeDir);
  status = kResultUpdated;
  return kSuccess;
}

}  // namespace nx::upd
