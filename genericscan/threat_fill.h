// Filling the threat record a detection appends: the list copies the record,
// so it is built on the heap (it is 5 KiB) and cleared first.
#pragma once

#include <cstring>
#include <memory>

#include "ce/text.h"
#include "threatlist/threatlist_api.h"

namespace nx::gen {

inline std::unique_ptr<ThreatRecord> blankThreat() {
  auto r = std::make_unique<ThreatRecord>();
  std::memset(r.get(), 0, sizeof(ThreatRecord));
  return r;
}

// An ANSI (code page 1252) name of at most nameBytes bytes, stopping at the
// first zero, as wide text; suffix (may be null) is appended while it fits.
inline void setThreatName(ThreatRecord& r, const char* name, size_t nameBytes, const char16_t* suffix = nullptr) {
  size_t n = 0;
  while (n < nameBytes && name[n] != '\0') ++n;
  if (n > NX_THREAT_NAME_CHARS - 1) n = NX_THREAT_NAME_CHARS - 1;
  int w = n == 0 ? 0
                 : ce::MultiByteToWideChar(1252, 0, name, static_cast<int>(n), r.name, NX_THREAT_NAME_CHARS - 1);
  if (w < 0) w = 0;
  size_t at = static_cast<size_t>(w);
  for (const char16_t* s = suffix; s && *s && at < NX_THREAT_NAME_CHARS - 1; ++s) r.name[at++] = *s;
  r.name[at] = 0;
}

// The display path, at most maxChars characters.
inline void setThreatPath(ThreatRecord& r, const char16_t* displayPath, size_t maxChars) {
  if (maxChars > NX_THREAT_PATH_CHARS - 1) maxChars = NX_THREAT_PATH_CHARS - 1;
  size_t n = 0;
  while (displayPath && n < maxChars && displayPath[n]) {
    r.displayPath[n] = displayPath[n];
    ++n;
  }
  r.displayPath[n] = 0;
}

}  // namespace nx::gen
