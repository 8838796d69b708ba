#include "net_servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "testkit.h"

extern char** environ;

namespace nxtest {
namespace {

// Starts argv with standard output on a pipe (returned in *out, -1 when not
// wanted) and standard error on /dev/null; -1 when it cannot start.
pid_t start(const std::vector<std::string>& argv, int* out) {
  int pipeFds[2] = {-1, -1};
  if (out && ::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (out) posix_spawn_file_actions_adddup2(&fa, pipeFds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = argv;
  std::vector<char*> av;
  for (auto& a : args) av.push_back(a.data());
  av.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0].c_str(), &fa, nullptr, av.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (out) {
    ::close(pipeFds[1]);
    if (rc != 0) {
      ::close(pipeFds[0]);
      return -1;
    }
    *out = pipeFds[0];
  }
  return rc == 0 ? pid : -1;
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  int st = 0;
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid, &st, WNOHANG) == pid) {
      pid = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &st, 0);
  pid = -1;
}

// One line of the child's output, or empty after timeoutMs.
std::string readLine(int fd, int timeoutMs) {
  std::string line;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char c;
    if (::read(fd, &c, 1) != 1) break;
    if (c == '\n') return line;
    line.push_back(c);
  }
  return {};
}

bool accepts(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(s);
  return ok;
}

std::string python() {
#ifdef NX_PYTHON3
  return NX_PYTHON3;
#else
  return "python3";
#endif
}

std::string serverScript() { return std::string(NX_SOURCE_DIR) + "/tests/servers/http_server.py"; }

std::string tinyproxyPath() {
#ifdef NX_TINYPROXY
  return NX_TINYPROXY;
#else
  return "";
#endif
}

std::string makeDir(const char* tag) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/nx-" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  return ::mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

}  // namespace

HttpServer::HttpServer(const std::string& root, const std::string& control, const Tls& tls) : tls_(!tls.cert.empty()) {
  control_ = control.empty() ? root.substr(0, root.find_last_of('/')) : control;
  std::vector<std::string> argv{python(), serverScript(), root, "--control", control_};
  if (tls_) argv.insert(argv.end(), {"--cert", tls.cert, "--key", tls.key});
  int out = -1;
  pid_ = start(argv, &out);
  if (pid_ <= 0) return;
  std::string line = readLine(out, 20000);
  ::close(out);
  if (line.rfind("port ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
  if (port_ <= 0) stop(pid_);
}

HttpServer::~HttpServer() { stop(pid_); }

std::string HttpServer::url(const std::string& prefix) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + "/" + prefix;
}

std::vector<std::string> HttpServer::requests() const {
  std::vector<std::string> out;
  std::ifstream in(control_ + "/requests.log");
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

void HttpServer::openGate(const std::string& name) const { std::ofstream(control_ + "/" + name) << "open\n"; }

bool Proxy::available() {
  const std::string p = tinyproxyPath();
  return !p.empty() && ::access(p.c_str(), X_OK) == 0;
}

Proxy::Proxy(const std::string& user, const std::string& password) {
  if (!available()) return;
  dir_ = makeDir("proxy");
  if (dir_.empty()) return;
  // tinyproxy takes its port from the configuration: a port free a moment
  // ago, tried again a few times should another process take it first.
  for (int attempt = 0; attempt < 5 && port_ == 0; ++attempt) {
    int port = closedPort();
    {
      std::ofstream conf(dir_ + "/tinyproxy.conf");
      conf << "Port " << port << "\nListen 127.0.0.1\nTimeout 60\nMaxClients 50\nAllow 127.0.0.1\n"
           << "LogLevel Connect\nLogFile \"" << dir_ << "/tinyproxy.log\"\nPidFile \"" << dir_
           << "/tinyproxy.pid\"\n";
      if (!user.empty()) conf << "BasicAuth " << user << " " << password << "\n";
    }
    pid_ = start({tinyproxyPath(), "-d", "-c", dir_ + "/tinyproxy.conf"}, nullptr);
    if (pid_ <= 0) return;
    for (int i = 0; i < 500; ++i) {
      if (accepts(port)) {
        port_ = port;
        break;
      }
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (port_ == 0) stop(pid_);
  }
}

Proxy::~Proxy() {
  stop(pid_);
  if (!dir_.empty()) removeTree(dir_);
}

std::string Proxy::log() const {
  std::ifstream in(dir_ + "/tinyproxy.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int closedPort() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(s);
  return port;
}

bool makeTestCertificate(const std::string& dir) {
  pid_t pid = start({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                     "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem", "-days", "2", "-subj", "/CN=127.0.0.1",
                     "-addext", "subjectAltName=IP:127.0.0.1"},
                    nullptr);
  if (pid <= 0) return false;
  int st = 0;
  ::waitpid(pid, &st, 0);
  struct stat s{};
  return WIFEXITED(st) && WEXITSTATUS(st) == 0 && ::stat((dir + "/cert.pem").c_str(), &s) == 0;
}

}  // namespace nxtest
