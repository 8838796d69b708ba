// Folder aliases under "\Host": a host tool that scans a deep host tree names
// each deep folder "\Host\~N", so that the device path of every file in it
// fits the handset's 260 characters while the host path can be as long as
// the host allows. The table is the process's own; device programs, which
// have no \Host mount, never see it.
#include <fcntl.h>
#include <sys/stat.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ce/base.h"
#include "ce/text.h"
#include "paths.h"

namespace ce {
namespace detail {
namespace {

struct AliasTable {
  std::mutex mu;
  std::unordered_map<std::string, size_t> byFolder;  // host folder without the leading "/" -> number
  std::vector<std::string> folders;                  // number - 1 -> host folder
  size_t next = 1;
};

AliasTable& table() {
  static AliasTable* t = new AliasTable;
  return *t;
}

// "~N" with N a decimal number without leading zeros, from 1.
bool aliasNumber(std::u16string_view name, size_t& n) {
  if (name.size() < 2 || name.size() > 10 || name[0] != u'~' || name[1] == u'0') return false;
  n = 0;
  for (size_t i = 1; i < name.size(); ++i) {
    if (name[i] < u'0' || name[i] > u'9') return false;
    n = n * 10 + static_cast<size_t>(name[i] - u'0');
  }
  return true;
}

}  // namespace

bool hostAliasFolder(std::u16string_view name, std::string& folder) {
  size_t n;
  if (!aliasNumber(name, n)) return false;
  AliasTable& t = table();
  std::lock_guard lock(t.mu);
  if (n == 0 || n > t.folders.size() || t.folders[n - 1].empty()) return false;
  folder = t.folders[n - 1];
  return true;
}

}  // namespace detail

std::u16string HostFolderAlias(const std::string& hostFolder) {
  using namespace detail;
  if (!HostMountEnabled() || hostFolder.empty() || hostFolder[0] != '/') return {};
  std::string rel = hostFolder.substr(1);
  while (!rel.empty() && rel.back() == '/') rel.pop_back();
  if (rel.empty()) return {};
  // Only plain components: the alias must name the folder the caller means.
  for (size_t s = 0; s <= rel.size();) {
    size_t e = rel.find('/', s);
    if (e == std::string::npos) e = rel.size();
    std::string_view c(rel.data() + s, e - s);
    if (c.empty() || c == "." || c == "..") return {};
    s = e + 1;
  }
  AliasTable& t = table();
  std::lock_guard lock(t.mu);
  auto it = t.byFolder.find(rel);
  size_t n;
  if (it != t.byFolder.end()) {
    n = it->second;
  } else {
    // A name the host's "/" really holds is left to it.
    struct stat st;
    for (;; ++t.next) {
      std::string name = "/~" + std::to_string(t.next);
      if (::fstatat(AT_FDCWD, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) break;
    }
    n = t.next++;
    t.folders.resize(n);
    t.folders[n - 1] = rel;
    t.byFolder.emplace(rel, n);
  }
  return u"\\Host\\~" + utf8ToUtf16(std::to_string(n));
}

}  // namespace ce
