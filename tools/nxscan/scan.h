// nxscan's use of the scanning API: the exports it needs, the session, and
// the scan of one file with what is done to it, shared by the scan of host
// paths and the card scan the guard starts (scanner.exe).
#pragma once

#include <cstdint>
#include <string>

#include "ce/ce.h"
#include "nyxel/avapi.h"

namespace nxscan {

struct Api {
  PFN_NxInitScan init = nullptr;
  PFN_NxDeinitScan deinit = nullptr;
  PFN_NxOpenFile open = nullptr;
  PFN_NxScanFile scan = nullptr;
  PFN_NxScanFileEx scanEx = nullptr;
  PFN_NxSetCallBack setCallBack = nullptr;
  PFN_NxCloseFile close = nullptr;
  PFN_NxSetScanLimits setLimits = nullptr;  // optional: engines before scan limits lack it
};

// What is done to an infected file: the answer to the threat, and (after a
// repair that failed) the answer to the unrepairable file. NX_ANSWER_QUARANTINE
// moves the file into the installation's quarantine store (kind 7).
struct Plan {
  bool act = false;  // false: report only
  int32_t onThreat = NX_ANSWER_REPAIR;
  int32_t onUnrepairable = NX_ANSWER_SKIP;
  bool allowsDelete() const {
    return act && (onThreat == NX_ANSWER_DELETE || onUnrepairable == NX_ANSWER_DELETE);
  }
};

struct Outcome {
  std::string result;  // clean, infected, error, unscannable, limits, skipped
  uint32_t limits = 0;  // NX_LIMIT_* bits of a "limits" result
  std::string threat;
  int category = 0;
  int type = 0;
  uint64_t length = 0;
  std::string member;  // display path inside the archive, "/"-separated
  // none, repaired, not-cleaned, clean-failed, deleted, quarantined, quarantine-failed
  std::string action = "none";
  std::string reason;  // why the file could not be scanned or acted on
  bool actionFailed() const { return action == "clean-failed" || action == "quarantine-failed"; }
};

// The scanning exports of avapi.dll in installDir; false with the reason.
bool loadApi(const std::u16string& installDir, Api* api, std::string* why);

// A session over the installation with a temporary folder of its own for
// archive members; false with the reason.
struct SessionSettings {
  bool archives = true;
  int depth = 5;
  unsigned categories = NX_CATEGORY_ALL;
  bool allowDelete = false;
  NxScanLimits limits{sizeof(NxScanLimits), 0, NX_DEFAULT_MAX_FILES, NX_DEFAULT_MAX_SCAN_SIZE,
                      NX_DEFAULT_MAX_SCAN_TIME_MS, 0};
  bool limitsGiven = false;  // limits were asked for: an engine without them is refused
};
class Session {
 public:
  Session(const Api& api, const std::u16string& installDir) : api_(api), install_(installDir) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  bool start(const SessionSettings& settings, std::string* why);
  // Ends the session and removes its temporary folder (also on destruction).
  void end();
  NxSession handle() const { return session_; }

 private:
  const Api& api_;
  std::u16string install_, temp_;
  NxSession session_ = nullptr;
};

// Scans the file at devicePath and carries out the plan. hostPath (may be
// empty) is the same file seen from the host, for the reason of an error.
Outcome scanOne(const Api& api, NxSession session, const std::u16string& installDir, const Plan& plan,
                bool archives, const std::u16string& devicePath, const std::string& hostPath);

}  // namespace nxscan
