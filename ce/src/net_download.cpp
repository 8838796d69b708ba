// URLDownloadToFileW over libcurl. The body goes into a temporary file beside
// the destination, which takes the destination's name only once the whole
// body is there: a download that fails, is abandoned or is cut short never
// leaves half a file under the name the caller will read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/network.h"
#include "ce/text.h"
#include "ce/time.h"
#include "net_curl.h"
#include "net_internal.h"

namespace ce {

using namespace detail;

namespace {

enum class Stop { None, UserAbort, TooLarge, Stalled, OverTime, WriteFailed, BadStatus };

// A notification of the caller is repeated at least this often (host time)
// while a transfer runs, so that a caller holding a download paused from
// inside OnProgress is asked again even while the server sends nothing.
constexpr int64_t kRenotifyNs = 400'000'000;

struct Transfer {
  const CurlApi* api = nullptr;
  CURL* curl = nullptr;
  IBindStatusCallback* cb = nullptr;
  std::u16string url;
  HANDLE out = INVALID_HANDLE_VALUE;
  DownloadLimits limits{};
  uint64_t written = 0;
  long status = 0;  // HTTP status of the response whose body is arriving
  bool statusChecked = false;
  bool begun = false;
  Stop stop = Stop::None;
  DWORD writeError = 0;
  // Device time (100 ns) the transfer has run, not counting the caller's callbacks.
  int64_t callbackTime = 0;
  int64_t startDevice = 0;
  int64_t lastByteActive = 0;
  uint64_t lastNow = 0;
  int64_t lastNotifyHost = 0;

  int64_t activeNow() const { return clock::deviceNow100ns() - callbackTime - startDevice; }

  // Calls the caller; true when it asked to abandon the download.
  bool notify(ULONG progress, ULONG max, ULONG code) {
    lastNotifyHost = clock::hostMonotonicNs();
    if (!cb) return false;
    int64_t before = clock::deviceNow100ns();
    HRESULT hr = cb->OnProgress(progress, max, code, url.c_str());
    callbackTime += clock::deviceNow100ns() - before;
    if (hr == E_ABORT) {
      stop = Stop::UserAbort;
      return true;
    }
    return false;
  }
};

ULONG clampUlong(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(v); }

bool okStatus(long code) { return code >= 200 && code < 300; }

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (!t->statusChecked) {
    t->statusChecked = true;
    t->api->easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &t->status);
    if (!okStatus(t->status)) {
      // The body of a refusal (401, 407, 404...) is not the file; stop reading it.
      t->stop = Stop::BadStatus;
      return 0;
    }
    curl_off_t announced = -1;
    if (t->api->easy_getinfo(t->curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) == CURLE_OK && announced > 0 &&
        static_cast<uint64_t>(announced) > t->limits.maxBytes) {
      t->stop = Stop::TooLarge;
      return 0;
    }
  }
  if (t->written + n > t->limits.maxBytes) {
    t->stop = Stop::TooLarge;
    return 0;
  }
  DWORD put = 0;
  if (n && (!WriteFile(t->out, data, static_cast<DWORD>(n), &put, nullptr) || put != n)) {
    t->writeError = GetLastError();
    t->stop = Stop::WriteFailed;
    return 0;
  }
  t->written += n;
  return n;
}

int onProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  const int64_t active = t->activeNow();
  const uint64_t now = dlnow > 0 ? static_cast<uint64_t>(dlnow) : 0;
  const bool moved = now != t->lastNow;
  if (moved) {
    t->lastNow = now;
    t->lastByteActive = active;
  }
  if (active - t->lastByteActive > static_cast<int64_t>(t->limits.stallMs) * 10000) {
    t->stop = Stop::Stalled;
    return 1;
  }
  if (active > static_cast<int64_t>(t->limits.totalMs) * 10000) {
    t->stop = Stop::OverTime;
    return 1;
  }
  const ULONG max = dltotal > 0 ? clampUlong(static_cast<uint64_t>(dltotal)) : 0;
  if (now > 0 && !t->begun) {
    t->begun = true;
    if (t->notify(clampUlong(now), max, BINDSTATUS_BEGINDOWNLOADDATA)) return 1;
  }
  if (moved || clock::hostMonotonicNs() - t->lastNotifyHost >= kRenotifyNs) {
    if (t->notify(clampUlong(now), max, t->begun ? BINDSTATUS_DOWNLOADINGDATA : BINDSTATUS_CONNECTING)) return 1;
  }
  return 0;
}

std::string lowerAscii(std::string s) {
  for (auto& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// Scheme and host of an http(s) URL; false for anything else.
bool splitUrl(const std::string& url, std::string& scheme, std::string& host) {
  size_t colon = url.find("://");
  if (colon == std::string::npos) return false;
  scheme = lowerAscii(url.substr(0, colon));
  size_t start = colon + 3;
  size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (size_t at = authority.rfind('@'); at != std::string::npos) authority = authority.substr(at + 1);
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    host = close == std::string::npos ? authority : authority.substr(1, close - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  return true;
}

// A name for the body beside the destination, free at this moment.
bool createTemporary(const std::u16string& dest, std::u16string& tmp, HANDLE& h) {
  size_t slash = dest.find_last_of(u"\\/");
  std::u16string dir = slash == std::u16string::npos ? std::u16string() : dest.substr(0, slash + 1);
  static uint32_t counter = 0;
  uint32_t seed = static_cast<uint32_t>(clock::hostMonotonicNs()) ^ (GetCurrentThreadId() << 16);
  for (int attempt = 0; attempt < 32; ++attempt) {
    WCHAR name[32];
    format16(name, 32, u"~dl%08X.tmp", seed + __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED) * 2654435761u);
    tmp = dir + name;
    h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) return true;
    DWORD e = GetLastError();
    if (e != ERROR_FILE_EXISTS && e != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

// The destination takes the finished body's name.
bool putInPlace(const std::u16string& tmp, LPCWSTR dest) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (MoveFileW(tmp.c_str(), dest)) return true;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
    if (!DeleteFileW(dest) && GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  }
  return false;
}

HRESULT curlFailure(CURLcode rc, const Transfer& t) {
  switch (t.stop) {
    case Stop::UserAbort: return E_ABORT;
    case Stop::Stalled:
    case Stop::OverTime: return INET_E_CONNECTION_TIMEOUT;
    case Stop::TooLarge:
    case Stop::WriteFailed: return INET_E_DOWNLOAD_FAILURE;
    case Stop::BadStatus:
    case Stop::None: break;
  }
  switch (rc) {
    // The URL itself was http(s): a scheme refused now is where a redirect led.
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_TOO_MANY_REDIRECTS: return INET_E_REDIRECT_FAILED;
    case CURLE_URL_MALFORMAT: return INET_E_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_HOST: return INET_E_RESOURCE_NOT_FOUND;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT: return INET_E_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT: return INET_E_CONNECTION_TIMEOUT;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED: return INET_E_SECURITY_PROBLEM;
    default: return INET_E_DOWNLOAD_FAILURE;
  }
}

HRESULT statusFailure(long status) {
  if (status == 401 || status == 407) return INET_E_AUTHENTICATION_REQUIRED;
  if (status == 404 || status == 410) return INET_E_RESOURCE_NOT_FOUND;
  return INET_E_DOWNLOAD_FAILURE;
}

struct Credentials {
  std::string user, password;
  bool asked = false;
};

// Asks the caller once; false when it gives no user name.
bool askCredentials(IBindStatusCallback* cb, Credentials& c) {
  if (c.asked || !cb) return false;
  c.asked = true;
  HANDLE window = nullptr;
  LPWSTR user = nullptr, password = nullptr;
  HRESULT hr = cb->Authenticate(&window, &user, &password);
  if (hr == S_OK && user && *user) {
    c.user = utf16ToUtf8(user);
    c.password = password ? utf16ToUtf8(password) : std::string();
  }
  CoTaskMemFree(user);
  CoTaskMemFree(password);
  return !c.user.empty();
}

}  // namespace

HRESULT URLDownloadToFileW(void*, LPCWSTR url, LPCWSTR fileName, DWORD, LPBINDSTATUSCALLBACK callback) {
  if (!url || !fileName || !*url || !*fileName) return E_INVALIDARG;
  const std::string url8 = utf16ToUtf8(url);
  std::string scheme, host;
  if (!splitUrl(url8, scheme, host)) return INET_E_INVALID_URL;
  if (scheme != "http" && scheme != "https") return INET_E_UNKNOWN_PROTOCOL;
  if (host.empty()) return INET_E_INVALID_URL;

  Transfer t;
  t.cb = callback;
  t.url = url;
  t.limits = effectiveLimits();
  if (t.notify(0, 0, BINDSTATUS_FINDINGRESOURCE)) return E_ABORT;
  if (!GetDeviceOnline()) return INET_E_CANNOT_CONNECT;
  t.api = curlApi();
  if (!t.api) return INET_E_NO_SESSION;

  std::u16string tmp;
  if (!createTemporary(fileName, tmp, t.out)) return INET_E_DOWNLOAD_FAILURE;
  t.curl = t.api->easy_init();
  if (!t.curl) {
    CloseHandle(t.out);
    DeleteFileW(tmp.c_str());
    return E_OUTOFMEMORY;
  }
  const CurlApi& a = *t.api;
  CURL* c = t.curl;
  const std::string proxy = proxyFor(scheme, host);
  const std::string caFile = caFileSetting();
  const std::string proxyUrl = proxy.empty() ? std::string() : "http://" + proxy;
  curl_slist* headers = a.slist_append(nullptr, "Cache-Control: no-cache");
  headers = headers ? a.slist_append(headers, "Pragma: no-cache") : nullptr;
  a.easy_setopt(c, CURLOPT_URL, url8.c_str());
  a.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  // A redirect may upgrade to https but never leave http(s), and an https
  // download never continues in the clear.
  a.easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, scheme == "https" ? "https" : "http,https");
  a.easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  a.easy_setopt(c, CURLOPT_MAXREDIRS, 8L);
  a.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  a.easy_setopt(c, CURLOPT_USERAGENT, "Nyxel AntiVirus");
  if (headers) a.easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  // An empty proxy also keeps the host's http_proxy variables out of it.
  a.easy_setopt(c, CURLOPT_PROXY, proxyUrl.c_str());
  if (!caFile.empty()) a.easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
  a.easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS,
                static_cast<long>(std::max<int64_t>(clock::hostDurationNs(t.limits.stallMs) / 1000000, 1)));
  a.easy_setopt(c, CURLOPT_WRITEFUNCTION, &onBody);
  a.easy_setopt(c, CURLOPT_WRITEDATA, &t);
  a.easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &onProgress);
  a.easy_setopt(c, CURLOPT_XFERINFODATA, &t);
  a.easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

  Credentials proxyAuth, serverAuth;
  HRESULT result = S_OK;
  CURLcode rc = CURLE_OK;
  bool aborted = false;
  if (t.notify(0, 0, BINDSTATUS_CONNECTING)) aborted = true;
  t.startDevice = clock::deviceNow100ns();
  for (int attempt = 0; !aborted && attempt < 3; ++attempt) {
    t.stop = Stop::None;
    t.status = 0;
    t.statusChecked = false;
    t.written = 0;
    t.lastNow = 0;
    t.lastByteActive = t.activeNow();
    SetFilePointer(t.out, 0, nullptr, FILE_BEGIN);
    SetEndOfFile(t.out);
    rc = a.easy_perform(c);
    long code = t.status;
    if (!t.statusChecked) a.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
    long connectCode = 0;
    a.easy_getinfo(c, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    if (t.stop == Stop::UserAbort || t.stop == Stop::Stalled || t.stop == Stop::OverTime ||
        t.stop == Stop::TooLarge || t.stop == Stop::WriteFailed) {
      result = curlFailure(rc, t);
      break;
    }
    // A proxy or a server asking who we are gets the caller's credentials once.
    if (code == 407 || connectCode == 407) {
      if (askCredentials(callback, proxyAuth)) {
        a.easy_setopt(c, CURLOPT_PROXYUSERNAME, proxyAuth.user.c_str());
        a.easy_setopt(c, CURLOPT_PROXYPASSWORD, proxyAuth.password.c_str());
        a.easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<unsigned long>(CURLAUTH_BASIC));
        continue;
      }
      result = INET_E_AUTHENTICATION_REQUIRED;
      break;
    }
    if (code == 401) {
      if (askCredentials(callback, serverAuth)) {
        a.easy_setopt(c, CURLOPT_USERNAME, serverAuth.user.c_str());
        a.easy_setopt(c, CURLOPT_PASSWORD, serverAuth.password.c_str());
        a.easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_BASIC));
        continue;
      }
      result = INET_E_AUTHENTICATION_REQUIRED;
      break;
    }
    if (t.stop == Stop::BadStatus || (rc == CURLE_OK && !okStatus(code))) {
      result = statusFailure(code);
      break;
    }
    result = rc == CURLE_OK ? S_OK : curlFailure(rc, t);
    break;
  }
  if (aborted) result = E_ABORT;
  a.easy_cleanup(c);
  if (headers) a.slist_free_all(headers);

  if (result == S_OK) {
    const ULONG total = clampUlong(t.written);
    if (t.notify(total, total, BINDSTATUS_ENDDOWNLOADDATA)) result = E_ABORT;
  }
  bool closed = CloseHandle(t.out);
  if (result == S_OK && !closed) result = INET_E_DOWNLOAD_FAILURE;
  if (result == S_OK && !putInPlace(tmp, fileName)) result = INET_E_DOWNLOAD_FAILURE;
  if (result != S_OK) {
    DWORD e = t.writeError ? t.writeError : GetLastError();
    DeleteFileW(tmp.c_str());
    SetLastError(e);
  }
  return result;
}

}  // namespace ce
