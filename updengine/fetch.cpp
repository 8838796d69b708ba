// The fetch step: bring the index files and the new definition packages of
// every update location (internet) or of the local update folder into the
// working folder "temp", deciding on the way whether anything is new.
#include <array>
#include <cstring>
#include <functional>
#include <memory>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/network.h"
#include "ce/text.h"
#include "common/options_files.h"
#include "updengine/download_status.h"
#include "updengine/engine.h"
#include "updengine/index_list.h"
#include "updengine/signature.h"
#include "updengine/source_list.h"
#include "updengine/update_log.h"

namespace nx::upd {

using namespace ce;

namespace {

// What one step of the fetch came to: go on, or end the fetch with a result.
struct Step {
  bool ok;
  int32_t result;
};
constexpr Step kGoOn{true, kSuccess};
Step endWith(int32_t result) { return {false, result}; }

bool firstByte(const std::u16string& path, uint8_t& b) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD got = 0;
  BOOL ok = ReadFile(f, &b, 1, &got, nullptr);
  CloseHandle(f);
  return ok && got == 1;
}

// The optional signature check of the fetched files.
class Authentication {
 public:
  Authentication() { required_ = deviceUpdateKey(key_); }
  bool required() const { return required_; }
  bool verify(const std::u16string& sigPath, const std::u16string& indexPath) {
    sig_ = std::make_unique<IndexSignature>(key_);
    std::vector<uint8_t> sig, index;
    return readSmallFile(sigPath, sig, 64u << 20) && readSmallFile(indexPath, index, 64u << 20) &&
           sig_->verify(sig, index);
  }
  bool covers(const ListEntry& e, const std::u16string& path) const { return sig_ && sig_->covers(e, path); }

 private:
  bool required_ = false;
  std::array<uint8_t, 32> key_{};
  std::unique_ptr<IndexSignature> sig_;
};

// The steps both sources share once "index.bin" is in the working folder:
// the up-to-date test, the index, the signature, the list and the packages.
// `bring` fetches one file of the source into the working folder and
// answers how that went.
Step fetchFromSource(Run& run, FileList& list, const std::function<Step(const std::u16string&)>& bring,
                     const std::function<Step(const ListEntry&)>& beforePackage) {
  const std::u16string workIndexBin = joinPath(run.tempDir, kIndexBin);
  uint8_t installed = 0, fetched = 0;
  if (firstByte(joinPath(run.installDir, kIndexBin), installed) && firstByte(workIndexBin, fetched) &&
      installed == fetched) {
    log::write(log::kProgress, u"FetchDefs", u"index.bin unchanged: up to date");
    return endWith(run.abortable(NX_UPD_UP_TO_DATE) ? kResultInterrupted : kResultUpToDate);
  }
  if (Step s = bring(kIndexDat); !s.ok) return s;

  Authentication auth;
  if (auth.required()) {
    Step s = bring(kIndexSig);
    if (!s.ok && (stoppedMark() || s.result == kResultInterrupted)) return s;
    if (!s.ok || !auth.verify(joinPath(run.tempDir, kIndexSig), joinPath(run.tempDir, kIndexDat))) {
      log::write(log::kError, u"FetchDefs", u"index.sig missing or not valid for this device's key");
      return endWith(run.abortable(NX_UPD_CORRUPT) ? kResultInterrupted : kResultCorrupt);
    }
  }

  switch (buildList(joinPath(run.installDir, kIndexDat), joinPath(run.tempDir, kIndexDat), list)) {
    case kListNothingNew:
      emptyFolder(run.tempDir);
      return endWith(run.abortable(NX_UPD_UP_TO_DATE) ? kResultInterrupted : kResultUpToDate);
    case kListDamaged:
    case kListCannotRead:
      log::write(log::kError, u"BuildList", u"index.dat damaged or unreadable");
      return endWith(run.abortable(NX_UPD_CORRUPT) ? kResultInterrupted : kResultCorrupt);
    case kListNotForPlatform:
      return endWith(run.abortable(NX_UPD_WRONG_PLATFORM) ? kResultInterrupted : kResultNotApplicable);
    default:
      break;
  }
  if (list.empty()) return endWith(run.abortable(NX_UPD_CORRUPT) ? kResultInterrupted : kResultCorrupt);

  for (const ListEntry& e : list) {
    if (Step s = beforePackage(e); !s.ok) return s;
    if (Step s = bring(e.name); !s.ok) return s;
    const std::u16string path = joinPath(run.tempDir, e.name);
    if (!checkPackage(path)) {
      log::write(log::kError, u"CheckPackage", u"%s is not for this platform", e.name.c_str());
      return endWith(run.abortable(NX_UPD_WRONG_PLATFORM) ? kResultInterrupted : kResultNotApplicable);
    }
    if (auth.required() && !auth.covers(e, path)) {
      log::write(log::kError, u"FetchDefs", u"%s is not the package index.sig names", e.name.c_str());
      return endWith(run.abortable(NX_UPD_CORRUPT) ? kResultInterrupted : kResultCorrupt);
    }
  }
  return kGoOn;
}

// Puts the proxy back to "direct" when the location is done.
struct DirectAgain {
  ~DirectAgain() {
    INTERNET_PER_CONN_OPTIONW o{};
    o.dwOption = INTERNET_PER_CONN_FLAGS;
    o.Value.dwValue = PROXY_TYPE_DIRECT;
    INTERNET_PER_CONN_OPTION_LISTW list{};
    list.dwSize = sizeof list;
    list.dwOptionCount = 1;
    list.pOptions = &o;
    InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list);
    InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
    InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
  }
};

struct Connection {
  HANDLE h = nullptr;
  ~Connection() {
    if (h) ConnMgrReleaseConnection(h, 0);
  }
};

bool setProxy(const WM_INTERNET_OPTS& io, DownloadStatus& status) {
  WCHAR host[kProxyHostChars];
  getTextField(io.proxyHost, kProxyHostChars, host, kProxyHostChars);
  std::u16string server = text(u"%s:%u", host, unsigned(getU16(io.proxyPort)));
  std::u16string bypass = u"local";
  INTERNET_PER_CONN_OPTIONW o[3]{};
  o[0].dwOption = INTERNET_PER_CONN_FLAGS;
  o[0].Value.dwValue = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
  o[1].dwOption = INTERNET_PER_CONN_PROXY_SERVER;
  o[1].Value.pszValue = server.data();
  o[2].dwOption = INTERNET_PER_CONN_PROXY_BYPASS;
  o[2].Value.pszValue = bypass.data();
  INTERNET_PER_CONN_OPTION_LISTW list{};
  list.dwSize = sizeof list;
  list.dwOptionCount = 3;
  list.pOptions = o;
  if (!InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof list)) return false;
  InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
  InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
  WCHAR user[kProxyCredentialChars], password[kProxyCredentialChars];
  getTextField(io.proxyUser, kProxyCredentialChars, user, kProxyCredentialChars);
  getTextField(io.proxyPassword, kProxyCredentialChars, password, kProxyCredentialChars);
  if (user[0] && password[0]) status.setCredentials(user, password);
  return true;
}

// One location of the source list, from "index.bin" on.
Step fetchLocation(Run& run, const Location& loc, FileList& list) {
  WM_INTERNET_OPTS io{};
  if (!CWmOptionsGen::ReadInternetOpts(run.installDir.c_str(), &io, kOptionsReadCurrent)) return endWith(kFailed);
  run.marks = {};
  DownloadStatus status(run.marks);
  InternetSetOptionW(nullptr, INTERNET_OPTION_REFRESH, nullptr, 0);
  DirectAgain direct;
  if (io.bUseProxy == 1 && !setProxy(io, status)) return endWith(kFailed);

  Connection conn;
  CONNMGR_CONNECTIONINFO info{};
  info.cbSize = sizeof info;
  info.dwParams = CONNMGR_PARAM_GUIDDESTNET;
  info.dwFlags = CONNMGR_FLAG_PROXY_HTTP;
  info.dwPriority = CONNMGR_PRIORITY_USERINTERACTIVE;
  GUID net{};
  if (ConnMgrMapURL((loc.base + kIndexBin).c_str(), &net, nullptr) == S_OK) info.guidDestNet = net;
  DWORD connStatus = 0;
  // Not having a connection is not the end: the download says whether the network is there.
  if (ConnMgrEstablishConnectionSync(&info, &conn.h, 60000, &connStatus) != S_OK) {
    log::write(log::kError, u"FetchInternet", u"No connection (status %X)", unsigned(connStatus));
    conn.h = nullptr;
  }

  auto download = [&](const std::u16string& name) -> Step {
    const std::u16string url = loc.base + name;
    DeleteUrlCacheEntryW(url.c_str());
    status.setFile(name);
    status.clearStop();
    HRESULT hr = URLDownloadToFileW(nullptr, url.c_str(), joinPath(run.tempDir, name).c_str(), 0, &status);
    if (SUCCEEDED(hr)) {
      if (run.pauseStopCheck()) {
        run.progress(NX_UPD_STOPPED);
        return endWith(kFailed);
      }
      return kGoOn;
    }
    log::write(log::kError, u"URLDownloadToFile", u"%s. ERROR: %X", url.c_str(), unsigned(hr));
    if (status.stoppedInside()) {
      run.progress(NX_UPD_STOPPED);
      run.pauseStopCheck();  // sees the paused mark with Stop set: the 2002 report
      return endWith(kResultInterrupted);
    }
    // A signed update without its signature is refused as corrupt, not as
    // a failed connection.
    if (name == kIndexSig) return endWith(kFailed);
    run.progress(NX_UPD_DOWNLOAD_FAILED);
    return endWith(kResultNoConnection);
  };

  if (Step s = download(kIndexBin); !s.ok) return s;
  return fetchFromSource(run, list, download, [](const ListEntry&) { return kGoOn; });
}

}  // namespace

int32_t fetchInternet(Run& run, FileList& list) {
  list.clear();
  std::vector<Location> locations;
  int err = readSourceList(joinPath(run.installDir, u"httpdn.dat"), locations);
  if (err != kSourcesOk) {
    log::write(log::kError, u"ReadDatUrls", u"httpdn.dat cannot be read. ERROR: %d", err);
    return run.abortable(NX_UPD_CANNOT_START) ? kResultInterrupted : kFailed;
  }
  for (const Location& loc : locations) {
    if (run.abortable(NX_UPD_FETCHING_INDEX, kIndexBin)) return kResultInterrupted;
    FileList fresh;
    Step s = fetchLocation(run, loc, fresh);
    if (!s.ok) {
      list = std::move(fresh);
      return s.result;
    }
    list = std::move(fresh);  // a later location's list replaces an earlier one's
  }
  return run.abortable(NX_UPD_FETCHED) ? kResultInterrupted : kSuccess;
}

int32_t fetchLocal(Run& run, FileList& list) {
  list.clear();
  WCHAR folder[kUpdateFolderChars + 1];
  getTextField(run.updateOpts.localFolder, kUpdateFolderChars, folder, kUpdateFolderChars);
  std::u16string source = folder;
  if (source.empty() || source.back() != u'\\') source += u'\\';

  if (run.abortable(NX_UPD_FETCHING_INDEX, kIndexBin)) return kResultInterrupted;
  // Copies one file of the folder into the working folder.
  auto copy = [&](const std::u16string& name) -> Step {
    const std::u16string from = source + name;
    if (!fileExists(from)) {
      log::write(log::kError, u"FetchLocal", u"%s is missing", from.c_str());
      // The signature of a signed update is part of the update: without it
      // the update is refused as corrupt, not as "not found".
      if (name == kIndexSig) return endWith(kFailed);
      run.progress(NX_UPD_LOCAL_FILE_MISSING);
      return endWith(kResultNotFound);
    }
    reportTransfer(name.c_str(), 0, 0);
    if (!CopyFileW(from.c_str(), joinPath(run.tempDir, name).c_str(), FALSE)) {
      log::write(log::kError, u"FetchLocal", u"CopyFile:%s. ERROR: %d", from.c_str(), int(GetLastError()));
      run.progress(NX_UPD_DOWNLOAD_FAILED);
      return endWith(kFailed);
    }
    WIN32_FIND_DATAW d;
    HANDLE f = FindFirstFileW(from.c_str(), &d);
    uint64_t size = 0;
    if (f != INVALID_HANDLE_VALUE) {
      size = (uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
      FindClose(f);
    }
    reportTransfer(name.c_str(), size, size);
    if (run.pauseStopCheck()) {
      run.progress(NX_UPD_STOPPED);
      return endWith(kFailed);
    }
    return kGoOn;
  };
  // A package is checked in the folder before it is copied.
  auto beforePackage = [&](const ListEntry& e) -> Step {
    const std::u16string from = source + e.name;
    if (fileExists(from) && !checkPackage(from)) {
      log::write(log::kError, u"CheckPackage", u"%s is not for this platform", e.name.c_str());
      run.progress(NX_UPD_WRONG_PLATFORM);
      return endWith(kResultNotApplicable);
    }
    return kGoOn;
  };
  if (Step s = copy(kIndexBin); !s.ok) return s.result;
  Step s = fetchFromSource(run, list, copy, beforePackage);
  if (!s.ok) return s.result;
  return run.abortable(NX_UPD_FETCHED) ? kResultInterrupted : kSuccess;
}

}  // namespace nx::upd
