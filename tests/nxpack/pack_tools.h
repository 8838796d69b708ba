// Test support for the update-server tool: running nxpack, host files, a
// version record, readers of the server files written here from the byte
// tables of the formats (sizes and offsets as literal numbers, not taken from
// the tool), the host's `arj` as the reference, and arjkit.dll loaded on a
// scratch device as the handset unpacks.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "arjkit/arjkit_api.h"
#include "ce/ce.h"
#include "common/update_formats.h"
#include "platform/platform_api.h"
#include "testkit.h"

namespace packtest {

namespace fs = std::filesystem;
using Bytes = std::string;

inline Bytes readHost(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
inline void writeHost(const fs::path& path, const Bytes& data) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}
inline std::map<std::string, Bytes> filesUnder(const fs::path& dir) {
  std::map<std::string, Bytes> out;
  if (!fs::exists(dir)) return out;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out[fs::relative(e.path(), dir).generic_string()] = readHost(e.path());
  return out;
}

inline uint16_t le16(const Bytes& a, size_t at) { return static_cast<uint16_t>(uint8_t(a[at]) | uint8_t(a[at + 1]) << 8); }
inline uint32_t le32(const Bytes& a, size_t at) {
  return uint32_t(uint8_t(a[at])) | uint32_t(uint8_t(a[at + 1])) << 8 | uint32_t(uint8_t(a[at + 2])) << 16 |
         uint32_t(uint8_t(a[at + 3])) << 24;
}
inline void put32(Bytes& a, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) a[at + k] = static_cast<char>(v >> (8 * k));
}

// CRC-32 bit by bit from the polynomial: the register after the data.
inline uint32_t crcRegister(const Bytes& d, size_t from, size_t to) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = from; i < to; ++i) {
    c ^= uint8_t(d[i]);
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return c;
}
// The package check value: CRC registers of 1024-byte blocks after byte 51, summed.
inline uint32_t checkValue(const Bytes& package) {
  uint32_t sum = 0;
  for (size_t at = 51; at < package.size(); at += 1024)
    sum += crcRegister(package, at, std::min(package.size(), at + 1024));
  return sum;
}
inline uint32_t byteSum(const Bytes& d, size_t from) {
  uint32_t s = 0;
  for (size_t i = from; i < d.size(); ++i) s += uint8_t(d[i]);
  return s;
}
inline Bytes unswap(Bytes d, size_t from) {
  for (size_t i = from; i < d.size(); ++i) {
    uint8_t b = uint8_t(d[i]);
    d[i] = static_cast<char>((b << 4) | (b >> 4));
  }
  return d;
}
// The ARJ archive inside a package: after the 51-byte head, the first 90 bytes unscrambled.
inline Bytes body(const Bytes& package) {
  Bytes b = package.substr(51);
  for (size_t i = 0; i < 90 && i < b.size(); ++i) b[i] = static_cast<char>(b[i] ^ nx::upd::kScrambleKey);
  return b;
}
// A 20-byte version record: engine major and minor, then the database time.
inline Bytes versionRecord(int major, int minor, int year, int month, int day, int hour = 0, int minute = 0,
                           int second = 0) {
  Bytes v(20, '\0');
  const int fields[10] = {major, minor, year, month, 0, day, hour, minute, second, 0};
  for (int i = 0; i < 10; ++i) {
    v[2 * i] = static_cast<char>(fields[i]);
    v[2 * i + 1] = static_cast<char>(fields[i] >> 8);
  }
  return v;
}

struct IndexEntry {
  int type, sequence;
  uint32_t size, check;
  std::string name;
  int platform;
};
// index.dat read from its table: 8-byte head, 70-byte entries.
inline std::vector<IndexEntry> readIndex(const Bytes& f) {
  std::vector<IndexEntry> out;
  EXPECT_GE(f.size(), 8u);
  EXPECT_EQ((f.size() - 8) % 70, 0u);
  EXPECT_EQ(le32(f, 0), 57055u);
  EXPECT_EQ(le32(f, 4), byteSum(f, 8));
  for (size_t at = 8; at + 70 <= f.size(); at += 70) {
    IndexEntry e;
    e.type = uint8_t(f[at]);
    e.sequence = uint8_t(f[at + 1]);
    e.size = le32(f, at + 2);
    e.name = std::string(f.c_str() + at + 6);
    EXPECT_LT(e.name.size(), 50u);
    e.check = le32(f, at + 56);
    e.platform = uint8_t(f[at + 60]);
    out.push_back(e);
  }
  return out;
}
// The base addresses of the type-1 sections of httpdn.dat.
inline std::vector<std::u16string> readSources(const Bytes& f) {
  std::vector<std::u16string> out;
  EXPECT_GE(f.size(), 6u);
  EXPECT_EQ(le32(f, 0), ~crcRegister(f, 6, f.size())) << "CRC-32 of the stored bytes after the head";
  const Bytes plain = unswap(f, 6);
  size_t at = 6;
  for (unsigned s = 0, n = le16(f, 4); s < n; ++s) {
    const uint32_t type = le32(plain, at);
    const unsigned locations = le16(plain, at + 4);
    at += 14;
    for (unsigned l = 0; l < locations; ++l, at += 1568) {
      EXPECT_LE(at + 1568, plain.size());
      if (at + 1568 > plain.size()) return out;
      std::u16string base;
      for (size_t i = 0; i < 260 && le16(plain, at + 2 * i); ++i) base.push_back(le16(plain, at + 2 * i));
      if (type == 1) out.push_back(base);
    }
  }
  EXPECT_EQ(at, plain.size());
  return out;
}

struct CliRun {
  int exit = -1;
  std::string out, err;
};
// Runs nxpack with the arguments (already quoted where needed).
inline CliRun runNxpack(const std::string& args, const fs::path& scratch) {
  const fs::path out = scratch / "cli.out", err = scratch / "cli.err";
  const std::string cmd = std::string(NX_BUILD_DIR) + "/bin/nxpack " + args + " >'" + out.string() + "' 2>'" +
                          err.string() + "' </dev/null";
  const int status = std::system(cmd.c_str());
  CliRun r;
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = readHost(out);
  r.err = readHost(err);
  return r;
}
inline std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

inline bool haveTool(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}
inline int shell(const std::string& command) {
  const int rc = std::system((command + " >/dev/null 2>&1 </dev/null").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// What `arj x` makes of an archive (and whether `arj t` passes it).
struct ArjReference {
  int testExit = -1, extractExit = -1;
  std::map<std::string, Bytes> files;
};
inline ArjReference arjReference(const Bytes& archive, const fs::path& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir / "x");
  writeHost(dir / "a.arj", archive);
  ArjReference r;
  r.testExit = shell("cd '" + dir.string() + "' && arj t -y -i a.arj");
  r.extractExit = shell("cd '" + (dir / "x").string() + "' && arj x -y -i ../a.arj");
  r.files = filesUnder(dir / "x");
  return r;
}

// arjkit.dll with filekit.dll and platform.dll on a scratch device, as the
// update engine loads it; takes every member of an archive.
class HandsetUnpacker {
 public:
  struct Member {
    std::string name;
    bool written = false;
    Bytes data;
    int32_t result = 0;
  };

  HandsetUnpacker() {
    std::memcpy(savedLog_, g_szLogFileName, sizeof savedLog_);
    const std::u16string log = u"\\Temp\\engine.log";
    std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * sizeof(char16_t));
    fs::create_directories(dev_.host("Temp/out"));
    const std::string install = dev_.host("Program Files/Nyxel/Nyxel AntiVirus");
    fs::create_directories(install);
    for (const char* m : {"arjkit.dll", "filekit.dll", "platform.dll"})
      fs::copy_file(std::string(NX_BUILD_DIR) + "/image/" + m, install + "/" + m, fs::copy_options::overwrite_existing);
    module_ = MyLoadLibraryW(u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\arjkit.dll");
    if (module_) {
      create_ = reinterpret_cast<PFN_CreateArjkitObject>(MyGetProcAddressW(module_, u"CreateArjkitObject"));
      delete_ = reinterpret_cast<PFN_DeleteArjkitObject>(MyGetProcAddressW(module_, u"DeleteArjkitObject"));
      last_ = reinterpret_cast<PFN_ArjkitLastResult>(MyGetProcAddressW(module_, u"ArjkitLastResult"));
    }
  }
  ~HandsetUnpacker() {
    if (module_) MyFreeLibrary(module_);
    std::memcpy(g_szLogFileName, savedLog_, sizeof savedLog_);
  }
  bool ready() const { return create_ && delete_ && last_; }

  // The members in order; opened false when Open refused the archive.
  std::vector<Member> unpack(const Bytes& archive, bool* opened = nullptr) {
    std::vector<Member> out;
    dev_.writeFile("Temp/files.arj", archive);
    ArchiveReader* r = nullptr;
    if (create_(&r) != 1) return out;
    const int32_t ok = r->ops->Open(r, -1, u"\\Temp\\files.arj");
    if (opened) *opened = ok == 1;
    for (int i = 0; ok && i < 10000; ++i) {
      const std::string rel = "Temp/out/m" + std::to_string(i);
      fs::remove(dev_.host(rel));
      const std::u16string path = u"\\Temp\\out\\m" + ce::utf8ToUtf16(std::to_string(i));
      char16_t name[260] = {};
      if (r->ops->ExtractNext(r, path.c_str(), name) != 1) break;
      Member m;
      m.name = ce::utf16ToUtf8(name);
      m.written = fs::exists(dev_.host(rel));
      if (m.written) m.data = dev_.readFile(rel);
      m.result = last_(r);
      out.push_back(std::move(m));
    }
    r->ops->Close(r);
    delete_(r);
    return out;
  }

 private:
  nxtest::TempDevice dev_;
  ce::HMODULE module_ = nullptr;
  PFN_CreateArjkitObject create_ = nullptr;
  PFN_DeleteArjkitObject delete_ = nullptr;
  PFN_ArjkitLastResult last_ = nullptr;
  char16_t savedLog_[ce::MAX_PATH];
};

// Contents that exercise the compressor: text, structured binary, noise.
inline Bytes textContent(size_t n, uint32_t seed) {
  static const char* words[] = {"update ", "package ", "signature ", "handset ", "module ", "definition ",
                                "archive ", "member ", "scanner ", "\r\n", "engine ", "storage "};
  Bytes s;
  uint32_t x = seed * 2654435761u + 1;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += words[(x >> 16) % 12];
  }
  s.resize(n);
  return s;
}
inline Bytes binaryContent(size_t n, uint32_t seed) {
  Bytes s;
  uint32_t x = seed | 1;
  while (s.size() < n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    switch (x % 4) {
      case 0: s.append(1 + (x >> 8) % 40, static_cast<char>(x >> 24)); break;
      case 1:
        if (s.size() > 300) {
          size_t from = (x >> 6) % (s.size() - 200), len = 3 + (x >> 20) % 300;
          s += s.substr(from, len);
        }
        break;
      default: s.push_back(static_cast<char>(x >> 11)); break;
    }
  }
  s.resize(n);
  return s;
}
inline Bytes noise(size_t n, uint32_t seed) {
  Bytes s(n, '\0');
  uint32_t x = seed | 1;
  for (auto& c : s) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

}  // namespace packtest
