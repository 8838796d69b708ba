// The SIS reader over generated release-6 packages and the corpus: header
// checks, simple and multi-language records, option/condition/else/end-if
// records walked over, member names from destination or source, the member
// limits, hostile positions and lengths, and the corpus packages' members.
#include <string>
#include <vector>

#include "archivekit/sis_reader.h"
#include "sis_test_support.h"

namespace {

using namespace sistest;
using nx::sis::SisReader;

struct Rec {
  uint32_t type = 0;
  std::u16string src = u"src.bin", dst = u"!:\\system\\apps\\x\\x.app";
  std::vector<std::string> variants{"data"};  // raw contents, one per language for type 1
  uint32_t count = 0;                         // option count (type 2) or expression length (3, 4)
  int64_t srcLen = -1, dstLen = -1;           // bytes given in the record (default: the name's)
  int64_t srcPos = -1, dstPos = -1;
  int64_t uncompressed = -1;                  // for every variant (default: the raw length)
  std::vector<int> emptyVariants;             // variants whose data length is 0
};

struct Pkg {
  uint32_t uid2 = nx::sis::kSisUid2, uid3 = nx::sis::kSisUid3, installed = 0;
  uint16_t languages = 1, options = 1;
  int32_t recordCount = -1;    // default: the records given
  int64_t recordsPtr = -1;     // default: right after the header
  std::vector<Rec> recs;
};

uint64_t recordSize(const Rec& r, uint16_t l) {
  switch (r.type) {
    case 0: return 48;
    case 1: return (uint64_t{l} + 3) * 12;
    case 2: return (uint64_t{l} * r.count + 3) * 8;
    case 3: case 4: return uint64_t{r.count} + 8;
    default: return 4;
  }
}

std::string build(const Pkg& p) {
  std::string s(100, '\0');
  put32(s, 4, p.uid2);
  put32(s, 8, p.uid3);
  put16(s, 18, p.languages);
  put16(s, 20, static_cast<uint16_t>(p.recordCount >= 0 ? p.recordCount : static_cast<int32_t>(p.recs.size())));
  put16(s, 36, p.options);
  put32(s, 52, static_cast<uint32_t>(p.recordsPtr >= 0 ? p.recordsPtr : 100));
  put32(s, 76, p.installed);
  uint64_t blob = 100;
  for (const Rec& r : p.recs) blob += recordSize(r, p.languages) < 4096 ? recordSize(r, p.languages) : 4;
  std::string tail;
  auto place = [&](const std::string& bytes) {
    uint64_t at = blob + tail.size();
    tail += bytes;
    return static_cast<uint32_t>(at);
  };
  size_t at = 100;
  for (const Rec& r : p.recs) {
    std::string rec(recordSize(r, p.languages) < 4096 ? recordSize(r, p.languages) : 4, '\0');
    put32(rec, 0, r.type);
    if (r.type == 0 || r.type == 1) {
      uint32_t n = r.type == 0 ? 1 : p.languages;
      uint32_t sp = r.src.empty() ? 0 : place(utf16(r.src));
      uint32_t dp = r.dst.empty() ? 0 : place(utf16(r.dst));
      put32(rec, 12, static_cast<uint32_t>(r.srcLen >= 0 ? r.srcLen : 2 * r.src.size()));
      put32(rec, 16, static_cast<uint32_t>(r.srcPos >= 0 ? r.srcPos : sp));
      put32(rec, 20, static_cast<uint32_t>(r.dstLen >= 0 ? r.dstLen : 2 * r.dst.size()));
      put32(rec, 24, static_cast<uint32_t>(r.dstPos >= 0 ? r.dstPos : dp));
      for (uint32_t i = 0; i < n && i < r.variants.size(); ++i) {
        std::string packed = (p.options & 8) ? r.variants[i] : zlibOf(r.variants[i]);
        bool empty = std::find(r.emptyVariants.begin(), r.emptyVariants.end(), static_cast<int>(i)) !=
                     r.emptyVariants.end();
        put32(rec, 28 + 4 * i, empty ? 0 : static_cast<uint32_t>(packed.size()));
        put32(rec, 28 + 4 * (n + i), place(packed));
        put32(rec, 28 + 4 * (2 * n + i),
              static_cast<uint32_t>(r.uncompressed >= 0 ? r.uncompressed : r.variants[i].size()));
      }
    } else if (r.type >= 2 && r.type <= 4) {
      put32(rec, 4, r.count);
    }
    s.replace(at, rec.size(), rec);
    at += rec.size();
  }
  s.resize(blob, '\0');
  return s + tail;
}

Rec simple(std::u16string dst, std::string data) {
  Rec r;
  r.dst = std::move(dst);
  r.variants = {std::move(data)};
  return r;
}

using SisReaderTest = ReaderFixture<SisReader>;

TEST_F(SisReaderTest, HeaderChecksDecideWhatOpens) {
  struct Case {
    const char* what;
    Pkg pkg;
    bool opens;
  };
  Pkg good;
  good.recs = {simple(u"a", "x")};
  auto with = [&](auto change) {
    Pkg p = good;
    change(p);
    return p;
  };
  const Case cases[] = {
      {"release 6", good, true},
      {"release 5 UID 2", with([](Pkg& p) { p.uid2 = nx::sis::kSisUid2Release5; }), false},
      {"other UID 3", with([](Pkg& p) { p.uid3 = 0x10000418; }), false},
      {"installed stub", with([](Pkg& p) { p.installed = 1; }), false},
      {"no file records", with([](Pkg& p) { p.recordCount = 0; }), false},
  };
  for (const Case& c : cases) EXPECT_EQ(open(build(c.pkg)), c.opens ? 1 : 0) << c.what;
  EXPECT_EQ(open(build(good).substr(0, 99)), 0) << "short header";
  char16_t name[260];
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\m", name), 0) << "nothing open";
}

TEST_F(SisReaderTest, SimpleRecordsDeliverInflatedMembersNamedByDestination) {
  Pkg p;
  std::string big(70000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7) % 251);
  p.recs = {simple(u"!:\\system\\apps\\demo\\demo.app", big), simple(u"c:\\system\\data\\a.rsc", "resource"),
            simple(u"e:\\b.txt", std::string(3, 'z'))};
  ASSERT_EQ(open(build(p)), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].name, "!:\\system\\apps\\demo\\demo.app");
  EXPECT_EQ(got[0].data, big);
  EXPECT_EQ(got[1].name, "c:\\system\\data\\a.rsc");
  EXPECT_EQ(got[1].data, "resource");
  EXPECT_EQ(got[2].name, "e:\\b.txt");
  EXPECT_EQ(got[2].data, "zzz");
  char16_t name[260];
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\again", name), 0);
  EXPECT_EQ(ce::utf16ToUtf8(name), "unknown.app");
  EXPECT_EQ(reader->ExtractNext(nullptr, name), 0);
}

TEST_F(SisReaderTest, StoredDataAreCopiedAndReplaceALongerFile) {
  Pkg p;
  p.options = 1 | nx::sis::kOptionUncompressed;
  p.recs = {simple(u"c:\\plain.txt", "not a zlib stream")};
  // The engine's output file may already hold more than the member.
  dev.writeFile("Temp/m0", std::string(1000, '#'));
  ASSERT_EQ(open(build(p)), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "not a zlib stream");
}

TEST_F(SisReaderTest, MultiLanguageRecordsGiveOneMemberPerVariant) {
  Pkg p;
  p.languages = 2;
  Rec multi;
  multi.type = 1;
  multi.dst = u"c:\\lang\\text.rsc";
  multi.variants = {"english text", "deutscher Text"};
  p.recs = {multi, simple(u"c:\\after.bin", "after")};
  ASSERT_EQ(open(build(p)), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].name, "c:\\lang\\text.rsc");
  EXPECT_EQ(got[0].data, "english text");
  EXPECT_EQ(got[1].name, "c:\\lang\\text.rsc");
  EXPECT_EQ(got[1].data, "deutscher Text");
  EXPECT_EQ(got[2].name, "c:\\after.bin");
}

TEST_F(SisReaderTest, AVariantOrRecordThatCannotBeHadIsPassedOver) {
  // A variant that cannot be extracted must not hide what follows it: the
  // engine stops asking at the first 0.
  Pkg p;
  p.languages = 3;
  Rec multi;
  multi.type = 1;
  multi.dst = u"c:\\v.txt";
  multi.variants = {"zero", "one", "two"};
  multi.emptyVariants = {0};
  Rec lastBad = multi;
  lastBad.dst = u"c:\\w.txt";
  lastBad.emptyVariants = {1, 2};
  Rec bad = simple(u"c:\\bad.bin", "bad");
  bad.emptyVariants = {0};
  p.recs = {multi, bad, lastBad, simple(u"c:\\end.bin", "end")};
  ASSERT_EQ(open(build(p)), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].data, "one");
  EXPECT_EQ(got[1].data, "two");
  EXPECT_EQ(got[2].name, "c:\\w.txt");
  EXPECT_EQ(got[2].data, "zero");
  EXPECT_EQ(got[3].name, "c:\\end.bin");
  // What was passed over is accounted for: the first variant, the bad
  // record and the last record's two variants.
  EXPECT_EQ(status().delivered, 4u);
  EXPECT_EQ(status().undelivered, 4u);
}

TEST_F(SisReaderTest, DataSharedByRecordsCountsEachTimeItIsDelivered) {
  // Fifty records pointing at one stream of 1 MiB.
  Pkg p;
  for (int i = 0; i < 50; ++i) p.recs.push_back(simple(u"c:\\bomb.txt", std::string(1 << 20, '\0')));
  std::string bytes = build(p);
  uint32_t shared = 0;
  for (int k = 3; k >= 0; --k) shared = shared << 8 | static_cast<uint8_t>(bytes[100 + 32 + static_cast<size_t>(k)]);
  for (int i = 1; i < 50; ++i) put32(bytes, 100 + 48 * static_cast<size_t>(i) + 32, shared);
  limit((8u << 20) + 100);
  ASSERT_EQ(open(bytes), 1);
  EXPECT_EQ(takeAll().size(), 8u);
  const ArchiveReaderStatus st = status();
  EXPECT_EQ(st.limits, static_cast<uint32_t>(NX_SCAN_LIMIT_SIZE));
  EXPECT_EQ(st.produced, 8u << 20);
  EXPECT_EQ(st.pending, 1u);
  EXPECT_EQ(st.undelivered, 0u);
  // An empty file is nothing to deliver, not a member lost.
  Pkg empty;
  Rec none = simple(u"c:\\empty.txt", "");
  empty.recs = {none, simple(u"c:\\b", "b")};
  ASSERT_EQ(open(build(empty)), 1);
  EXPECT_EQ(takeAll().size(), 1u);
  EXPECT_EQ(status().undelivered, 0u);
}

TEST_F(SisReaderTest, MemberNamesComeFromDestinationThenSource) {
  std::u16string long260(260, u'd');
  std::u16string long261(261, u'e');
  struct Case {
    const char* what;
    Rec rec;
    std::string name;
  };
  auto rec = [](auto change) {
    Rec r = simple(u"c:\\dest.app", "x");
    r.src = u"source.app";
    change(r);
    return r;
  };
  const Case cases[] = {
      {"destination", rec([](Rec&) {}), "c:\\dest.app"},
      {"destination length 0", rec([](Rec& r) { r.dstLen = 0; }), "source.app"},
      {"both lengths 0", rec([](Rec& r) { r.dstLen = 0, r.srcLen = 0; }), "unknown.app"},
      {"destination position 0", rec([](Rec& r) { r.dstPos = 0; }), "source.app"},
      {"destination of 522 bytes", rec([&](Rec& r) { r.dst = long261; r.dstLen = 522; }), "source.app"},
      {"destination of 520 bytes", rec([&](Rec& r) { r.dst = long260; }), std::string(259, 'd')},
      {"odd length", rec([](Rec& r) { r.dstLen = 7; }), "c:\\"},
      {"destination beyond the file", rec([](Rec& r) { r.dstPos = 0x7FFFFFF0; }), "source.app"},
  };
  for (const Case& c : cases) {
    Pkg p;
    p.recs = {c.rec};
    ASSERT_EQ(open(build(p)), 1) << c.what;
    auto got = takeAll();
    ASSERT_EQ(got.size(), 1u) << c.what;
    EXPECT_EQ(got[0].name, c.name) << c.what;
    reader->Close();
  }
}

TEST_F(SisReaderTest, OptionConditionElseAndEndIfRecordsAreWalkedOver) {
  Pkg p;
  p.languages = 2;
  Rec options, cond, elseIf, els, endIf;
  options.type = 2, options.count = 3;
  cond.type = 3, cond.count = 20;
  elseIf.type = 4, elseIf.count = 0;
  els.type = 5;
  endIf.type = 6;
  Rec multi;
  multi.type = 1;
  multi.dst = u"c:\\m";
  multi.variants = {"a", "b"};
  p.recs = {options, cond, simple(u"c:\\one", "1"), elseIf, els, multi, endIf, simple(u"c:\\two", "2")};
  ASSERT_EQ(open(build(p)), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].name, "c:\\one");
  EXPECT_EQ(got[1].data, "a");
  EXPECT_EQ(got[2].data, "b");
  EXPECT_EQ(got[3].name, "c:\\two");
}

TEST_F(SisReaderTest, TheWalkEndsAtPositionsThatDoNotIncreaseAndAtUndefinedTypes) {
  struct Case {
    const char* what;
    Pkg pkg;
    size_t members;
  };
  Rec back;  // E + 8 wraps to 0 in 32 bits: the same position again
  back.type = 3, back.count = 0xFFFFFFF8;
  Rec undefined;
  undefined.type = 7;
  Rec huge;  // L × N + 3 overflows 32 bits
  huge.type = 2, huge.count = 0x40000000;
  Pkg a, b, c, d, e;
  a.recs = {simple(u"c:\\1", "1"), back, simple(u"c:\\2", "2")};
  b.recs = {simple(u"c:\\1", "1"), undefined, simple(u"c:\\2", "2")};
  c.recordsPtr = 0;
  c.recs = {simple(u"c:\\1", "1")};
  d.languages = 64, d.recs = {simple(u"c:\\1", "1"), huge, simple(u"c:\\2", "2")};
  e.recordCount = 65535, e.recs = {simple(u"c:\\1", "1"), simple(u"c:\\2", "2")};
  const Case cases[] = {{"position does not increase", a, 1},
                        {"undefined type", b, 1},
                        {"records pointer 0", c, 0},
                        {"option count overflows", d, 1},
                        {"more records declared than present", e, 2}};
  for (const Case& k : cases) {
    ASSERT_EQ(open(build(k.pkg)), 1) << k.what;
    EXPECT_EQ(takeAll().size(), k.members) << k.what;
    reader->Close();
  }
}

TEST_F(SisReaderTest, MemberLimitsAndHostileDataFieldsSkipOnlyThatMember) {
  std::string tenMiB(nx::sis::kMaxInflated, '\0');
  struct Case {
    const char* what;
    Rec rec;
    bool delivered;
  };
  auto rec = [&](auto change) {
    Rec r = simple(u"c:\\x", "payload");
    change(r);
    return r;
  };
  const Case cases[] = {
      {"10,485,760 bytes", rec([&](Rec& r) { r.variants = {tenMiB}; }), true},
      {"10,485,761 bytes", rec([&](Rec& r) { r.variants = {tenMiB + "x"}; }), false},
      {"uncompressed length 0", rec([](Rec& r) { r.uncompressed = 0; }), false},
      {"data length 0", rec([](Rec& r) { r.emptyVariants = {0}; }), false},
      {"uncompressed length short: cut", rec([](Rec& r) { r.uncompressed = 3; }), true},
  };
  for (const Case& c : cases) {
    Pkg p;
    p.recs = {c.rec, simple(u"c:\\next", "next")};
    ASSERT_EQ(open(build(p)), 1) << c.what;
    auto got = takeAll();
    ASSERT_EQ(got.size(), c.delivered ? 2u : 1u) << c.what;
    EXPECT_EQ(got.back().name, "c:\\next") << c.what;
    if (c.delivered && c.rec.uncompressed == 3) {
      EXPECT_EQ(got[0].data, "pay");
    }
    if (c.delivered && c.rec.variants[0].size() == tenMiB.size()) {
      EXPECT_EQ(got[0].data.size(), tenMiB.size());
    }
    reader->Close();
  }
  // Data positions and lengths that leave the file.
  Pkg p;
  p.recs = {simple(u"c:\\x", "payload"), simple(u"c:\\next", "next")};
  std::string bytes = build(p);
  for (auto [offset, value] : {std::pair<size_t, uint32_t>{100 + 32, 0x7FFFFFF0u}, {100 + 28, 0xFFFFFFF0u},
                               {100 + 32, static_cast<uint32_t>(bytes.size())}}) {
    std::string bad = bytes;
    put32(bad, offset, value);
    ASSERT_EQ(open(bad), 1);
    auto got = takeAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].name, "c:\\next");
    reader->Close();
  }
}

TEST_F(SisReaderTest, CorpusPackagesDeliverTheirRecordsMembers) {
  std::string dir = corpusDir("sis");
  if (dir.empty()) GTEST_SKIP() << "shared corpus not found (set NX_SHARED_DIR)";
  struct Expect {
    const char* name;
    size_t size;
    const char* sha;
  };
  struct Package {
    const char* file;
    std::vector<Expect> members;
  };
  const Package packages[] = {
      {"legacy.sis", {{"C:\\tSISInstallFile\\Installed\\file1.txt", 6, "c7d9388ac796ddd7"}}},
      {"Hotswap.sis",
       {{"C:\\DOCUME~1\\ADMINI~1\\LOCALS~1\\Temp\\MKS0\\banner.txt", 12, "61005f22155ff5bd"},
        {"c:\\system\\Apps\\Hotswap\\hotswap.aif", 781, "29b5b26dcc049cd4"},
        {"c:\\system\\Apps\\Hotswap\\hotswap.rsc", 44, "0206b25dd94e8956"},
        {"c:\\system\\Apps\\Hotswap\\hotswap.app", 5596, "7f44a2dc7a3ea9f4"}}},
      {"FExplorer_1.17.sis",
       {{"!:\\system\\apps\\FExplorer\\keys.txt", 221, "1f13ca1bbd32e7b1"},
        {"!:\\system\\apps\\FExplorer\\FExplorerLogo.gif", 2101, "3f9c0dd6f6ca8c49"},
        {"!:\\system\\apps\\FExplorer\\EXETEST.EXE", 1164, "4124110b0a82f4ee"},
        {"!:\\system\\apps\\FExplorer\\FEExitAd.txt", 44, "1665c0ff52e48721"},
        {"!:\\system\\apps\\FExplorer\\FExplorer.mbm", 14343, "f2da1e26f32457be"},
        {"!:\\system\\apps\\FExplorer\\FExplorer_caption.rsc", 48, "ee1790e413f98a56"},
        {"!:\\system\\apps\\FExplorer\\FExplorer.rsc", 7835, "126fbc67065ffa4b"},
        {"!:\\system\\apps\\FExplorer\\FExplorer.app", 253536, "e892cb1d402ce43f"},
        {"!:\\system\\apps\\FExplorer\\FExplorer.aif", 4171, "8302922158ec5009"},
        {"C:\\DOCUME~1\\DOMINI~1\\LOCALS~1\\Temp\\MKS0\\Help_english.txt", 5940, "f2565753245db23e"},
        {"C:\\DOCUME~1\\DOMINI~1\\LOCALS~1\\Temp\\MKS0\\Thanks_english.txt", 302, "ffd2a32348d0c58e"},
        {"C:\\DOCUME~1\\DOMINI~1\\LOCALS~1\\Temp\\MKS0\\Licence_english.txt", 1112, "b3d7b0057e5f10d2"}}},
  };
  for (const Package& pkg : packages) {
    std::string bytes = readHost(dir + "/" + pkg.file);
    ASSERT_FALSE(bytes.empty()) << pkg.file;
    ASSERT_EQ(open(bytes), 1) << pkg.file;
    auto got = takeAll();
    ASSERT_EQ(got.size(), pkg.members.size()) << pkg.file;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, pkg.members[i].name) << pkg.file << " #" << i;
      EXPECT_EQ(got[i].data.size(), pkg.members[i].size) << pkg.file << " #" << i;
      EXPECT_EQ(sha256Prefix(got[i].data), pkg.members[i].sha) << pkg.file << " #" << i;
    }
    reader->Close();
  }
  // Two members are also kept on their own in the corpus: byte for byte.
  std::string exe = corpusDir("epoc-exe");
  ASSERT_EQ(open(readHost(dir + "/Hotswap.sis")), 1);
  auto hot = takeAll();
  ASSERT_EQ(hot.size(), 4u);
  EXPECT_EQ(hot[3].data, readHost(exe + "/hotswap.app"));
}

}  // namespace
