// The cabinet reader over the file wrapper on a scratch device: members of
// one folder decoded once and in order, the cabinet search (embedded
// cabinets, false signatures, the member count of offset 28), header
// rejections, data-block limits and checksums, special folder indexes,
// two-cabinet sets, folder restarts, zero-length and over-long members.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cab_fixture.h"

namespace {

using namespace cabtest;
using nx::cab::CabReader;

class CabReaderTest : public ReaderFixture {};

TEST_F(CabReaderTest, MembersOfOneMszipFolderComeOutInOrderDecodedOnce) {
  std::string a = pattern(50000, 1), b = pattern(3, 2), c = pattern(40000, 3);
  Cabinet cab;
  cab.folders.push_back(mszipFolder(a + b + c));
  cab.files = {{"a.txt", 50000, 0, 0}, {"dir\\b.txt", 3, 50000, 0}, {"c\\d\\e.bin", 40000, 50003, 0}};
  ASSERT_EQ(open(build(cab)), 1);
  EXPECT_EQ(reader->memberCount(), 3);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].name, "a.txt");
  EXPECT_EQ(got[1].name, "dir\\b.txt");
  EXPECT_EQ(got[2].name, "c\\d\\e.bin");
  EXPECT_EQ(got[0].data, a);
  EXPECT_EQ(got[1].data, b);
  EXPECT_EQ(got[2].data, c);
  EXPECT_EQ(reader->blocksDecoded(), cab.folders[0].blocks.size()) << "no block may be decoded twice";
  char16_t name[260];
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\again", name), 0);
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\again", name), 0);
}

TEST_F(CabReaderTest, FoldersOfEveryKindAndReserves) {
  Cabinet cab;
  cab.flags = 4;
  cab.headerReserve = 17;
  cab.folderReserve = 5;
  cab.dataReserve = 9;
  std::string s = pattern(70000, 4), m = pattern(1000, 5);
  cab.folders = {storedFolder(s, 30000), mszipFolder(m)};
  cab.files = {{"m", 1000, 0, 1}, {"s", 70000, 0, 0}};
  ASSERT_EQ(open(build(cab)), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, m);
  EXPECT_EQ(got[1].data, s);
}

TEST_F(CabReaderTest, AGoingBackInAFolderRestartsIt) {
  std::string data = pattern(100000, 6);
  Cabinet cab;
  cab.folders.push_back(mszipFolder(data));
  // Stored order: the later part first, then the start of the folder.
  cab.files = {{"late", 30000, 70000, 0}, {"early", 20000, 0, 0}};
  ASSERT_EQ(open(build(cab)), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, data.substr(70000, 30000));
  EXPECT_EQ(got[1].data, data.substr(0, 20000));
  EXPECT_GT(reader->blocksDecoded(), cab.folders[0].blocks.size());
}

TEST_F(CabReaderTest, EmbeddedCabinetTakesItsMemberCountFromOffset28OfTheFile) {
  Cabinet cab;
  cab.folders.push_back(storedFolder("onetwothree"));
  cab.files = {{"one", 3, 0, 0}, {"two", 3, 3, 0}, {"three", 5, 6, 0}};
  std::string inner = build(cab);
  struct Case {
    uint8_t countAt28;
    size_t delivered;
  } cases[] = {{0, 0}, {2, 2}, {3, 3}, {9, 3}};
  for (const auto& c : cases) {
    std::string prefix(40, 'x');  // a program before the cabinet
    prefix[28] = static_cast<char>(c.countAt28);
    prefix[29] = 0;
    ASSERT_EQ(open(prefix + inner), 1) << int(c.countAt28);
    EXPECT_EQ(takeAll().size(), c.delivered) << int(c.countAt28);
  }
}

TEST_F(CabReaderTest, FalseSignaturesAreSkipped) {
  Cabinet cab;
  cab.folders.push_back(storedFolder("payload"));
  cab.files = {{"p", 7, 0, 0}};
  // "MSCF" whose file table offset is not below its size, then the real one;
  // offset 28 of the file carries the count 1.
  std::string fake = "MSCF";
  put32(fake, 0);
  put32(fake, 10);  // size
  put32(fake, 0);
  put32(fake, 10);  // file table offset
  fake.append(8, '\0');
  put16(fake, 1);
  put16(fake, 0);
  ASSERT_EQ(open(fake + build(cab)), 1);
  EXPECT_EQ(reader->cabinetsFound(), 1u);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "payload");
}

TEST_F(CabReaderTest, CabinetsFoundInOneFileAreBounded) {
  Cabinet cab;
  cab.folders.push_back(storedFolder("xyz"));
  cab.files = {{"x", 3, 0, 0}};
  std::string one = build(cab), many;
  for (int i = 0; i < 300; ++i) many += one;
  ASSERT_EQ(open(many), 1);
  EXPECT_EQ(reader->cabinetsFound(), nx::cab::kMaxCabinets);
  // Only the first cabinet supplies members.
  auto got = takeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "xyz");
}

TEST_F(CabReaderTest, HeadersWithoutFoldersOrFilesAreNoCabinets) {
  Cabinet cab;
  cab.folders.push_back(storedFolder("x"));
  cab.files = {{"x", 1, 0, 0}};
  std::string good = build(cab);
  for (size_t field : {26u, 28u}) {
    std::string bad = good;
    bad[field] = 0;
    EXPECT_EQ(open(bad), 0) << field;
  }
  EXPECT_EQ(open(""), 0);
  EXPECT_EQ(open("MSCF"), 0);
  EXPECT_EQ(reader->Open(u"\\Temp\\absent.cab"), 0);
  // A name without its terminator before the end of the file.
  EXPECT_EQ(open(good.substr(0, good.find("x\0", 40) + 1)), 0);
}

TEST_F(CabReaderTest, DataBlockChecksums) {
  struct Case {
    const char* what;
    bool checksum;
    uint32_t forced;
    bool delivered;
  } cases[] = {{"real checksum", true, 0, true}, {"zero is not checked", false, 0, true},
               {"wrong checksum", true, 0xDEADBEEF, false}};
  for (const auto& c : cases) {
    Cabinet cab;
    cab.folders.push_back(storedFolder("checked bytes!"));
    cab.folders[0].blocks[0].checksum = c.checksum;
    cab.folders[0].blocks[0].forceChecksum = c.forced;
    cab.files = {{"c", 14, 0, 0}};
    ASSERT_EQ(open(build(cab)), 1) << c.what;
    EXPECT_EQ(takeAll().size(), c.delivered ? 1u : 0u) << c.what;
  }
}

// An MSZIP block of exactly `packed` bytes that inflates to 32,768 bytes:
// empty stored blocks, two empty fixed-code blocks and a final stored block.
Block paddedMszipBlock(const std::string& data, size_t packed) {
  std::vector<uint8_t> b = {'C', 'K'};
  size_t tail = 3 + 4 + data.size();  // two fixed blocks + final stored header, LEN/NLEN, data
  size_t empties = (packed - 2 - tail) / 5;
  EXPECT_EQ(2 + empties * 5 + tail, packed);
  for (size_t i = 0; i < empties; ++i) b.insert(b.end(), {0x00, 0x00, 0x00, 0xFF, 0xFF});
  b.insert(b.end(), {0x02, 0x08, 0x10});
  uint16_t len = static_cast<uint16_t>(data.size());
  b.insert(b.end(), {static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(~len),
                     static_cast<uint8_t>(~len >> 8)});
  b.insert(b.end(), data.begin(), data.end());
  return {b, static_cast<uint16_t>(data.size())};
}

TEST_F(CabReaderTest, PackedBlockLengthLimit) {
  std::string data = pattern(32768, 9);
  for (size_t packed : {38912u, 38913u}) {
    Cabinet cab;
    cab.folders.push_back(Folder{1, {}});
    Block blk = paddedMszipBlock(data, 38912);
    if (packed == 38913) blk.packed.push_back(0);  // trailing byte: the block is one byte too long
    cab.folders[0].blocks.push_back(blk);
    cab.files = {{"big", 32768, 0, 0}};
    ASSERT_EQ(open(build(cab)), 1);
    auto got = takeAll();
    if (packed == 38912) {
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].data, data);
    } else {
      EXPECT_TRUE(got.empty());
    }
  }
}

TEST_F(CabReaderTest, UnknownMethodEndsTheEnumeration) {
  Cabinet cab;
  cab.folders = {storedFolder("aaa"), storedFolder("bbb")};
  cab.folders[0].type = 4;
  cab.files = {{"a", 3, 0, 0}, {"b", 3, 0, 1}};
  ASSERT_EQ(open(build(cab)), 1);
  EXPECT_TRUE(takeAll().empty());
}

TEST_F(CabReaderTest, SpecialFolderIndexes) {
  Cabinet cab;
  cab.flags = 1;  // continues a cabinet that is not here
  cab.previousName = "prev.cab";
  cab.previousDisk = "disk";
  cab.folders.push_back(storedFolder("headtail!"));
  cab.files = {{"from-before", 4, 0, 0xFFFD}, {"tail", 5, 4, 0}, {"both-ways", 1, 0, 0xFFFF}};
  ASSERT_EQ(open(build(cab)), 1);
  auto got = takeAll();
  // The member begun in the absent cabinet is skipped; the one continued both
  // ways is bound to no folder and dropped.
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "tail");
  EXPECT_EQ(got[0].data, "tail!");

  // A single-member cabinet whose member runs both ways ends at once.
  Cabinet one;
  one.folders.push_back(storedFolder("zz"));
  one.files = {{"both", 2, 0, 0xFFFF}};
  ASSERT_EQ(open(build(one)), 1);
  EXPECT_TRUE(takeAll().empty());
}

TEST_F(CabReaderTest, ZeroLengthMembersAndFoldersWithoutBlocks) {
  Cabinet cab;
  cab.folders = {Folder{}, storedFolder("data")};
  cab.files = {{"empty1", 0, 0, 0}, {"empty2", 0, 0, 0}, {"data", 4, 0, 1}};
  ASSERT_EQ(open(build(cab)), 1);
  dev.writeFile("Temp/m0", "stale content");  // an existing output is replaced
  auto got = takeAll();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].data, "");
  EXPECT_EQ(got[1].data, "");
  EXPECT_EQ(got[2].data, "data");
}

TEST_F(CabReaderTest, MemberLongerThanItsFolderFailsAndLeavesThePartialOutput) {
  Cabinet cab;
  cab.folders.push_back(storedFolder("only ten b"));
  cab.files = {{"long", 20, 0, 0}};
  ASSERT_EQ(open(build(cab)), 1);
  char16_t name[260] = {};
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\partial", name), 0);
  EXPECT_EQ(dev.readFile("Temp/partial"), "only ten b");
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\partial2", name), 0);
}

TEST_F(CabReaderTest, ArgumentsAndClose) {
  Cabinet cab;
  cab.folders.push_back(storedFolder("abc"));
  cab.files = {{"a", 1, 0, 0}, {"b", 2, 1, 0}};
  ASSERT_EQ(open(build(cab)), 1);
  char16_t name[260];
  EXPECT_EQ(reader->ExtractNext(nullptr, name), 0);
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\o", nullptr), 0);
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\o", name), 1);
  EXPECT_EQ(reader->Close(), 1);
  EXPECT_EQ(reader->memberCount(), 0);
  EXPECT_EQ(reader->ExtractNext(u"\\Temp\\o2", name), 0);
  // Through the operation table as the engine calls it.
  ArchiveReaderObject* obj = reader.get();
  EXPECT_EQ(obj->ops->Open(obj, -1, u"\\Temp\\a.cab"), 1);
  EXPECT_EQ(obj->ops->Reserved(obj), 0);
  EXPECT_EQ(obj->ops->ExtractNext(obj, u"\\Temp\\o3", name), 1);
  EXPECT_EQ(std::u16string(name), u"a");
}

// Two cabinets of one set: a member runs from the first into the second.
struct TwoCabinetSet {
  std::string first, second;
};
TwoCabinetSet makeSet(const std::string& nextName) {
  std::string a = "AAAAAAAAAA", bHead = "BBBBB", bTail = "bbbbb", c = "CCCC";
  Cabinet one;
  one.flags = 2;
  one.nextName = nextName;
  one.nextDisk = "disk 2";
  Folder f = storedFolder(a + bHead);
  f.blocks.push_back({std::vector<uint8_t>(bTail.begin(), bTail.begin() + 2), 0});  // block split across cabinets
  one.folders.push_back(f);
  one.files = {{"a", 10, 0, 0}, {"b", 10, 10, 0xFFFE}};
  Cabinet two;
  two.flags = 1;
  two.previousName = "set1.cab";
  two.previousDisk = "disk 1";
  Folder g;
  g.blocks.push_back({std::vector<uint8_t>(bTail.begin() + 2, bTail.end()), 5});
  two.folders = {g, storedFolder(c)};
  two.files = {{"b", 10, 10, 0xFFFD}, {"c", 4, 0, 1}};
  return {build(one), build(two)};
}

TEST_F(CabReaderTest, TwoCabinetSetJoinsTheBlockSplitAcrossItsParts) {
  auto set = makeSet("set2.cab");
  dev.writeFile("Temp/set2.cab", set.second);
  ASSERT_EQ(open(set.first, "set1.cab"), 1);
  EXPECT_EQ(reader->boundMembers(), 3u) << "a and b from the first cabinet, c from the second";
  auto got = takeAll();
  // "b" is listed in both parts and taken once, its block joined from the
  // two pieces; "c" of the second part comes after the first part's count.
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].name, "a");
  EXPECT_EQ(got[0].data, "AAAAAAAAAA");
  EXPECT_EQ(got[1].name, "b");
  EXPECT_EQ(got[1].data, "BBBBBbbbbb");
  EXPECT_EQ(got[2].name, "c");
  EXPECT_EQ(got[2].data, "CCCC");
  ArchiveReaderStatus st{};
  reader->status(st);
  EXPECT_EQ(st.delivered, 3u);
  EXPECT_EQ(st.undelivered, 0u);
  EXPECT_EQ(st.pending, 0u);
}

TEST_F(CabReaderTest, NextCabinetNamesCompareExactly) {
  // Absent, or present only under another case: the chain stops at the
  // first cabinet, and the member running on into it is not delivered.
  for (const char* next : {"missing.cab", "SET2.CAB"}) {
    auto set = makeSet(next);
    dev.writeFile("Temp/set2.cab", set.second);
    ASSERT_EQ(open(set.first, "set1.cab"), 1);
    EXPECT_EQ(reader->boundMembers(), 2u) << next;
    auto got = takeAll();
    ASSERT_EQ(got.size(), 1u) << next;
    EXPECT_EQ(got[0].name, "a");
    ArchiveReaderStatus st{};
    reader->status(st);
    EXPECT_EQ(st.undelivered, 1u) << next;
    EXPECT_EQ(st.limits, 0u) << next;
  }
}

TEST_F(CabReaderTest, ASetNamingItselfDoesNotChainForever) {
  Cabinet cab;
  cab.flags = 2;
  cab.nextName = "loop.cab";
  cab.nextDisk = "d";
  cab.folders.push_back(storedFolder("xy"));
  cab.files = {{"x", 2, 0, 0}};
  ASSERT_EQ(open(build(cab), "loop.cab"), 1);
  EXPECT_EQ(takeAll().size(), 1u);
}

}  // namespace
