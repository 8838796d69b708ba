// The cabinet reader against cabextract (the reference) on every file of
// the shared corpus, good and broken: each member both deliver has the same
// name and the same bytes; where the two differ by design, the table below
// says how. Every file must open or be refused cleanly and end its walk.
#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archivekit/cab_reader.h"
#include "ce/ce.h"
#include "filekit/filekit_api.h"
#include "testkit.h"

extern "C" {
int32_t LibInit();
int32_t LibDeinit();
int32_t CreateFileWrapObject(FileWrapObject** out);
}

namespace {

namespace fs = std::filesystem;

std::string md5File(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "missing";
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  std::vector<char> buf(1 << 20);
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) EVP_DigestUpdate(ctx, buf.data(), n);
  std::fclose(f);
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int dn = 0;
  EVP_DigestFinal_ex(ctx, d, &dn);
  EVP_MD_CTX_free(ctx);
  std::string hex;
  char b[3];
  for (unsigned int i = 0; i < dn; ++i) std::snprintf(b, sizeof b, "%02x", d[i]), hex += b;
  return hex;
}

// cabextract -t: the members it decoded, name -> MD5 (names as it prints them).
std::multimap<std::string, std::string> reference(const std::string& file) {
  std::multimap<std::string, std::string> out;
  std::string cmd = "cabextract -t '" + file + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen(cmd.c_str(), "r"), pclose);
  if (!p) return out;
  static const std::regex line("^  (.*)  OK +([0-9a-f]{32})$");
  char buf[4096];
  while (std::fgets(buf, sizeof buf, p.get())) {
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    std::smatch m;
    if (std::regex_match(s, m, line)) out.emplace(m[1].str(), m[2].str());
  }
  return out;
}

struct Expected {
  int members;  // members the reader delivers; -1: as many as cabextract
  bool opens;
  const char* why;
};

// Where the reader and cabextract part by design.
const std::map<std::string, Expected> kDifferences = {
    {"search_basic.cab", {0, true, "the member count is read at offset 28 of the file, which lies inside the filler"}},
    {"split-1.cab", {1, true, "next cabinet names differ in case from the files; only the member wholly inside"}},
    {"split-2.cab", {0, true, "its first members come from an absent previous cabinet; the chain is not followed"}},
    {"split-3.cab", {0, true, "as split-2"}},
    {"split-4.cab", {0, true, "as split-2"}},
    {"split-5.cab", {0, true, "as split-2"}},
    {"bad_folderindex.cab", {1, true, "the member with the bad folder index is dropped, the other is sound"}},
    {"cve-2017-11423-fname-overread.cab", {1, true, "a 256-character name is accepted (terminated within the file)"}},
    {"filename-read-violation-1.cab", {1, true, "an empty member name is accepted"}},
    {"cve-2010-2800-mszip-infinite-loop.cab", {0, true, "broken deflate data: both fail"}},
    {"lzx-main-tree-no-lengths.cab", {0, true, "empty main tree: both fail"}},
    {"cve-2014-9556-qtm-infinite-loop.cab", {0, true, "a 4 KiB Quantum window cannot take 32 KiB blocks"}},
    {"filename-read-violation-2.cab", {0, true, "no data blocks for its member"}},
};

// Names cabextract rewrites for safety; the bytes are still compared by order.
const char* kRewrittenNames = "dirwalk-vulns.cab";

// The shared folder from NX_SHARED_DIR, else the one beside the source tree
// (the test runner does not always pass the variable on).
std::string corpusDir() {
  for (std::string dir : {nxtest::sharedDir(), std::string(CAB_SHARED_FALLBACK)})
    if (!dir.empty() && fs::exists(dir + "/corpus/cab")) return dir + "/corpus";
  return {};
}

class CabCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (corpusDir().empty())
      GTEST_SKIP() << "shared corpus not available (NX_SHARED_DIR)";
    if (std::system("cabextract --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "cabextract not installed";
    ce::EnableHostMount(true);
    ASSERT_EQ(LibInit(), 1);
    ASSERT_EQ(CreateFileWrapObject(&fw), 1);
  }
  void TearDown() override {
    if (fw) LibDeinit();
  }
  static std::u16string devicePath(const std::string& host) { return nxtest::viaHostMount(host); }
  nxtest::TempDevice dev;
  FileWrapObject* fw = nullptr;
};

TEST_F(CabCorpus, EveryCabinetAgreesWithCabextract) {
  std::vector<std::string> files;
  for (const char* dir : {"cab", "cab-broken"})
    for (const auto& e : fs::directory_iterator(corpusDir() + "/" + dir)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 40u);
  for (const std::string& file : files) {
    const std::string base = fs::path(file).filename();
    SCOPED_TRACE(base);
    auto ref = reference(file);
    std::vector<std::pair<std::string, std::string>> refInOrder(ref.begin(), ref.end());
    nx::cab::CabReader reader(fw);
    // Agreement on the bytes: no limit on what one cabinet may produce.
    ArchiveReaderLimits unlimited{sizeof unlimited, 0, UINT64_MAX};
    reader.setLimits(unlimited);
    auto diff = kDifferences.find(base);
    bool opened = reader.Open(devicePath(file).c_str()) == 1;
    std::vector<std::pair<std::string, std::string>> ours;
    for (int i = 0; opened && i < 1000; ++i) {
      std::u16string out = u"\\Temp\\member";
      char16_t name[260] = {};
      if (!reader.ExtractNext(out.c_str(), name)) break;
      ours.emplace_back(ce::utf16ToUtf8(name), md5File(dev.host("Temp/member")));
      ce::DeleteFileW(out.c_str());
    }
    // Fewer members than cabextract gives are never an archive that looks
    // whole: the reader accounts for what it could not deliver.
    ArchiveReaderStatus st{};
    reader.status(st);
    if (opened && ours.size() < ref.size()) {
      EXPECT_GT(st.undelivered + st.limits, 0u) << "a shortfall unaccounted for";
    }
    if (opened && ours.size() == ref.size() && diff == kDifferences.end()) {
      EXPECT_EQ(st.undelivered, 0u);
    }
    reader.Close();
    if (diff != kDifferences.end()) {
      EXPECT_EQ(opened, diff->second.opens) << diff->second.why;
      EXPECT_EQ(static_cast<int>(ours.size()), diff->second.members) << diff->second.why;
    } else {
      // Refused by cabextract (no member decoded) means not a cabinet here either.
      EXPECT_EQ(opened, !ref.empty());
      EXPECT_EQ(ours.size(), ref.size());
    }
    for (size_t i = 0; i < ours.size(); ++i) {
      std::string name = ours[i].first;
      for (auto& c : name)
        if (c == '\\') c = '/';
      if (base == kRewrittenNames) {
        // Same members in the same order; every one of them is empty.
        ASSERT_LT(i, ref.size());
        EXPECT_EQ(ours[i].second, "d41d8cd98f00b204e9800998ecf8427e") << ours[i].first;
        continue;
      }
      auto range = ref.equal_range(name);
      if (range.first == range.second) {
        // Delivered only by us: the table above must account for it.
        EXPECT_NE(diff, kDifferences.end()) << "member " << name << " unknown to cabextract";
        continue;
      }
      bool same = false;
      for (auto it = range.first; it != range.second; ++it) same = same || it->second == ours[i].second;
      EXPECT_TRUE(same) << "member " << name << " differs from cabextract";
    }
  }
}

}  // namespace
