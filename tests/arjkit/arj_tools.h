// Test support for the ARJ reader: archives made with the host's `arj` at
// test time, the reference extraction with `arj x`, and header patching
// (fields changed, the header CRC made to match again) for the cases `arj`
// will not produce itself.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/crc32.h"

namespace arjtest {

namespace fs = std::filesystem;

inline std::string readHost(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void writeHost(const std::string& path, const std::string& data) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline bool haveArj() { return std::system("command -v arj >/dev/null 2>&1") == 0; }

// Runs a shell command in dir, output discarded; its exit code.
inline int run(const std::string& dir, const std::string& command) {
  std::string full = "cd '" + dir + "' && " + command + " >/dev/null 2>&1 </dev/null";
  int rc = std::system(full.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Every regular file under dir, keyed by its path relative to dir.
inline std::map<std::string, std::string> filesUnder(const std::string& dir) {
  std::map<std::string, std::string> out;
  if (!fs::exists(dir)) return out;
  for (auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) out[fs::relative(e.path(), dir).generic_string()] = readHost(e.path().string());
  return out;
}

// What `arj x` makes of an archive, extracted into dir (created fresh).
struct Reference {
  int exitCode = -1;
  std::map<std::string, std::string> files;
};
inline Reference arjExtract(const std::string& archive, const std::string& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  Reference r;
  r.exitCode = run(dir, "arj x -y -i '" + archive + "'");
  r.files = filesUnder(dir);
  return r;
}

// The single member of an archive, through `arj e -jw` (for names the host
// cannot create).
inline std::string arjExtractSingleAs(const std::string& archive, const std::string& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  run(dir, "arj e -y -i -jw'" + dir + "/single.out' '" + archive + "'");
  return readHost(dir + "/single.out");
}

// ---- Contents that every method compresses -------------------------------------
inline std::string textContent(size_t n, uint32_t seed) {
  static const char* words[] = {"update ", "package ", "signature ", "handset ", "module ", "definition ",
                                "archive ", "member ", "scanner ", "\r\n", "engine ", "storage "};
  std::string s;
  uint32_t x = seed * 2654435761u + 1;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += words[(x >> 16) % 12];
  }
  s.resize(n);
  return s;
}
// Binary with structure: runs, repeats from far back and noise.
inline std::string binaryContent(size_t n, uint32_t seed) {
  std::string s;
  uint32_t x = seed | 1;
  while (s.size() < n) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    switch (x % 4) {
      case 0: s.append(1 + (x >> 8) % 40, static_cast<char>(x >> 24)); break;
      case 1:
        if (s.size() > 300) {
          size_t from = (x >> 6) % (s.size() - 200), len = 3 + (x >> 20) % 200;
          s += s.substr(from, len);
        }
        break;
      default: s.push_back(static_cast<char>(x >> 11)); break;
    }
  }
  s.resize(n);
  return s;
}

// ---- Header walking and patching -------------------------------------------------
inline uint16_t le16(const std::string& a, size_t at) {
  return static_cast<uint16_t>(uint8_t(a[at]) | uint8_t(a[at + 1]) << 8);
}
inline uint32_t le32(const std::string& a, size_t at) {
  return uint32_t(uint8_t(a[at])) | uint32_t(uint8_t(a[at + 1])) << 8 | uint32_t(uint8_t(a[at + 2])) << 16 |
         uint32_t(uint8_t(a[at + 3])) << 24;
}
inline void put32(std::string& a, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) a[at + k] = static_cast<char>(v >> (8 * k));
}

// Offsets of the headers of an archive that starts at `start`: the main
// header first, then each member's.
inline std::vector<size_t> headers(const std::string& a, size_t start = 0) {
  std::vector<size_t> out;
  size_t at = start;
  bool main = true;
  while (at + 4 <= a.size() && le16(a, at) == 0xEA60) {
    size_t size = le16(a, at + 2);
    if (size == 0) break;
    out.push_back(at);
    size_t next = at + 4 + size + 4;
    while (next + 2 <= a.size() && le16(a, next) != 0) next += 2 + le16(a, next) + 4;
    next += 2;
    if (!main) next += le32(a, at + 4 + 12);
    main = false;
    at = next;
  }
  return out;
}

// Changes the basic header at `header` and makes its CRC match again.
inline void patch(std::string& a, size_t header, const std::function<void(uint8_t* basic)>& change) {
  size_t size = le16(a, header + 2);
  change(reinterpret_cast<uint8_t*>(&a[header + 4]));
  put32(a, header + 4 + size, nx::crc32(&a[header + 4], size));
}

}  // namespace arjtest
