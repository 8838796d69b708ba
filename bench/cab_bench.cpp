// Cabinet decoding speed: nxarc (archivekit.dll driven as the engine drives
// it, members written to temporary files) against cabextract -t (the
// reference, which decodes and checks without writing) on the LZX, MSZIP
// and Quantum cabinets of the shared corpus, in the same run. Reports MB/s
// of unpacked output per method and the ratio nxarc/cabextract (>= 1.0
// means at least as fast).
//
//   cab_bench [NXARC] [CORPUS_DIR]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Item {
  const char* file;
  const char* method;
  int repeat;
};

// The corpus cabinets whose folders use one compressing method (the
// corpus's few-byte cabinets would time process start-up, not decoding).
const Item kItems[] = {
    {"cab/App.WM.CAB", "MSZIP", 20},
    {"cab/large-files-cab.cab", "LZX", 5},
    {"cab/huge-lzx15.cab", "LZX", 1},
    {"cab-broken/cve-2010-2801-qtm-flush.cab", "Quantum", 50},
};

std::string run(const std::string& cmd) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p.get())) > 0) out.append(buf, n);
  return out;
}

double seconds(const std::chrono::steady_clock::time_point& t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::string nxarc = argc > 1 ? argv[1] : NX_BENCH_NXARC;
  std::string corpus = argc > 2 ? argv[2] : NX_BENCH_CORPUS;
  if (std::system("cabextract --version >/dev/null 2>&1") != 0) {
    std::printf("cabextract not installed; nothing to compare\n");
    return 0;
  }
  // cabextract's process start, measured on a file it refuses at once, so
  // that small cabinets compare decoding rather than start-up.
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) run("cabextract -t '" + corpus + "/cab-broken/bad_signature.cab' 2>/dev/null");
  double cabStart = seconds(t0) / 50;
  std::printf("cabextract start-up: %.2f ms per run (subtracted)\n\n", cabStart * 1000);
  std::printf("%-42s %-17s %10s %10s %10s %7s\n", "cabinet", "method", "MB out", "nxarc", "cabextract", "ratio");
  struct Sum {
    double bytes = 0, ours = 0, theirs = 0;
  };
  std::map<std::string, Sum> perMethod;
  bool allAtLeastAsFast = true;
  for (const Item& it : kItems) {
    std::string path = corpus + "/" + it.file;
    std::string out = run("'" + nxarc + "' test --repeat " + std::to_string(it.repeat) + " '" + path + "' 2>/dev/null");
    unsigned long long bytes = 0;
    double ours = 0;
    size_t at = out.rfind("total ");
    if (at == std::string::npos || std::sscanf(out.c_str() + at, "total %llu bytes in %lf s", &bytes, &ours) != 2) {
      std::printf("%-42s nxarc failed\n", it.file);
      allAtLeastAsFast = false;
      continue;
    }
    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < it.repeat; ++i) run("cabextract -t '" + path + "' >/dev/null 2>&1");
    double theirs = seconds(t0) - cabStart * it.repeat;
    if (theirs <= 0) theirs = 1e-9;
    double mb = static_cast<double>(bytes) / 1e6;
    double ratio = theirs / ours;
    std::printf("%-42s %-17s %10.2f %7.1f MB/s %7.1f MB/s %6.2f\n", it.file, it.method, mb / it.repeat, mb / ours,
                mb / theirs, ratio);
    Sum& s = perMethod[it.method];
    s.bytes += mb;
    s.ours += ours;
    s.theirs += theirs;
  }
  std::printf("\nper method (all runs together):\n");
  for (const auto& [method, s] : perMethod) {
    double ratio = s.theirs / s.ours;
    std::printf("  %-17s nxarc %8.1f MB/s  cabextract %8.1f MB/s  ratio %5.2f\n", method.c_str(), s.bytes / s.ours,
                s.bytes / s.theirs, ratio);
    if (ratio < 1.0) allAtLeastAsFast = false;
  }
  std::printf("\n%s\n", allAtLeastAsFast ? "nxarc at least as fast as cabextract for every method"
                                         : "nxarc slower than cabextract for some method");
  return 0;
}
