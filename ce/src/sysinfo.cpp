// The device's version and platform type, from its kind in device.conf.
#include "ce/sysinfo.h"

#include <cstring>

#include "ce/base.h"
#include "device.h"
#include "device_settings.h"

namespace ce {

namespace {

constexpr const char* kDefaultKind = "pocketpc-5.1";
// Build numbers of the two releases' operating systems.
constexpr DWORD kBuild51 = 1700;
constexpr DWORD kBuild52 = 1236;
constexpr char16_t kOemInfo[] = u"Nyxel Device";

bool knownKind(const std::string& kind) {
  for (const char* k : kDeviceKinds)
    if (kind == k) return true;
  return false;
}

BOOL copyText(const char16_t* text, UINT bytes, LPVOID out) {
  const size_t need = (std::char_traits<char16_t>::length(text) + 1) * sizeof(char16_t);
  if (!out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (bytes < need) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(out, text, need);
  return TRUE;
}

}  // namespace

BOOL SetDeviceKind(const std::string& kind) {
  if (!knownKind(kind)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  detail::DeviceState* d = detail::device();
  if (!d) return FALSE;
  if (!detail::settingsSet(d->ceDir, "kind", kind)) {
    SetLastError(ERROR_CANTWRITE);
    return FALSE;
  }
  return TRUE;
}

std::string DeviceKind() {
  detail::DeviceState* d = detail::device();
  if (!d) return kDefaultKind;
  std::string kind = detail::settingsGet(d->ceDir, "kind");
  return knownKind(kind) ? kind : kDefaultKind;
}

BOOL GetVersionExW(LPOSVERSIONINFOW info) {
  if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool v52 = DeviceKind().ends_with("5.2");
  info->dwMajorVersion = 5;
  info->dwMinorVersion = v52 ? 2 : 1;
  info->dwBuildNumber = v52 ? kBuild52 : kBuild51;
  info->dwPlatformId = VER_PLATFORM_WIN32_CE;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return TRUE;
}

BOOL SystemParametersInfoW(UINT uiAction, UINT uiParam, LPVOID pvParam, UINT) {
  switch (uiAction) {
    case SPI_GETPLATFORMTYPE:
      return copyText(DeviceKind().starts_with("smartphone") ? u"SmartPhone" : u"PocketPC", uiParam, pvParam);
    case SPI_GETOEMINFO:
      return copyText(kOemInfo, uiParam, pvParam);
    default:
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
  }
}

}  // namespace ce
