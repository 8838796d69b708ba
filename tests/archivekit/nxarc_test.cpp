// The nxarc tool's contract: list lines and JSON objects with the SHA-256
// of each member's bytes, extraction under safe names with duplicates
// numbered, exit status 0 for an archive that opened and gave every member,
// 2 otherwise (with the limit or the members missing named), and no
// temporary member files left behind. The reader is the one the engine's
// type detector calls for, whatever the file is named.
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
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

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

ToolRun nxarc(const std::string& args, const std::string& env = "") {
  char errPath[] = "/tmp/nxarc-test-err.XXXXXX";
  const int fd = ::mkstemp(errPath);
  if (fd >= 0) ::close(fd);
  std::string cmd = env + " '" + std::string(NX_BUILD_DIR) + "/bin/nxarc' " + args + " 2>" +
                    (fd >= 0 ? "'" + std::string(errPath) + "'" : std::string("/dev/null"));
  ToolRun r;
  FILE* p = popen(cmd.c_str(), "r");
  if (p) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  if (fd >= 0) {
    r.err = readFile(errPath);
    ::unlink(errPath);
  }
  return r;
}

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

std::string sha256(const std::string& s) {
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), d, &n, EVP_sha256(), nullptr);
  std::string hex;
  char b[3];
  for (unsigned int i = 0; i < n; ++i) std::snprintf(b, sizeof b, "%02x", d[i]), hex += b;
  return hex;
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

// A walk that a limit stopped, or an archive that did not give every member
// it holds, exits 2 with the reason; what did come out is still listed.
TEST_F(Nxarc, LimitsAndMembersNotDeliveredExitTwoWithTheReason) {
  // A set whose second part is not there: "b" runs on into it.
  const fs::path broken = fs::path(scratch.path()) / "first.cab";
  writeFile(broken, cabtest::firstPartOfAMissingSet("a", "b"));
  const std::string all = "0 5 ..\\..\\evil.txt\n1 7 \\abs\\path.txt\n2 0 dup\n3 5 dir\\dup\n4 6 dup\n";
  struct Case {
    std::string args;
    int status;
    std::string out;
    const char* err;
  } cases[] = {
      {"--max-files 2 " + quoted(archive), 2, all.substr(0, all.find("2 0")), "limits exceeded (max-files)"},
      {"--max-files 5 " + quoted(archive), 0, all, ""},
      // The folder's one block is decoded for the first member: 23 bytes.
      {"--max-scan-size 10 " + quoted(archive), 2, "0 5 ..\\..\\evil.txt\n", "limits exceeded (max-scan-size)"},
      {"--max-scan-size 0 --max-files 0 --max-scan-time 0 " + quoted(archive), 0, all, ""},
      {"--max-scan-size 1K --max-scan-time 2.5 " + quoted(archive), 0, all, ""},
      {quoted(broken), 2, "0 4 a\n", "1 member could not be delivered (incomplete archive)"},
      {"--max-scan-size 12X " + quoted(archive), 1, "", "usage"},
      {"--max-scan-time soon " + quoted(archive), 1, "", "usage"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    ToolRun r = nxarc("list " + c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
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

// ---- ARJ archives and the choice of reader ----------------------------------

struct ArjMember {
  std::string name;
  std::string data;
  bool badCrc = false;
};

void le16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8 & 0xFF));
}
void le32(std::string& s, uint32_t v) {
  le16(s, v & 0xFFFF);
  le16(s, v >> 16);
}

uint32_t crcOf(const std::string& s) {
  return static_cast<uint32_t>(::crc32(0L, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

// One ARJ header block (id, size, basic header, its CRC, no extended header).
std::string arjHeader(uint8_t fileType, const std::string& name, uint32_t size, uint32_t crc) {
  std::string basic;
  basic += static_cast<char>(30);  // fixed part
  basic += static_cast<char>(11);  // archiver version
  basic += static_cast<char>(1);   // needed to extract
  basic += static_cast<char>(2);   // host: UNIX, names kept as stored
  basic += static_cast<char>(0);   // flags
  basic += static_cast<char>(0);   // method: stored
  basic += static_cast<char>(fileType);
  basic += static_cast<char>(0);
  le32(basic, 0x5B8A1234);  // time stamp
  le32(basic, size);        // packed
  le32(basic, size);        // original
  le32(basic, crc);
  le16(basic, 0);
  le16(basic, 0644);
  le16(basic, 0);
  basic += name + std::string(1, '\0') + std::string(1, '\0');  // name, empty comment
  std::string out = "\x60\xEA";
  le16(out, static_cast<uint32_t>(basic.size()));
  out += basic;
  le32(out, crcOf(basic));
  le16(out, 0);
  return out;
}

// A stored ARJ archive; a member with badCrc carries a CRC its bytes do not match.
std::string buildArj(const std::vector<ArjMember>& members) {
  std::string out = arjHeader(2, "made.arj", 0, 0);
  for (const ArjMember& m : members) {
    out += arjHeader(0, m.name, static_cast<uint32_t>(m.data.size()), crcOf(m.data) ^ (m.badCrc ? 1u : 0u));
    out += m.data;
  }
  return out + std::string("\x60\xEA\x00\x00", 4);
}

TEST_F(Nxarc, TheDetectorChoosesTheReaderWhateverTheName) {
  const std::string cab = readFile(archive);
  const std::string cabList = "0 5 ..\\..\\evil.txt\n1 7 \\abs\\path.txt\n2 0 dup\n3 5 dir\\dup\n4 6 dup\n";
  const std::string arj = buildArj({{"one.txt", "alpha"}, {"two.txt", "be"}});
  const std::string arjList = "0 5 one.txt\n1 2 two.txt\n";
  std::string sis(64, '\0');
  const unsigned char sisUids[] = {0x12, 0x3A, 0x00, 0x10, 0x19, 0x04, 0x00, 0x10};
  std::memcpy(&sis[4], sisUids, sizeof sisUids);
  std::string sisx(64, '\0');
  const unsigned char sisxUid[] = {0x7A, 0x1A, 0x20, 0x10};
  std::memcpy(&sisx[0], sisxUid, sizeof sisxUid);
  struct Case {
    const char* file;
    std::string bytes;
    const char* kind;
    int status;
    std::string out;
    const char* err;  // part of the message, for a refusal
  };
  const Case cases[] = {
      {"renamed.bin", cab, "", 0, cabList, ""},
      {"no-extension", cab, "", 0, cabList, ""},
      {"cabinet.arj", cab, "", 0, cabList, ""},  // the bytes decide before the name
      {"packed.bin", arj, "", 0, arjList, ""},
      {"stub.arj", "MZ a stub before the archive" + arj, "", 0, arjList, ""},
      {"notes.cab", "no cabinet in here at all", "", 2, "", "not an archive"},
      {"empty.cab", "", "", 2, "", "not an archive"},
      {"notes.arj", "no ARJ archive in here either", "", 2, "", "ARJ reader cannot open"},
      {"fake.sis", sis, "", 2, "", " SIS reader"},
      {"fake.sisx", sisx, "", 2, "", " SISX reader"},
      {"forced.cab", arj, "--kind cab", 2, "", "CAB reader cannot open"},
      {"forced.bin", cab, "--kind arj", 2, "", "ARJ reader cannot open"},
      {"forced-arj.bin", arj, "--kind arj", 0, arjList, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const fs::path file = fs::path(scratch.path()) / c.file;
    writeFile(file, c.bytes);
    ToolRun r = nxarc(std::string("list ") + c.kind + " " + quoted(file));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    fs::remove(file);
  }
  EXPECT_EQ(nxarc("list --kind zip " + quoted(archive)).status, 1);
}

TEST_F(Nxarc, ArjExtractKeepsSafeNamesAndLeavesRefusedMembersOut) {
  const fs::path arj = fs::path(scratch.path()) / "names.arj";
  writeFile(arj, buildArj({{"../../evil.txt", "first"},
                           {"/abs/path.txt", "second!"},
                           {"dup", ""},
                           {"dir/dup", "third"},
                           {"dup", "fourth"},
                           {"c:\\win\\x.txt", "fifth"},
                           {"bad.txt", "damaged", true},
                           {"last.txt", "after the damage"}}));
  // Every member is listed, the damaged one too; the archive did not give
  // all it holds, which the exit status and the last line say.
  ToolRun json = nxarc("list --json " + quoted(arj));
  EXPECT_EQ(json.status, 2);
  EXPECT_NE(json.err.find("1 member could not be delivered (incomplete archive)"), std::string::npos) << json.err;
  EXPECT_NE(json.out.find("{\"index\":6,\"name\":\"bad.txt\",\"length\":7,\"sha256\":\"" + sha256("damaged") +
                          "\",\"result\":\"refused\"}\n"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("{\"index\":7,\"name\":\"last.txt\",\"length\":16,\"sha256\":\"" +
                          sha256("after the damage") + "\",\"result\":\"ok\"}\n"),
            std::string::npos)
      << json.out;

  const fs::path out = fs::path(scratch.path()) / "out";
  ToolRun r = nxarc("extract " + quoted(arj) + " " + quoted(out));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(readFile(out / "evil.txt"), "first");
  EXPECT_EQ(readFile(out / "abs/path.txt"), "second!");
  EXPECT_EQ(readFile(out / "dup"), "");
  EXPECT_EQ(readFile(out / "dir/dup"), "third");
  EXPECT_EQ(readFile(out / "dup.1"), "fourth");
  EXPECT_EQ(readFile(out / "c_/win/x.txt"), "fifth");
  EXPECT_EQ(readFile(out / "last.txt"), "after the damage");
  EXPECT_FALSE(fs::exists(out / "bad.txt"));
  EXPECT_NE(r.err.find("bad.txt"), std::string::npos) << r.err;
  size_t count = 0;
  for (const auto& e : fs::recursive_directory_iterator(scratch.path()))
    if (e.is_regular_file()) ++count;
  EXPECT_EQ(count, 9u) << "the two archives and seven members, nothing beside";
}

// The shared corpus, listed as `arj l` lists it; members of every method
// come out with the bytes `arj x` gives.
TEST(NxarcCorpus, ArjArchivesListAsTheArchiverListsThem) {
  const std::string shared = nxtest::sharedDir();
  const fs::path dir = fs::path(shared) / "corpus" / "arj";
  if (shared.empty() || !fs::exists(dir / "gen-m0.arj")) GTEST_SKIP() << "no ARJ corpus";
  if (!fs::exists(std::string(NX_BUILD_DIR) + "/bin/nxarc")) GTEST_SKIP() << "nxarc not built";
  const std::string six =
      "0 53306 readme.txt\n1 70000 data.bin\n2 82240 repeat.bin\n3 6 tiny.txt\n4 0 empty.dat\n5 3584 PVBKill.exe\n";
  struct Case {
    const char* file;
    std::string list;
  };
  const Case cases[] = {
      {"bla.arj", "0 30 test1.xml\n1 31 test2.xml\n"},
      {"gen-m0.arj", six},
      {"gen-m1.arj", six},
      {"gen-m2.arj", six},
      {"gen-m3.arj", six},
      {"gen-m4.arj", six},
      {"gen-big.arj", "0 70000 data.bin\n1 82240 repeat.bin\n2 53306 readme.txt\n"},
      {"gen-text.arj", "0 53306 readme.txt\n1 8262 high.txt\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ToolRun r = nxarc("list " + quoted(dir / c.file));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.list);
  }
  const char* hashes[][2] = {
      {"readme.txt", "2b67fb6ffb7bd287dd20f4c0e8cb303b860f1a1ad3a8c6490232d9c0b0a79d0b"},
      {"data.bin", "5533a267eab9cfd4f5a3fb05a4499438108f64be6e47dc5208c64a1b5f095b24"},
      {"repeat.bin", "326ba72140f4f57c624e6442daace2078ec7c860169501df591b7c8e9090012c"},
      {"tiny.txt", "5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03"},
      {"empty.dat", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"PVBKill.exe", "75718913a5fc1471641e88ac38e27586f91aa333ebd63b8217895cc2b5ed9b71"},
  };
  for (const char* file : {"gen-m0.arj", "gen-m1.arj", "gen-m2.arj", "gen-m3.arj", "gen-m4.arj"}) {
    SCOPED_TRACE(file);
    ToolRun r = nxarc("list --json " + quoted(dir / file));
    for (const auto& h : hashes)
      EXPECT_NE(r.out.find(std::string("\"name\":\"") + h[0] + "\"") , std::string::npos) << h[0];
    for (const auto& h : hashes)
      EXPECT_NE(r.out.find(std::string("\"sha256\":\"") + h[1] + "\",\"result\":\"ok\""), std::string::npos)
          << h[0];
  }
  // Garbled members are refused, their names still reported; a header the
  // archiver itself cannot parse leaves the archive unopened.
  ToolRun garbled = nxarc("list --json " + quoted(dir / "gen-garbled.arj"));
  EXPECT_EQ(garbled.status, 2);
  EXPECT_NE(garbled.err.find("members could not be delivered"), std::string::npos) << garbled.err;
  EXPECT_NE(garbled.out.find("\"index\":0,\"name\":\"readme.txt\""), std::string::npos) << garbled.out;
  EXPECT_NE(garbled.out.find("\"index\":1,\"name\":\"tiny.txt\""), std::string::npos) << garbled.out;
  EXPECT_EQ(garbled.out.find("\"result\":\"ok\""), std::string::npos) << garbled.out;
  EXPECT_EQ(nxarc("list " + quoted(dir / "zero_sized_headers-fail.arj")).status, 2);
}

// Installation files are found by their contents, under any name, and
// listed as the corpus describes them.
TEST(NxarcCorpus, InstallationFilesGoToTheirOwnReaders) {
  const std::string shared = nxtest::sharedDir();
  const fs::path corpus = fs::path(shared) / "corpus";
  if (shared.empty() || !fs::exists(corpus / "sis" / "legacy.sis") ||
      !fs::exists(corpus / "sisx" / "teststartlist.sisx"))
    GTEST_SKIP() << "no SIS corpus";
  if (!fs::exists(std::string(NX_BUILD_DIR) + "/bin/nxarc")) GTEST_SKIP() << "nxarc not built";
  struct Case {
    const char* file;
    std::string list;
  };
  const Case cases[] = {
      {"sis/legacy.sis", "0 6 C:\\tSISInstallFile\\Installed\\file1.txt\n"},
      {"sis/Hotswap.sis",
       "0 12 C:\\DOCUME~1\\ADMINI~1\\LOCALS~1\\Temp\\MKS0\\banner.txt\n1 781 c:\\system\\Apps\\Hotswap\\hotswap.aif\n"
       "2 44 c:\\system\\Apps\\Hotswap\\hotswap.rsc\n3 5596 c:\\system\\Apps\\Hotswap\\hotswap.app\n"},
      {"sisx/teststartlist.sisx", "0 749 teststartlist.exe\n1 66 [ebe1c11b].rsc\n"},
  };
  nxtest::TempDir scratch;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    ToolRun r = nxarc("list " + quoted(corpus / c.file));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.list);
    const fs::path renamed = fs::path(scratch.path()) / "renamed.bin";
    fs::copy_file(corpus / c.file, renamed, fs::copy_options::overwrite_existing);
    fs::permissions(renamed, fs::perms::owner_write, fs::perm_options::add);
    r = nxarc("list " + quoted(renamed));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.list);
  }
  // A module without the reader's exports: the archive is left unopened,
  // and the reason named. One without its modules at all is a set-up fault.
  const fs::path image = fs::path(scratch.path()) / "image";
  fs::create_directories(image);
  for (const char* module : {"platform.dll", "filekit.dll"})
    fs::copy_file(fs::path(NX_BUILD_DIR) / "image" / module, image / module);
  fs::copy_file(fs::path(NX_BUILD_DIR) / "image" / "filekit.dll", image / "archivekit.dll");
  for (const char* kind : {"SIS", "SISX"}) {
    SCOPED_TRACE(kind);
    ToolRun r = nxarc(std::string("list --kind ") + (kind[3] ? "sisx " : "sis ") + quoted(corpus / "sis/legacy.sis"),
                      "NX_IMAGE_DIR=" + quoted(image));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(std::string("this build has no ") + kind + " reader"), std::string::npos) << r.err;
  }
  EXPECT_EQ(nxarc("list " + quoted(corpus / "sis/legacy.sis"), "NX_IMAGE_DIR=" + quoted(image / "none")).status, 1);

  // The readers refuse one another's files.
  ToolRun crossed = nxarc("list --kind sisx " + quoted(corpus / "sis/legacy.sis"));
  EXPECT_EQ(crossed.status, 2);
  EXPECT_NE(crossed.err.find("SISX reader cannot open"), std::string::npos) << crossed.err;
}

}  // namespace
