// Files and folders of the device, with the handset's dispositions, access
// and share modes, attributes and last-error codes.
#pragma once

#include <string>

#include "ce/windows.h"

namespace ce {

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, void* overlapped);
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, void* overlapped);
DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetEndOfFile(HANDLE h);
DWORD GetFileSize(HANDLE h, LPDWORD sizeHigh);
BOOL FlushFileBuffers(HANDLE h);
BOOL GetFileTime(HANDLE h, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite);
BOOL SetFileTime(HANDLE h, const FILETIME* creation, const FILETIME* lastAccess, const FILETIME* lastWrite);

DWORD GetFileAttributesW(LPCWSTR path);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
// A symbolic link is removed itself; what it points to is never touched.
BOOL DeleteFileW(LPCWSTR path);
BOOL MoveFileW(LPCWSTR from, LPCWSTR to);
BOOL CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists);
// Puts source in the place of dest in one step (the handset's own call): a
// reader sees the old file or the new one, never a mix, and one that holds
// dest open with FILE_SHARE_DELETE goes on reading the old contents. dest
// must exist (ERROR_FILE_NOT_FOUND); both must be files on the same mount
// (ERROR_NOT_SAME_DEVICE); an opener of either without FILE_SHARE_DELETE
// gives ERROR_SHARING_VIOLATION; a read-only dest ERROR_ACCESS_DENIED.
BOOL DeleteAndRenameFile(LPCWSTR dest, LPCWSTR source);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa);
BOOL RemoveDirectoryW(LPCWSTR path);

// Wildcards '*' and '?' in the last component, matched ignoring case; "*.*"
// matches every name. "." and ".." are never listed.
HANDLE FindFirstFileW(LPCWSTR pattern, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);

// Host path behind a device path (for tools and the layer's own loaders);
// empty with the last error set when it cannot be resolved.
std::string HostPathOf(LPCWSTR devicePath);

}  // namespace ce
