// The category scanner: known Windows CE programs recognised by the checksums of three small
// regions, looked up by the file offset of the entry point in 30 tables (five categories, each a
// base file and five increments).
#include <cstring>
#include <mutex>
#include <new>

#include "ce/base.h"
#include "ce/process.h"
#include "ce/text.h"
#include "common/crc32.h"
#include "common/module_frame.h"
#include "exescan/category_tables.h"
#include "exescan/scanner_support.h"
#include "exescan/scanners.h"

namespace nx::exe {

namespace {

namespace rec = category::rec;
using category::kTables;

constexpr std::size_t kEntryBytes = 30;

std::recursive_mutex g_lock;
int g_count = 0;
FileKit g_filekit;
char16_t g_dir[kPathChars] = {};
CategoryTable g_tables[30];  // read without locks by scans; replaced only while no scan runs

std::uint32_t u32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[3]) << 24);
}

// Loads all 30 files into `into`. A missing file leaves its table empty. A damaged one is logged,
// marked in `damaged` and leaves its table of `into` as it was, so the caller decides what stands
// in for it. false only when the module directory cannot be found.
bool loadAll(CategoryTable (&into)[30], bool (&damaged)[30]) {
  if (!g_dir[0] && !moduleDirectory(g_dir)) return false;
  for (std::uint8_t i : category::kLoadOrder) {
    CategoryTable t;
    damaged[i] = false;
    switch (loadSignatureFile(g_filekit.wrapper, g_dir, kTables[i].wfile, t, loadCategoryTable)) {
      case FileLoad::Loaded:
        into[i] = std::move(t);
        break;
      case FileLoad::Missing:
        into[i] = CategoryTable{};
        break;
      case FileLoad::Rejected:
        frame::logLine(kSelf, u"Damaged signature file", kTables[i].wfile);
        damaged[i] = true;
        break;
    }
  }
  return true;
}

struct CategoryObject : ScannerObject, OpenedFile {
  bool ownHandle = false;
  // Bytes read at the entry point of the current file (at most 30) and their checksum.
  std::size_t entryCount = 0;
  std::uint32_t entryCrc = 0;
};

CategoryObject* self(ScannerObject* o) { return static_cast<CategoryObject*>(o); }

bool sameSectionName(const char* a, const std::uint8_t* b) {
  for (std::size_t i = 0; i < pe::kSectionNameSize; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
    if (x == 0) return true;
  }
  return true;
}

bool regionMatches(FileWrapObject* fw, std::int32_t h, const std::uint8_t* region) {
  const std::uint32_t offset = u32(region);
  const std::uint8_t length = region[4];
  std::uint8_t buf[255];
  if (!readAtExactly(fw, h, offset, buf, length)) return false;
  return crc32Raw(buf, length) == u32(region + 5);
}

bool recordMatches(const CategoryObject& s, FileWrapObject* fw, std::int32_t h, const CategoryRecord& r,
                   std::int64_t entryOffset, const char* sectionName) {
  const std::uint8_t* b = r.bytes;
  if ((b[rec::kFlags] & rec::kFlagSectionName) && !sameSectionName(sectionName, b + rec::kSection)) return false;
  const std::uint8_t* a = b + rec::kRegionA;
  if (std::int64_t(u32(a)) == entryOffset && a[4] == s.entryCount) {
    if (s.entryCrc != u32(a + 5)) return false;
  } else if (!regionMatches(fw, h, a)) {
    return false;
  }
  return regionMatches(fw, h, b + rec::kRegionB) && regionMatches(fw, h, b + rec::kRegionC);
}

std::int32_t opOpen(ScannerObject* o, std::int32_t handle, const char16_t* path, ScanSettings* settings,
                    const char16_t* rootDisplay, std::int32_t, uintptr_t) {
  CategoryObject* s = self(o);
  const std::int32_t rc = s->open(handle, path, settings, rootDisplay);
  if (rc == NX_ENGINE_SUCCESS) s->ownHandle = false;
  return rc;
}

std::int32_t scanOpen(CategoryObject* s, FileWrapObject* fw, char16_t* displayPath, ThreatListObject* threats,
                      std::int32_t h) {
  WrapReadContext ctx{fw, h};
  const pe::Reader reader = wrapReader(ctx);
  const pe::Headers headers = pe::readHeaders(reader);
  if (!headers.isWindowsCe()) return NX_ENGINE_CLEAN;
  const pe::EntryPoint ep = pe::findEntryPoint(reader, headers);
  const std::int32_t length = fw->ops->Size(fw, h);
  if (length < 0 || ep.offset >= length) return NX_ENGINE_CLEAN;

  // An entry point without offset is looked up with the key -1 and read at the start of the file.
  std::uint8_t entry[kEntryBytes];
  s->entryCount = readAtMost(fw, h, ep.offset, entry, kEntryBytes);
  s->entryCrc = s->entryCount ? crc32Raw(entry, s->entryCount) : 0;
  const std::uint32_t key = std::uint32_t(ep.offset);
  const std::uint16_t mask = s->settings ? s->settings->categoryMask : 0;

  for (std::size_t t = 0; t < 30; ++t) {
    const CategoryTable& table = g_tables[t];
    if (table.empty()) continue;
    if (kTables[t].kind != 0 && (kTables[t].mask & mask) == 0) continue;
    for (std::uint32_t i = table.firstWithKey(key); i < table.count && table.keys[i] == key; ++i) {
      if (!recordMatches(*s, fw, h, table.records[i], ep.offset, ep.sectionName)) continue;
      ThreatRecord threat;
      char name[rec::kNameBytes + 1] = {};
      std::memcpy(name, table.records[i].bytes + rec::kName, rec::kNameBytes);
      fillThreat(threat, i > 0xFFFE ? std::int16_t(-1) : std::int16_t(std::uint16_t(i)), std::int16_t(kTables[t].code),
                 name, displayPath);
      return threats->ops->Append(threats, &threat) ? NX_ENGINE_THREAT : NX_ENGINE_ERROR;
    }
  }
  return NX_ENGINE_CLEAN;
}

std::int32_t opScan(ScannerObject* o, char16_t* displayPath, ThreatListObject* threats, std::int32_t) {
  if (!displayPath || !threats) return NX_ENGINE_MISSING_ARG;
  CategoryObject* s = self(o);
  FileWrapObject* fw = g_filekit.wrapper;
  if (!fw || !s->path[0]) return NX_ENGINE_ERROR;
  s->entryCount = 0;
  s->entryCrc = 0;
  std::int32_t h = s->handle;
  s->ownHandle = h < 0;
  if (s->ownHandle) {
    h = fw->ops->OpenW(fw, s->path, NX_O_RDONLY | NX_O_BINARY, 0);
    if (h < 0) {
      s->ownHandle = false;
      return NX_ENGINE_ERROR;
    }
  }
  fw->ops->Seek(fw, h, 0, NX_SEEK_SET);
  const std::int32_t result = scanOpen(s, fw, displayPath, threats, h);
  if (s->ownHandle) {
    fw->ops->Close(fw, h);
    s->ownHandle = false;
  }
  return result;
}

const CategoryTable* tableByCode(std::int16_t code, std::size_t* index) {
  for (std::size_t t = 0; t < 30; ++t)
    if (std::int16_t(kTables[t].code) == code) {
      *index = t;
      return &g_tables[t];
    }
  return nullptr;
}

// Ends the first running process whose program is the scanned file, so the file can go.
void endRunningProcess(const char16_t* path) {
  ce::HANDLE snap = ce::CreateToolhelp32Snapshot(ce::TH32CS_SNAPPROCESS, 0);
  if (snap == ce::INVALID_HANDLE_VALUE) return;
  ce::PROCESSENTRY32W e{};
  e.dwSize = sizeof e;
  for (ce::BOOL ok = ce::Process32FirstW(snap, &e); ok; ok = ce::Process32NextW(snap, &e)) {
    e.szExeFile[ce::MAX_PATH - 1] = 0;
    if (!ce::equalsNoCase(std::u16string_view(reinterpret_cast<const char16_t*>(e.szExeFile)), path)) continue;
    ce::HANDLE p = ce::OpenProcess(ce::PROCESS_TERMINATE, ce::FALSE, e.th32ProcessID);
    if (p) {
      ce::TerminateProcess(p, 0);
      ce::CloseHandle(p);
    }
    break;
  }
  ce::CloseToolhelp32Snapshot(snap);
}

std::int32_t opClean(ScannerObject* o, ThreatListObject* threats, std::int32_t action) {
  if (!threats || action == NX_ACTION_NONE) return NX_ENGINE_CANNOT_CLEAN;
  CategoryObject* s = self(o);
  // Never opened: there is no file to act on.
  if (!s->settings || !s->path[0]) return NX_ENGINE_CANNOT_CLEAN;
  const ScanSettings& st = *s->settings;
  if (st.noDelete == 1 && !((st.engineFlags & NX_ENGINE_FLAG_E8) && st.flagE14 != 0)) return NX_ENGINE_CANNOT_CLEAN;
  ThreatRecord* last = nullptr;
  if (!threats->ops->Last(threats, &last) || !last) return NX_ENGINE_CANNOT_CLEAN;
  const bool mayEndProcess = st.noDelete != 1;
  if (last->index != std::int16_t(-1)) {
    std::size_t t = 0;
    const CategoryTable* table = tableByCode(last->category, &t);
    const std::uint32_t index = std::uint16_t(last->index);
    if (!table || table->empty() || index >= table->count) return NX_ENGINE_CANNOT_CLEAN;
    if (!(table->records[index].bytes[rec::kFlags] & rec::kFlagEndProcess)) return NX_ENGINE_DELETE;
  }
  if (mayEndProcess) endRunningProcess(s->path);
  return NX_ENGINE_DELETE;
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

void clearTables(CategoryTable (&t)[30]) {
  for (std::size_t i = 30; i-- > 0;) t[i] = CategoryTable{};
}

}  // namespace

std::int32_t categoryInit() {
  std::lock_guard lock(g_lock);
  if (++g_count > 1) return g_count;
  if (!g_filekit.bind()) {
    g_count = 0;
    return 0;
  }
  g_dir[0] = 0;
  clearTables(g_tables);
  bool damaged[30];
  if (!loadAll(g_tables, damaged)) {
    frame::logLine(kSelf, u"Error initializing exescan.dll.");
    g_filekit.unbind();
    g_count = 0;
    return 0;
  }
  return g_count;
}

std::int32_t categoryDeinit() {
  std::lock_guard lock(g_lock);
  if (g_count == 0) {
    frame::logLine(kSelf, u"Error LibInit LibDeinit mismatched.");
    return 0;
  }
  if (--g_count == 0) {
    clearTables(g_tables);
    g_filekit.unbind();
  }
  return g_count;
}

std::int32_t categoryReload() {
  std::lock_guard lock(g_lock);
  if (g_count == 0) return 0;
  // A damaged file keeps the table it replaces, as the other scanners keep theirs: an update cut
  // short must not take signatures away. A file that is gone takes its table with it.
  CategoryTable fresh[30];
  bool damaged[30];
  if (loadAll(fresh, damaged))
    for (std::size_t i = 0; i < 30; ++i)
      if (!damaged[i]) g_tables[i] = std::move(fresh[i]);  // old tables freed here
  return 1;
}

void categoryCounts(std::uint32_t counts[30]) {
  std::lock_guard lock(g_lock);
  for (std::size_t i = 0; i < 30; ++i) counts[i] = g_tables[i].count;
}

std::int32_t createCategoryObject(ScannerObject** out) {
  if (!out) return 0;
  auto* o = new (std::nothrow) CategoryObject;
  if (!o) return 0;
  o->ops = &kOps;
  *out = o;
  return 1;
}

}  // namespace nx::exe
