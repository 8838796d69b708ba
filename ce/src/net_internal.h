// What the download takes from the network settings.
#pragma once

#include <cstdint>
#include <string>

#include "ce/network.h"

namespace ce::detail {

inline constexpr uint64_t kDefaultMaxBytes = 64ull << 20;
inline constexpr DWORD kDefaultStallMs = 60000;
inline constexpr DWORD kDefaultTotalMs = 30 * 60000;

// The proxy ("host:port", UTF-8) this process's settings give for a URL of
// scheme ("http", "https") and host, or empty to go direct.
std::string proxyFor(const std::string& scheme, const std::string& host);

// The bounds in force, built-in values for what the device does not set.
DownloadLimits effectiveLimits();

// A CA bundle the device names instead of the host's store (host path), or empty.
std::string caFileSetting();

// Whether a host name matches a bypass list (exposed for the tests of the rules).
bool bypassMatches(const std::u16string& list, const std::string& host);

}  // namespace ce::detail
