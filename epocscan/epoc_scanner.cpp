// The EPOC scanner object: reads the image header, finds the entry point,
// and looks the image up in the category tables by its entry offset.
#include <cstring>
#include <new>

#include "epocscan/module.h"
#include "genericscan/threat_fill.h"

namespace nx::epoc {

namespace {

struct EpocScanner {
  ScannerObject base;
  ScanSettings* settings;
  char16_t path[260];
  bool pathKept;
  int32_t handle;  // as given to Open; -1 = Scan opens the path
};

EpocScanner* self(ScannerObject* o) { return reinterpret_cast<EpocScanner*>(o); }

struct FileAccess {
  FileWrapObject* fw;
  int32_t handle;
};

bool readExact(void* c, uint32_t offset, uint8_t* buffer, uint32_t len) {
  auto* f = static_cast<FileAccess*>(c);
  if (offset > 0x7FFFFFFFu) return false;
  const int32_t at = static_cast<int32_t>(offset);
  if (f->fw->ops->Seek(f->fw, f->handle, at, NX_SEEK_SET) != at) return false;
  return f->fw->ops->Read(f->fw, f->handle, buffer, static_cast<int32_t>(len)) == static_cast<int32_t>(len);
}

// The lookup itself, on an open file. -1 table: no match.
Hit lookUp(const ScanContext& ctx, FileAccess& file, uint16_t categoryMask) {
  FileWrapObject* fw = file.fw;
  uint8_t head[kClassicHeader];
  fw->ops->Seek(fw, file.handle, 0, NX_SEEK_SET);
  int32_t got = fw->ops->Read(fw, file.handle, head, sizeof head);
  if (got <= 0) return {};
  const ImageFacts image = inspectImage(head, static_cast<size_t>(got));
  if (!image.epoc) return {};
  const int32_t length = fw->ops->Size(fw, file.handle);
  if (length < 0 || image.entryOffset < 0 || image.entryOffset >= length) return {};
  EntryBytes entry;
  uint8_t at[kEntryBytes];
  const int32_t e = static_cast<int32_t>(image.entryOffset);
  if (fw->ops->Seek(fw, file.handle, e, NX_SEEK_SET) == e) {
    int32_t n = fw->ops->Read(fw, file.handle, at, kEntryBytes);
    if (n > 0) {
      entry.count = static_cast<uint32_t>(n);
      entry.crc = crc32Raw(at, entry.count);
    }
  }
  return findImage(*ctx.tables, categoryMask, image, entry, readExact, &file);
}

int32_t Open(ScannerObject* o, int32_t handle, const char16_t* path, ScanSettings* settings,
             const char16_t* rootDisplayPath, int32_t, uintptr_t) {
  if (!path || !settings || !rootDisplayPath) return NX_ENGINE_MISSING_ARG;
  EpocScanner* s = self(o);
  s->settings = settings;
  s->handle = handle;
  size_t n = ce::wcslen16(path);
  s->pathKept = n < 260;
  if (s->pathKept)
    std::memcpy(s->path, path, (n + 1) * sizeof(char16_t));
  else
    s->path[0] = 0;
  return NX_ENGINE_SUCCESS;
}

int32_t Scan(ScannerObject* o, char16_t* displayPath, ThreatListObject* threats, int32_t) {
  if (!displayPath || !threats) return NX_ENGINE_MISSING_ARG;
  EpocScanner* s = self(o);
  if (!s->settings) return NX_ENGINE_MISSING_ARG;
  const ScanContext ctx = scanContext();
  if (!ctx.wrapper || !ctx.tables) return NX_ENGINE_ERROR;
  FileAccess file{ctx.wrapper, s->handle};
  const bool own = s->handle == -1;
  if (own) {
    // A path cut to fit could name another file.
    if (!s->pathKept) return NX_ENGINE_ERROR;
    file.handle = ctx.wrapper->ops->OpenW(ctx.wrapper, s->path, NX_O_RDONLY | NX_O_BINARY, 0);
    if (file.handle < 0) return NX_ENGINE_ERROR;
  }
  const Hit hit = lookUp(ctx, file, s->settings->categoryMask);
  if (own) ctx.wrapper->ops->Close(ctx.wrapper, file.handle);
  if (hit.table < 0) return NX_ENGINE_CLEAN;

  const TableInfo& info = kTables[hit.table];
  const Record& r = (*ctx.tables)[static_cast<size_t>(hit.table)][hit.index];
  auto t = gen::blankThreat();
  t->index = static_cast<int16_t>(hit.index > 0xFFFE ? 0xFFFF : hit.index);
  t->category = static_cast<int16_t>(info.code);
  gen::setThreatName(*t, r.name, rec::kNameBytes, info.notAVirus ? kNotAVirus : nullptr);
  gen::setThreatPath(*t, displayPath, 2042);
  if (threats->ops->Append(threats, t.get()) == 0) return NX_ENGINE_ERROR;
  return NX_ENGINE_THREAT;
}

int32_t Clean(ScannerObject* o, ThreatListObject* threats, int32_t action) {
  EpocScanner* s = self(o);
  ThreatRecord* last = nullptr;
  if (!threats || !s->settings || s->settings->noDelete == 1 || action == NX_ACTION_NONE ||
      threats->ops->Last(threats, &last) == 0)
    return NX_ENGINE_CANNOT_CLEAN;
  return NX_ENGINE_DELETE;
}

int32_t Close(ScannerObject*) { return NX_ENGINE_SUCCESS; }

ScannerObject* Destroy(ScannerObject* o, uint32_t flags) {
  if (flags & 1) {
    delete self(o);
    return nullptr;
  }
  return o;
}

void Release(ScannerObject* o) { Destroy(o, 1); }

const ScannerOps kOps = {Open, Scan, Clean, Close, Destroy, Release};

}  // namespace

int32_t createScanner(ScannerObject** out, int32_t) {
  if (!out) return 0;
  auto* s = new (std::nothrow) EpocScanner{};
  if (!s) return 0;
  s->base.ops = &kOps;
  s->handle = -1;
  *out = &s->base;
  return 1;
}

int32_t deleteScanner(ScannerObject* object) {
  if (!object) return 0;
  object->ops->Destroy(object, 1);
  return 1;
}

}  // namespace nx::epoc
