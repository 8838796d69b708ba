#include "updengine/version_key.h"

#include "ce/registry.h"
#include "ce/text.h"
#include "common/string_lookup.h"
#include "updengine/engine.h"
#include "updengine/update_log.h"

namespace nx::upd {

using namespace ce;

bool writeCurrentVersion(const std::u16string& installDir, const ScanVersionInfo& v) {
  UiStrings s;
  s.load(installDir.c_str());
  const std::u16string product =
      text(u"Software\\%s\\%s", s.get(ui::kCompany).c_str(), s.get(ui::kProduct).c_str());
  s.unload();
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, product.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  WCHAR first[256] = {};
  DWORD len = 256;
  std::u16string sub;
  if (RegEnumKeyExW(key, 0, first, &len, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS)
    sub.assign(first, len);
  else
    sub = text(u"%d.%02d", int(v.major), int(v.minor));
  HKEY versionKey = nullptr;
  LONG rc = RegCreateKeyExW(key, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &versionKey, nullptr);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) return false;
  const std::u16string value = text(u"%02d.%02d", int(v.major), int(v.minor));
  rc = RegSetValueExW(versionKey, u"Current Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(versionKey);
  if (rc != ERROR_SUCCESS)
    log::write(log::kError, u"UpdateNow", u"Current Version cannot be written. ERROR: %d", int(rc));
  return rc == ERROR_SUCCESS;
}

bool writeCurrentVersionFrom(const std::u16string& installDir) {
  ScanVersionInfo v;
  return readScanVersion(installDir.c_str(), &v) && writeCurrentVersion(installDir, v);
}

}  // namespace nx::upd
