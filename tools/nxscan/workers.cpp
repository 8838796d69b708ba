#include "workers.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <deque>

#include "ce/ce.h"
#include "common/install_dir.h"

extern char** environ;

namespace nxscan {

namespace {

// Frames on the pipes: a 4-byte length, then numbers as 8 bytes and texts as
// a 4-byte length and their bytes. Both ends are this program.
class Out {
 public:
  Out& num(uint64_t v) {
    b_.append(reinterpret_cast<const char*>(&v), sizeof v);
    return *this;
  }
  Out& text(const std::string& s) {
    uint32_t n = static_cast<uint32_t>(s.size());
    b_.append(reinterpret_cast<const char*>(&n), sizeof n);
    b_ += s;
    return *this;
  }
  std::string frame() const {
    uint32_t n = static_cast<uint32_t>(b_.size());
    return std::string(reinterpret_cast<const char*>(&n), sizeof n) + b_;
  }

 private:
  std::string b_;
};

class In {
 public:
  explicit In(const std::string& b) : b_(b) {}
  uint64_t num() {
    uint64_t v = 0;
    if (!take(&v, sizeof v)) return 0;
    return v;
  }
  std::string text() {
    uint32_t n = 0;
    if (!take(&n, sizeof n) || n > b_.size() - at_) return ok_ = false, std::string();
    std::string s = b_.substr(at_, n);
    at_ += n;
    return s;
  }
  bool ok() const { return ok_; }

 private:
  bool take(void* to, size_t n) {
    if (!ok_ || b_.size() - at_ < n) return ok_ = false;
    std::memcpy(to, b_.data() + at_, n);
    at_ += n;
    return true;
  }
  const std::string& b_;
  size_t at_ = 0;
  bool ok_ = true;
};

constexpr uint32_t kFrameMax = 1u << 20;
constexpr uint64_t kReady = UINT64_MAX;  // the index of a worker's first frame

bool writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool readAll(int fd, void* to, size_t n) {
  auto* p = static_cast<char*>(to);
  while (n) {
    ssize_t got = ::read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

bool readFrame(int fd, std::string& payload) {
  uint32_t n = 0;
  if (!readAll(fd, &n, sizeof n) || n > kFrameMax) return false;
  payload.resize(n);
  return readAll(fd, payload.data(), n);
}

// Takes one whole frame off the front of what was read, if there is one.
bool takeFrame(std::string& buffer, std::string& payload, bool& bad) {
  if (buffer.size() < 4) return false;
  uint32_t n;
  std::memcpy(&n, buffer.data(), sizeof n);
  if (n > kFrameMax) return bad = true, false;
  if (buffer.size() - 4 < n) return false;
  payload = buffer.substr(4, n);
  buffer.erase(0, 4 + n);
  return true;
}

std::string settingsFrame(const WorkerSettings& w) {
  const SessionSettings& s = w.session;
  return Out()
      .text(w.deviceRoot)
      .num(s.archives)
      .num(static_cast<uint64_t>(s.depth))
      .num(s.categories)
      .num(s.allowDelete)
      .num(s.limits.maxFiles)
      .num(s.limits.maxScanSize)
      .num(s.limits.maxScanTimeMs)
      .num(s.limitsGiven)
      .num(w.plan.act)
      .num(static_cast<uint32_t>(w.plan.onThreat))
      .num(static_cast<uint32_t>(w.plan.onUnrepairable))
      .frame();
}

bool readSettings(const std::string& b, WorkerSettings& w) {
  In in(b);
  SessionSettings& s = w.session;
  w.deviceRoot = in.text();
  s.archives = in.num() != 0;
  s.depth = static_cast<int>(in.num());
  s.categories = static_cast<unsigned>(in.num());
  s.allowDelete = in.num() != 0;
  s.limits.maxFiles = static_cast<uint32_t>(in.num());
  s.limits.maxScanSize = in.num();
  s.limits.maxScanTimeMs = static_cast<uint32_t>(in.num());
  s.limitsGiven = in.num() != 0;
  w.plan.act = in.num() != 0;
  w.plan.onThreat = static_cast<int32_t>(static_cast<uint32_t>(in.num()));
  w.plan.onUnrepairable = static_cast<int32_t>(static_cast<uint32_t>(in.num()));
  return in.ok();
}

std::string outcomeFrame(uint64_t index, const Outcome& o) {
  return Out()
      .num(index)
      .text(o.result)
      .num(o.limits)
      .text(o.threat)
      .num(static_cast<uint64_t>(static_cast<int64_t>(o.category)))
      .num(static_cast<uint64_t>(static_cast<int64_t>(o.type)))
      .num(o.length)
      .text(o.member)
      .text(o.action)
      .text(o.reason)
      .frame();
}

bool readOutcome(const std::string& b, uint64_t& index, Outcome& o) {
  In in(b);
  index = in.num();
  o.result = in.text();
  o.limits = static_cast<uint32_t>(in.num());
  o.threat = in.text();
  o.category = static_cast<int>(static_cast<int64_t>(in.num()));
  o.type = static_cast<int>(static_cast<int64_t>(in.num()));
  o.length = in.num();
  o.member = in.text();
  o.action = in.text();
  o.reason = in.text();
  return in.ok();
}

Outcome failed(const std::string& reason) {
  Outcome o;
  o.result = "error";
  o.reason = reason;
  return o;
}

struct Worker {
  pid_t pid = -1;
  int to = -1, from = -1;  // our ends of its pipes
  std::string buffer;      // what it wrote that is not a whole frame yet
  std::deque<size_t> held;  // files handed to it, the one it scans first
  bool ready = false, gone = false;
};

std::string howItEnded(pid_t pid) {
  int st = 0;
  pid_t r;
  do r = ::waitpid(pid, &st, 0);
  while (r < 0 && errno == EINTR);
  if (r == pid && WIFSIGNALED(st)) return std::string("killed by signal ") + std::to_string(WTERMSIG(st));
  if (r == pid && WIFEXITED(st)) return "exit status " + std::to_string(WEXITSTATUS(st));
  return "unknown end";
}

bool spawn(Worker& w, std::string* why) {
  int down[2], up[2];
  if (::pipe2(down, O_CLOEXEC) != 0) return *why = std::string("pipe: ") + std::strerror(errno), false;
  if (::pipe2(up, O_CLOEXEC) != 0) {
    *why = std::string("pipe: ") + std::strerror(errno);
    ::close(down[0]);
    ::close(down[1]);
    return false;
  }
  // The worker's ends become 3 and 4; duplicated descriptors lose close-on-exec.
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, down[0], 3);
  posix_spawn_file_actions_adddup2(&fa, up[1], 4);
  char exe[] = "/proc/self/exe";
  char verb[32], fds[] = "3,4";
  std::strncpy(verb, kWorkerVerb, sizeof verb - 1);
  verb[sizeof verb - 1] = 0;
  char* argv[] = {exe, verb, fds, nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, exe, &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(down[0]);
  ::close(up[1]);
  if (rc != 0) {
    *why = std::string("cannot start a scanning process: ") + std::strerror(rc);
    ::close(down[1]);
    ::close(up[0]);
    return false;
  }
  w.pid = pid;
  w.to = down[1];
  w.from = up[0];
  return true;
}

void retire(Worker& w) {
  if (w.to >= 0) ::close(w.to);
  if (w.from >= 0) ::close(w.from);
  w.to = w.from = -1;
  w.gone = true;
}

}  // namespace

std::u16string hostDevicePath(const std::string& host) {
  std::string p = "\\Host" + host;
  for (char& c : p)
    if (c == '/') c = '\\';
  return ce::utf8ToUtf16(p);
}

bool scanInWorkers(unsigned jobs, const WorkerSettings& settings, const std::vector<std::string>& files,
                   const std::function<void(size_t, const Outcome&)>& done, std::string* why) {
  // A worker that dies must not take this process with it on the next write.
  struct sigaction ignore {}, old{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &old);
  struct Restore {
    struct sigaction* old;
    ~Restore() { sigaction(SIGPIPE, old, nullptr); }
  } restore{&old};

  std::vector<Worker> workers(jobs);
  const std::string setup = settingsFrame(settings);
  for (Worker& w : workers) {
    if (!spawn(w, why)) {
      for (Worker& o : workers)
        if (o.pid > 0 && !o.gone) {
          retire(o);
          howItEnded(o.pid);
        }
      return false;
    }
    if (!writeAll(w.to, setup)) retire(w);
  }

  std::deque<size_t> waiting;
  for (size_t i = 0; i < files.size(); ++i) waiting.push_back(i);
  // Two files in hand: the worker never waits for us between files.
  constexpr size_t kHeld = 2;
  auto feed = [&](Worker& w) {
    while (!w.gone && w.ready && w.held.size() < kHeld && !waiting.empty()) {
      size_t i = waiting.front();
      if (!writeAll(w.to, Out().num(i).text(files[i]).frame())) return;  // its end shows at the next read
      waiting.pop_front();
      w.held.push_back(i);
    }
  };
  std::string firstRefusal;
  size_t ready = 0;
  auto lost = [&](Worker& w) {
    const std::string how = w.pid > 0 ? howItEnded(w.pid) : "not started";
    retire(w);
    if (!w.held.empty()) {
      done(w.held.front(), failed("the scanning process ended (" + how + ")"));
      w.held.pop_front();
      for (auto it = w.held.rbegin(); it != w.held.rend(); ++it) waiting.push_front(*it);
      w.held.clear();
    }
  };

  for (;;) {
    std::vector<pollfd> fds;
    std::vector<Worker*> whose;
    for (Worker& w : workers)
      if (!w.gone) {
        fds.push_back({w.from, POLLIN, 0});
        whose.push_back(&w);
      }
    const bool busy = !waiting.empty() || std::any_of(workers.begin(), workers.end(), [](const Worker& w) {
      return !w.gone && (!w.ready || !w.held.empty());
    });
    if (fds.empty() || !busy) break;
    int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("poll: ") + std::strerror(errno);
      break;
    }
    for (size_t k = 0; k < fds.size(); ++k) {
      if (!fds[k].revents) continue;
      Worker& w = *whose[k];
      char chunk[65536];
      ssize_t got = ::read(w.from, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        lost(w);
        continue;
      }
      w.buffer.append(chunk, static_cast<size_t>(got));
      std::string payload;
      bool bad = false;
      while (!w.gone && takeFrame(w.buffer, payload, bad)) {
        uint64_t index = 0;
        Outcome o;
        if (!readOutcome(payload, index, o)) {
          bad = true;
          break;
        }
        if (index == kReady) {
          if (o.result == "ready") {
            w.ready = true;
            ++ready;
          } else {
            if (firstRefusal.empty()) firstRefusal = o.reason;
            retire(w);
            howItEnded(w.pid);
          }
          continue;
        }
        if (w.held.empty() || w.held.front() != index) {
          bad = true;
          break;
        }
        w.held.pop_front();
        done(index, o);
      }
      if (bad && !w.gone) {
        ::kill(w.pid, SIGKILL);
        lost(w);
      }
      feed(w);
    }
    // Files of a worker that went are handed to the others.
    for (Worker& w : workers) feed(w);
  }

  for (Worker& w : workers)
    if (!w.gone) {
      retire(w);  // its end of input: it ends its session and exits
      howItEnded(w.pid);
    }
  if (ready == 0 && !files.empty() && waiting.size() == files.size()) {
    *why = firstRefusal.empty() ? "no scanning process could start" : firstRefusal;
    return false;
  }
  for (size_t i : waiting) done(i, failed("not scanned: every scanning process ended"));
  return true;
}

int workerMain(int argc, char** argv) {
  int in = -1, out = -1;
  if (argc < 3 || std::sscanf(argv[2], "%d,%d", &in, &out) != 2) return 2;
  std::string frame;
  WorkerSettings s;
  if (!readFrame(in, frame) || !readSettings(frame, s)) return 2;
  auto refuse = [&](const std::string& why) {
    Outcome o;
    o.result = "refused";
    o.reason = why;
    writeAll(out, outcomeFrame(kReady, o));
    return 2;
  };
  if (!ce::AttachDevice(s.deviceRoot)) return refuse("no device at " + s.deviceRoot);
  ce::EnableHostMount(true);
  ce::WCHAR installDir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(installDir, ce::MAX_PATH)) return refuse("cannot determine the installation directory");
  const std::u16string install(installDir);
  Api api;
  std::string why;
  if (!loadApi(install, &api, &why)) return refuse(why);
  Session session(api, install);
  if (!session.start(s.session, &why)) return refuse(why);
  Outcome hello;
  hello.result = "ready";
  if (!writeAll(out, outcomeFrame(kReady, hello))) return 1;
  while (readFrame(in, frame)) {
    In req(frame);
    const uint64_t index = req.num();
    const std::string host = req.text();
    if (!req.ok()) return 2;
    Outcome o = scanOne(api, session.handle(), install, s.plan, s.session.archives, hostDevicePath(host), host);
    if (!writeAll(out, outcomeFrame(index, o))) return 1;
  }
  session.end();
  return 0;
}

}  // namespace nxscan
