#include "upd_fixture.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/nibble.h"
#include "common/options_files.h"
#include "service_fixture.h"

namespace updsvctest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string buildFile(const std::string& rel) { return std::string(NX_BUILD_DIR) + "/" + rel; }

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

std::string storedImage(const nx::updsvc::IntervalValues& v, bool damage) {
  std::vector<uint8_t> b = nx::updsvc::encodeIntervalImage(v);
  if (damage) b.back() ^= 0x01;
  nx::swapNibbles(b.data(), b.size());
  return std::string(b.begin(), b.end());
}

std::string slurp(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class HostRunner {
 public:
  svctest::HostProcess process;
};

UpdDevice::UpdDevice(double clockSpeed) : dev(clockSpeed) {
  installHost = dev.host("Program Files/Nyxel/Nyxel AntiVirus");
  ce::SetProgramPath(u"\\Temp\\tester.exe");
  fs::create_directories(dev.host("Temp"));
}

UpdDevice::~UpdDevice() {
  // A test that failed while an update was held must not leave the host's
  // thread waiting in Deinit.
  if (ce::HANDLE r = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, u"UpdTest.Release")) {
    ce::SetEvent(r);
    ce::CloseHandle(r);
  }
  if (service_) stop();
  host_.reset();
}

void UpdDevice::install(bool testEngine) {
  fs::create_directories(installHost);
  for (const auto& e : fs::directory_iterator(buildFile("image"))) {
    if (!e.is_regular_file()) continue;
    fs::copy_file(e.path(), installHost + "/" + e.path().filename().string(), fs::copy_options::overwrite_existing);
  }
  if (testEngine)
    fs::copy_file(buildFile("tests/updsvc/engine/updengine.dll"), installHost + "/updengine.dll",
                  fs::copy_options::overwrite_existing);
  for (const char* sub : {"Config", "temp", "Log", "Report", "Quarantine", "Upgrade"})
    fs::create_directories(installHost + "/" + sub);
}

void UpdDevice::setUpdate(int autoUpdate, int source, const std::u16string& folder) {
  nx::WM_UPDATE_OPTS u{};
  u.bAutoUpdate = static_cast<ce::BYTE>(autoUpdate);
  u.bSource = static_cast<ce::BYTE>(source);
  nx::putTextField(u.localFolder, nx::kUpdateFolderChars, folder.c_str());
  ASSERT_TRUE(nx::CWmOptionsGen::WriteUpdateOpts(installDev.c_str(), &u, nx::kOptionsReadCurrent));
}

void UpdDevice::putIntervalFile(uint16_t internet, uint16_t local, bool damage) {
  nx::updsvc::IntervalValues v;
  v.marker = nx::updsvc::kIntervalMarker;
  v.internetMinutes = internet;
  v.localMinutes = local;
  std::ofstream(installHost + "/upgcnf.dat", std::ios::binary | std::ios::trunc) << storedImage(v, damage);
}

std::string UpdDevice::intervalFile() const { return slurp(installHost + "/upgcnf.dat"); }

bool UpdDevice::start() {
  host_ = std::make_unique<HostRunner>();
  if (!host_->process.start()) return false;
  service_ = ce::RegisterService(u"UPD0:", 0, u"updsvc.dll", 0);
  return service_ != nullptr;
}

bool UpdDevice::stop() {
  if (!service_) return true;
  bool ok = ce::DeregisterService(service_) != 0;
  service_ = nullptr;
  return ok;
}

std::vector<EngineLine> UpdDevice::engineLog() const {
  std::vector<EngineLine> out;
  std::istringstream in(dev.readFile("Temp/updengine_test.log"));
  for (std::string line; std::getline(in, line);) {
    size_t sp = line.find(' ');
    if (sp == std::string::npos) continue;
    out.push_back({static_cast<int64_t>(std::stoull(line.substr(0, sp))), line.substr(sp + 1)});
  }
  return out;
}

std::vector<EngineLine> UpdDevice::runs() const {
  std::vector<EngineLine> out;
  for (const auto& l : engineLog())
    if (l.what.rfind("run ", 0) == 0) out.push_back(l);
  return out;
}

std::vector<EngineLine> UpdDevice::ends() const {
  std::vector<EngineLine> out;
  for (const auto& l : engineLog())
    if (l.what.rfind("end ", 0) == 0) out.push_back(l);
  return out;
}

bool UpdDevice::waitRuns(size_t n, int timeoutMs) {
  return waitFor([&] { return ends().size() >= n; }, timeoutMs);
}

FileEvents::FileEvents(const std::string& hostDir) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  // The closes are watched too: the kernel merges identical events that
  // follow each other unread, so opens alone would count as one.
  if (fd_ >= 0)
    inotify_add_watch(fd_, hostDir.c_str(), IN_OPEN | IN_CLOSE | IN_MOVED_TO | IN_CREATE | IN_DELETE);
}

FileEvents::~FileEvents() {
  if (fd_ >= 0) ::close(fd_);
}

void FileEvents::drain() {
  alignas(inotify_event) char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      auto* e = reinterpret_cast<inotify_event*>(buf + at);
      if (e->mask & IN_Q_OVERFLOW) overflow_ = true;
      if (e->len) events_.emplace_back(std::string(e->name), e->mask);
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
}

long FileEvents::count(const std::string& name, uint32_t mask) {
  if (fd_ < 0) return -2;
  drain();
  if (overflow_) return -1;
  long c = 0;
  for (const auto& [n, m] : events_)
    if (n == name && (m & mask)) ++c;
  return c;
}

}  // namespace updsvctest
