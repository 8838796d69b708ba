#include "setuphook/setup_steps.h"

#include <iterator>
#include <string>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/registry.h"
#include "ce/services.h"
#include "ce/shortcut.h"
#include "ce/text.h"
#include "common/install_dir.h"
#include "common/options_files.h"
#include "common/service_keys.h"
#include "common/string_lookup.h"
#include "setuphook/setup_texts.h"

namespace setup {

using namespace ce;

namespace {

std::u16string join(const WCHAR* dir, const WCHAR* tail) {
  std::u16string p(dir);
  while (!p.empty() && p.back() == u'\\') p.pop_back();
  return p + tail;
}

// A key closed on every way out.
struct Key {
  HKEY h = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (h) RegCloseKey(h);
  }
};

bool createKey(HKEY parent, const WCHAR* name, HKEY* out, DWORD* disposition = nullptr) {
  DWORD d = 0;
  if (RegCreateKeyExW(parent, name, 0, nullptr, 0, 0, nullptr, out, &d) != ERROR_SUCCESS) {
    *out = nullptr;
    return false;
  }
  if (disposition) *disposition = d;
  return true;
}

bool readVersion(const WCHAR* installDir, unsigned* major, unsigned* minor) {
  const std::u16string path = join(installDir, u"\\") + kVersionFile;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BYTE record[kVersionRecordBytes];
  DWORD got = 0;
  const bool whole = ReadFile(h, record, sizeof record, &got, nullptr) && got == sizeof record;
  CloseHandle(h);
  if (!whole) return false;
  *major = static_cast<unsigned>(record[0] | (record[1] << 8));
  *minor = static_cast<unsigned>(record[2] | (record[3] << 8));
  return true;
}

}  // namespace

void productNames(const WCHAR* installDir, ProductNames& out) {
  nx::UiStrings strings;
  strings.load(installDir);
  strings.get(nx::ui::kCompany, nx::ui::builtIn(nx::ui::kCompany), out.company, std::size(out.company));
  strings.get(nx::ui::kProduct, nx::ui::builtIn(nx::ui::kProduct), out.product, std::size(out.product));
}

bool previousInstallation() {
  WCHAR installDir[MAX_PATH];
  if (!nx::getInstallDirectory(installDir, MAX_PATH)) return false;
  nx::UiStrings strings;
  if (!strings.load(installDir)) return false;
  WCHAR company[nx::kUiTextChars];
  strings.get(nx::ui::kCompany, nx::ui::builtIn(nx::ui::kCompany), company, std::size(company));
  strings.unload();
  WCHAR keyName[nx::kUiTextChars + 16];
  if (format16(keyName, std::size(keyName), u"Software\\%s", company) < 0) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, keyName, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void createProductFolders(const WCHAR* installDir) {
  // The installer has made the directory by the time it calls; each missing
  // level is made here all the same, so that the folders below never fail
  // for want of it.
  const std::u16string dir = join(installDir, u"");
  for (size_t i = 1; i <= dir.size(); ++i)
    if (i == dir.size() || dir[i] == u'\\') CreateDirectoryW(dir.substr(0, i).c_str(), nullptr);
  for (const WCHAR* sub : kProductFolders) CreateDirectoryW((dir + sub).c_str(), nullptr);
}

void readAllOptions(const WCHAR* installDir) {
  using nx::CWmOptionsGen;
  nx::WM_GENERAL_OPTS general{};
  nx::WM_SCAN_OPTS scan{};
  nx::WM_ONLINE_OPTS online{};
  nx::WM_UPDATE_OPTS update{};
  nx::WM_INTERNET_OPTS internet{};
  CWmOptionsGen::ReadGeneralOpts(installDir, &general, nx::kOptionsReadCurrent);
  CWmOptionsGen::ReadScanOpts(installDir, &scan, nx::kOptionsReadCurrent);
  CWmOptionsGen::ReadOnlineOpts(installDir, &online, nx::kOptionsReadCurrent);
  CWmOptionsGen::ReadUpdateOpts(installDir, &update, nx::kOptionsReadCurrent);
  CWmOptionsGen::ReadInternetOpts(installDir, &internet, nx::kOptionsReadCurrent);
}

bool writeVersionKey(const WCHAR* installDir, bool* companyCreated) {
  *companyCreated = false;
  ProductNames names;
  productNames(installDir, names);
  Key software, company, product, version;
  if (!createKey(HKEY_CURRENT_USER, kSoftwareKey, &software.h)) return false;
  DWORD disposition = 0;
  if (!createKey(software.h, names.company, &company.h, &disposition)) return false;
  *companyCreated = disposition == REG_CREATED_NEW_KEY;
  if (!createKey(company.h, names.product, &product.h)) return false;
  unsigned major = 0, minor = 0;
  if (!readVersion(installDir, &major, &minor)) return false;
  WCHAR text[16];
  if (format16(text, std::size(text), u"%d.%02d", static_cast<int>(major), static_cast<int>(minor)) < 0) return false;
  if (!createKey(product.h, text, &version.h)) return false;
  return RegSetValueExW(version.h, kCurrentVersionValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>((wcslen16(text) + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
}

bool createHelpShortcut() {
  CreateDirectoryW(kHelpFolder, nullptr);
  return SHCreateShortcut(kHelpShortcut, kHelpPage) != FALSE;
}

void deregisterProductServices() {
  for (nx::ProductService s : {nx::ProductService::Guard, nx::ProductService::Update}) {
    HANDLE h = GetServiceHandle(nx::serviceKeyInfo(s).device, nullptr, nullptr);
    if (h && h != INVALID_HANDLE_VALUE) DeregisterService(h);
  }
}

}  // namespace setup
