// arjkit.dll on a scratch device, loaded through the platform loader beside
// filekit.dll, driven through the ArchiveReader table. Members and names are
// compared with what the host's `arj x` extracts from the same archive: the
// shared corpus, and archives made with `arj a` at test time, some of them
// with header fields changed to cases `arj` does not make itself.
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "arj_tools.h"
#include "arjkit/arjkit_api.h"
#include "ce/ce.h"
#include "platform/platform_api.h"
#include "testkit.h"

namespace {

using namespace arjtest;

constexpr const char* kInstall = "Program Files/Nyxel/Nyxel AntiVirus";
constexpr const char16_t* kDevInstall = u"\\Program Files\\Nyxel\\Nyxel AntiVirus\\";

std::string image(const std::string& name) { return std::string(NX_BUILD_DIR) + "/image/" + name; }

std::string corpusDir() {
  std::string shared = nxtest::sharedDir();
#ifdef ARJ_SHARED_FALLBACK
  if (shared.empty() && fs::exists(ARJ_SHARED_FALLBACK)) shared = ARJ_SHARED_FALLBACK;
#endif
  return shared.empty() ? std::string() : shared + "/corpus/arj";
}

struct Member {
  std::string name;
  bool written = false;
  std::string data;
  int32_t result = 0;
};

class ArjModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memcpy(savedLog_, g_szLogFileName, sizeof savedLog_);
    std::u16string log = u"\\Temp\\engine.log";
    std::memcpy(g_szLogFileName, log.c_str(), (log.size() + 1) * sizeof(char16_t));
    fs::create_directories(dev.host("Temp/out"));
    for (const char* m : {"arjkit.dll", "filekit.dll", "platform.dll"}) install(m);
  }
  void TearDown() override {
    if (module_) MyFreeLibrary(module_);
    std::memcpy(g_szLogFileName, savedLog_, sizeof savedLog_);
  }
  void install(const std::string& name) {
    fs::create_directories(dev.host(kInstall));
    fs::copy_file(image(name), dev.host(kInstall) + "/" + name, fs::copy_options::overwrite_existing);
  }
  bool load() {
    module_ = MyLoadLibraryW((std::u16string(kDevInstall) + u"arjkit.dll").c_str());
    if (!module_) return false;
    create_ = reinterpret_cast<PFN_CreateArjkitObject>(MyGetProcAddressW(module_, u"CreateArjkitObject"));
    delete_ = reinterpret_cast<PFN_DeleteArjkitObject>(MyGetProcAddressW(module_, u"DeleteArjkitObject"));
    last_ = reinterpret_cast<PFN_ArjkitLastResult>(MyGetProcAddressW(module_, u"ArjkitLastResult"));
    limits_ = reinterpret_cast<NxSetArchiveReaderLimitsFn>(MyGetProcAddressW(module_, u"SetArchiveReaderLimits"));
    status_ = reinterpret_cast<NxGetArchiveReaderStatusFn>(MyGetProcAddressW(module_, u"GetArchiveReaderStatus"));
    return create_ && delete_ && last_ && limits_ && status_;
  }
  ArchiveReader* reader() {
    ArchiveReader* r = nullptr;
    EXPECT_EQ(create_(&r), 1);
    return r;
  }
  // Puts the archive on the device as \Temp\<name>.
  std::u16string place(const std::string& bytes, const std::string& name = "a.arj") {
    dev.writeFile("Temp/" + name, bytes);
    return u"\\Temp\\" + ce::utf8ToUtf16(name);
  }
  // Opens the archive and takes members until ExtractNext answers 0; -1 in
  // count when Open refused.
  std::vector<Member> takeAll(const std::u16string& archive, int32_t* count = nullptr,
                              const ArchiveReaderLimits* limits = nullptr) {
    std::vector<Member> out;
    ArchiveReader* r = reader();
    if (limits) {
      EXPECT_EQ(limits_(r, limits), 1);
    }
    int32_t opened = r->ops->Open(r, -1, archive.c_str());
    if (count) *count = opened ? static_cast<int32_t>(-2) : -1;
    if (opened) {
      for (int i = 0; i < 1000; ++i) {
        std::string rel = "Temp/out/m" + std::to_string(i);
        fs::remove(dev.host(rel));
        std::u16string path = u"\\Temp\\out\\m" + ce::utf8ToUtf16(std::to_string(i));
        char16_t name[260];
        name[0] = u'?';
        name[1] = 0;
        if (r->ops->ExtractNext(r, path.c_str(), name) != 1) break;
        Member m;
        m.name = ce::utf16ToUtf8(name);
        m.written = fs::exists(dev.host(rel));
        if (m.written) m.data = dev.readFile(rel);
        m.result = last_(r);
        out.push_back(m);
      }
      if (count) *count = static_cast<int32_t>(out.size());
    }
    walked = ArchiveReaderStatus{};
    walked.size = sizeof walked;
    EXPECT_EQ(status_(r, &walked), 1);
    r->ops->Close(r);
    delete_(r);
    return out;
  }
  std::vector<std::string> log() const { return dev.logTexts("Temp/engine.log"); }

  nxtest::TempDevice dev;
  nxtest::TempDir host;
  ce::HMODULE module_ = nullptr;
  PFN_CreateArjkitObject create_ = nullptr;
  PFN_DeleteArjkitObject delete_ = nullptr;
  PFN_ArjkitLastResult last_ = nullptr;
  NxSetArchiveReaderLimitsFn limits_ = nullptr;
  NxGetArchiveReaderStatusFn status_ = nullptr;
  ArchiveReaderStatus walked{};  // the reader's account after the last takeAll

 private:
  char16_t savedLog_[ce::MAX_PATH];
};

// Makes an archive with `arj a` from the files given (name -> content) and
// answers its bytes.
std::string makeArchive(const std::string& dir, const std::vector<std::pair<std::string, std::string>>& files,
                        const std::string& options) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::string names;
  for (auto& [name, data] : files) {
    writeHost(dir + "/" + name, data);
    names += " '" + name + "'";
  }
  int rc = run(dir, "arj a -y -i " + options + " out.arj" + names);
  EXPECT_EQ(rc, 0) << options;
  return readHost(dir + "/out.arj");
}

#define NEED_ARJ()                                                               \
  do {                                                                           \
    if (!haveArj()) {                                                            \
      GTEST_SKIP() << "the host's arj (the reference) is missing";               \
    }                                                                            \
  } while (0)

// ---- The corpus against `arj x` ----------------------------------------------------

TEST_F(ArjModuleTest, EveryCorpusArchiveMatchesTheReference) {
  NEED_ARJ();
  std::string dir = corpusDir();
  if (dir.empty() || !fs::exists(dir)) {
    GTEST_SKIP() << "corpus/arj of the shared folder is missing";
  }
  ASSERT_TRUE(load());
  // Members expected per archive, and the ones that must be refused (garbled).
  struct Expect {
    const char* file;
    int members;
    int refused;
  };
  const Expect table[] = {
      {"Arj.method1.largefile.arj", 1, 0}, {"Arj.method2.largefile.arj", 1, 0}, {"Arj.method3.largefile.arj", 1, 0},
      {"Arj.method4.largefile.arj", 1, 0}, {"Arj.store.largefile.arj", 1, 0},   {"bla.arj", 2, 0},
      {"gen-big.arj", 3, 0},               {"gen-garbled.arj", 2, 2},           {"gen-m0.arj", 6, 0},
      {"gen-m1.arj", 6, 0},                {"gen-m2.arj", 6, 0},                {"gen-m3.arj", 6, 0},
      {"gen-m4.arj", 6, 0},                {"gen-text.arj", 2, 0},              {"long-name.arj", 1, 0},
      {"zero_sized_headers-fail.arj", -1, 0},
  };
  size_t seen = 0;
  for (auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".arj") continue;
    ++seen;
    std::string file = e.path().filename().string();
    SCOPED_TRACE(file);
    const Expect* expect = nullptr;
    for (auto& t : table)
      if (file == t.file) expect = &t;
    int32_t count = 0;
    auto members = takeAll(place(readHost(e.path().string())), &count);
    Reference ref = arjExtract(e.path().string(), host.path() + "/ref");
    if (expect) {
      EXPECT_EQ(count, expect->members);
    }
    int refused = 0;
    for (size_t i = 0; i < members.size(); ++i) {
      const Member& m = members[i];
      SCOPED_TRACE(m.name.substr(0, 60));
      if (m.result != 1) {
        ++refused;
        EXPECT_FALSE(m.written);
        continue;
      }
      ASSERT_TRUE(m.written);
      auto it = ref.files.find(m.name);
      if (it != ref.files.end()) {
        EXPECT_TRUE(m.data == it->second) << "contents differ from arj x";
      } else {
        // Only a name the host cannot create is missing from arj x's output.
        ASSERT_GT(m.name.size(), 255u);
        EXPECT_EQ(members.size(), 1u);
        EXPECT_TRUE(m.data == arjExtractSingleAs(e.path().string(), host.path() + "/single"));
      }
    }
    if (expect) {
      EXPECT_EQ(refused, expect->refused);
    }
    // Whatever arj x produced, the reader delivered too.
    for (auto& [name, data] : ref.files) {
      bool found = false;
      for (auto& m : members) found = found || (m.name == name && m.result == 1 && m.data == data);
      EXPECT_TRUE(found) << name << " from arj x was not delivered alike";
    }
  }
  EXPECT_GE(seen, 16u);
}

TEST_F(ArjModuleTest, GarbledCorpusMembersAreRefusedWithTheirNames) {
  std::string dir = corpusDir();
  if (dir.empty() || !fs::exists(dir + "/gen-garbled.arj")) {
    GTEST_SKIP() << "corpus/arj/gen-garbled.arj is missing";
  }
  ASSERT_TRUE(load());
  auto members = takeAll(place(readHost(dir + "/gen-garbled.arj")));
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].name, "readme.txt");
  EXPECT_EQ(members[1].name, "tiny.txt");
  for (auto& m : members) {
    EXPECT_FALSE(m.written);
    EXPECT_EQ(m.result, -115);
  }
}

// ---- Generated archives -------------------------------------------------------------

std::vector<std::pair<std::string, std::string>> sampleFiles() {
  return {{"text.txt", textContent(61000, 1)},
          {"data.bin", binaryContent(90000, 7)},
          {"tiny.txt", "tiny!\n"},
          {"empty.dat", ""}};
}

TEST_F(ArjModuleTest, EachMethodDecodesAsTheReferenceDoes) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  auto files = sampleFiles();
  for (int method = 0; method <= 4; ++method) {
    SCOPED_TRACE("method " + std::to_string(method));
    std::string dir = host.path() + "/m" + std::to_string(method);
    std::string arc = makeArchive(dir, files, "-m" + std::to_string(method));
    auto hdrs = headers(arc);
    ASSERT_EQ(hdrs.size(), 5u);
    // The two large members really use the method asked for.
    EXPECT_EQ(uint8_t(arc[hdrs[1] + 4 + 5]), method);
    EXPECT_EQ(uint8_t(arc[hdrs[2] + 4 + 5]), method);
    int32_t count = 0;
    auto members = takeAll(place(arc), &count);
    EXPECT_EQ(count, 4);
    Reference ref = arjExtract(dir + "/out.arj", dir + "/ref");
    ASSERT_EQ(ref.exitCode, 0);
    ASSERT_EQ(members.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(members[i].name, files[i].first);
      EXPECT_EQ(members[i].result, 1);
      ASSERT_TRUE(members[i].written);
      EXPECT_TRUE(members[i].data == files[i].second) << files[i].first;
      EXPECT_TRUE(members[i].data == ref.files[files[i].first]) << files[i].first;
    }
  }
}

TEST_F(ArjModuleTest, AFourthExtractNextOfThreeMembersAnswersZero) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  std::string arc = makeArchive(host.path() + "/three", {{"a", "1"}, {"b", "22"}, {"c", "333"}}, "-m1");
  ArchiveReader* r = reader();
  ASSERT_EQ(r->ops->Open(r, 12345, place(arc).c_str()), 1);
  char16_t name[260];
  for (const char16_t* want : {u"a", u"b", u"c"}) {
    ASSERT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\x", name), 1);
    EXPECT_EQ(std::u16string(name), want);
  }
  EXPECT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\x", name), 0);
  EXPECT_EQ(dev.readFile("Temp/out/x"), "333");
  EXPECT_EQ(r->ops->Reserved(r), 0);
  // After Close nothing more is delivered, and a reopen starts again.
  r->ops->Close(r);
  EXPECT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\x", name), 0);
  ASSERT_EQ(r->ops->Open(r, -1, u"\\Temp\\a.arj"), 1);
  ASSERT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\y", name), 1);
  EXPECT_EQ(std::u16string(name), u"a");
  EXPECT_EQ(delete_(r), r);
}

TEST_F(ArjModuleTest, TextMembersKeepBit7OnlyFromUnixHosts) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  std::string high = "caf\xe9 na\xefve r\xe9sum\xe9\r\n" + textContent(40000, 3) + "\xff\x80 end\n";
  std::string arc = makeArchive(host.path() + "/text", {{"high.txt", high}, {"plain.txt", textContent(5000, 4)}},
                                "-t1 -m1");
  auto hdrs = headers(arc);
  ASSERT_EQ(hdrs.size(), 3u);
  ASSERT_EQ(uint8_t(arc[hdrs[1] + 4 + 6]), 1) << "arj stored it as text";
  ASSERT_EQ(uint8_t(arc[hdrs[1] + 4 + 3]), 2) << "made on a UNIX host";

  auto members = takeAll(place(arc));
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].result, 1);
  EXPECT_TRUE(members[0].data == high);
  Reference ref = arjExtract(host.path() + "/text/out.arj", host.path() + "/textref");
  EXPECT_TRUE(members[0].data == ref.files["high.txt"]);

  // The same members marked as from MS-DOS: bit 7 cleared in every byte;
  // the CRC is over the decoded bytes and still matches.
  for (size_t i = 1; i < hdrs.size(); ++i) patch(arc, hdrs[i], [](uint8_t* b) { b[3] = 0; });
  members = takeAll(place(arc, "dos.arj"));
  ASSERT_EQ(members.size(), 2u);
  std::string cleared = high;
  for (char& c : cleared) c = static_cast<char>(c & 0x7F);
  EXPECT_EQ(members[0].result, 1);
  EXPECT_TRUE(members[0].data == cleared);
  EXPECT_EQ(members[1].result, 1);
  EXPECT_TRUE(members[1].data == textContent(5000, 4));
}

TEST_F(ArjModuleTest, RefusedMembersAreNamedNotWrittenAndTheWalkGoesOn) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  auto files = sampleFiles();
  std::string base = makeArchive(host.path() + "/refuse", files, "-m1");
  auto hdrs = headers(base);
  ASSERT_EQ(hdrs.size(), 5u);
  struct Case {
    const char* what;
    std::function<void(uint8_t*)> change;
  };
  const Case cases[] = {
      {"garbled", [](uint8_t* b) { b[4] |= 0x01; }},
      {"needs version 4", [](uint8_t* b) { b[2] = 4; }},
      {"method 5", [](uint8_t* b) { b[5] = 5; }},
      {"method 4 from archiver version 1", [](uint8_t* b) { b[1] = 1, b[5] = 4; }},
      {"directory entry (type 3)", [](uint8_t* b) { b[6] = 3; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string arc = base;
    patch(arc, hdrs[1], c.change);
    auto members = takeAll(place(arc));
    ASSERT_EQ(members.size(), 4u);
    EXPECT_EQ(members[0].name, "text.txt");
    EXPECT_FALSE(members[0].written);
    EXPECT_EQ(members[0].result, -115);
    for (size_t i = 1; i < 4; ++i) {
      EXPECT_EQ(members[i].result, 1);
      EXPECT_TRUE(members[i].data == files[i].second);
    }
    EXPECT_EQ(walked.delivered, 3u);
    EXPECT_EQ(walked.undelivered, 1u);
    EXPECT_EQ(walked.limits, 0u);
  }
}

TEST_F(ArjModuleTest, MembersBeyondTheReadersBudgetAreRefusedAndTheLimitNamed) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  auto files = sampleFiles();
  std::string arc = makeArchive(host.path() + "/budget", files, "-m1");
  // Room for the first member only.
  ArchiveReaderLimits limits{sizeof limits, 0, files[0].second.size() + 10};
  auto members = takeAll(place(arc), nullptr, &limits);
  ASSERT_EQ(members.size(), files.size()) << "every member still answers, as the update engine expects";
  EXPECT_EQ(members[0].result, 1);
  EXPECT_TRUE(members[0].data == files[0].second);
  for (size_t i = 1; i < members.size(); ++i) {
    EXPECT_EQ(members[i].result, -115) << i;
    EXPECT_FALSE(members[i].written && !members[i].data.empty()) << i;
  }
  EXPECT_EQ(walked.limits, static_cast<uint32_t>(NX_SCAN_LIMIT_SIZE));
  EXPECT_EQ(walked.delivered, 1u);
  EXPECT_EQ(walked.undelivered, 0u);
  // Without limits set, the module's defaults apply: the same archive is whole.
  members = takeAll(place(arc));
  EXPECT_EQ(walked.delivered, files.size());
  EXPECT_EQ(walked.limits, 0u);
}

TEST_F(ArjModuleTest, AWrongStoredCrcIsCountedWithTheMemberWrittenInFull) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  auto files = sampleFiles();
  for (int method : {0, 2, 4}) {
    SCOPED_TRACE(method);
    std::string arc = makeArchive(host.path() + "/crc", files, "-m" + std::to_string(method));
    auto hdrs = headers(arc);
    patch(arc, hdrs[2], [](uint8_t* b) { b[20] ^= 0x5A; });
    auto members = takeAll(place(arc));
    ASSERT_EQ(members.size(), 4u);
    EXPECT_EQ(members[1].name, "data.bin");
    EXPECT_EQ(members[1].result, -115);
    ASSERT_TRUE(members[1].written);
    EXPECT_TRUE(members[1].data == files[1].second);
    EXPECT_EQ(members[0].result, 1);
    EXPECT_EQ(members[2].result, 1);
  }
}

TEST_F(ArjModuleTest, TheMainHeaderIsFoundBelowOffset500000AndNotBeyond) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  std::string arc = makeArchive(host.path() + "/sfx", {{"a.txt", textContent(3000, 9)}}, "-m1");
  // A prefix like a self-extracting program's, with a false header id whose
  // CRC does not match right at its start.
  auto prefix = [](size_t n) {
    std::string p = binaryContent(n, 5);
    for (size_t i = 0; i + 1 < n; ++i)
      if (uint8_t(p[i]) == 0x60 && uint8_t(p[i + 1]) == 0xEA) p[i] = 0;
    std::string fake = "\x60\xEA\x40\x00";
    fake += std::string(0x40 + 4, 'x');
    p.replace(10, fake.size(), fake);
    // An id with size 0 and a CRC of 0 passes the CRC test (the CRC of no
    // bytes is 0) but cannot be a header: the search goes on past it.
    p.replace(200, 8, std::string("\x60\xEA\x00\x00\x00\x00\x00\x00", 8));
    return p;
  };
  struct Case {
    size_t offset;
    bool found;
  };
  for (Case c : {Case{0, true}, Case{4096, true}, Case{499999, true}, Case{500000, false}, Case{700000, false}}) {
    SCOPED_TRACE(c.offset);
    int32_t count = 0;
    auto members = takeAll(place((c.offset ? prefix(c.offset) : std::string()) + arc), &count);
    if (c.found) {
      EXPECT_EQ(count, 1);
      ASSERT_EQ(members.size(), 1u);
      EXPECT_EQ(members[0].result, 1);
      EXPECT_TRUE(members[0].data == textContent(3000, 9));
    } else {
      EXPECT_EQ(count, -1) << "Open must refuse";
    }
  }
}

TEST_F(ArjModuleTest, DamagedArchivesEndCleanly) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  auto files = sampleFiles();
  for (int method = 1; method <= 4; ++method) {
    SCOPED_TRACE(method);
    std::string arc = makeArchive(host.path() + "/dmg", files, "-m" + std::to_string(method));
    auto hdrs = headers(arc);
    size_t data1 = hdrs[2] + 4 + le16(arc, hdrs[2] + 2) + 4 + 2;  // data.bin's packed bytes

    // Cut inside data.bin's packed data: two members counted, the second damaged.
    int32_t count = 0;
    auto members = takeAll(place(arc.substr(0, data1 + 1000)), &count);
    EXPECT_EQ(count, 2);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].result, 1);
    EXPECT_EQ(members[1].result, -115);
    EXPECT_LE(members[1].data.size(), files[1].second.size());

    // Garbage in the packed data: never more than the stated size, CRC error.
    std::string bad = arc;
    uint32_t x = 99 + method;
    for (size_t i = data1 + 20; i < data1 + 3000; i += 7) {
      x = x * 1103515245u + 12345u;
      bad[i] = static_cast<char>(x >> 16);
    }
    members = takeAll(place(bad, "bad.arj"));
    ASSERT_EQ(members.size(), 4u);
    EXPECT_EQ(members[1].result, -115);
    EXPECT_LE(members[1].data.size(), files[1].second.size());
    EXPECT_TRUE(members[2].data == files[2].second);

    // A bad third header: the two members before it count.
    std::string hdr = arc;
    hdr[hdrs[3] + 6] ^= 0x10;  // header CRC no longer matches
    EXPECT_EQ((takeAll(place(hdr, "hdr.arj"), &count), count), 2);
    // No end marker at all: the members are still there.
    EXPECT_EQ((takeAll(place(arc.substr(0, arc.size() - 4), "noend.arj"), &count), count), 4);
  }
  // Not an archive, empty, and missing files are refused by Open.
  int32_t count = 0;
  takeAll(place(std::string(5000, 'A'), "none.arj"), &count);
  EXPECT_EQ(count, -1);
  takeAll(place("", "empty.arj"), &count);
  EXPECT_EQ(count, -1);
  takeAll(u"\\Temp\\missing.arj", &count);
  EXPECT_EQ(count, -1);
}

TEST_F(ArjModuleTest, AnOutputThatCannotBeCreatedIsCountedAndTheNextMemberStillComes) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  auto files = sampleFiles();
  std::string arc = makeArchive(host.path() + "/out", files, "-m3");
  ArchiveReader* r = reader();
  ASSERT_EQ(r->ops->Open(r, -1, place(arc).c_str()), 1);
  char16_t name[260];
  ASSERT_EQ(r->ops->ExtractNext(r, u"\\No\\Such\\Folder\\x", name), 1);
  EXPECT_EQ(std::u16string(name), u"text.txt");
  EXPECT_EQ(last_(r), -115);
  ASSERT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\d", name), 1);
  EXPECT_EQ(last_(r), 1);
  EXPECT_TRUE(dev.readFile("Temp/out/d") == files[1].second);
  // Arguments missing: nothing happens and the index stays.
  EXPECT_EQ(r->ops->ExtractNext(r, nullptr, name), 0);
  EXPECT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\e", nullptr), 0);
  ASSERT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\e", name), 1);
  EXPECT_EQ(std::u16string(name), u"tiny.txt");
  delete_(r);
}

TEST_F(ArjModuleTest, AnArchiveGoneAfterOpenStillAdvancesButReportsWhy) {
  NEED_ARJ();
  ASSERT_TRUE(load());
  std::string arc = makeArchive(host.path() + "/gone", {{"a", "1"}, {"b", "22"}}, "-m1");
  ArchiveReader* r = reader();
  ASSERT_EQ(r->ops->Open(r, -1, place(arc).c_str()), 1);
  EXPECT_EQ(last_(r), 0);
  fs::remove(dev.host("Temp/a.arj"));
  char16_t name[260] = u"stale";
  EXPECT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\g", name), 1);
  EXPECT_EQ(last_(r), -103);
  EXPECT_EQ(std::u16string(name), u"") << "no stale name is reported";
  EXPECT_FALSE(fs::exists(dev.host("Temp/out/g")));
  EXPECT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\g", name), 1);
  EXPECT_EQ(r->ops->ExtractNext(r, u"\\Temp\\out\\g", name), 0);
  delete_(r);
}

// ---- The module frame -----------------------------------------------------------------

TEST_F(ArjModuleTest, ObjectExportsCheckTheirArguments) {
  ASSERT_TRUE(load());
  EXPECT_EQ(create_(nullptr), 0);
  EXPECT_EQ(delete_(nullptr), nullptr);
  EXPECT_EQ(last_(nullptr), 0);
  ArchiveReader* r = reader();
  EXPECT_EQ(r->ops->Open(r, -1, nullptr), 0);
  char16_t name[260];
  EXPECT_EQ(r->ops->ExtractNext(r, u"\\Temp\\x", name), 0) << "not opened";
  std::u16string tooLong = u"\\Temp\\" + std::u16string(300, u'a');
  EXPECT_EQ(r->ops->Open(r, -1, tooLong.c_str()), 0);
  delete_(r);
}

TEST_F(ArjModuleTest, InitIsCountedAndAMismatchedDeinitIsLogged) {
  ASSERT_TRUE(load());  // the loader's LibInit: count 1
  auto libInit = reinterpret_cast<nx::module_fn::LibInit>(MyGetProcAddressW(module_, u"LibInit"));
  auto libDeinit = reinterpret_cast<nx::module_fn::LibDeinit>(MyGetProcAddressW(module_, u"LibDeinit"));
  ASSERT_TRUE(libInit && libDeinit);
  EXPECT_EQ(libInit(), 2);
  EXPECT_EQ(libDeinit(), 1);
  EXPECT_EQ(libDeinit(), 0);
  // Torn down: readers made now cannot open anything.
  ArchiveReader* r = reader();
  dev.writeFile("Temp/a.arj", std::string("\x60\xEA\x00\x00", 4));
  EXPECT_EQ(r->ops->Open(r, -1, u"\\Temp\\a.arj"), 0);
  delete_(r);
  EXPECT_EQ(libDeinit(), 0);
  auto lines = log();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "arjkit.dll: Error LibInit LibDeinit mismatched.");
  EXPECT_EQ(libInit(), 1);  // the loader's LibDeinit at TearDown balances it
}

TEST_F(ArjModuleTest, WithoutFilekitTheLoadFailsWithTheBindingLines) {
  fs::remove(dev.host(kInstall) + "/filekit.dll");
  EXPECT_FALSE(load());
  module_ = nullptr;
  auto lines = log();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "arjkit.dll: Unable to load filekit.dll.");
  EXPECT_EQ(lines.back(), "arjkit.dll: Unable to load unarj32.dll.");
}

}  // namespace
