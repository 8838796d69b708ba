// What the three Windows CE scanners of exescan.dll share: the binding of filekit.dll (each
// scanner keeps its own, as each is brought up and down on its own), reading signature files
// and scanned files through the file wrapper, and filling threat records.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>

#include "ce/windows.h"
#include "common/engine_types.h"
#include "common/filekit_link.h"
#include "common/module_frame.h"
#include "exescan/pe_header.h"
#include "exescan/signature_tables.h"
#include "filekit/filekit_api.h"

namespace nx::exe {

inline constexpr const char16_t* kSelf = u"exescan.dll";
inline constexpr std::size_t kPathChars = 260;
// Room for the display path in a threat record, terminator included.
inline constexpr std::size_t kDisplayChars = 2042;

struct FileKit : FileKitLink {
  // Loads filekit.dll beside this module and obtains the wrapper object; logs the failures.
  bool bind() { return FileKitLink::bind(kSelf); }
  // Hands the wrapper back and frees filekit.dll.
  void unbind() { release(); }
};

// The counted frame of a scanner that keeps one signature table: the first
// init binds filekit.dll and loads the table (an unusable file leaves it
// empty), the last deinit frees both, and a reload replaces the table only
// when the new one loads, so a broken update keeps the old signatures.
template <class Table>
struct TableFrame {
  explicit TableFrame(bool (*loadFn)(FileWrapObject*, Table&)) : load(loadFn) {}

  std::recursive_mutex lock;
  int count = 0;
  FileKit filekit;
  Table table;  // read without locks by scans; replaced only while no scan runs
  bool (*load)(FileWrapObject*, Table&);

  std::int32_t init() {
    std::lock_guard hold(lock);
    if (++count > 1) return count;
    if (!filekit.bind()) {
      count = 0;
      return 0;
    }
    Table fresh;
    if (load(filekit.wrapper, fresh)) table = std::move(fresh);
    return count;
  }

  // "Error LibInit LibDeinit mismatched." and 0 when not initialised.
  std::int32_t deinit();

  // False when not initialised.
  bool reload() {
    std::lock_guard hold(lock);
    if (count == 0) return false;
    Table fresh;
    if (load(filekit.wrapper, fresh)) table = std::move(fresh);
    return true;
  }
};

// The module's own directory with a trailing "\" (kPathChars); false when it cannot be found.
bool moduleDirectory(char16_t* out);

enum class FileLoad {
  Loaded,   // table holds the file's records
  Missing,  // no such file (or no way to open it): table untouched
  Rejected  // the file is there but load refused it: table untouched
};

// Opens dir + name read-only through the wrapper and runs load over it. A path that does not fit
// or a file that cannot be opened counts as missing.
template <class Table>
FileLoad loadSignatureFile(FileWrapObject* fw, const char16_t* dir, const char16_t* name, Table& table,
                           bool (*load)(ByteStream&, Table&));

// A sequential stream over a file the wrapper has open.
class WrapStream : public ByteStream {
 public:
  WrapStream(FileWrapObject* fw, std::int32_t handle) : fw_(fw), handle_(handle) {}
  std::int64_t size() override;
  std::size_t read(void* buf, std::size_t len) override;

 private:
  FileWrapObject* fw_;
  std::int32_t handle_;
};

// Positioned reads for the PE header code; each puts the file position back.
struct WrapReadContext {
  FileWrapObject* fw;
  std::int32_t handle;
};
pe::Reader wrapReader(WrapReadContext& ctx);

// Seeks to offset and reads exactly len bytes; false when the seek does not land there or the
// read is short. Offsets the wrapper cannot address (beyond 2 GiB) fail.
bool readAtExactly(FileWrapObject* fw, std::int32_t handle, std::uint64_t offset, void* buf, std::size_t len);
// Seeks (offsets beyond 2 GiB read nothing) and reads up to len bytes; returns the count.
std::size_t readAtMost(FileWrapObject* fw, std::int32_t handle, std::int64_t offset, void* buf, std::size_t len);

// Clears the record and fills index, category, the ANSI name (converted) and the display path.
void fillThreat(ThreatRecord& rec, std::int16_t index, std::int16_t category, const char* ansiName,
                const char16_t* displayPath);

// Copies a path of at most kPathChars - 1 characters; false when it is longer.
bool copyPath(char16_t* dst, const char16_t* src);

// What each scanner object keeps from its Open: the file's path, the
// caller's wrapper handle (-1: the scan opens the file itself) and the settings.
struct OpenedFile {
  char16_t path[kPathChars] = {};
  std::int32_t handle = -1;
  ScanSettings* settings = nullptr;

  // The Open operation's checks and copies, with its codes.
  std::int32_t open(std::int32_t fileHandle, const char16_t* filePath, ScanSettings* scanSettings,
                    const char16_t* rootDisplay);
};

template <class Table>
std::int32_t TableFrame<Table>::deinit() {
  std::lock_guard hold(lock);
  if (count == 0) {
    frame::logLine(kSelf, u"Error LibInit LibDeinit mismatched.");
    return 0;
  }
  if (--count == 0) {
    table = Table{};
    filekit.unbind();
  }
  return count;
}

}  // namespace nx::exe
