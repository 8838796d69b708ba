#include "setuphook/removal.h"

#include <vector>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "common/install_dir.h"

namespace setup {

using namespace ce;

namespace {

bool isSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

// The components of an absolute device path; false for one that is not
// absolute or has an empty, "." or ".." component (such a path may name a
// folder other than the one it seems to).
bool splitAbsolute(const std::u16string& path, std::vector<std::u16string>& out) {
  out.clear();
  if (path.empty() || !isSeparator(path[0])) return false;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !isSeparator(path[end])) ++end;
    std::u16string comp = path.substr(start, end - start);
    if (comp.empty() || comp == u"." || comp == u"..") return false;
    out.push_back(std::move(comp));
    start = end + 1;
  }
  return true;
}

// Whether the entry a path names is a symbolic link (as its folder lists it).
bool isLink(const std::u16string& path) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(path.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return false;
  FindClose(h);
  return (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A folder reached through a link may be any folder of the device.
bool linkOnTheWay(const std::u16string& path) {
  for (size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || isSeparator(path[i]))
      if (isLink(path.substr(0, i))) return true;
  return false;
}

void deleteEntry(const std::u16string& path, DWORD attributes) {
  if (DeleteFileW(path.c_str())) return;
  // A read-only file in the product's folder goes with the folder. A link's
  // attributes would be its target's: a link is never touched beyond its
  // own removal.
  if (GetLastError() == ERROR_ACCESS_DENIED && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL))
    DeleteFileW(path.c_str());
}

// Everything below folder, depth first. A path that grows past the device's
// limit cannot be listed, which bounds the depth.
void removeContents(const std::u16string& folder) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((folder + u"\\*.*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::u16string path = folder + u"\\" + fd.cFileName;
    const bool folderEntry = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                             (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (folderEntry) {
      removeContents(path);
      RemoveDirectoryW(path.c_str());
    } else {
      deleteEntry(path, fd.dwFileAttributes);
    }
  } while (FindNextFileW(h, &fd));
  FindClose(h);
}

}  // namespace

RemovalPlan planRemoval(const WCHAR* installDir) {
  RemovalPlan plan;
  if (!installDir) return plan;
  const std::u16string dir(installDir);
  std::vector<std::u16string> comps;
  if (dir.size() >= MAX_PATH || !splitAbsolute(dir, comps) || comps.empty()) return plan;
  if (equalsNoCase(comps.front(), u"Host")) return plan;  // the host's own files
  if (comps.size() == 1 && equalsNoCase(comps.front(), u"Windows")) return plan;
  if (!equalsNoCase(comps.back(), nx::kProductFolder)) return plan;
  plan.productFolder = dir;
  if (comps.size() >= 2 && equalsNoCase(comps[comps.size() - 2], u"Nyxel")) {
    size_t cut = dir.size() - comps.back().size() - 1;
    plan.parentFolder = dir.substr(0, cut);
  }
  return plan;
}

void removeProduct(const RemovalPlan& plan) {
  if (plan.productFolder.empty()) return;
  // Checked now rather than when the plan was made: the folders may have
  // changed between the two hooks.
  if (linkOnTheWay(plan.productFolder)) return;
  const DWORD a = GetFileAttributesW(plan.productFolder.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
    removeContents(plan.productFolder);
    RemoveDirectoryW(plan.productFolder.c_str());
  }
  // Only an empty folder can be removed, so anything the user keeps there stays.
  if (!plan.parentFolder.empty()) RemoveDirectoryW(plan.parentFolder.c_str());
}

}  // namespace setup
