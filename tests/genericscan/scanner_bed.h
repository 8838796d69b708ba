// A device with an engine module installed beside platform.dll and
// filekit.dll, loaded through the platform loader, with the debug log of
// each test kept apart and readable, and scanner objects driven through
// their operation tables.
#pragma once

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "common/engine_types.h"
#include "filekit/filekit_api.h"
#include "platform/platform_api.h"
#include "testkit.h"

extern "C" {
int32_t CreateThreatListObject(ThreatListObject** out);
void DeleteThreatListObject(ThreatListObject* object);
}

namespace scanbed {

inline constexpr const char* kInstall = "Program Files/Nyxel/Nyxel AntiVirus";
inline constexpr const char16_t* kDevInstall = u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\";

inline std::string image(const std::string& name) { return std::string(NX_BUILD_DIR) + "/image/" + name; }

inline std::u16string devPath(const std::u16string& name) { return std::u16string(kDevInstall) + name; }

inline std::string bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

class Bed {
 public:
  Bed() {
    std::u16string log = u"\\Temp\\engine.log";
    std::memcpy(savedLog_, g_szLogFileName, sizeof savedLog_);
    std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * sizeof(char16_t));
  }
  ~Bed() {
    for (auto it = loaded_.rbegin(); it != loaded_.rend(); ++it) MyFreeLibrary(*it);
    std::memcpy(g_szLogFileName, savedLog_, sizeof savedLog_);
  }
  // Copies a built module into the installation folder, under another name if asked.
  void install(const std::string& built, const std::string& as = "") {
    std::filesystem::create_directories(dev.host(kInstall));
    std::filesystem::copy_file(image(built), dev.host(kInstall) + "/" + (as.empty() ? built : as),
                               std::filesystem::copy_options::overwrite_existing);
  }
  // A module built for the tests only, installed under the name given.
  void installStandIn(const std::string& built, const std::string& as) {
    std::filesystem::create_directories(dev.host(kInstall));
    std::filesystem::copy_file(std::string(NX_BUILD_DIR) + "/tests/standins/" + built, dev.host(kInstall) + "/" + as,
                               std::filesystem::copy_options::overwrite_existing);
  }
  void put(const std::string& name, const std::string& content) {
    std::filesystem::create_directories(dev.host(kInstall));
    dev.writeFile(std::string(kInstall) + "/" + name, content);
  }
  void remove(const std::string& name) { std::filesystem::remove(dev.host(kInstall) + "/" + name); }
  // Through the platform loader (LibInit runs); null when it refused.
  ce::HMODULE load(const std::u16string& module) {
    ce::HMODULE h = MyLoadLibraryW(devPath(module).c_str());
    if (h) loaded_.push_back(h);
    return h;
  }
  void free(ce::HMODULE h) {
    for (auto it = loaded_.begin(); it != loaded_.end(); ++it)
      if (*it == h) {
        loaded_.erase(it);
        break;
      }
    MyFreeLibrary(h);
  }
  template <class Fn>
  Fn fn(ce::HMODULE h, const char16_t* name) {
    auto p = MyGetProcAddressW(h, name);
    EXPECT_NE(p, nullptr) << ce::utf16ToUtf8(name);
    return reinterpret_cast<Fn>(p);
  }
  // The debug log's lines without their time and thread prefix.
  std::vector<std::string> log() const { return dev.logTexts("Temp/engine.log"); }
  void clearLog() { std::filesystem::remove(dev.host("Temp/engine.log")); }

  nxtest::TempDevice dev;

 private:
  std::vector<ce::HMODULE> loaded_;
  char16_t savedLog_[ce::MAX_PATH];
};

// A threat list owned by the test.
struct Threats {
  Threats() { EXPECT_EQ(CreateThreatListObject(&list), 1); }
  ~Threats() { DeleteThreatListObject(list); }
  int32_t count() const { return list->ops->Count(list); }
  ThreatRecord* last() const {
    ThreatRecord* r = nullptr;
    return list->ops->Last(list, &r) ? r : nullptr;
  }
  ThreatListObject* list = nullptr;
};

inline std::unique_ptr<ScanSettings> settings() {
  auto s = std::make_unique<ScanSettings>();
  std::memset(s.get(), 0, sizeof(ScanSettings));
  s->size = sizeof(ScanSettings);
  s->maxDepth = 3;
  return s;
}

// One scanner object from a module's create/delete pair, released at the end.
struct Object {
  Object(NxCreateScannerFn create, int32_t (*destroy)(ScannerObject*), int32_t code) : destroy_(destroy) {
    EXPECT_NE(create(&obj, code), 0);
  }
  ~Object() {
    if (obj) destroy_(obj);
  }
  int32_t open(const std::u16string& path, ScanSettings* s, int32_t handle = -1) {
    return obj->ops->Open(obj, handle, path.c_str(), s, u"\\root", 0, 0);
  }
  int32_t scan(Threats& t, const char16_t* display = u"\\Disp\\file") {
    std::u16string d(display);
    return obj->ops->Scan(obj, d.data(), t.list, 0);
  }
  int32_t clean(Threats& t, int32_t action = NX_ACTION_DELETE) { return obj->ops->Clean(obj, t.list, action); }
  int32_t close() { return obj->ops->Close(obj); }
  ScannerObject* obj = nullptr;
  int32_t (*destroy_)(ScannerObject*);
};

inline std::string narrow(const char16_t* s) { return ce::utf16ToUtf8(s); }

}  // namespace scanbed
