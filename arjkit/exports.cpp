// The module frame of arjkit.dll. LibInit brings up the decoder layer, which
// binds filekit.dll from the module's own folder and takes the process's
// file wrapper; LibDeinit takes it down again on the last call. The layer
// keeps its own count, so a second user of the layer cannot unbind it early.
#include <mutex>

#include "arjkit/arj_headers.h"
#include "arjkit/arjkit_api.h"
#include "arjkit/module.h"
#include "common/filekit_link.h"
#include "common/module_frame.h"

#define NX_EXPORT extern "C" __attribute__((visibility("default")))

namespace nx::arjkit {

namespace {

constexpr const ce::WCHAR* kSelf = u"arjkit.dll";
constexpr const ce::WCHAR* kFileKit = u"filekit.dll";
// What the layer was called on the handset, kept in the failure line callers grep for.
constexpr const ce::WCHAR* kLayerName = u"unarj32.dll";

// Serialises the frame and every walk: the layer's entries and wrapper are
// module-wide.
std::recursive_mutex g_lock;
uint32_t g_moduleCount = 0;

using CountEntry = int32_t (*)(const char*, arj::WalkPlace*, nx::ReaderBudget*);
using ExtractEntry = int32_t (*)(const char*, arj::WalkPlace&, const char*, char*, nx::ReaderBudget*);
CountEntry g_count = nullptr;
ExtractEntry g_extract = nullptr;

struct DecoderLayer : nx::FileKitLink {
  uint32_t count = 0;
  bool bind() { return nx::FileKitLink::bind(kSelf); }
  void unbind() { release(); }
  bool init() {
    if (++count > 1) return true;
    if (!bind()) {
      count = 0;
      return false;
    }
    return true;
  }
  void deinit() {
    if (count == 0) {
      frame::logLine(kSelf, u"Error LibInit LibDeinit mismatched.");
      return;
    }
    if (--count == 0) unbind();
  }
};

DecoderLayer g_layer;

int32_t layerCount(const char* path, arj::WalkPlace* place, nx::ReaderBudget* budget) {
  return arj::countMembers(g_layer.wrapper, path, nullptr, place, budget);
}
int32_t layerExtract(const char* path, arj::WalkPlace& place, const char* output, char* name,
                     nx::ReaderBudget* budget) {
  return arj::extractAt(g_layer.wrapper, path, place, output, name, nullptr, budget);
}

}  // namespace

int32_t CountMembers(const char* archivePath, arj::WalkPlace* place, nx::ReaderBudget* budget) {
  std::lock_guard lock(g_lock);
  return g_count ? g_count(archivePath, place, budget) : arj::kErrNotOpenable;
}

int32_t ExtractAt(const char* archivePath, arj::WalkPlace& place, const char* outputPath, char* name,
                  nx::ReaderBudget* budget) {
  std::lock_guard lock(g_lock);
  return g_extract ? g_extract(archivePath, place, outputPath, name, budget) : arj::kErrNotOpenable;
}

}  // namespace nx::arjkit

using namespace nx::arjkit;

NX_EXPORT int32_t LibInit() {
  std::lock_guard lock(g_lock);
  if (++g_moduleCount > 1) return static_cast<int32_t>(g_moduleCount);
  if (!g_layer.init()) {
    nx::frame::logUnableToLoad(kSelf, kLayerName);
    --g_moduleCount;
    return 0;
  }
  g_count = layerCount;
  g_extract = layerExtract;
  return static_cast<int32_t>(g_moduleCount);
}

NX_EXPORT int32_t LibDeinit() {
  std::lock_guard lock(g_lock);
  if (g_moduleCount == 0) {
    nx::frame::logLine(kSelf, u"Error LibInit LibDeinit mismatched.");
    return 0;
  }
  if (--g_moduleCount == 0) {
    g_layer.deinit();
    g_count = nullptr;
    g_extract = nullptr;
  }
  return static_cast<int32_t>(g_moduleCount);
}

NX_EXPORT int32_t CreateArjkitObject(ArchiveReader** out) {
  if (!out) return 0;
  *out = newReader();
  return *out ? 1 : 0;
}

NX_EXPORT ArchiveReader* DeleteArjkitObject(ArchiveReader* object) {
  return object ? object->ops->Destroy(object, 1) : nullptr;
}

NX_EXPORT int32_t ArjkitLastResult(ArchiveReader* object) { return lastResult(object); }

NX_EXPORT int32_t SetArchiveReaderLimits(ArchiveReader* object, const ArchiveReaderLimits* limits) {
  return object && limits ? setLimits(object, *limits) : 0;
}

NX_EXPORT int32_t GetArchiveReaderStatus(ArchiveReader* object, ArchiveReaderStatus* out) {
  return object && out && out->size >= sizeof(ArchiveReaderStatus) ? status(object, *out) : 0;
}
