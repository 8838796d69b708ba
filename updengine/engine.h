// The update engine's shared pieces: one update run (its folders, the
// caller's progress callback, the pause/stop protocol and the report), the
// fetched-file list, and the module-wide named events.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ce/windows.h"
#include "common/options_records.h"
#include "common/report_log.h"
#include "nyxel/updengine.h"

namespace nx::upd {

using ce::BYTE;
using ce::DWORD;
using ce::HANDLE;
using ce::WCHAR;

// Results of the fetch and install steps (also the report's result codes).
enum Result : int32_t {
  kFailed = 0,
  kSuccess = 1,
  kResultFailed = 2000,
  kResultUpdated = 2001,
  kResultInterrupted = 2002,
  kResultUpToDate = 2003,
  kResultNoConnection = 2006,
  kResultNotFound = 2007,
  kResultCorrupt = 2008,
  kResultNotApplicable = 2014,
};

inline constexpr const WCHAR* kTempFolder = u"temp";
inline constexpr const WCHAR* kUpgradeFolder = u"Upgrade";
inline constexpr const WCHAR* kIndexBin = u"index.bin";
inline constexpr const WCHAR* kIndexDat = u"index.dat";
inline constexpr const WCHAR* kIndexSig = u"index.sig";
inline constexpr const WCHAR* kVersionFile = u"SCANVER.cnf";
inline constexpr const WCHAR* kUpdateTypeFile = u"updttype.cfg";

// One fetched definition file, in index order.
struct ListEntry {
  std::u16string name;                 // the package's file name
  std::array<BYTE, 50> nameBytes{};    // as the index holds it (the signature names packages by these)
  uint8_t type = 0;                    // the index entry's type (100-106 are known)
  uint8_t sequence = 0;
  char code = 0;                       // "d" 100 ... "j" 106, 0 for another type
};
using FileList = std::vector<ListEntry>;

// The marks the download status object of a location leaves for the
// pause/stop check after the download.
struct DownloadMarks {
  bool paused = false;
  bool resumed = false;
};

// Events every update of this library uses: created by Init, closed by DeInit.
struct Events {
  HANDLE update = nullptr;
  HANDLE pause = nullptr;
  HANDLE resume = nullptr;
  HANDLE stop = nullptr;
};
Events& events();
// The stopped mark: set by a stop, cleared by DeInit.
bool& stoppedMark();

// The caller's byte-progress display (SetTransferCallback).
void setTransferCallback(NxTransferCallback cb, void* ctx);
void reportTransfer(const WCHAR* file, uint64_t done, uint64_t total);

// printf-style UTF-16 text (the formatter of ce/text.h).
std::u16string text(const WCHAR* fmt, ...);

// "<dir>\<name>".
std::u16string joinPath(const std::u16string& dir, const std::u16string& name);
bool fileExists(const std::u16string& path);
bool folderExists(const std::u16string& path);
// Deletes every file (not folder) of a folder, each made writable first;
// the first failed delete ends the emptying, as the handset does.
void emptyFolder(const std::u16string& folder);

class Run {
 public:
  Run(NxUpdateCallback cb, void* ctx) : cb_(cb), ctx_(ctx) {}

  std::u16string installDir;  // no trailing "\"
  std::u16string tempDir;
  std::u16string upgradeDir;
  WM_UPDATE_OPTS updateOpts{};
  ScanVersionInfo oldVersion{};
  bool haveOldVersion = false;
  DownloadMarks marks;  // of the download status object of the current location

  // Sends a progress code; the callback's answer (0 without a callback).
  int32_t progress(uint16_t code, const WCHAR* file = nullptr) const;
  // A progress call marked abortable: true when the caller asked to abort.
  bool abortable(uint16_t code, const WCHAR* file = nullptr) const {
    return progress(code, file) == NX_UPD_ABORT;
  }

  // The pause/stop check between steps: true when the update is to stop
  // (the 2002 report is then written and the stopped mark set).
  bool pauseStopCheck();

  // Writes the one update report of a result code.
  void report(DWORD result, const ScanVersionInfo* oldV = nullptr, const ScanVersionInfo* newV = nullptr) const;

 private:
  NxUpdateCallback cb_;
  void* ctx_;
};

// Fetch (fetch.cpp): a result code; the list of fetched files in `list`.
int32_t fetchInternet(Run& run, FileList& list);
int32_t fetchLocal(Run& run, FileList& list);

// Install (install.cpp): 1 with status 2001, or 0 with status 2003, 2008 or 0.
int32_t install(Run& run, const FileList& list, DWORD& status, bool& engineUpdate);

}  // namespace nx::upd
