// The store pattern scanner: EPOC file stores and .gdr files searched for
// the text patterns of "sigaif.inx", window by window.
#include <memory>
#include <mutex>
#include <new>

#include "common/module_frame.h"
#include "common/filekit_link.h"
#include "genericscan/module.h"
#include "genericscan/store_format.h"
#include "genericscan/threat_fill.h"

namespace nx::gen {

namespace {

using Table = std::vector<store::Record>;

std::mutex g_lock;
int32_t g_count = 0;
FileKitLink g_filekit;
// Scans hold the table they started with, so a reload that replaces it
// never frees records under a running search.
std::shared_ptr<const Table> g_table;

std::shared_ptr<const Table> currentTable() {
  std::lock_guard lock(g_lock);
  return g_table;
}

FileWrapObject* wrapper() {
  std::lock_guard lock(g_lock);
  return g_filekit.wrapper;
}

// Reads "sigaif.inx" from the module's directory; null when it is missing or
// damaged. Memory is taken only as the file's own size justifies.
std::shared_ptr<const Table> loadTable(FileWrapObject* fw) {
  ce::WCHAR path[ce::MAX_PATH];
  if (!frame::siblingPath(kModuleFile, u"sigaif.inx", path)) return nullptr;
  int32_t h = fw->ops->OpenW(fw, path, NX_O_RDONLY | NX_O_BINARY, 0);
  if (h < 0) return nullptr;
  std::shared_ptr<Table> table;
  int32_t size = fw->ops->Size(fw, h);
  uint8_t header[store::kHeaderSize];
  int64_t n = -1;
  if (size >= 0 && fw->ops->Seek(fw, h, 0, NX_SEEK_SET) == 0 &&
      fw->ops->Read(fw, h, header, sizeof header) == static_cast<int32_t>(sizeof header))
    n = store::recordCount(header, static_cast<uint64_t>(size));
  if (n >= 0) {
    table = std::shared_ptr<Table>(new (std::nothrow) Table());
    uint32_t sum = 0;
    uint8_t stored[store::kRecordSize];
    try {
      if (table) table->resize(static_cast<size_t>(n));
    } catch (const std::bad_alloc&) {
      table.reset();
    }
    for (size_t i = 0; table && i < table->size(); ++i) {
      if (fw->ops->Read(fw, h, stored, sizeof stored) != static_cast<int32_t>(sizeof stored))
        table.reset();
      else
        store::decodeRecord(stored, (*table)[i], sum);
    }
    if (table && sum != store::headerChecksum(header)) table.reset();
  }
  fw->ops->Close(fw, h);
  return table;
}

struct StoreScanner {
  ScannerObject base;
  int32_t listCode;
  char16_t path[260];
  ScanSettings* settings;
  int32_t givenHandle;  // -1 when Open opened the file itself
  int32_t handle;       // the handle in use, -1 when none
  FileWrapObject* fw;
};

StoreScanner* self(ScannerObject* o) { return reinterpret_cast<StoreScanner*>(o); }

void closeOwn(StoreScanner* s) {
  if (s->givenHandle == -1 && s->handle != -1 && s->fw) s->fw->ops->Close(s->fw, s->handle);
  if (s->givenHandle == -1) s->handle = -1;
}

int32_t Open(ScannerObject* o, int32_t handle, const char16_t* path, ScanSettings* settings,
             const char16_t* rootDisplayPath, int32_t, uintptr_t) {
  if (!path || !settings || !rootDisplayPath) return NX_ENGINE_MISSING_ARG;
  StoreScanner* s = self(o);
  closeOwn(s);  // a second Open must not leak the first one's file
  s->settings = settings;
  s->fw = wrapper();
  s->givenHandle = handle;
  s->handle = handle;
  if (!s->fw) return NX_ENGINE_ERROR;
  if (handle == -1) {
    if (!keepPath(s->path, path)) return NX_ENGINE_ERROR;
    s->handle = s->fw->ops->OpenW(s->fw, s->path, NX_O_RDONLY | NX_O_BINARY, 0);
    if (s->handle < 0) {
      s->handle = -1;
      return NX_ENGINE_ERROR;
    }
  } else {
    keepPath(s->path, path);
  }
  s->fw->ops->Seek(s->fw, s->handle, 0, NX_SEEK_SET);
  return NX_ENGINE_SUCCESS;
}

struct ReadContext {
  FileWrapObject* fw;
  int32_t handle;
};

int32_t readAt(void* c, int32_t offset, uint8_t* buffer, int32_t len) {
  auto* rc = static_cast<ReadContext*>(c);
  if (rc->fw->ops->Seek(rc->fw, rc->handle, offset, NX_SEEK_SET) != offset) return 0;
  return rc->fw->ops->Read(rc->fw, rc->handle, buffer, len);
}

int32_t Scan(ScannerObject* o, char16_t* displayPath, ThreatListObject* threats, int32_t) {
  StoreScanner* s = self(o);
  if (!s->settings || s->handle == -1 || !s->fw) return NX_ENGINE_MISSING_ARG;
  if (!displayPath || !threats) return NX_ENGINE_MISSING_ARG;
  std::shared_ptr<const Table> table = currentTable();
  if (!table || table->empty()) return NX_ENGINE_CLEAN;
  int32_t length = s->fw->ops->Size(s->fw, s->handle);
  if (length < 0) return NX_ENGINE_ERROR;
  ReadContext rc{s->fw, s->handle};
  int32_t i = store::findInFile(*table, length, readAt, &rc);
  if (i < 0) return NX_ENGINE_CLEAN;
  auto r = blankThreat();
  r->index = static_cast<int16_t>(i > 0xFFFE ? 0xFFFF : i);
  r->category = store::kCategory;
  setThreatName(*r, (*table)[static_cast<size_t>(i)].name, store::kNameBytes);
  setThreatPath(*r, displayPath, 2041);
  if (threats->ops->Append(threats, r.get()) == 0) return NX_ENGINE_ERROR;
  return NX_ENGINE_THREAT;
}

int32_t Clean(ScannerObject* o, ThreatListObject* threats, int32_t action) {
  StoreScanner* s = self(o);
  ThreatRecord* last = nullptr;
  if (!s->settings || s->settings->noDelete == 1 || action == NX_ACTION_NONE || !threats ||
      threats->ops->Last(threats, &last) == 0)
    return NX_ENGINE_CANNOT_CLEAN;
  // The session layer deletes the file next: it must not be held open here.
  closeOwn(s);
  return NX_ENGINE_DELETE;
}

int32_t Close(ScannerObject* o) {
  closeOwn(self(o));
  return NX_ENGINE_SUCCESS;
}

ScannerObject* Destroy(ScannerObject* o, uint32_t flags) {
  closeOwn(self(o));
  if (flags & 1) {
    delete self(o);
    return nullptr;
  }
  return o;
}

void Release(ScannerObject* o) { Destroy(o, 1); }

const ScannerOps kOps = {Open, Scan, Clean, Close, Destroy, Release};

}  // namespace

int32_t storeLibInit() {
  std::lock_guard lock(g_lock);
  if (g_count > 0) return ++g_count;
  if (!g_filekit.load(kModuleFile)) return 0;
  if (!g_filekit.obtainWrapper()) {
    g_filekit.release();
    return 0;
  }
  std::shared_ptr<const Table> table = loadTable(g_filekit.wrapper);
  if (!table) {
    WriteToLogW(g_szLogFileName, u"Error initializing genericscan.dll.");
    g_filekit.release();
    return 0;
  }
  g_table = std::move(table);
  return ++g_count;
}

int32_t storeLibDeinit() {
  std::lock_guard lock(g_lock);
  if (g_count == 0) {
    frame::logLine(kModuleFile, u"Error LibInit LibDeinit mismatched.");
    return 0;
  }
  if (--g_count == 0) {
    g_table.reset();
    g_filekit.release();
  }
  return g_count;
}

int32_t storeReload() {
  std::lock_guard lock(g_lock);
  // Nothing to read with before the first init.
  if (g_count == 0) return 0;
  // The old table stays in place unless the new file loads whole.
  if (std::shared_ptr<const Table> table = loadTable(g_filekit.wrapper)) g_table = std::move(table);
  return 1;
}

int32_t createStore(ScannerObject** out, int32_t listCode) {
  if (!out) return 0;
  auto* s = new (std::nothrow) StoreScanner{};
  if (!s) return 0;
  s->base.ops = &kOps;
  s->listCode = listCode;
  s->givenHandle = -1;
  s->handle = -1;
  *out = &s->base;
  return 1;
}

int32_t deleteStore(ScannerObject* object) {
  if (!object) return 0;
  object->ops->Destroy(object, 1);
  return 1;
}

}  // namespace nx::gen
