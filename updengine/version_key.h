// The installed version in the registry: "Current Version" under the
// per-user key of the product, HKEY_CURRENT_USER, "Software", the company,
// the product and its first subkey; written after an engine update.
#pragma once

#include <string>

#include "common/report_log.h"

namespace nx::upd {

// "%02d.%02d" of the version into "Current Version". When setup never made
// the version key (a device installed by copying the image), the product
// key and a version subkey named "%d.%02d" are made first, as setup makes
// them. False when the registry refuses.
bool writeCurrentVersion(const std::u16string& installDir, const ScanVersionInfo& version);
// The same from the installed "scanver.cnf".
bool writeCurrentVersionFrom(const std::u16string& installDir);

}  // namespace nx::upd
