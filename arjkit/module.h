// Module-wide state of arjkit.dll: the module count, the decoder layer with
// its bound filekit.dll and file wrapper, and the two decoder entries the
// reader objects call. The entries are set only while the module is
// initialised; calls are serialised, so a LibDeinit cannot pull the file
// wrapper from under a running walk.
#pragma once

#include <cstdint>

#include "arjkit/arj_headers.h"
#include "common/engine_types.h"
#include "common/reader_budget.h"

namespace nx::arjkit {

// countMembers / extractAt of the decoder layer over its file wrapper;
// -103 (not openable) while the module is not initialised.
int32_t CountMembers(const char* archivePath, arj::WalkPlace* place, nx::ReaderBudget* budget);
int32_t ExtractAt(const char* archivePath, arj::WalkPlace& place, const char* outputPath, char* name,
                  nx::ReaderBudget* budget);

// A new reader (count and index 0), null when out of memory.
ArchiveReader* newReader();
// The result of the reader's last ExtractMember; 0 for a null or foreign object.
int32_t lastResult(ArchiveReader* reader);
// The reader's budget and account; 0 for a null or foreign object.
int32_t setLimits(ArchiveReader* reader, const ArchiveReaderLimits& limits);
int32_t status(ArchiveReader* reader, ArchiveReaderStatus& out);

}  // namespace nx::arjkit
