#include "device_settings.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

namespace ce::detail {
namespace {

std::map<std::string, std::string> readAll(const std::string& file) {
  std::map<std::string, std::string> kv;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    kv[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return kv;
}

bool writeAll(const std::string& file, const std::map<std::string, std::string>& kv) {
  std::string tmp = file + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << "# device settings\n";
    for (auto& [k, v] : kv) out << k << '=' << v << '\n';
    if (!out.flush()) return false;
  }
  return ::rename(tmp.c_str(), file.c_str()) == 0;
}

struct FileLock {
  int fd;
  explicit FileLock(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd >= 0) ::flock(fd, LOCK_EX);
  }
  ~FileLock() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

std::string settingsGet(const std::string& ceDir, const std::string& key) {
  auto kv = readAll(ceDir + "/device.conf");
  auto it = kv.find(key);
  return it == kv.end() ? std::string() : it->second;
}

bool settingsSet(const std::string& ceDir, const std::string& key, const std::string& value) {
  FileLock lock(ceDir + "/device.conf.lock");
  auto kv = readAll(ceDir + "/device.conf");
  kv[key] = value;
  return writeAll(ceDir + "/device.conf", kv);
}

void settingsCreateDefault(const std::string& ceDir) {
  FileLock lock(ceDir + "/device.conf.lock");
  auto kv = readAll(ceDir + "/device.conf");
  kv.emplace("clock_speed", "1");
  kv.emplace("online", "1");
  writeAll(ceDir + "/device.conf", kv);
}

}  // namespace ce::detail
