// Cabinet decoding speed: nxarc (archivekit.dll driven as the engine drives
// it, members written to temporary files) against cabextract -t (the
// reference, which decodes and checks without writing) on the LZX, MSZIP
// and Quantum cabinets of the shared corpus, in the same run. Reports MB/s
// of unpacked output per method and the ratio nxarc/cabextract (>= 1.0
// means at least as fast).
//
//   cab_bench [NXARC] [CORPUS_DIR]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archivekit/decompressor.h"

namespace {

double cpuNow() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// The MSZIP folders of a cabinet at offset 0: each folder's blocks as
// (packed bytes, unpacked length).
using Blocks = std::vector<std::pair<std::vector<uint8_t>, int>>;
std::vector<Blocks> mszipFolders(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<Blocks> out;
  if (d.size() < 36 || std::memcmp(d.data(), "MSCF", 4) != 0) return out;
  auto u16 = [&](size_t p) { return p + 2 <= d.size() ? d[p] | d[p + 1] << 8 : 0; };
  auto u32 = [&](size_t p) { return static_cast<uint32_t>(u16(p) | u16(p + 2) << 16); };
  int folders = u16(26), flags = u16(30);
  size_t at = 36;
  size_t folderReserve = 0, dataReserve = 0;
  if (flags & 4) {
    at += 4 + static_cast<size_t>(u16(36));
    folderReserve = d[38];
    dataReserve = d[39];
  }
  for (int bit : {1, 2})
    if (flags & bit)
      for (int s = 0; s < 2; ++s) {
        while (at < d.size() && d[at]) ++at;
        ++at;
      }
  for (int f = 0; f < folders; ++f, at += 8 + folderReserve) {
    if ((u16(at + 6) & 15) != 1) continue;
    Blocks blocks;
    size_t p = u32(at);
    for (int b = 0; b < u16(at + 4) && p + 8 <= d.size(); ++b) {
      size_t packed = static_cast<size_t>(u16(p + 4)), from = p + 8 + dataReserve;
      if (from + packed > d.size()) break;
      blocks.emplace_back(std::vector<uint8_t>(d.begin() + static_cast<long>(from),
                                               d.begin() + static_cast<long>(from + packed)),
                          u16(p + 6));
      p = from + packed;
    }
    out.push_back(blocks);
  }
  return out;
}

// MB/s of one MSZIP decoder over the folders, repeated.
double mszipSpeed(nx::cab::CabDecompressor* (*factory)(), const std::vector<Blocks>& folders, int repeat) {
  double bytes = 0;
  double t0 = cpuNow();
  for (int r = 0; r < repeat; ++r)
    for (const auto& blocks : folders) {
      nx::cab::CabDecompressor* d = factory();
      d->Init(0);
      for (const auto& [packed, unpacked] : blocks) {
        std::memcpy(d->input, packed.data(), packed.size());
        d->input[packed.size()] = d->input[packed.size() + 1] = 0;
        if (d->Decompress(static_cast<int>(packed.size()), unpacked) != 0) return -1;
        bytes += unpacked;
      }
      d->Destroy(1);
    }
  return bytes / 1e6 / (cpuNow() - t0);
}

struct Item {
  const char* file;
  const char* method;
  int repeat;
};

// The corpus cabinets whose folders use one compressing method (the
// corpus's few-byte cabinets would time process start-up, not decoding).
const Item kItems[] = {
    {"cab/App.WM.CAB", "MSZIP", 40},
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

// Processor time (user + system) of one `cabextract -t FILE` run. The
// machine may be shared: processor time does not count waiting for it.
double g_lastWall = 0;  // wall-clock seconds of the last run
double cabextractCpu(const std::string& file) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execlp("cabextract", "cabextract", "-t", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return 0;
  g_lastWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  auto sec = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

constexpr int kTrials = 5;  // best of

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
  double cabStart = 1e9;
  for (int i = 0; i < 30; ++i) cabStart = std::min(cabStart, cabextractCpu(corpus + "/cab-broken/bad_signature.cab"));
  std::printf("processor time, best of %d trials; cabextract start-up %.2f ms per run (subtracted)\n\n", kTrials,
              cabStart * 1000);
  std::printf("%-42s %-8s %8s %12s %12s %6s %s\n", "cabinet", "method", "MB out", "nxarc", "cabextract", "ratio",
              "(wall-clock ratio, cabextract's start-up included)");
  struct Sum {
    double bytes = 0, ours = 0, theirs = 0;
  };
  std::map<std::string, Sum> perMethod;
  bool allAtLeastAsFast = true;
  for (const Item& it : kItems) {
    std::string path = corpus + "/" + it.file;
    unsigned long long bytes = 0;
    double ours = 1e9, theirs = 1e9, oursWall = 1e9, theirsWall = 1e9;
    bool ok = true;
    for (int trial = 0; trial < kTrials && ok; ++trial) {
      std::string out =
          run("'" + nxarc + "' test --repeat " + std::to_string(it.repeat) + " '" + path + "' 2>/dev/null");
      double wall = 0, cpu = 0;
      size_t at = out.rfind("total ");
      ok = at != std::string::npos &&
           std::sscanf(out.c_str() + at, "total %llu bytes in %lf s (cpu %lf s)", &bytes, &wall, &cpu) == 3;
      ours = std::min(ours, cpu);
      oursWall = std::min(oursWall, wall);
      double sum = 0, sumWall = 0;
      for (int i = 0; i < it.repeat; ++i) {
        sum += std::max(0.0, cabextractCpu(path) - cabStart);
        sumWall += g_lastWall;
      }
      theirs = std::min(theirs, sum);
      theirsWall = std::min(theirsWall, sumWall);
    }
    if (!ok) {
      std::printf("%-42s nxarc failed\n", it.file);
      allAtLeastAsFast = false;
      continue;
    }
    if (ours <= 0) ours = 1e-9;
    if (theirs <= 0) theirs = 1e-9;
    double mb = static_cast<double>(bytes) / 1e6;
    double ratio = theirs / ours;
    std::printf("%-42s %-8s %8.2f %7.1f MB/s %7.1f MB/s %6.2f (%.2f)\n", it.file, it.method, mb / it.repeat, mb / ours,
                mb / theirs, ratio, theirsWall / oursWall);
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
  // The two MSZIP decoders side by side, in this process.
  auto folders = mszipFolders(corpus + "/cab/App.WM.CAB");
  for (auto& f : mszipFolders(corpus + "/cab/normal_2files_2folders.cab")) folders.push_back(f);
  double zlibSpeed = 0, ownSpeed = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    zlibSpeed = std::max(zlibSpeed, mszipSpeed(nx::cab::newMszipDecompressor, folders, 40));
    ownSpeed = std::max(ownSpeed, mszipSpeed(nx::cab::newOwnMszipDecompressor, folders, 40));
  }
  std::printf("\nMSZIP decoders in-process: zlib inflate %.1f MB/s, own inflate %.1f MB/s (%s in use)\n", zlibSpeed,
              ownSpeed, "zlib");
  std::printf("\n%s\n", allAtLeastAsFast ? "nxarc at least as fast as cabextract for every method (processor time)"
                                         : "nxarc slower than cabextract for some method");
  return 0;
}
