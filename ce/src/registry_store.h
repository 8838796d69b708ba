// The registry file of one device and this process's parsed copy of it.
//
// Readers take no lock: the file is only ever replaced by an atomic rename,
// so whatever a reader opens is a complete file. The parsed tree is kept and
// re-read only when the file's identity (inode, size, modification time)
// changes; writers give every new file a modification time later than the one
// it replaces, so the identity never repeats even when an inode is reused.
//
// Writers hold an exclusive lock on "registry.lock", re-read the file when it
// changed, apply their change, write "registry.tmp", sync it, keep the file
// they replace as "registry.bak" and rename the new one into place. A writer
// killed at any point leaves either the old or the new file.
//
// A damaged file is never used, deleted or emptied: it is set aside as
// "registry.damaged-<N>", the backup takes its place when it is intact (an
// empty registry with the standard keys otherwise), and the damage is
// reported on stderr and in "device.log".
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "ce/windows.h"
#include "registry_tree.h"

namespace ce::detail::reg {

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const FileIdentity&) const = default;
};

class Store {
 public:
  explicit Store(std::string ceDir);
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& ceDir() const { return ceDir_; }

  // Brings the tree up to date with the file: one stat when nothing changed.
  // ERROR_SUCCESS, or ERROR_BADDB when the file cannot be read or a damaged
  // file cannot be set aside.
  LONG refresh();
  Tree& tree() { return *tree_; }

  // Applies `change` to the current tree under the write lock and stores the
  // result. `change` returns its answer and sets `changed` when the tree was
  // modified; it must check everything before it modifies anything. On a
  // failed write the tree is re-read from the file at the next call.
  LONG update(const std::function<LONG(Tree&, bool& changed)>& change);

  // Writes a registry with the standard keys when there is no file yet.
  bool createDefault();

 private:
  struct WriteLock;
  enum class Load { Ok, Missing, Damaged, Unreadable };
  Load readFile(const std::string& path, Tree& out, FileIdentity& id, std::string& why);
  LONG refreshLocked();
  LONG recover(const std::string& why);
  bool writeFile(const Tree& tree, bool keepBackup);
  void report(const std::string& line);

  std::string ceDir_, file_, bak_, tmp_, lock_;
  std::unique_ptr<Tree> tree_;
  FileIdentity id_;
  bool valid_ = false;    // tree_ matches id_
  bool missing_ = false;  // tree_ stands for a missing file
};

}  // namespace ce::detail::reg
