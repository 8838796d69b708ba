// The update source list "httpdn.dat" of the installation directory: the
// update locations (base addresses) the internet fetch goes through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nx::upd {

struct Location {
  std::u16string base;  // file names are appended to it directly
  uint32_t number = 0;
  std::u16string text2, text3;  // carried
};

enum SourceListError : int {
  kSourcesOk = 0,
  kSourcesShort = 2,     // a read came up short: counts beyond the file
  kSourcesBadCrc = 3,
  kSourcesTooLarge = 4,  // more than the list could ever need
};

// The locations of sections of type 1, in file order, from the file's bytes.
int parseSourceList(const uint8_t* data, size_t size, std::vector<Location>& out);
// Reads the file; a missing file is an empty list.
int readSourceList(const std::u16string& path, std::vector<Location>& out);

}  // namespace nx::upd
