// What the device says of itself: its operating system version and platform
// type, as set by the device's kind (`nxdevice init --kind`).
#pragma once

#include <string>

#include "ce/windows.h"

namespace ce {

struct OSVERSIONINFOW {
  DWORD dwOSVersionInfoSize;  // sizeof(OSVERSIONINFOW)
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  WCHAR szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276);
using LPOSVERSIONINFOW = OSVERSIONINFOW*;
using OSVERSIONINFO = OSVERSIONINFOW;
using LPOSVERSIONINFO = OSVERSIONINFOW*;

// Windows CE 5.1 (Windows Mobile 5) or 5.2 (Windows Mobile 6), platform
// VER_PLATFORM_WIN32_CE. A record whose size field is not
// sizeof(OSVERSIONINFOW): FALSE with ERROR_INVALID_PARAMETER.
BOOL GetVersionExW(LPOSVERSIONINFOW info);
inline BOOL GetVersionEx(LPOSVERSIONINFOW info) { return GetVersionExW(info); }

constexpr UINT SPI_GETPLATFORMTYPE = 257;
constexpr UINT SPI_GETOEMINFO = 258;

// SPI_GETPLATFORMTYPE: "PocketPC" or "SmartPhone" into pvParam, uiParam its
// size in bytes (too small: ERROR_INSUFFICIENT_BUFFER). SPI_GETOEMINFO: the
// maker's name of the device. Other actions: FALSE with ERROR_NOT_SUPPORTED.
BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, LPVOID pvParam, UINT fWinIni);

// ---- The device's kind (tools) -------------------------------------------------
// "pocketpc-5.1" (the default), "pocketpc-5.2", "smartphone-5.1" or
// "smartphone-5.2"; kept in the device's settings.
inline constexpr const char* kDeviceKinds[] = {"pocketpc-5.1", "pocketpc-5.2", "smartphone-5.1", "smartphone-5.2"};
// FALSE with ERROR_INVALID_PARAMETER for any other kind.
BOOL SetDeviceKind(const std::string& kind);
// The kind of the attached device; a missing or unknown setting reads as the default.
std::string DeviceKind();

}  // namespace ce
