#pragma once

#include <string>

namespace ce::detail {

// Creates the device's registry file with its standard keys when it does not
// exist yet; an existing registry is left as it is. False on I/O failure.
bool registryCreateDefault(const std::string& ceDir);

}  // namespace ce::detail
