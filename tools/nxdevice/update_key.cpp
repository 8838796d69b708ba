// nxdevice install --update-key FILE: the public key the device's update
// engine checks update signatures with ("index.sig"), kept in the registry
// under the installation's key as the raw 32-byte Ed25519 key ("UpdateKey").
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "ce/ce.h"
#include "commands.h"
#include "common/install_dir.h"

namespace nxdevice {

namespace {

// The raw key of a PEM public key, of a PEM private key (its public half),
// or a file of exactly the 32 raw bytes.
bool rawKeyOf(const std::string& file, std::array<unsigned char, 32>& raw, std::string& why) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return why = "cannot read " + file, false;
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  if (bytes.size() == raw.size()) {
    std::copy(bytes.begin(), bytes.end(), raw.begin());
    return true;
  }
  EVP_PKEY* key = nullptr;
  for (int attempt = 0; attempt < 2 && !key; ++attempt) {
    BIO* bio = BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size()));
    if (!bio) break;
    key = attempt == 0 ? PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr)
                       : PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
  }
  if (!key) return why = file + " holds no PEM key (nor 32 raw key bytes)", false;
  size_t len = raw.size();
  bool ok = EVP_PKEY_id(key) == EVP_PKEY_ED25519 && EVP_PKEY_get_raw_public_key(key, raw.data(), &len) == 1 &&
            len == raw.size();
  EVP_PKEY_free(key);
  if (!ok) why = file + " is not an Ed25519 key";
  return ok;
}

}  // namespace

int storeUpdateKey(const std::string& file) {
  std::array<unsigned char, 32> raw{};
  std::string why;
  if (!rawKeyOf(file, raw, why)) {
    std::fprintf(stderr, "nxdevice: %s\n", why.c_str());
    return 2;
  }
  ce::HKEY key = nullptr;
  if (ce::RegCreateKeyExW(ce::HKEY_LOCAL_MACHINE, nx::kInstallRegKey, 0, nullptr, 0, ce::KEY_ALL_ACCESS, nullptr,
                          &key, nullptr) != ce::ERROR_SUCCESS)
    return fail("cannot open the installation's registry key");
  ce::LONG rc = ce::RegSetValueExW(key, u"UpdateKey", 0, ce::REG_BINARY, raw.data(), static_cast<ce::DWORD>(raw.size()));
  ce::RegCloseKey(key);
  if (rc != ce::ERROR_SUCCESS) return fail("cannot store the update key");
  std::printf("update key:    %s (updates must carry a signature it verifies)\n", file.c_str());
  return 0;
}

}  // namespace nxdevice
