// The download status object of one update location: handed to every
// download of the location, it carries the pause/stop protocol into the
// download (a pause holds the download inside its progress notification;
// a stop abandons it) and answers the proxy's question for credentials.
#pragma once

#include <string>

#include "ce/network.h"
#include "updengine/engine.h"

namespace nx::upd {

class DownloadStatus : public ce::IBindStatusCallback {
 public:
  explicit DownloadStatus(DownloadMarks& marks) : marks_(marks) {}

  // Credentials for a proxy that asks; only when both are non-empty.
  void setCredentials(const std::u16string& user, const std::u16string& password);
  // The name shown to the caller's byte-progress display.
  void setFile(const std::u16string& name) { file_ = name; }

  ce::HRESULT OnProgress(ce::ULONG progress, ce::ULONG progressMax, ce::ULONG statusCode,
                         const ce::WCHAR* statusText) override;
  ce::HRESULT Authenticate(ce::HANDLE* window, ce::WCHAR** userName, ce::WCHAR** password) override;

  // True when the last download was abandoned because a controller stopped
  // the update while it was paused inside it.
  bool stoppedInside() const { return stoppedInside_; }
  void clearStop() { stoppedInside_ = false; }

 private:
  DownloadMarks& marks_;
  std::u16string user_, password_, file_;
  bool stoppedInside_ = false;
};

}  // namespace nx::upd
