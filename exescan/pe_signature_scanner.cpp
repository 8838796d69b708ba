// The PE signature scanner: short byte patterns from "sig32ce.inx" searched in the first 2500
// bytes at a program's entry point.
#include <cstring>
#include <mutex>
#include <new>

#include "common/module_frame.h"
#include "exescan/scanner_support.h"
#include "exescan/scanners.h"

namespace nx::exe {

namespace {

constexpr std::size_t kWindow = 2500;
constexpr std::int16_t kThreatCategory = 113;

bool loadTable(FileWrapObject* fw, PeTable& into) {
  char16_t dir[kPathChars];
  if (!moduleDirectory(dir)) return false;
  return loadSignatureFile(fw, dir, u"sig32ce.inx", into, loadPeTable) == FileLoad::Loaded;
}

TableFrame<PeTable> g_frame(&loadTable);

struct PeScanObject : ScannerObject, OpenedFile {};

PeScanObject* self(ScannerObject* o) { return static_cast<PeScanObject*>(o); }

std::int32_t opOpen(ScannerObject* o, std::int32_t handle, const char16_t* path, ScanSettings* settings,
                    const char16_t* rootDisplay, std::int32_t, uintptr_t) {
  return self(o)->open(handle, path, settings, rootDisplay);
}

std::int32_t opScan(ScannerObject* o, char16_t* displayPath, ThreatListObject* threats, std::int32_t) {
  if (!displayPath || !threats) return NX_ENGINE_MISSING_ARG;
  PeScanObject* s = self(o);
  FileWrapObject* fw = g_frame.filekit.wrapper;
  if (!fw || !s->path[0]) return NX_ENGINE_ERROR;
  std::int32_t h = s->handle;
  const bool own = h < 0;
  if (own) {
    h = fw->ops->OpenW(fw, s->path, NX_O_RDONLY | NX_O_BINARY, 0);
    if (h < 0) return NX_ENGINE_ERROR;
  }
  fw->ops->Seek(fw, h, 0, NX_SEEK_SET);

  std::int32_t result = NX_ENGINE_CLEAN;
  WrapReadContext ctx{fw, h};
  const pe::Reader reader = wrapReader(ctx);
  const pe::EntryPoint ep = pe::findEntryPoint(reader, pe::readHeaders(reader));
  if (g_frame.table.count > 0) {
    // An entry point without offset reads from the start of the file.
    std::uint8_t window[kWindow];
    const std::size_t got = readAtMost(fw, h, ep.offset, window, kWindow);
    const int i = got ? g_frame.table.match(window, got) : -1;
    if (i >= 0) {
      ThreatRecord rec;
      fillThreat(rec, std::int16_t(i), kThreatCategory, g_frame.table.records[i].name, displayPath);
      result = threats->ops->Append(threats, &rec) ? NX_ENGINE_THREAT : NX_ENGINE_ERROR;
    }
  }
  if (own) fw->ops->Close(fw, h);
  return result;
}

// A pattern detection is the program's own code: there is nothing to repair.
std::int32_t opClean(ScannerObject*, ThreatListObject*, std::int32_t) { return NX_ENGINE_CANNOT_CLEAN; }
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

std::int32_t peScanInit() { return g_frame.init(); }

std::int32_t peScanDeinit() { return g_frame.deinit(); }

std::int32_t peScanReload() { g_frame.reload();  // on failure the old table stays
  return 1; }

std::size_t peRecordCount() {
  std::lock_guard lock(g_frame.lock);
  return std::size_t(g_frame.table.count);
}

std::int32_t createPeScanObject(ScannerObject** out) {
  if (!out) return 0;
  auto* o = new (std::nothrow) PeScanObject;
  if (!o) return 0;
  o->ops = &kOps;
  *out = o;
  return 1;
}

std::int32_t deleteScannerObject(ScannerObject* object) {
  if (!object) return 0;
  object->ops->Destroy(object, 1);
  return 1;
}

}  // namespace nx::exe
