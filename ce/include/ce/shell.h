// The shell's file change notifications (aygshell): a window registers for
// events under a folder of the device, or the whole device, and receives
// WM_FILECHANGEINFO with a FILECHANGENOTIFY record for every file or folder
// created, written, renamed or deleted there, and for the storage card being
// inserted or removed.
//
// Changes are seen whoever makes them: a device program, another process of
// the device, or the host itself (a `cp` into the device root). The device's
// own state folder ".ce" is never reported. A record is posted to the window
// and belongs to it until it calls SHChangeNotifyFree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ce/ui.h"
#include "ce/windows.h"

namespace ce {

// The notification message; wParam is 0, lParam the FILECHANGENOTIFY record.
constexpr UINT WM_FILECHANGEINFO = 0x8101;

// Event codes (FILECHANGEINFO::wEventId and SHCHANGENOTIFYENTRY::dwEventMask).
constexpr LONG SHCNE_RENAMEITEM = 0x00000001;     // a file renamed or moved: item 1 the old, item 2 the new path
constexpr LONG SHCNE_CREATE = 0x00000002;         // a file created, or moved in from outside the device
constexpr LONG SHCNE_DELETE = 0x00000004;         // a file deleted, or moved out of the device
constexpr LONG SHCNE_MKDIR = 0x00000008;          // a folder created, or moved in from outside
constexpr LONG SHCNE_RMDIR = 0x00000010;          // a folder deleted, or moved out
constexpr LONG SHCNE_MEDIAINSERTED = 0x00000020;
constexpr LONG SHCNE_MEDIAREMOVED = 0x00000040;
constexpr LONG SHCNE_DRIVEREMOVED = 0x00000080;   // the storage card removed: item 1 "\Storage Card"
constexpr LONG SHCNE_DRIVEADD = 0x00000100;       // the storage card inserted: item 1 "\Storage Card"
constexpr LONG SHCNE_NETSHARE = 0x00000200;
constexpr LONG SHCNE_NETUNSHARE = 0x00000400;
constexpr LONG SHCNE_ATTRIBUTES = 0x00000800;
constexpr LONG SHCNE_UPDATEDIR = 0x00001000;
constexpr LONG SHCNE_UPDATEITEM = 0x00002000;     // a file written and closed
constexpr LONG SHCNE_SERVERDISCONNECT = 0x00004000;
constexpr LONG SHCNE_UPDATEIMAGE = 0x00008000;
constexpr LONG SHCNE_DRIVEADDGUI = 0x00010000;
constexpr LONG SHCNE_RENAMEFOLDER = 0x00020000;   // a folder renamed or moved: item 1 the old, item 2 the new path
constexpr LONG SHCNE_FREESPACE = 0x00040000;
constexpr LONG SHCNE_ASSOCCHANGED = 0x08000000;
constexpr LONG SHCNE_DISKEVENTS = 0x0002381F;
constexpr LONG SHCNE_GLOBALEVENTS = 0x0C0581E0;
constexpr LONG SHCNE_ALLEVENTS = 0x7FFFFFFF;

// FILECHANGEINFO::uFlags: the items are UTF-16 paths.
constexpr ULONG SHCNF_PATHW = 0x0005;
constexpr ULONG SHCNF_PATH = SHCNF_PATHW;

struct SHCHANGENOTIFYENTRY {
  DWORD dwEventMask;   // SHCNE_* bits the window wants
  LPWSTR pszWatchDir;  // a device folder, or null (or "\") for the whole device
  BOOL fRecursive;     // also the folders below pszWatchDir
};

// The handset's record. dwItem1 and dwItem2 hold pointers to the paths (null
// when unused); on the handset they are 32-bit, here they are as wide as a
// pointer. The paths live in the same block as the record and go with it.
struct FILECHANGEINFO {
  DWORD cbSize;  // sizeof(FILECHANGEINFO)
  LONG wEventId;
  ULONG uFlags;  // SHCNF_PATH
  uintptr_t dwItem1;
  uintptr_t dwItem2;
  DWORD dwAttributes;  // of item 1 (item 2 for a rename) when it still exists; directory or 0 otherwise
  FILETIME ftModified;
  ULONG nFileSize;
};
using LPFILECHANGEINFO = FILECHANGEINFO*;

struct FILECHANGENOTIFY {
  DWORD dwRefCount;
  FILECHANGEINFO fci;
};

// Registers hwnd, a window of this process, for the events of the entry. One
// registration per window: a second one replaces the first; a window
// destroyed without deregistering loses it. Errors: ERROR_INVALID_PARAMETER
// (no window or entry), ERROR_INVALID_WINDOW_HANDLE (not a window),
// ERROR_ACCESS_DENIED (a window of another process: the record would point
// into memory it cannot read), ERROR_BAD_PATHNAME (a folder that is not an absolute device path
// or climbs above its mount), ERROR_FILENAME_EXCED_RANGE (MAX_PATH or more),
// ERROR_INVALID_NAME, ERROR_TOO_MANY_OPEN_FILES (the host gives no more change
// watchers), ERROR_NOT_READY (no device). The folder need not exist yet.
BOOL SHChangeNotifyRegister(HWND hwnd, SHCHANGENOTIFYENTRY* entry);
// Ends the window's registration: nothing is posted to it once this returns.
// FALSE with ERROR_INVALID_PARAMETER when it is not registered.
BOOL SHChangeNotifyDeregister(HWND hwnd);
// Releases a record the window received. Null is ignored.
void SHChangeNotifyFree(FILECHANGENOTIFY* record);

// The windows registered on the device, by any process still running (for
// nxdevice and tests).
struct ChangeNotifyRegistration {
  int32_t processId;
  std::u16string program;  // the process's module file name
  uint64_t window;
  DWORD eventMask;
  std::u16string folder;  // empty: the whole device
  bool recursive;
};
std::vector<ChangeNotifyRegistration> ListChangeNotifyRegistrations();

namespace diag {
// Replaces posting for this process: every record goes to fn instead (which
// then owns it; FALSE plays a full queue), and any value serves as a window.
// Null restores posting. For tests of the records themselves.
using ChangeRecordSink = BOOL (*)(HWND hwnd, FILECHANGENOTIFY* record);
void SetChangeRecordSink(ChangeRecordSink fn);
}  // namespace diag

}  // namespace ce
