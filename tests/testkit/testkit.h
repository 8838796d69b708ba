// Test support: a fresh device per test, and helper processes on it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nxtest {

// A device in a new temporary folder, attached for this process, removed
// again at the end of the test.
class TempDevice {
 public:
  explicit TempDevice(double clockSpeed = 1.0);
  ~TempDevice();
  TempDevice(const TempDevice&) = delete;
  TempDevice& operator=(const TempDevice&) = delete;

  const std::string& root() const { return root_; }
  // Host path of a device path written with forward slashes ("Temp/a.txt").
  std::string host(const std::string& rel) const { return root_ + "/" + rel; }
  void writeFile(const std::string& rel, const std::string& content) const;
  std::string readFile(const std::string& rel) const;
  // A UTF-16LE text file (a debug log) as UTF-8; "" when it is missing.
  std::string readUtf16Text(const std::string& rel) const;
  // The lines of the debug log at rel without their time and thread prefix
  // ("H:M:S:TTTTTTTT: "; error lines have none); none when it is missing.
  std::vector<std::string> logTexts(const std::string& rel) const;

 private:
  std::string root_;
};

// The device path of a host file through the \Host mount (host tools only).
std::u16string viaHostMount(const std::string& hostPath);

// A scratch host folder (not a device), removed at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

struct ProcResult {
  int exitCode = -1;
  std::string out;
};

// Path of the ce_helper program.
std::string helperPath();
// Runs ce_helper on the attached device with the arguments and waits for it.
ProcResult runHelper(const std::vector<std::string>& args);

// A helper process running in the background; its stdout is readable line by line.
class HelperProcess {
 public:
  explicit HelperProcess(const std::vector<std::string>& args);
  ~HelperProcess();
  // Waits (up to timeoutMs) for a line on the helper's stdout; empty on time-out or end.
  std::string readLine(int timeoutMs = 10000);
  void writeLine(const std::string& line);
  int wait();
  void kill(int sig = 9);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string buffered_;
  bool waited_ = false;
  int status_ = -1;
};

// The shared folder (NX_SHARED_DIR, else "../shared" beside the checkout), or
// empty when it is absent.
std::string sharedDir();
// Recursively removes a host folder.
void removeTree(const std::string& path);

// Every message waiting at the read end of a device message queue, as UTF-16
// texts without their terminators; reading never waits.
std::vector<std::u16string> readQueueTexts(void* reader);

}  // namespace nxtest
