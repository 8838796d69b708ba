// A device with the engine installed (real session, engine core and support
// modules; test-only scanner and archive modules), a library of the public
// API loaded from the install folder, the debug log redirected to a file of
// the test's own, and options as a caller builds them.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "fake_journal.h"
#include "nyxel/avapi.h"
#include "testkit.h"

namespace apitest {

using ce::WCHAR;

inline constexpr const char* kInstall = "Program Files/Nyxel/Nyxel AntiVirus";
inline const std::u16string kInstallDev = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";

inline std::u16string u16(const std::string& s) { return ce::utf8ToUtf16(s); }
inline std::string u8(const std::u16string& s) { return ce::utf16ToUtf8(s); }
inline std::string u8(const char16_t* s) { return s ? ce::utf16ToUtf8(std::u16string(s)) : std::string(); }

inline std::string imageFile(const std::string& name) { return std::string(NX_BUILD_DIR) + "/image/" + name; }
inline std::string fakeFile(const std::string& variant, const std::string& name) {
  return std::string(NX_BUILD_DIR) + "/tests/scan/modules/" + variant + "/" + name;
}

// One report as the callback saw it.
struct Seen {
  int code;
  std::string path;
  std::string threat;
  int type;
  uint32_t length;
  uintptr_t context;
  uintptr_t session;
  uint32_t limits;
};

inline std::vector<Seen>& seen() {
  static std::vector<Seen> s;
  return s;
}
// The answer per report; default: continue (2002).
inline std::function<int32_t(const Seen&)>& answers() {
  static std::function<int32_t(const Seen&)> a;
  return a;
}
inline int32_t recordingCallback(ScanReport* r, uintptr_t context, uintptr_t session) {
  Seen s{r->code, u8(r->path), u8(r->threat), r->type, r->length, context, session, r->limits};
  seen().push_back(s);
  return answers() ? answers()(s) : NX_ANSWER_CONTINUE;
}
inline std::vector<int> seenCodes() {
  std::vector<int> out;
  for (const Seen& s : seen()) out.push_back(s.code);
  return out;
}

class ApiTest : public ::testing::Test {
 public:
  void SetUp() override {
    fakes::clear();
    seen().clear();
    answers() = nullptr;
    std::filesystem::create_directories(dev.host(kInstall));
    std::filesystem::create_directories(dev.host("Temp/scan"));
    std::filesystem::create_directories(dev.host("Data"));
    // Every platform.dll loaded from here on logs beside the program:
    // "\Temp\nxdebug.log", and so does avapi.dll.
    ce::SetProgramPath(u"\\Temp\\tester.exe");
  }
  void TearDown() override {
    while (!loaded_.empty()) unloadLib();
  }

  void put(const std::string& builtPath, const std::string& as = "") {
    std::filesystem::path from(builtPath);
    std::string name = as.empty() ? from.filename().string() : as;
    std::filesystem::copy_file(from, dev.host(kInstall) + "/" + name,
                               std::filesystem::copy_options::overwrite_existing);
  }
  void removeInstalled(const std::string& name) { std::filesystem::remove(dev.host(kInstall) + "/" + name); }
  bool installedExists(const std::string& name) const {
    return std::filesystem::exists(dev.host(kInstall) + "/" + name);
  }

  // The engine's real modules and the test-only scanner and archive modules.
  void installEngine(const std::set<std::string>& except = {}, bool cleaningExescan = false) {
    for (const char* m : {"scancore.dll", "scan.dll", "filekit.dll", "threatlist.dll", "platform.dll", "avapi.dll"})
      if (!except.count(m) && std::filesystem::exists(imageFile(m))) put(imageFile(m));
    for (const char* m : {"exescan.dll", "genericscan.dll", "epocscan.dll", "archivekit.dll"})
      if (!except.count(m)) put(fakeFile("std", m));
    if (cleaningExescan) put(std::string(NX_BUILD_DIR) + "/tests/scancore/clean/exescan.dll");
  }

  // Loads a library of the install folder as a caller does (no LibInit).
  ce::HMODULE loadLib(const std::u16string& name) {
    ce::HMODULE h = ce::LoadLibraryW((kInstallDev + u"\\" + name).c_str());
    if (h) loaded_.push_back(h);
    return h;
  }
  void unloadLib() {
    if (loaded_.empty()) return;
    ce::FreeLibrary(loaded_.back());
    loaded_.pop_back();
  }
  template <class Fn>
  Fn fn(const char16_t* name) {
    auto p = reinterpret_cast<Fn>(ce::GetProcAddressW(loaded_.empty() ? nullptr : loaded_.back(), name));
    EXPECT_NE(p, nullptr) << u8(name);
    return p;
  }

  // The debug log of every platform.dll of this process goes to a file of
  // the test's own: the shared log name is set in the loaded copy.
  void redirectPlatformLog() {
    ce::HMODULE p = ce::GetModuleHandleW((kInstallDev + u"\\platform.dll").c_str());
    if (!p) p = ce::GetModuleHandleW(u"platform.dll");
    if (!p) return;
    auto* name = reinterpret_cast<WCHAR*>(ce::GetProcAddressW(p, u"g_szLogFileName"));
    if (!name) return;
    const std::u16string log = u"\\Temp\\nxdebug.log";
    std::memcpy(name, log.c_str(), (log.size() + 1) * sizeof(WCHAR));
  }

  std::vector<std::string> logTexts(const std::string& rel = "Temp/nxdebug.log") const { return dev.logTexts(rel); }
  bool logHas(const std::string& text, const std::string& rel = "Temp/nxdebug.log") const {
    for (const std::string& l : logTexts(rel))
      if (l == text) return true;
    return false;
  }

  static void setDir(NxWChar* field, const std::u16string& dir) {
    std::memset(field, 0, 256 * sizeof(NxWChar));
    std::memcpy(field, dir.c_str(), std::min<size_t>(dir.size(), 256) * sizeof(NxWChar));
  }
  static NxScanOptions options() {
    NxScanOptions o{};
    o.size = NX_OPTIONS_SIZE;
    o.allowDelete = 1;
    o.maxDepth = 5;
    o.scanArchives = 1;
    setDir(o.installDir, kInstallDev);
    setDir(o.tempDir, u"\\Temp\\scan");
    o.categories = NX_CATEGORY_ALL;
    return o;
  }

  std::u16string data(const std::string& name, const std::string& content) {
    dev.writeFile("Data/" + name, content);
    return u"\\Data\\" + u16(name);
  }
  bool dataExists(const std::string& name) const { return std::filesystem::exists(dev.host("Data/" + name)); }

  nxtest::TempDevice dev;
  std::vector<ce::HMODULE> loaded_;
};

// Scanner-marker files the test scanners judge by content.
inline const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

inline void le32(std::string& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

// A CE program (type 5084) with text appended.
inline std::string ceProgram(const std::string& tail = "") {
  std::string b(512, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  le32(b, 60, 0x80);
  std::memcpy(b.data() + 0x80, "PE\0\0", 4);
  b[0x80 + 4 + 18] = 2;
  b[0x80 + 24] = 0x0B;
  b[0x80 + 25] = 0x01;
  b[0x80 + 24 + 68] = 9;
  return b + tail;
}

// A CAB of the test archive module: real header, then the member table.
inline std::string testCab(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string b(16, '\0');
  std::memcpy(b.data(), "MSCF", 4);
  b += "NXTA";
  for (const auto& [name, content] : members) {
    b.push_back(static_cast<char>(name.size() & 0xFF));
    b.push_back(static_cast<char>(name.size() >> 8));
    b += name;
    std::string len;
    le32(len, 0, static_cast<uint32_t>(content.size()));
    b += len;
    b += content;
  }
  le32(b, 8, static_cast<uint32_t>(b.size()));
  return b;
}

}  // namespace apitest
