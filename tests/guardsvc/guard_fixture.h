// Test support for the on-access guard: a device with the install image (and
// optionally the guard's test scanner module), the guard running in the
// device's service host as "OLN0:" or in the test's own process, and readers
// of what it leaves behind: reports and their index, the screen journal, the
// quarantine store, its statistics.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ce/ce.h"
#include "common/quarantine_db.h"
#include "guardsvc/diagnostics.h"
#include "testkit.h"

namespace guardtest {

using Json = nlohmann::json;

std::u16string u16(const std::string& s);
std::string u8(const std::u16string& s);
std::string u8(const char16_t* s);

std::string buildFile(const std::string& rel);  // NX_BUILD_DIR + "/" + rel
std::string sample(const std::string& name);     // the project's samples/
// A CE program (type 5084) with text appended: the test scanner reads it.
std::string ceProgram(const std::string& tail);
inline const std::string kEicarText = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// Waits (host time) until pred holds; false on time-out.
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 30000);

struct Report {
  std::string path;   // device path of the report file
  std::string title;  // the index record's title
  std::string text;   // the report file as UTF-8
};

struct Notice {
  std::string file, virus, action;
  int64_t tick;
  Json line;
};

enum class Host { ServiceHost, InProcess };

class GuardDevice {
 public:
  explicit GuardDevice(double clockSpeed = 20.0, const std::string& installParent = "");
  ~GuardDevice();
  GuardDevice(const GuardDevice&) = delete;
  GuardDevice& operator=(const GuardDevice&) = delete;

  nxtest::TempDevice dev;
  // Device and host paths of the installation directory.
  std::u16string installDev;
  std::string installHost;

  // Copies the build's install image into the installation directory (and
  // the setup folders); the guard's test scanner stands in for exescan.dll
  // when asked.
  void install(bool testScanner = false, const std::string& hostDir = "");
  void removeInstalled(const std::string& name);

  // Starts the device's service host (nxservices) and registers the guard as
  // setup would; or loads it into this process and calls OLN_Init.
  bool start(Host how = Host::ServiceHost);
  // Deregisters the guard (its OLN_Deinit runs) or, in process, calls OLN_Deinit.
  bool stop();
  bool running() const { return started_; }
  Host host() const { return how_; }

  // Writes the on-access options (as the settings program would) and waits
  // until the guard uses them.
  void setOnline(int action, int copy, int enabled = 1);
  // Keeps the guard's worker inside the scan of a "HOLD" file until release().
  void hold(const std::string& rel = "Data/hold.exe");
  void release();
  void setGeneral(int scanCard);
  void setUpdate(int autoUpdate);

  // Writes a file into the device from the host, as `cp` would.
  void hostWrite(const std::string& rel, const std::string& content);
  // Written beside the device and moved in whole: one event, never a half
  // written file for the guard to see.
  void hostPut(const std::string& rel, const std::string& content);
  void hostCopy(const std::string& hostSource, const std::string& rel);

  std::vector<Report> reports();
  std::vector<nx::QuarantineRecord> quarantine();
  std::vector<Notice> notices();              // what the notification dialog showed
  std::vector<Json> messageBoxes(const std::string& text = "");
  std::vector<Json> journal();
  std::vector<std::string> logLines();        // the debug log of the guard's process

  guard::Statistics stats();
  bool fileState(const std::u16string& path, guard::FileState* out);
  // Waits until the guard has taken every waiting file and handled `path`
  // (when given) at least `times` times.
  bool waitHandled(const std::u16string& path, uint32_t times = 1, int timeoutMs = 30000);
  bool waitIdle(int timeoutMs = 30000);

 private:
  bool ioControl(ce::DWORD code, const void* in, ce::DWORD inSize, void* out, ce::DWORD outSize);

  Host how_ = Host::ServiceHost;
  bool started_ = false;
  std::unique_ptr<class HostRunner> host_;
  ce::HMODULE lib_ = nullptr;
  ce::HANDLE service_ = nullptr;
  ce::HANDLE release_ = nullptr;
  ce::HANDLE holding_ = nullptr;
};

}  // namespace guardtest
