// The kind of handset setup runs on, from its operating system version and
// platform type. Only the Pocket PC editions of Windows Mobile 5 and 6 are
// supported.
#pragma once

#include "ce/windows.h"

namespace setup {

enum DeviceKind : ce::DWORD {
  kUnknownDevice = 0,
  kPocketPc51 = 13,    // Windows Mobile 5 Pocket PC
  kPocketPc52 = 14,    // Windows Mobile 6 Pocket PC
  kSmartphone51 = 15,
  kSmartphone52 = 16,
};

DeviceKind deviceKind();
inline bool supportedDevice(DeviceKind k) { return k == kPocketPc51 || k == kPocketPc52; }

}  // namespace setup
