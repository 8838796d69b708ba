// The test bed of the update tests: a device with the install image
// installed, file sets packed into update-server folders by the real
// nxpack, offered from a folder of the device or by the test HTTP server,
// and the real nxupdate (and nxscan) run against it.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "common/options_files.h"
#include "common/report_index.h"
#include "common/report_log.h"
#include "program.h"
#include "testkit.h"

namespace updtest {

namespace fs = std::filesystem;
using nxtest::Program;
using nxtest::tool;

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

// "scanver.cnf": engine major.minor, database date (day of December 2026) and hour.
inline std::string versionRecord(int major, int minor, int day, int hour = 0) {
  uint16_t v[10] = {uint16_t(major), uint16_t(minor), 2026, 12, 0, uint16_t(day), uint16_t(hour), 0, 0, 0};
  return std::string(reinterpret_cast<const char*>(v), sizeof v);
}

// The progress codes nxupdate printed (lines "NNNN text" when not on a terminal).
inline std::vector<int> codes(const std::string& out) {
  std::vector<int> c;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line))
    if (line.size() > 5 && line[4] == ' ' && std::isdigit(static_cast<unsigned char>(line[0])))
      c.push_back(std::stoi(line.substr(0, 4)));
  return c;
}

inline bool has(const std::vector<int>& v, int code) { return std::find(v.begin(), v.end(), code) != v.end(); }

struct Report {
  std::string title, text;
};

class UpdateBed : public ::testing::Test {
 protected:
  // Device seconds per host second: the report's 800 ms name wait and the
  // replacement's 20 ms polls pass in a blink.
  static constexpr double kSpeed = 50;

  nxtest::TempDevice dev{kSpeed};
  nxtest::TempDir work;
  std::string installHost;
  const std::u16string install = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";

  void SetUp() override {
    auto r = Program::run({tool("nxdevice"), "--device-root", dev.root(), "install"});
    ASSERT_EQ(r.status, 0) << r.out;
    installHost = dev.host("Program Files/Nyxel/Nyxel AntiVirus");
    // Downloads wait for slow test servers on device time: give them hours.
    ce::SetDownloadLimits({0, 3600u * 1000u, 20u * 3600u * 1000u});
  }

  std::string installed(const std::string& name) const { return slurp(installHost + "/" + name); }
  bool installedExists(const std::string& name) const { return fs::exists(installHost + "/" + name); }
  std::string image(const std::string& name) const { return slurp(std::string(NX_BUILD_DIR) + "/image/" + name); }

  // A folder of files to pack: each given (name, bytes), and scanver.cnf.
  std::string fileSet(const std::string& name, const std::string& version,
                      const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string dir = work.path() + "/sets/" + name;
    fs::create_directories(dir);
    spit(dir + "/scanver.cnf", version);
    for (const auto& [n, bytes] : files) spit(dir + "/" + n, bytes);
    return dir;
  }

  // nxpack build FILES -o SERVER [args]; the server folder's path.
  std::string pack(const std::string& files, const std::string& server, const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{tool("nxpack"), "build", files, "-o", server};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = Program::run(argv, {{}, false, -1, true});
    EXPECT_EQ(r.status, 0) << r.out;
    return server;
  }

  // A server folder inside the device, offered as the local update folder.
  std::string localServer(const std::string& name = "srv") { return dev.host("Updates/" + name); }
  void useLocalFolder(const std::u16string& folder = u"\\Updates\\srv") {
    nx::WM_UPDATE_OPTS o{};
    o.bSource = 1;
    nx::putTextField(o.localFolder, nx::kUpdateFolderChars, folder.c_str());
    ASSERT_TRUE(nx::CWmOptionsGen::WriteUpdateOpts(install.c_str(), &o, 0));
  }
  void useSource(uint8_t source) {
    nx::WM_UPDATE_OPTS o{};
    o.bSource = source;
    ASSERT_TRUE(nx::CWmOptionsGen::WriteUpdateOpts(install.c_str(), &o, 0));
  }
  // The internet source through the given base addresses ("httpdn.dat").
  void useInternet(const std::vector<std::string>& bases) {
    useSource(0);
    std::vector<std::string> argv{tool("nxpack"), "sources"};
    for (const auto& b : bases) argv.insert(argv.end(), {"--url", b});
    argv.insert(argv.end(), {"-o", installHost + "/httpdn.dat"});
    auto r = Program::run(argv, {{}, false, -1, true});
    ASSERT_EQ(r.status, 0) << r.out;
  }
  void useProxy(int port, const std::u16string& user, const std::u16string& password) {
    nx::WM_INTERNET_OPTS o{};
    o.bUseProxy = 1;
    nx::putTextField(o.proxyHost, nx::kProxyHostChars, u"127.0.0.1");
    nx::putU16(o.proxyPort, static_cast<uint16_t>(port));
    nx::putTextField(o.proxyUser, nx::kProxyCredentialChars, user.c_str());
    nx::putTextField(o.proxyPassword, nx::kProxyCredentialChars, password.c_str());
    ASSERT_TRUE(nx::CWmOptionsGen::WriteInternetOpts(install.c_str(), &o, 0));
  }

  Program::Result nxupdate(const std::string& command = "now", const Program::Options& o = {}) {
    return Program::run({tool("nxupdate"), "--device-root", dev.root(), command}, o);
  }
  std::vector<std::string> nxupdateArgs(const std::string& command = "now") {
    return {tool("nxupdate"), "--device-root", dev.root(), command};
  }

  std::vector<Report> reports() const {
    std::vector<Report> out;
    nx::readIndex((install + nx::kUpdateIndexName).c_str(), nx::kReportUpdate, [&](const nx::IndexEntry& e) {
      std::string host = dev.root() + e.path;
      for (auto& c : host)
        if (c == '\\') c = '/';
      std::string raw = slurp(host);
      std::u16string w(raw.size() / 2, u'\0');
      std::memcpy(w.data(), raw.data(), w.size() * 2);
      out.push_back({ce::utf16ToUtf8(e.title), ce::utf16ToUtf8(w)});
    });
    return out;
  }
  // The one report the last run added, checked to be the only one.
  Report lastReport(size_t before) const {
    auto all = reports();
    EXPECT_EQ(all.size(), before + 1) << "exactly one report per update";
    return all.empty() ? Report{} : all.back();
  }

  // nxscan's verdict on a host file through the installed engine.
  Program::Result scan(const std::string& path) {
    return Program::run({tool("nxscan"), "--device-root", dev.root(), "--no-summary", path});
  }

  bool folderEmpty(const std::string& rel) const {
    const std::string p = installHost + "/" + rel;
    if (!fs::exists(p)) return true;
    for (auto& e : fs::directory_iterator(p))
      if (e.is_regular_file()) return false;
    return true;
  }
};

inline const char* kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

}  // namespace updtest
