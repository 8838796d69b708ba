// Host file access for the tool: whole-file reads with a size limit and
// clear errors, and writes that land under their final name only when whole.
#pragma once

#include <filesystem>
#include <string>

#include "server_files.h"

namespace nxpack {

namespace fs = std::filesystem;

// The file's bytes; throws Failure naming the file (missing, unreadable,
// not a regular file, larger than limit).
Bytes readHostFile(const fs::path& path, uint64_t limit);

// A set of files written beside their final names and renamed into place
// in the order they were added, or all removed again.
class StagedFiles {
 public:
  explicit StagedFiles(fs::path dir) : dir_(std::move(dir)) {}
  ~StagedFiles();
  // Writes the temporary copy now (throws Failure).
  void add(const std::string& name, const Bytes& bytes, fs::perms perms = fs::perms::unknown);
  // Renames every file into place; throws Failure (files already renamed stay).
  void commit();

 private:
  fs::path dir_;
  std::vector<std::pair<fs::path, fs::path>> staged_;
};

}  // namespace nxpack
