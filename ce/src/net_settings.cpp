// Proxy settings, the cache-entry delete, the connection manager and the
// device's network settings.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "ce/base.h"
#include "ce/network.h"
#include "ce/text.h"
#include "device.h"
#include "device_settings.h"
#include "handles.h"
#include "net_internal.h"

namespace ce {

using namespace detail;

namespace {

// The per-connection options of this process. The handset keeps them per
// user and a change reaches every program; here they belong to the process
// that set them, so programs on one device cannot steer each other's
// downloads and every program starts direct.
struct ProxySettings {
  std::mutex mu;
  DWORD flags = PROXY_TYPE_DIRECT;
  std::u16string server;
  std::u16string bypass;
  std::u16string autoConfigUrl;
  DWORD autoDiscovery = 0;
};

ProxySettings& proxySettings() {
  static ProxySettings* s = new ProxySettings;  // downloads may run from static destructors' threads
  return *s;
}

std::u16string lower(std::u16string s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

// '*' matches any run of characters, everything else itself (ASCII case ignored).
bool wildcard(std::u16string_view pat, std::u16string_view s) {
  size_t p = 0, i = 0, star = std::u16string_view::npos, mark = 0;
  while (i < s.size()) {
    if (p < pat.size() && pat[p] == u'*') {
      star = p++;
      mark = i;
    } else if (p < pat.size() && pat[p] == s[i]) {
      ++p;
      ++i;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      i = ++mark;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == u'*') ++p;
  return p == pat.size();
}

std::string settingOf(const char* key) {
  DeviceState* d = device();
  return d ? settingsGet(d->ceDir, key) : std::string();
}

bool putSetting(const char* key, const std::string& value) {
  DeviceState* d = device();
  if (!d) return SetLastError(ERROR_NOT_READY), false;
  if (!settingsSet(d->ceDir, key, value)) return SetLastError(ERROR_CANTWRITE), false;
  return true;
}

uint64_t numberSetting(const char* key, uint64_t fallback) {
  std::string v = settingOf(key);
  if (v.empty()) return fallback;
  char* end = nullptr;
  unsigned long long n = std::strtoull(v.c_str(), &end, 10);
  return (end && *end == 0 && n > 0) ? n : fallback;
}

LPWSTR copyOut(const std::u16string& s) {
  auto* p = static_cast<LPWSTR>(std::malloc((s.size() + 1) * sizeof(WCHAR)));
  if (p) std::memcpy(p, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
  return p;
}

struct ConnectionObject : Object {
  Kind kind() const override { return Kind::Other; }
};

std::shared_ptr<ConnectionObject> connectionOf(HANDLE h) {
  return std::dynamic_pointer_cast<ConnectionObject>(handleGet(h));
}

}  // namespace

namespace detail {

bool bypassMatches(const std::u16string& list, const std::string& host) {
  const std::u16string h = lower(utf8ToUtf16(host));
  size_t i = 0;
  while (i < list.size()) {
    size_t j = i;
    while (j < list.size() && list[j] != u';' && list[j] != u' ' && list[j] != u'\t') ++j;
    std::u16string entry = lower(list.substr(i, j - i));
    if (!entry.empty()) {
      if (entry == u"<local>") {
        if (h.find(u'.') == std::u16string::npos) return true;
      } else if (wildcard(entry, h)) {
        return true;
      }
    }
    i = j + 1;
  }
  return false;
}

std::string proxyFor(const std::string& scheme, const std::string& host) {
  ProxySettings& s = proxySettings();
  std::lock_guard lock(s.mu);
  if (!(s.flags & PROXY_TYPE_PROXY) || s.server.empty()) return {};
  if (bypassMatches(s.bypass, host)) return {};
  const std::u16string& server = s.server;
  if (server.find(u'=') == std::u16string::npos) return utf16ToUtf8(server);
  // "http=host:port;https=host:port": the entry of the URL's scheme.
  const std::u16string want = utf8ToUtf16(scheme) + u"=";
  size_t i = 0;
  while (i < server.size()) {
    size_t j = server.find_first_of(u"; ", i);
    if (j == std::u16string::npos) j = server.size();
    std::u16string entry = server.substr(i, j - i);
    if (lower(entry).rfind(want, 0) == 0) return utf16ToUtf8(entry.substr(want.size()));
    i = j + 1;
  }
  return {};
}

DownloadLimits effectiveLimits() {
  DownloadLimits l;
  l.maxBytes = numberSetting("net_max_bytes", kDefaultMaxBytes);
  l.stallMs = static_cast<DWORD>(std::min<uint64_t>(numberSetting("net_stall_ms", kDefaultStallMs), 0x7FFFFFFF));
  l.totalMs = static_cast<DWORD>(std::min<uint64_t>(numberSetting("net_total_ms", kDefaultTotalMs), 0x7FFFFFFF));
  return l;
}

std::string caFileSetting() { return settingOf("ca_file"); }

}  // namespace detail

LPVOID CoTaskMemAlloc(size_t bytes) { return std::malloc(bytes ? bytes : 1); }
void CoTaskMemFree(LPVOID p) { std::free(p); }
LPVOID GlobalFree(LPVOID p) {
  std::free(p);
  return nullptr;
}

BOOL DeleteUrlCacheEntryW(LPCWSTR url) {
  if (!url) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  return SetLastError(ERROR_FILE_NOT_FOUND), FALSE;
}

BOOL InternetSetOptionW(HINTERNET internet, DWORD option, LPVOID buffer, DWORD length) {
  if (internet) return SetLastError(ERROR_INVALID_HANDLE), FALSE;
  if (option == INTERNET_OPTION_REFRESH || option == INTERNET_OPTION_SETTINGS_CHANGED) return TRUE;
  if (option != INTERNET_OPTION_PER_CONNECTION_OPTION) return SetLastError(ERROR_INTERNET_INVALID_OPTION), FALSE;
  auto* list = static_cast<INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
  if (!list || length < sizeof *list || list->dwSize < sizeof *list)
    return SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH), FALSE;
  if (list->dwOptionCount && !list->pOptions) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  ProxySettings& s = proxySettings();
  std::lock_guard lock(s.mu);
  // All or nothing: a list with one bad option changes nothing.
  ProxySettings next;
  next.flags = s.flags;
  next.server = s.server;
  next.bypass = s.bypass;
  next.autoConfigUrl = s.autoConfigUrl;
  next.autoDiscovery = s.autoDiscovery;
  for (DWORD i = 0; i < list->dwOptionCount; ++i) {
    const INTERNET_PER_CONN_OPTIONW& o = list->pOptions[i];
    const WCHAR* text = o.Value.pszValue;
    switch (o.dwOption) {
      case INTERNET_PER_CONN_FLAGS: next.flags = o.Value.dwValue; break;
      case INTERNET_PER_CONN_PROXY_SERVER: next.server = text ? text : u""; break;
      case INTERNET_PER_CONN_PROXY_BYPASS: next.bypass = text ? text : u""; break;
      case INTERNET_PER_CONN_AUTOCONFIG_URL: next.autoConfigUrl = text ? text : u""; break;
      case INTERNET_PER_CONN_AUTODISCOVERY_FLAGS: next.autoDiscovery = o.Value.dwValue; break;
      default:
        list->dwOptionError = i;
        return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    }
  }
  s.flags = next.flags;
  s.server = std::move(next.server);
  s.bypass = std::move(next.bypass);
  s.autoConfigUrl = std::move(next.autoConfigUrl);
  s.autoDiscovery = next.autoDiscovery;
  return TRUE;
}

BOOL InternetQueryOptionW(HINTERNET internet, DWORD option, LPVOID buffer, LPDWORD length) {
  if (internet) return SetLastError(ERROR_INVALID_HANDLE), FALSE;
  if (option != INTERNET_OPTION_PER_CONNECTION_OPTION) return SetLastError(ERROR_INTERNET_INVALID_OPTION), FALSE;
  auto* list = static_cast<INTERNET_PER_CONN_OPTION_LISTW*>(buffer);
  if (!list || !length || *length < sizeof *list || list->dwSize < sizeof *list)
    return SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH), FALSE;
  if (list->dwOptionCount && !list->pOptions) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  ProxySettings& s = proxySettings();
  std::lock_guard lock(s.mu);
  for (DWORD i = 0; i < list->dwOptionCount; ++i) {
    INTERNET_PER_CONN_OPTIONW& o = list->pOptions[i];
    switch (o.dwOption) {
      case INTERNET_PER_CONN_FLAGS: o.Value.dwValue = s.flags; break;
      case INTERNET_PER_CONN_AUTODISCOVERY_FLAGS: o.Value.dwValue = s.autoDiscovery; break;
      case INTERNET_PER_CONN_PROXY_SERVER:
      case INTERNET_PER_CONN_PROXY_BYPASS:
      case INTERNET_PER_CONN_AUTOCONFIG_URL: {
        const std::u16string& v = o.dwOption == INTERNET_PER_CONN_PROXY_SERVER   ? s.server
                                  : o.dwOption == INTERNET_PER_CONN_PROXY_BYPASS ? s.bypass
                                                                                 : s.autoConfigUrl;
        o.Value.pszValue = v.empty() ? nullptr : copyOut(v);
        if (!v.empty() && !o.Value.pszValue) {
          for (DWORD k = 0; k < i; ++k) {
            DWORD kind = list->pOptions[k].dwOption;
            if (kind == INTERNET_PER_CONN_PROXY_SERVER || kind == INTERNET_PER_CONN_PROXY_BYPASS ||
                kind == INTERNET_PER_CONN_AUTOCONFIG_URL)
              GlobalFree(list->pOptions[k].Value.pszValue);
          }
          return SetLastError(ERROR_NOT_ENOUGH_MEMORY), FALSE;
        }
        break;
      }
      default:
        list->dwOptionError = i;
        return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
    }
  }
  return TRUE;
}

HRESULT ConnMgrMapURL(LPCWSTR url, GUID* destination, DWORD* index) {
  if (!url || !destination) return E_INVALIDARG;
  *destination = IID_DestNetInternet;
  if (index) *index = 0;
  return S_OK;
}

HRESULT ConnMgrEstablishConnectionSync(CONNMGR_CONNECTIONINFO* info, HANDLE* connection, DWORD, DWORD* status) {
  if (!info || !connection || !status || info->cbSize != sizeof(CONNMGR_CONNECTIONINFO)) return E_INVALIDARG;
  *connection = nullptr;
  if (!GetDeviceOnline()) {
    *status = CONNMGR_STATUS_NOPATHTODESTINATION;
    return E_FAIL;
  }
  HANDLE h = handleInsert(std::make_shared<ConnectionObject>());
  if (!h) {
    *status = CONNMGR_STATUS_CONNECTIONFAILED;
    return E_OUTOFMEMORY;
  }
  *connection = h;
  *status = CONNMGR_STATUS_CONNECTED;
  return S_OK;
}

HRESULT ConnMgrReleaseConnection(HANDLE connection, LONG) {
  if (!connectionOf(connection)) return E_HANDLE;
  handleRemove(connection);
  return S_OK;
}

HRESULT ConnMgrConnectionStatus(HANDLE connection, DWORD* status) {
  if (!status) return E_INVALIDARG;
  if (!connectionOf(connection)) return E_HANDLE;
  *status = GetDeviceOnline() ? CONNMGR_STATUS_CONNECTED : CONNMGR_STATUS_DISCONNECTED;
  return S_OK;
}

BOOL SetDeviceOnline(BOOL online) { return putSetting("online", online ? "1" : "0") ? TRUE : FALSE; }

BOOL GetDeviceOnline() { return settingOf("online") != "0" ? TRUE : FALSE; }

BOOL SetDownloadLimits(const DownloadLimits& limits) {
  bool ok = putSetting("net_max_bytes", limits.maxBytes ? std::to_string(limits.maxBytes) : "") &&
            putSetting("net_stall_ms", limits.stallMs ? std::to_string(limits.stallMs) : "") &&
            putSetting("net_total_ms", limits.totalMs ? std::to_string(limits.totalMs) : "");
  return ok ? TRUE : FALSE;
}

DownloadLimits GetDownloadLimits() { return effectiveLimits(); }

BOOL SetTrustedCertificates(const std::string& hostPemFile) {
  return putSetting("ca_file", hostPemFile) ? TRUE : FALSE;
}

std::string GetTrustedCertificates() { return caFileSetting(); }

}  // namespace ce
