#include "updsvc/update_run.h"

#include <string>

#include "ce/module.h"
#include "nyxel/updengine.h"

namespace nx::updsvc {

bool runUpdate(const ce::WCHAR* installDir) {
  if (!installDir || !*installDir) return false;
  std::u16string path = installDir;
  if (path.back() != u'\\') path += u'\\';
  path += kEngineLibrary;
  ce::HMODULE engine = ce::LoadLibraryW(path.c_str());
  if (!engine) return false;
  auto init = reinterpret_cast<PFN_UpdInit>(ce::GetProcAddress(engine, "Init"));
  auto updateNow = reinterpret_cast<PFN_UpdateNow>(ce::GetProcAddress(engine, "UpdateNow"));
  auto deInit = reinterpret_cast<PFN_UpdDeInit>(ce::GetProcAddress(engine, "DeInit"));
  if (!init || !updateNow || !deInit) {
    ce::FreeLibrary(engine);
    return false;
  }
  if (init()) {
    uint32_t status = 0;
    updateNow(installDir, nullptr, nullptr, &status);
  }
  // After every Init, whatever UpdateNow answered: the engine's control
  // events live until DeInit, and a library unloaded without it would leave
  // them open on the device for every failed or up-to-date run.
  deInit();
  ce::FreeLibrary(engine);
  return true;
}

}  // namespace nx::updsvc
