// The C entry points of platform.dll. Wide forms do the work; ANSI forms
// convert their text into 260-character wide buffers, call the wide form and
// convert text results back, failing rather than cutting a path short.
#include "platform/platform_api.h"
#include "platform/platform_internal.h"

using namespace ce;
namespace plat = nx::plat;

extern "C" {

WCHAR g_szLogFileName[MAX_PATH] = u"nxdebug.log";

// ---- Paths ------------------------------------------------------------------

int GetNXModuleDirW(const WCHAR* moduleName, WCHAR* buffer, int capacity) {
  return plat::moduleDir(moduleName, buffer, capacity);
}

int GetNXModuleDirA(const char* moduleName, char* buffer, int capacity) {
  if (!buffer || capacity < static_cast<int>(MAX_PATH)) return 0;
  WCHAR name[MAX_PATH];
  if (moduleName && !plat::toWide(moduleName, name, MAX_PATH)) return 0;
  WCHAR dir[MAX_PATH];
  int len = plat::moduleDir(moduleName ? name : nullptr, dir, MAX_PATH);
  if (len == 0 || !plat::toAnsi(dir, buffer, capacity)) return 0;
  return len;
}

int SetNXPathW(const WCHAR* path) { return plat::setInstallPath(path); }

int SetNXPathA(const char* path) {
  WCHAR wide[MAX_PATH];
  return plat::toWide(path, wide, MAX_PATH) ? plat::setInstallPath(wide) : 0;
}

int SetNXTempPathW(const WCHAR* path) { return plat::setTempPath(path); }

int SetNXTempPathA(const char* path) {
  WCHAR wide[MAX_PATH];
  return plat::toWide(path, wide, MAX_PATH) ? plat::setTempPath(wide) : 0;
}

int GetNXTempPathW(WCHAR* buffer, int capacity) { return plat::getTempPath(buffer, capacity); }

int GetNXTempPathA(char* buffer, int capacity) {
  if (!buffer || capacity < static_cast<int>(MAX_PATH)) return 0;
  WCHAR wide[MAX_PATH];
  if (!plat::getTempPath(wide, MAX_PATH)) return 0;
  return plat::toAnsi(wide, buffer, capacity) ? 1 : 0;
}

int GetNXUniqueFilenameW(const WCHAR* directory, const WCHAR* extension, WCHAR* out) {
  return plat::uniqueFilename(directory, extension, out);
}

int GetNXUniqueFilenameA(const char* directory, const char* extension, char* out) {
  if (!directory || !out) return 0;
  WCHAR dir[MAX_PATH];
  WCHAR ext[MAX_PATH];
  if (!plat::toWide(directory, dir, MAX_PATH)) return 0;
  // An extension too long to convert is as good as none: the name gets "tmp".
  const WCHAR* e = extension && plat::toWide(extension, ext, MAX_PATH) ? ext : nullptr;
  WCHAR name[plat::kUniqueNameChars + 1];
  if (!plat::uniqueFilename(dir, e, name)) return 0;
  return plat::toAnsi(name, out, MAX_PATH) ? 1 : 0;
}

int NxGetLongPathNameW(const WCHAR* source, WCHAR* out) { return plat::longPathName(source, out); }

int NxGetLongPathNameA(const char* source, char* out) {
  if (!source || !out) return 0;
  WCHAR wide[MAX_PATH];
  if (!plat::toWide(source, wide, MAX_PATH)) return 0;
  return plat::toAnsi(wide, out, MAX_PATH) ? 1 : 0;
}

int NXGetWindowsDirectoryW(WCHAR*, int) { return 0; }
int NXGetWindowsDirectoryA(char*, int) { return 0; }

int GetOS() { return static_cast<int>(VER_PLATFORM_WIN32_CE); }

// ---- Module loader ----------------------------------------------------------

HMODULE MyLoadLibraryW(const WCHAR* path) { return plat::loadModule(path); }

HMODULE MyLoadLibraryA(const char* path) {
  WCHAR wide[MAX_PATH];
  return plat::toWide(path, wide, MAX_PATH) ? plat::loadModule(wide) : nullptr;
}

FARPROC MyGetProcAddressW(HMODULE module, const WCHAR* name) { return plat::procAddress(module, name); }

FARPROC MyGetProcAddressA(HMODULE module, const char* name) {
  if (!module) return nullptr;
  WCHAR wide[MAX_PATH];
  return plat::toWide(name, wide, MAX_PATH) ? plat::procAddress(module, wide) : nullptr;
}

int MyFreeLibrary(HMODULE module) { return plat::freeModule(module); }

// ---- Debug log --------------------------------------------------------------

void WriteToLogW(const WCHAR* logPath, const WCHAR* text) { plat::logLine(logPath, text); }

void WriteToLogA(const char* logPath, const char* text) {
  WCHAR path[MAX_PATH];
  if (text && plat::toWide(logPath, path, MAX_PATH)) plat::withWideText(text, &plat::logLine, path);
}

void WriteToLogN(const WCHAR* logPath, const char* text) { plat::withWideText(text, &plat::logLine, logPath); }

void WriteToLogExW(const WCHAR* logPath, const WCHAR* text) { plat::logText(logPath, text); }

void WriteToLogExA(const char* logPath, const char* text) {
  WCHAR path[MAX_PATH];
  if (text && plat::toWide(logPath, path, MAX_PATH)) plat::withWideText(text, &plat::logText, path);
}

void WriteToLogExN(const WCHAR* logPath, const char* text) { plat::withWideText(text, &plat::logText, logPath); }

void WriteToLogErr(const WCHAR* logPath, const WCHAR* text, int number) { plat::logError(logPath, text, number); }

// ---- Ignore-list client -----------------------------------------------------

int IgnoreFile(const WCHAR* path) { return plat::sendIgnore(path, true); }
int UnIgnoreFile(const WCHAR* path) { return plat::sendIgnore(path, false); }

// Callers go on with their file operation whatever the guard was told, so
// only a missing path is reported.
int IgnoreFileEx(const WCHAR* path) {
  if (!path) return IgnoreFile(path);
  WCHAR copy[2 * MAX_PATH];
  if (NxGetLongPathNameW(path, copy)) IgnoreFile(copy);
  return 1;
}

int UnIgnoreFileEx(const WCHAR* path) {
  if (!path) return UnIgnoreFile(path);
  WCHAR copy[2 * MAX_PATH];
  if (NxGetLongPathNameW(path, copy)) UnIgnoreFile(copy);
  return 1;
}

}  // extern "C"

namespace {
// Process attach: the log goes beside the program that loaded us. Done in a
// constructor because engine modules link this library, so the dynamic
// linker maps it and no attach hook of the loader runs for it.
struct Attach {
  Attach() { plat::initLogFileName(g_szLogFileName); }
} g_attach;
}  // namespace
