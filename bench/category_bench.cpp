// Category scanner benchmark: 30 Windows CE category tables of N records each (100,000 by
// default) loaded through exescan.dll, then M generated PE files (10,000 by default) scanned
// with every table selected. Prints the load time (and the reload time at smaller sizes, to show
// it grows with the file size), files per second, and the platform reads per scanned file that
// the file wrapper counted; the PE signature scanner with a full 999-pattern table for comparison.
//
//   category_bench [records-per-table] [files]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "common/crc32.h"
#include "common/engine_types.h"
#include "common/signature_constants.h"
#include "exescan/category_tables.h"
#include "exescan/exescan_api.h"
#include "filekit/filekit_api.h"
#include "formats.h"
#include "platform/platform_api.h"
#include "testkit.h"

extern "C" {
int32_t CreateThreatListObject(ThreatListObject** out);
void DeleteThreatListObject(ThreatListObject* object);
}

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
constexpr const char* kInstall = "Program Files/Nyxel/Nyxel AntiVirus";

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// A Windows CE image with one section; the entry point's file offset is 0x400 + delta.
Bytes peFile(uint32_t seed, uint32_t delta) {
  Bytes b(0x1400);
  std::mt19937 rng(seed);
  for (auto& c : b) c = uint8_t(rng());
  std::memset(b.data(), 0, 64);
  b[0] = 'M', b[1] = 'Z';
  put32(&b[60], 0x80);
  std::memset(&b[0x80], 0, 24 + 224 + 40);
  std::memcpy(&b[0x80], "PE\0\0", 4);
  put16(&b[0x84], 0x1C0);
  put16(&b[0x86], 1);
  put16(&b[0x94], 224);
  put16(&b[0x98], 0x10B);
  put32(&b[0x98 + 16], 0x1000 + delta);
  put16(&b[0x98 + 68], 9);
  put32(&b[0x98 + 92], 16);
  uint8_t* s = &b[0x98 + 224];
  std::memcpy(s, ".text", 5);
  put32(s + 8, 0x1000);
  put32(s + 12, 0x1000);
  put32(s + 16, 0x1000);
  put32(s + 20, 0x400);
  return b;
}

struct Region {
  uint32_t offset;
  uint8_t length;
  uint32_t crc;
};

Bytes record(const char* name, uint32_t key, const Region (&r)[3]) {
  namespace k = nx::category::rec;
  Bytes d(nx::sig::category::kWinceStored, 0);
  std::strncpy(reinterpret_cast<char*>(&d[k::kName]), name, k::kNameBytes - 1);
  put32(&d[k::kKey], key);
  const size_t at[3] = {k::kRegionA, k::kRegionB, k::kRegionC};
  for (int i = 0; i < 3; ++i) {
    put32(&d[at[i]], r[i].offset);
    d[at[i] + 4] = r[i].length;
    put32(&d[at[i] + 5], r[i].crc);
  }
  return d;
}

Region regionOf(const Bytes& f, uint32_t off, uint8_t len) { return {off, len, nx::crc32Raw(&f[off], len)}; }

// Writes the 30 tables: `perTable` random records each, plus the planted ones.
double writeTables(const std::string& dir, size_t perTable, const std::vector<std::vector<Bytes>>& planted,
                   uint32_t seed) {
  std::mt19937 rng(seed);
  double bytes = 0;
  for (size_t t = 0; t < 30; ++t) {
    std::vector<std::pair<uint32_t, Bytes>> recs;
    recs.reserve(perTable + planted[t].size());
    for (size_t i = 0; i < perTable; ++i) {
      const uint32_t key = 0x400 + uint32_t(rng() & 0xFFFFFF);
      const Region r[3] = {{key, 30, uint32_t(rng())}, {0x80, 200, uint32_t(rng())}, {0x200, 255, uint32_t(rng())}};
      recs.emplace_back(key, record("Random.Record", key, r));
    }
    for (const Bytes& p : planted[t]) recs.emplace_back(p[35] | p[36] << 8 | p[37] << 16 | uint32_t(p[38]) << 24, p);
    std::stable_sort(recs.begin(), recs.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::vector<Bytes> decoded;
    decoded.reserve(recs.size());
    for (auto& r : recs) decoded.push_back(std::move(r.second));
    const Bytes file = nxsig::encodeCategoryFile(decoded, nx::sig::category::kWinceStored);
    std::ofstream(dir + "/" + nx::category::kTables[t].file, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    bytes += double(file.size());
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t perTable = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  const size_t files = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000;
  nxtest::TempDevice dev;
  const std::string dir = dev.host(kInstall);
  std::filesystem::create_directories(dir);
  std::filesystem::create_directories(dev.host("Temp"));
  for (const char* m : {"platform.dll", "filekit.dll", "exescan.dll"})
    std::filesystem::copy_file(std::string(NX_BUILD_DIR) + "/image/" + m, dir + "/" + m);

  // The files to scan. Every 100th is planted as a matching record in a table of its own, every
  // 100th (offset by 50) as a record with its key whose region C does not match.
  std::printf("generating %zu PE files and 30 tables of %zu records...\n", files, perTable);
  std::vector<std::vector<Bytes>> planted(30);
  std::vector<std::u16string> paths;
  size_t expectedHits = 0;
  for (size_t i = 0; i < files; ++i) {
    const uint32_t delta = uint32_t((i * 4) % 0xF00);
    const Bytes f = peFile(uint32_t(i + 1), delta);
    const std::string name = "Temp/f" + std::to_string(i) + ".exe";
    dev.writeFile(name, std::string(f.begin(), f.end()));
    paths.push_back(u"\\Temp\\f" + ce::utf8ToUtf16(std::to_string(i)) + u".exe");
    const uint32_t key = 0x400 + delta;
    if (i % 100 == 0 || i % 100 == 50) {
      Region r[3] = {regionOf(f, key, 30), regionOf(f, 0x80, 200), regionOf(f, 0x1000, 255)};
      if (i % 100 == 50) r[2].crc ^= 1;
      else ++expectedHits;
      planted[(i / 100) % 30].push_back(record("Planted.Threat", key, r));
    }
  }
  const double mb = writeTables(dir, perTable, planted, 7) / (1024.0 * 1024.0);

  std::u16string log = u"\\Temp\\bench.log";
  std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * 2);
  auto t0 = Clock::now();
  ce::HMODULE exe = MyLoadLibraryW(u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\exescan.dll");
  const double load = secondsSince(t0);
  if (!exe) {
    std::fprintf(stderr, "exescan.dll did not load\n");
    return 1;
  }
  auto diagGet = reinterpret_cast<PFN_ExeScanDiagGet>(MyGetProcAddressW(exe, u"ExeScanDiagGet"));
  ExeScanDiag d{};
  diagGet(&d);
  uint64_t loaded = 0;
  for (uint32_t c : d.categoryRecords) loaded += c;
  std::printf("load: 30 tables, %llu records, %.1f MiB in %.3f s (%.0f MiB/s)\n", (unsigned long long)loaded, mb, load,
              mb / load);

  // Scanning.
  auto create = reinterpret_cast<PFN_ExeScanCreateObject>(MyGetProcAddressW(exe, u"CreateBkdrScanObject"));
  auto destroy = reinterpret_cast<PFN_ExeScanDeleteObject>(MyGetProcAddressW(exe, u"DeleteBkdrScanObject"));
  ce::HMODULE fk = MyLoadLibraryW(u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\filekit.dll");
  auto fkDiag = reinterpret_cast<PFN_FileWrapDiagGet>(MyGetProcAddressW(fk, u"FileWrapDiagGet"));
  ScanSettings s{};
  s.size = sizeof s;
  s.categoryMask = 0xFFFF;
  auto scanAll = [&](const char16_t* createName, const char16_t* deleteName, size_t* hits, double* readsPerFile) {
    auto c = reinterpret_cast<PFN_ExeScanCreateObject>(MyGetProcAddressW(exe, createName));
    auto del = reinterpret_cast<PFN_ExeScanDeleteObject>(MyGetProcAddressW(exe, deleteName));
    FileWrapDiag before{}, after{};
    fkDiag(&before);
    *hits = 0;
    auto start = Clock::now();
    for (const std::u16string& p : paths) {
      ThreatListObject* list = nullptr;
      CreateThreatListObject(&list);
      ScannerObject* o = nullptr;
      c(&o, 26);
      o->ops->Open(o, -1, p.c_str(), &s, u"\\root", 0, 0);
      std::u16string disp = p;
      if (o->ops->Scan(o, disp.data(), list, 0) == NX_ENGINE_THREAT) {
        ++*hits;
        ThreatRecord* r = nullptr;
        if (std::getenv("NX_BENCH_VERBOSE") && list->ops->Last(list, &r))
          std::printf("  %s: %s\n", ce::utf16ToUtf8(p).c_str(), ce::utf16ToUtf8(r->name).c_str());
      }
      o->ops->Close(o);
      del(o);
      DeleteThreatListObject(list);
    }
    const double secs = secondsSince(start);
    fkDiag(&after);
    *readsPerFile = double(after.platformReads - before.platformReads) / double(paths.size());
    return secs;
  };
  (void)create;
  (void)destroy;
  size_t hits = 0;
  double reads = 0;
  double secs = scanAll(u"CreateBkdrScanObject", u"DeleteBkdrScanObject", &hits, &reads);
  std::printf("category scan: %zu files in %.3f s = %.0f files/s, %zu detections (expected %zu), %.2f platform reads/file\n",
              paths.size(), secs, double(paths.size()) / secs, hits, expectedHits, reads);

  // The PE signature scanner with a full table of 999 patterns none of which occurs.
  {
    nxsig::Json src = nxsig::Json::object();
    src["pe"] = nxsig::Json::array();
    std::mt19937 rng(0xC0FFEE);  // unlike any file seed
    for (int i = 0; i < 999; ++i) {
      uint8_t p[12];
      for (auto& c : p) c = uint8_t(rng());
      src["pe"].push_back(nxsig::Json{{"name", "P" + std::to_string(i)}, {"pattern", nxsig::toHex(p, sizeof p)}});
    }
    nxsig::buildAll({src}, dir);
    reinterpret_cast<int32_t (*)()>(MyGetProcAddressW(exe, u"PEScanReloadSignatures"))();
    secs = scanAll(u"CreatePEScanObject", u"DeletePEScanObject", &hits, &reads);
    std::printf("PE signature scan (999 patterns): %zu files in %.3f s = %.0f files/s, %zu detections\n", paths.size(),
                secs, double(paths.size()) / secs, hits);
  }

  // Reload at smaller sizes: the time follows the file size.
  auto reload = reinterpret_cast<int32_t (*)(int32_t, int32_t)>(MyGetProcAddressW(exe, u"BkdrScanReloadSignatures"));
  for (size_t n : {perTable / 4, perTable / 2, perTable}) {
    const double m = writeTables(dir, n, planted, 11) / (1024.0 * 1024.0);
    t0 = Clock::now();
    reload(0, 0);
    const double r = secondsSince(t0);
    std::printf("reload: 30 x %zu records, %.1f MiB in %.3f s (%.0f MiB/s)\n", n, m, r, m / r);
  }
  MyFreeLibrary(fk);
  MyFreeLibrary(exe);
  return 0;
}
