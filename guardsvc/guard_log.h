// The guard's lines in the debug log ("nxdebug.log" beside the service
// host's program): what it could not do and would otherwise keep to itself.
#pragma once

#include <string>

namespace guard {

// "guardsvc.dll: " + text.
void logLine(const std::u16string& text);

}  // namespace guard
