#include "updengine/download_status.h"

#include <cstring>

#include "ce/kernel.h"
#include "updengine/update_log.h"

namespace nx::upd {

using namespace ce;

namespace {

WCHAR* copyOut(const std::u16string& s) {
  auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
  if (p) std::memcpy(p, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
  return p;
}

}  // namespace

void DownloadStatus::setCredentials(const std::u16string& user, const std::u16string& password) {
  user_ = user;
  password_ = password;
}

HRESULT DownloadStatus::OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode, const WCHAR*) {
  if (statusCode == BINDSTATUS_BEGINDOWNLOADDATA || statusCode == BINDSTATUS_DOWNLOADINGDATA ||
      statusCode == BINDSTATUS_ENDDOWNLOADDATA)
    reportTransfer(file_.c_str(), progress, progressMax);
  Events& ev = events();
  if (!ev.pause || WaitForSingleObject(ev.pause, 0) != WAIT_OBJECT_0) return S_OK;
  marks_.paused = true;
  log::write(log::kProgress, u"OnProgress", u"Download of %s paused", file_.c_str());
  // Held here until a controller resumes or stops; the download's time
  // limits do not count the wait.
  HANDLE both[2] = {ev.resume, ev.stop};
  DWORD w = WaitForMultipleObjects(2, both, FALSE, INFINITE);
  if (w == WAIT_OBJECT_0) {
    marks_.resumed = true;
    ResetEvent(ev.resume);
    ResetEvent(ev.pause);
    return S_OK;
  }
  ResetEvent(ev.pause);
  stoppedInside_ = true;
  return E_ABORT;
}

HRESULT DownloadStatus::Authenticate(HANDLE*, WCHAR** userName, WCHAR** password) {
  if (!userName || !password || user_.empty() || password_.empty()) return E_NOTIMPL;
  *userName = copyOut(user_);
  *password = copyOut(password_);
  if (!*userName || !*password) {
    CoTaskMemFree(*userName);
    CoTaskMemFree(*password);
    *userName = *password = nullptr;
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace nx::upd
