// The public scanning API: forwards every call to the session layer it loads
// from the installation directory, counts its users, keeps the engine from
// being unloaded while in use, and unloads and reloads the engine (or only
// its signatures) around an update.
#include <atomic>
#include <cstring>
#include <new>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/module.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/rwlock.h"
#include "nyxel/avapi.h"

#define AVAPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using ce::HANDLE;
using ce::HMODULE;
using ce::WCHAR;

constexpr const WCHAR* kUnloadEvent = u"NX_Unload_AdvAvapi_Event";
constexpr const WCHAR* kReloadEvent = u"NX_Reload_AdvAvapi_Event";

using ScInitFn = int32_t (*)(const NxScanOptions*, NxSession*);
using IgnoreFn = int (*)(const WCHAR*);
using FrameFn = int (*)();

struct Binding {
  ScInitFn init;
  PFN_NxDeinitScan deinit;
  PFN_NxSetOptions setOptions;
  PFN_NxGetAPIVersion version;
  PFN_NxGetAPIVersionEx versionEx;
  PFN_NxSetCallBack setCallBack;
  PFN_NxOpenFile openFile;
  PFN_NxScanFile scanFile;
  PFN_NxCleanFile cleanFile;
  PFN_NxCleanFileEx cleanFileEx;
  PFN_NxScanFileEx scanFileEx;
  PFN_NxCloseFile closeFile;
  PFN_NxGetOptions getOptions;
  PFN_NxGetFileType fileType;
  PFN_NxSetMessageString setMessage;
  PFN_NxCreateMimeObject createMime;
  PFN_NxDeleteMimeObject deleteMime;
  PFN_NxScanMessage scanMessage;
  PFN_NxGetActionForMemoryScan memoryAction;
  PFN_NxSetScanLimits setLimits;
  PFN_NxGetScanLimits getLimits;
};

struct BindEntry {
  const WCHAR* name;
  size_t offset;
  bool required;
};
#define NX_BIND(field, name, req) {name, offsetof(Binding, field), req}
const BindEntry kBindings[] = {
    NX_BIND(init, u"NxInitScan", true),          NX_BIND(deinit, u"NxDeinitScan", true),
    NX_BIND(setOptions, u"NxSetOptions", true),  NX_BIND(version, u"NxGetAPIVersion", true),
    NX_BIND(versionEx, u"NxGetAPIVersionEx", true), NX_BIND(setCallBack, u"NxSetCallBack", true),
    NX_BIND(openFile, u"NxOpenFile", true),      NX_BIND(scanFile, u"NxScanFile", true),
    NX_BIND(cleanFile, u"NxCleanFile", true),    NX_BIND(cleanFileEx, u"NxCleanFileEx", false),
    NX_BIND(scanFileEx, u"NxScanFileEx", true),  NX_BIND(closeFile, u"NxCloseFile", true),
    NX_BIND(getOptions, u"NxGetOptions", true),  NX_BIND(fileType, u"NxGetFileType", true),
    NX_BIND(setMessage, u"NxSetMessageString", true), NX_BIND(createMime, u"NxCreateMimeObject", true),
    NX_BIND(deleteMime, u"NxDeleteMimeObject", true), NX_BIND(scanMessage, u"NxScanMessage", true),
    NX_BIND(memoryAction, u"NxGetActionForMemoryScan", true),
    NX_BIND(setLimits, u"NxSetScanLimits", false), NX_BIND(getLimits, u"NxGetScanLimits", false),
};
#undef NX_BIND

// One started worker with its own events. The worker reads only these
// handles, and only the NxDeinitScan that took the service out of
// Api::service closes them, after the thread has ended: a worker started
// later has handles of its own that no earlier deinit touches.
struct ReloadService {
  HANDLE stopEvent = nullptr;
  HANDLE unloadEvent = nullptr;
  HANDLE reloadEvent = nullptr;
  // Wakes the worker while it holds the engine for an update that may never
  // finish, so that a final NxDeinitScan can still get through.
  HANDLE deinitEvent = nullptr;
  HANDLE thread = nullptr;
};

struct Api {
  int32_t count = 0;
  int32_t unloading = 0;
  NxScanOptions stored{};
  NxScanCallback callback = nullptr;
  WCHAR message[1024] = u"Nyxel AntiVirus";
  int32_t previousState = -1;
  // The caller's scan limits, handed again to a reloaded engine.
  NxScanLimits limits{};
  bool limitsSet = false;

  HMODULE scancore = nullptr;
  HMODULE platformPlain = nullptr;
  HMODULE platformIgnore = nullptr;
  IgnoreFn ignoreFile = nullptr;
  IgnoreFn unignoreFile = nullptr;
  Binding bound{};

  nx::RwLock lock;
  nx::RwLock logLock;

  // The running ReloadService; read and replaced under the API lock and
  // under serviceCs (which NxDeinitScan needs before it can take the API
  // lock, to wake a worker that holds it).
  ReloadService* service = nullptr;
  ce::CRITICAL_SECTION serviceCs;
  std::atomic<int32_t> pendingDeinits{0};

  // Serialises NxInitScan and NxDeinitScan as wholes. A final NxDeinitScan
  // lets go of the API lock while it stops the worker; an NxInitScan in that
  // gap would start a second worker and load the engine again, and the
  // deinit would then unload that engine under its new user. With this an
  // init waits until the deinit is done and then starts afresh.
  ce::CRITICAL_SECTION lifecycle;

  WCHAR logPath[ce::MAX_PATH] = u"nxdebug.log";

  Api() {
    ce::InitializeCriticalSection(&serviceCs);
    ce::InitializeCriticalSection(&lifecycle);
  }
  ~Api() {
    ce::DeleteCriticalSection(&lifecycle);
    ce::DeleteCriticalSection(&serviceCs);
  }
};

struct CsHold {
  explicit CsHold(ce::CRITICAL_SECTION& cs) : cs_(cs) { ce::EnterCriticalSection(&cs_); }
  ~CsHold() { ce::LeaveCriticalSection(&cs_); }
  CsHold(const CsHold&) = delete;
  CsHold& operator=(const CsHold&) = delete;

 private:
  ce::CRITICAL_SECTION& cs_;
};

Api& api() {
  static Api a;
  return a;
}

// The log goes beside the program that loaded this library.
struct LogPathAtAttach {
  LogPathAtAttach() {
    WCHAR exe[ce::MAX_PATH + 1];
    ce::DWORD len = ce::GetModuleFileNameW(nullptr, exe, ce::MAX_PATH + 1);
    if (len == 0 || len > ce::MAX_PATH) return;
    WCHAR* slash = nullptr;
    for (WCHAR* p = exe; *p; ++p)
      if (*p == u'\\') slash = p;
    if (!slash) return;
    static constexpr WCHAR kName[] = u"nxdebug.log";
    size_t dirLen = static_cast<size_t>(slash - exe) + 1;
    if (dirLen + sizeof kName / sizeof(WCHAR) > ce::MAX_PATH) return;
    std::memcpy(api().logPath, exe, dirLen * sizeof(WCHAR));
    std::memcpy(api().logPath + dirLen, kName, sizeof kName);
  }
} g_logPathAtAttach;

void writeLog(const WCHAR* text, bool errorForm, int number) {
  Api& a = api();
  nx::RwLockHold hold(a.logLock, true);
  if (!hold.held()) return;
  HANDLE f = ce::CreateFileW(a.logPath, ce::GENERIC_READ | ce::GENERIC_WRITE, 0, nullptr, ce::OPEN_ALWAYS,
                             ce::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return;
  ce::SetFilePointer(f, 0, nullptr, ce::FILE_END);
  WCHAR line[1200];
  int n;
  if (errorForm) {
    n = ce::format16(line, 1200, u"%s%d\r\n", text, number);
  } else {
    ce::SYSTEMTIME t;
    ce::GetLocalTime(&t);
    n = ce::format16(line, 1200, u"%u:%u:%u:%08X: %s\r\n", unsigned(t.wHour), unsigned(t.wMinute),
                     unsigned(t.wSecond), unsigned(ce::GetCurrentThreadId()), text);
  }
  if (n > 0) {
    ce::DWORD put = 0;
    ce::WriteFile(f, line, static_cast<ce::DWORD>(n) * sizeof(WCHAR), &put, nullptr);
  }
  ce::CloseHandle(f);
}
void logLine(const WCHAR* text) { writeLog(text, false, 0); }
void logError(const WCHAR* text, int number) { writeLog(text, true, number); }

// ---- Module frame -------------------------------------------------------------
HMODULE frameLoad(const WCHAR* path) {
  HMODULE h = ce::LoadLibraryW(path);
  if (!h) return nullptr;
  auto init = reinterpret_cast<FrameFn>(ce::GetProcAddressW(h, u"LibInit"));
  if (init && init() == 0) {
    ce::FreeLibrary(h);
    return nullptr;
  }
  return h;
}
void frameUnload(HMODULE h) {
  if (!h) return;
  auto deinit = reinterpret_cast<FrameFn>(ce::GetProcAddressW(h, u"LibDeinit"));
  if (deinit) deinit();
  ce::FreeLibrary(h);
}

size_t boundedLength(const WCHAR* s, size_t cap) {
  size_t n = 0;
  while (n < cap && s[n]) ++n;
  return n;
}

// "<dir>\<file>" into out (260); false when it does not fit.
bool joinPath(const WCHAR* dir, size_t dirCap, const WCHAR* file, WCHAR* out) {
  size_t d = boundedLength(dir, dirCap);
  if (d > 255) d = 255;
  size_t f = ce::wcslen16(file);
  bool slash = d == 0 || dir[d - 1] != u'\\';
  if (d + (slash ? 1 : 0) + f >= ce::MAX_PATH) return false;
  std::memcpy(out, dir, d * sizeof(WCHAR));
  if (slash) out[d++] = u'\\';
  std::memcpy(out + d, file, (f + 1) * sizeof(WCHAR));
  return true;
}

void clearBinding(Api& a) { a.bound = Binding{}; }

// Unloads the engine: ignore-list client, session, session library, the
// plain platform.dll. Safe on a partly or not loaded engine.
void unloadEngine(Api& a) {
  frameUnload(a.platformIgnore);
  a.platformIgnore = nullptr;
  a.ignoreFile = nullptr;
  a.unignoreFile = nullptr;
  if (a.bound.deinit) a.bound.deinit(&a.stored);
  clearBinding(a);
  frameUnload(a.scancore);
  a.scancore = nullptr;
  if (a.platformPlain) ce::FreeLibrary(a.platformPlain);
  a.platformPlain = nullptr;
}

// First initialisation of the engine from the options. Returns 1 or the
// failing result.
int32_t initAvapi(Api& a, const NxScanOptions* options, NxSession* outHandle) {
  WCHAR path[ce::MAX_PATH];
  if (!joinPath(options->installDir, 256, u"platform.dll", path) || !(a.platformPlain = ce::LoadLibraryW(path))) {
    logError(u"avapi InitAvapi: error code - ", 93);
    return 0;
  }
  if (!joinPath(options->installDir, 256, u"scancore.dll", path) || !(a.scancore = frameLoad(path))) {
    logLine(u"avapi.dll: Unable to load scancore.dll.");
    logError(u"avapi LoadScancore: error code - ", 91);
    ce::FreeLibrary(a.platformPlain);
    a.platformPlain = nullptr;
    return 0;
  }
  for (const BindEntry& e : kBindings) {
    ce::FARPROC p = ce::GetProcAddressW(a.scancore, e.name);
    std::memcpy(reinterpret_cast<char*>(&a.bound) + e.offset, &p, sizeof p);
    if (!p && e.required) {
      clearBinding(a);
      frameUnload(a.scancore);
      a.scancore = nullptr;
      ce::FreeLibrary(a.platformPlain);
      a.platformPlain = nullptr;
      return 0;
    }
  }
  int32_t rc = a.bound.init(options, outHandle);
  if (rc != 1) {
    clearBinding(a);
    frameUnload(a.scancore);
    a.scancore = nullptr;
    ce::FreeLibrary(a.platformPlain);
    a.platformPlain = nullptr;
    return rc;
  }
  a.bound.setOptions(*outHandle, options);
  a.bound.setCallBack(*outHandle, a.callback);
  a.bound.setMessage(*outHandle, a.message, 0);
  if (a.limitsSet && a.bound.setLimits) a.bound.setLimits(*outHandle, &a.limits);
  if (joinPath(options->installDir, 256, u"platform.dll", path) && (a.platformIgnore = frameLoad(path))) {
    a.ignoreFile = reinterpret_cast<IgnoreFn>(ce::GetProcAddressW(a.platformIgnore, u"IgnoreFile"));
    a.unignoreFile = reinterpret_cast<IgnoreFn>(ce::GetProcAddressW(a.platformIgnore, u"UnIgnoreFile"));
    if (!a.ignoreFile || !a.unignoreFile) {
      frameUnload(a.platformIgnore);
      a.platformIgnore = nullptr;
      a.ignoreFile = nullptr;
      a.unignoreFile = nullptr;
    }
  }
  return 1;
}

int32_t updateState(Api& a, uint8_t* kind) {
  if (!a.scancore) return -1;
  auto fn = reinterpret_cast<PFN_NxGetUpdateState>(ce::GetProcAddressW(a.scancore, u"NxGetUpdateState"));
  return fn ? fn(kind) : -1;
}

bool signaled(HANDLE h) { return h && ce::WaitForSingleObject(h, 0) == ce::WAIT_OBJECT_0; }

// The update engine sets the reload event before it clears the unload
// event; while both are set the update just finished, and the worker gives
// the engine a moment to clear the unload event so that one update is one
// cycle. A new update clears the reload event first and is seen at once.
void settleAfterCycle(const ReloadService& svc) {
  for (int i = 0; i < 400 && signaled(svc.unloadEvent) && signaled(svc.reloadEvent) && !signaled(svc.stopEvent); ++i)
    ce::Sleep(5);
}

ce::DWORD reloadWorker(void* param) {
  Api& a = api();
  ReloadService& svc = *static_cast<ReloadService*>(param);
  for (;;) {
    HANDLE first[2] = {svc.stopEvent, svc.unloadEvent};
    ce::DWORD w = ce::WaitForMultipleObjects(2, first, false, ce::INFINITE);
    if (w == ce::WAIT_OBJECT_0) {
      ce::ResetEvent(svc.stopEvent);
      return 0;
    }
    if (w != ce::WAIT_OBJECT_0 + 1) return 0;
    if (!a.lock.acquireExclusive()) return 0;
    if (a.count <= 0 || a.unloading == 1) {
      a.lock.release();
      return 0;
    }
    uint8_t kind = 0;
    int32_t state = updateState(a, &kind);
    const bool partial = state != -1 && state != a.previousState;
    a.previousState = state;
    if (!partial) unloadEngine(a);

    // Holding the engine until the reload event. A final NxDeinitScan that
    // arrives meanwhile must not wait for an update that may never finish:
    // the worker then lets go of the lock and waits for the reload without it.
    bool holding = true;
    for (;;) {
      HANDLE second[3] = {svc.stopEvent, svc.reloadEvent, svc.deinitEvent};
      ce::DWORD r = ce::WaitForMultipleObjects(holding ? 3 : 2, second, false, ce::INFINITE);
      if (r == ce::WAIT_OBJECT_0) {
        ce::ResetEvent(svc.stopEvent);
        if (holding) a.lock.release();
        return 0;
      }
      if (r == ce::WAIT_OBJECT_0 + 1) break;
      if (r == ce::WAIT_OBJECT_0 + 2 && holding) {
        if (a.count - a.pendingDeinits.load() <= 0) {
          holding = false;
          a.lock.release();
        }
        continue;
      }
      if (holding) a.lock.release();
      return 0;
    }
    if (!holding) {
      if (!a.lock.acquireExclusive()) return 0;
      if (a.count <= 0 || a.unloading == 1) {
        a.lock.release();
        return 0;
      }
    }
    if (partial) {
      auto reload = a.scancore ? reinterpret_cast<PFN_NxReloadSignatures>(
                                     ce::GetProcAddressW(a.scancore, u"NxReloadSignatures"))
                               : nullptr;
      if (reload) reload(kind, 0);
    } else if (!a.scancore) {
      const int32_t saved = a.count;
      a.count = 0;
      NxSession discarded = nullptr;
      initAvapi(a, &a.stored, &discarded);
      a.count = saved;
    }
    a.lock.release();
    settleAfterCycle(svc);
  }
}

void closeServiceHandles(ReloadService& svc) {
  for (HANDLE* h : {&svc.reloadEvent, &svc.unloadEvent, &svc.deinitEvent, &svc.stopEvent, &svc.thread}) {
    if (*h) ce::CloseHandle(*h);
    *h = nullptr;
  }
}

// A new worker with its own events; null when any of them cannot be made.
ReloadService* startReloadService() {
  auto* svc = new (std::nothrow) ReloadService{};
  if (!svc) return nullptr;
  svc->stopEvent = ce::CreateEventW(nullptr, true, false, nullptr);
  svc->deinitEvent = ce::CreateEventW(nullptr, false, false, nullptr);
  if (svc->stopEvent && svc->deinitEvent) {
    svc->unloadEvent = ce::CreateEventW(nullptr, true, false, kUnloadEvent);
    svc->reloadEvent = svc->unloadEvent ? ce::CreateEventW(nullptr, true, false, kReloadEvent) : nullptr;
    svc->thread = svc->reloadEvent ? ce::CreateThread(nullptr, 0, reloadWorker, svc, 0, nullptr) : nullptr;
  }
  if (!svc->thread) {
    closeServiceHandles(*svc);
    delete svc;
    return nullptr;
  }
  return svc;
}

// Ends a worker that nobody else can reach any more and frees its events.
void stopReloadService(ReloadService* svc) {
  if (!svc) return;
  ce::SetEvent(svc->stopEvent);
  ce::WaitForSingleObject(svc->thread, ce::INFINITE);
  closeServiceHandles(*svc);
  delete svc;
}

// Takes the service out of reach: afterwards no NxDeinitScan signals its
// events. Called with the API lock held.
ReloadService* detachService(Api& a) {
  CsHold cs(a.serviceCs);
  ReloadService* svc = a.service;
  a.service = nullptr;
  return svc;
}

bool isSignatureFile(const WCHAR* name) {
  size_t n = ce::wcslen16(name);
  if (n < 4) return false;
  const WCHAR* ext = name + n - 4;
  return ext[0] == u'.' && (ext[1] == u'i' || ext[1] == u'I') && (ext[2] == u'n' || ext[2] == u'N') &&
         (ext[3] == u'x' || ext[3] == u'X');
}

// Leftover engine work files ("*.?nx") of the installation directory. The
// signature tables (".inx") match the same pattern and are never touched.
void removeWorkFiles(const NxScanOptions& o) {
  WCHAR pattern[ce::MAX_PATH];
  if (!joinPath(o.installDir, 256, u"*.?nx", pattern)) return;
  auto any = [&] {
    ce::WIN32_FIND_DATAW d;
    HANDLE f = ce::FindFirstFileW(pattern, &d);
    if (f == ce::INVALID_HANDLE_VALUE) return false;
    bool found = false;
    do {
      if (!(d.dwFileAttributes & ce::FILE_ATTRIBUTE_DIRECTORY) && !isSignatureFile(d.cFileName)) found = true;
    } while (!found && ce::FindNextFileW(f, &d));
    ce::FindClose(f);
    return found;
  };
  // The wait lets engine threads of this process let go of their files; it
  // is paid only when there is something to remove.
  if (!any()) return;
  ce::Sleep(6000);
  for (int pass = 0; pass < 16; ++pass) {
    ce::WIN32_FIND_DATAW d;
    HANDLE f = ce::FindFirstFileW(pattern, &d);
    if (f == ce::INVALID_HANDLE_VALUE) return;
    bool again = false;
    do {
      if ((d.dwFileAttributes & ce::FILE_ATTRIBUTE_DIRECTORY) || isSignatureFile(d.cFileName)) continue;
      WCHAR path[ce::MAX_PATH];
      if (!joinPath(o.installDir, 256, d.cFileName, path)) continue;
      ce::SetFileAttributesW(path, ce::FILE_ATTRIBUTE_NORMAL);
      if (!ce::DeleteFileW(path) && ce::GetLastError() == ce::ERROR_SHARING_VIOLATION) {
        again = true;
        break;
      }
    } while (ce::FindNextFileW(f, &d));
    ce::FindClose(f);
    if (!again) return;
    ce::Sleep(5000);
  }
}

}  // namespace

AVAPI_EXPORT int32_t NxInitScan(const NxScanOptions* options, NxSession* out) {
  Api& a = api();
  if (!options || !out) {
    logError(u"avapi NxInitScan: error code - ", 90);
    return 0;
  }
  CsHold life(a.lifecycle);
  nx::RwLockHold hold(a.lock, true);
  if (!hold.held()) return 0;
  WCHAR dir[257] = {};
  std::memcpy(dir, options->installDir, 256 * sizeof(WCHAR));
  ce::DWORD attr = ce::GetFileAttributesW(dir);
  if (!(attr & ce::FILE_ATTRIBUTE_DIRECTORY)) return 0;
  if (++a.count > 1) return 1;
  NxSession handle = &a.stored;
  if (initAvapi(a, options, &handle) != 1) {
    --a.count;
    return 0;
  }
  a.unloading = 0;
  std::memcpy(&a.stored, options, sizeof a.stored);
  *out = &a.stored;
  uint8_t kind = 0;
  a.previousState = updateState(a, &kind);
  ReloadService* svc = startReloadService();
  if (!svc) {
    unloadEngine(a);
    --a.count;
    return 0;
  }
  CsHold cs(a.serviceCs);
  a.service = svc;
  return 1;
}

AVAPI_EXPORT int32_t NxDeinitScan(NxSession session) {
  Api& a = api();
  if (!session) return 0;
  // Said before waiting for anything: a worker that holds the engine for an
  // update lets go of it once every remaining user is on the way out.
  a.pendingDeinits.fetch_add(1);
  {
    CsHold cs(a.serviceCs);
    if (a.service) ce::SetEvent(a.service->deinitEvent);
  }
  CsHold life(a.lifecycle);
  bool held = a.lock.acquireExclusive();
  a.pendingDeinits.fetch_sub(1);
  if (!held) return 0;
  if (a.count <= 0) {
    a.lock.release();
    return 0;
  }
  if (--a.count > 0) {
    a.lock.release();
    return 1;
  }
  a.unloading = 1;
  ReloadService* svc = detachService(a);
  // The worker may be waiting for the API lock: it is stopped without it.
  a.lock.release();
  stopReloadService(svc);
  if (!a.lock.acquireExclusive()) return 1;
  // Nothing can have started meanwhile (inits wait for this deinit), but the
  // engine is unloaded only in the state this deinit left it in.
  if (a.count == 0 && a.unloading == 1) {
    unloadEngine(a);
    removeWorkFiles(a.stored);
  }
  a.lock.release();
  return 1;
}

AVAPI_EXPORT int32_t NxSetOptions(NxSession session, const NxScanOptions* options) {
  Api& a = api();
  if (!options) return 0;
  nx::RwLockHold hold(a.lock, true);
  if (!hold.held() || !a.bound.setOptions) return 0;
  int32_t rc = a.bound.setOptions(session, options);
  if (rc == 1) std::memcpy(&a.stored, options, sizeof a.stored);
  return rc;
}

AVAPI_EXPORT int32_t NxGetOptions(NxSession session, NxScanOptions* out) {
  Api& a = api();
  if (!session || !out) return 0;
  nx::RwLockHold hold(a.lock, false);
  if (!hold.held() || !a.bound.getOptions) return 0;
  return a.bound.getOptions(session, out);
}

AVAPI_EXPORT int32_t NxGetAPIVersion(NxSession session, NxVersionRecord* out) {
  Api& a = api();
  if (!session || !out) return 0;
  nx::RwLockHold hold(a.lock, false);
  if (!hold.held() || !a.bound.version) return 0;
  return a.bound.version(session, out);
}

AVAPI_EXPORT int32_t NxGetAPIVersionEx(const WCHAR* directory, NxVersionRecord* out) {
  Api& a = api();
  if (!directory || !out) return 0;
  if (boundedLength(directory, NX_VERSIONEX_DIR_MAX + 1) > NX_VERSIONEX_DIR_MAX) return 0;
  nx::RwLockHold hold(a.lock, false);
  if (!hold.held()) return 0;
  if (a.bound.versionEx) return a.bound.versionEx(directory, out);
  WCHAR path[ce::MAX_PATH];
  if (!joinPath(directory, NX_VERSIONEX_DIR_MAX, u"scancore.dll", path)) return 0;
  HMODULE h = frameLoad(path);
  if (!h) return 0;
  auto fn = reinterpret_cast<PFN_NxGetAPIVersionEx>(ce::GetProcAddressW(h, u"NxGetAPIVersionEx"));
  int32_t rc = fn ? fn(directory, out) : 0;
  frameUnload(h);
  return rc == 1 ? 1 : 0;
}

AVAPI_EXPORT int32_t NxSetCallBack(NxSession session, NxScanCallback callback) {
  Api& a = api();
  if (!session || !callback) return 0;
  nx::RwLockHold hold(a.lock, true);
  if (!hold.held() || !a.bound.setCallBack) return 0;
  int32_t rc = a.bound.setCallBack(session, callback);
  a.callback = rc == 1 ? callback : nullptr;
  return rc;
}

AVAPI_EXPORT int32_t NxSetScanLimits(NxSession session, const NxScanLimits* limits) {
  Api& a = api();
  if (!session || !limits || limits->size < sizeof(NxScanLimits)) return 0;
  nx::RwLockHold hold(a.lock, true);
  if (!hold.held() || !a.bound.setLimits) return 0;
  int32_t rc = a.bound.setLimits(session, limits);
  if (rc == 1) {
    a.limits = *limits;
    a.limitsSet = true;
  }
  return rc;
}

AVAPI_EXPORT int32_t NxGetScanLimits(NxSession session, NxScanLimits* out) {
  Api& a = api();
  if (!session || !out) return 0;
  nx::RwLockHold hold(a.lock, false);
  if (!hold.held() || !a.bound.getLimits) return 0;
  return a.bound.getLimits(session, out);
}

AVAPI_EXPORT int32_t NxOpenFile(NxSession session, const WCHAR* path, NxFileHandle* out) {
  Api& a = api();
  if (!session || !path || !out) return 0;
  if (!a.lock.acquireShared()) return 0;
  int32_t rc = a.bound.openFile ? a.bound.openFile(session, path, out) : 0;
  if (rc != 1) a.lock.release();
  return rc;
}

AVAPI_EXPORT int32_t NxOpenFileEx(NxSession session, const WCHAR* path, NxFileHandle* out) {
  Api& a = api();
  if (!session || !path || !out || !a.bound.openFile) return 0;
  return a.bound.openFile(session, path, out);
}

AVAPI_EXPORT int32_t NxScanFile(NxFileHandle file, ScanReport* report) {
  Api& a = api();
  if (!file || !report || !a.bound.scanFile) return 0;
  return a.bound.scanFile(file, report);
}

AVAPI_EXPORT int32_t NxScanFileEx(NxSession session, NxFileHandle file, uintptr_t context) {
  Api& a = api();
  if (!session || !file || !a.bound.scanFileEx) return 0;
  return a.bound.scanFileEx(session, file, context);
}

AVAPI_EXPORT int32_t NxCleanFile(NxFileHandle file, uintptr_t second) {
  Api& a = api();
  if (!file || !a.bound.cleanFile) return 0;
  return a.bound.cleanFile(file, second);
}

AVAPI_EXPORT int32_t NxCleanFileEx(NxFileHandle file, int32_t action) {
  Api& a = api();
  if (!file || !a.bound.cleanFileEx) return 0;
  return a.bound.cleanFileEx(file, action);
}

// The shared hold of NxOpenFile is given back only for a handle the session
// layer really closed: releasing on a refused call would free a hold that
// someone else owns.
AVAPI_EXPORT int32_t NxCloseFile(NxFileHandle* file, uintptr_t second) {
  Api& a = api();
  if (!file || !a.bound.closeFile) return 0;
  int32_t rc = a.bound.closeFile(file, second);
  if (rc == 1) a.lock.release();
  return rc;
}

AVAPI_EXPORT int32_t NxCloseFileEx(NxFileHandle* file, uintptr_t second) {
  Api& a = api();
  if (!file || !a.bound.closeFile) return 0;
  return a.bound.closeFile(file, second);
}

AVAPI_EXPORT int32_t NxGetFileType(NxSession session, const WCHAR* path, uint16_t* category, uint16_t* type) {
  Api& a = api();
  if (!session || !path || !category) return 0;
  nx::RwLockHold hold(a.lock, false);
  if (!hold.held() || !a.bound.fileType) return 0;
  return a.bound.fileType(session, path, category, type);
}

AVAPI_EXPORT int32_t NxSetMessageString(NxSession session, const WCHAR* text, int32_t flag) {
  Api& a = api();
  if (!session || !text) return 0;
  nx::RwLockHold hold(a.lock, true);
  if (!hold.held() || !a.bound.setMessage) return 0;
  int32_t rc = a.bound.setMessage(session, text, flag);
  if (rc == 1) {
    size_t n = boundedLength(text, 1023);
    std::memcpy(a.message, text, n * sizeof(WCHAR));
    a.message[n] = 0;
  }
  return rc;
}

AVAPI_EXPORT int32_t NxIgnoreFile(NxSession, const WCHAR* path) {
  Api& a = api();
  if (!path) return 0;
  nx::RwLockHold hold(a.lock, false);
  if (hold.held() && a.ignoreFile) a.ignoreFile(path);
  return 1;
}

AVAPI_EXPORT int32_t NxUnignoreFile(NxSession, const WCHAR* path) {
  Api& a = api();
  if (!path) return 0;
  nx::RwLockHold hold(a.lock, false);
  if (hold.held() && a.unignoreFile) a.unignoreFile(path);
  return 1;
}

AVAPI_EXPORT int32_t NxSetDriverOptions(void*) { return 1; }

AVAPI_EXPORT int32_t NxCreateMimeObject(NxSession session, void** object) {
  Api& a = api();
  if (!session || !object) return 0;
  if (!a.lock.acquireShared()) return 0;
  int32_t rc = a.bound.createMime ? a.bound.createMime(session, object) : 0;
  if (rc == 0) a.lock.release();
  return rc;
}

AVAPI_EXPORT int32_t NxDeleteMimeObject(NxSession session, void* object) {
  Api& a = api();
  if (!session || !object || !a.bound.deleteMime) return 0;
  int32_t rc = a.bound.deleteMime(session, object);
  if (rc != 0) a.lock.release();
  return rc;
}

AVAPI_EXPORT int32_t NxScanMessage(NxSession session, void* message) {
  Api& a = api();
  if (!session || !message || !a.bound.scanMessage) return -1;
  return a.bound.scanMessage(session, message);
}

AVAPI_EXPORT int32_t NxGetActionForMemoryScan(NxSession session, int32_t kind, const ScanReport* report,
                                              int32_t* first, int32_t* second) {
  Api& a = api();
  if (!session || !report || !first || !second) return 0;
  nx::RwLockHold hold(a.lock, false);
  if (!hold.held() || !a.bound.memoryAction) return 0;
  return a.bound.memoryAction(session, kind, report, first, second);
}
