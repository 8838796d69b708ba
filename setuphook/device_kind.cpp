#include "setuphook/device_kind.h"

#include <string_view>

#include "ce/sysinfo.h"

namespace setup {

using namespace ce;

DeviceKind deviceKind() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!GetVersionExW(&version) || version.dwMajorVersion != 5) return kUnknownDevice;
  WCHAR platform[1024] = {};  // 2048 bytes, the most the system answers
  if (!SystemParametersInfoW(SPI_GETPLATFORMTYPE, sizeof platform, platform, 0)) return kUnknownDevice;
  platform[1023] = 0;
  const std::u16string_view type(platform);
  const bool pocketPc = type == u"PocketPC";
  const bool smartphone = type == u"SmartPhone";
  if (version.dwMinorVersion == 1) return pocketPc ? kPocketPc51 : smartphone ? kSmartphone51 : kUnknownDevice;
  if (version.dwMinorVersion == 2) return pocketPc ? kPocketPc52 : smartphone ? kSmartphone52 : kUnknownDevice;
  return kUnknownDevice;
}

}  // namespace setup
