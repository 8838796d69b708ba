// File type classification alone, over the shared bench corpus: the engine
// core's detector reading through the real filekit wrapper (open, classify,
// close, as ScanFileType does), against `file -b` (libmagic) over the same
// files in the same run. Reports files/s for both, and what each
// classification asked of the wrapper and of the platform (reads, bytes).
//
//   scan_type_bench [CORPUS_DIR] [--files N]
// Without a folder the corpus is generated (make_corpus.py, seed 1) into
// /tmp/nx-scan-bench-corpus-N and kept for later runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "filekit/filekit_api.h"
#include "platform/platform_api.h"
#include "scan/file_type.h"
#include "testkit.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A wrapper in front of the real one that counts what the detector reads.
struct Counting {
  FileWrapObject base;
  FileWrapObject* real;
  int64_t reads = 0;
  int64_t bytes = 0;
  int64_t fileReads = 0;  // reads of the current file
};
Counting* C(FileWrapObject* o) { return reinterpret_cast<Counting*>(o); }
int32_t cOpen(FileWrapObject* o, const char16_t* p, int32_t f, int32_t s) { return C(o)->real->ops->OpenW(C(o)->real, p, f, s); }
int32_t cSeek(FileWrapObject* o, int32_t h, int32_t off, int32_t org) { return C(o)->real->ops->Seek(C(o)->real, h, off, org); }
int32_t cRead(FileWrapObject* o, int32_t h, void* b, int32_t n) {
  int32_t got = C(o)->real->ops->Read(C(o)->real, h, b, n);
  ++C(o)->reads;
  ++C(o)->fileReads;
  if (got > 0) C(o)->bytes += got;
  return got;
}
int32_t cClose(FileWrapObject* o, int32_t h) { return C(o)->real->ops->Close(C(o)->real, h); }
int32_t cTell(FileWrapObject* o, int32_t h) { return C(o)->real->ops->Tell(C(o)->real, h); }
int32_t cSize(FileWrapObject* o, int32_t h) { return C(o)->real->ops->Size(C(o)->real, h); }

std::u16string devicePath(const std::string& host) {
  std::u16string p = u"\\Host" + ce::utf8ToUtf16(host);
  for (auto& c : p)
    if (c == u'/') c = u'\\';
  return p;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus;
  int files = 4000;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--files") == 0 && i + 1 < argc) files = std::atoi(argv[++i]);
    else corpus = argv[i];
  }
  if (corpus.empty()) {
    corpus = "/tmp/nx-scan-bench-corpus-" + std::to_string(files);
    if (!fs::exists(corpus + ".manifest.tsv")) {
      std::string cmd = "python3 " NX_SOURCE_DIR "/../shared/bench/make_corpus.py " + corpus + " --files " +
                        std::to_string(files) + " --seed 1 --jobs 2 > /dev/null";
      std::printf("generating %d files into %s\n", files, corpus.c_str());
      if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "corpus generation failed\n");
        return 1;
      }
    }
  }
  std::vector<std::string> paths;
  int64_t totalBytes = 0;
  for (auto& e : fs::recursive_directory_iterator(corpus))
    if (e.is_regular_file()) {
      paths.push_back(e.path().string());
      totalBytes += static_cast<int64_t>(e.file_size());
    }
  std::sort(paths.begin(), paths.end());
  if (paths.empty()) {
    std::fprintf(stderr, "no files in %s\n", corpus.c_str());
    return 1;
  }

  nxtest::TempDevice dev;
  ce::EnableHostMount(true);
  fs::create_directories(dev.host("Program Files/Nyxel/Nyxel AntiVirus"));
  fs::copy_file(NX_BUILD_DIR "/image/filekit.dll", dev.host("Program Files/Nyxel/Nyxel AntiVirus/filekit.dll"));
  ce::HMODULE fk = MyLoadLibraryW(u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\filekit.dll");
  if (!fk) {
    std::fprintf(stderr, "filekit.dll did not load\n");
    return 1;
  }
  auto createFw = reinterpret_cast<PFN_CreateFileWrapObject>(MyGetProcAddressW(fk, u"CreateFileWrapObject"));
  auto diagGet = reinterpret_cast<PFN_FileWrapDiagGet>(MyGetProcAddressW(fk, u"FileWrapDiagGet"));
  FileWrapObject* fw = nullptr;
  if (!createFw || !diagGet || !createFw(&fw)) return 1;

  std::vector<std::u16string> dpaths;
  for (const auto& p : paths) dpaths.push_back(devicePath(p));

  // Plain runs through the real wrapper: the speed, and the platform calls.
  std::map<int32_t, int> histogram;
  double best = 1e9;
  FileWrapDiag d0{}, d1{};
  for (int run = 0; run < 3; ++run) {
    diagGet(&d0);
    auto t0 = Clock::now();
    for (const auto& p : dpaths) {
      int32_t h = fw->ops->OpenW(fw, p.c_str(), NX_O_RDONLY | NX_O_BINARY, 0);
      if (h < 0) continue;
      int32_t t = nx::scan::classifyFile(fw, h, p.c_str(), NxGetLongPathNameW);
      fw->ops->Close(fw, h);
      if (run == 0) ++histogram[t];
    }
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    diagGet(&d1);
    best = std::min(best, s);
  }
  const double n = static_cast<double>(dpaths.size());

  // One counted run: what the detector asked of the wrapper.
  static const FileWrapOps countingOps = [] {
    FileWrapOps t{};
    t.OpenW = cOpen;
    t.Seek = cSeek;
    t.Read = cRead;
    t.Close = cClose;
    t.Tell = cTell;
    t.Size = cSize;
    return t;
  }();
  Counting counting{{&countingOps}, fw};
  int oneRead = 0, over1024 = 0;
  int64_t oneReadPlatformReads = 0;
  for (const auto& p : dpaths) {
    int32_t h = counting.base.ops->OpenW(&counting.base, p.c_str(), NX_O_RDONLY | NX_O_BINARY, 0);
    if (h < 0) continue;
    counting.fileReads = 0;
    const int64_t before = counting.bytes;
    FileWrapDiag a{}, b{};
    diagGet(&a);
    nx::scan::classifyFile(&counting.base, h, p.c_str(), NxGetLongPathNameW);
    diagGet(&b);
    counting.base.ops->Close(&counting.base, h);
    if (counting.fileReads == 1) {
      ++oneRead;
      oneReadPlatformReads += b.platformReads - a.platformReads;
    }
    if (std::getenv("SCAN_BENCH_SHOW") && counting.fileReads > 1)
      std::printf("%lld reads, %lld bytes: %s\n", static_cast<long long>(counting.fileReads),
                  static_cast<long long>(counting.bytes - before), ce::utf16ToUtf8(p).c_str());
    if (counting.bytes - before > 1024) ++over1024;
  }

  // The peer: libmagic's `file` over the same list, one process.
  std::string list = dev.host("Temp/list.txt");
  {
    std::ofstream out(list);
    for (const auto& p : paths) out << p << "\n";
  }
  double peerBest = 1e9;
  for (int run = 0; run < 3; ++run) {
    auto t0 = Clock::now();
    int rc = std::system(("file -b -f " + list + " > /dev/null").c_str());
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (rc != 0) peerBest = -1;
    else peerBest = std::min(peerBest, s);
  }

  std::printf("corpus: %zu files, %.1f MB (%s)\n", paths.size(), totalBytes / 1e6, corpus.c_str());
  std::printf("classification (open, classify, close through filekit): %.0f files/s (best of 3: %.3f s)\n", n / best, best);
  std::printf("  per file: %.3f platform reads, %.3f platform pointer moves (FileWrapDiagGet)\n",
              (d1.platformReads - d0.platformReads) / n, (d1.platformPointerMoves - d0.platformPointerMoves) / n);
  std::printf("  per file: %.3f wrapper reads, %.1f bytes delivered; %d of %zu files (%.1f%%) decided by one read,"
              " %d read more than 1024 bytes\n",
              counting.reads / n, counting.bytes / n, oneRead, dpaths.size(), 100.0 * oneRead / n, over1024);
  std::printf("  files decided by one read: %.3f platform reads each\n",
              oneRead ? static_cast<double>(oneReadPlatformReads) / oneRead : 0.0);
  if (peerBest > 0)
    std::printf("peer `file -b` (libmagic): %.0f files/s (best of 3: %.3f s); ratio engine/peer %.1fx\n",
                n / peerBest, peerBest, (n / best) / (n / peerBest));
  std::printf("types:");
  for (auto& [t, c] : histogram) std::printf(" %d:%d", t, c);
  std::printf("\n");
  MyFreeLibrary(fk);
  return 0;
}
