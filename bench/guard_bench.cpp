// The on-access guard under a burst: a booted device (nxservices with the
// guard as "OLN0:"), 1,000 files written from the host into nested folders
// as fast as the host writes them (990 clean, 10 infected), then the same
// files scanned by `nxscan -j1`. Also single files dropped one at a time at a
// human pace. Latency is from the file's close to the end of its handling by
// the guard: the report entry written for an infected file, the scan finished
// for a clean one (the guard's own account, read through OLN_IOControl).
//
//   guard_bench [--files N] [--infected N] [--speed X] [--action A] [--copy C] [--singles N]
//
// Prints p50/p99/max per kind, files lost, the burst's drain rate, nxscan's
// rate on the same files and the ratio of the two.
#include <fcntl.h>
#include <spawn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/service_host.h"
#include "common/options_files.h"
#include "guardsvc/diagnostics.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

int64_t nowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string readAll(const std::string& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

pid_t spawn(const std::vector<std::string>& args, const std::string& out) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  std::vector<std::string> a = args;
  std::vector<char*> av;
  for (auto& s : a) av.push_back(s.data());
  av.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, a[0].c_str(), &fa, nullptr, av.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

struct Stats {
  double p50 = 0, p99 = 0, max = 0;
  size_t n = 0;
};
Stats stats(std::vector<double> v) {
  Stats s;
  s.n = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))]; };
  s.p50 = at(0.50);
  s.p99 = at(0.99);
  s.max = v.back();
  return s;
}

class Guard {
 public:
  bool state(const std::u16string& path, guard::FileState* f) {
    ce::DWORD actual = 0;
    return ce::ServiceIoControl(service, guard::kIoctlFileState, const_cast<char16_t*>(path.c_str()),
                                static_cast<ce::DWORD>((path.size() + 1) * 2), f, sizeof *f, &actual, nullptr) &&
           actual == sizeof *f;
  }
  guard::Statistics statistics() {
    guard::Statistics s{};
    ce::DWORD actual = 0;
    ce::ServiceIoControl(service, guard::kIoctlStatistics, nullptr, 0, &s, sizeof s, &actual, nullptr);
    return s;
  }
  ce::HANDLE service = nullptr;
};

struct File {
  std::string host;
  std::u16string device;
  bool infected;
  uint32_t closedTick;
};

void writeFile(File& f, const std::string& content) {
  fs::create_directories(fs::path(f.host).parent_path());
  std::ofstream out(f.host, std::ios::binary | std::ios::trunc);
  out << content;
  out.flush();
  // Taken just before the close: a handling that ends after the close can
  // then never look older than it, which would leave the file waited for.
  f.closedTick = ce::GetTickCount();
  out.close();
}

// Waits until every file was handled after its close; returns the
// latencies (device ms) and counts the files never handled.
bool collect(Guard& g, const std::vector<File>& files, double timeoutS, std::vector<double>* clean,
             std::vector<double>* infected, size_t* missing, uint32_t* lastDone) {
  const int64_t until = nowNs() + static_cast<int64_t>(timeoutS * 1e9);
  std::vector<bool> done(files.size(), false);
  size_t left = files.size();
  while (left && nowNs() < until) {
    // The guard keeps each file's ticks itself: its files are read only
    // while nothing waits, so the reading does not slow the drain it measures.
    if (files.size() > 1 && g.statistics().pendingNow != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    for (size_t i = 0; i < files.size(); ++i) {
      if (done[i]) continue;
      guard::FileState st{};
      if (!g.state(files[i].device, &st) || st.handled == 0) continue;
      if (static_cast<int32_t>(st.lastDoneTick - files[i].closedTick) < 0) continue;
      if (files[i].infected && st.lastCode == 0) continue;
      done[i] = true;
      --left;
      double ms = static_cast<double>(st.lastDoneTick - files[i].closedTick);
      (files[i].infected ? infected : clean)->push_back(ms);
      if (lastDone && static_cast<int32_t>(st.lastDoneTick - *lastDone) > 0) *lastDone = st.lastDoneTick;
    }
    if (left) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  *missing = left;
  return left == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 1000, infectedCount = 10, action = 1, copy = 1, singles = 40;
  double speed = 1.0;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--files") files = std::atoi(argv[i + 1]);
    else if (a == "--infected") infectedCount = std::atoi(argv[i + 1]);
    else if (a == "--speed") speed = std::atof(argv[i + 1]);
    else if (a == "--action") action = std::atoi(argv[i + 1]);
    else if (a == "--copy") copy = std::atoi(argv[i + 1]);
    else if (a == "--singles") singles = std::atoi(argv[i + 1]);
  }
  char tmpl[] = "/tmp/nxguard-bench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 2;
  const std::string root = tmpl;
  if (!ce::CreateDevice(root)) return 2;
  ce::SetClockSpeed(speed);
  const std::string build = NX_BUILD_DIR;
  const std::string install = root + "/Program Files/Nyxel/Nyxel AntiVirus";
  fs::create_directories(install);
  for (const auto& e : fs::directory_iterator(build + "/image"))
    if (e.is_regular_file()) fs::copy_file(e.path(), install + "/" + e.path().filename().string());
  for (const char* sub : {"Config", "temp", "Log", "Report", "Quarantine"}) fs::create_directories(install + "/" + sub);
  const std::u16string installDev = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
  nx::WM_ONLINE_OPTS o{1, static_cast<ce::BYTE>(action), static_cast<ce::BYTE>(copy), {}};
  nx::CWmOptionsGen::WriteOnlineOpts(installDev.c_str(), &o, nx::kOptionsReadCurrent);

  setenv("NX_DEVICE_ROOT", root.c_str(), 1);
  pid_t host = spawn({build + "/bin/nxservices", "--device-root", root}, root + "/.ce/services.log");
  for (int i = 0; i < 2000 && !ce::servicehost::Ping(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Guard g;
  g.service = ce::RegisterService(u"OLN0:", 0, u"guardsvc.dll", 0);
  if (!g.service) {
    std::fprintf(stderr, "guard_bench: the guard did not start (error %u)\n", ce::GetLastError());
    return 2;
  }
  for (int i = 0; i < 2000 && g.statistics().protectedNow != 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));

  const std::string eicar = readAll(std::string(NX_SOURCE_DIR) + "/samples/eicar.com");
  const std::string demo = readAll(std::string(NX_SOURCE_DIR) + "/samples/nyxel-demo.exe");
  auto cleanContent = [](int i) {
    std::string s;
    uint32_t x = 2654435761u * static_cast<uint32_t>(i + 1);
    for (int k = 0; k < 2048; ++k) {
      x = x * 1103515245u + 12345u;
      s.push_back(static_cast<char>('a' + (x >> 16) % 26));
    }
    return s;
  };

  // ---- Single files at a human pace ----
  std::vector<File> single;
  std::vector<double> singleClean, singleInfected;
  size_t singleMissing = 0;
  for (int i = 0; i < singles; ++i) {
    bool inf = i % 4 == 3;
    File f{root + "/Data/single/s" + std::to_string(i) + (inf ? ".com" : ".txt"),
           u"\\Data\\single\\s" + ce::utf8ToUtf16(std::to_string(i)) + (inf ? u".com" : u".txt"), inf, 0};
    writeFile(f, inf ? eicar : cleanContent(i));
    size_t m = 0;
    collect(g, {f}, 60, &singleClean, &singleInfected, &m, nullptr);
    singleMissing += m;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  }

  // ---- The burst ----
  std::vector<File> burst;
  const int every = infectedCount > 0 ? files / infectedCount : files + 1;
  for (int i = 0; i < files; ++i) {
    bool inf = infectedCount > 0 && i % every == every / 2;
    std::string rel = "Data/burst/d" + std::to_string(i % 10) + "/e" + std::to_string((i / 10) % 10) + "/f" +
                      std::to_string(i) + (inf ? (i % 2 ? ".exe" : ".com") : ".txt");
    std::string dev = "\\" + rel;
    for (char& c : dev)
      if (c == '/') c = '\\';
    burst.push_back(File{root + "/" + rel, ce::utf8ToUtf16(dev), inf, 0});
  }
  guard::Statistics before = g.statistics();
  const int64_t burstStart = nowNs();
  const uint32_t firstTick = ce::GetTickCount();
  for (int i = 0; i < files; ++i) writeFile(burst[i], burst[i].infected ? (i % 2 ? demo : eicar) : cleanContent(i));
  const double writeS = (nowNs() - burstStart) / 1e9;
  std::vector<double> clean, infected;
  size_t missing = 0;
  uint32_t lastDone = firstTick;
  collect(g, burst, 600, &clean, &infected, &missing, &lastDone);
  guard::Statistics after = g.statistics();
  const double drainS = static_cast<double>(lastDone - firstTick) / 1000.0 / speed;

  // ---- nxscan -j1 on the same files ----
  const int64_t scanStart = nowNs();
  pid_t scan = spawn({build + "/bin/nxscan", "--device-root", root, "-j1", "--quiet", "--no-summary",
                      root + "/Data/burst"},
                     "/dev/null");
  int status = 0;
  ::waitpid(scan, &status, 0);
  const double scanS = (nowNs() - scanStart) / 1e9;

  ce::DeregisterService(g.service);
  ::kill(host, SIGTERM);
  ::waitpid(host, nullptr, 0);

  auto line = [&](const char* what, const std::vector<double>& v) {
    Stats s = stats(v);
    std::printf("  %-28s n=%-5zu p50 %8.1f ms  p99 %8.1f ms  max %8.1f ms\n", what, s.n, s.p50 / speed,
                s.p99 / speed, s.max / speed);
  };
  double load[3] = {0, 0, 0};
  if (::getloadavg(load, 3) < 0) load[0] = -1;
  std::printf("guard_bench: device clock x%g, action %d, copy %d, load %.2f\n", speed, action, copy, load[0]);
  std::printf("single files, one every 150 ms (latency from close to the end of the handling, host ms):\n");
  line("clean, scan finished", singleClean);
  line("infected, report written", singleInfected);
  std::printf("  not handled: %zu\n", singleMissing);
  std::printf("burst of %d files (%d infected), written in %.3f s:\n", files, infectedCount, writeS);
  line("clean, scan finished", clean);
  line("infected, report written", infected);
  std::printf("  files not handled: %zu, events lost: %llu, merged: %llu, infected reported: %llu\n", missing,
              static_cast<unsigned long long>(after.eventsLost - before.eventsLost),
              static_cast<unsigned long long>(after.eventsMerged - before.eventsMerged),
              static_cast<unsigned long long>(after.reports - before.reports));
  const double guardRate = files / std::max(drainS, 1e-9);
  const double scanRate = files / std::max(scanS, 1e-9);
  std::printf("  drained in %.3f s: %.0f files/s; nxscan -j1 on the same files: %.3f s, %.0f files/s (exit %d)\n",
              drainS, guardRate, scanS, scanRate, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  std::printf("  guard / nxscan -j1 rate: %.2f\n", guardRate / scanRate);
  fs::remove_all(root);
  return 0;
}
