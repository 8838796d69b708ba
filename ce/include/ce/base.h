// Last error, handles and the device this process is attached to.
#pragma once

#include <string>

#include "ce/windows.h"

namespace ce {

DWORD GetLastError();
void SetLastError(DWORD code);

// Closes any handle the layer gave out (files, finds, kernel objects, processes,
// threads, snapshots). FALSE with ERROR_INVALID_HANDLE for an unknown handle.
BOOL CloseHandle(HANDLE h);

// ---- The device -----------------------------------------------------------
// A device is a host folder playing the handset's file system, with its
// registry and kernel state under "<root>/.ce". A process is attached to one
// device: the first call that needs it attaches to NX_DEVICE_ROOT, else to
// $XDG_DATA_HOME/nyxel/device (~/.local/share/nyxel/device).

// The host folder to use when nothing was chosen explicitly.
std::string DefaultDeviceRoot();

// Attaches this process to the device at hostRoot (which must exist and hold
// ".ce", see CreateDevice). Re-attaching to another root first detaches.
// FALSE with ERROR_PATH_NOT_FOUND when the root is not a device.
BOOL AttachDevice(const std::string& hostRoot);

// Makes hostRoot a device: the folder, ".ce", the handset's standard folders
// and the registry file. Existing content is kept. Attaches to it.
BOOL CreateDevice(const std::string& hostRoot);

// The attached device's host root (attaching to the default one if needed);
// empty when no device can be attached.
const std::string& DeviceRoot();
bool DeviceAttached();

// Host tools may ask for "\Host" to name the host's "/" so that host files can
// be scanned; device programs never see it.
void EnableHostMount(bool enable = true);
bool HostMountEnabled();
// A short name under "\Host" for a host folder: "\Host\~N" (N from 1)
// names hostFolder (absolute, "/"-separated) in this process from now on, so
// that a file whose "\Host" path would not fit the handset's 260 characters
// can still be opened by a path that does; the same folder keeps its alias.
// A number whose name exists in the host's "/" is passed over. Empty when
// the host mount is off or hostFolder is not absolute.
std::u16string HostFolderAlias(const std::string& hostFolder);

// The removable card: "\Storage Card" names hostDir while inserted. The state
// is device-wide and survives the processes that set it.
BOOL InsertStorageCard(const std::string& hostDir);
BOOL RemoveStorageCard();
// Host folder of the inserted card, empty when none is inserted.
std::string StorageCardFolder();

// Device path of the running program, as GetModuleFileNameW(nullptr) reports
// it. Programs started through CreateProcessW get theirs from the parent;
// host tools may set one ("\Host\usr\bin\nxscan" by default when the host
// mount is on, "\Windows\<name>" otherwise).
void SetProgramPath(const std::u16string& devicePath);

}  // namespace ce
