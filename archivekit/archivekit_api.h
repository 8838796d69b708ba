// archivekit.dll: the engine's archive readers (cabinet files, EPOC and
// Symbian 9 installation files). The engine creates a reader with a create
// export, opens an archive by path, takes one member after another into
// files it names itself, closes the reader and deletes it with the matching
// delete export. arjkit.dll presents the same table for ARJ archives.
#pragma once

#include <cstdint>

#include "common/engine_types.h"

extern "C" {

// The reader table is the engine's own (common/engine_types.h), shared with
// arjkit.dll; this module's name for a reader object is the engine's.
using ArchiveReaderObject = ArchiveReader;
static_assert(sizeof(ArchiveReaderOps) == 5 * sizeof(void*), "five operations");

// Module frame: new count, 0 on failure (LibDeinit: 0 when already 0).
using PFN_ArchiveLibInit = int32_t (*)();
using PFN_ArchiveLibDeinit = int32_t (*)();
// CabSdkLibInit / SisSdkLibInit: new layer count, 0 on failure;
// CabSdkLibDeinit / SisSdkLibDeinit: new count, 0 on a mismatch.
using PFN_ArchiveLayerInit = int32_t (*)();
using PFN_ArchiveLayerDeinit = int32_t (*)();
// CreateCabSdkObject: 1 with the new reader stored; 0 for a null address,
// and 0 with null stored when out of memory.
using PFN_CreateArchiveObject = int32_t (*)(ArchiveReaderObject** out);
// DeleteCabSdkObject: Destroy with the delete flag; null is ignored.
using PFN_DeleteArchiveObject = void (*)(ArchiveReaderObject* object);

}  // extern "C"
