// The registry calls. Opened keys live in a table of their own, apart from the
// handle table of files and kernel objects: a key handle carries a tag no
// other handle has, so CloseHandle never takes a key and RegCloseKey never
// takes a file. A handle names its key by the key's id, which survives every
// re-read of the file and disappears with the key, so a key deleted by any
// process answers ERROR_KEY_DELETED.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ce/base.h"
#include "ce/registry.h"
#include "ce/text.h"
#include "device.h"
#include "registry_internal.h"
#include "registry_store.h"

namespace ce::detail {

bool registryCreateDefault(const std::string& ceDir) { return reg::Store(ceDir).createDefault(); }

}  // namespace ce::detail

namespace ce {
namespace {

using detail::reg::Key;
using detail::reg::Store;
using detail::reg::Tree;
using detail::reg::Value;

constexpr uintptr_t kTag = uintptr_t{0x4B} << 56;  // 'K'; far above any user-space address
constexpr uintptr_t kTagMask = uintptr_t{0xFF} << 56;
constexpr uint32_t kMaxSlots = 1u << 30;
constexpr size_t kMaxPathChars = (REG_MAX_KEY_NAME + 1) * REG_MAX_KEY_DEPTH;

struct Slot {
  uint64_t keyId = 0;  // 0: free
  uint64_t storeSerial = 0;
  uint32_t generation = 1;
};

// Everything below is guarded by g_mu: one registry call at a time per
// process, which also keeps the cached tree consistent while a call reads it.
std::mutex g_mu;
std::unique_ptr<Store> g_store;
uint64_t g_storeSerial = 0;
std::vector<Slot> g_slots;
std::vector<uint32_t> g_free;

// The store of the attached device, made anew when the process switched devices.
Store* currentStore() {
  detail::DeviceState* d = detail::device();
  if (!d) return nullptr;
  if (!g_store || g_store->ceDir() != d->ceDir) {
    g_store = std::make_unique<Store>(d->ceDir);
    ++g_storeSerial;
  }
  return g_store.get();
}

int predefinedIndex(HKEY h) {
  auto v = reinterpret_cast<uintptr_t>(h);
  uintptr_t high = v >> 32;
  if (high != 0 && high != 0xFFFFFFFFu) return -1;
  uint32_t low = static_cast<uint32_t>(v);
  if (low < 0x80000000u || low >= 0x80000000u + detail::reg::kRootCount) return -1;
  return static_cast<int>(low - 0x80000000u);
}

HKEY encode(uint32_t index, uint32_t gen) {
  uintptr_t v = kTag | (static_cast<uintptr_t>(gen & 0xFFFFFF) << 32) | (static_cast<uintptr_t>(index) << 2) | 1;
  return reinterpret_cast<HKEY>(v);
}

Slot* slotOf(HKEY h) {
  auto v = reinterpret_cast<uintptr_t>(h);
  if ((v & kTagMask) != kTag || (v & 3) != 1) return nullptr;
  uint32_t index = static_cast<uint32_t>(v & 0xFFFFFFFFu) >> 2;
  uint32_t gen = static_cast<uint32_t>(v >> 32) & 0xFFFFFF;
  if (index >= g_slots.size()) return nullptr;
  Slot& s = g_slots[index];
  if (s.keyId == 0 || (s.generation & 0xFFFFFF) != gen) return nullptr;
  return &s;
}

LONG newHandle(const Key* key, HKEY* out) {
  uint32_t index;
  if (!g_free.empty()) {
    index = g_free.back();
    g_free.pop_back();
  } else {
    if (g_slots.size() >= kMaxSlots) return ERROR_NOT_ENOUGH_MEMORY;
    index = static_cast<uint32_t>(g_slots.size());
    g_slots.emplace_back();
  }
  Slot& s = g_slots[index];
  s.keyId = key->id;
  s.storeSerial = g_storeSerial;
  *out = encode(index, s.generation);
  return ERROR_SUCCESS;
}

// Opens the registry for one call: the store, up to date, and hKey's key.
struct Call {
  std::lock_guard<std::mutex> lock{g_mu};
  Store* store = nullptr;
  Key* key = nullptr;
  int root = -1;  // hKey is a predefined root
  uint64_t keyId = 0;
  LONG rc = ERROR_SUCCESS;

  explicit Call(HKEY h) {
    root = predefinedIndex(h);
    if (root < 0) {
      Slot* s = slotOf(h);
      if (!s) {
        rc = ERROR_INVALID_HANDLE;
        return;
      }
      if (s->storeSerial != g_storeSerial) {
        rc = ERROR_INVALID_HANDLE;  // opened on a device this process has left
        return;
      }
      keyId = s->keyId;
    } else {
      keyId = static_cast<uint64_t>(root + 1);
    }
    store = currentStore();
    if (!store) {
      rc = ERROR_NOT_READY;
      return;
    }
    rc = store->refresh();
    if (rc == ERROR_SUCCESS) rc = find(store->tree());
  }
  // hKey's key in `tree` (the cached one, or the one of a write).
  LONG find(Tree& tree) {
    key = tree.byId(keyId);
    return key ? ERROR_SUCCESS : ERROR_KEY_DELETED;
  }
};

// Lengths of caller strings, scanned no further than one past the limit.
size_t boundedLen(const WCHAR* s, size_t max) {
  size_t n = 0;
  while (n <= max && s[n]) ++n;
  return n;
}

// Splits a sub-key path. A single trailing backslash is tolerated as on the
// handset; a leading one or an empty component in between is refused.
LONG splitPath(const WCHAR* path, std::vector<std::u16string_view>& parts) {
  parts.clear();
  if (!path) return ERROR_SUCCESS;
  size_t len = boundedLen(path, kMaxPathChars);
  if (len > kMaxPathChars) return ERROR_BAD_PATHNAME;
  std::u16string_view p(path, len);
  if (p.empty()) return ERROR_SUCCESS;
  if (p.front() == u'\\') return ERROR_BAD_PATHNAME;
  if (p.back() == u'\\') p.remove_suffix(1);
  size_t pos = 0;
  for (;;) {
    size_t next = p.find(u'\\', pos);
    std::u16string_view part = p.substr(pos, next == std::u16string_view::npos ? std::u16string_view::npos : next - pos);
    if (part.empty()) return ERROR_BAD_PATHNAME;
    if (part.size() > REG_MAX_KEY_NAME) return ERROR_FILENAME_EXCED_RANGE;
    parts.push_back(part);
    if (parts.size() > REG_MAX_KEY_DEPTH) return ERROR_BAD_PATHNAME;
    if (next == std::u16string_view::npos) break;
    pos = next + 1;
  }
  return ERROR_SUCCESS;
}

LONG valueName(const WCHAR* name, std::u16string_view& out) {
  if (!name) {
    out = {};
    return ERROR_SUCCESS;
  }
  size_t len = boundedLen(name, REG_MAX_VALUE_NAME);
  if (len > REG_MAX_VALUE_NAME) return ERROR_INVALID_PARAMETER;
  out = std::u16string_view(name, len);
  return ERROR_SUCCESS;
}

uint32_t depthOf(const Key* k) {
  uint32_t d = 0;
  for (; k->parent; k = k->parent) ++d;
  return d;
}

Key* walk(Key* from, const std::vector<std::u16string_view>& parts) {
  Key* k = from;
  for (auto part : parts) {
    k = k->findSubkey(part);
    if (!k) return nullptr;
  }
  return k;
}

// Copies value data out with the query rules: size only without a buffer,
// ERROR_MORE_DATA and the size needed when the buffer is short.
LONG copyData(const Value& v, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  if (lpType) *lpType = v.type;
  if (!lpcbData) return ERROR_SUCCESS;
  const auto size = static_cast<DWORD>(v.data.size());
  if (lpData) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(lpData, v.data.data(), size);
  }
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LONG copyName(std::u16string_view name, LPWSTR out, LPDWORD cch) {
  const auto need = static_cast<DWORD>(name.size() + 1);
  if (*cch < need) {
    *cch = need;
    return ERROR_MORE_DATA;
  }
  std::memcpy(out, name.data(), name.size() * sizeof(WCHAR));
  out[name.size()] = 0;
  *cch = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY phkResult,
                     LPDWORD lpdwDisposition) {
  if (!lpSubKey || !phkResult) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string_view> parts;
  if (LONG rc = splitPath(lpSubKey, parts)) return rc;
  Call c(hKey);
  if (c.rc) return c.rc;
  if (depthOf(c.key) + parts.size() > REG_MAX_KEY_DEPTH) return ERROR_BAD_PATHNAME;
  Key* found = walk(c.key, parts);
  DWORD disposition = REG_OPENED_EXISTING_KEY;
  if (!found) {
    // Not there in the cached tree: create it on the current one, where
    // another process may just have made it.
    LONG rc = c.store->update([&](Tree& tree, bool& changed) -> LONG {
      if (LONG r = c.find(tree)) return r;
      Key* k = c.key;
      for (auto part : parts) {
        Key* sub = k->findSubkey(part);
        if (!sub) {
          sub = tree.addSubkey(k, std::u16string(part));
          changed = true;
          disposition = REG_CREATED_NEW_KEY;
        }
        k = sub;
      }
      found = k;
      return ERROR_SUCCESS;
    });
    if (rc) return rc;
  }
  if (found->parent == nullptr && c.root >= 0) {
    *phkResult = hKey;  // the root itself, as the handset answers
  } else if (LONG rc = newHandle(found, phkResult)) {
    return rc;
  }
  if (lpdwDisposition) *lpdwDisposition = disposition;
  return ERROR_SUCCESS;
}

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string_view> parts;
  if (LONG rc = splitPath(lpSubKey, parts)) return rc;
  Call c(hKey);
  if (c.rc) return c.rc;
  Key* found = walk(c.key, parts);
  if (!found) return ERROR_FILE_NOT_FOUND;
  if (found->parent == nullptr && c.root >= 0) {
    *phkResult = hKey;
    return ERROR_SUCCESS;
  }
  return newHandle(found, phkResult);
}

LONG RegCloseKey(HKEY hKey) {
  if (predefinedIndex(hKey) >= 0) return ERROR_SUCCESS;
  std::lock_guard lock(g_mu);
  Slot* s = slotOf(hKey);
  if (!s) return ERROR_INVALID_HANDLE;
  s->keyId = 0;
  s->generation = (s->generation % 0xFFFFFF) + 1;
  g_free.push_back(static_cast<uint32_t>(s - g_slots.data()));
  return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
  if (cbData > REG_MAX_VALUE_DATA) return ERROR_INVALID_PARAMETER;
  std::u16string_view name;
  if (LONG rc = valueName(lpValueName, name)) return rc;
  Call c(hKey);
  if (c.rc) return c.rc;
  std::vector<uint8_t> data(lpData, lpData + cbData);
  return c.store->update([&](Tree& tree, bool& changed) -> LONG {
    if (LONG r = c.find(tree)) return r;
    if (Value* v = c.key->findValue(name)) {
      if (v->type == dwType && v->data == data) return ERROR_SUCCESS;  // nothing to write
      v->type = dwType;
      v->data = std::move(data);
    } else {
      c.key->values.push_back(Value{std::u16string(name), dwType, std::move(data)});
    }
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  std::u16string_view name;
  if (LONG rc = valueName(lpValueName, name)) return rc;
  Call c(hKey);
  if (c.rc) return c.rc;
  const Value* v = c.key->findValue(name);
  if (!v) return ERROR_FILE_NOT_FOUND;
  return copyData(*v, lpType, lpData, lpcbData);
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  std::u16string_view name;
  if (LONG rc = valueName(lpValueName, name)) return rc;
  Call c(hKey);
  if (c.rc) return c.rc;
  if (!c.key->findValue(name)) return ERROR_FILE_NOT_FOUND;
  return c.store->update([&](Tree& tree, bool& changed) -> LONG {
    if (LONG r = c.find(tree)) return r;
    Value* v = c.key->findValue(name);
    if (!v) return ERROR_FILE_NOT_FOUND;
    c.key->values.erase(c.key->values.begin() + (v - c.key->values.data()));
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  std::vector<std::u16string_view> parts;
  if (LONG rc = splitPath(lpSubKey, parts)) return rc;
  Call c(hKey);
  if (c.rc) return c.rc;
  Key* target = walk(c.key, parts);
  if (!target) return ERROR_FILE_NOT_FOUND;
  if (!target->parent) return ERROR_ACCESS_DENIED;  // a root stays
  return c.store->update([&](Tree& tree, bool& changed) -> LONG {
    if (LONG r = c.find(tree)) return r;
    Key* k = walk(c.key, parts);
    if (!k) return ERROR_FILE_NOT_FOUND;
    if (!k->parent) return ERROR_ACCESS_DENIED;
    tree.removeKey(k);
    changed = true;
    return ERROR_SUCCESS;
  });
}

LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD, LPWSTR lpClass,
                   LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
  Call c(hKey);
  if (c.rc) return c.rc;
  if (dwIndex >= c.key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  if (LONG rc = copyName(c.key->subkeys[dwIndex]->name, lpName, lpcchName)) return rc;
  if (lpcchClass) {
    if (lpClass && *lpcchClass) lpClass[0] = 0;
    *lpcchClass = 0;
  }
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD, LPDWORD lpType,
                   LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName) return ERROR_INVALID_PARAMETER;
  if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
  Call c(hKey);
  if (c.rc) return c.rc;
  if (dwIndex >= c.key->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value& v = c.key->values[dwIndex];
  if (LONG rc = copyName(v.name, lpValueName, lpcchValueName)) {
    copyData(v, lpType, nullptr, lpcbData);  // sizes only: nothing is copied on a short name buffer
    return rc;
  }
  return copyData(v, lpType, lpData, lpcbData);
}

LONG RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD, LPDWORD lpcSubKeys,
                      LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                      LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                      PFILETIME lpftLastWriteTime) {
  if (lpClass && !lpcchClass) return ERROR_INVALID_PARAMETER;
  Call c(hKey);
  if (c.rc) return c.rc;
  DWORD maxSub = 0, maxName = 0, maxData = 0;
  for (const auto& s : c.key->subkeys) maxSub = std::max<DWORD>(maxSub, static_cast<DWORD>(s->name.size()));
  for (const auto& v : c.key->values) {
    maxName = std::max<DWORD>(maxName, static_cast<DWORD>(v.name.size()));
    maxData = std::max<DWORD>(maxData, static_cast<DWORD>(v.data.size()));
  }
  if (lpcchClass) {
    if (lpClass && *lpcchClass) lpClass[0] = 0;
    *lpcchClass = 0;
  }
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(c.key->subkeys.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = maxSub;
  if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
  if (lpcValues) *lpcValues = static_cast<DWORD>(c.key->values.size());
  if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = maxName;
  if (lpcbMaxValueLen) *lpcbMaxValueLen = maxData;
  if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
  if (lpftLastWriteTime) *lpftLastWriteTime = FILETIME{0, 0};
  return ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY hKey) {
  Call c(hKey);
  return c.rc;
}

}  // namespace ce
