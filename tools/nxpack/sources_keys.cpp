// The source list "httpdn.dat" on its own, base addresses, and signing keys.
#include <ostream>

#include "common/update_formats.h"
#include "host_files.h"
#include "nxpack.h"
#include "signing.h"

namespace nxpack {

namespace {

// The longest name a handset appends to a base address: the index files
// and the packages nxpack names ("nx106001.pkg").
constexpr size_t kLongestAppended = 12;

bool startsWithNoCase(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && lowerAscii(s.substr(0, prefix.size())) == prefix;
}

}  // namespace

std::string normalizeBase(const std::string& url) {
  const std::string what = "--url " + url + ": ";
  if (!startsWithNoCase(url, "http://") && !startsWithNoCase(url, "https://"))
    throw UsageError(what + "the handset fetches over http:// or https:// only");
  for (unsigned char c : url)
    if (c <= 0x20 || c > 0x7E) throw UsageError(what + "blanks and characters outside printable ASCII must be escaped");
  if (url.find_first_of("?#") != std::string::npos)
    throw UsageError(what + "file names are appended to the address, so it cannot carry a query or fragment");
  const size_t hostStart = url.find("//") + 2;
  if (hostStart >= url.size() || url[hostStart] == '/') throw UsageError(what + "no host");
  std::string base = url;
  if (base.back() != '/') base += '/';
  if (base.size() + kLongestAppended > nx::upd::kLocationTextChars - 1)
    throw UsageError(what + "longer than the " + std::to_string(nx::upd::kLocationTextChars - 1 - kLongestAppended) +
                     " characters a location can hold with a file name appended");
  return base;
}

void writeSources(const std::vector<std::string>& urls, const std::string& file, std::ostream& out) {
  if (urls.empty()) throw UsageError("give at least one --url");
  std::vector<std::string> bases;
  for (const std::string& u : urls) bases.push_back(normalizeBase(u));
  const fs::path path(file);
  const fs::path dir = path.has_parent_path() ? path.parent_path() : fs::path(".");
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) throw Failure(dir.string() + ": no such folder");
  StagedFiles staged(dir);
  staged.add(path.filename().string(), encodeSources(bases));
  staged.commit();
  for (const std::string& b : bases) out << "nxpack: " << file << ": " << b << "\n";
}

void keygen(const std::string& dirName, std::ostream& out) {
  const fs::path dir(dirName);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw Failure(dir.string() + ": cannot create: " + ec.message());
  for (const char* name : {"update.key", "update.pub"})
    if (fs::exists(dir / name, ec)) throw Failure((dir / name).string() + ": exists; a key pair is never replaced");
  const Ed25519Key key = Ed25519Key::generate();
  const std::string priv = key.privatePem(), pub = key.publicPem();
  StagedFiles staged(dir);
  staged.add("update.key", Bytes(priv.begin(), priv.end()), fs::perms::owner_read | fs::perms::owner_write);
  staged.add("update.pub", Bytes(pub.begin(), pub.end()),
             fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  staged.commit();
  const auto id = key.keyId();
  out << "nxpack: " << (dir / "update.key").string() << ": private key (keep it on the signing machine)\n"
      << "nxpack: " << (dir / "update.pub").string() << ": public key for the handsets, key id "
      << hexBytes(id.data(), id.size()) << "\n";
}

}  // namespace nxpack
