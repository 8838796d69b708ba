// Device paths: "\Program Files\...", backslashes, case-insensitive, mapped
// through the mount table onto host folders. Resolution never lets a path
// leave its mount ("..", symbolic links out of the device).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "ce/windows.h"

namespace ce::detail {

enum class Mount : uint8_t { Root, Card, Host };

struct ResolvedPath {
  Mount mount = Mount::Root;
  int dirFd = -1;          // O_PATH descriptor of the mount's host folder (owned by the layer)
  std::string rel;         // host path below the mount folder, components matched case-insensitively;
                           // "" names the mount folder itself; the last component keeps the
                           // caller's spelling when nothing matches it (a file to create)
  std::string host;        // the whole host path (mount folder + "/" + rel)
  std::u16string device;   // the normalised device path ("\Temp\a.txt", mount spelling kept)
  bool lastExists = false; // the last component was found (exactly or by case)
  // Through a folder alias ("\Host\~N\..."): rel begins with the folder's
  // host path of aliasRelLen bytes, and the device spelling keeps the alias.
  size_t aliasRelLen = 0;
  std::u16string aliasDevice;
};

// Resolves a device path. FALSE with the last error set: ERROR_INVALID_PARAMETER
// (null), ERROR_BAD_PATHNAME (not absolute, or ".." above its mount),
// ERROR_FILENAME_EXCED_RANGE (MAX_PATH or more characters), ERROR_INVALID_NAME
// (a character names cannot hold), ERROR_PATH_NOT_FOUND (a missing folder or
// an unmounted card), ERROR_NOT_READY (no device).
bool resolvePath(const WCHAR* path, ResolvedPath& out);

// The two halves of resolvePath, for callers that try the exact spelling
// first: parsePath checks and normalises without touching the disk (rel keeps
// the caller's spelling; without names it leaves host and device empty, for
// the open path that needs neither); fixCase then matches each component
// ignoring case and fills host and device.
bool parsePath(const WCHAR* path, ResolvedPath& out, bool withNames = true);
// exactMissing: the caller has just seen the whole path as spelled fail with
// ENOENT, so the last name need not be tried as spelled again.
bool fixCase(ResolvedPath& p, bool exactMissing = false);

// openat2 below the mount folder with RESOLVE_BENEATH: a symbolic link that
// leads out of the mount fails with EXDEV. Returns the descriptor or -1 (errno).
int openResolved(const ResolvedPath& p, int flags, mode_t mode = 0644);

// The host folder (without its leading "/") that a folder alias "~N" under
// \Host names in this process; false for any other name.
bool hostAliasFolder(std::u16string_view name, std::string& folder);

// Maps errno of a file operation to the handset's last-error code.
DWORD errnoToError(int err, bool forDirectory = false);

// Device path for a host path that lies inside a mount (the reverse mapping);
// false when it lies outside every mount.
bool hostToDevicePath(const std::string& host, std::u16string& out);

// ---- Open files across the device's processes ----------------------------
// Registers an open of (dev, ino) with its access and share modes. FALSE with
// ERROR_SHARING_VIOLATION when it conflicts with an open of another handle
// (in any process of the device); the slot identifies the registration.
bool shareAcquire(uint64_t dev, uint64_t ino, DWORD access, DWORD share, int32_t* slot);
void shareRelease(int32_t slot);
// Whether any open (handle or loaded module) of the file exists: such a file
// cannot be deleted, moved over, or removed on the handset.
bool shareInUse(uint64_t dev, uint64_t ino);
// Whether an open of the file keeps it from being renamed: every handle
// opened without FILE_SHARE_DELETE does. A loaded module does not, as on the
// handset, whose loader maps an image with delete sharing: an updater can
// move a module that is in use out of the way (it cannot delete or write it).
bool shareBlocksMove(uint64_t dev, uint64_t ino);

}  // namespace ce::detail
