// Device-manager services: libraries the device's service host loads and runs
// under a prefix and index ("OLN0:"), and the calls other programs use to
// start, find, drive and stop them.
//
// The service host is one long-running process per device (nxservices,
// started by `nxdevice boot`). A service library exports its family of entry
// points under its prefix: PREFIX_Init and PREFIX_Deinit are required,
// PREFIX_Open, _Close, _Read, _Write, _Seek, _IOControl, _PowerUp and
// _PowerDown are used where present. Init runs on the host's own thread and
// the caller of RegisterService is answered only after it has returned.
//
// Errors (the last error):
//   ERROR_INVALID_PARAMETER    a prefix that is not three letters, a digit and
//                              ':' ("OLN0:"), an index other than that digit,
//                              an empty library name, a null pointer
//   ERROR_FILENAME_EXCED_RANGE a library name of MAX_PATH or more characters
//   ERROR_DEVICE_IN_USE        the prefix and index are registered already
//                              (nothing is loaded a second time)
//   ERROR_MOD_NOT_FOUND        no such library in "\Windows" or the
//                              installation directory (and the loader's other codes)
//   ERROR_PROC_NOT_FOUND       PREFIX_Init or PREFIX_Deinit is missing
//   ERROR_OPEN_FAILED          PREFIX_Init answered 0 (unless it set a last
//                              error of its own, which is passed on); the
//                              library is unloaded again
//   ERROR_FILE_NOT_FOUND       GetServiceHandle of a prefix nobody registered
//   ERROR_INVALID_HANDLE       a handle that names no registered service
//   ERROR_SERVICE_NOT_ACTIVE   no service host answered within the time-out,
//                              or the host ended before it answered
#pragma once

#include "ce/windows.h"

namespace ce {

constexpr DWORD ERROR_OPEN_FAILED = 110;
constexpr DWORD ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr DWORD ERROR_DEVICE_IN_USE = 2404;

// How long a caller waits for a service host to take its request before it
// gives up with ERROR_SERVICE_NOT_ACTIVE (device milliseconds). Once the host
// has the request the caller waits for as long as the host lives.
constexpr DWORD kServiceHostConnectTimeoutMs = 5000;
// While no live host is recorded for the device (none ever ran, or the last
// one ended), a caller waits only this long for one that is starting.
constexpr DWORD kServiceHostStartGraceMs = 500;

// The most data ServiceIoControl carries each way.
constexpr DWORD kServiceIoControlMax = 4096;

// The entry points of a service family (the handset's DWORD contexts).
using PBYTE = BYTE*;
using PDWORD = DWORD*;
using ServiceInitFn = DWORD (*)(DWORD context);
using ServiceDeinitFn = BOOL (*)(DWORD initResult);
using ServiceOpenFn = DWORD (*)(DWORD initResult, DWORD access, DWORD shareMode);
using ServiceCloseFn = BOOL (*)(DWORD openResult);
using ServiceReadFn = DWORD (*)(DWORD openResult, LPVOID buffer, DWORD length);
using ServiceWriteFn = DWORD (*)(DWORD openResult, LPCVOID buffer, DWORD length);
using ServiceSeekFn = DWORD (*)(DWORD openResult, LONG position, DWORD method);
using ServiceIOControlFn = BOOL (*)(DWORD openResult, DWORD code, PBYTE in, DWORD inLength, PBYTE out,
                                    DWORD outLength, PDWORD actualOut);
using ServicePowerFn = void (*)(DWORD initResult);

// Has the service host load `dll` (a device path, or a bare name looked for
// in "\Windows" and then in the installation directory), resolve the family
// of `prefix` and call PREFIX_Init(context). Returns the service's handle,
// valid in every process of the device, or nullptr.
HANDLE RegisterService(LPCWSTR prefix, DWORD index, LPCWSTR dll, DWORD context);

// Calls the service's PREFIX_Deinit and unloads its library.
BOOL DeregisterService(HANDLE service);

// The handle of a registered service by its name ("OLN0:"); with dllName, the
// library name it was registered with (*dllNameBytes is the buffer's size in
// bytes; too small: ERROR_INSUFFICIENT_BUFFER and the size needed).
// INVALID_HANDLE_VALUE on failure.
HANDLE GetServiceHandle(LPCWSTR prefix, LPWSTR dllName, DWORD* dllNameBytes);

// Calls the service's PREFIX_IOControl with its Init result; buffers of up
// to kServiceIoControlMax bytes (more: ERROR_INVALID_PARAMETER). A service
// without the entry point: ERROR_NOT_SUPPORTED. The answer is IOControl's.
BOOL ServiceIoControl(HANDLE service, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                      LPDWORD bytesReturned, void* overlapped);

}  // namespace ce
