// The engine core under test: a fresh device with scan.dll, its support
// modules and the test-only scanner and archive modules in the install
// folder, scan.dll loaded through the platform loader as the session layer
// loads it, and the debug log redirected to a file of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "common/engine_types.h"
#include "fake_journal.h"
#include "platform/platform_api.h"
#include "testkit.h"

namespace scantest {

using ce::WCHAR;

inline constexpr const char* kInstall = "Program Files/Nyxel/Nyxel AntiVirus";
inline constexpr const WCHAR* kInstallDev = u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\";

inline std::string imageDll(const std::string& name) { return std::string(NX_BUILD_DIR) + "/image/" + name; }
inline std::string fakeDll(const std::string& variant, const std::string& name) {
  return std::string(SCAN_TEST_MODULE_DIR) + "/" + variant + "/" + name;
}

inline std::u16string u16(const std::string& s) { return ce::utf8ToUtf16(s); }
inline std::string u8(const std::u16string& s) { return ce::utf16ToUtf8(s); }

class EngineTest : public ::testing::Test {
 public:
  void SetUp() override {
    fakes::clear();
    std::filesystem::create_directories(dev.host(kInstall));
    std::filesystem::create_directories(dev.host("Temp/x"));
    std::memcpy(savedLog_, g_szLogFileName, sizeof savedLog_);
    redirectLog();
  }
  // The engine's log goes to a file of the test's own. The engine loads a
  // second copy of platform.dll for the ignore list, whose start-up sets the
  // shared log name back to its default, so this is repeated after loads.
  void redirectLog() {
    std::u16string log = u"\\Temp\\scan.log";
    std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * sizeof(WCHAR));
  }
  void TearDown() override {
    while (scan_) unload();
    std::memcpy(g_szLogFileName, savedLog_, sizeof savedLog_);
  }

  // Copies a built module into the install folder under its own name.
  void put(const std::string& builtPath) {
    std::filesystem::path from(builtPath);
    std::filesystem::copy_file(from, dev.host(kInstall) + "/" + from.filename().string(),
                               std::filesystem::copy_options::overwrite_existing);
  }
  void remove(const std::string& name) { std::filesystem::remove(dev.host(kInstall) + "/" + name); }

  // The full set: the engine's own support modules and the test-only ones.
  void installAll(const std::set<std::string>& except = {}) {
    for (const char* m : {"scan.dll", "filekit.dll", "threatlist.dll", "platform.dll"})
      if (!except.count(m)) put(imageDll(m));
    for (const char* m : {"exescan.dll", "genericscan.dll", "epocscan.dll", "archivekit.dll"})
      if (!except.count(m)) put(fakeDll("std", m));
  }

  std::u16string installed(const char16_t* name) const { return std::u16string(kInstallDev) + name; }

  // Loads scan.dll through the platform loader (its LibInit runs).
  ce::HMODULE load() {
    std::u16string p = installed(u"scan.dll");
    ce::HMODULE h = MyLoadLibraryW(p.c_str());
    redirectLog();
    if (h) {
      scan_ = h;
      ++loads_;
    }
    return h;
  }
  void unload() {
    if (!scan_) return;
    MyFreeLibrary(scan_);
    if (--loads_ == 0) scan_ = nullptr;
  }

  template <class Fn>
  Fn fn(const char16_t* name) {
    auto p = reinterpret_cast<Fn>(ce::GetProcAddressW(scan_, name));
    EXPECT_NE(p, nullptr) << u8(name);
    return p;
  }

  // The log's lines without their time and thread prefix.
  std::vector<std::string> logTexts() const { return dev.logTexts("Temp/scan.log"); }

  // Journal lines that start with prefix.
  static std::vector<std::string> journal(const std::string& prefix = "") {
    std::vector<std::string> out;
    for (const std::string& l : fakes::lines())
      if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    return out;
  }

  nxtest::TempDevice dev;
  ce::HMODULE scan_ = nullptr;
  int loads_ = 0;
  WCHAR savedLog_[ce::MAX_PATH];
};

}  // namespace scantest

namespace scantest {

// Settings as the session layer builds them for a plain scan.
inline ScanSettings defaultSettings() {
  ScanSettings s{};
  s.size = sizeof s;
  const std::u16string temp = u"\\Temp\\x";
  std::memcpy(s.tempDir, temp.c_str(), (temp.size() + 1) * sizeof(char16_t));
  s.maxDepth = 5;
  s.scanArchives = 1;
  return s;
}

// One scanner list, released at the end of the scope.
struct List {
  NxDeleteNXScanFn del = nullptr;
  int32_t result = 0;
  ScannerObject** objects = nullptr;
  int32_t* codes = nullptr;
  int32_t count = 0;
  int32_t type = 0;
  uint32_t length = 0;
  std::vector<int32_t> codeList() const { return std::vector<int32_t>(codes, codes + count); }
  ~List() {
    if (objects && del) del(objects, codes, count);
  }
};

}  // namespace scantest
