// The device's fault log ("<root>/.ce/device.log"): what the layer could not
// do for the device's programs and would otherwise keep to itself (a damaged
// registry set aside, lost change notifications). Each line is also written
// to standard error.
#pragma once

#include <string>

namespace ce::detail {

// Appends "YYYY-MM-DD HH:MM:SS line" (device local time) in one write, so
// lines of several processes never mix.
void deviceLog(const std::string& ceDir, const std::string& line);

}  // namespace ce::detail
