// Modules: loading a library of the device by path, its exports, its file
// name, and the attach/detach hooks the handset's loader runs.
#pragma once

#include "ce/windows.h"

namespace ce {

// A module may export this; LoadLibraryW calls it with DLL_PROCESS_ATTACH once
// the module is mapped (FALSE makes the load fail with ERROR_DLL_INIT_FAILED
// after a DLL_PROCESS_DETACH call), FreeLibrary with DLL_PROCESS_DETACH before
// the last reference is unmapped. It runs under the loader lock: it may call
// the module functions from its own thread, but must not wait for another
// thread that does.
using CeDllMainFn = BOOL (*)(HMODULE module, DWORD reason, void* reserved);
inline constexpr const char* kCeDllMainName = "CeDllMain";

// Loads the module at a device path ("\Program Files\...\scan.dll"). A bare
// file name is first matched against the loaded modules, then looked for in
// the program's folder and in "\Windows". Loading the same file again (by any
// spelling) returns the same handle and counts a reference. While loaded, the
// file is open without write sharing: write-opens and deletes of it fail with
// ERROR_SHARING_VIOLATION in every process of the device.
// Errors: ERROR_MOD_NOT_FOUND (no such file, or a library it needs is
// missing), ERROR_BAD_EXE_FORMAT (not a loadable library), ERROR_PROC_NOT_FOUND
// (an import it needs is missing), ERROR_DLL_INIT_FAILED, ERROR_SHARING_VIOLATION
// (the file is open for writing), and the path errors of the file layer.
HMODULE LoadLibraryW(LPCWSTR path);

// Drops one reference; the last one runs the detach hook and unmaps the
// module. The program's own handle and modules the dynamic linker loaded are
// never unmapped by it. A handle the layer did not give out (or one already
// freed) fails with ERROR_MOD_NOT_FOUND, here and in every call below.
BOOL FreeLibrary(HMODULE module);

// An export of the module itself (never one of the libraries it links).
// nullptr with ERROR_PROC_NOT_FOUND.
// An ordinal (a "name" below 0x10000) is not supported and is not found.
FARPROC GetProcAddressW(HMODULE module, LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);

// The device path the module was loaded by; nullptr names the program.
// Returns the length written (terminator excluded). When the path does not
// fit it is cut to cap-1 characters, terminated, and cap is returned with
// ERROR_INSUFFICIENT_BUFFER.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD cap);

// A loaded module by file name ("scan.dll"; ".dll" is implied when the name
// has no extension) or by full device path, letter case ignored; nullptr
// names the program. Takes no reference. nullptr with ERROR_MOD_NOT_FOUND.
HMODULE GetModuleHandleW(LPCWSTR name);

// The module holding an address: lets a library the dynamic linker loaded
// (not through LoadLibraryW) learn its own handle and device path. nullptr
// with ERROR_MOD_NOT_FOUND when the address lies in no module, or in one
// that lies outside the device.
HMODULE ModuleFromAddress(const void* addressInModule);

}  // namespace ce
