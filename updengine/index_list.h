// The index files of an update source and the decision what to fetch:
// "index.bin" (its first byte says whether anything changed), "index.dat"
// (one entry per definition package) and the package head test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "updengine/engine.h"

namespace nx::upd {

enum BuildListResult : int32_t {
  kListCannotRead = 0,
  kListBuilt = 1,
  kListDamaged = 9,
  kListNotForPlatform = 10,
  kListNothingNew = 101,
};

// The entries of an index image that names packages a handset can store
// (a name that is not a plain file name is damage: it would lead the fetch
// out of its working folder). kListBuilt, kListDamaged or
// kListNotForPlatform; `checked` applies the head tests (sum, family).
int32_t parseIndex(const uint8_t* data, size_t size, bool checked, bool platformTest, FileList& out);

// BuildList: the packages of the new index that the installed index does not
// list (type and sequence number), or all of them on a first update.
int32_t buildList(const std::u16string& installedIndex, const std::u16string& newIndex, FileList& out);

// CheckPackage: the head's family and platform are the handset's.
bool checkPackage(const std::u16string& path);

// Whether a name from outside (an index entry, an archive member) is a plain
// file name of the handset: no folders, no drive, no wildcards or controls,
// not "." or "..", not ending in a dot or blank, at most maxChars long.
bool plainFileName(const std::u16string& name, size_t maxChars);

// The whole of a small file (at most maxBytes); false when it cannot be read.
bool readSmallFile(const std::u16string& path, std::vector<uint8_t>& out, size_t maxBytes);

}  // namespace nx::upd
