// The commands of nxpack, the update-server tool: build a server folder from
// a folder of files, verify one, make a signing key pair, write a source
// list. The command line (main.cpp) is a thin layer over these.
#pragma once

#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nxpack {

// A command line that cannot be carried out as given (exit status 2).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// The work failed (exit status 1); nothing in the output folder was changed.
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct BuildOptions {
  std::string filesDir;
  std::string serverDir;
  std::optional<int> type;
  std::optional<int> sequence;
  std::optional<int> revision;  // index.bin's byte; default one more than before, 1 in a new folder
  std::vector<std::string> urls;
  std::optional<std::string> signKey;
  bool store = false;  // ARJ method 0 instead of the compressed method
};

// Adds one package made of every file of filesDir to the server folder
// (created when missing) and rewrites its index files. Progress and the
// summary go to out.
void build(const BuildOptions& options, std::ostream& out);

// Checks a server folder; every fault is written to err, the findings to
// out. Answers the number of faults.
int verify(const std::string& dir, const std::optional<std::string>& publicKey, std::ostream& out, std::ostream& err);

// Writes DIR/update.key (private, readable by the owner only) and
// DIR/update.pub; existing files are never replaced.
void keygen(const std::string& dir, std::ostream& out);

// Writes a source list "httpdn.dat" with the given base addresses.
void writeSources(const std::vector<std::string>& urls, const std::string& file, std::ostream& out);

// A base address as the handset appends file names to it: http or https,
// printable ASCII without blanks, query or fragment, ending in "/" (added
// when missing), short enough for the longest name appended to fit 259
// characters. Throws UsageError.
std::string normalizeBase(const std::string& url);

}  // namespace nxpack
