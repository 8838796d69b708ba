// Shared pieces of the quarantine store tests: a device with the product
// folder, files made on it, and database images made byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "common/crc32.h"
#include "common/quarantine_store.h"
#include "testkit.h"

namespace qtest {

inline const std::u16string kDir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
inline const std::string kHostDir = "Program Files/Nyxel/Nyxel AntiVirus";
inline const std::string kHostQuar = kHostDir + "/Quarantine";

inline std::string hostOf(const std::u16string& devPath) {
  std::string s = ce::utf16ToUtf8(devPath);
  for (char& c : s)
    if (c == '\\') c = '/';
  return s.substr(1);
}

inline uint32_t u32(const std::string& b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}
inline void put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

inline std::string swapped(std::string s) {
  for (char& c : s) {
    auto b = static_cast<uint8_t>(c);
    c = static_cast<char>((b << 4) | (b >> 4));
  }
  return s;
}

// Bytes that are not the same after the exchange, of a length that is not a
// multiple of the 512-byte block.
inline std::string sample(size_t n, int seed = 1) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed * 31) & 0xFF);
  return s;
}

// One record image as the database holds it.
inline std::string recordImage(const std::u16string& source, const std::u16string& threat,
                               const std::u16string& stored, uint32_t kind) {
  std::string r(nx::kQuarantineRecordBytes, '\0');
  auto text = [&](size_t at, const std::u16string& t) {
    for (size_t i = 0; i < t.size(); ++i) {
      r[at + 2 * i] = static_cast<char>(t[i] & 0xFF);
      r[at + 2 * i + 1] = static_cast<char>(t[i] >> 8);
    }
  };
  text(nx::kQrSource, source);
  text(nx::kQrThreat, threat);
  text(nx::kQrStored, stored);
  const uint16_t time[8] = {2026, 12, 4, 10, 9, 8, 7, 6};
  for (int i = 0; i < 8; ++i) {
    r[nx::kQrTime + 2 * i] = static_cast<char>(time[i] & 0xFF);
    r[nx::kQrTime + 2 * i + 1] = static_cast<char>(time[i] >> 8);
  }
  put32(r, nx::kQrKind, kind);
  return r;
}

// A sound database of the records (count and CRC as the store writes them).
inline std::string dbImage(const std::vector<std::string>& records) {
  std::string d(nx::kQuarantineHeadBytes, '\0');
  d[0] = d[1] = d[2] = d[3] = 1;
  put32(d, 8, static_cast<uint32_t>(records.size()));
  for (const std::string& r : records) d += r;
  put32(d, 4, nx::crc32(d.data() + 8, d.size() - 8));
  return d;
}

inline bool crcSound(const std::string& db) {
  return db.size() >= 20 && u32(db, 4) == nx::crc32(db.data() + 8, db.size() - 8);
}

class StoreTest : public ::testing::Test {
 protected:
  // A fast clock: the store's one-second wait between copy names passes in
  // a millisecond.
  StoreTest() : dev(1000.0) {}
  void SetUp() override { std::filesystem::create_directories(dev.host(kHostDir)); }

  std::u16string devFile(const std::string& rel, const std::string& content) {
    dev.writeFile(rel, content);
    std::u16string p = u"\\" + ce::utf8ToUtf16(rel);
    for (char16_t& c : p)
      if (c == u'/') c = u'\\';
    return p;
  }
  bool hostExists(const std::string& rel) const { return std::filesystem::exists(dev.host(rel)); }
  std::string db() const { return hostExists(kHostQuar + "/wmquardb.dat") ? dev.readFile(kHostQuar + "/wmquardb.dat") : ""; }
  // The names in the quarantine folder, sorted.
  std::vector<std::string> folderNames() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dev.host(kHostQuar), ec))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  nx::QuarantineRequest request(const std::u16string& source, ce::DWORD kind, const std::u16string& threat = u"EICAR Test File") {
    nx::QuarantineRequest r{};
    EXPECT_TRUE(nx::makeQuarantineRequest(source.c_str(), threat.c_str(), kind, &r));
    return r;
  }

  nxtest::TempDevice dev;
  nx::QuarantineStore store{kDir.c_str()};
};

}  // namespace qtest
