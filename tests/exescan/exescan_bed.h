// Test support for exescan.dll: a device with the module installed beside platform.dll and
// filekit.dll, signature files compiled by nxsig's own code into the module's folder, small
// generated Windows CE PE images, and scanner objects driven through their operation tables.
#pragma once

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ce/ce.h"
#include "common/crc32.h"
#include "common/engine_types.h"
#include "exescan/exescan_api.h"
#include "formats.h"
#include "platform/platform_api.h"
#include "testkit.h"

extern "C" {
int32_t CreateThreatListObject(ThreatListObject** out);
void DeleteThreatListObject(ThreatListObject* object);
}

namespace exebed {

using Bytes = std::vector<uint8_t>;
using nxsig::Json;

inline constexpr const char* kInstall = "Program Files/Nyxel/Nyxel AntiVirus";
inline constexpr const char16_t* kDevInstall = u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\";

inline std::string image(const std::string& name) { return std::string(NX_BUILD_DIR) + "/image/" + name; }
inline std::string narrow(const char16_t* s) { return ce::utf16ToUtf8(s); }

inline void put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = uint8_t(v);
  b[at + 1] = uint8_t(v >> 8);
}
inline void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

// ---- Generated PE images ---------------------------------------------------------------------
struct Section {
  std::string name;
  uint32_t vsize, va, rsize, rptr;
};

struct PeImage {
  uint16_t subsystem = 9;      // Windows CE
  uint16_t machine = 0x01C0;   // ARM
  uint32_t peOffset = 0x80;
  uint16_t optionalHeaderSize = 224;
  uint32_t dataDirectories = 16;
  uint32_t entryRva = 0x1010;
  std::vector<Section> sections = {{".text", 0x800, 0x1000, 0x800, 0x400}, {".data", 0x200, 0x2000, 0x200, 0xC00}};
  size_t fileSize = 0xE00;
  uint32_t seed = 1;

  uint64_t sectionTable() const {
    return optionalHeaderSize ? peOffset + 24 + optionalHeaderSize : peOffset + 120 + 8ull * dataDirectories;
  }

  Bytes build() const {
    Bytes b(fileSize);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto& c : b) {
      x = x * 1103515245u + 12345u;
      c = uint8_t(x >> 16);
    }
    auto fits = [&](uint64_t at, size_t n) { return at + n <= b.size(); };
    if (fits(0, 64)) {
      std::memset(b.data(), 0, 64);
      b[0] = 'M';
      b[1] = 'Z';
      put32(b, 60, peOffset);
    }
    if (fits(peOffset, 24 + 96)) {
      std::memset(&b[peOffset], 0, 24 + 96);
      std::memcpy(&b[peOffset], "PE\0\0", 4);
      put16(b, peOffset + 4, machine);
      put16(b, peOffset + 6, uint16_t(sections.size()));
      put16(b, peOffset + 20, optionalHeaderSize);
      put16(b, peOffset + 22, 0x0102);
      put16(b, peOffset + 24, 0x10B);
      put32(b, peOffset + 24 + 16, entryRva);
      put16(b, peOffset + 24 + 68, subsystem);
      put32(b, peOffset + 24 + 92, dataDirectories);
    }
    uint64_t at = sectionTable();
    for (const Section& s : sections) {
      if (fits(at, 40)) {
        std::memset(&b[at], 0, 40);
        std::memcpy(&b[at], s.name.data(), std::min<size_t>(8, s.name.size()));
        put32(b, at + 8, s.vsize);
        put32(b, at + 12, s.va);
        put32(b, at + 16, s.rsize);
        put32(b, at + 20, s.rptr);
      }
      at += 40;
    }
    return b;
  }
};

inline std::string str(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A region of a category record taken from the image itself.
inline Json region(const Bytes& file, uint32_t offset, uint32_t length) {
  Json r = Json::object();
  r["offset"] = offset;
  r["length"] = length;
  r["crc"] = nx::crc32Raw(file.data() + offset, length);
  return r;
}

// ---- The device and the module --------------------------------------------------------------
class Bed {
 public:
  Bed() {
    std::u16string log = u"\\Temp\\engine.log";
    std::memcpy(savedLog_, g_szLogFileName, sizeof savedLog_);
    std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * sizeof(char16_t));
    std::filesystem::create_directories(dev.host(kInstall));
    std::filesystem::create_directories(dev.host("Temp"));
  }
  ~Bed() {
    for (auto it = loaded_.rbegin(); it != loaded_.rend(); ++it) MyFreeLibrary(*it);
    std::memcpy(g_szLogFileName, savedLog_, sizeof savedLog_);
  }
  std::string dir() const { return dev.host(kInstall); }
  void install(const std::string& built, const std::string& as = "") {
    std::filesystem::copy_file(image(built), dir() + "/" + (as.empty() ? built : as),
                               std::filesystem::copy_options::overwrite_existing);
  }
  void installModule() {
    install("platform.dll");
    install("filekit.dll");
    install("exescan.dll");
  }
  // Compiles a source document into the module's folder.
  void signatures(const Json& source) { nxsig::buildAll({source}, dir()); }
  void put(const std::string& name, const Bytes& content) { dev.writeFile(std::string(kInstall) + "/" + name, str(content)); }
  Bytes get(const std::string& name) const {
    std::string s = dev.readFile(std::string(kInstall) + "/" + name);
    return Bytes(s.begin(), s.end());
  }
  void remove(const std::string& name) { std::filesystem::remove(dir() + "/" + name); }

  ce::HMODULE load() {
    ce::HMODULE h = MyLoadLibraryW((std::u16string(kDevInstall) + u"exescan.dll").c_str());
    if (h) loaded_.push_back(h);
    return h;
  }
  // Frees every module loaded through the bed (the last free runs LibDeinit).
  void unload() {
    for (auto it = loaded_.rbegin(); it != loaded_.rend(); ++it) MyFreeLibrary(*it);
    loaded_.clear();
  }
  template <class Fn>
  Fn fn(const char16_t* name) {
    EXPECT_FALSE(loaded_.empty());
    auto p = loaded_.empty() ? nullptr : MyGetProcAddressW(loaded_.back(), name);
    EXPECT_NE(p, nullptr) << narrow(name);
    return reinterpret_cast<Fn>(p);
  }
  ExeScanDiag diag() {
    ExeScanDiag d{};
    EXPECT_EQ(fn<PFN_ExeScanDiagGet>(u"ExeScanDiagGet")(&d), 1);
    return d;
  }
  // A file to scan, at "\Temp\<name>".
  std::u16string file(const std::string& name, const Bytes& content) {
    dev.writeFile("Temp/" + name, str(content));
    return u"\\Temp\\" + ce::utf8ToUtf16(name);
  }
  // The debug log's lines without their time and thread prefix.
  std::vector<std::string> log() const { return dev.logTexts("Temp/engine.log"); }

  nxtest::TempDevice dev;

 private:
  std::vector<ce::HMODULE> loaded_;
  char16_t savedLog_[ce::MAX_PATH];
};

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

inline std::unique_ptr<ScanSettings> settings(uint16_t categoryMask = 0xFFFF) {
  auto s = std::make_unique<ScanSettings>();
  std::memset(s.get(), 0, sizeof(ScanSettings));
  s->size = sizeof(ScanSettings);
  s->maxDepth = 3;
  s->categoryMask = categoryMask;
  return s;
}

// One scanner object of the module, released through its delete export.
struct Object {
  Object(Bed& bed, const char16_t* create, const char16_t* destroy, int32_t code)
      : destroy_(bed.fn<PFN_ExeScanDeleteObject>(destroy)) {
    EXPECT_EQ(bed.fn<PFN_ExeScanCreateObject>(create)(&obj, code), 1);
  }
  ~Object() {
    if (obj) {
      EXPECT_EQ(destroy_(obj), 1);
    }
  }
  int32_t open(const std::u16string& path, ScanSettings* s, int32_t handle = -1) {
    return obj->ops->Open(obj, handle, path.c_str(), s, u"\\root", 0, 0);
  }
  int32_t scan(Threats& t, const char16_t* display = u"\\Disp\\file") {
    std::u16string d(display);
    return obj->ops->Scan(obj, d.data(), t.list, 0);
  }
  int32_t clean(Threats& t, int32_t action = NX_ACTION_DELETE) { return obj->ops->Clean(obj, t.list, action); }
  ScannerObject* obj = nullptr;
  PFN_ExeScanDeleteObject destroy_;
};

inline Object peObject(Bed& b) { return Object(b, u"CreatePEScanObject", u"DeletePEScanObject", NX_LIST_PE_SIGNATURE); }
inline Object polyObject(Bed& b) { return Object(b, u"CreatePEPolyObject", u"DeletePEPolyObject", NX_LIST_PE_POLY); }
inline Object categoryObject(Bed& b) {
  return Object(b, u"CreateBkdrScanObject", u"DeleteBkdrScanObject", NX_LIST_CATEGORY);
}

}  // namespace exebed
