// The device-wide list of windows registered for change notifications, so
// that tools can show who watches the device: one small segment under
// "<root>/.ce/shell". Entries of processes that ended are ignored and reused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ce/shell.h"
#include "device.h"

namespace ce::detail {

// Records (or updates) this process's registration of hwnd.
void shellTableSet(DeviceState* dev, HWND hwnd, DWORD mask, const std::u16string& folder, bool recursive);
void shellTableRemove(DeviceState* dev, HWND hwnd);
std::vector<ChangeNotifyRegistration> shellTableList(DeviceState* dev);

// Frees a change record that a destroyed window's queue still held, if this
// process made it and it was not freed yet; any other value is left alone.
void dropFileChangeRecord(uint64_t lParam);

}  // namespace ce::detail
