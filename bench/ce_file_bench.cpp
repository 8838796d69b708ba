// open + read(1 KiB) + close of the same existing files through the CE layer
// and through plain POSIX, interleaved in rounds so that both see the same
// cache state. Prints files/s for each and the ratio of their times.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ce/ce.h"

namespace {

double seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  int files = argc > 1 ? std::atoi(argv[1]) : 10000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
  char tmpl[] = "/tmp/nx-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  if (!ce::CreateDevice(root)) return 1;
  std::string dir = root + "/Temp/bench";
  mkdir(dir.c_str(), 0755);
  std::vector<std::string> hostPaths;
  std::vector<std::u16string> devicePaths;
  std::string content(4096, 'x');
  for (int i = 0; i < files; ++i) {
    std::string name = "file" + std::to_string(i) + ".bin";
    std::string host = dir + "/" + name;
    int fd = ::open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return 1;
    ::close(fd);
    hostPaths.push_back(host);
    devicePaths.push_back(ce::utf8ToUtf16("\\Temp\\bench\\" + name));
  }
  char buf[1024];
  std::vector<double> posix, viaCe;
  long checksum = 0;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    for (const auto& p : hostPaths) {
      int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
      ssize_t n = ::read(fd, buf, sizeof buf);
      checksum += n + buf[0];
      ::close(fd);
    }
    posix.push_back(seconds(t0));
    t0 = std::chrono::steady_clock::now();
    for (const auto& p : devicePaths) {
      ce::HANDLE h = ce::CreateFileW(p.c_str(), ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING, 0,
                                     nullptr);
      ce::DWORD n = 0;
      ce::ReadFile(h, buf, sizeof buf, &n, nullptr);
      checksum += n + buf[0];
      ce::CloseHandle(h);
    }
    viaCe.push_back(seconds(t0));
  }
  std::sort(posix.begin(), posix.end());
  std::sort(viaCe.begin(), viaCe.end());
  double p = posix[posix.size() / 2], c = viaCe[viaCe.size() / 2];
  std::printf("files: %d, rounds: %d (medians), checksum %ld\n", files, rounds, checksum);
  std::printf("posix open+read(1KiB)+close: %.0f files/s (%.2f us/file)\n", files / p, p * 1e6 / files);
  std::printf("ce    CreateFileW+ReadFile+CloseHandle: %.0f files/s (%.2f us/file)\n", files / c, c * 1e6 / files);
  std::printf("ratio ce/posix: %.2fx\n", c / p);
  std::string rm = "rm -rf '" + root + "'";
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
