// The module frame every engine module follows: a counted LibInit/LibDeinit
// pair (only the first init and the last deinit do work), scanners brought up
// in order and torn down in reverse, sibling modules loaded from the module's
// own directory, and load failures written to the debug log in the product's
// fixed wording. Header-only: it calls platform.dll, which every engine
// module links and the deliverables that do not link it never include this.
#pragma once

#include <cstring>
#include <initializer_list>

#include "ce/kernel.h"
#include "ce/text.h"
#include "platform/platform_api.h"

namespace nx::frame {

using ce::WCHAR;

// ---- Load-failure lines ------------------------------------------------------
// "<module>: <what>" and, for another module, "<module>: <what> <other>.".
inline void logLine(const WCHAR* module, const WCHAR* what, const WCHAR* other = nullptr) {
  WCHAR line[2 * ce::MAX_PATH];
  int n = other ? ce::format16(line, 2 * ce::MAX_PATH, u"%s: %s %s.", module, what, other)
                : ce::format16(line, 2 * ce::MAX_PATH, u"%s: %s", module, what);
  if (n > 0) WriteToLogW(g_szLogFileName, line);
}
// "scan.dll: Path not found."
inline void logPathNotFound(const WCHAR* module) { logLine(module, u"Path not found."); }
// "exescan.dll: Unable to load filekit.dll."
inline void logUnableToLoad(const WCHAR* module, const WCHAR* other) { logLine(module, u"Unable to load", other); }
// "scan.dll: Invalid genericscan.dll." (a required entry point is missing)
inline void logInvalid(const WCHAR* module, const WCHAR* other) { logLine(module, u"Invalid", other); }
// "scan: LibInit: error code - 121"
inline void logErrorCode(const WCHAR* prefix, int code) { WriteToLogErr(g_szLogFileName, prefix, code); }

// ---- The usage count ---------------------------------------------------------
// One per module (a static object). The count is guarded so that a second
// loader arriving while the first init still runs waits for it instead of
// using a half-built module. The section is recursive: a first init may load
// modules that load this one again, which then only counts.
class LibUsage {
 public:
  // fileName is what the module logs under ("scan.dll"); errorPrefix is the
  // short name its error lines begin with ("scan").
  LibUsage(const WCHAR* fileName, const WCHAR* errorPrefix) : file_(fileName), prefix_(errorPrefix) {
    ce::InitializeCriticalSection(&cs_);
  }
  ~LibUsage() { ce::DeleteCriticalSection(&cs_); }
  LibUsage(const LibUsage&) = delete;
  LibUsage& operator=(const LibUsage&) = delete;

  // LibInit: setUp runs only for the call that takes the count from 0 to 1;
  // when it answers false the count stays 0 and the result is 0. Otherwise
  // the new count.
  template <class SetUp>
  int init(SetUp&& setUp) {
    ce::EnterCriticalSection(&cs_);
    int result = ++count_;
    if (count_ == 1 && !setUp()) {
      count_ = 0;
      result = 0;
    }
    ce::LeaveCriticalSection(&cs_);
    return result;
  }

  // LibDeinit: tearDown runs only for the call that brings the count to 0.
  // With a count of 0 the call is a mismatch: logged, and 0.
  template <class TearDown>
  int deinit(TearDown&& tearDown) {
    ce::EnterCriticalSection(&cs_);
    if (count_ == 0) {
      ce::LeaveCriticalSection(&cs_);
      logLine(file_, u"Error LibInit LibDeinit mismatched.");
      WCHAR prefix[64];
      if (ce::format16(prefix, 64, u"%s: LibDeinit: error code - ", prefix_) > 0) logErrorCode(prefix, kMismatchCode);
      return 0;
    }
    int result = --count_;
    if (count_ == 0) tearDown();
    ce::LeaveCriticalSection(&cs_);
    return result;
  }

  int count() {
    ce::EnterCriticalSection(&cs_);
    int c = count_;
    ce::LeaveCriticalSection(&cs_);
    return c;
  }

  const WCHAR* fileName() const { return file_; }
  const WCHAR* errorPrefix() const { return prefix_; }

  static constexpr int kMismatchCode = 132;

 private:
  ce::CRITICAL_SECTION cs_;
  const WCHAR* file_;
  const WCHAR* prefix_;
  int count_ = 0;
};

// ---- Scanners of one module --------------------------------------------------
// One init/deinit pair per scanner, brought up in order by the module's
// LibInit. When one fails, those already up go down again in reverse order.
struct ScannerSteps {
  int (*init)();
  int (*deinit)();
};

inline bool initInOrder(const ScannerSteps* steps, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (steps[i].init && steps[i].init() == 0) {
      while (i-- > 0)
        if (steps[i].deinit) steps[i].deinit();
      return false;
    }
  }
  return true;
}

inline void deinitInReverse(const ScannerSteps* steps, size_t n) {
  while (n-- > 0)
    if (steps[n].deinit) steps[n].deinit();
}

// ---- Sibling modules -----------------------------------------------------------
// "<directory of ownFile>\<otherFile>" into out (260 characters). Logs "Path
// not found." when the module's own directory cannot be had; false too when
// the joined path would not fit (it is never cut short).
inline bool siblingPath(const WCHAR* ownFile, const WCHAR* otherFile, WCHAR* out) {
  WCHAR dir[ce::MAX_PATH] = {};
  if (GetNXModuleDirW(ownFile, dir, ce::MAX_PATH) == 0) {
    logPathNotFound(ownFile);
    return false;
  }
  size_t d = ce::wcslen16(dir);
  size_t o = ce::wcslen16(otherFile);
  bool slash = d == 0 || dir[d - 1] != u'\\';
  if (d + (slash ? 1 : 0) + o >= ce::MAX_PATH) {
    logUnableToLoad(ownFile, otherFile);
    return false;
  }
  std::memcpy(out, dir, d * sizeof(WCHAR));
  if (slash) out[d++] = u'\\';
  std::memcpy(out + d, otherFile, (o + 1) * sizeof(WCHAR));
  return true;
}

// Loads otherFile from the directory of ownFile through the loader (its
// LibInit runs). Logs the failure; null then.
inline ce::HMODULE loadSibling(const WCHAR* ownFile, const WCHAR* otherFile) {
  WCHAR path[ce::MAX_PATH];
  if (!siblingPath(ownFile, otherFile, path)) return nullptr;
  ce::HMODULE h = MyLoadLibraryW(path);
  if (!h) logUnableToLoad(ownFile, otherFile);
  return h;
}

// One entry point a module needs from another.
struct Entry {
  const WCHAR* name;
  ce::FARPROC* slot;
};

// Resolves all entries or none: on a missing one every slot is cleared and
// "<ownFile>: Invalid <otherFile>." is logged.
inline bool resolveEntries(ce::HMODULE module, const WCHAR* ownFile, const WCHAR* otherFile,
                           std::initializer_list<Entry> entries) {
  for (const Entry& e : entries) {
    *e.slot = MyGetProcAddressW(module, e.name);
    if (!*e.slot) {
      for (const Entry& c : entries) *c.slot = nullptr;
      logInvalid(ownFile, otherFile);
      return false;
    }
  }
  return true;
}

}  // namespace nx::frame
