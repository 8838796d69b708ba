#include "registry_internal.h"

namespace ce::detail {

bool registryCreateDefault(const std::string&) { return true; }

}  // namespace ce::detail
