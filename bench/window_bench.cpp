// Window messages between two processes of one device: how long a posted
// message takes to reach the window procedure of another process (one at a
// time, and in a burst posted as fast as possible), and the round trip of
// SendMessageW, against a pipe round trip between the same two processes.
//
//   window_bench [samples]
//
// The program starts a copy of itself as the process that owns the window.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/screen.h"

extern char** environ;

using namespace ce;

namespace {

constexpr int kMaxSamples = 100000;
constexpr UINT kStamp = WM_USER + 1;  // lParam: host ns when posted
constexpr UINT kEcho = WM_USER + 2;   // answered at once

struct Shared {
  std::atomic<uint32_t> hwnd;
  std::atomic<int> handled;
  int64_t latencyNs[kMaxSamples];
};

Shared* g_sh = nullptr;

Shared* mapShared(const std::string& path, bool create) {
  int fd = ::open(path.c_str(), O_RDWR | (create ? O_CREAT | O_TRUNC : 0), 0600);
  if (fd < 0) return nullptr;
  if (create && ::ftruncate(fd, sizeof(Shared)) != 0) return nullptr;
  void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<Shared*>(p);
}

LRESULT benchProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == kStamp) {
    int i = g_sh->handled.load();
    if (i < kMaxSamples) g_sh->latencyNs[i] = clock::hostMonotonicNs() - static_cast<int64_t>(lParam);
    g_sh->handled.store(i + 1);
    return 0;
  }
  if (msg == kEcho) return static_cast<LRESULT>(wParam);
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int child(const std::string& shmPath, int inFd, int outFd) {
  g_sh = mapShared(shmPath, false);
  if (!g_sh) return 3;
  if (inFd >= 0) {
    // The pipe baseline: echo every byte back.
    char c;
    while (::read(inFd, &c, 1) == 1)
      if (::write(outFd, &c, 1) != 1) return 4;
    return 0;
  }
  WNDCLASSW wc{};
  wc.lpfnWndProc = &benchProc;
  wc.lpszClassName = u"BenchWindow";
  RegisterClassW(&wc);
  HWND w = CreateWindowExW(0, u"BenchWindow", u"bench", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  if (!w) return 5;
  g_sh->hwnd.store(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(w)));
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
  return 0;
}

pid_t spawnSelf(const char* self, const std::vector<std::string>& args, posix_spawn_file_actions_t* fa) {
  std::vector<std::string> argv{self};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> av;
  for (auto& a : argv) av.push_back(a.data());
  av.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, self, fa, nullptr, av.data(), environ) != 0) return -1;
  return pid;
}

struct Stats {
  double p50us, p99us, maxus;
};

Stats stats(std::vector<int64_t> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return {0, 0, 0};
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))] / 1e3; };
  return {at(0.50), at(0.99), v.back() / 1e3};
}

void waitHandled(int n) {
  while (g_sh->handled.load() < n) std::this_thread::yield();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--child")
    return child(argv[2], argc >= 5 ? std::atoi(argv[3]) : -1, argc >= 5 ? std::atoi(argv[4]) : -1);
  const int samples = std::min(kMaxSamples, argc >= 2 ? std::atoi(argv[1]) : 2000);
  char rootTmpl[] = "/tmp/nx-window-bench-XXXXXX";
  if (!::mkdtemp(rootTmpl)) return 1;
  const std::string root = rootTmpl;
  if (!CreateDevice(root)) return 1;
  ::setenv("NX_DEVICE_ROOT", root.c_str(), 1);
  const std::string shm = root + "/bench.shm";
  g_sh = mapShared(shm, true);
  if (!g_sh) return 1;

  pid_t owner = spawnSelf(argv[0], {"--child", shm}, nullptr);
  while (!g_sh->hwnd.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  HWND w = reinterpret_cast<HWND>(static_cast<uintptr_t>(g_sh->hwnd.load()));

  // One at a time: the owner is asleep in GetMessageW each time.
  for (int i = 0; i < samples; ++i) {
    PostMessageW(w, kStamp, 0, static_cast<LPARAM>(clock::hostMonotonicNs()));
    waitHandled(i + 1);
  }
  Stats single = stats(std::vector<int64_t>(g_sh->latencyNs, g_sh->latencyNs + samples));

  // A burst posted as fast as possible: each message's wait in the queue counts.
  g_sh->handled.store(0);
  int lost = 0;
  for (int i = 0; i < samples; ++i)
    if (!PostMessageW(w, kStamp, 0, static_cast<LPARAM>(clock::hostMonotonicNs()))) ++lost;
  waitHandled(samples - lost);
  Stats burst = stats(std::vector<int64_t>(g_sh->latencyNs, g_sh->latencyNs + (samples - lost)));

  // SendMessageW round trips.
  int wrong = 0;
  std::vector<int64_t> rt;
  for (int i = 0; i < samples; ++i) {
    int64_t t0 = clock::hostMonotonicNs();
    if (SendMessageW(w, kEcho, static_cast<WPARAM>(i), 0) != i) ++wrong;
    rt.push_back(clock::hostMonotonicNs() - t0);
  }
  Stats send = stats(rt);
  PostMessageW(w, WM_QUIT, 0, 0);
  ::waitpid(owner, nullptr, 0);

  // The host's own round trip between two processes: a byte over a pipe pair.
  int to[2], from[2];
  if (::pipe(to) != 0 || ::pipe(from) != 0) return 1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  // The echo must not hold the parent's ends, or it never sees the end of its input.
  posix_spawn_file_actions_addclose(&fa, to[1]);
  posix_spawn_file_actions_addclose(&fa, from[0]);
  pid_t echo = spawnSelf(argv[0], {"--child", shm, std::to_string(to[0]), std::to_string(from[1])}, &fa);
  posix_spawn_file_actions_destroy(&fa);
  ::close(to[0]);
  ::close(from[1]);
  std::vector<int64_t> pipeRt;
  for (int i = 0; i < samples; ++i) {
    char c = 'x';
    int64_t t0 = clock::hostMonotonicNs();
    if (::write(to[1], &c, 1) != 1 || ::read(from[0], &c, 1) != 1) break;
    pipeRt.push_back(clock::hostMonotonicNs() - t0);
  }
  ::close(to[1]);
  ::waitpid(echo, nullptr, 0);
  Stats pipe = stats(pipeRt);

  std::printf("window messages between two processes, %d samples each\n", samples);
  std::printf("  post -> procedure, one at a time: p50 %.1f us  p99 %.1f us  max %.1f us\n", single.p50us,
              single.p99us, single.maxus);
  std::printf("  post -> procedure, burst:         p50 %.1f us  p99 %.1f us  max %.1f us  lost %d\n", burst.p50us,
              burst.p99us, burst.maxus, lost);
  std::printf("  SendMessageW round trip:          p50 %.1f us  p99 %.1f us  wrong answers %d\n", send.p50us,
              send.p99us, wrong);
  std::printf("  pipe round trip (host baseline):  p50 %.1f us  p99 %.1f us\n", pipe.p50us, pipe.p99us);
  if (pipe.p50us > 0)
    std::printf("  SendMessageW / pipe, p50: %.2f\n", send.p50us / pipe.p50us);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return wrong == 0 ? 0 : 1;
}
