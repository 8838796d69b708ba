#include "guard_fixture.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ce/screen.h"
#include "common/options_files.h"
#include "common/quarantine_store.h"
#include "common/report_index.h"
#include "service_fixture.h"

namespace guardtest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::u16string u16(const std::string& s) { return ce::utf8ToUtf16(s); }
std::string u8(const std::u16string& s) { return ce::utf16ToUtf8(s); }
std::string u8(const char16_t* s) { return s ? ce::utf16ToUtf8(std::u16string(s)) : std::string(); }

std::string buildFile(const std::string& rel) { return std::string(NX_BUILD_DIR) + "/" + rel; }
std::string sample(const std::string& name) { return std::string(NX_SOURCE_DIR) + "/samples/" + name; }

std::string ceProgram(const std::string& tail) {
  std::string b(512, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  b[60] = static_cast<char>(0x80);
  std::memcpy(b.data() + 0x80, "PE\0\0", 4);
  b[0x80 + 4 + 18] = 2;
  b[0x80 + 24] = 0x0B;
  b[0x80 + 25] = 0x01;
  b[0x80 + 24 + 68] = 9;
  return b + tail;
}

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

class HostRunner {
 public:
  svctest::HostProcess process;
};

GuardDevice::GuardDevice(double clockSpeed, const std::string& installParent) : dev(clockSpeed) {
  std::u16string parent = u"\\Program Files\\Nyxel";
  if (!installParent.empty()) {
    parent = u16(installParent);
    ce::HKEY k = nullptr;
    ce::DWORD disp = 0;
    ce::RegCreateKeyExW(ce::HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel", 0, nullptr, 0, 0, nullptr, &k,
                        &disp);
    ce::RegSetValueExW(k, u"InstallDir", 0, ce::REG_SZ, reinterpret_cast<const ce::BYTE*>(parent.c_str()),
                       static_cast<ce::DWORD>((parent.size() + 1) * 2));
    ce::RegCloseKey(k);
  }
  installDev = parent + u"\\Nyxel AntiVirus";
  std::string rel = u8(installDev.substr(1));
  for (char& c : rel)
    if (c == '\\') c = '/';
  installHost = dev.host(rel);
  // The guard logs beside its program: the service host's, or this test's.
  ce::SetProgramPath(u"\\Temp\\tester.exe");
  fs::create_directories(dev.host("Temp"));
}

GuardDevice::~GuardDevice() {
  release();
  if (started_) stop();
  if (release_) ce::CloseHandle(release_);
  if (holding_) ce::CloseHandle(holding_);
  host_.reset();
  if (ce::StorageCardFolder().size()) ce::RemoveStorageCard();
}

void GuardDevice::install(bool testScanner, const std::string& hostDir) {
  std::string target = hostDir.empty() ? installHost : hostDir;
  fs::create_directories(target);
  for (const auto& e : fs::directory_iterator(buildFile("image"))) {
    if (!e.is_regular_file()) continue;
    fs::copy_file(e.path(), target + "/" + e.path().filename().string(), fs::copy_options::overwrite_existing);
  }
  if (testScanner)
    fs::copy_file(buildFile("tests/guardsvc/scanner/exescan.dll"), target + "/exescan.dll",
                  fs::copy_options::overwrite_existing);
  for (const char* sub : {"Config", "temp", "Log", "Report", "Quarantine"}) fs::create_directories(target + "/" + sub);
}

void GuardDevice::removeInstalled(const std::string& name) { fs::remove(installHost + "/" + name); }

bool GuardDevice::start(Host how) {
  how_ = how;
  if (how == Host::ServiceHost) {
    host_ = std::make_unique<HostRunner>();
    if (!host_->process.start()) return false;
    service_ = ce::RegisterService(u"OLN0:", 0, u"guardsvc.dll", 0);
    started_ = service_ != nullptr;
    return started_;
  }
  lib_ = ce::LoadLibraryW((installDev + u"\\guardsvc.dll").c_str());
  if (!lib_) return false;
  auto init = reinterpret_cast<ce::ServiceInitFn>(ce::GetProcAddress(lib_, "OLN_Init"));
  started_ = init && init(0) != 0;
  if (!started_) {
    ce::FreeLibrary(lib_);
    lib_ = nullptr;
  }
  return started_;
}

bool GuardDevice::stop() {
  if (!started_) return true;
  started_ = false;
  if (how_ == Host::ServiceHost) {
    bool ok = ce::DeregisterService(service_) != 0;
    service_ = nullptr;
    return ok;
  }
  auto deinit = reinterpret_cast<ce::ServiceDeinitFn>(ce::GetProcAddress(lib_, "OLN_Deinit"));
  if (deinit) deinit(1);
  ce::FreeLibrary(lib_);
  lib_ = nullptr;
  return true;
}

void GuardDevice::setOnline(int action, int copy, int enabled) {
  nx::WM_ONLINE_OPTS o{};
  o.bEnabled = static_cast<ce::BYTE>(enabled);
  o.bAction = static_cast<ce::BYTE>(action);
  o.bQuarantine = static_cast<ce::BYTE>(copy);
  ASSERT_TRUE(nx::CWmOptionsGen::WriteOnlineOpts(installDev.c_str(), &o, nx::kOptionsReadCurrent));
  if (!started_) return;
  const uint32_t want = static_cast<uint32_t>(enabled | (action << 8) | (copy << 16));
  ASSERT_TRUE(waitFor([&] { return stats().onlineOptions == want; })) << "the guard did not take the options";
}

void GuardDevice::hold(const std::string& rel) {
  if (!release_) release_ = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"GuardTest.Release");
  if (!holding_) holding_ = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"GuardTest.Holding");
  ce::ResetEvent(release_);
  ce::ResetEvent(holding_);
  hostWrite(rel, ceProgram("HOLD"));
  ASSERT_EQ(ce::WaitForSingleObject(holding_, 600000), ce::WAIT_OBJECT_0) << "the worker never reached the file";
}

void GuardDevice::release() {
  if (release_) ce::SetEvent(release_);
}

void GuardDevice::setGeneral(int scanCard) {
  nx::WM_GENERAL_OPTS g{};
  g.bScanCardOnInsert = static_cast<ce::BYTE>(scanCard);
  ASSERT_TRUE(nx::CWmOptionsGen::WriteGeneralOpts(installDev.c_str(), &g, nx::kOptionsReadCurrent));
}

void GuardDevice::setUpdate(int autoUpdate) {
  nx::WM_UPDATE_OPTS u{};
  u.bAutoUpdate = static_cast<ce::BYTE>(autoUpdate);
  ASSERT_TRUE(nx::CWmOptionsGen::WriteUpdateOpts(installDev.c_str(), &u, nx::kOptionsReadCurrent));
}

void GuardDevice::hostWrite(const std::string& rel, const std::string& content) {
  fs::create_directories(fs::path(dev.host(rel)).parent_path());
  std::ofstream out(dev.host(rel), std::ios::binary | std::ios::trunc);
  out << content;
}

void GuardDevice::hostPut(const std::string& rel, const std::string& content) {
  fs::create_directories(fs::path(dev.host(rel)).parent_path());
  const std::string staged = fs::path(dev.host("")).parent_path().string() + ".put";
  {
    std::ofstream out(staged, std::ios::binary | std::ios::trunc);
    out << content;
  }
  fs::rename(staged, dev.host(rel));
}

void GuardDevice::hostCopy(const std::string& hostSource, const std::string& rel) {
  fs::create_directories(fs::path(dev.host(rel)).parent_path());
  fs::copy_file(hostSource, dev.host(rel), fs::copy_options::overwrite_existing);
}

namespace {
std::string utf16File(const std::string& hostPath) {
  std::ifstream in(hostPath, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string b = ss.str();
  std::u16string w(b.size() / 2, u'\0');
  for (size_t i = 0; i < w.size(); ++i)
    w[i] = static_cast<char16_t>(static_cast<unsigned char>(b[2 * i]) | (static_cast<unsigned char>(b[2 * i + 1]) << 8));
  return u8(w);
}

std::string hostOf(const std::string& devicePath) { return ce::HostPathOf(ce::utf8ToUtf16(devicePath).c_str()); }
}  // namespace

std::vector<Report> GuardDevice::reports() {
  std::vector<Report> out;
  nx::readIndex((installDev + u"\\online.dat").c_str(), nx::kReportOnline, [&](const nx::IndexEntry& e) {
    Report r;
    r.path = e.path;
    r.title = u8(e.title);
    r.text = utf16File(hostOf(e.path));
    out.push_back(std::move(r));
  });
  return out;
}

std::vector<nx::QuarantineRecord> GuardDevice::quarantine() {
  std::vector<nx::QuarantineRecord> out;
  nx::QuarantineStore store(installDev.c_str());
  store.ReadAll(&out);
  return out;
}

std::vector<Json> GuardDevice::journal() {
  std::vector<Json> out;
  uint64_t next = 0, skipped = 0;
  for (const std::string& line : ce::screen::ReadJournal(0, &next, &skipped)) {
    Json j = Json::parse(line, nullptr, false);
    if (!j.is_discarded()) out.push_back(std::move(j));
  }
  return out;
}

std::vector<Notice> GuardDevice::notices() {
  std::vector<Notice> out;
  for (const Json& j : journal()) {
    if (j.value("template", 0) != 105 || (j["event"] != "show" && j["event"] != "change")) continue;
    if (!j.value("visible", false)) continue;
    Notice n;
    for (const Json& c : j["controls"]) {
      int id = c.value("id", 0);
      if (id == 1009) n.file = c.value("text", "");
      if (id == 1010) n.virus = c.value("text", "");
      if (id == 1011) n.action = c.value("text", "");
    }
    n.tick = j.value("tick", int64_t{0});
    n.line = j;
    // One entry per distinct state the dialog showed.
    if (!out.empty() && out.back().file == n.file && out.back().virus == n.virus && out.back().action == n.action)
      continue;
    out.push_back(std::move(n));
  }
  return out;
}

std::vector<Json> GuardDevice::messageBoxes(const std::string& text) {
  std::vector<Json> out;
  for (Json& j : journal())
    if (j["event"] == "msgbox" && (text.empty() || j.value("text", "") == text)) out.push_back(std::move(j));
  return out;
}

std::vector<std::string> GuardDevice::logLines() {
  return dev.logTexts(how_ == Host::ServiceHost ? "Windows/nxdebug.log" : "Temp/nxdebug.log");
}

bool GuardDevice::ioControl(ce::DWORD code, const void* in, ce::DWORD inSize, void* out, ce::DWORD outSize) {
  ce::DWORD actual = 0;
  if (how_ == Host::ServiceHost) {
    if (!service_) return false;
    return ce::ServiceIoControl(service_, code, const_cast<void*>(in), inSize, out, outSize, &actual, nullptr) != 0 &&
           actual == outSize;
  }
  if (!lib_) return false;
  auto fn = reinterpret_cast<ce::ServiceIOControlFn>(ce::GetProcAddress(lib_, "OLN_IOControl"));
  return fn && fn(1, code, static_cast<ce::BYTE*>(const_cast<void*>(in)), inSize, static_cast<ce::BYTE*>(out),
                  outSize, &actual) &&
         actual == outSize;
}

guard::Statistics GuardDevice::stats() {
  guard::Statistics s{};
  ioControl(guard::kIoctlStatistics, nullptr, 0, &s, sizeof s);
  return s;
}

bool GuardDevice::fileState(const std::u16string& path, guard::FileState* out) {
  return ioControl(guard::kIoctlFileState, path.c_str(), static_cast<ce::DWORD>((path.size() + 1) * 2), out,
                   sizeof *out);
}

bool GuardDevice::waitHandled(const std::u16string& path, uint32_t times, int timeoutMs) {
  return waitFor(
      [&] {
        guard::FileState f{};
        return fileState(path, &f) && f.handled >= times;
      },
      timeoutMs);
}

bool GuardDevice::waitIdle(int timeoutMs) {
  return waitFor(
      [&] {
        guard::Statistics s = stats();
        return s.size && s.pendingNow == 0 && s.retryingNow == 0;
      },
      timeoutMs);
}

}  // namespace guardtest
