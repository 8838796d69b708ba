#include "testkit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "ce/ce.h"

extern char** environ;

namespace nxtest {
namespace {

std::string makeTemp(const char* tag) {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/nx-" + tag + "-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back(0);
  if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  return buf.data();
}

std::vector<std::string> childEnv() {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "NX_DEVICE_ROOT=", 15) == 0) continue;
    env.emplace_back(*e);
  }
  env.push_back("NX_DEVICE_ROOT=" + ce::DeviceRoot());
  return env;
}

pid_t spawn(const std::vector<std::string>& args, int* outFd, int* inFd) {
  int outPipe[2], inPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(inPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
  std::vector<std::string> argv{helperPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> av;
  for (auto& a : argv) av.push_back(a.data());
  av.push_back(nullptr);
  auto env = childEnv();
  std::vector<char*> ev;
  for (auto& e : env) ev.push_back(e.data());
  ev.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, av.data(), ev.data());
  posix_spawn_file_actions_destroy(&fa);
  ::close(outPipe[1]);
  ::close(inPipe[0]);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  *outFd = outPipe[0];
  *inFd = inPipe[1];
  return pid;
}

}  // namespace

void removeTree(const std::string& path) {
  std::error_code ec;
  // Read-only files and folders must not keep a test's device alive.
  for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path, ec);
}

TempDevice::TempDevice(double clockSpeed) : root_(makeTemp("dev")) {
  if (!ce::CreateDevice(root_)) throw std::runtime_error("cannot create device at " + root_);
  ce::SetClockSpeed(clockSpeed);
}

TempDevice::~TempDevice() {
  if (!std::getenv("NX_KEEP_TEST_DEVICES")) removeTree(root_);
}

void TempDevice::writeFile(const std::string& rel, const std::string& content) const {
  std::filesystem::create_directories(std::filesystem::path(host(rel)).parent_path());
  std::ofstream out(host(rel), std::ios::binary | std::ios::trunc);
  out << content;
}

std::string TempDevice::readFile(const std::string& rel) const {
  std::ifstream in(host(rel), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string TempDevice::readUtf16Text(const std::string& rel) const {
  const std::string raw = readFile(rel);
  std::u16string w(raw.size() / 2, u'\0');
  std::memcpy(w.data(), raw.data(), w.size() * 2);
  return ce::utf16ToUtf8(w);
}

std::vector<std::string> TempDevice::logTexts(const std::string& rel) const {
  const std::string all = readUtf16Text(rel);
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find("\r\n", pos);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(pos, end - pos);
    const size_t sep = line.find(": ");
    const bool stamped = !line.empty() && line[0] >= '0' && line[0] <= '9' && sep != std::string::npos;
    out.push_back(stamped ? line.substr(sep + 2) : line);
    pos = end + 2;
  }
  return out;
}

std::u16string viaHostMount(const std::string& hostPath) {
  std::u16string p = u"\\Host";
  for (char16_t c : ce::utf8ToUtf16(std::filesystem::absolute(hostPath).lexically_normal().string()))
    p.push_back(c == u'/' ? u'\\' : c);
  return p;
}

TempDir::TempDir() : path_(makeTemp("dir")) {}
TempDir::~TempDir() { removeTree(path_); }

std::string helperPath() { return std::string(NX_BUILD_DIR) + "/tests/ce_helper"; }

ProcResult runHelper(const std::vector<std::string>& args) {
  HelperProcess p(args);
  ProcResult r;
  std::string line;
  while (!(line = p.readLine(30000)).empty() || false) {
    r.out += line;
  }
  r.exitCode = p.wait();
  return r;
}

HelperProcess::HelperProcess(const std::vector<std::string>& args) { pid_ = spawn(args, &out_, &in_); }

HelperProcess::~HelperProcess() {
  if (!waited_) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  if (out_ >= 0) ::close(out_);
  if (in_ >= 0) ::close(in_);
}

std::string HelperProcess::readLine(int timeoutMs) {
  for (;;) {
    auto nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffered_.substr(0, nl + 1);
      buffered_.erase(0, nl + 1);
      return line;
    }
    pollfd pfd{out_, POLLIN, 0};
    int rc = ::poll(&pfd, 1, timeoutMs);
    if (rc <= 0) return {};
    char buf[4096];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) {
      std::string rest;
      rest.swap(buffered_);
      return rest;
    }
    buffered_.append(buf, static_cast<size_t>(n));
  }
}

void HelperProcess::writeLine(const std::string& line) {
  std::string l = line + "\n";
  if (::write(in_, l.data(), l.size()) < 0) {
  }
}

int HelperProcess::wait() {
  if (!waited_) {
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    waited_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  return status_;
}

void HelperProcess::kill(int sig) { ::kill(pid_, sig); }

std::string sharedDir() {
  // NX_SHARED_DIR wins; otherwise the shared folder beside the checkout.
  const char* env = std::getenv("NX_SHARED_DIR");
  std::string dir = env && *env ? env : NX_DEFAULT_SHARED_DIR;
  struct stat st{};
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dir;
  return {};
}

std::vector<std::u16string> readQueueTexts(void* reader) {
  std::vector<std::u16string> out;
  for (;;) {
    ce::WCHAR buf[300] = {};
    ce::DWORD got = 0, flags = 0;
    if (!ce::ReadMsgQueue(reader, buf, sizeof buf, &got, 0, &flags)) return out;
    out.emplace_back(buf, got >= 2 ? got / 2 - 1 : 0);
  }
}

}  // namespace nxtest
