#include "updengine/signature.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/registry.h"
#include "common/install_dir.h"
#include "common/update_formats.h"

namespace nx::upd {

using namespace ce;

namespace {

uint32_t u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool sha256(const uint8_t* data, size_t len, uint8_t* out) {
  unsigned int n = 0;
  return EVP_Digest(data, len, out, &n, EVP_sha256(), nullptr) == 1 && n == kSha256Size;
}

}  // namespace

bool deviceUpdateKey(std::array<uint8_t, 32>& key) {
  HKEY k = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, nx::kInstallRegKey, 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(key.size());
  LONG rc = RegQueryValueExW(k, kUpdateKeyValue, nullptr, &type, key.data(), &size);
  RegCloseKey(k);
  return rc == ERROR_SUCCESS && type == REG_BINARY && size == key.size();
}

bool sha256File(const std::u16string& path, std::array<uint8_t, 32>& out) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
  std::vector<uint8_t> buf(64 * 1024);
  while (ok) {
    DWORD got = 0;
    if (!ReadFile(f, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) ok = false;
    if (!ok || got == 0) break;
    ok = EVP_DigestUpdate(ctx.get(), buf.data(), got) == 1;
  }
  CloseHandle(f);
  unsigned int n = 0;
  return ok && EVP_DigestFinal_ex(ctx.get(), out.data(), &n) == 1 && n == out.size();
}

bool IndexSignature::verify(const std::vector<uint8_t>& sig, const std::vector<uint8_t>& indexDat) {
  records_.clear();
  if (sig.size() < kSigHeadSize + kSigSignatureSize || std::memcmp(sig.data(), kSigMagic, sizeof kSigMagic) != 0 ||
      u32(sig.data() + 8) != kSigVersion)
    return false;
  const uint64_t n = u32(sig.data() + 12);
  if (sig.size() != kSigHeadSize + n * kSigRecordSize + kSigSignatureSize) return false;
  if (indexDat.size() < kIndexHeadSize || (indexDat.size() - kIndexHeadSize) / kIndexEntrySize != n) return false;

  std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key_.data(), key_.size()), EVP_PKEY_free);
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!pkey || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
  const size_t signedLen = sig.size() - kSigSignatureSize;
  if (EVP_DigestVerify(ctx.get(), sig.data() + signedLen, kSigSignatureSize, sig.data(), signedLen) != 1) return false;

  uint8_t h[kSha256Size];
  if (!sha256(indexDat.data(), indexDat.size(), h) || std::memcmp(h, sig.data() + kSigIndexHash, kSha256Size) != 0)
    return false;
  for (uint64_t i = 0; i < n; ++i) {
    const uint8_t* r = sig.data() + kSigHeadSize + i * kSigRecordSize;
    Record rec;
    std::memcpy(rec.name.data(), r, rec.name.size());
    std::memcpy(rec.hash.data(), r + kSigRecordHash, rec.hash.size());
    records_.push_back(rec);
  }
  return true;
}

bool IndexSignature::covers(const ListEntry& entry, const std::u16string& packagePath) const {
  std::array<uint8_t, 32> h{};
  if (!sha256File(packagePath, h)) return false;
  for (const Record& r : records_)
    if (r.name == entry.nameBytes) return r.hash == h;
  return false;
}

}  // namespace nx::upd
