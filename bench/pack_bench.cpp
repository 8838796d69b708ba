// nxpack build against the host's `arj a` on the same files in the same run.
// Both are separate processes packing one folder: nxpack with its method 1
// (and --store), arj with -m1 (its best compression, the same stream format)
// and -m0. Median wall time of several rounds; time ratio = arj / nxpack (above
// 1.0: nxpack is faster), size ratio = nxpack's package / arj's archive.
//
// Usage: pack_bench [FILES_DIR] [ROUNDS]. Without a folder (or with "") the install image
// (every module and signature file) plus a 5 MB signature-like file is packed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Seconds taken by the program, output discarded; negative on failure.
double run(const std::vector<std::string>& args, const std::string& dir) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

// Records that look like compiled signature tables: fixed-size rows of
// names, small counters and checksums.
void writeSignatureLike(const fs::path& path, size_t size) {
  std::string s;
  s.reserve(size + 128);
  uint32_t x = 12345;
  char row[64];
  while (s.size() < size) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    std::snprintf(row, sizeof row, "WinCE.Trojan.%c%c%05u", 'A' + x % 26, 'A' + (x >> 5) % 26, (x >> 10) % 40000);
    s.append(row, 30);
    for (int k = 0; k < 12; ++k) s.push_back(static_cast<char>(k % 3 == 0 ? x >> (8 * (k % 4)) : 0));
  }
  s.resize(size);
  std::ofstream(path, std::ios::binary).write(s.data(), static_cast<std::streamsize>(s.size()));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string build = NX_BUILD_DIR;
  const std::string nxpack = build + "/bin/nxpack";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const fs::path work = fs::temp_directory_path() / ("nxpack-bench-" + std::to_string(getpid()));
  fs::create_directories(work);
  const bool given = argc > 1 && argv[1][0] != 0;
  fs::path files = given ? fs::path(argv[1]) : work / "files";
  if (!given) {
    fs::create_directories(files);
    for (auto& e : fs::directory_iterator(build + "/image"))
      if (e.is_regular_file() && e.path().filename() != "scanner.exe") fs::copy_file(e.path(), files / e.path().filename());
    writeSignatureLike(files / "sigwtrjn.in0", 5u << 20);
  }
  files = fs::absolute(files);
  uint64_t input = 0;
  std::vector<std::string> names;
  for (auto& e : fs::directory_iterator(files))
    if (e.is_regular_file()) {
      input += e.file_size();
      names.push_back(e.path().filename().string());
    }
  std::printf("pack_bench: %zu files, %llu bytes, %d rounds\n", names.size(), static_cast<unsigned long long>(input),
              rounds);

  struct Pair {
    const char* what;
    std::vector<std::string> nxpackArgs;
    std::string arjMethod;
  } pairs[] = {{"compressed (method 1)", {}, "-m1"}, {"stored", {"--store"}, "-m0"}};
  int status = 0;
  for (const Pair& p : pairs) {
    std::vector<double> ours, theirs;
    uintmax_t ourSize = 0, theirSize = 0;
    for (int r = 0; r < rounds; ++r) {
      const fs::path server = work / "server", archive = work / "ref.arj";
      fs::remove_all(server);
      fs::remove(archive);
      std::vector<std::string> a = {nxpack, "build", files.string(), "-o", server.string()};
      a.insert(a.end(), p.nxpackArgs.begin(), p.nxpackArgs.end());
      ours.push_back(run(a, work.string()));
      std::vector<std::string> b = {"arj", "a", "-y", "-i", p.arjMethod, archive.string()};
      b.insert(b.end(), names.begin(), names.end());
      theirs.push_back(run(b, files.string()));
      if (ours.back() < 0 || theirs.back() < 0) {
        std::printf("pack_bench: %s: a run failed (nxpack %.3f, arj %.3f)\n", p.what, ours.back(), theirs.back());
        status = 1;
        break;
      }
      std::error_code ec;
      for (auto& e : fs::directory_iterator(server))
        if (e.path().extension() == ".pkg") ourSize = e.file_size();
      theirSize = fs::file_size(archive, ec);
    }
    if (status) break;
    const double o = median(ours), t = median(theirs);
    std::printf("%-22s nxpack %.3f s %10ju bytes | arj %.3f s %10ju bytes | time ratio (arj/nxpack) %.2f, "
                "size ratio (nxpack/arj) %.3f\n",
                p.what, o, ourSize, t, theirSize, t / o, double(ourSize) / double(theirSize));
  }
  fs::remove_all(work);
  return status;
}
