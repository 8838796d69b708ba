// filekit.dll: the one cached file wrapper every engine module reads files
// through. A module loads filekit.dll, calls LibInit, obtains the process's
// wrapper with CreateFileWrapObject and calls its operations through the
// table: obj->ops->OpenW(obj, path, NX_O_RDONLY, 0).
//
// Handles are small slot indices (0, 1, 2, ...), -1 meaning "no file". All
// results are signed 32-bit, as listed beside each operation.
#pragma once

#include <cstdint>

extern "C" {

// Open flags (the C run-time values).
enum : int32_t {
  NX_O_RDONLY = 0x0000,
  NX_O_WRONLY = 0x0001,
  NX_O_RDWR = 0x0002,
  NX_O_APPEND = 0x0008,
  NX_O_CREAT = 0x0100,
  NX_O_TRUNC = 0x0200,
  NX_O_BINARY = 0x8000,  // accepted, no effect
};
// Share flag: other openers may write while the file is open here.
enum : int32_t { NX_SH_ALLOW_WRITE = 0x80 };
// Access mode bit: the file must also be writable.
enum : int32_t { NX_ACCESS_WRITE = 0x2 };
// Chmod mode bit: make the file writable (0x180 is what the engine passes).
enum : int32_t { NX_S_IWRITE = 0x80 };
// Seek origins.
enum : int32_t { NX_SEEK_SET = 0, NX_SEEK_CUR = 1, NX_SEEK_END = 2 };

// Bytes of the head of each open file kept in memory.
enum : int32_t { NX_FILEKIT_HEAD_CACHE = 1024 };

struct FileWrapObject;

// The table of operations, in the handset's order. "W" operations take UTF-16
// paths; "A" operations take code-page paths, which must fit 260 wide
// characters once converted (longer ones are refused, never cut).
struct FileWrapOps {
  // 0 when the path exists and, with NX_ACCESS_WRITE in mode, is not read-only; else -1.
  int32_t (*AccessW)(FileWrapObject* self, const char16_t* path, int32_t mode);
  int32_t (*AccessA)(FileWrapObject* self, const char* path, int32_t mode);
  // Handle, or -1.
  int32_t (*OpenW)(FileWrapObject* self, const char16_t* path, int32_t openFlags, int32_t shareFlags);
  int32_t (*OpenA)(FileWrapObject* self, const char* path, int32_t openFlags, int32_t shareFlags);
  // New position (never negative); -1 for a bad handle. Makes no platform call.
  int32_t (*Seek)(FileWrapObject* self, int32_t handle, int32_t offset, int32_t origin);
  // Bytes read, or -1. Reads inside the cached head make no platform call.
  int32_t (*Read)(FileWrapObject* self, int32_t handle, void* buffer, int32_t length);
  // Bytes written, or -1.
  int32_t (*Write)(FileWrapObject* self, int32_t handle, const void* buffer, int32_t length);
  // 0, or -1 (a free slot or a failed close). Handle -1 gives 0.
  int32_t (*Close)(FileWrapObject* self, int32_t handle);
  // Position, or -1.
  int32_t (*Tell)(FileWrapObject* self, int32_t handle);
  // Length in bytes; 0 for handle -1; -1 for a free slot.
  int32_t (*Size)(FileWrapObject* self, int32_t handle);
  // 1 at the end, 0 before it, -1 for a bad handle.
  int32_t (*IsEnd)(FileWrapObject* self, int32_t handle);
  // 0, or -1.
  int32_t (*Truncate)(FileWrapObject* self, int32_t handle, int32_t length);
  // 0, or -1.
  int32_t (*ChmodW)(FileWrapObject* self, const char16_t* path, int32_t mode);
  int32_t (*ChmodA)(FileWrapObject* self, const char* path, int32_t mode);
  // 0 when the file is gone afterwards (read-only files included), else -1.
  int32_t (*RemoveW)(FileWrapObject* self, const char16_t* path);
  int32_t (*RemoveA)(FileWrapObject* self, const char* path);
  // Non-zero on success, 0 on failure or for a null path.
  int32_t (*MakeDirW)(FileWrapObject* self, const char16_t* path);
  int32_t (*MakeDirA)(FileWrapObject* self, const char* path);
  // 0, or -1.
  int32_t (*RemoveDirW)(FileWrapObject* self, const char16_t* path);
  int32_t (*RemoveDirA)(FileWrapObject* self, const char* path);
  // Non-zero on success (an existing target is overwritten), 0 on failure.
  int32_t (*CopyW)(FileWrapObject* self, const char16_t* source, const char16_t* target);
  int32_t (*CopyA)(FileWrapObject* self, const char* source, const char* target);
  // 0, or -1.
  int32_t (*MoveW)(FileWrapObject* self, const char16_t* source, const char16_t* target);
  int32_t (*MoveA)(FileWrapObject* self, const char* source, const char* target);
  // Releases the object; only the library's own LibDeinit does this. Calls
  // from anywhere else are ignored, since every module shares the object.
  void (*Destroy)(FileWrapObject* self, int32_t freeFlag);
};
static_assert(sizeof(FileWrapOps) == 25 * sizeof(void*), "25 operations");

struct FileWrapObject {
  const FileWrapOps* ops;
};

// Exports.
using PFN_FileKitLibInit = int32_t (*)();
using PFN_FileKitLibDeinit = int32_t (*)();
// 1 with the process's object stored through out; 0 for a null pointer or before LibInit.
using PFN_CreateFileWrapObject = int32_t (*)(FileWrapObject** out);
// Does nothing: the object lives until the last LibDeinit.
using PFN_DeleteFileWrapObject = void (*)(FileWrapObject* object);

// Diagnostics export "FileWrapDiagGet": counters of the process's wrapper,
// so that tests and benchmarks can see what reached the platform.
struct FileWrapDiag {
  int64_t platformReads;         // ReadFile calls made
  int64_t platformPointerMoves;  // SetFilePointer calls made
  int32_t tableCapacity;         // slots in the table
  int32_t openFiles;             // opens not yet closed
};
// 1 with the counters filled; 0 for a null pointer or when no object exists.
using PFN_FileWrapDiagGet = int32_t (*)(FileWrapDiag* out);

}  // extern "C"
