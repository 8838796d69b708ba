// nxpack verify: everything a handset checks in a server folder, and what it
// would silently get wrong: index files, every package head and check value,
// the ARJ bodies through the handset's own decoder, the order of versions,
// the source list, and the signature when a key is given.
#include <map>
#include <ostream>
#include <set>

#include "archive_check.h"
#include "common/update_formats.h"
#include "host_files.h"
#include "nxpack.h"
#include "signing.h"

namespace nxpack {

using namespace nx::upd;

namespace {

constexpr uint64_t kMaxIndexFile = 16u << 20;
constexpr uint64_t kMaxPackageFile = 0x7FFFFFFFull;

class Checker {
 public:
  Checker(const fs::path& dir, std::ostream& out) : dir_(dir), out_(out) {}

  // The file's bytes, or nothing with a fault when it is missing or unreadable.
  std::optional<Bytes> read(const std::string& name, uint64_t limit, const std::string& missing) {
    std::error_code ec;
    if (!fs::exists(dir_ / name, ec) && !fs::is_symlink(dir_ / name, ec)) {
      faults.push_back(name + ": missing; " + missing);
      return std::nullopt;
    }
    try {
      return readHostFile(dir_ / name, limit);
    } catch (const Failure& e) {
      faults.push_back(name + ": " + strip(e.what()));
      return std::nullopt;
    }
  }
  bool exists(const std::string& name) const {
    std::error_code ec;
    return fs::exists(dir_ / name, ec);
  }
  void note(const std::string& line) { out_ << "  " << line << "\n"; }

  Faults faults;

 private:
  // Failure texts name the whole path; findings are named relative to the folder.
  std::string strip(const std::string& what) const {
    const std::string prefix = (dir_ / "").string();
    const size_t at = what.find(": ");
    return what.rfind(prefix, 0) == 0 && at != std::string::npos ? what.substr(at + 2) : what;
  }
  fs::path dir_;
  std::ostream& out_;
};

struct PackageFacts {
  IndexEntry entry;
  std::optional<Digest> hash;
  std::optional<Version> version;
  Bytes versionBytes;
};

void checkMembers(const std::string& name, const Bytes& package, PackageFacts& facts, Checker& c) {
  const Bytes body = packageBody(package);
  if (body.empty()) return;
  std::string why;
  const int32_t walked = walkHeaders(body, why);
  if (walked < 0) c.faults.push_back(name + ": ARJ body: " + why);
  const ArchiveContents contents = readArchive(body, isVersionName);
  if (contents.count < 0) {
    c.faults.push_back(name + ": the ARJ body " + archiveErrorText(contents.count));
    return;
  }
  if (contents.count == 0) c.faults.push_back(name + ": the ARJ body holds no files");
  std::set<std::string> seen;
  std::string list;
  for (size_t i = 0; i < contents.members.size(); ++i) {
    const ArchiveMember& m = contents.members[i];
    const std::string what = name + ": member " + std::to_string(i + 1) + " (" + m.name + ")";
    if (m.result != 1) c.faults.push_back(what + " " + memberErrorText(m.error));
    if (std::string bad = memberNameFault(m.name); !bad.empty()) c.faults.push_back(what + ": " + bad);
    if (!seen.insert(lowerAscii(m.name)).second)
      c.faults.push_back(what + ": occurs twice (the handset lower-cases names)");
    if (isVersionName(m.name) && m.result == 1) {
      std::string bad;
      facts.version = decodeVersion(m.data, &bad);
      facts.versionBytes = m.data;
      if (!facts.version) c.faults.push_back(what + ": not a version record: " + bad);
    }
    list += (list.empty() ? "" : " ") + m.name;
  }
  if (!facts.version && facts.versionBytes.empty())
    c.faults.push_back(name + ": carries no scanver.cnf; the handset cannot install a package without one");
  c.note(name + ": type " + std::to_string(facts.entry.type) + ", sequence " + std::to_string(facts.entry.sequence) +
         ", " + std::to_string(contents.members.size()) + " files: " + list);
}

void checkSources(Checker& c) {
  if (!c.exists("httpdn.dat")) {
    c.note("httpdn.dat: none (handsets update from this folder through a local path, or carry their own)");
    return;
  }
  auto file = c.read("httpdn.dat", kMaxIndexFile, "");
  if (!file) return;
  const std::vector<Section> sections = decodeSources(*file, c.faults);
  size_t locations = 0;
  for (const Section& s : sections) {
    if (s.type != kSectionUpdateLocations) continue;
    for (const Location& l : s.locations) {
      ++locations;
      const std::string base(l.base.begin(), l.base.end());
      if (l.base.empty()) c.faults.push_back("httpdn.dat: a location without a base address");
      else if (l.base.back() != u'/') c.faults.push_back("httpdn.dat: " + base + " does not end in \"/\"; file names are appended to it directly");
      else c.note("httpdn.dat: " + base);
    }
  }
  if (locations == 0 && !sections.empty()) c.faults.push_back("httpdn.dat: no update locations (sections of type 1)");
}

void checkSignature(const Bytes& indexDat, const std::vector<PackageFacts>& packages,
                    const std::optional<Ed25519Key>& key, Checker& c) {
  if (!c.exists("index.sig")) {
    if (key) c.faults.push_back("index.sig: missing; a handset holding the key refuses this update");
    else c.note("index.sig: none (the folder is not signed)");
    return;
  }
  auto file = c.read("index.sig", kMaxIndexFile, "");
  if (!file) return;
  const auto sig = decodeSignatureFile(*file, c.faults);
  if (!sig) return;
  if (sig->indexHash != sha256(indexDat)) c.faults.push_back("index.sig: does not cover this index.dat");
  if (sig->packages.size() != packages.size())
    c.faults.push_back("index.sig: covers " + std::to_string(sig->packages.size()) + " packages, index.dat lists " +
                       std::to_string(packages.size()));
  for (size_t i = 0; i < sig->packages.size() && i < packages.size(); ++i) {
    const std::string name = packages[i].entry.name;
    if (sig->packages[i].nameBytes != entryNameBytes(name))
      c.faults.push_back("index.sig: record " + std::to_string(i + 1) + " does not name " + name);
    else if (packages[i].hash && sig->packages[i].hash != *packages[i].hash)
      c.faults.push_back("index.sig: the SHA-256 of " + name + " does not match the file");
  }
  const std::string id = hexBytes(sig->keyId.data(), sig->keyId.size());
  if (!key) {
    c.note("index.sig: signed with key " + id + "; the signature is not checked without --key");
    return;
  }
  const auto mine = key->keyId();
  if (sig->keyId != mine) {
    c.faults.push_back("index.sig: signed with key " + id + ", not with the key given (" +
                       hexBytes(mine.data(), mine.size()) + ")");
  } else if (!key->verify(file->data(), sig->signedSize, file->data() + sig->signedSize)) {
    c.faults.push_back("index.sig: the signature does not verify with the key given");
  } else {
    c.note("index.sig: good signature by key " + id);
  }
}

}  // namespace

int verify(const std::string& dirName, const std::optional<std::string>& publicKey, std::ostream& out,
           std::ostream& err) {
  const fs::path dir(dirName);
  std::error_code ec;
  if (!fs::exists(dir, ec)) throw UsageError(dirName + ": no such folder");
  if (!fs::is_directory(dir, ec)) throw UsageError(dirName + ": not a folder");
  std::optional<Ed25519Key> key;
  if (publicKey) {
    try {
      key = Ed25519Key::loadPublic(*publicKey);
    } catch (const std::runtime_error& e) {
      throw UsageError(std::string("--key: ") + e.what());
    }
  }

  out << "nxpack: verifying " << dirName << "\n";
  Checker c(dir, out);
  auto indexDat = c.read("index.dat", kMaxIndexFile, "handsets find no packages without it");
  auto indexBin = c.read("index.bin", kMaxIndexFile, "handsets fetch it first and stop without it");
  Index index;
  if (indexDat) index = decodeIndex(*indexDat, c.faults);
  if (indexBin) {
    if (auto revision = decodeIndexBin(*indexBin, indexDat ? &*indexDat : nullptr, c.faults))
      c.note("index.bin: revision " + std::to_string(*revision));
  }
  if (indexDat)
    c.note("index.dat: " + std::to_string(index.entries.size()) + (index.entries.size() == 1 ? " package" : " packages"));

  std::vector<PackageFacts> packages;
  std::set<std::string> listed;
  for (const IndexEntry& e : index.entries) {
    PackageFacts facts;
    facts.entry = e;
    listed.insert(e.name);
    if (e.name.empty() || !memberNameFault(e.name).empty()) {
      packages.push_back(facts);
      continue;
    }
    auto package = c.read(e.name, kMaxPackageFile, "index.dat lists it");
    if (package) {
      checkPackage(e.name, *package, &e, c.faults);
      facts.hash = sha256(*package);
      checkMembers(e.name, *package, facts, c);
    }
    packages.push_back(std::move(facts));
  }
  // Each package must be newer than the one before it for the handsets that hold that one.
  for (size_t i = 1; i < packages.size(); ++i)
    if (packages[i].version && packages[i - 1].version)
      if (std::string why = updateOrderFault(*packages[i].version, *packages[i - 1].version, packages[i].entry.type);
          !why.empty())
        c.faults.push_back(packages[i].entry.name + ": " + why);

  if (c.exists("scanver.cnf")) {
    auto v = c.read("scanver.cnf", kMaxIndexFile, "");
    if (v && !packages.empty() && !packages.back().versionBytes.empty() && *v != packages.back().versionBytes)
      c.faults.push_back("scanver.cnf: differs from the one in the newest package (" + packages.back().entry.name + ")");
    else if (v)
      if (auto parsed = decodeVersion(*v)) c.note("scanver.cnf: engine " + describeVersion(*parsed));
  } else {
    c.note("scanver.cnf: none beside the packages");
  }
  checkSources(c);
  if (indexDat) checkSignature(*indexDat, packages, key, c);

  for (const auto& e : fs::directory_iterator(dir, ec)) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() == ".pkg" && !listed.count(name)) c.note(name + ": not listed in index.dat (never fetched)");
  }

  for (const std::string& f : c.faults) err << "nxpack: " << (dir / f).string() << "\n";
  if (c.faults.empty())
    out << "nxpack: " << dirName << ": " << packages.size() << " package" << (packages.size() == 1 ? "" : "s")
        << ", no faults\n";
  else
    out << "nxpack: " << dirName << ": " << c.faults.size() << " fault" << (c.faults.size() == 1 ? "" : "s") << "\n";
  return static_cast<int>(c.faults.size());
}

}  // namespace nxpack
