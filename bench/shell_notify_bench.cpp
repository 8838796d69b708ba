// Change-notification latency: from a file closed after writing, by another
// process, to its WM_FILECHANGEINFO being dispatched in the registered
// window's thread. A writer process makes nested folders and 1,000 files in
// them as fast as it can; the window records when each file's record arrives.
// Reports p50, p99 and the worst latency, the files never told, and the same
// for inotifywait (inotify-tools) reading the same kind of burst, as ratios.
//
//   shell_notify_bench [FILES] [ROUNDS]
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "ce/ui.h"

extern char** environ;

namespace {

int64_t nowNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// ---- The writer (a process of its own) --------------------------------------
// 10 folders of 10 folders, 10 files in each, every folder made just before
// its files: most of them exist before anyone watching has seen the folder.
int writer(const std::string& dir, int files, const std::string& out) {
  std::vector<std::pair<std::string, int64_t>> closed;
  closed.reserve(files);
  const std::string content(512, 'w');
  for (int i = 0; i < files; ++i) {
    const int top = i / 100 % 10, sub = i / 10 % 10;
    std::string folder = dir + "/d" + std::to_string(top);
    if (i % 100 == 0) ::mkdir(folder.c_str(), 0755);
    folder += "/s" + std::to_string(sub);
    if (i % 10 == 0) ::mkdir(folder.c_str(), 0755);
    std::string rel = "d" + std::to_string(top) + "/s" + std::to_string(sub) + "/f" + std::to_string(i) + ".txt";
    int fd = ::open((dir + "/" + rel).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) return 1;
    ::close(fd);
    closed.emplace_back(rel, nowNs());
  }
  std::ofstream o(out);
  for (auto& [rel, t] : closed) o << rel << ' ' << t << '\n';
  return o.good() ? 0 : 1;
}

pid_t spawn(std::vector<std::string> args, int* outFd = nullptr) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  int pipeFds[2] = {-1, -1};
  if (outFd) {
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 2);
  }
  std::vector<char*> av;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, av[0], &fa, nullptr, av.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (outFd) {
    ::close(pipeFds[1]);
    *outFd = pipeFds[0];
  }
  return rc == 0 ? pid : -1;
}

std::map<std::string, int64_t> readClosed(const std::string& file) {
  std::map<std::string, int64_t> closed;
  std::ifstream in(file);
  std::string rel;
  int64_t t;
  while (in >> rel >> t) closed[rel] = t;
  return closed;
}

struct Result {
  std::vector<double> ms;  // latency per file told after its close
  int lost = 0;            // files never told at all
  int late = 0;            // told only before they were closed (the write itself never told)
};

// For each file: the first record that came at or after its close.
Result measure(const std::map<std::string, int64_t>& closed, const std::map<std::string, std::vector<int64_t>>& told) {
  Result r;
  for (const auto& [rel, t] : closed) {
    auto it = told.find(rel);
    if (it == told.end()) {
      ++r.lost;
      continue;
    }
    int64_t first = -1;
    for (int64_t s : it->second)
      if (s >= t && (first < 0 || s < first)) first = s;
    if (first < 0) {
      ++r.late;
      continue;
    }
    r.ms.push_back(static_cast<double>(first - t) / 1e6);
  }
  return r;
}

double pct(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * static_cast<double>(v.size())));
  return v[i];
}

// ---- The system: a window of this process, its thread dispatching ---------
struct Window {
  std::string prefix;  // device path of the burst folder, with a trailing backslash
  std::map<std::string, std::vector<int64_t>> told;
  std::string sentinel;
} g_win;

ce::LRESULT watchProc(ce::HWND hwnd, ce::UINT msg, ce::WPARAM wp, ce::LPARAM lp) {
  if (msg != ce::WM_FILECHANGEINFO) return ce::DefWindowProcW(hwnd, msg, wp, lp);
  const int64_t t = nowNs();
  auto* rec = reinterpret_cast<ce::FILECHANGENOTIFY*>(lp);
  const auto code = rec->fci.wEventId;
  std::string item = ce::utf16ToUtf8(reinterpret_cast<const char16_t*>(rec->fci.dwItem1));
  ce::SHChangeNotifyFree(rec);
  if (item.rfind(g_win.prefix, 0) != 0) return 0;
  std::string rel = item.substr(g_win.prefix.size());
  std::replace(rel.begin(), rel.end(), '\\', '/');
  if (code == ce::SHCNE_CREATE || code == ce::SHCNE_UPDATEITEM) g_win.told[rel].push_back(t);
  if (rel == g_win.sentinel && code == ce::SHCNE_UPDATEITEM) ce::PostQuitMessage(0);
  return 0;
}

Result runOurs(const std::string& root, const std::string& self, const std::string& round, int files) {
  const std::string dir = root + "/Temp/" + round;
  ::mkdir(dir.c_str(), 0755);
  g_win = Window{};
  g_win.prefix = "\\Temp\\" + round + "\\";
  g_win.sentinel = "done.txt";
  ce::WNDCLASSW wc{};
  wc.lpfnWndProc = &watchProc;
  wc.lpszClassName = u"NxBenchWatch";
  ce::RegisterClassW(&wc);
  ce::HWND hwnd = ce::CreateWindowExW(0, u"NxBenchWatch", u"watch", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  if (!hwnd) {
    std::fprintf(stderr, "cannot create a window (error %u)\n", ce::GetLastError());
    std::exit(1);
  }
  std::u16string folder = ce::utf8ToUtf16("\\Temp\\" + round);
  ce::SHCHANGENOTIFYENTRY entry{ce::SHCNE_CREATE | ce::SHCNE_UPDATEITEM, folder.data(), ce::TRUE};
  if (!ce::SHChangeNotifyRegister(hwnd, &entry)) {
    std::fprintf(stderr, "cannot register (error %u)\n", ce::GetLastError());
    std::exit(1);
  }
  const std::string out = dir + ".closed";
  pid_t pid = spawn({self, "--writer", dir, std::to_string(files), out});
  // The sentinel is written once the writer is done: everything before it
  // was dispatched when its own record is.
  std::thread finisher([&] {
    int st = 0;
    ::waitpid(pid, &st, 0);
    int fd = ::open((dir + "/done.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
  });
  ce::MSG msg;
  while (ce::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ce::TranslateMessage(&msg);
    ce::DispatchMessageW(&msg);
  }
  finisher.join();
  ce::SHChangeNotifyDeregister(hwnd);
  ce::DestroyWindow(hwnd);
  return measure(readClosed(out), g_win.told);
}

// ---- The peer: inotifywait -m -r over a burst folder of the host ---------------
Result runPeer(const std::string& base, const std::string& self, const std::string& round, int files) {
  const std::string dir = base + "/" + round;
  ::mkdir(dir.c_str(), 0755);
  int fd = -1;
  pid_t peer = spawn({"inotifywait", "-m", "-r", "-e", "create,close_write", "--format", "%w%f", dir}, &fd);
  if (peer < 0) return Result{{}, -1, 0};
  std::map<std::string, std::vector<int64_t>> told;
  std::string buf;
  bool ready = false, done = false;
  pid_t pid = -1;
  std::thread finisher;
  char chunk[65536];
  while (!done) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    const int64_t t = nowNs();
    buf.append(chunk, static_cast<size_t>(n));
    size_t nl;
    while ((nl = buf.find('\n')) != std::string::npos) {
      std::string line = buf.substr(0, nl);
      buf.erase(0, nl + 1);
      if (!ready && line.find("Watches established") != std::string::npos) {
        ready = true;
        pid = spawn({self, "--writer", dir, std::to_string(files), dir + ".closed"});
        finisher = std::thread([pid, dir] {
          int st = 0;
          ::waitpid(pid, &st, 0);
          int f = ::open((dir + "/done.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
          if (f >= 0) ::close(f);
        });
        continue;
      }
      if (line.rfind(dir + "/", 0) != 0) continue;
      std::string rel = line.substr(dir.size() + 1);
      told[rel].push_back(t);
      if (rel == "done.txt" && told[rel].size() >= 2) done = true;
    }
  }
  ::kill(peer, SIGTERM);
  ::waitpid(peer, nullptr, 0);
  ::close(fd);
  if (finisher.joinable()) finisher.join();
  return measure(readClosed(dir + ".closed"), told);
}

void print(const char* who, const Result& r) {
  std::printf("%-12s p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  told after close %zu  lost %d  write untold %d\n", who,
              pct(r.ms, 50), pct(r.ms, 99), pct(r.ms, 100), r.ms.size(), r.lost, r.late);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "--writer") == 0) return writer(argv[2], std::atoi(argv[3]), argv[4]);
  const int files = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = 0;
  char tmpl[] = "/tmp/nx-shellbench-XXXXXX";
  if (!::mkdtemp(tmpl)) return 1;
  const std::string base = tmpl;
  const std::string root = base + "/device";
  if (!ce::CreateDevice(root)) return 1;
  const std::string peerDir = base + "/peer";
  ::mkdir(peerDir.c_str(), 0755);
  const bool havePeer = std::system("command -v inotifywait >/dev/null 2>&1") == 0;

  Result ours, peer;
  for (int r = 0; r < rounds; ++r) {
    const std::string round = "r" + std::to_string(r);
    Result o = runOurs(root, self, round, files);
    print(("ours " + round).c_str(), o);
    ours.ms.insert(ours.ms.end(), o.ms.begin(), o.ms.end());
    ours.lost += o.lost;
    ours.late += o.late;
    if (havePeer) {
      Result p = runPeer(peerDir, self, round, files);
      print(("peer " + round).c_str(), p);
      peer.ms.insert(peer.ms.end(), p.ms.begin(), p.ms.end());
      peer.lost += p.lost;
      peer.late += p.late;
    }
  }
  std::printf("\n%d files x %d rounds, nested folders made during the burst\n", files, rounds);
  print("ours", ours);
  if (havePeer) {
    print("inotifywait", peer);
    std::printf("ratio ours/inotifywait: p50 %.2f  p99 %.2f\n", pct(ours.ms, 50) / std::max(1e-9, pct(peer.ms, 50)),
                pct(ours.ms, 99) / std::max(1e-9, pct(peer.ms, 99)));
  } else {
    std::printf("inotifywait not installed (inotify-tools): no peer figures\n");
  }
  std::string cleanup = "rm -rf '" + base + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
