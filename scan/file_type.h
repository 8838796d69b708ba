// File type detection: one numeric type code per file from its first 1024
// bytes, the extension of its name and, for a few formats, further parts of
// the file. The code decides which scanners run on the file.
#pragma once

#include <cstdint>

#include "filekit/filekit_api.h"

namespace nx::scan {

// Type codes the engine core itself acts on.
enum : int32_t {
  kTypeUnknown = 0,
  kTypeDosExe = 1,
  kTypeDosExeNew = 3,
  kTypeNoScan = 5000,
  kTypeCab = 5010,
  kTypeSis = 5074,
  kTypeEpocExe = 5075,
  kTypeEpocStore = 5081,
  kTypeGdr = 5082,
  kTypeCeLibrary = 5083,
  kTypeCeProgram = 5084,
  kTypeSisx = 5092,
  kTypeTestFile = 5093,
  kClassifyFailed = -1,
};

// The long form of a path (platform's NxGetLongPathNameW); may be null.
using LongPathFn = int (*)(const char16_t* source, char16_t* out);

// Classifies the open file `handle` of the wrapper, named `path`. Returns a
// type code, or -1 when the file has a positive length but not one byte of it
// could be read. Moves the file position; the caller rewinds.
int32_t classifyFile(FileWrapObject* fw, int32_t handle, const char16_t* path, LongPathFn longPath);

// The coarse category of a type code: 0 other, 1 can carry code, 2 archive
// or compressed container, 3 packed DOS executable, 4 mailbox store.
int32_t typeCategory(int32_t type);

}  // namespace nx::scan
