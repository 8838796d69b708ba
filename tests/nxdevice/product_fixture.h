// A device the product is installed into by `nxdevice install`, booted and
// removed with the real programs: what the handset user and the screen see.
#pragma once

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "ce/screen.h"
#include "common/report_index.h"
#include "program.h"
#include "service_fixture.h"
#include "testkit.h"

namespace lifetest {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using nxtest::Program;
using nxtest::tool;

inline const char* kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
inline const std::u16string kInstall = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
inline const std::string kInstallRel = "Program Files/Nyxel/Nyxel AntiVirus";

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}
inline void spit(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Polls `done` every 50 host ms for up to timeoutMs.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs = 30000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < until) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return done();
}

inline bool keyExists(ce::HKEY root, const std::u16string& path) {
  ce::HKEY k = nullptr;
  if (ce::RegOpenKeyExW(root, path.c_str(), 0, ce::KEY_READ, &k) != ce::ERROR_SUCCESS) return false;
  ce::RegCloseKey(k);
  return true;
}

inline bool serviceRunning(const char16_t* device) {
  ce::HANDLE h = ce::GetServiceHandle(device, nullptr, nullptr);
  return h != nullptr && h != ce::INVALID_HANDLE_VALUE;
}

struct Report {
  std::string title, text;
};

class ProductDevice : public ::testing::Test {
 protected:
  explicit ProductDevice(double speed = 1.0) : dev(speed) {}

  nxtest::TempDevice dev;
  nxtest::TempDir work;

  static void SetUpTestSuite() { svctest::becomeReaper(); }
  void TearDown() override { svctest::killHostOf(dev); }

  svctest::Run nxdevice(const std::vector<std::string>& args) { return svctest::nxdevice(dev.root(), args); }
  std::string installed(const std::string& rel) const { return dev.host(kInstallRel + "/" + rel); }
  std::string image(const std::string& name = "") const {
    return std::string(NX_BUILD_DIR) + "/image" + (name.empty() ? "" : "/" + name);
  }

  // Written beside the device and moved in whole, as a download lands: one
  // event for the guard, never a half-written file.
  void hostPut(const std::string& rel, const std::string& content) {
    fs::create_directories(fs::path(dev.host(rel)).parent_path());
    const std::string staged = dev.root() + ".put";
    spit(staged, content);
    fs::rename(staged, dev.host(rel));
  }

  std::vector<Json> journal() const {
    std::vector<Json> out;
    uint64_t next = 0, skipped = 0;
    for (const std::string& line : ce::screen::ReadJournal(0, &next, &skipped)) {
      Json j = Json::parse(line, nullptr, false);
      if (!j.is_discarded()) out.push_back(std::move(j));
    }
    return out;
  }
  std::vector<std::string> messageBoxTexts() const {
    std::vector<std::string> out;
    for (const Json& j : journal())
      if (j.value("event", "") == "msgbox") out.push_back(j.value("text", ""));
    return out;
  }
  // The texts of every control the shown dialogs carried, one string per
  // dialog state: what the user read on the screen.
  std::vector<std::string> dialogTexts() const {
    std::vector<std::string> out;
    for (const Json& j : journal()) {
      if ((j.value("event", "") != "show" && j.value("event", "") != "change") || !j.value("visible", false)) continue;
      if (!j.contains("controls") || !j["controls"].is_array()) continue;
      std::string texts = j.value("caption", "");
      for (const Json& c : j["controls"])
        if (c.is_object()) texts += "|" + c.value("text", "");
      out.push_back(texts);
    }
    return out;
  }

  std::vector<Report> reports(const char16_t* index, ce::DWORD kind) const {
    std::vector<Report> out;
    nx::readIndex((kInstall + index).c_str(), kind, [&](const nx::IndexEntry& e) {
      std::string raw = slurp(ce::HostPathOf(ce::utf8ToUtf16(e.path).c_str()));
      std::u16string w(raw.size() / 2, u'\0');
      for (size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                     (static_cast<unsigned char>(raw[2 * i + 1]) << 8));
      out.push_back({ce::utf16ToUtf8(e.title), ce::utf16ToUtf8(w)});
    });
    return out;
  }
  std::vector<Report> onlineReports() const { return reports(u"\\online.dat", nx::kReportOnline); }
  std::vector<Report> updateReports() const { return reports(u"\\update.dat", nx::kReportUpdate); }

  // Every file and folder of the device outside its own state folder.
  std::set<std::string> tree() const {
    std::set<std::string> out;
    for (auto it = fs::recursive_directory_iterator(dev.root()); it != fs::recursive_directory_iterator(); ++it) {
      std::string rel = fs::relative(it->path(), dev.root()).string();
      if (rel == ".ce" || rel.rfind(".ce/", 0) == 0) {
        if (it->is_directory()) it.disable_recursion_pending();
        continue;
      }
      out.insert(rel + (it->is_directory() ? "/" : ""));
    }
    return out;
  }
};

}  // namespace lifetest
