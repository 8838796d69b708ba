// nxdevice boot: an update cut off while it replaced the installed files
// (the device switched off, the updating program killed) is finished or
// undone before any program of the start-up loads the engine, so that no
// scanner ever maps a mix of old and new engine files. The installed update
// engine does it (its journal is its own business); old modules moved aside
// by earlier updates go too, now that no process maps them.
#include <cstdio>
#include <string>

#include "ce/ce.h"
#include "commands.h"
#include "common/install_dir.h"
#include "nyxel/updengine.h"

namespace nxdevice {

int recoverInterruptedUpdate() {
  ce::WCHAR dir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(dir, ce::MAX_PATH)) return 0;  // nothing installed: nothing to finish
  const std::u16string engine = std::u16string(dir) + u"\\updengine.dll";
  if (ce::GetFileAttributesW(engine.c_str()) == ce::INVALID_FILE_ATTRIBUTES) return 0;
  ce::HMODULE lib = ce::LoadLibraryW(engine.c_str());
  if (!lib) {
    std::fprintf(stderr, "nxdevice: the update engine does not load (error %u): an interrupted update is left as it is\n",
                 static_cast<unsigned>(ce::GetLastError()));
    return 1;
  }
  auto recover = reinterpret_cast<PFN_RecoverUpdate>(ce::GetProcAddressW(lib, u"RecoverUpdate"));
  const int32_t sound = recover ? recover(dir) : 0;
  ce::FreeLibrary(lib);
  if (!recover) {
    std::fprintf(stderr, "nxdevice: the update engine has no RecoverUpdate: an interrupted update is left as it is\n");
    return 1;
  }
  if (!sound) {
    std::fprintf(stderr, "nxdevice: an interrupted update could not be finished or undone (see Log\\updengine.log)\n");
    return 1;
  }
  return 0;
}

}  // namespace nxdevice
