// The module frame's loader: every engine module is loaded and freed through
// here so that its LibInit/LibDeinit pair counts each load exactly once.
#include "ce/module.h"
#include "platform/platform_api.h"
#include "platform/platform_internal.h"

namespace nx::plat {

using namespace ce;

HMODULE loadModule(const WCHAR* path) {
  if (!path) return nullptr;
  HMODULE module = LoadLibraryW(path);
  if (!module) return nullptr;
  auto init = reinterpret_cast<module_fn::LibInit>(GetProcAddress(module, "LibInit"));
  // A module without LibInit has nothing to set up and is accepted.
  if (init && init() == 0) {
    FreeLibrary(module);
    return nullptr;
  }
  return module;
}

FARPROC procAddress(HMODULE module, const WCHAR* name) {
  if (!module || !name) return nullptr;
  return GetProcAddressW(module, name);
}

int freeModule(HMODULE module) {
  if (!module) return 0;
  if (auto deinit = reinterpret_cast<module_fn::LibDeinit>(GetProcAddress(module, "LibDeinit"))) deinit();
  return FreeLibrary(module);
}

}  // namespace nx::plat
