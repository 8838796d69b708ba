#include "guardsvc/scan_api.h"

#include <cstring>

#include "ce/module.h"
#include "ce/text.h"

namespace guard {

using namespace ce;

namespace {

size_t copyDir(const WCHAR* from, NxWChar* to, size_t cap) {
  size_t n = 0;
  while (from[n] && n + 1 < cap) {
    to[n] = from[n];
    ++n;
  }
  to[n] = 0;
  return n;
}

template <class Fn>
Fn entry(HMODULE m, const WCHAR* name) {
  return reinterpret_cast<Fn>(GetProcAddressW(m, name));
}

}  // namespace

void fillGuardOptions(const WCHAR* installDir, NxScanOptions* o) {
  std::memset(o, 0, sizeof *o);
  o->size = NX_OPTIONS_SIZE;
  o->allowDelete = 0;
  o->maxDepth = 5;
  o->scanArchives = 0;
  o->optionB = 1;
  size_t n = copyDir(installDir, o->installDir, 256);
  // The temporary folder is "temp" in the installation directory.
  WCHAR temp[256];
  int t = format16(temp, 256, (n > 0 && installDir[n - 1] == u'\\') ? u"%stemp" : u"%s\\temp", installDir);
  if (t > 0) copyDir(temp, o->tempDir, 256);
  o->optionC = 0;
  o->categories = 87;
  o->flagsE = 0;
  o->archiveExclude = 110;
  o->optionBBits = 0;
}

bool loadScanApi(const WCHAR* installDir, ScanApi* api) {
  *api = ScanApi{};
  WCHAR path[MAX_PATH];
  size_t n = wcslen16(installDir);
  if (format16(path, MAX_PATH, (n > 0 && installDir[n - 1] == u'\\') ? u"%savapi.dll" : u"%s\\avapi.dll",
               installDir) < 0)
    return false;
  HMODULE m = LoadLibraryW(path);
  if (!m) return false;
  ScanApi a;
  a.module = m;
  a.init = entry<PFN_NxInitScan>(m, u"NxInitScan");
  a.deinit = entry<PFN_NxDeinitScan>(m, u"NxDeinitScan");
  a.open = entry<PFN_NxOpenFile>(m, u"NxOpenFile");
  a.scan = entry<PFN_NxScanFile>(m, u"NxScanFile");
  a.clean = entry<PFN_NxCleanFile>(m, u"NxCleanFile");
  a.close = entry<PFN_NxCloseFile>(m, u"NxCloseFile");
  a.ignore = entry<PFN_NxIgnoreFile>(m, u"NxIgnoreFile");
  a.unignore = entry<PFN_NxUnignoreFile>(m, u"NxUnignoreFile");
  NxScanOptions options;
  fillGuardOptions(installDir, &options);
  NxSession session = nullptr;
  if (!a.init || a.init(&options, &session) != NX_TRUE || !session) {
    FreeLibrary(m);
    return false;
  }
  a.session = session;
  *api = a;
  return true;
}

bool unloadScanApi(ScanApi* api) {
  if (!api->module) return true;
  if (api->session) {
    // A session the API does not let go of keeps its library: freeing it
    // would pull the engine out from under the API's own threads.
    if (api->deinit && api->deinit(api->session) == 0) return false;
  }
  FreeLibrary(api->module);
  *api = ScanApi{};
  return true;
}

}  // namespace guard
