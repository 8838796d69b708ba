// Kernel objects between two processes of one device: how long a sleeping
// waiter takes to wake after SetEvent in another process (p50/p99), and how
// many messages per second a queue carries from one process to another.
//
//   kernel_bench [samples]
//
// The program starts a copy of itself as the second process.
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/kernel.h"

extern char** environ;

using namespace ce;

namespace {

constexpr int kMaxSamples = 100000;

// Timestamps both processes see, in a small file beside the device.
struct Shared {
  std::atomic<int64_t> setAt;
  int64_t latencyNs[kMaxSamples];
};

Shared* mapShared(const std::string& path, bool create) {
  int fd = ::open(path.c_str(), O_RDWR | (create ? O_CREAT | O_TRUNC : 0), 0600);
  if (fd < 0) return nullptr;
  if (create && ::ftruncate(fd, sizeof(Shared)) != 0) return nullptr;
  void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<Shared*>(p);
}

const MSGQUEUEOPTIONS kQueue{sizeof(MSGQUEUEOPTIONS), MSGQUEUE_ALLOW_BROKEN, 64, 541, TRUE};

int child(const std::string& mode, const std::string& shmPath, int samples) {
  if (mode == "events") {
    Shared* sh = mapShared(shmPath, false);
    HANDLE ping = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"BenchPing");
    HANDLE pong = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"BenchPong");
    if (!sh || !ping || !pong) return 3;
    SetEvent(pong);  // ready
    for (int i = 0; i < samples; ++i) {
      if (WaitForSingleObject(ping, INFINITE) != WAIT_OBJECT_0) return 4;
      sh->latencyNs[i] = clock::hostMonotonicNs() - sh->setAt.load();
      SetEvent(pong);
    }
    return 0;
  }
  MSGQUEUEOPTIONS o = kQueue;
  HANDLE q = CreateMsgQueue(u"BenchQueue", &o);
  if (!q) return 3;
  HANDLE ready = OpenEventW(EVENT_ALL_ACCESS, FALSE, u"BenchPong");
  SetEvent(ready);
  char buf[541];
  for (;;) {
    DWORD n = 0, flags = 0;
    if (!ReadMsgQueue(q, buf, sizeof buf, &n, INFINITE, &flags)) return 4;
    if (n == 1 && buf[0] == 'Q') return 0;
  }
}

pid_t spawnChild(const char* self, const std::string& mode, const std::string& shm, int samples) {
  std::string s = std::to_string(samples);
  const char* argv[] = {self, "--child", mode.c_str(), shm.c_str(), s.c_str(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
  return pid;
}

int waitChild(pid_t pid) {
  int st = 0;
  ::waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::string(argv[1]) == "--child") return child(argv[2], argv[3], std::atoi(argv[4]));

  int samples = argc > 1 ? std::clamp(std::atoi(argv[1]), 10, kMaxSamples) : 5000;
  char tmpl[] = "/tmp/nx-kbench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  std::string root = tmpl;
  if (!CreateDevice(root)) {
    std::fprintf(stderr, "cannot create a device at %s\n", root.c_str());
    return 1;
  }
  ::setenv("NX_DEVICE_ROOT", root.c_str(), 1);
  std::string shmPath = root + "/bench.shm";
  Shared* sh = mapShared(shmPath, true);
  if (!sh) return 1;

  // ---- SetEvent in this process -> WaitForSingleObject returns in the other.
  HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, u"BenchPing");
  HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, u"BenchPong");
  pid_t pid = spawnChild(argv[0], "events", shmPath, samples);
  if (pid < 0 || WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) return 1;
  for (int i = 0; i < samples; ++i) {
    // Give the other side time to fall asleep: the wake of a sleeper is measured.
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    sh->setAt.store(clock::hostMonotonicNs());
    SetEvent(ping);
    if (WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) return 1;
  }
  if (waitChild(pid) != 0) return 1;
  std::vector<int64_t> lat(sh->latencyNs, sh->latencyNs + samples);
  std::sort(lat.begin(), lat.end());
  auto pct = [&](double p) { return lat[std::min<size_t>(lat.size() - 1, static_cast<size_t>(p * lat.size()))] / 1000.0; };
  std::printf("set-event-to-wake, two processes, %d samples: p50 %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n",
              samples, pct(0.50), pct(0.90), pct(0.99), lat.back() / 1000.0);

  // ---- Queue throughput: this process writes, the other reads.
  for (DWORD size : {16u, 541u}) {
    pid = spawnChild(argv[0], "queue", shmPath, 0);
    if (pid < 0 || WaitForSingleObject(pong, 10000) != WAIT_OBJECT_0) return 1;
    MSGQUEUEOPTIONS o = kQueue;
    o.bReadAccess = FALSE;
    HANDLE q = CreateMsgQueue(u"BenchQueue", &o);
    if (!q) return 1;
    std::vector<char> msg(size, 'm');
    const int count = 100000;
    int64_t t0 = clock::hostMonotonicNs();
    for (int i = 0; i < count; ++i) {
      if (!WriteMsgQueue(q, msg.data(), size, INFINITE, 0)) {
        std::fprintf(stderr, "write failed: %u\n", GetLastError());
        return 1;
      }
    }
    char quit = 'Q';
    WriteMsgQueue(q, &quit, 1, INFINITE, 0);
    if (waitChild(pid) != 0) return 1;
    double secs = static_cast<double>(clock::hostMonotonicNs() - t0) / 1e9;
    std::printf("queue, two processes, %u-byte messages: %.0f messages/s (%.1f MB/s)\n", size, count / secs,
                count * static_cast<double>(size) / secs / 1e6);
    CloseMsgQueue(q);
  }
  CloseHandle(ping);
  CloseHandle(pong);
  std::string rm = "rm -rf '" + root + "'";
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
