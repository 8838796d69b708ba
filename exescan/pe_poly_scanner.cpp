// The PE polymorphic scanner: holds the family names of "sigmpoly.inx" and keeps its place in
// every Windows CE program's scanner list; it reports nothing of its own and never repairs.
#include <mutex>
#include <new>

#include "common/module_frame.h"
#include "exescan/scanner_support.h"
#include "exescan/scanners.h"

namespace nx::exe {

namespace {

bool loadTable(FileWrapObject* fw, PolyTable& into) {
  char16_t dir[kPathChars];
  if (!moduleDirectory(dir)) return false;
  return loadSignatureFile(fw, dir, u"sigmpoly.inx", into, loadPolyTable) == FileLoad::Loaded;
}

TableFrame<PolyTable> g_frame(&loadTable);

struct PolyObject : ScannerObject, OpenedFile {};

PolyObject* self(ScannerObject* o) { return static_cast<PolyObject*>(o); }

std::int32_t opOpen(ScannerObject* o, std::int32_t handle, const char16_t* path, ScanSettings* settings,
                    const char16_t* rootDisplay, std::int32_t, uintptr_t) {
  return self(o)->open(handle, path, settings, rootDisplay);
}

std::int32_t opScan(ScannerObject* o, char16_t* displayPath, ThreatListObject* threats, std::int32_t) {
  if (!displayPath || !threats) return NX_ENGINE_MISSING_ARG;
  PolyObject* s = self(o);
  FileWrapObject* fw = g_frame.filekit.wrapper;
  if (!fw || !s->path[0]) return NX_ENGINE_ERROR;
  if (s->handle < 0) {
    const std::int32_t h = fw->ops->OpenW(fw, s->path, NX_O_RDONLY | NX_O_BINARY, 0);
    if (h < 0) return NX_ENGINE_ERROR;
    fw->ops->Seek(fw, h, 0, NX_SEEK_SET);
    fw->ops->Close(fw, h);
  } else {
    fw->ops->Seek(fw, s->handle, 0, NX_SEEK_SET);
  }
  return NX_ENGINE_CLEAN;
}

std::int32_t opClean(ScannerObject* o, ThreatListObject* threats, std::int32_t) {
  if (!threats) return NX_ENGINE_MISSING_ARG;
  PolyObject* s = self(o);
  ThreatRecord* last = nullptr;
  if (threats->ops->Last(threats, &last) && last && last->category == NX_LIST_PE_POLY) {
    // A polymorphic repair would need write access: without it the file cannot be cleaned.
    FileWrapObject* fw = g_frame.filekit.wrapper;
    if (!fw || !s->path[0]) return NX_ENGINE_ERROR;
    const std::int32_t h = fw->ops->OpenW(fw, s->path, NX_O_RDWR | NX_O_BINARY, 0);
    if (h < 0) return NX_ENGINE_ERROR;
    fw->ops->Close(fw, h);
  }
  return NX_ENGINE_CANNOT_CLEAN;
}

std::int32_t opClose(ScannerObject*) { return NX_ENGINE_SUCCESS; }

ScannerObject* opDestroy(ScannerObject* o, std::uint32_t flags) {
  if (flags & 1) {
    delete self(o);
    return nullptr;
  }
  return o;
}
void opRelease(ScannerObject* o) { opDestroy(o, 1); }

const ScannerOps kOps = {opOpen, opScan, opClean, opClose, opDestroy, opRelease};

}  // namespace

std::int32_t polyInit() { return g_frame.init(); }

std::int32_t polyDeinit() { return g_frame.deinit(); }

std::int32_t polyReload() { return g_frame.reload() ? 1 : 0; }

std::size_t polyNameCount() {
  std::lock_guard lock(g_frame.lock);
  return g_frame.table.names.size();
}

std::int32_t createPolyObject(ScannerObject** out) {
  if (!out) return 0;
  auto* o = new (std::nothrow) PolyObject;
  if (!o) return 0;
  o->ops = &kOps;
  *out = o;
  return 1;
}

}  // namespace nx::exe
