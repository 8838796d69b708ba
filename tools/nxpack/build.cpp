// nxpack build: one package from a folder of files, added to a server folder.
//
// A server folder is a history: index.dat lists every package ever built
// into it, in order, and a handset fetches only the entries (type, sequence)
// its installed copy of index.dat does not list yet. So a build appends a
// package and rewrites the index files around it; a new folder starts a new
// history.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <set>

#include "archive_check.h"
#include "arj_writer.h"
#include "common/update_formats.h"
#include "host_files.h"
#include "nxpack.h"
#include "signing.h"

namespace nxpack {

using namespace nx::upd;

namespace {

// The handset's file wrapper addresses files with signed 32-bit offsets; a
// package stays well below that.
constexpr uint64_t kMaxInput = 1ull << 30;
constexpr uint64_t kMaxIndexFile = 16u << 20;
constexpr uint64_t kMaxPackageFile = 0x7FFFFFFFull;

// An exclusive hold on the server folder for the whole build (flock on the
// folder itself, so nothing is added to what is served).
class FolderLock {
 public:
  explicit FolderLock(const fs::path& dir) {
    fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) throw Failure(dir.string() + ": cannot open: " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd_);
      throw Failure(dir.string() + ": another nxpack build is adding to this folder; try again when it is done");
    }
  }
  ~FolderLock() { ::close(fd_); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

struct InputFile {
  std::string name;
  Bytes data;
  uint32_t time = 0;
};

struct ExistingPackage {
  IndexEntry entry;
  Digest hash{};
};

struct Existing {
  std::vector<ExistingPackage> packages;
  std::optional<uint8_t> revision;
  std::optional<Version> latest;  // the newest package's version record
  bool signedFolder = false;
};

std::string hex32(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

bool isModule(const std::string& name) {
  std::string upper = name;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper.find(".DLL") != std::string::npos;
}

std::vector<InputFile> readInputs(const fs::path& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) throw UsageError(dir.string() + ": no such folder");
  if (!fs::is_directory(dir, ec)) throw UsageError(dir.string() + ": not a folder");
  std::vector<fs::path> paths;
  fs::directory_iterator it(dir, ec);
  if (ec) throw Failure(dir.string() + ": cannot list: " + ec.message());
  for (const auto& e : it) paths.push_back(e.path());
  std::sort(paths.begin(), paths.end(), [](const fs::path& a, const fs::path& b) {
    return lowerAscii(a.filename().string()) < lowerAscii(b.filename().string());
  });
  if (paths.empty()) throw Failure(dir.string() + ": no files to pack");

  std::vector<InputFile> files;
  std::set<std::string> seen;
  uint64_t total = 0;
  for (const fs::path& p : paths) {
    const std::string name = p.filename().string();
    if (fs::is_directory(p, ec))
      throw Failure(p.string() + ": a folder; the installation is one folder, so only files are packed");
    if (std::string why = memberNameFault(name); !why.empty()) throw Failure(p.string() + ": " + why);
    if (!seen.insert(lowerAscii(name)).second)
      throw Failure(p.string() + ": differs from another file only in case; the handset does not tell them apart");
    InputFile f;
    f.name = name;
    f.data = readHostFile(p, kMaxInput);
    total += f.data.size();
    if (total > kMaxInput) throw Failure(dir.string() + ": more than 1 GiB of files; split them into several builds");
    const auto mtime = fs::last_write_time(p, ec);
    f.time = arjTime(ec ? std::time(nullptr)
                        : std::chrono::system_clock::to_time_t(
                              std::chrono::time_point_cast<std::chrono::system_clock::duration>(
                                  fs::file_time_type::clock::to_sys(mtime))));
    files.push_back(std::move(f));
  }
  return files;
}

// The version record the handset reads from the staged files; every package
// must carry one.
Version versionOf(const std::vector<InputFile>& files, const fs::path& dir) {
  for (const InputFile& f : files)
    if (isVersionName(f.name)) {
      std::string why;
      auto v = decodeVersion(f.data, &why);
      if (!v) throw Failure((dir / f.name).string() + ": not a version record: " + why);
      return *v;
    }
  throw Failure(dir.string() + ": no scanver.cnf; the handset decides by it whether an update is newer, so every "
                "package carries one");
}

std::optional<Version> versionInPackage(const Bytes& package) {
  const ArchiveContents c = readArchive(packageBody(package), isVersionName);
  for (const ArchiveMember& m : c.members)
    if (isVersionName(m.name) && m.result == 1) return decodeVersion(m.data);
  return std::nullopt;
}

Existing loadExisting(const fs::path& dir) {
  Existing ex;
  std::error_code ec;
  if (!fs::exists(dir, ec)) return ex;
  if (!fs::is_directory(dir, ec)) throw Failure(dir.string() + ": exists and is not a folder");
  if (fs::exists(dir / "index.bin", ec)) {
    Bytes bin = readHostFile(dir / "index.bin", kMaxIndexFile);
    if (!bin.empty()) ex.revision = bin[0];
  }
  ex.signedFolder = fs::exists(dir / "index.sig", ec);
  if (!fs::exists(dir / "index.dat", ec)) return ex;

  const auto damaged = [&](const std::string& what, const std::string& fault) {
    return Failure(what + " is damaged (" + fault + "); repair the folder (nxpack verify lists what is wrong) or "
                   "build into a new one");
  };
  Faults faults;
  const Bytes indexDat = readHostFile(dir / "index.dat", kMaxIndexFile);
  const Index index = decodeIndex(indexDat, faults);
  if (!faults.empty()) throw damaged((dir / "index.dat").string(), faults.front());
  Bytes last;
  for (const IndexEntry& e : index.entries) {
    const fs::path p = dir / e.name;
    if (!fs::exists(p, ec)) throw damaged(dir.string(), "index.dat lists " + e.name + ", which is missing");
    Bytes package = readHostFile(p, kMaxPackageFile);
    checkPackage(p.string(), package, &e, faults);
    if (!faults.empty()) throw damaged(p.string(), faults.front());
    ex.packages.push_back({e, sha256(package)});
    last = std::move(package);
  }
  ex.latest = versionInPackage(last);
  if (!ex.latest) throw damaged((dir / index.entries.back().name).string(), "it carries no readable scanver.cnf");
  return ex;
}

}  // namespace

void build(const BuildOptions& o, std::ostream& out) {
  if (o.type && (*o.type < kTypeFirstDatabase || *o.type > kTypeEngineUpdate))
    throw UsageError("--type " + std::to_string(*o.type) + ": package types are 100 to 104 (databases), 105 and "
                     "106 (engine; 106 marks an engine update)");
  if (o.sequence && (*o.sequence < 0 || *o.sequence > 255))
    throw UsageError("--sequence " + std::to_string(*o.sequence) + ": sequence numbers are 0 to 255");
  if (o.revision && (*o.revision < 0 || *o.revision > 255))
    throw UsageError("--revision " + std::to_string(*o.revision) + ": the revision is one byte, 0 to 255");
  std::vector<std::string> bases;
  for (const std::string& u : o.urls) bases.push_back(normalizeBase(u));
  std::optional<Ed25519Key> key;
  if (o.signKey) {
    try {
      key = Ed25519Key::loadPrivate(*o.signKey);
    } catch (const std::runtime_error& e) {
      throw UsageError(std::string("--sign: ") + e.what());
    }
  }

  const fs::path filesDir(o.filesDir), serverDir(o.serverDir);
  std::error_code same;
  if (fs::equivalent(filesDir, serverDir, same))
    throw UsageError(serverDir.string() + ": the server folder cannot be the folder of files to pack");
  std::vector<InputFile> files = readInputs(filesDir);
  const Version version = versionOf(files, filesDir);
  // Two builds into one folder would each write an index without the
  // other's package; the second waits for nothing and is refused. A folder
  // made here goes again when the build fails.
  std::error_code ec;
  const bool created = !fs::exists(serverDir, ec);
  if (created && !ec) fs::create_directories(serverDir, ec);
  if (ec) throw Failure(serverDir.string() + ": cannot create: " + ec.message());
  struct RemoveIfCreated {
    fs::path dir;
    bool armed;
    ~RemoveIfCreated() {
      std::error_code ignored;
      if (armed) fs::remove_all(dir, ignored);
    }
  } cleanup{serverDir, created};
  const FolderLock lock(serverDir);
  const Existing ex = loadExisting(serverDir);
  if (ex.signedFolder && !key)
    throw Failure((serverDir / "index.sig").string() + ": the folder is signed; give --sign KEY so that the new "
                  "index is signed too (or remove index.sig to stop signing)");

  const bool modules = std::any_of(files.begin(), files.end(), [](const InputFile& f) { return isModule(f.name); });
  int type = o.type.value_or(kTypeFirstDatabase);
  if (!o.type && (modules || (ex.latest && (ex.latest->major != version.major || ex.latest->minor != version.minor))))
    type = kTypeEngineUpdate;
  // Handsets holding the folder's newest package would call this one up to
  // date, fetch it at every update and never install it.
  if (ex.latest)
    if (std::string why = updateOrderFault(version, *ex.latest, type); !why.empty())
      throw Failure((filesDir / "scanver.cnf").string() + ": " + why);

  int sequence = 1;
  if (o.sequence) {
    sequence = *o.sequence;
  } else {
    for (const ExistingPackage& p : ex.packages)
      if (p.entry.type == type) sequence = std::max(sequence, p.entry.sequence + 1);
    if (sequence > 255)
      throw Failure("type " + std::to_string(type) + " has used every sequence number up to 255 in this folder; "
                    "give --sequence N with a free one, or build into a new folder");
  }
  for (const ExistingPackage& p : ex.packages)
    if (p.entry.type == type && p.entry.sequence == sequence)
      throw Failure("type " + std::to_string(type) + " sequence " + std::to_string(sequence) + " is already " +
                    p.entry.name + " in this folder; handsets that have it would never fetch the new package");
  char nameBuf[32];
  std::snprintf(nameBuf, sizeof nameBuf, "nx%03d%03d.pkg", type, sequence);
  const std::string packageName = nameBuf;

  // The archive, members in name order.
  out << "nxpack: packing " << files.size() << " file" << (files.size() == 1 ? "" : "s") << " from "
      << filesDir.string() << "\n";
  uint32_t newest = 0;
  for (const InputFile& f : files) newest = std::max(newest, f.time);
  ArjWriter arj("files.arj", newest);
  uint64_t plain = 0;
  for (const InputFile& f : files) {
    arj.add(f.name, f.data.data(), f.data.size(), f.time, o.store ? ArjMethod::Stored : ArjMethod::Compressed);
    plain += f.data.size();
    char line[320];
    std::snprintf(line, sizeof line, "  %-24s %10zu bytes%s\n", f.name.c_str(), f.data.size(),
                  arj.lastMethod() == ArjMethod::Stored ? " (stored)" : "");
    out << line << std::flush;
  }
  const Bytes body = arj.finish();
  if (body.size() < kScrambledBytes) throw Failure("the archive is shorter than the 90 bytes a package body needs");
  const Bytes package = makePackage(body, static_cast<uint8_t>(type), static_cast<uint8_t>(sequence));
  if (package.size() > kMaxPackageFile) throw Failure(packageName + ": the package would be 2 GiB or more");

  IndexEntry entry;
  entry.type = static_cast<uint8_t>(type);
  entry.sequence = static_cast<uint8_t>(sequence);
  entry.size = static_cast<uint32_t>(package.size());
  entry.check = readPackageHead(package).check;
  entry.name = packageName;
  entry.platform = kPlatformWindowsMobile;
  std::vector<IndexEntry> entries;
  for (const ExistingPackage& p : ex.packages) entries.push_back(p.entry);
  entries.push_back(entry);
  const Bytes indexDat = encodeIndex(entries);
  const uint8_t revision = static_cast<uint8_t>(o.revision ? *o.revision : ex.revision ? *ex.revision + 1 : 1);
  // Handsets compare nothing but this byte with their installed index.bin.
  if (ex.revision && revision == *ex.revision)
    throw Failure("--revision " + std::to_string(revision) + " is the folder's present revision; handsets that "
                  "have it would call the folder up to date and never look at the new package");
  const Bytes indexBin = encodeIndexBin(revision, indexDat);

  StagedFiles staged(serverDir);
  // Renamed in this order: a handset that sees the new index.bin finds
  // everything it points at already in place.
  staged.add(packageName, package);
  const Bytes* versionBytes = nullptr;
  for (const InputFile& f : files)
    if (isVersionName(f.name)) versionBytes = &f.data;
  staged.add("scanver.cnf", *versionBytes);
  if (!bases.empty()) staged.add("httpdn.dat", encodeSources(bases));
  staged.add("index.dat", indexDat);
  if (key) {
    std::vector<SignedPackage> signedPackages;
    for (const ExistingPackage& p : ex.packages) signedPackages.push_back({entryNameBytes(p.entry.name), p.hash});
    signedPackages.push_back({entryNameBytes(packageName), sha256(package)});
    staged.add("index.sig", makeSignatureFile(indexDat, signedPackages, *key));
  }
  staged.add("index.bin", indexBin);
  staged.commit();
  cleanup.armed = false;

  char line[400];
  std::snprintf(line, sizeof line, "nxpack: %s: type %d, sequence %d, %zu file%s, %llu bytes in a %zu-byte package, "
                "check value %s\n", (serverDir / packageName).string().c_str(), type, sequence, files.size(),
                files.size() == 1 ? "" : "s", static_cast<unsigned long long>(plain), package.size(),
                hex32(entry.check).c_str());
  out << line;
  out << "nxpack: " << (serverDir / "scanver.cnf").string() << ": engine " << describeVersion(version) << "\n";
  out << "nxpack: " << (serverDir / "index.dat").string() << ": " << entries.size() << " package"
      << (entries.size() == 1 ? "" : "s") << "; index.bin revision " << int(revision) << "\n";
  for (const std::string& b : bases) out << "nxpack: " << (serverDir / "httpdn.dat").string() << ": " << b << "\n";
  if (bases.empty() && !fs::exists(serverDir / "httpdn.dat", ec))
    out << "nxpack: no --url given, so no httpdn.dat was written (a local-folder update needs none)\n";
  if (key) {
    const auto id = key->keyId();
    out << "nxpack: " << (serverDir / "index.sig").string() << ": signed with key " << hexBytes(id.data(), id.size())
        << "\n";
  }
}

}  // namespace nxpack
