// Module-wide state of arjkit.dll: the module count, the decoder layer with
// its bound filekit.dll and file wrapper, and the two decoder entries the
// reader objects call. The entries are set only while the module is
// initialised; calls are serialised, so a LibDeinit cannot pull the file
// wrapper from under a running walk.
#pragma once

#include <cstdint>

#include "common/engine_types.h"

namespace nx::arjkit {

// countMembers / extractMember of the decoder layer over its file wrapper;
// -103 (not openable) while the module is not initialised.
int32_t CountMembers(const char* archivePath);
int32_t ExtractMember(const char* archivePath, int32_t n, const char* outputPath, char* name);

// A new reader (count and index 0), null when out of memory.
ArchiveReader* newReader();
// The result of the reader's last ExtractMember; 0 for a null or foreign object.
int32_t lastResult(ArchiveReader* reader);

}  // namespace nx::arjkit
