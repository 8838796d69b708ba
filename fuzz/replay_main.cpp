// Replays inputs through a fuzz target's LLVMFuzzerTestOneInput without
// libFuzzer, so the normal build (gcc, with or without sanitizers) runs every
// seed and every saved reproducer as a test:
//
//   fuzz_NAME_replay [--timeout=S] [--rss-limit-mb=N] [--optional] PATH...
//
// A PATH is a file or a folder (its files, sorted by name, not descending;
// names starting with "." or ending in ".md" are notes, not inputs). A PATH
// after --optional may be absent (a target without saved reproducers); a PATH
// written "corpus:SUB" is SUB of the shared corpus folder (NX_SHARED_DIR/corpus,
// else the one beside the checkout), skipped with a message where it is absent.
//
// Each input gets its own copy in a heap block of exactly its size, so that a
// read past its end is caught by AddressSanitizer as under libFuzzer. An input
// that runs longer than the timeout, or leaves the process's peak memory above
// the ceiling, fails the run with its path: a hang or a bomb is a finding here
// as in a fuzzing campaign.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

#if defined(__SANITIZE_ADDRESS__)
// A single allocation above the ceiling is a bomb, reported where it happens
// (libFuzzer's -malloc_limit_mb does the same in a campaign).
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "max_allocation_size_mb=512:allocator_may_return_null=0";
}
#endif

namespace {

namespace fs = std::filesystem;

char g_current[4096];  // the input being run, for the alarm handler
unsigned g_timeout = 120;

void onAlarm(int) {
  static const char head[] = "fuzz replay: input ran longer than the timeout (a hang): ";
  ssize_t ignored = ::write(2, head, sizeof head - 1);
  ignored = ::write(2, g_current, std::strlen(g_current));
  ignored = ::write(2, "\n", 1);
  (void)ignored;
  std::_Exit(3);
}

long peakRssMb() {
  struct rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024;
}

std::string corpusRoot() {
  const char* env = std::getenv("NX_SHARED_DIR");
  std::string shared = env && *env ? env : NX_DEFAULT_SHARED_DIR;
  return shared + "/corpus";
}

bool isNote(const fs::path& p) {
  const std::string name = p.filename().string();
  return name.empty() || name[0] == '.' || p.extension() == ".md";
}

bool runOne(const fs::path& file, long rssLimitMb) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "fuzz replay: cannot read %s\n", file.c_str());
    return false;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An exact block even for an empty input: malloc(0) may give null.
  uint8_t* copy = static_cast<uint8_t*>(std::malloc(bytes.empty() ? 1 : bytes.size()));
  if (!copy) return false;
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  std::snprintf(g_current, sizeof g_current, "%s", file.c_str());
  ::alarm(g_timeout);
  LLVMFuzzerTestOneInput(copy, bytes.size());
  ::alarm(0);
  std::free(copy);
  if (rssLimitMb > 0 && peakRssMb() > rssLimitMb) {
    std::fprintf(stderr, "fuzz replay: peak memory %ld MB above the ceiling of %ld MB after %s (a bomb)\n",
                 peakRssMb(), rssLimitMb, file.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long rssLimitMb = 2048;
  std::vector<std::pair<std::string, bool>> paths;  // path, may be absent
  bool optional = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--timeout=", 0) == 0) {
      g_timeout = static_cast<unsigned>(std::strtoul(a.c_str() + 10, nullptr, 10));
    } else if (a.rfind("--rss-limit-mb=", 0) == 0) {
      rssLimitMb = std::strtol(a.c_str() + 15, nullptr, 10);
    } else if (a == "--optional") {
      optional = true;
    } else {
      paths.emplace_back(a, optional);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "usage: %s [--timeout=S] [--rss-limit-mb=N] [--optional] PATH...\n", argv[0]);
    return 2;
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::signal(SIGALRM, onAlarm);

  size_t total = 0;
  for (auto& [given, mayBeAbsent] : paths) {
    std::string path = given;
    bool corpus = false;
    if (path.rfind("corpus:", 0) == 0) {
      path = corpusRoot() + "/" + path.substr(7);
      corpus = true;
    }
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      if (corpus) {
        std::printf("skipped: the shared corpus folder %s is absent\n", path.c_str());
        continue;
      }
      if (mayBeAbsent) continue;
      std::fprintf(stderr, "fuzz replay: %s does not exist\n", path.c_str());
      return 2;
    }
    std::vector<fs::path> files;
    if (fs::is_directory(path, ec)) {
      for (const auto& e : fs::directory_iterator(path, ec))
        if (e.is_regular_file() && !isNote(e.path())) files.push_back(e.path());
      std::sort(files.begin(), files.end());
    } else {
      files.emplace_back(path);
    }
    for (const auto& f : files) {
      if (!runOne(f, rssLimitMb)) return 1;
    }
    std::printf("%zu inputs from %s\n", files.size(), path.c_str());
    total += files.size();
  }
  std::printf("replayed %zu inputs, none failed\n", total);
  return 0;
}
