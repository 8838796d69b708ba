// Update authentication on the server side: Ed25519 keys (OpenSSL), the
// SHA-256 of files, and the signature file "index.sig" over index.dat and
// every package. Keys are PEM files as `openssl genpkey -algorithm ed25519`
// writes them (PKCS#8 private key, SubjectPublicKeyInfo public key).
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "server_files.h"

namespace nxpack {

using Digest = std::array<uint8_t, 32>;
Digest sha256(const uint8_t* data, size_t size);
inline Digest sha256(const Bytes& b) { return sha256(b.data(), b.size()); }

// An Ed25519 key loaded from a PEM file: a private key (which also gives the
// public half) or a public key.
class Ed25519Key {
 public:
  // Throws std::runtime_error naming the file when it is not an Ed25519 key
  // of the kind asked for.
  static Ed25519Key loadPrivate(const std::string& path);
  static Ed25519Key loadPublic(const std::string& path);
  // A new private key.
  static Ed25519Key generate();

  ~Ed25519Key();
  Ed25519Key(Ed25519Key&&) noexcept;
  Ed25519Key& operator=(Ed25519Key&&) noexcept;

  bool hasPrivate() const { return private_; }
  std::array<uint8_t, 32> rawPublic() const;
  // The first 8 bytes of the SHA-256 of the raw public key.
  std::array<uint8_t, 8> keyId() const;
  std::array<uint8_t, 64> sign(const Bytes& message) const;
  bool verify(const uint8_t* message, size_t size, const uint8_t* signature) const;
  // PEM texts; writing the private one needs a private key.
  std::string privatePem() const;
  std::string publicPem() const;

 private:
  explicit Ed25519Key(void* key, bool isPrivate) : key_(key), private_(isPrivate) {}
  void* key_ = nullptr;  // EVP_PKEY
  bool private_ = false;
};

struct SignedPackage {
  Bytes nameBytes;  // the 50 name bytes of the index entry
  Digest hash{};
};

// The whole "index.sig" for index.dat and its packages, in index order.
Bytes makeSignatureFile(const Bytes& indexDat, const std::vector<SignedPackage>& packages, const Ed25519Key& key);

struct SignatureFile {
  uint32_t version = 0;
  Digest indexHash{};
  std::array<uint8_t, 8> keyId{};
  std::vector<SignedPackage> packages;
  size_t signedSize = 0;  // bytes covered by the signature
};
// The layout only; faults for anything that does not fit it.
std::optional<SignatureFile> decodeSignatureFile(const Bytes& file, Faults& faults);

std::string hexBytes(const uint8_t* p, size_t n);

}  // namespace nxpack
