// The device registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER (and
// HKEY_CLASSES_ROOT) with the handset's calls. Every process of a device sees
// one registry; a change made by one process is visible to the others at their
// next call, also through keys they opened before the change.
//
// The calls answer a LONG error code (they do not set the last error):
//   ERROR_SUCCESS            done
//   ERROR_FILE_NOT_FOUND     no such key or value
//   ERROR_INVALID_HANDLE     not an open key (a file or event handle is never taken for a key)
//   ERROR_INVALID_PARAMETER  a required pointer is null, data too large, a value name too long
//   ERROR_BAD_PATHNAME       a sub-key path with an empty component ("\Software", "a\\b")
//                            or deeper than 512 levels
//   ERROR_FILENAME_EXCED_RANGE  a key name component longer than 255 characters
//   ERROR_MORE_DATA          a buffer is too small; the size it needs is reported
//   ERROR_NO_MORE_ITEMS      enumeration index past the last item
//   ERROR_KEY_DELETED        the opened key has been deleted (by this or another process)
//   ERROR_ACCESS_DENIED      a predefined root cannot be deleted
//   ERROR_BADDB / ERROR_CANTWRITE  the registry file cannot be read or written
//   ERROR_NOT_READY          no device is attached
//
// Key names are compared without regard to case and keep the spelling they
// were created with. As on the handset, access masks are accepted and not
// enforced, and RegDeleteKeyW removes a key together with all its sub-keys.
#pragma once

#include "ce/windows.h"

namespace ce {

// Predefined roots. The sign-extended forms other compilers produce
// (0xFFFFFFFF80000002) are accepted as well.
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u));

using PHKEY = HKEY*;
using PFILETIME = FILETIME*;

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access masks (accepted, not enforced).
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Create options and dispositions.
constexpr DWORD REG_OPTION_RESERVED = 0;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Limits of names and data.
constexpr DWORD REG_MAX_KEY_NAME = 255;          // characters of one key name component
constexpr DWORD REG_MAX_VALUE_NAME = 16383;      // characters of a value name
constexpr DWORD REG_MAX_VALUE_DATA = 1u << 20;   // bytes of one value's data
constexpr DWORD REG_MAX_KEY_DEPTH = 512;         // components below a root

// Creates the key (and any missing keys above it) or opens it when it exists.
// An empty sub-key opens hKey itself again. lpClass, dwOptions, samDesired
// and the security attributes are accepted and ignored.
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions, REGSAM samDesired,
                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult, LPDWORD lpdwDisposition);
// Opens an existing key. A null or empty sub-key opens hKey itself again
// (a predefined root is answered with the root itself).
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Closes an opened key; closing a predefined root succeeds and does nothing.
LONG RegCloseKey(HKEY hKey);

// Writes a value (null or empty name: the key's default value). The data is
// kept byte for byte; cbData may be 0 (lpData may then be null).
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData, DWORD cbData);
// Reads a value. With lpData null only the type and size are reported; with a
// buffer smaller than the data nothing is copied, *lpcbData gets the size
// needed and the answer is ERROR_MORE_DATA.
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Deletes the sub-key with everything below it; an empty sub-key deletes hKey
// itself. Open handles of deleted keys answer ERROR_KEY_DELETED.
LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);

// Enumerates sub-keys by index (in the order they were created). *lpcchName
// is the buffer's size in characters with the terminator; on success it is
// the name's length without it, on ERROR_MORE_DATA the size needed with it.
// The class is always empty; the last write time is not kept (zero).
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// Enumerates values by index (in the order they were first written), with the
// name rules of RegEnumKeyExW and the data rules of RegQueryValueExW.
LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                   LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Counts and the longest sub-key name, value name (characters without the
// terminator) and value data (bytes). Every out-pointer may be null.
LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime);
// Every change is on disk when its call returns; this only checks the handle.
LONG RegFlushKey(HKEY hKey);

}  // namespace ce
