// Processes of the device: starting a program, its exit code, ending it, and
// the tool-help snapshot of the running processes with their module names.
#pragma once

#include <string>

#include "ce/windows.h"

namespace ce {

constexpr DWORD PROCESS_TERMINATE = 0x0001;
constexpr DWORD PROCESS_QUERY_INFORMATION = 0x0400;
constexpr DWORD PROCESS_ALL_ACCESS = 0x001F0FFF;

struct STARTUPINFOW {
  DWORD cb;
  // The handset ignores the rest; it is here so callers can pass one.
  DWORD reserved[16];
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;  // always nullptr: the layer has no handle for another process's thread
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// Starts the program at a device path. As on the handset, cmdLine holds the
// arguments only (the program's own name is not part of it); it is split
// into arguments with the usual quoting rules (a quoted part may hold spaces,
// \" is a quote, "" inside quotes is a quote). The child is attached to this
// device and reports `app` (canonical spelling) as its module file name.
// Security attributes, inheritance, flags, environment, folder and startup
// information are accepted and ignored. Errors: ERROR_INVALID_PARAMETER (no
// program, no out record, a command line of 32768 or more characters),
// ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED (a folder, or not executable),
// ERROR_BAD_EXE_FORMAT, and the path errors of the file layer.
BOOL CreateProcessW(LPCWSTR app, LPWSTR cmdLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION info);

// STILL_ACTIVE while it runs. An ended process started by this one reports
// its exit status (128 + the signal when a signal other than TerminateProcess
// ended it); one ended by TerminateProcess through any handle of this process
// reports the code given; another process's own exit status cannot be known
// and reads 0.
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);

// Ends the process at once (it gets no chance to clean up) and waits briefly
// for it to be gone, so that its files can be deleted right afterwards.
// FALSE with ERROR_ACCESS_DENIED when it has already ended.
BOOL TerminateProcess(HANDLE process, UINT exitCode);

// A handle of any running process attached to this device (its id as the
// snapshot lists it). FALSE with ERROR_INVALID_PARAMETER for an unknown id.
HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);

DWORD GetCurrentProcessId();

// ---- Device programs played by host programs ---------------------------------
// Host tools: makes the device program at devicePath (in the device's own
// folders, "\Windows\peghelp.exe") run the host program hostProgram (an
// absolute host path). CreateProcessW of devicePath then starts hostProgram
// with the same arguments, attached to the device and reporting devicePath as
// its module file name. When nothing is at devicePath a placeholder file is
// put there, so that the program is found like a file of the handset's ROM;
// a real program already there is left in place and the mapping wins. The
// mapping is device-wide and kept with the device; mapping a path again
// replaces its host program. Errors: ERROR_INVALID_PARAMETER (a host path that
// is not absolute), ERROR_FILE_NOT_FOUND (no such host program),
// ERROR_ACCESS_DENIED (a path on the card or the host mount), and the path
// errors of the file layer.
BOOL MapDeviceProgram(LPCWSTR devicePath, const std::string& hostProgram);
// FALSE with ERROR_FILE_NOT_FOUND when the path was not mapped. The
// placeholder stays (run by itself it fails with ERROR_BAD_EXE_FORMAT).
BOOL UnmapDeviceProgram(LPCWSTR devicePath);
// The host program behind a device program; empty when it is not mapped.
std::string MappedHostProgram(LPCWSTR devicePath);

// ---- Tool help ----------------------------------------------------------------
constexpr DWORD TH32CS_SNAPHEAPLIST = 0x1;
constexpr DWORD TH32CS_SNAPPROCESS = 0x2;
constexpr DWORD TH32CS_SNAPTHREAD = 0x4;
constexpr DWORD TH32CS_SNAPMODULE = 0x8;

struct PROCESSENTRY32W {
  DWORD dwSize;  // set to sizeof(PROCESSENTRY32W) by the caller
  DWORD cntUsage;
  DWORD th32ProcessID;
  DWORD th32DefaultHeapID;
  DWORD th32ModuleID;
  DWORD cntThreads;
  DWORD th32ParentProcessID;
  LONG pcPriClassBase;
  DWORD dwFlags;
  WCHAR szExeFile[MAX_PATH];  // the process's module file name (its device path)
  DWORD th32MemoryBase;
  DWORD th32AccessKey;
};
using PROCESSENTRY32 = PROCESSENTRY32W;

// A snapshot of the device's live processes (flags must include
// TH32CS_SNAPPROCESS, else ERROR_NOT_SUPPORTED; heaps, threads and modules
// are not listed). INVALID_HANDLE_VALUE on failure.
HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
// FALSE with ERROR_BAD_LENGTH when dwSize is too small, ERROR_NO_MORE_FILES at the end.
BOOL Process32FirstW(HANDLE snapshot, PROCESSENTRY32W* entry);
BOOL Process32NextW(HANDLE snapshot, PROCESSENTRY32W* entry);
inline BOOL Process32First(HANDLE snapshot, PROCESSENTRY32W* entry) { return Process32FirstW(snapshot, entry); }
inline BOOL Process32Next(HANDLE snapshot, PROCESSENTRY32W* entry) { return Process32NextW(snapshot, entry); }
BOOL CloseToolhelp32Snapshot(HANDLE snapshot);

}  // namespace ce
