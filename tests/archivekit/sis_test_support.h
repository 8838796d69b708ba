// Helpers of the SIS/SISX reader tests: little-endian packing, zlib, SHA-256
// prefixes, and a reader fixture over the file wrapper on a scratch device.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include "ce/ce.h"
#include "filekit/filekit_api.h"
#include "testkit.h"

extern "C" {
int32_t LibInit();
int32_t LibDeinit();
int32_t CreateFileWrapObject(FileWrapObject** out);
}

namespace sistest {

inline void put32(std::string& s, size_t at, uint32_t v) {
  if (s.size() < at + 4) s.resize(at + 4, '\0');
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
inline void put16(std::string& s, size_t at, uint16_t v) {
  if (s.size() < at + 2) s.resize(at + 2, '\0');
  s[at] = static_cast<char>(v);
  s[at + 1] = static_cast<char>(v >> 8);
}
inline std::string le32(uint32_t v) {
  std::string s;
  put32(s, 0, v);
  return s;
}
inline std::string utf16(const std::u16string& w) {
  std::string s;
  for (char16_t c : w) {
    s.push_back(static_cast<char>(c & 0xFF));
    s.push_back(static_cast<char>(c >> 8));
  }
  return s;
}
inline std::string zlibOf(const std::string& raw) {
  uLongf size = compressBound(raw.size());
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()), raw.size(), 9);
  out.resize(size);
  return out;
}
inline std::string sha256Prefix(const std::string& data) {
  unsigned char md[32];
  unsigned int len = 0;
  EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    out.push_back(hex[md[i] >> 4]);
    out.push_back(hex[md[i] & 15]);
  }
  return out;
}
inline std::string readHost(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
inline std::string corpusDir(const char* kind) {
  std::string shared = nxtest::sharedDir();
  return shared.empty() ? std::string() : shared + "/corpus/" + kind;
}

struct Member {
  std::string name, data;
};

// A reader of type R over the device's file wrapper.
template <class R>
class ReaderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LibInit(), 1);
    ASSERT_EQ(CreateFileWrapObject(&fw), 1);
    reader = std::make_unique<R>(fw, fw);
  }
  void TearDown() override {
    if (reader) reader->Close();
    reader.reset();
    LibDeinit();
  }
  int open(const std::string& bytes, const std::string& name = "a.sis") {
    dev.writeFile("Temp/" + name, bytes);
    std::u16string path = u"\\Temp\\" + ce::utf8ToUtf16(name);
    return reader->Open(path.c_str());
  }
  // Takes members until ExtractNext answers 0 (at most limit calls).
  std::vector<Member> takeAll(int limit = 200) {
    std::vector<Member> out;
    for (int i = 0; i < limit; ++i) {
      std::u16string path = u"\\Temp\\m" + ce::utf8ToUtf16(std::to_string(i));
      char16_t name[260] = {};
      if (!reader->ExtractNext(path.c_str(), name)) break;
      out.push_back({ce::utf16ToUtf8(name), dev.readFile("Temp/m" + std::to_string(i))});
    }
    return out;
  }
  ArchiveReaderStatus status() const {
    ArchiveReaderStatus st{};
    st.size = sizeof st;
    reader->status(st);
    return st;
  }
  void limit(uint64_t maxBytes) {
    ArchiveReaderLimits l{sizeof l, 0, maxBytes};
    ASSERT_EQ(reader->setLimits(l), 1);
  }
  nxtest::TempDevice dev;
  FileWrapObject* fw = nullptr;
  std::unique_ptr<R> reader;
};

}  // namespace sistest
