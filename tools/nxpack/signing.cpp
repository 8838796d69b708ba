#include "signing.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "common/update_formats.h"

namespace nxpack {

using namespace nx::upd;

namespace {

EVP_PKEY* pkey(void* k) { return static_cast<EVP_PKEY*>(k); }

std::unique_ptr<BIO, decltype(&BIO_free)> openPem(const std::string& path) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), BIO_free);
  if (!bio) throw std::runtime_error(path + ": cannot open the key file");
  return bio;
}

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  return std::string(data, data && n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

Digest sha256(const uint8_t* data, size_t size) {
  Digest d{};
  unsigned int n = 0;
  if (!EVP_Digest(data, size, d.data(), &n, EVP_sha256(), nullptr) || n != d.size())
    throw std::runtime_error("SHA-256 failed");
  return d;
}

std::string hexBytes(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

Ed25519Key::~Ed25519Key() { EVP_PKEY_free(pkey(key_)); }
Ed25519Key::Ed25519Key(Ed25519Key&& o) noexcept : key_(o.key_), private_(o.private_) { o.key_ = nullptr; }
Ed25519Key& Ed25519Key::operator=(Ed25519Key&& o) noexcept {
  std::swap(key_, o.key_);
  std::swap(private_, o.private_);
  return *this;
}

Ed25519Key Ed25519Key::loadPrivate(const std::string& path) {
  auto bio = openPem(path);
  EVP_PKEY* k = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (!k) throw std::runtime_error(path + ": not a PEM private key");
  if (EVP_PKEY_id(k) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(k);
    throw std::runtime_error(path + ": not an Ed25519 key (make one with nxpack keygen)");
  }
  return Ed25519Key(k, true);
}

Ed25519Key Ed25519Key::loadPublic(const std::string& path) {
  auto bio = openPem(path);
  EVP_PKEY* k = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
  if (!k) {
    // A private key file also holds the public half.
    bio = openPem(path);
    k = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  }
  if (!k) throw std::runtime_error(path + ": not a PEM public key");
  if (EVP_PKEY_id(k) != EVP_PKEY_ED25519) {
    EVP_PKEY_free(k);
    throw std::runtime_error(path + ": not an Ed25519 key");
  }
  return Ed25519Key(k, false);
}

Ed25519Key Ed25519Key::generate() {
  EVP_PKEY* k = nullptr;
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr),
                                                                  EVP_PKEY_CTX_free);
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 || EVP_PKEY_keygen(ctx.get(), &k) <= 0)
    throw std::runtime_error("cannot generate an Ed25519 key");
  return Ed25519Key(k, true);
}

std::array<uint8_t, 32> Ed25519Key::rawPublic() const {
  std::array<uint8_t, 32> raw{};
  size_t n = raw.size();
  if (EVP_PKEY_get_raw_public_key(pkey(key_), raw.data(), &n) != 1 || n != raw.size())
    throw std::runtime_error("cannot read the public key");
  return raw;
}

std::array<uint8_t, 8> Ed25519Key::keyId() const {
  const auto raw = rawPublic();
  const Digest d = sha256(raw.data(), raw.size());
  std::array<uint8_t, 8> id{};
  std::memcpy(id.data(), d.data(), id.size());
  return id;
}

std::array<uint8_t, 64> Ed25519Key::sign(const Bytes& message) const {
  if (!private_) throw std::logic_error("signing needs a private key");
  std::array<uint8_t, 64> sig{};
  size_t n = sig.size();
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, pkey(key_)) != 1 ||
      EVP_DigestSign(ctx.get(), sig.data(), &n, message.data(), message.size()) != 1 || n != sig.size())
    throw std::runtime_error("Ed25519 signing failed");
  return sig;
}

bool Ed25519Key::verify(const uint8_t* message, size_t size, const uint8_t* signature) const {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey(key_)) != 1) return false;
  return EVP_DigestVerify(ctx.get(), signature, kSigSignatureSize, message, size) == 1;
}

std::string Ed25519Key::privatePem() const {
  if (!private_) throw std::logic_error("no private key");
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), pkey(key_), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    throw std::runtime_error("cannot write the private key");
  return bioText(bio.get());
}

std::string Ed25519Key::publicPem() const {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), pkey(key_)) != 1) throw std::runtime_error("cannot write the public key");
  return bioText(bio.get());
}

Bytes makeSignatureFile(const Bytes& indexDat, const std::vector<SignedPackage>& packages, const Ed25519Key& key) {
  Bytes out(kSigHeadSize, 0);
  std::memcpy(out.data(), kSigMagic, sizeof kSigMagic);
  set32(&out[8], kSigVersion);
  set32(&out[12], static_cast<uint32_t>(packages.size()));
  const Digest indexHash = sha256(indexDat);
  std::memcpy(&out[kSigIndexHash], indexHash.data(), indexHash.size());
  const auto id = key.keyId();
  std::memcpy(&out[kSigKeyId], id.data(), id.size());
  for (const SignedPackage& p : packages) {
    if (p.nameBytes.size() != kEntryNameBytes) throw std::invalid_argument("package name bytes");
    out.insert(out.end(), p.nameBytes.begin(), p.nameBytes.end());
    out.insert(out.end(), p.hash.begin(), p.hash.end());
  }
  const auto sig = key.sign(out);
  out.insert(out.end(), sig.begin(), sig.end());
  return out;
}

std::optional<SignatureFile> decodeSignatureFile(const Bytes& f, Faults& faults) {
  if (f.size() < kSigHeadSize + kSigSignatureSize) {
    faults.push_back("index.sig: " + std::to_string(f.size()) + " bytes, too short for a signature file");
    return std::nullopt;
  }
  if (std::memcmp(f.data(), kSigMagic, sizeof kSigMagic) != 0) {
    faults.push_back("index.sig: not a signature file (no \"NXIDXSIG\" at its start)");
    return std::nullopt;
  }
  SignatureFile s;
  s.version = get32(&f[8]);
  if (s.version != kSigVersion) {
    faults.push_back("index.sig: format version " + std::to_string(s.version) + ", this build knows 1");
    return std::nullopt;
  }
  const uint32_t count = get32(&f[12]);
  if ((f.size() - kSigHeadSize - kSigSignatureSize) != uint64_t(count) * kSigRecordSize) {
    faults.push_back("index.sig: " + std::to_string(count) + " package records do not match the file size");
    return std::nullopt;
  }
  std::memcpy(s.indexHash.data(), &f[kSigIndexHash], s.indexHash.size());
  std::memcpy(s.keyId.data(), &f[kSigKeyId], s.keyId.size());
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* r = &f[kSigHeadSize + i * kSigRecordSize];
    SignedPackage p;
    p.nameBytes.assign(r, r + kEntryNameBytes);
    std::memcpy(p.hash.data(), r + kSigRecordHash, p.hash.size());
    s.packages.push_back(p);
  }
  s.signedSize = f.size() - kSigSignatureSize;
  return s;
}

}  // namespace nxpack
