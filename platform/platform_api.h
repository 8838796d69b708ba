// The exports of platform.dll: paths, unique temporary names, the module
// loader that runs a module's LibInit/LibDeinit, the debug log and the
// ignore-list client. Engine modules link the library; components that bind
// it at run time use the function-pointer types with GetProcAddress.
//
// Results are 0 for failure unless stated; capacities are in characters.
// The A forms take and give text in the system code page.
#pragma once

#include "ce/windows.h"

#if defined(NX_PLATFORM_BUILD)
#define NX_PLATFORM_API __attribute__((visibility("default")))
#else
#define NX_PLATFORM_API
#endif

extern "C" {

// ---- Paths ------------------------------------------------------------------
// Directory (with trailing "\") of a loaded module, or of the program for a
// null name; capacity at least 260. Returns the length of the module's full path.
NX_PLATFORM_API int GetNXModuleDirW(const ce::WCHAR* moduleName, ce::WCHAR* buffer, int capacity);
NX_PLATFORM_API int GetNXModuleDirA(const char* moduleName, char* buffer, int capacity);
// Records an existing directory as the installation path.
NX_PLATFORM_API int SetNXPathW(const ce::WCHAR* path);
NX_PLATFORM_API int SetNXPathA(const char* path);
// Records the temporary directory, creating its last level if missing.
NX_PLATFORM_API int SetNXTempPathW(const ce::WCHAR* path);
NX_PLATFORM_API int SetNXTempPathA(const char* path);
// The temporary directory with a trailing "\"; capacity at least 260.
NX_PLATFORM_API int GetNXTempPathW(ce::WCHAR* buffer, int capacity);
NX_PLATFORM_API int GetNXTempPathA(char* buffer, int capacity);
// A file name "~xnNNNN.ext" free in the directory. The W out buffer needs 19
// characters; the A out buffer is 260 bytes.
NX_PLATFORM_API int GetNXUniqueFilenameW(const ce::WCHAR* directory, const ce::WCHAR* extension, ce::WCHAR* out);
NX_PLATFORM_API int GetNXUniqueFilenameA(const char* directory, const char* extension, char* out);
// Copies the path unchanged (the handset has no short names). The out buffer
// must hold 260 characters; longer sources are refused.
NX_PLATFORM_API int NxGetLongPathNameW(const ce::WCHAR* source, ce::WCHAR* out);
NX_PLATFORM_API int NxGetLongPathNameA(const char* source, char* out);
// Always 0: the handset has no Windows directory to offer.
NX_PLATFORM_API int NXGetWindowsDirectoryW(ce::WCHAR* buffer, int capacity);
NX_PLATFORM_API int NXGetWindowsDirectoryA(char* buffer, int capacity);
// Platform identifier of the running system: 3 (Windows CE).
NX_PLATFORM_API int GetOS();

// ---- Module loader ----------------------------------------------------------
// Loads a module by full path and runs its LibInit; a LibInit answering 0
// fails the load and the module is freed again.
NX_PLATFORM_API ce::HMODULE MyLoadLibraryW(const ce::WCHAR* path);
NX_PLATFORM_API ce::HMODULE MyLoadLibraryA(const char* path);
NX_PLATFORM_API ce::FARPROC MyGetProcAddressW(ce::HMODULE module, const ce::WCHAR* name);
NX_PLATFORM_API ce::FARPROC MyGetProcAddressA(ce::HMODULE module, const char* name);
// Runs LibDeinit, then frees; the free result, 0 for a null handle.
NX_PLATFORM_API int MyFreeLibrary(ce::HMODULE module);

// ---- Debug log --------------------------------------------------------------
// Full path of this process's log (260 characters): "nxdebug.log" beside
// the program.
NX_PLATFORM_API extern ce::WCHAR g_szLogFileName[ce::MAX_PATH];
// A message line: "H:M:S:TTTTTTTT: text\r\n" (time without leading zeros,
// thread id in 8 upper-case hex digits).
NX_PLATFORM_API void WriteToLogW(const ce::WCHAR* logPath, const ce::WCHAR* text);
NX_PLATFORM_API void WriteToLogA(const char* logPath, const char* text);
NX_PLATFORM_API void WriteToLogN(const ce::WCHAR* logPath, const char* text);
// The text alone.
NX_PLATFORM_API void WriteToLogExW(const ce::WCHAR* logPath, const ce::WCHAR* text);
NX_PLATFORM_API void WriteToLogExA(const char* logPath, const char* text);
NX_PLATFORM_API void WriteToLogExN(const ce::WCHAR* logPath, const char* text);
// An error line: text, the number in decimal, "\r\n".
NX_PLATFORM_API void WriteToLogErr(const ce::WCHAR* logPath, const ce::WCHAR* text, int number);

// ---- Ignore-list client -----------------------------------------------------
// Ask the guard to leave a path alone while we work on it, and to watch it
// again. 1 when the message was sent (or protection is off), 0 otherwise.
NX_PLATFORM_API int IgnoreFile(const ce::WCHAR* path);
NX_PLATFORM_API int UnIgnoreFile(const ce::WCHAR* path);
// 1 whatever the send did, 0 for a null path.
NX_PLATFORM_API int IgnoreFileEx(const ce::WCHAR* path);
NX_PLATFORM_API int UnIgnoreFileEx(const ce::WCHAR* path);

}  // extern "C"

// Function-pointer types for binding by name at run time.
namespace nx::platform_fn {
using GetNXModuleDirW = int (*)(const ce::WCHAR*, ce::WCHAR*, int);
using GetNXModuleDirA = int (*)(const char*, char*, int);
using SetNXPathW = int (*)(const ce::WCHAR*);
using SetNXPathA = int (*)(const char*);
using SetNXTempPathW = int (*)(const ce::WCHAR*);
using SetNXTempPathA = int (*)(const char*);
using GetNXTempPathW = int (*)(ce::WCHAR*, int);
using GetNXTempPathA = int (*)(char*, int);
using GetNXUniqueFilenameW = int (*)(const ce::WCHAR*, const ce::WCHAR*, ce::WCHAR*);
using GetNXUniqueFilenameA = int (*)(const char*, const char*, char*);
using NxGetLongPathNameW = int (*)(const ce::WCHAR*, ce::WCHAR*);
using NxGetLongPathNameA = int (*)(const char*, char*);
using NXGetWindowsDirectoryW = int (*)(ce::WCHAR*, int);
using NXGetWindowsDirectoryA = int (*)(char*, int);
using GetOS = int (*)();
using MyLoadLibraryW = ce::HMODULE (*)(const ce::WCHAR*);
using MyLoadLibraryA = ce::HMODULE (*)(const char*);
using MyGetProcAddressW = ce::FARPROC (*)(ce::HMODULE, const ce::WCHAR*);
using MyGetProcAddressA = ce::FARPROC (*)(ce::HMODULE, const char*);
using MyFreeLibrary = int (*)(ce::HMODULE);
using WriteToLogW = void (*)(const ce::WCHAR*, const ce::WCHAR*);
using WriteToLogA = void (*)(const char*, const char*);
using WriteToLogN = void (*)(const ce::WCHAR*, const char*);
using WriteToLogExW = void (*)(const ce::WCHAR*, const ce::WCHAR*);
using WriteToLogExA = void (*)(const char*, const char*);
using WriteToLogExN = void (*)(const ce::WCHAR*, const char*);
using WriteToLogErr = void (*)(const ce::WCHAR*, const ce::WCHAR*, int);
using IgnoreFile = int (*)(const ce::WCHAR*);
using UnIgnoreFile = int (*)(const ce::WCHAR*);
using IgnoreFileEx = int (*)(const ce::WCHAR*);
using UnIgnoreFileEx = int (*)(const ce::WCHAR*);
}  // namespace nx::platform_fn

// The module frame: what every engine module exports for the loader.
namespace nx::module_fn {
using LibInit = int (*)();
using LibDeinit = int (*)();
}  // namespace nx::module_fn
