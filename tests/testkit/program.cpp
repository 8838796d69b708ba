#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "ce/ce.h"

extern char** environ;

namespace nxtest {

std::string tool(const std::string& name) { return std::string(NX_BUILD_DIR) + "/bin/" + name; }

Program::Program(const std::vector<std::string>& argv) : Program(argv, Options{}) {}

Program::Program(const std::vector<std::string>& argv, const Options& o) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "NX_DEVICE_ROOT=", 15) != 0) env.emplace_back(*e);
  if (ce::DeviceAttached()) env.push_back("NX_DEVICE_ROOT=" + ce::DeviceRoot());
  env.insert(env.end(), o.env.begin(), o.env.end());
  std::vector<char*> av, ev;
  std::vector<std::string> args = argv;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  for (auto& e : env) ev.push_back(e.data());
  ev.push_back(nullptr);

  int parentFd = -1, childFd = -1;
  if (o.terminal) {
    termios t{};
    cfmakeraw(&t);
    if (::openpty(&parentFd, &childFd, nullptr, &t, nullptr) != 0) throw std::runtime_error("openpty failed");
  } else {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    parentFd = p[0];
    childFd = p[1];
  }
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (o.terminal) ::setsid();
    ::dup2(childFd, 1);
    if (o.withStderr) {
      ::dup2(childFd, 2);
    } else {
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 2);
    }
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    if (o.fileSizeLimit >= 0) {
      // A write over the limit then fails with EFBIG instead of ending the program.
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit r{static_cast<rlim_t>(o.fileSizeLimit), static_cast<rlim_t>(o.fileSizeLimit)};
      ::setrlimit(RLIMIT_FSIZE, &r);
    }
    ::execve(av[0], av.data(), ev.data());
    ::_exit(127);
  }
  ::close(childFd);
  fd_ = parentFd;
}

Program::~Program() {
  if (!waited_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  if (fd_ >= 0) ::close(fd_);
}

std::string Program::readLine(int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (ended_) {
      std::string rest;
      rest.swap(buffer_);
      return rest;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return {};
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::min<int64_t>(left.count(), 100))) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      ended_ = true;  // a pseudo-terminal whose child ended reads EIO
      continue;
    }
    buffer_.append(buf, static_cast<size_t>(n));
  }
}

std::string Program::readRest(int timeoutMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!ended_ && std::chrono::steady_clock::now() < until) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended_ = true;
      break;
    }
    buffer_.append(buf, static_cast<size_t>(n));
  }
  std::string all;
  all.swap(buffer_);
  // A pseudo-terminal ends its lines with CR LF.
  std::string out;
  for (size_t i = 0; i < all.size(); ++i)
    if (!(all[i] == '\r' && i + 1 < all.size() && all[i + 1] == '\n')) out.push_back(all[i]);
  return out;
}

int Program::wait() {
  if (!waited_) {
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  return status_;
}

bool Program::running() {
  if (waited_) return false;
  int st = 0;
  pid_t r = ::waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    waited_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

void Program::signal(int sig) {
  if (!waited_) ::kill(pid_, sig);
}

Program::Result Program::run(const std::vector<std::string>& argv, const Options& options) {
  Program p(argv, options);
  std::string out = p.readRest();
  return {p.wait(), out};
}

}  // namespace nxtest
