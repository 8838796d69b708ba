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

std::recursive_mutex g_lock;
int g_count = 0;
FileKit g_filekit;
PeTable g_table;  // read without locks by scans; replaced only while no scan runs

bool loadTable(PeTable& into) {
  char16_t dir[kPathChars];
  if (!moduleDirectory(dir)) return false;
  return loadSignatureFile(g_filekit.wrapper, dir, u"sig32ce.inx", into, loadPeTable);
}

struct PeScanObject : ScannerObject {
  char16_t path[kPathChars] = {};
  std::int32_t handle = -1;
  ScanSettings* settings = nullptr;
};

PeScanObject* self(ScannerObject* o) { return static_cast<PeScanObject*>(o); }

std::int32_t opOpen(ScannerObject* o, std::int32_t handle, const char16_t* path, ScanSettings* settings,
                    const char16_t* rootDisplay, std::int32_t, uintptr_t) {
  if (!path || !settings || !rootDisplay) return NX_ENGINE_MISSING_ARG;
  PeScanObject* s = self(o);
  if (!copyPath(s->path, path)) return NX_ENGINE_ERROR;
  s->handle = handle < 0 ? -1 : handle;
  s->settings = settings;
  return NX_ENGINE_SUCCESS;
}

std::int32_t opScan(ScannerObject* o, char16_t* displayPath, ThreatListObject* threats, std::int32_t) {
  if (!displayPath || !threats) return NX_ENGINE_MISSING_ARG;
  PeScanObject* s = self(o);
  FileWrapObject* fw = g_filekit.wrapper;
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
  if (g_table.count > 0) {
    // An entry point without offset reads from the start of the file.
    std::uint8_t window[kWindow];
    const std::size_t got = readAtMost(fw, h, ep.offset, window, kWindow);
    const int i = got ? g_table.match(window, got) : -1;
    if (i >= 0) {
      ThreatRecord rec;
      fillThreat(rec, std::int16_t(i), kThreatCategory, g_table.records[i].name, displayPath);
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

std::int32_t peScanInit() {
  std::lock_guard lock(g_lock);
  if (++g_count > 1) return g_count;
  if (!g_filekit.bind()) {
    g_count = 0;
    return 0;
  }
  // Without a usable "sig32ce.inx" the scanner runs with an empty table.
  PeTable fresh;
  if (loadTable(fresh)) g_table = std::move(fresh);
  return g_count;
}

std::int32_t peScanDeinit() {
  std::lock_guard lock(g_lock);
  if (g_count == 0) {
    frame::logLine(kSelf, u"Error LibInit LibDeinit mismatched.");
    return 0;
  }
  if (--g_count == 0) {
    g_table = PeTable{};
    g_filekit.unbind();
  }
  return g_count;
}

std::int32_t peScanReload() {
  std::lock_guard lock(g_lock);
  PeTable fresh;
  if (g_count > 0 && loadTable(fresh)) g_table = std::move(fresh);  // on failure the old table stays
  return 1;
}

std::size_t peRecordCount() {
  std::lock_guard lock(g_lock);
  return std::size_t(g_table.count);
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
