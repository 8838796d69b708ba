// Test support for the update service: a device with the install image (and
// optionally the test engine in place of updengine.dll), the service running
// in the device's service host as "UPD0:", the lines the test engine writes,
// and counts of what the service does to the files it reads.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "testkit.h"
#include "updsvc/interval_file.h"

namespace updsvctest {

// Device seconds in 100-ns file-time units.
inline constexpr int64_t kSecond = 10000000;

std::string buildFile(const std::string& rel);
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 30000);
// The stored form of the values (halves exchanged), optionally with the
// checksum broken.
std::string storedImage(const nx::updsvc::IntervalValues& v, bool damage = false);
std::string slurp(const std::string& hostPath);

// One line of the test engine's log.
struct EngineLine {
  int64_t time = 0;   // device local time, 100-ns units
  std::string what;   // "init", "run ...", "end N", "deinit"
};

class UpdDevice {
 public:
  explicit UpdDevice(double clockSpeed);
  ~UpdDevice();
  UpdDevice(const UpdDevice&) = delete;
  UpdDevice& operator=(const UpdDevice&) = delete;

  nxtest::TempDevice dev;
  const std::u16string installDev = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
  std::string installHost;

  // Copies the build's install image into the installation directory; the
  // test engine stands in for updengine.dll when asked.
  void install(bool testEngine = true);
  // WM_UPDATE_OPTS as the settings program writes it (the change event is
  // set when the service waits on it).
  void setUpdate(int autoUpdate, int source, const std::u16string& folder = u"");
  // The schedule file in its stored form.
  void putIntervalFile(uint16_t internet, uint16_t local, bool damage = false);
  std::string intervalFile() const;

  // nxservices on the device and RegisterService("UPD0:", 0, "updsvc.dll", 0).
  bool start();
  // DeregisterService: UPD_Deinit runs in the host.
  bool stop();
  bool running() const { return service_ != nullptr; }

  std::vector<EngineLine> engineLog() const;
  // The "run" lines, the "end" lines.
  std::vector<EngineLine> runs() const;
  std::vector<EngineLine> ends() const;
  bool waitRuns(size_t n, int timeoutMs = 30000);

 private:
  std::unique_ptr<class HostRunner> host_;
  ce::HANDLE service_ = nullptr;
};

// Counts inotify events of a host folder by file name from construction on.
class FileEvents {
 public:
  explicit FileEvents(const std::string& hostDir);
  ~FileEvents();
  FileEvents(const FileEvents&) = delete;
  FileEvents& operator=(const FileEvents&) = delete;
  // Events with the name and any bit of mask so far; -1 when the kernel's
  // queue overflowed (more than it holds: the files were touched without end).
  long count(const std::string& name, uint32_t mask);

 private:
  void drain();
  int fd_ = -1;
  bool overflow_ = false;
  std::vector<std::pair<std::string, uint32_t>> events_;
};

}  // namespace updsvctest
