// The registry as a tree in memory, and its text form on disk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ce/windows.h"

namespace ce::detail::reg {

// Roots in the order of their predefined handles (0x80000000 + index).
constexpr int kRootCount = 3;
// Key ids 1..kRootCount name the roots; other keys get random 64-bit ids so
// that an id never comes back, not even after a registry was restored from
// its backup, and a handle of a deleted key cannot land on a new one.
constexpr uint64_t kFirstKeyId = 0x100;

struct Value {
  std::u16string name;
  DWORD type = 0;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  uint64_t id = 0;
  Key* parent = nullptr;
  std::vector<std::unique_ptr<Key>> subkeys;  // creation order
  std::vector<Value> values;                  // order of first write

  Key* findSubkey(std::u16string_view n) const;
  Value* findValue(std::u16string_view n);
};

class Tree {
 public:
  Tree();
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  Key* root(int index) { return roots_[index].get(); }
  const Key* root(int index) const { return roots_[index].get(); }
  Key* byId(uint64_t id) const;

  // Adds a sub-key with a fresh id (or `id` when given, for the parser);
  // nullptr when the id is already in use.
  Key* addSubkey(Key* parent, std::u16string name, uint64_t id = 0);
  // Removes the key and its subtree; the ids of all of them become unknown.
  void removeKey(Key* key);

 private:
  void forget(Key* key);
  std::unique_ptr<Key> roots_[kRootCount];
  std::unordered_map<uint64_t, Key*> byId_;
};

const char* rootName(int index);

// The keys a new device starts with.
void addStandardKeys(Tree& tree);

// The file's text: a header, one "[path] id" line per key followed by its
// value lines, and a closing "crc32 XXXXXXXX" line over everything before it.
std::string serialize(const Tree& tree);
// Parses a whole file; false (with a short reason) when the text is damaged
// in any way, the checksum included.
bool parse(std::string_view text, Tree& out, std::string& why);

uint32_t crc32(const void* data, size_t size);

}  // namespace ce::detail::reg
