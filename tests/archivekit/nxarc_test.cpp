// The nxarc tool's contract: list lines and JSON objects with the SHA-256
// of each member's bytes, extraction under safe names with duplicates
// numbered, exit status 0 for an archive that opened and 2 otherwise, and
// no temporary member files left behind.
#include <openssl/evp.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cab_builder.h"
#include "testkit.h"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int status = -1;
  std::string out;
};

ToolRun nxarc(const std::string& args, const std::string& env = "") {
  std::string cmd = env + " '" + std::string(NX_BUILD_DIR) + "/bin/nxarc' " + args + " 2>/dev/null";
  ToolRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string sha256(const std::string& s) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), d, &n, EVP_sha256(), nullptr);
  std::string hex;
  char b[3];
  for (unsigned int i = 0; i < n; ++i) std::snprintf(b, sizeof b, "%02x", d[i]), hex += b;
  return hex;
}

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& p, const std::string& s) { std::ofstream(p, std::ios::binary) << s; }

class Nxarc : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(std::string(NX_BUILD_DIR) + "/bin/nxarc")) GTEST_SKIP() << "nxarc not built";
    cabtest::Cabinet cab;
    std::string data = "first" + std::string("second!") + "" + "third" + "fourth";
    cab.folders.push_back(cabtest::mszipFolder(data));
    cab.files = {{"..\\..\\evil.txt", 5, 0, 0},
                 {"\\abs\\path.txt", 7, 5, 0},
                 {"dup", 0, 12, 0},
                 {"dir\\dup", 5, 12, 0},
                 {"dup", 6, 17, 0}};
    archive = fs::path(scratch.path()) / "set.cab";
    writeFile(archive, cabtest::build(cab));
  }
  nxtest::TempDir scratch;
  fs::path archive;
};

TEST_F(Nxarc, ListPrintsEveryMemberAndItsHash) {
  ToolRun plain = nxarc("list '" + archive.string() + "'");
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, "0 5 ..\\..\\evil.txt\n1 7 \\abs\\path.txt\n2 0 dup\n3 5 dir\\dup\n4 6 dup\n");
  ToolRun json = nxarc("list --json '" + archive.string() + "'");
  EXPECT_EQ(json.status, 0);
  std::string expected = "{\"index\":0,\"name\":\"..\\\\..\\\\evil.txt\",\"length\":5,\"sha256\":\"" + sha256("first") +
                         "\",\"result\":\"ok\"}\n";
  EXPECT_EQ(json.out.substr(0, json.out.find('\n') + 1), expected);
  EXPECT_NE(json.out.find("\"index\":4,\"name\":\"dup\",\"length\":6,\"sha256\":\"" + sha256("fourth") + "\""),
            std::string::npos)
      << json.out;
}

TEST_F(Nxarc, ExtractKeepsEveryMemberInsideTheFolder) {
  fs::path out = fs::path(scratch.path()) / "out";
  ToolRun r = nxarc("extract '" + archive.string() + "' '" + out.string() + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(readFile(out / "evil.txt"), "first");
  EXPECT_EQ(readFile(out / "abs/path.txt"), "second!");
  EXPECT_EQ(readFile(out / "dup"), "");
  EXPECT_EQ(readFile(out / "dir/dup"), "third");
  EXPECT_EQ(readFile(out / "dup.1"), "fourth");
  size_t count = 0;
  for (const auto& e : fs::recursive_directory_iterator(scratch.path()))
    if (e.is_regular_file()) ++count;
  EXPECT_EQ(count, 6u) << "the archive and its five members, nothing beside";
}

TEST_F(Nxarc, ExitStatusAndTemporaryFiles) {
  fs::path notCab = fs::path(scratch.path()) / "plain.txt";
  writeFile(notCab, "no cabinet in here at all");
  EXPECT_EQ(nxarc("list '" + notCab.string() + "'").status, 2);
  EXPECT_EQ(nxarc("list '" + (fs::path(scratch.path()) / "absent.cab").string() + "'").status, 2);
  EXPECT_EQ(nxarc("list").status, 1);
  // On a device of the caller's: the member files are gone afterwards.
  nxtest::TempDevice dev;
  EXPECT_EQ(nxarc("list '" + archive.string() + "'", "NX_DEVICE_ROOT='" + dev.root() + "'").status, 0);
  size_t left = 0;
  if (fs::exists(dev.host("Temp")))
    for (const auto& e : fs::directory_iterator(dev.host("Temp"))) left += e.is_regular_file() ? 1 : 0;
  EXPECT_EQ(left, 0u);
}

}  // namespace
