#include "common/install_dir.h"

#include <cstring>

#include "ce/registry.h"
#include "ce/text.h"

namespace nx {
namespace {

using namespace ce;

bool copyWhole(WCHAR* dst, DWORD capacity, const WCHAR* src, size_t len) {
  if (len >= capacity) return false;
  std::memcpy(dst, src, len * sizeof(WCHAR));
  dst[len] = 0;
  return true;
}

// The registry value names the parent folder; the product folder is below it.
bool fromRegistry(WCHAR* buffer, DWORD capacity) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallRegKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  WCHAR value[MAX_PATH + 1] = {};  // 520 bytes of data and room for a terminator
  DWORD type = REG_NONE;
  DWORD cb = MAX_PATH * sizeof(WCHAR);
  LONG rc = RegQueryValueExW(key, kInstallRegValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &cb);
  RegCloseKey(key);
  // A number or binary blob under the name is not a folder.
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  size_t len = 0;
  size_t units = cb / sizeof(WCHAR);
  while (len < units && value[len]) ++len;
  if (len == 0 || len >= MAX_PATH) return false;

  WCHAR joined[2 * MAX_PATH];
  std::memcpy(joined, value, len * sizeof(WCHAR));
  if (joined[len - 1] != u'\\') joined[len++] = u'\\';
  size_t tail = wcslen16(kProductFolder);
  std::memcpy(joined + len, kProductFolder, tail * sizeof(WCHAR));
  len += tail;
  return copyWhole(buffer, capacity, joined, len);
}

}  // namespace

BOOL getInstallDirectory(WCHAR* buffer, DWORD capacity) {
  if (!buffer || capacity == 0) return FALSE;
  if (fromRegistry(buffer, capacity)) return TRUE;
  return copyWhole(buffer, capacity, kDefaultInstallDir, wcslen16(kDefaultInstallDir)) ? TRUE : FALSE;
}

}  // namespace nx
