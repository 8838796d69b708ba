// The ARJ reader against the host's `arj` on the same archives in the same
// run: `arj t` against a test walk (every member decoded and its CRC
// checked, nothing written), `arj x` against the module's reader taking
// every member into a file on the device (Open + ExtractNext through
// filekit.dll). Median of several rounds; ratio = arj time / our time, so
// above 1.0 means faster than arj.
//
// Usage: arj_bench [CORPUS_ARJ_DIR] [ROUNDS]. The corpus's large archives
// are used, and two larger ones made with `arj a` at run time (16 MB of
// members, methods 1 and 4) where per-byte speed outweighs arj's start-up.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "arjkit/arj_headers.h"
#include "arjkit/arjkit_api.h"
#include "ce/ce.h"
#include "platform/platform_api.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Runs arj with its output discarded, in dir; seconds taken, negative on failure.
double runArj(const std::vector<std::string>& args, const std::string& dir) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("arj"));
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  int rc = posix_spawnp(&pid, "arj", &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

std::string pattern(size_t n, uint32_t seed, bool text) {
  static const char* words[] = {"update ", "package ", "signature ", "handset ", "module ", "definition ",
                                "archive ", "member ", "\r\n", "engine "};
  std::string s;
  s.reserve(n + 64);
  uint32_t x = seed | 1;
  while (s.size() < n) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    if (text) {
      s += words[x % 10];
    } else if (x % 3 == 0 && s.size() > 4096) {
      s += s.substr((x >> 4) % (s.size() - 300), 3 + (x >> 20) % 250);
    } else {
      s.push_back(static_cast<char>(x >> 12));
    }
  }
  s.resize(n);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  std::string corpus = argc > 1 && *argv[1] ? argv[1] : std::string(NX_SOURCE_DIR) + "/../shared/corpus/arj";
  int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
  if (std::system("command -v arj >/dev/null 2>&1") != 0) {
    std::fprintf(stderr, "arj is not installed\n");
    return 1;
  }
  char tmpl[] = "/tmp/nx-arj-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  if (!ce::CreateDevice(root)) return 1;
  const std::string install = root + "/Program Files/Nyxel/Nyxel AntiVirus";
  fs::create_directories(install);
  fs::create_directories(root + "/Temp/bench");
  fs::create_directories(root + "/Temp/out");
  for (const char* m : {"arjkit.dll", "filekit.dll", "platform.dll"})
    fs::copy_file(std::string(NX_BUILD_DIR) + "/image/" + m, install + "/" + m);
  const std::u16string dir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\";
  ce::HMODULE arjkit = MyLoadLibraryW((dir + u"arjkit.dll").c_str());
  ce::HMODULE filekit = MyLoadLibraryW((dir + u"filekit.dll").c_str());
  if (!arjkit || !filekit) {
    std::fprintf(stderr, "modules did not load\n");
    return 1;
  }
  auto create = reinterpret_cast<PFN_CreateArjkitObject>(MyGetProcAddressW(arjkit, u"CreateArjkitObject"));
  auto destroy = reinterpret_cast<PFN_DeleteArjkitObject>(MyGetProcAddressW(arjkit, u"DeleteArjkitObject"));
  auto getWrap = reinterpret_cast<PFN_CreateFileWrapObject>(MyGetProcAddressW(filekit, u"CreateFileWrapObject"));
  FileWrapObject* fw = nullptr;
  if (!create || !destroy || !getWrap || !getWrap(&fw)) return 1;

  std::vector<std::string> archives;
  for (const char* name : {"Arj.store.largefile.arj", "Arj.method1.largefile.arj", "Arj.method2.largefile.arj",
                           "Arj.method3.largefile.arj", "Arj.method4.largefile.arj", "gen-big.arj", "gen-m0.arj",
                           "gen-m1.arj", "gen-m2.arj", "gen-m3.arj", "gen-m4.arj"}) {
    std::string from = corpus + "/" + name;
    if (!fs::exists(from)) continue;
    fs::copy_file(from, root + "/Temp/bench/" + name);
    archives.push_back(name);
  }
  // Larger archives made now.
  {
    std::string src = root + "/Temp/src";
    fs::create_directories(src);
    std::ofstream(src + "/text.txt", std::ios::binary) << pattern(8u << 20, 3, true);
    std::ofstream(src + "/data.bin", std::ios::binary) << pattern(8u << 20, 5, false);
    for (const char* m : {"1", "4"}) {
      std::string name = std::string("big16m-m") + m + ".arj";
      if (runArj({"a", "-y", "-i", std::string("-m") + m, "../bench/" + name, "text.txt", "data.bin"}, src) < 0)
        std::fprintf(stderr, "could not make %s\n", name.c_str());
      else
        archives.push_back(name);
    }
    fs::remove_all(src);
  }

  std::printf("%-28s %9s | %9s %9s %6s | %9s %9s %6s\n", "archive", "bytes", "arj t ms", "ours ms", "ratio",
              "arj x ms", "ours ms", "ratio");
  double worstT = 1e9, worstX = 1e9;
  for (const std::string& name : archives) {
    const std::string host = root + "/Temp/bench/" + name;
    const std::string devA = "\\Temp\\bench\\" + name;
    const std::u16string devW = ce::utf8ToUtf16(devA);
    const std::string outDir = root + "/Temp/arjx";
    std::vector<double> arjT, ourT, arjX, ourX;
    bool ok = true;
    for (int r = 0; r < rounds; ++r) {
      arjT.push_back(runArj({"t", "-i", host}, root));
      auto t0 = std::chrono::steady_clock::now();
      nx::arj::WalkReport rep;
      int32_t n = nx::arj::testMembers(fw, devA.c_str(), &rep);
      ourT.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      ok = ok && n > 0;

      fs::remove_all(outDir);
      fs::create_directories(outDir);
      arjX.push_back(runArj({"x", "-y", "-i", host}, outDir));
      t0 = std::chrono::steady_clock::now();
      ArchiveReader* reader = nullptr;
      create(&reader);
      ok = ok && reader->ops->Open(reader, -1, devW.c_str()) == 1;
      char16_t memberName[260];
      for (int i = 0;; ++i) {
        std::u16string out = u"\\Temp\\out\\m" + ce::utf8ToUtf16(std::to_string(i));
        if (reader->ops->ExtractNext(reader, out.c_str(), memberName) != 1) break;
      }
      destroy(reader);
      ourX.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    for (double v : arjT) ok = ok && v >= 0;
    for (double v : arjX) ok = ok && v >= 0;
    double at = median(arjT) * 1e3, ot = median(ourT) * 1e3, ax = median(arjX) * 1e3, ox = median(ourX) * 1e3;
    worstT = std::min(worstT, at / ot);
    worstX = std::min(worstX, ax / ox);
    std::printf("%-28s %9lld | %9.3f %9.3f %6.2f | %9.3f %9.3f %6.2f%s\n", name.c_str(),
                static_cast<long long>(fs::file_size(host)), at, ot, at / ot, ax, ox, ax / ox,
                ok ? "" : "  (a run failed)");
  }
  // What arj costs before it reads anything: start-up on the smallest archive.
  if (fs::exists(corpus + "/bla.arj")) {
    std::vector<double> tiny;
    for (int r = 0; r < rounds; ++r) tiny.push_back(runArj({"t", "-i", corpus + "/bla.arj"}, root));
    std::printf("arj start-up (t on a 252-byte archive): %.3f ms\n", median(tiny) * 1e3);
  }
  std::printf("lowest ratio: test %.2f, extract %.2f (target >= 1.0)\n", worstT, worstX);
  MyFreeLibrary(filekit);
  MyFreeLibrary(arjkit);
  fs::remove_all(root);
  return 0;
}
