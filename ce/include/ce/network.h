// The network of the handset as the update engine uses it: downloading a URL
// into a file with a progress callback that can abort (urlmon), the
// per-connection proxy settings and the cache-entry delete (WinINet), and
// the connection manager's map/establish/release calls (cellcore).
//
// Downloads run over HTTP and HTTPS only, with the host's certificate store
// (or the bundle the device names, SetTrustedCertificates). Every download
// is bounded (SetDownloadLimits): a body over the size limit, a transfer
// that brings no byte for the stall time or that runs longer than the total
// time (device time; time spent in the caller's callback does not count) is
// abandoned. A redirect
// may go from http to http or https, and from https only to https. A device
// set offline (SetDeviceOnline) has no network at all.
#pragma once

#include <cstddef>
#include <string>

#include "ce/windows.h"

namespace ce {

using HRESULT = LONG;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);

constexpr HRESULT INET_E_INVALID_URL = static_cast<HRESULT>(0x800C0002u);
constexpr HRESULT INET_E_NO_SESSION = static_cast<HRESULT>(0x800C0003u);
constexpr HRESULT INET_E_CANNOT_CONNECT = static_cast<HRESULT>(0x800C0004u);
constexpr HRESULT INET_E_RESOURCE_NOT_FOUND = static_cast<HRESULT>(0x800C0005u);
constexpr HRESULT INET_E_DOWNLOAD_FAILURE = static_cast<HRESULT>(0x800C0008u);
constexpr HRESULT INET_E_AUTHENTICATION_REQUIRED = static_cast<HRESULT>(0x800C0009u);
constexpr HRESULT INET_E_CONNECTION_TIMEOUT = static_cast<HRESULT>(0x800C000Bu);
constexpr HRESULT INET_E_UNKNOWN_PROTOCOL = static_cast<HRESULT>(0x800C000Du);
constexpr HRESULT INET_E_SECURITY_PROBLEM = static_cast<HRESULT>(0x800C000Eu);
constexpr HRESULT INET_E_REDIRECT_FAILED = static_cast<HRESULT>(0x800C0014u);

inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline bool FAILED(HRESULT hr) { return hr < 0; }

// WinINet's own last-error codes.
constexpr DWORD ERROR_INTERNET_INVALID_OPTION = 12009;
constexpr DWORD ERROR_INTERNET_BAD_OPTION_LENGTH = 12010;

// ---- Memory the callee allocates and the caller frees ------------------------
LPVOID CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(LPVOID p);
// The strings InternetQueryOptionW hands out.
LPVOID GlobalFree(LPVOID p);

// ---- Downloading --------------------------------------------------------------
// Status codes of OnProgress (the urlmon BINDSTATUS values this layer sends).
constexpr ULONG BINDSTATUS_FINDINGRESOURCE = 1;
constexpr ULONG BINDSTATUS_CONNECTING = 2;
constexpr ULONG BINDSTATUS_REDIRECTING = 3;
constexpr ULONG BINDSTATUS_BEGINDOWNLOADDATA = 4;
constexpr ULONG BINDSTATUS_DOWNLOADINGDATA = 5;
constexpr ULONG BINDSTATUS_ENDDOWNLOADDATA = 6;
constexpr ULONG BINDSTATUS_SENDINGREQUEST = 11;

// The handset's IBindStatusCallback reduced to what a download asks of its
// caller: progress notifications (an E_ABORT answer abandons the download)
// and, like IAuthenticate, the credentials to answer a server's 401 or a
// proxy's 407 with.
class IBindStatusCallback {
 public:
  // progress and progressMax in bytes (max 0 while unknown), statusText the
  // URL. E_ABORT abandons the download, which then answers E_ABORT.
  // Notifications repeat at least twice a second while a transfer runs, so
  // a caller can pause inside one and still be asked again while the
  // server sends nothing.
  virtual HRESULT OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode, LPCWSTR statusText) = 0;
  // S_OK with the user name and password in strings from CoTaskMemAlloc
  // (the layer frees them); anything else, or an empty user name, leaves
  // the request unanswered. Asked at most once per download and realm kind.
  virtual HRESULT Authenticate(HANDLE* window, LPWSTR* userName, LPWSTR* password) {
    (void)window;
    (void)userName;
    (void)password;
    return E_NOTIMPL;
  }

 protected:
  ~IBindStatusCallback() = default;
};
using LPBINDSTATUSCALLBACK = IBindStatusCallback*;

// Downloads url into the device file fileName (replaced only when the whole
// body has arrived: a failed or abandoned download leaves it as it was).
// caller and reserved are not used. S_OK, or: E_INVALIDARG (null url or
// file), E_ABORT (the callback asked), INET_E_UNKNOWN_PROTOCOL (not http or
// https), INET_E_INVALID_URL, INET_E_CANNOT_CONNECT (refused, unreachable,
// device offline), INET_E_RESOURCE_NOT_FOUND (no such host, 404, 410),
// INET_E_AUTHENTICATION_REQUIRED (401 or 407 not answered, or answered with
// credentials that were refused), INET_E_CONNECTION_TIMEOUT (stalled or over
// time), INET_E_SECURITY_PROBLEM (certificate or TLS failure),
// INET_E_REDIRECT_FAILED (to a scheme not allowed, or too many),
// INET_E_DOWNLOAD_FAILURE (any other HTTP status, a body cut short or over
// the size limit, the file not writable), INET_E_NO_SESSION (no HTTP library).
HRESULT URLDownloadToFileW(void* caller, LPCWSTR url, LPCWSTR fileName, DWORD reserved, LPBINDSTATUSCALLBACK callback);

// The layer keeps no cache, so there is never an entry to delete: FALSE with
// ERROR_FILE_NOT_FOUND (ERROR_INVALID_PARAMETER for a null URL).
BOOL DeleteUrlCacheEntryW(LPCWSTR url);

// ---- Proxy settings -------------------------------------------------------------
using HINTERNET = void*;

constexpr DWORD INTERNET_OPTION_REFRESH = 37;
constexpr DWORD INTERNET_OPTION_SETTINGS_CHANGED = 39;
constexpr DWORD INTERNET_OPTION_PER_CONNECTION_OPTION = 75;

constexpr DWORD INTERNET_PER_CONN_FLAGS = 1;
constexpr DWORD INTERNET_PER_CONN_PROXY_SERVER = 2;
constexpr DWORD INTERNET_PER_CONN_PROXY_BYPASS = 3;
constexpr DWORD INTERNET_PER_CONN_AUTOCONFIG_URL = 4;
constexpr DWORD INTERNET_PER_CONN_AUTODISCOVERY_FLAGS = 5;

constexpr DWORD PROXY_TYPE_DIRECT = 0x1;
constexpr DWORD PROXY_TYPE_PROXY = 0x2;
constexpr DWORD PROXY_TYPE_AUTO_PROXY_URL = 0x4;
constexpr DWORD PROXY_TYPE_AUTO_DETECT = 0x8;

struct INTERNET_PER_CONN_OPTIONW {
  DWORD dwOption;
  union {
    DWORD dwValue;
    LPWSTR pszValue;
    FILETIME ftValue;
  } Value;
};

struct INTERNET_PER_CONN_OPTION_LISTW {
  DWORD dwSize;  // sizeof(INTERNET_PER_CONN_OPTION_LISTW)
  LPWSTR pszConnection;  // null: the default connection (the only one the layer has)
  DWORD dwOptionCount;
  DWORD dwOptionError;  // index of the option that was refused
  INTERNET_PER_CONN_OPTIONW* pOptions;
};

// Settings of this process's downloads (the handset keeps them per user;
// here every process starts direct). With a null handle:
// INTERNET_OPTION_PER_CONNECTION_OPTION takes a list of flags (direct,
// proxy), proxy server ("host:port", or "http=host:port;https=host:port")
// and bypass list (host names with '*' wildcards separated by ';' or
// blanks; "<local>" names every host without a dot), all applied or none;
// REFRESH and SETTINGS_CHANGED succeed. Another option fails with
// ERROR_INTERNET_INVALID_OPTION, a non-null handle with ERROR_INVALID_HANDLE.
BOOL InternetSetOptionW(HINTERNET internet, DWORD option, LPVOID buffer, DWORD length);
// Reads the per-connection options back; strings come from the layer's
// allocator and are freed with GlobalFree.
BOOL InternetQueryOptionW(HINTERNET internet, DWORD option, LPVOID buffer, LPDWORD length);

// ---- Connection manager -----------------------------------------------------------
struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
static_assert(sizeof(GUID) == 16);

// The destination network every URL maps to: the internet.
inline constexpr GUID IID_DestNetInternet = {0x436ef144, 0xb4fb, 0x4863, {0xa0, 0x41, 0x8f, 0x90, 0x5a, 0x62, 0xc5, 0x72}};

constexpr DWORD CONNMGR_PARAM_GUIDDESTNET = 0x1;
constexpr DWORD CONNMGR_FLAG_PROXY_HTTP = 0x1;
constexpr DWORD CONNMGR_PRIORITY_USERINTERACTIVE = 0x8000;

constexpr DWORD CONNMGR_STATUS_UNKNOWN = 0x00;
constexpr DWORD CONNMGR_STATUS_CONNECTED = 0x10;
constexpr DWORD CONNMGR_STATUS_DISCONNECTED = 0x20;
constexpr DWORD CONNMGR_STATUS_CONNECTIONFAILED = 0x21;
constexpr DWORD CONNMGR_STATUS_NOPATHTODESTINATION = 0x24;

// The record's size follows the host's pointer width (a window handle and
// a message parameter are pointer-sized): 64 bytes on the handset, more here.
struct CONNMGR_CONNECTIONINFO {
  DWORD cbSize;
  DWORD dwParams;
  DWORD dwFlags;
  DWORD dwPriority;
  BOOL bExclusive;
  BOOL bDisabled;
  GUID guidDestNet;
  HANDLE hWnd;
  UINT uMsg;
  intptr_t lParam;
  ULONG ulMaxCost;
  ULONG ulMinRcvBw;
  ULONG ulMaxConnLatency;
};

// S_OK with the internet's destination network and index 0 for any URL;
// E_INVALIDARG for a null argument.
HRESULT ConnMgrMapURL(LPCWSTR url, GUID* destination, DWORD* index);
// S_OK with a connection handle and CONNMGR_STATUS_CONNECTED while the
// device is online; E_FAIL with CONNMGR_STATUS_NOPATHTODESTINATION and a
// null handle while it is offline; E_INVALIDARG for a bad record (cbSize
// other than sizeof) or a null out-pointer. The time-out is not needed: the
// answer is immediate.
HRESULT ConnMgrEstablishConnectionSync(CONNMGR_CONNECTIONINFO* info, HANDLE* connection, DWORD timeoutMs,
                                       DWORD* status);
// Releases a handle from ConnMgrEstablishConnectionSync; E_HANDLE for any other.
HRESULT ConnMgrReleaseConnection(HANDLE connection, LONG cache);
HRESULT ConnMgrConnectionStatus(HANDLE connection, DWORD* status);

// ---- The device's network ------------------------------------------------------------
// Device-wide and kept in the device's settings: an offline device has no
// connection and no download reaches the network.
BOOL SetDeviceOnline(BOOL online);
BOOL GetDeviceOnline();

// The bounds of every download of the device (device settings; 0 keeps the
// built-in value: 64 MiB, 60 s without a byte, 30 minutes in all).
struct DownloadLimits {
  ULONGLONG maxBytes;
  DWORD stallMs;
  DWORD totalMs;
};
BOOL SetDownloadLimits(const DownloadLimits& limits);
DownloadLimits GetDownloadLimits();

// The certificates HTTPS downloads of the device trust: a PEM bundle on the
// host (a private update server's own authority), or the host's store when
// empty (the default).
BOOL SetTrustedCertificates(const std::string& hostPemFile);
std::string GetTrustedCertificates();

}  // namespace ce
