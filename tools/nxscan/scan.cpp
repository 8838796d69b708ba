#include "scan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/quarantine_store.h"

namespace nxscan {

namespace {

// Types the engine has scanners for (archives only while they are opened).
bool scannableType(int type, bool archives) {
  switch (type) {
    case 5010: case 5074: case 5092: return archives || type == 5074;
    case 5075: case 5081: case 5082: case 5083: case 5084: case 5093: return true;
    default: return false;
  }
}

// What the interactive scan decides for one file and what the session did;
// travels whole as the caller context of the callback.
struct Decision {
  const Plan* plan;
  std::string action = "not-cleaned";
  bool quarantine = false;
};

int32_t decide(ScanReport* r, uintptr_t context, uintptr_t) {
  auto* d = reinterpret_cast<Decision*>(context);
  switch (r->code) {
    case NX_CB_THREAT:
    case NX_CB_ARCHIVE_THREAT: return d->plan->onThreat;
    case NX_CB_NOT_REPAIRABLE: return d->plan->onUnrepairable;
    case NX_CB_REPAIRED: d->action = "repaired"; return NX_ANSWER_CONTINUE;
    case NX_CB_DELETED: d->action = "deleted"; return NX_ANSWER_CONTINUE;
    case NX_CB_ERROR: d->action = "clean-failed"; return NX_ANSWER_CONTINUE;
    // The file is closed first; the store then takes it (after the scan).
    case NX_CB_QUARANTINE: d->quarantine = true; return NX_ANSWER_CONTINUE;
    case NX_CB_MEMBER_THREAT: return NX_ANSWER_SKIP;  // mapped to "continue": the archive is handled whole
    default: return NX_ANSWER_CONTINUE;
  }
}

// Moves the file into the store; the outcome says how that went.
void quarantine(const std::u16string& installDir, const std::u16string& devicePath, const std::string& threat,
                Outcome& out) {
  nx::QuarantineRequest req;
  std::u16string threat16 = ce::utf8ToUtf16(threat);
  nx::QuarantineStore store(installDir.c_str());
  if (nx::makeQuarantineRequest(devicePath.c_str(), threat16.c_str(), nx::kQuarantineMove, &req) &&
      store.Quarantine(req)) {
    out.action = "quarantined";
    return;
  }
  out.action = "quarantine-failed";
  out.reason = "cannot quarantine: " + nx::quarantineErrorText(ce::GetLastError(), store.databaseStatus());
}

}  // namespace

bool loadApi(const std::u16string& installDir, Api* api, std::string* why) {
  std::string shown = ce::utf16ToUtf8(installDir);
  ce::HMODULE avapi = ce::LoadLibraryW((installDir + u"\\avapi.dll").c_str());
  if (!avapi) {
    *why = "cannot load avapi.dll from " + shown + " (run 'nxdevice install')";
    return false;
  }
  api->init = reinterpret_cast<PFN_NxInitScan>(ce::GetProcAddressW(avapi, u"NxInitScan"));
  api->deinit = reinterpret_cast<PFN_NxDeinitScan>(ce::GetProcAddressW(avapi, u"NxDeinitScan"));
  api->open = reinterpret_cast<PFN_NxOpenFile>(ce::GetProcAddressW(avapi, u"NxOpenFile"));
  api->scan = reinterpret_cast<PFN_NxScanFile>(ce::GetProcAddressW(avapi, u"NxScanFile"));
  api->scanEx = reinterpret_cast<PFN_NxScanFileEx>(ce::GetProcAddressW(avapi, u"NxScanFileEx"));
  api->setCallBack = reinterpret_cast<PFN_NxSetCallBack>(ce::GetProcAddressW(avapi, u"NxSetCallBack"));
  api->close = reinterpret_cast<PFN_NxCloseFile>(ce::GetProcAddressW(avapi, u"NxCloseFile"));
  api->setLimits = reinterpret_cast<PFN_NxSetScanLimits>(ce::GetProcAddressW(avapi, u"NxSetScanLimits"));
  if (!api->init || !api->deinit || !api->open || !api->scan || !api->scanEx || !api->setCallBack || !api->close) {
    *why = "avapi.dll in " + shown + " lacks the scanning exports";
    return false;
  }
  return true;
}

Session::~Session() { end(); }

void Session::end() {
  if (session_) api_.deinit(session_);
  session_ = nullptr;
  if (!temp_.empty()) ce::RemoveDirectoryW(temp_.c_str());
  temp_.clear();
}

bool Session::start(const SessionSettings& s, std::string* why) {
  // Each run gets its own temporary folder for extracted archive members.
  temp_ = u"\\Temp\\nxscan-" + ce::utf8ToUtf16(std::to_string(::getpid()));
  ce::CreateDirectoryW(u"\\Temp", nullptr);
  ce::CreateDirectoryW(temp_.c_str(), nullptr);

  NxScanOptions o{};
  o.size = NX_OPTIONS_SIZE;
  o.allowDelete = s.allowDelete ? 1 : 0;
  o.maxDepth = static_cast<int16_t>(s.depth);
  o.scanArchives = s.archives ? 1 : 0;
  std::memcpy(o.installDir, install_.c_str(), std::min<size_t>(install_.size(), 255) * 2);
  std::memcpy(o.tempDir, temp_.c_str(), std::min<size_t>(temp_.size(), 255) * 2);
  o.categories = static_cast<uint16_t>(s.categories);
  if (api_.init(&o, &session_) != 1) {
    session_ = nullptr;
    *why = "the engine in " + ce::utf16ToUtf8(install_) +
           " did not start (missing or damaged modules or signature files; see nxdebug.log)";
    return false;
  }
  if (api_.setCallBack(session_, decide) != 1) {
    *why = "the engine refused the scan callback";
    return false;
  }
  if ((api_.setLimits || s.limitsGiven) && (!api_.setLimits || api_.setLimits(session_, &s.limits) != 1)) {
    *why = "the engine in " + ce::utf16ToUtf8(install_) + " takes no scan limits (install a newer image)";
    return false;
  }
  return true;
}

Outcome scanOne(const Api& api, NxSession session, const std::u16string& installDir, const Plan& plan,
                bool archives, const std::u16string& dev, const std::string& host) {
  Outcome out;
  if (dev.size() > NX_PATH_MAX) {
    out.result = "error";
    out.reason = "path longer than the handset's 1023 characters";
    return out;
  }
  NxFileHandle h = nullptr;
  int32_t rc = api.open(session, dev.c_str(), &h);
  if (rc != 1) {
    // The device refuses pipes, sockets and device nodes rather than wait on
    // them: such a file was never looked at, which is neither clean nor a
    // fault of the scan.
    struct stat st;
    if (!host.empty() && ::stat(host.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
      out.result = "skipped";
      out.reason = "not a regular file";
      return out;
    }
    out.result = "error";
    if (!host.empty() && ::access(host.c_str(), R_OK) != 0)
      out.reason = std::strerror(errno);
    else if (dev.size() >= ce::MAX_PATH)
      out.reason = "path longer than the device's 259 characters";
    else
      out.reason = rc == NX_RESULT_ERROR ? "the engine cannot read the file" : "refused by the scanning API";
    return out;
  }
  ScanReport r{};
  rc = api.scan(h, &r);
  out.type = r.type;
  out.length = r.length;
  if (rc == NX_RESULT_THREAT) {
    out.result = "infected";
    out.threat = ce::utf16ToUtf8(std::u16string(r.threat));
    out.category = r.category;
    std::u16string shown(r.path);
    if (r.code == NX_REPORT_THREAT_IN_MEMBER && shown.size() > dev.size() && shown.compare(0, dev.size(), dev) == 0)
      out.member = ce::utf16ToUtf8(shown.substr(dev.size() + 1));
    if (plan.act) {
      // The interactive scan carries the decision: the session layer
      // repairs, deletes, or hands the file back to be quarantined.
      api.close(&h, 0);
      Decision d{&plan};
      if (api.open(session, dev.c_str(), &h) == 1) {
        api.scanEx(session, h, reinterpret_cast<uintptr_t>(&d));
        api.close(&h, 0);
        if (d.quarantine) {
          quarantine(installDir, dev, out.threat, out);
          return out;
        }
      } else {
        d.action = "clean-failed";
      }
      out.action = d.action;
    }
  } else if (rc == NX_RESULT_CLEAN) {
    out.result = scannableType(out.type, archives) ? "clean" : "unscannable";
  } else if (rc == NX_RESULT_INCOMPLETE) {
    out.result = "limits";
    out.limits = r.limits;
  } else {
    out.result = "error";
    out.reason = "the engine failed on the file";
  }
  api.close(&h, 0);
  return out;
}

}  // namespace nxscan
