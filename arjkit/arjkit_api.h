// arjkit.dll: the ARJ reader the update engine unpacks its packages with.
// The module is loaded through the platform loader (LibInit runs), a reader
// is made with CreateArjkitObject, driven through the ArchiveReader table
// (Open, ExtractNext, Reserved, Close, Destroy) and freed with
// DeleteArjkitObject. One ARJ operation runs at a time per process.
#pragma once

#include <cstdint>

#include "common/engine_types.h"

extern "C" {

// 1 with a new reader stored through out; 0 for a null address or when out of memory.
using PFN_CreateArjkitObject = int32_t (*)(ArchiveReader** out);
// Destroy with the delete flag; the object's address, null for null.
using PFN_DeleteArjkitObject = ArchiveReader* (*)(ArchiveReader* object);
// What the last ExtractNext of this reader met: 1 the member was written and
// matched its CRC; -115 the member was refused or damaged (ExtractNext
// answers 1 either way); the archive-level codes -103, -111, -100 when the
// archive could no longer be read; 0 before the first ExtractNext or for a
// null reader.
using PFN_ArjkitLastResult = int32_t (*)(ArchiveReader* object);

}  // extern "C"
