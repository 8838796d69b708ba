// Any program (a host tool such as nxupdate or nxscan) run as a child of
// the test on the attached device (NX_DEVICE_ROOT is set to it), with its
// output read line by line as it comes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace nxtest {

struct ProgramOptions {
  std::vector<std::string> env;  // extra NAME=VALUE entries
  bool terminal = false;         // standard output on a pseudo-terminal (line-buffered, isatty)
  long fileSizeLimit = -1;       // bytes; a write beyond it fails (a full store), -1 none
  bool withStderr = false;       // standard error into the same stream (else discarded)
};

class Program {
 public:
  using Options = ProgramOptions;

  explicit Program(const std::vector<std::string>& argv);
  Program(const std::vector<std::string>& argv, const Options& options);
  ~Program();  // kills a child still running
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // The next line without its end, or empty with ended() true at the end
  // of the output; empty with ended() false after the time-out.
  std::string readLine(int timeoutMs = 30000);
  bool ended() const { return ended_; }
  // Everything up to the end of the output (the program's end).
  std::string readRest(int timeoutMs = 120000);
  // Exit status, 128 + signal for a killed program.
  int wait();
  bool running();
  void signal(int sig);
  pid_t pid() const { return pid_; }

  // Runs to the end: {exit status, whole output}.
  struct Result {
    int status;
    std::string out;
  };
  static Result run(const std::vector<std::string>& argv, const Options& options = {});

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool ended_ = false;
  bool waited_ = false;
  int status_ = -1;
  std::string buffer_;
};

// A program of the build: NX_BUILD_DIR/bin/<name>.
std::string tool(const std::string& name);

}  // namespace nxtest
