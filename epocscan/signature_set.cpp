// The module frame of epocscan.dll and its 30 signature tables: loaded at
// the first LibInit, replaced on reload, freed at the last LibDeinit.
#include <mutex>

#include "common/module_frame.h"
#include "epocscan/module.h"
#include "common/filekit_link.h"

namespace nx::epoc {

namespace {

constexpr const char16_t* kErrorPrefix = u"epocscan LibInit: error code - ";

std::mutex g_lock;
int32_t g_count = 0;
FileKitLink g_filekit;
std::shared_ptr<const TableSet> g_tables;

enum class FileLoad { Loaded, Missing, Damaged };

// One table file, read whole: its size bounds what is allocated.
FileLoad loadFile(FileWrapObject* fw, const std::u16string& path, Table& out) {
  out.clear();
  int32_t h = fw->ops->OpenW(fw, path.c_str(), NX_O_RDONLY | NX_O_BINARY, 0);
  if (h < 0) return FileLoad::Missing;
  FileLoad result = FileLoad::Damaged;
  int32_t size = fw->ops->Size(fw, h);
  uint8_t header[12];
  if (size >= 12 && fw->ops->Seek(fw, h, 0, NX_SEEK_SET) == 0 && fw->ops->Read(fw, h, header, 12) == 12 &&
      recordCount(header, static_cast<uint64_t>(size)) > 0) {
    std::vector<uint8_t> data;
    try {
      data.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      data.clear();
    }
    if (!data.empty() && fw->ops->Seek(fw, h, 0, NX_SEEK_SET) == 0 &&
        fw->ops->Read(fw, h, data.data(), size) == size && parseTable(data.data(), data.size(), out))
      result = FileLoad::Loaded;
  }
  fw->ops->Close(fw, h);
  return result;
}

// All 30 files in load order. A missing file leaves its table empty; a
// damaged one is logged and keeps what the previous load had for it, so a
// broken update does not take signatures away. Null only when the module's
// own directory cannot be found.
std::shared_ptr<const TableSet> loadAll(FileWrapObject* fw, const TableSet* previous) {
  char16_t dir[ce::MAX_PATH] = {};
  if (GetNXModuleDirW(kModuleFile, dir, ce::MAX_PATH) == 0) return nullptr;
  std::u16string base(dir);
  if (base.empty() || base.back() != u'\\') base.push_back(u'\\');
  auto set = std::make_shared<TableSet>();
  for (uint8_t t : kLoadOrder) {
    Table& table = (*set)[t];
    if (loadFile(fw, base + kTables[t].wfile, table) == FileLoad::Damaged) {
      frame::logLine(kModuleFile, u"Damaged signature file", kTables[t].wfile);
      if (previous) table = (*previous)[t];
    }
  }
  return set;
}

}  // namespace

int32_t libInit() {
  std::lock_guard lock(g_lock);
  if (g_count > 0) return ++g_count;
  if (!g_filekit.load(kModuleFile)) {
    frame::logErrorCode(kErrorPrefix, 148);
    return 0;
  }
  if (!g_filekit.obtainWrapper()) {
    g_filekit.release();
    frame::logErrorCode(kErrorPrefix, 149);
    return 0;
  }
  std::shared_ptr<const TableSet> tables = loadAll(g_filekit.wrapper, nullptr);
  if (!tables) {
    g_filekit.release();
    WriteToLogW(g_szLogFileName, u"Error initializing epocscan.dll.");
    frame::logErrorCode(kErrorPrefix, 141);
    return 0;
  }
  g_tables = std::move(tables);
  return ++g_count;
}

int32_t libDeinit() {
  std::lock_guard lock(g_lock);
  if (g_count == 0) {
    frame::logLine(kModuleFile, u"Error LibInit LibDeinit mismatched.");
    frame::logErrorCode(kErrorPrefix, 142);
    return 0;
  }
  if (--g_count == 0) {
    g_tables.reset();
    g_filekit.release();
  }
  return g_count;
}

int32_t reload() {
  std::lock_guard lock(g_lock);
  if (g_count == 0) return 0;
  if (std::shared_ptr<const TableSet> tables = loadAll(g_filekit.wrapper, g_tables.get()))
    g_tables = std::move(tables);
  return 1;
}

ScanContext scanContext() {
  std::lock_guard lock(g_lock);
  return ScanContext{g_filekit.wrapper, g_tables};
}

}  // namespace nx::epoc
