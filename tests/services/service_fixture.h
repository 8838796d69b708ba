// Test support for the service host: nxservices as a real process of a test
// device, nxdevice runs, and the journal the test service library keeps.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testkit.h"

namespace svctest {

std::string bin(const std::string& name);
// The test service library's bytes (tests/modules/ce_test_service.dll).
std::string serviceLibrary();

// nxservices on the attached device, started by the test and killed at the
// end unless it has ended.
class HostProcess {
 public:
  HostProcess() = default;
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  // Starts the host and waits until it answers; false when it does not.
  bool start();
  void kill();
  // Waits for the host to end by itself (up to timeoutMs); its exit status.
  int wait(int timeoutMs = 20000);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

struct Run {
  int code = -1;
  std::string out;  // standard output and standard error
};
// Runs `nxdevice --device-root ROOT ARGS...` and waits for it.
Run nxdevice(const std::string& root, const std::vector<std::string>& args);

// The lines of the test service's journal, without their "pid=N" endings.
std::vector<std::string> journal(const nxtest::TempDevice& dev);
// The pids the journal lines carry, in order.
std::vector<int> journalPids(const nxtest::TempDevice& dev);

// Whether a device file can be opened for writing (a loaded library cannot).
bool writable(const char16_t* devicePath);

// Ends a host that `nxdevice boot` started (not a child of the test): the
// test becomes the reaper of orphans so none is left behind.
void becomeReaper();
void killHostOf(const nxtest::TempDevice& dev);

}  // namespace svctest
