// The SISX reader over generated Symbian 9 packages and the corpus: the
// opening checks, controller parsing (compressed or stored) into the work
// file, names from the installation blocks' file descriptions paired by
// position with the file data, stored and compressed members, the bounds on
// installation blocks and field searches, and malformed packages ending cleanly.
#include <string>
#include <vector>

#include "archivekit/sisx_reader.h"
#include "sis_test_support.h"

namespace {

using namespace sistest;
using nx::sis::SisxReader;

std::string pad4(std::string s) {
  s.resize((s.size() + 3) & ~size_t{3}, '\0');
  return s;
}
std::string field(uint32_t type, const std::string& content) {
  return le32(type) + le32(static_cast<uint32_t>(content.size())) + pad4(content);
}
std::string arrayOf(uint32_t elementType, const std::vector<std::string>& elements) {
  std::string c = le32(elementType);
  for (const auto& e : elements) c += le32(static_cast<uint32_t>(e.size())) + pad4(e);
  return field(2, c);
}
std::string str(const std::u16string& s) { return field(1, utf16(s)); }
std::string compressed(const std::string& raw, bool deflate, int64_t uncompressed = -1) {
  uint64_t u = uncompressed >= 0 ? static_cast<uint64_t>(uncompressed) : raw.size();
  return field(3, le32(deflate ? 1 : 0) + le32(static_cast<uint32_t>(u)) + le32(static_cast<uint32_t>(u >> 32)) +
                      (deflate ? zlibOf(raw) : raw));
}
// A file description: its target path first, then fields the reader passes over.
std::string description(const std::u16string& target) { return str(target) + str(u"") + field(40, std::string(8, 'o')); }
std::string installBlock(const std::vector<std::u16string>& targets) {
  std::vector<std::string> d;
  for (const auto& t : targets) d.push_back(description(t));
  return field(28, arrayOf(24, d) + field(41, "other block fields"));
}
std::string controller(const std::vector<std::string>& blocks) {
  std::string c = field(7, "package information") + arrayOf(9, {"lang"});
  for (const auto& b : blocks) c += b;
  return field(13, c);
}
std::string dataSection(const std::vector<std::string>& fileData) {
  std::vector<std::string> elements;
  for (const auto& f : fileData) elements.push_back(f);
  return field(30, arrayOf(31, {arrayOf(32, elements)}));
}
std::string package(const std::string& controllerBlock, const std::string& data) {
  std::string contents = field(34, "ck") + field(35, "dk") + controllerBlock + data;
  return le32(nx::sis::kSisxUid1) + le32(0) + le32(0x80000001) + le32(0) + field(12, contents);
}
std::string simplePackage(const std::vector<std::u16string>& targets, const std::vector<std::string>& contents,
                          bool deflate = true) {
  std::vector<std::string> data;
  for (const auto& c : contents) data.push_back(compressed(c, deflate));
  return package(compressed(controller({installBlock(targets)}), true), dataSection(data));
}

using SisxReaderTest = ReaderFixture<SisxReader>;

TEST_F(SisxReaderTest, FilesOfAnInstallationBlockAreNamedByTheirTargets) {
  std::string exe(5000, 'E'), rsc = "resource bytes";
  for (size_t i = 0; i < exe.size(); ++i) exe[i] = static_cast<char>(i * 31);
  ASSERT_EQ(open(simplePackage({u"!:\\sys\\bin\\hello.exe", u"!:\\private\\10003a3f\\import\\apps\\hello_reg.rsc"},
                               {exe, rsc})),
            1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "hello.exe");
  EXPECT_EQ(got[0].data.substr(0, exe.size()), exe);
  EXPECT_EQ(got[0].data.size(), exe.size());
  EXPECT_EQ(got[1].name, "hello_reg.rsc");
  EXPECT_EQ(got[1].data, rsc);
  char16_t name[260];
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\x", name), 0);
  EXPECT_EQ(reader->ExtractNext(nullptr, name), 0);
}

TEST_F(SisxReaderTest, AnEmptyTargetReportsTheOutputPath) {
  ASSERT_EQ(open(simplePackage({u"", u"c:\\b.txt"}, {"first member", "second member"})), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].name, "\\Temp\\m0");
  EXPECT_EQ(got[1].name, "b.txt");
}

TEST_F(SisxReaderTest, OpeningChecksUidAndContentsLength) {
  std::string good = simplePackage({u"c:\\a"}, {"aaaaaaaaaaaaaaaa"});
  std::string otherUid = good;
  put32(otherUid, 0, 0x10201A7B);
  std::string longer = good;
  put32(longer, 20, static_cast<uint32_t>(good.size() - 24 + 1));
  std::string shorter = good;
  put32(shorter, 20, static_cast<uint32_t>(good.size() - 24 - 1));
  EXPECT_EQ(open(good), 1);
  EXPECT_EQ(open(otherUid), 0);
  EXPECT_EQ(open(longer), 0);
  EXPECT_EQ(open(shorter), 0);
  EXPECT_EQ(open(good.substr(0, 20)), 0);
  EXPECT_EQ(open(std::string()), 0);
}

TEST_F(SisxReaderTest, StoredMembersKeepTheirPaddingAndShortOnesComeOutToo) {
  // 13 bytes are written as 16 (the stored padding with them), 11 bytes as
  // 12: a member passed over would never be scanned. A member of no bytes is
  // an empty file, nothing lost.
  ASSERT_EQ(open(simplePackage({u"c:\\thirteen.bin", u"c:\\eleven.bin", u"c:\\empty.bin", u"c:\\after.bin"},
                               {"0123456789abc", "0123456789a", "", "after this one"}, false)),
            1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].name, "thirteen.bin");
  EXPECT_EQ(got[0].data, std::string("0123456789abc") + std::string(3, '\0'));
  EXPECT_EQ(got[1].name, "eleven.bin");
  EXPECT_EQ(got[1].data, std::string("0123456789a") + std::string(1, '\0'));
  EXPECT_EQ(got[2].name, "after.bin");
  EXPECT_EQ(got[2].data, "after this one" + std::string(2, '\0'));
  EXPECT_EQ(status().undelivered, 0u);
}

TEST_F(SisxReaderTest, TheFirstMemberReplacesTheWorkFileWhole) {
  // The controller is parsed in the first member's file; a stored member
  // shorter than the controller must not keep the controller's tail.
  std::vector<std::u16string> targets;
  for (int i = 0; i < 40; ++i) targets.push_back(u"c:\\folder\\some_long_file_name_" + ce::utf8ToUtf16(std::to_string(i)));
  std::vector<std::string> data(40, "short stored");
  std::string ctrl = controller({installBlock(targets)});
  ASSERT_EQ(open(package(compressed(ctrl, false), dataSection([&] {
                           std::vector<std::string> d;
                           for (auto& s : data) d.push_back(compressed(s, false));
                           return d;
                         }()))),
            1);
  auto got = takeAll(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].name, "some_long_file_name_0");
  EXPECT_EQ(got[0].data, std::string("short stored"));
}

TEST_F(SisxReaderTest, AtMostEightInstallationBlocksNameMembersAndTheRestComeUnnamed) {
  std::vector<std::string> blocks, data;
  for (int i = 0; i < 10; ++i) {
    blocks.push_back(installBlock({u"c:\\b" + ce::utf8ToUtf16(std::to_string(i)) + u"\\f" +
                                   ce::utf8ToUtf16(std::to_string(i))}));
    data.push_back(compressed("content of member " + std::to_string(i), true));
  }
  ASSERT_EQ(open(package(compressed(controller(blocks), true), dataSection(data))), 1);
  // The files of the ninth and tenth blocks are still delivered, unnamed.
  auto got = takeAll();
  ASSERT_EQ(got.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(got[i].name, i < 8 ? "f" + std::to_string(i) : "\\Temp\\m" + std::to_string(i));
    EXPECT_EQ(got[i].data.substr(0, 19), "content of member " + std::to_string(i));
  }
}

TEST_F(SisxReaderTest, MalformedFileListsEndTheNamesButNotTheData) {
  struct Case {
    const char* what;
    std::vector<std::string> blocks;
    size_t members;
  };
  std::string good = installBlock({u"c:\\good.txt"});
  const Case cases[] = {
      {"no backslash in the first block", {installBlock({u"plain.txt"}), good}, 0},
      {"no backslash in the second block", {good, installBlock({u"plain.txt"})}, 1},
      {"target of 262 bytes", {installBlock({std::u16string(u"c:\\") + std::u16string(128, u'x')})}, 0},
      {"target of 258 bytes", {installBlock({std::u16string(u"c:\\") + std::u16string(126, u'x')})}, 1},
      {"file list of another type", {field(28, arrayOf(25, {description(u"c:\\a")}))}, 0},
      {"element shorter than a header", {field(28, arrayOf(24, {"abc"}))}, 0},
      {"no installation block", {}, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> data(3, compressed("member data here", true));
    ASSERT_EQ(open(package(compressed(controller(c.blocks), true), dataSection(data))), 1) << c.what;
    // Names stop where the parse ended; the data are delivered all the same.
    auto got = takeAll();
    ASSERT_EQ(got.size(), 3u) << c.what;
    size_t named = 0;
    while (named < got.size() && got[named].name != "\\Temp\\m" + std::to_string(named)) ++named;
    EXPECT_EQ(named, c.members) << c.what;
    reader->Close();
  }
}

TEST_F(SisxReaderTest, HostileLengthsEndCleanly) {
  std::string ctrl = controller({installBlock({u"c:\\a.txt", u"c:\\b.txt"})});
  std::vector<std::string> data(2, compressed("member data here", true));
  struct Case {
    const char* what;
    std::string bytes;
    size_t members;
    uint32_t undelivered;  // members named or stored but not delivered
  };
  std::string junk;
  for (int i = 0; i < 501; ++i) junk += le32(99) + le32(0);
  const Case cases[] = {
      {"controller claims 4 GiB", package(compressed(ctrl, true, 0xFFFFFFFFll), dataSection(data)), 2, 0},
      {"controller claims 10 MiB + 1", package(compressed(ctrl, true, 0xA00001), dataSection(data)), 2, 0},
      {"controller not deflated", package(field(3, le32(1) + le32(50) + le32(0) + "garbage!"), dataSection(data)), 2, 0},
      // The data are not there to be missed: the installer would refuse it too.
      {"no data field", package(compressed(ctrl, true), field(31, "x")), 0, 0},
      {"file data beyond 500 headers", package(compressed(ctrl, true), field(30, junk)), 0, 2},
      {"member claims 4 GiB", package(compressed(ctrl, true), dataSection({compressed("abcdefghijklmnop", true, 0xFFFFFFF0ll), data[0]})), 1, 1},
      {"member of 11 MiB packed", package(compressed(ctrl, true), dataSection({compressed(std::string(11 << 20, 'p'), false), data[0]})), 1, 1},
      {"corrupt member stream", package(compressed(ctrl, true), dataSection({field(3, le32(1) + le32(16) + le32(0) + "not a zlib stream"), data[0]})), 1, 1},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(open(c.bytes), 1) << c.what;
    EXPECT_EQ(takeAll().size(), c.members) << c.what;
    EXPECT_EQ(status().undelivered, c.undelivered) << c.what;
    EXPECT_EQ(status().limits, 0u) << c.what;
    reader->Close();
  }
  // A member field whose length runs past the file.
  std::string bytes = package(compressed(ctrl, true), dataSection(data));
  size_t last = bytes.rfind(le32(3) + le32(static_cast<uint32_t>(data[1].size() - 8)));
  ASSERT_NE(last, std::string::npos);
  put32(bytes, last + 4, 0x7FFFFFF0);
  ASSERT_EQ(open(bytes), 1);
  EXPECT_EQ(takeAll().size(), 1u);
  EXPECT_EQ(status().undelivered, 1u);
}

TEST_F(SisxReaderTest, InflatedMembersCountAgainstTheBudget) {
  // Twenty members of 1 MiB, each from a stream of about a kilobyte.
  std::vector<std::u16string> targets(20, u"c:\\bomb.txt");
  std::vector<std::string> data(20, compressed(std::string(1 << 20, '\0'), true));
  limit((5u << 20) + 4096);  // and the controller
  ASSERT_EQ(open(package(compressed(controller({installBlock(targets)}), true), dataSection(data))), 1);
  EXPECT_EQ(takeAll().size(), 5u);
  const ArchiveReaderStatus st = status();
  EXPECT_EQ(st.limits, static_cast<uint32_t>(NX_SCAN_LIMIT_SIZE));
  EXPECT_EQ(st.undelivered, 0u);
  EXPECT_EQ(st.pending, 1u);
  EXPECT_LE(st.produced, (5u << 20) + 4096);
}

TEST_F(SisxReaderTest, CorpusPackagesDeliverPairedMembersAndMalformedOnesEndCleanly) {
  std::string dir = corpusDir("sisx");
  if (dir.empty()) GTEST_SKIP() << "shared corpus not found (set NX_SHARED_DIR)";
  struct Expect {
    const char* name;
    size_t size;
    const char* sha;
  };
  struct Package {
    const char* file;
    bool opens;
    std::vector<Expect> members;
  };
  // Short members come out too (simple.sis and its relatives hold one of 6
  // bytes, written with its padding); unsigned.sis holds one of 0 bytes,
  // which is nothing to deliver.
  const Package packages[] = {
      {"Hello_sis.sis", true, {{"HelloWorld.exe", 258764, "1a8c36986d5ca8a7"}, {"HelloWorld_reg.rsc", 410, "6e44a5cc2f62a7b7"},
                               {"\\Temp\\m2", 272, "52195a0627ce3989"}, {"\\Temp\\m3", 275, "83ead57c01e96ce6"},
                               {"\\Temp\\m4", 1113, "059e239d093a9c54"}, {"\\Temp\\m5", 1218, "84b3147763e2dc67"}}},
      {"TS_00001__TC_00007__PE_00002__.sis", true, {{"sre.exe", 53248, "f1a3f1dee583599d"}, {"backup_registration.xml", 194, "c1da4641e7ef5799"}}},
      {"TS_00001__TC_02291__PE_00002__.sis", true, {{"sre.exe", 53248, "f1a3f1dee583599d"}, {"backup_registration.xml", 194, "c1da4641e7ef5799"}}},
      {"base_nr.sis", true, {}},
      {"corrupted.tsignsis.sis", false, {}},
      {"corruptedlengthfield.sis", true, {{"capexe.exe", 142712, "a9251d64d4782082"}}},
      {"eshell_hybrid.sis", true, {{"eshell.exe", 31244, "be50eea2bf386cb1"}}},
      {"exetest.sis", true, {{"apparc.dll", 15959, "4c271da406fa168c"}, {"tswiallcapabilities.exe", 63560, "9fec26e03dc57647"}, {"dummy.exe", 723, "6d6dbe27a5bd0c7a"}}},
      {"ocsprevocation.sis", true, {{"backlight.txt", 58, "aeae3d729f14124e"}, {"col.txt", 80, "52e6d06dc32735a9"}}},
      {"panic47.sis", true, {}},
      {"pkg_kanji.SIS", true, {{"file1.txt", 8, "d4b19b6beb529b88"}}},
      {"simple.signed.sis", true, {{"file1.txt", 8, "d4b19b6beb529b88"}}},
      {"simple.sis", true, {{"file1.txt", 8, "d4b19b6beb529b88"}}},
      {"test20.sis", false, {}},
      {"test_03.sis", true, {{"tswiusergrantable_all.exe", 650, "b383bd8ef5264863"}}},
      {"test_bufferoverflow.sis", true, {{"testdef.txt", 8, "ffc6accdace4e970"}}},
      {"testdraw.sis", true, {{"testdraw.exe", 11948, "e6d0d3593c99a029"}, {"testdraw_reg.rsc", 70, "cf992e68f6159dfb"}, {"testdraw.rsc", 155, "2a6247d11a0d8f21"}}},
      {"testfor2exes_unsigned.sis", true, {{"apparc.dll", 13704, "846edcc6aee438e3"}, {"tswiallcapabilities.exe", 63516, "9bdf0e6314ce1d82"}}},
      {"testmalformed_stub.sis", false, {}},
      {"testpreinstall_patch2.sis", true, {}},
      {"testpreinstalled_sucert_edrive.sis", true, {}},
      {"teststartlist.sisx", true, {{"teststartlist.exe", 749, "44b175877b2dfa70"}, {"[ebe1c11b].rsc", 66, "eb541d87b1815754"}}},
      {"unsigned.sis", true, {}},
      {"unsupported_signature_fake_rsa_sha1_md2.sis", true, {{"adornedfilenametestingdll.dll", 171528, "e923b03ec76a54c3"}, {"adornedfilenametestingdll{000A0001}.dll", 171528, "8c863cc4763ce986"}}},
  };
  for (const Package& pkg : packages) {
    std::string bytes = readHost(dir + "/" + pkg.file);
    ASSERT_FALSE(bytes.empty()) << pkg.file;
    ASSERT_EQ(open(bytes), pkg.opens ? 1 : 0) << pkg.file;
    if (!pkg.opens) continue;
    auto got = takeAll();
    ASSERT_EQ(got.size(), pkg.members.size()) << pkg.file;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, pkg.members[i].name) << pkg.file << " #" << i;
      EXPECT_EQ(got[i].data.size(), pkg.members[i].size) << pkg.file << " #" << i;
      EXPECT_EQ(sha256Prefix(got[i].data), pkg.members[i].sha) << pkg.file << " #" << i;
    }
    // Nothing a real package holds is left unseen.
    EXPECT_EQ(status().undelivered, 0u) << pkg.file;
    reader->Close();
  }
}

}  // namespace
