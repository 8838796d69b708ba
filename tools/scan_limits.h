// What nxscan and nxarc share about scan limits: the option texts
// (--max-scan-size 256M, --max-files 2000, --max-scan-time 30) and the
// names a stopped scan is reported under.
#pragma once

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/engine_types.h"
#include "common/reader_budget.h"

namespace nxtools {

// The engine's defaults, which the readers apply by themselves as well.
inline constexpr uint64_t kDefaultMaxScanSize = nx::ReaderBudget::kDefaultMaxBytes;
inline constexpr uint32_t kDefaultMaxFiles = nx::ReaderBudget::kDefaultMaxFiles;
inline constexpr uint32_t kDefaultMaxScanTimeMs = nx::ReaderBudget::kDefaultMs;

// "0" (no limit) or a count of bytes with an optional K, M or G (powers of
// 1024); false for anything else.
inline bool parseSize(const std::string& text, uint64_t& out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0) return false;
  std::string unit(end);
  int shift = 0;
  if (unit == "K" || unit == "k") shift = 10;
  else if (unit == "M" || unit == "m") shift = 20;
  else if (unit == "G" || unit == "g") shift = 30;
  else if (!unit.empty()) return false;
  if (shift && v > (UINT64_MAX >> shift)) return false;
  out = static_cast<uint64_t>(v) << shift;
  return true;
}

// Seconds (fractions allowed, "0" for no limit) to milliseconds; false for
// anything else or more than 49 days.
inline bool parseSeconds(const std::string& text, uint32_t& ms) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (*end != 0 || !(v >= 0) || v > 4.2e6) return false;
  ms = static_cast<uint32_t>(v * 1000.0 + 0.5);
  if (v > 0 && ms == 0) ms = 1;
  return true;
}

// The limits a stopped scan names, as the options that set them.
inline std::string limitNames(uint32_t bits) {
  static const struct {
    uint32_t bit;
    const char* name;
  } kNames[] = {{NX_SCAN_LIMIT_SIZE, "max-scan-size"},
                {NX_SCAN_LIMIT_FILES, "max-files"},
                {NX_SCAN_LIMIT_TIME, "max-scan-time"},
                {NX_SCAN_LIMIT_DEPTH, "depth"},
                {NX_SCAN_LIMIT_INCOMPLETE, "incomplete archive"}};
  std::string out;
  for (const auto& n : kNames)
    if (bits & n.bit) out += (out.empty() ? "" : ", ") + std::string(n.name);
  return out;
}

}  // namespace nxtools
