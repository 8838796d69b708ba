#include "host_files.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "nxpack.h"

namespace nxpack {

Bytes readHostFile(const fs::path& path, uint64_t limit) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) {
    const bool dangling = fs::is_symlink(fs::symlink_status(path, ec));
    throw Failure(path.string() + (dangling ? ": a link to nothing" : ": no such file"));
  }
  if (fs::is_directory(st)) throw Failure(path.string() + ": a folder, not a file");
  if (!fs::is_regular_file(st)) throw Failure(path.string() + ": not a regular file");
  const uint64_t size = fs::file_size(path, ec);
  if (ec) throw Failure(path.string() + ": cannot read: " + ec.message());
  if (size > limit) throw Failure(path.string() + ": " + std::to_string(size) + " bytes, more than " +
                                  std::to_string(limit) + " can be packed");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Failure(path.string() + ": cannot read: " + std::strerror(errno));
  Bytes b(static_cast<size_t>(size));
  if (size && !in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(size)))
    throw Failure(path.string() + ": cannot read: " + std::strerror(errno));
  // A file still growing is read to the size seen above; more would be a different file.
  return b;
}

StagedFiles::~StagedFiles() {
  std::error_code ec;
  for (auto& [temp, final] : staged_) fs::remove(temp, ec);
}

void StagedFiles::add(const std::string& name, const Bytes& bytes, fs::perms perms) {
  const fs::path final = dir_ / name;
  const fs::path temp = dir_ / ("." + name + ".nxpack-new");
  std::ofstream out(temp, std::ios::binary | std::ios::trunc);
  if (!out) throw Failure(final.string() + ": cannot write: " + std::strerror(errno));
  staged_.emplace_back(temp, final);
  // Permissions go on before any byte does: a private key is never readable by others.
  if (perms != fs::perms::unknown) {
    std::error_code ec;
    fs::permissions(temp, perms, ec);
    if (ec) throw Failure(final.string() + ": cannot set its permissions: " + ec.message());
  }
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.flush();
  if (!out) throw Failure(final.string() + ": cannot write: " + std::strerror(errno));
}

void StagedFiles::commit() {
  while (!staged_.empty()) {
    auto [temp, final] = staged_.front();
    std::error_code ec;
    fs::rename(temp, final, ec);
    if (ec) throw Failure(final.string() + ": cannot put in place: " + ec.message());
    staged_.erase(staged_.begin());
  }
}

}  // namespace nxpack
