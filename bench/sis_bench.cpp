// SIS/SISX member inflation: the inflater's bulk inflation against the
// one-byte-step inflation it replaces, on every zlib stream of the shared
// corpus's SIS and SISX packages (SIS file records, SISX controllers and
// file data), with the members' own lengths as output limits. Both must give
// the same bytes; reports MB/s of inflated output and the ratio bulk/steps
// (the target is >= 10).
//
// zlib's uncompress() over the same streams is printed beside them as the
// ceiling any bulk use of zlib can reach.
//
//   sis_bench [CORPUS_DIR]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "archivekit/inflater.h"

namespace {

struct Stream {
  std::vector<uint8_t> in;
  size_t m;
};

std::string readAll(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
uint32_t u32(const std::string& d, size_t p) {
  if (p + 4 > d.size()) return 0;
  return static_cast<uint32_t>(static_cast<uint8_t>(d[p]) | static_cast<uint8_t>(d[p + 1]) << 8 |
                               static_cast<uint8_t>(d[p + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(d[p + 3])) << 24);
}

void sisStreams(const std::string& d, std::vector<Stream>& out) {
  if (d.size() < 100 || u32(d, 4) != 0x10003A12) return;
  uint32_t languages = u32(d, 18) & 0xFFFF, records = u32(d, 20) & 0xFFFF;
  size_t p = u32(d, 52);
  for (uint32_t r = 0; r < records && p + 4 <= d.size(); ++r) {
    uint32_t type = u32(d, p);
    if (type > 1) break;
    uint32_t n = type == 0 ? 1 : languages;
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t len = u32(d, p + 28 + 4 * i), pos = u32(d, p + 28 + 4 * (n + i)), m = u32(d, p + 28 + 4 * (2 * n + i));
      if (uint64_t{pos} + len <= d.size() && m <= nx::sis::kMaxInflated)
        out.push_back({std::vector<uint8_t>(d.begin() + pos, d.begin() + pos + len), m});
    }
    p += type == 0 ? 48 : (n + 3) * 12;
  }
}

// Every compressed block (type 3, deflate) found anywhere in a SISX package.
void sisxStreams(const std::string& d, std::vector<Stream>& out) {
  if (u32(d, 0) != 0x10201A7A) return;
  for (size_t p = 16; p + 20 <= d.size(); p += 4) {
    uint32_t type = u32(d, p), len = u32(d, p + 4), alg = u32(d, p + 8), m = u32(d, p + 12);
    if (type != 3 || alg != 1 || len < 14 || p + 8 + len > d.size() || m == 0 || m > nx::sis::kMaxInflated) continue;
    if (static_cast<uint8_t>(d[p + 20]) != 0x78) continue;  // a zlib header
    out.push_back({std::vector<uint8_t>(d.begin() + p + 20, d.begin() + p + 8 + len), m});
  }
}

template <class F>
double bestSeconds(F&& f, double atLeast) {
  double best = 1e9;
  for (int round = 0; round < 3; ++round) {
    auto t0 = std::chrono::steady_clock::now();
    int reps = 0;
    double elapsed = 0;
    do {
      f();
      ++reps;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    } while (elapsed < atLeast);
    best = std::min(best, elapsed / reps);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus = argc > 1 ? argv[1] : NX_BENCH_CORPUS;
  std::vector<Stream> streams;
  size_t packages = 0;
  for (const char* kind : {"sis", "sisx"}) {
    std::filesystem::path dir = std::filesystem::path(corpus) / kind;
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      if (e.path().filename() == "MANIFEST.md") continue;
      std::string d = readAll(e.path());
      ++packages;
      if (std::strcmp(kind, "sis") == 0)
        sisStreams(d, streams);
      else
        sisxStreams(d, streams);
    }
  }
  if (streams.empty()) {
    std::printf("sis_bench: no SIS/SISX packages under %s\n", corpus.c_str());
    return 1;
  }
  size_t outBytes = 0, inBytes = 0, maxM = 0;
  for (const auto& s : streams) {
    inBytes += s.in.size();
    maxM = std::max(maxM, s.m);
  }
  std::vector<uint8_t> a(maxM + 1), b(maxM + 1);
  for (const auto& s : streams) {
    size_t x = nx::sis::inflateStepwise(s.in.data(), s.in.size(), a.data(), s.m);
    size_t y = nx::sis::inflateBuffer(s.in.data(), s.in.size(), b.data(), s.m);
    if (x != y || std::memcmp(a.data(), b.data(), x) != 0) {
      std::printf("sis_bench: bulk and single-step results differ on a stream of %zu bytes\n", s.in.size());
      return 2;
    }
    outBytes += x;
  }
  auto runAll = [&](size_t (*fn)(const uint8_t*, size_t, uint8_t*, size_t)) {
    for (const auto& s : streams) fn(s.in.data(), s.in.size(), a.data(), s.m);
  };
  double steps = bestSeconds([&] { runAll(nx::sis::inflateStepwise); }, 0.5);
  double bulk = bestSeconds([&] { runAll(nx::sis::inflateBuffer); }, 0.5);
  // zlib's own one-call inflation of the same streams: the ceiling for bulk.
  double ceiling = bestSeconds([&] {
    for (const auto& s : streams) {
      uLongf len = s.m;
      uncompress(a.data(), &len, s.in.data(), s.in.size());
    }
  }, 0.5);
  std::printf("packages %zu, zlib streams %zu, packed %zu bytes, inflated %zu bytes (identical results)\n", packages,
              streams.size(), inBytes, outBytes);
  std::printf("one-byte steps: %8.2f ms  %8.1f MB/s\n", steps * 1e3, outBytes / steps / 1e6);
  std::printf("bulk:           %8.2f ms  %8.1f MB/s\n", bulk * 1e3, outBytes / bulk / 1e6);
  std::printf("zlib uncompress: %8.2f ms  %8.1f MB/s (one call per stream)\n", ceiling * 1e3, outBytes / ceiling / 1e6);
  std::printf("ratio bulk/steps: %.1fx (target >= 10)\n", steps / bulk);
  return 0;
}
