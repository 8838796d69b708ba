// The module frame of archivekit.dll: LibInit brings up the CAB layer and
// then the SIS/SISX layer, LibDeinit takes them down in reverse; each layer
// binds filekit.dll itself and keeps its own file wrapper object.
#include "archivekit/module.h"

#include <mutex>

#include "common/filekit_link.h"
#include "common/module_frame.h"

namespace nx::arc {

namespace {

constexpr const ce::WCHAR* kSelf = u"archivekit.dll";
constexpr const ce::WCHAR* kFileKit = u"filekit.dll";

// The engine serialises loading and freeing; the lock only keeps direct
// callers of the layer functions from tearing the counts.
std::recursive_mutex g_lock;
uint32_t g_moduleCount = 0;

struct FileKitBinding : nx::FileKitLink {
  uint32_t count = 0;
  bool bind() { return nx::FileKitLink::bind(kSelf); }
  void unbind() { release(); }

  int32_t init() {
    std::lock_guard lock(g_lock);
    if (++count > 1) return static_cast<int32_t>(count);
    if (!bind()) {
      --count;
      return 0;
    }
    return static_cast<int32_t>(count);
  }

  int32_t deinit() {
    std::lock_guard lock(g_lock);
    if (count == 0) {
      frame::logLine(kSelf, u"Error LibInit LibDeinit mismatched.");
      return 0;
    }
    if (--count == 0) unbind();
    return static_cast<int32_t>(count);
  }
};

FileKitBinding g_cab;

}  // namespace

FileWrapObject* cabFileWrapper() {
  std::lock_guard lock(g_lock);
  return g_cab.wrapper;
}

}  // namespace nx::arc

using nx::arc::g_cab;
using nx::arc::g_lock;
using nx::arc::g_moduleCount;

extern "C" {

__attribute__((visibility("default"))) int32_t CabSdkLibInit() { return g_cab.init(); }
__attribute__((visibility("default"))) int32_t CabSdkLibDeinit() { return g_cab.deinit(); }

__attribute__((visibility("default"))) int32_t LibInit() {
  std::lock_guard lock(g_lock);
  if (g_moduleCount == 0) {
    if (CabSdkLibInit() == 0) return 0;
    if (SisSdkLibInit() == 0) {
      CabSdkLibDeinit();
      return 0;
    }
  }
  return static_cast<int32_t>(++g_moduleCount);
}

__attribute__((visibility("default"))) int32_t LibDeinit() {
  std::lock_guard lock(g_lock);
  if (g_moduleCount == 0) return 0;
  if (--g_moduleCount == 0) {
    SisSdkLibDeinit();
    CabSdkLibDeinit();
  }
  return static_cast<int32_t>(g_moduleCount);
}

}  // extern "C"
