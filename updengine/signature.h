// Update authentication: a device that holds a public key (the registry
// value "UpdateKey", a raw 32-byte Ed25519 key, under the installation's
// key) installs only updates whose "index.sig" verifies with it and covers
// the fetched index.dat and every fetched package. Without a key nothing
// is checked, as on the handset.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "updengine/engine.h"

namespace nx::upd {

inline constexpr const WCHAR* kUpdateKeyValue = u"UpdateKey";

// The device's key; false when it holds none (or an unusable value).
bool deviceUpdateKey(std::array<uint8_t, 32>& key);

class IndexSignature {
 public:
  explicit IndexSignature(const std::array<uint8_t, 32>& key) : key_(key) {}
  // Checks the signature file against the key and the fetched index; false
  // (refused) for a missing, malformed or wrong one.
  bool verify(const std::vector<uint8_t>& sigFile, const std::vector<uint8_t>& indexDat);
  // Whether a fetched package is the one the signature names.
  bool covers(const ListEntry& entry, const std::u16string& packagePath) const;

 private:
  std::array<uint8_t, 32> key_;
  struct Record {
    std::array<uint8_t, 50> name;
    std::array<uint8_t, 32> hash;
  };
  std::vector<Record> records_;
};

// SHA-256 of a file read in pieces; false when it cannot be read.
bool sha256File(const std::u16string& path, std::array<uint8_t, 32>& out);

}  // namespace nx::upd
