// The exports of updengine.dll: Init, UpdateNow and DeInit as the handset's
// update service and user interface call them, and two of this system's
// own (the byte-progress display of nxupdate, the recovery at start).
#include "ce/base.h"
#include "ce/kernel.h"
#include "common/install_dir.h"
#include "nyxel/updengine.h"
#include "updengine/driver.h"
#include "updengine/engine.h"
#include "updengine/replace.h"

#define NX_EXPORT extern "C" __attribute__((visibility("default")))

using namespace nx::upd;
using ce::FALSE;
using ce::TRUE;

NX_EXPORT int32_t Init() {
  Events& ev = events();
  if (!ev.update) ev.update = ce::CreateEventW(nullptr, FALSE, TRUE, u"Update");
  if (!ev.stop) ev.stop = ce::CreateEventW(nullptr, TRUE, FALSE, NX_UPD_EVENT_STOP);
  if (!ev.pause) ev.pause = ce::CreateEventW(nullptr, TRUE, FALSE, NX_UPD_EVENT_PAUSE);
  if (!ev.resume) ev.resume = ce::CreateEventW(nullptr, TRUE, FALSE, NX_UPD_EVENT_RESUME);
  return ev.stop ? 1 : 0;
}

NX_EXPORT int32_t DeInit() {
  Events& ev = events();
  if (ev.update) ce::CloseHandle(ev.update);
  for (HANDLE* h : {&ev.stop, &ev.pause, &ev.resume}) {
    if (*h) {
      ce::ResetEvent(*h);
      ce::CloseHandle(*h);
    }
    *h = nullptr;
  }
  ev.update = nullptr;
  stoppedMark() = false;
  closeApiEvents();
  return 1;
}

NX_EXPORT int32_t UpdateNow(const NxWChar* /*installDir*/, NxUpdateCallback callback, void* context,
                            uint32_t* status) {
  return updateNow(callback, context, status);
}

NX_EXPORT int32_t SetTransferCallback(NxTransferCallback callback, void* context) {
  setTransferCallback(callback, context);
  return 1;
}

NX_EXPORT int32_t RecoverUpdate(const NxWChar* installDir) {
  ce::WCHAR dir[ce::MAX_PATH];
  std::u16string target;
  if (installDir && *installDir) {
    target = installDir;
  } else if (nx::getInstallDirectory(dir, ce::MAX_PATH)) {
    target = dir;
  } else {
    return 0;
  }
  return recoverInstallation(target) ? 1 : 0;
}
