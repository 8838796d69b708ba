// The SIS/SISX layer of archivekit.dll and the inflater layer under it. Each
// binds filekit.dll on its own and keeps its own file wrapper object, so
// either failing is logged under its own codes; the SIS/SISX readers read
// archives through the layer's wrapper and write inflated members through the
// inflater layer's.
#include <mutex>
#include <new>

#include "archivekit/inflater.h"
#include "archivekit/module.h"
#include "archivekit/sis_reader.h"
#include "common/module_frame.h"

namespace nx::sis {

namespace {

constexpr const ce::WCHAR* kSelf = u"archivekit.dll";
constexpr const ce::WCHAR* kFileKit = u"filekit.dll";

enum : int {
  kSisDeinitMismatch = 184,
  kSisBindFailed = 188,
  kSisWrapperFailed = 189,
  kZlibDeinitMismatch = 201,
  kZlibBindFailed = 208,
  kZlibWrapperFailed = 209,
};

// Only LibInit/LibDeinit and direct callers of the layer exports change the
// state; the lock keeps two of them from tearing the counts.
std::recursive_mutex g_lock;

struct Binding {
  ce::HMODULE module = nullptr;
  PFN_CreateFileWrapObject create = nullptr;
  PFN_DeleteFileWrapObject destroy = nullptr;
  FileWrapObject* wrapper = nullptr;

  bool load() {
    module = frame::loadSibling(kSelf, kFileKit);
    if (!module) return false;
    ce::FARPROC c = nullptr, d = nullptr;
    if (!frame::resolveEntries(module, kSelf, kFileKit,
                               {{u"CreateFileWrapObject", &c}, {u"DeleteFileWrapObject", &d}})) {
      MyFreeLibrary(module);
      module = nullptr;
      return false;
    }
    create = reinterpret_cast<PFN_CreateFileWrapObject>(c);
    destroy = reinterpret_cast<PFN_DeleteFileWrapObject>(d);
    return true;
  }
  bool makeWrapper() {
    FileWrapObject* w = nullptr;
    if (create(&w) == 0 || !w) return false;
    wrapper = w;
    return true;
  }
  void unload() {
    if (wrapper && destroy) destroy(wrapper);
    wrapper = nullptr;
    create = nullptr;
    destroy = nullptr;
    if (module) MyFreeLibrary(module);
    module = nullptr;
  }
};

uint32_t g_sisCount = 0;
Binding g_sis;
int32_t (*g_createInflater)(Inflater**) = nullptr;
int32_t (*g_deleteInflater)(Inflater*) = nullptr;

uint32_t g_zlibCount = 0;
Binding g_zlib;

bool inflaterLayerInit() {
  if (g_zlibCount > 0) {
    ++g_zlibCount;
    return true;
  }
  if (!g_zlib.load()) {
    frame::logErrorCode(u"libz: LibInit: error code - ", kZlibBindFailed);
    return false;
  }
  if (!g_zlib.makeWrapper()) {
    frame::logErrorCode(u"libz: LibInit: error code - ", kZlibWrapperFailed);
    g_zlib.unload();
    return false;
  }
  g_zlibCount = 1;
  return true;
}

int32_t inflaterLayerDeinit() {
  if (g_zlibCount == 0) {
    frame::logLine(kSelf, u"Error LibInit LibDeinit mismatched.");
    frame::logErrorCode(u"libz: LibDeinit: error code - ", kZlibDeinitMismatch);
    return 0;
  }
  if (--g_zlibCount == 0) g_zlib.unload();
  return static_cast<int32_t>(g_zlibCount);
}

int32_t createInflaterImpl(Inflater** out) {
  if (!out) return 0;
  *out = nullptr;
  std::lock_guard lock(g_lock);
  if (!g_zlib.wrapper) return 0;
  *out = new (std::nothrow) Inflater(g_zlib.wrapper);
  return *out ? 1 : 0;
}

int32_t deleteInflaterImpl(Inflater* inflater) {
  if (!inflater) return 0;
  delete inflater;
  return 1;
}

}  // namespace

int32_t CreateInflater(Inflater** out) {
  auto create = g_createInflater;
  if (!create) {
    if (out) *out = nullptr;
    return 0;
  }
  return create(out);
}

int32_t DeleteInflater(Inflater* inflater) { return deleteInflaterImpl(inflater); }

FileWrapObject* sisLayerWrapper() {
  std::lock_guard lock(g_lock);
  return g_sis.wrapper;
}

FileWrapObject* inflaterLayerWrapper() {
  std::lock_guard lock(g_lock);
  return g_zlib.wrapper;
}

}  // namespace nx::sis

using namespace nx::sis;

extern "C" {

__attribute__((visibility("default"))) int32_t SisSdkLibInit() {
  std::lock_guard lock(g_lock);
  if (g_sisCount > 0) return static_cast<int32_t>(++g_sisCount);
  if (!g_sis.load()) {
    nx::frame::logErrorCode(u"sissdk: LibInit: error code - ", kSisBindFailed);
    return 0;
  }
  if (!g_sis.makeWrapper()) {
    nx::frame::logErrorCode(u"sissdk: LibInit: error code - ", kSisWrapperFailed);
    g_sis.unload();
    return 0;
  }
  if (!inflaterLayerInit()) {
    nx::frame::logUnableToLoad(kSelf, u"libz.dll");
    g_sis.unload();
    return 0;
  }
  g_createInflater = createInflaterImpl;
  g_deleteInflater = deleteInflaterImpl;
  return static_cast<int32_t>(++g_sisCount);
}

__attribute__((visibility("default"))) int32_t SisSdkLibDeinit() {
  std::lock_guard lock(g_lock);
  if (g_sisCount == 0) {
    nx::frame::logLine(kSelf, u"Error LibInit LibDeinit mismatched.");
    nx::frame::logErrorCode(u"sissdk: LibDeinit: error code - ", kSisDeinitMismatch);
    return 0;
  }
  if (--g_sisCount == 0) {
    g_createInflater = nullptr;
    g_deleteInflater = nullptr;
    inflaterLayerDeinit();
    g_sis.unload();
  }
  return static_cast<int32_t>(g_sisCount);
}

}  // extern "C"
