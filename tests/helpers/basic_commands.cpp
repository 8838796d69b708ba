#include <cstdio>
#include <string>

#include "ce/ce.h"
#include "helper_commands.h"

// Prints the device root the helper attached to.
HELPER_COMMAND(root) {
  std::printf("%s\n", ce::DeviceRoot().c_str());
  return 0;
}

// Prints the device's local time as ticks, to compare clocks across processes.
HELPER_COMMAND(filetime) {
  ce::FILETIME ft;
  ce::GetSystemTimeAsFileTime(&ft);
  std::printf("%llu\n", (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
  return 0;
}
