// Scanning with several jobs: each job is a process of its own (this program
// started again as a worker), with its own engine session and temporary
// folder, so that jobs share no lock and no folder. The first process hands
// out the files and gathers what each worker found.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "scan.h"

namespace nxscan {

// The first argument that makes this program a worker; the second names the
// descriptors it reads files from and writes outcomes to ("IN,OUT").
constexpr const char* kWorkerVerb = "--scan-worker";

struct WorkerSettings {
  std::string deviceRoot;
  SessionSettings session;
  Plan plan;
};

// Scans files in `jobs` worker processes, calling done(index, outcome) on
// this thread as each outcome arrives (in no set order). False with the
// reason when no worker could start a session (nothing was scanned then).
// A worker that ends while it holds files costs the file it was scanning
// (an error naming how it ended); the files it had not begun go to the others.
bool scanInWorkers(unsigned jobs, const WorkerSettings& settings, const std::vector<std::string>& files,
                   const std::function<void(size_t, const Outcome&)>& done, std::string* why);

// The worker's side: main() of "nxscan --scan-worker IN,OUT".
int workerMain(int argc, char** argv);

// The device's view of a host path: "\Host" and the path with "\".
std::u16string hostDevicePath(const std::string& host);

}  // namespace nxscan
