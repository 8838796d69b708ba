// archivekit.dll: the engine's archive readers (cabinet files, EPOC and
// Symbian 9 installation files). The engine creates a reader with a create
// export, opens an archive by path, takes one member after another into
// files it names itself, closes the reader and deletes it with the matching
// delete export. arjkit.dll presents the same table for ARJ archives.
#pragma once

#include <cstdint>

extern "C" {

struct ArchiveReaderObject;

// The operations of every reader, in the handset's slot order.
struct ArchiveReaderOps {
  // The caller's open handle is not used: every reader opens the archive
  // again by path (at most 259 characters). 1 opened; 0 not an archive of
  // this kind, or unreadable.
  int32_t (*Open)(ArchiveReaderObject* self, void* callerHandle, const char16_t* archivePath);
  // Writes the next member to outputPath and stores its name (260
  // characters with the terminator) in nameBuffer. 1 delivered; 0 no further
  // member or a failure, and every later call answers 0 as well.
  int32_t (*ExtractNext)(ArchiveReaderObject* self, const char16_t* outputPath, char16_t* nameBuffer);
  // Always 0.
  int32_t (*Reserved)(ArchiveReaderObject* self);
  // Forgets the archive path, the member count and the member index.
  int32_t (*Close)(ArchiveReaderObject* self);
  // Bit 0 of flags frees the object. Returns the object's address.
  void* (*Destroy)(ArchiveReaderObject* self, int32_t flags);
};
static_assert(sizeof(ArchiveReaderOps) == 5 * sizeof(void*), "five operations");

struct ArchiveReaderObject {
  const ArchiveReaderOps* ops;
};

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
