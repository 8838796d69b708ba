#include "setup_fixture.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "ce/screen.h"

namespace setuptest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::u16string u16(const std::string& s) { return ce::utf8ToUtf16(s); }
std::string u8(const std::u16string& s) { return ce::utf16ToUtf8(s); }
std::string buildFile(const std::string& rel) { return std::string(NX_BUILD_DIR) + "/" + rel; }

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < until) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

std::vector<std::string> keyValues(ce::HKEY root, const std::u16string& key) {
  std::vector<std::string> out;
  ce::HKEY k = nullptr;
  if (ce::RegOpenKeyExW(root, key.c_str(), 0, ce::KEY_READ, &k) != ce::ERROR_SUCCESS) return out;
  for (ce::DWORD i = 0;; ++i) {
    ce::WCHAR name[256];
    ce::DWORD nameChars = 256, type = 0;
    ce::BYTE data[1024];
    ce::DWORD size = sizeof data;
    if (ce::RegEnumValueW(k, i, name, &nameChars, nullptr, &type, data, &size) != ce::ERROR_SUCCESS) break;
    std::string line = u8(name) + "=";
    if (type == ce::REG_DWORD && size == 4) {
      ce::DWORD v;
      std::memcpy(&v, data, 4);
      line += "#" + std::to_string(v);
    } else if (type == ce::REG_SZ) {
      std::u16string text(reinterpret_cast<const char16_t*>(data), size / 2);
      if (!text.empty() && text.back() == 0) text.pop_back();
      line += u8(text);
    } else {
      line += "?type" + std::to_string(type);
    }
    out.push_back(line);
  }
  ce::RegCloseKey(k);
  return out;
}

bool keyExists(ce::HKEY root, const std::u16string& key) {
  ce::HKEY k = nullptr;
  if (ce::RegOpenKeyExW(root, key.c_str(), 0, ce::KEY_READ, &k) != ce::ERROR_SUCCESS) return false;
  ce::RegCloseKey(k);
  return true;
}

std::optional<std::string> stringValue(ce::HKEY root, const std::u16string& key, const std::u16string& name) {
  ce::HKEY k = nullptr;
  if (ce::RegOpenKeyExW(root, key.c_str(), 0, ce::KEY_READ, &k) != ce::ERROR_SUCCESS) return std::nullopt;
  char16_t buf[300] = {};
  ce::DWORD type = 0, size = sizeof buf - 2;
  ce::LONG rc = ce::RegQueryValueExW(k, name.c_str(), nullptr, &type, reinterpret_cast<ce::BYTE*>(buf), &size);
  ce::RegCloseKey(k);
  if (rc != ce::ERROR_SUCCESS || type != ce::REG_SZ) return std::nullopt;
  return u8(buf);
}

void setString(ce::HKEY root, const std::u16string& key, const std::u16string& name, const std::u16string& value) {
  ce::HKEY k = nullptr;
  ce::DWORD disp = 0;
  ASSERT_EQ(ce::RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, 0, nullptr, &k, &disp), ce::ERROR_SUCCESS);
  ce::RegSetValueExW(k, name.c_str(), 0, ce::REG_SZ, reinterpret_cast<const ce::BYTE*>(value.c_str()),
                     static_cast<ce::DWORD>((value.size() + 1) * 2));
  ce::RegCloseKey(k);
}

void createKey(ce::HKEY root, const std::u16string& key) {
  ce::HKEY k = nullptr;
  ce::DWORD disp = 0;
  ASSERT_EQ(ce::RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, 0, nullptr, &k, &disp), ce::ERROR_SUCCESS);
  ce::RegCloseKey(k);
}

std::vector<std::string> expectedServiceKey(bool guard) {
  if (guard)
    return {"Dll=guardsvc.dll", "Order=#8",   "Keep=#1", "Prefix=OLN", "Index=#0", "Context=#0",
            "Description=Online Service dll", "DisplayName=Online Service"};
  return {"Dll=updsvc.dll", "Order=#9",   "Keep=#1", "Prefix=UPD", "Index=#0", "Context=#0",
          "Description=Update Service dll", "DisplayName=Update Service"};
}

SetupDevice::SetupDevice(double clockSpeed, const std::optional<std::u16string>& installParent) : dev(clockSpeed) {
  std::u16string parent = u"\\Program Files\\Nyxel";
  if (installParent) {
    parent = *installParent;
    setString(ce::HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel", u"InstallDir", parent);
  }
  installDev = parent + (parent.empty() || parent.back() != u'\\' ? u"\\" : u"") + u"Nyxel AntiVirus";
  ce::SetProgramPath(u"\\Temp\\tester.exe");
}

SetupDevice::~SetupDevice() {
  stopHost();
  if (hooks_) ce::FreeLibrary(hooks_);
  if (!ce::StorageCardFolder().empty()) ce::RemoveStorageCard();
}

std::string SetupDevice::host(const std::u16string& devicePath) const {
  static const std::u16string kCard = u"\\Storage Card";
  if (!ce::StorageCardFolder().empty() && devicePath.size() >= kCard.size() &&
      ce::equalsNoCase(devicePath.substr(0, kCard.size()), kCard) &&
      (devicePath.size() == kCard.size() || devicePath[kCard.size()] == u'\\')) {
    std::string rest = u8(devicePath.substr(kCard.size()));
    for (char& c : rest)
      if (c == '\\') c = '/';
    return ce::StorageCardFolder() + rest;
  }
  std::string rel = u8(devicePath);
  for (char& c : rel)
    if (c == '\\') c = '/';
  while (!rel.empty() && rel[0] == '/') rel.erase(0, 1);
  return rel.empty() ? dev.root() : dev.host(rel);
}

bool SetupDevice::exists(const std::u16string& devicePath) const {
  const std::string h = ce::HostPathOf(devicePath.c_str());
  struct stat st{};
  return !h.empty() && ::lstat(h.c_str(), &st) == 0;
}

void SetupDevice::copyImage(const std::vector<std::string>& without) {
  // The installer makes the installation directory with every level above it.
  for (size_t i = 1; i <= installDev.size(); ++i)
    if (i == installDev.size() || installDev[i] == u'\\') ce::CreateDirectoryW(installDev.substr(0, i).c_str(), nullptr);
  const std::string target = ce::HostPathOf(installDev.c_str());
  ASSERT_FALSE(target.empty());
  fs::create_directories(target);
  auto skipped = [&](const std::string& name) {
    for (const auto& w : without)
      if (w == name) return true;
    return false;
  };
  for (const auto& e : fs::directory_iterator(buildFile("image"))) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file() || skipped(name)) continue;
    fs::copy_file(e.path(), target + "/" + name, fs::copy_options::overwrite_existing);
  }
  for (const auto& e : fs::directory_iterator(buildFile("image/Windows")))
    fs::copy_file(e.path(), dev.host("Windows/" + e.path().filename().string()), fs::copy_options::overwrite_existing);
}

void SetupDevice::loadHooks() {
  if (hooks_) return;  // copying over a loaded library would change it under the test
  fs::create_directories(dev.host("Temp/cab"));
  fs::copy_file(buildFile("image/setuphook.dll"), dev.host("Temp/cab/setuphook.dll"),
                fs::copy_options::overwrite_existing);
  hooks_ = ce::LoadLibraryW(u"\\Temp\\cab\\setuphook.dll");
  ASSERT_NE(hooks_, nullptr) << ce::GetLastError();
  installInit = reinterpret_cast<ce::PFN_Install_Init>(ce::GetProcAddress(hooks_, "Install_Init"));
  installExit = reinterpret_cast<ce::PFN_Install_Exit>(ce::GetProcAddress(hooks_, "Install_Exit"));
  uninstallInit = reinterpret_cast<ce::PFN_Uninstall_Init>(ce::GetProcAddress(hooks_, "Uninstall_Init"));
  uninstallExit = reinterpret_cast<ce::PFN_Uninstall_Exit>(ce::GetProcAddress(hooks_, "Uninstall_Exit"));
  ASSERT_TRUE(installInit && installExit && uninstallInit && uninstallExit);
}

int SetupDevice::install(const std::vector<std::string>& without) {
  if (!hooks_) loadHooks();
  if (installInit(nullptr, ce::TRUE, ce::FALSE, installDev.c_str()) != ce::codeINSTALL_INIT_CONTINUE) return -1;
  copyImage(without);
  return installExit(nullptr, installDev.c_str(), 0, 0, 0, 0, 0);
}

void SetupDevice::uninstall() {
  if (!hooks_) loadHooks();
  ASSERT_EQ(uninstallInit(nullptr, installDev.c_str()), ce::codeUNINSTALL_INIT_CONTINUE);
  ASSERT_EQ(uninstallExit(nullptr), ce::codeUNINSTALL_EXIT_DONE);
}

bool SetupDevice::startHost() { return hostProcess.start(); }
void SetupDevice::stopHost() { hostProcess.kill(); }

std::vector<Json> SetupDevice::messageBoxes(const std::string& text) {
  std::vector<Json> out;
  uint64_t next = 0, skipped = 0;
  for (const std::string& line : ce::screen::ReadJournal(0, &next, &skipped)) {
    Json j = Json::parse(line, nullptr, false);
    if (j.is_discarded() || j.value("event", "") != "msgbox") continue;
    if (text.empty() || j.value("text", "") == text) out.push_back(std::move(j));
  }
  return out;
}

}  // namespace setuptest
