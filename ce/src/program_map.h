// Device programs played by host programs (see MapDeviceProgram).
#pragma once

#include <string>

namespace ce::detail {

// The host program mapped to a device path in its canonical spelling (as
// resolvePath gives it); empty when none is.
std::string mappedProgram(const std::u16string& canonicalDevicePath);

}  // namespace ce::detail
