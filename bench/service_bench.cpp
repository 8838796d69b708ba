// The service host: how long RegisterService takes from the call until the
// caller has the answer of the service's Init (and DeregisterService until
// Deinit has run), against a bare request round trip to the same host.
//   service_bench [ROUNDS]      (default 500)
// Prints p50 and p99 in microseconds and the ratio to the round trip.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/service_host.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

void report(const char* what, const std::vector<double>& us, double base) {
  double p50 = percentile(us, 0.5), p99 = percentile(us, 0.99);
  std::printf("%-28s p50 %8.1f us   p99 %8.1f us", what, p50, p99);
  if (base > 0) std::printf("   x%.2f of the round trip (p50)", p50 / base);
  std::printf("\n");
}

template <class F>
double timeUs(F&& f) {
  auto t0 = Clock::now();
  f();
  return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
  char tmpl[] = "/tmp/nx-service-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string root = tmpl;
  if (!ce::CreateDevice(root)) return 1;
  std::filesystem::copy_file(std::string(NX_BUILD_DIR) + "/tests/modules/ce_test_service.dll",
                             root + "/Windows/ce_test_service.dll");
  std::string host = std::string(NX_BUILD_DIR) + "/bin/nxservices";
  std::vector<std::string> args{host, "--device-root", root};
  std::vector<char*> av;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, host.c_str(), &fa, nullptr, av.data(), environ) != 0) return 1;
  posix_spawn_file_actions_destroy(&fa);
  bool up = false;
  for (int i = 0; i < 2000 && !up; ++i) {
    ce::servicehost::HostState st;
    up = ce::servicehost::ReadState(st) && st.running && st.pid == pid && ce::servicehost::Ping();
    if (!up) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!up) {
    std::fprintf(stderr, "service_bench: the host did not start\n");
    return 1;
  }

  std::vector<double> ping, reg, dereg;
  for (int i = 0; i < rounds + 20; ++i) {
    double p = timeUs([] { ce::servicehost::Ping(); });
    ce::HANDLE h = nullptr;
    double r = timeUs([&] { h = ce::RegisterService(u"TSQ0:", 0, u"ce_test_service.dll", 1); });
    if (!h) {
      std::fprintf(stderr, "service_bench: RegisterService failed (error %u)\n", ce::GetLastError());
      return 1;
    }
    double d = timeUs([&] { ce::DeregisterService(h); });
    if (i < 20) continue;  // warm-up
    ping.push_back(p);
    reg.push_back(r);
    dereg.push_back(d);
  }
  double base = percentile(ping, 0.5);
  std::printf("service host, %d rounds (load, Init and answer; Deinit and unload):\n", rounds);
  report("request round trip (Ping)", ping, 0);
  report("RegisterService -> Init", reg, base);
  report("DeregisterService -> Deinit", dereg, base);

  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  std::filesystem::remove_all(root);
  return 0;
}
