// Cabinets built to hide members or to cost without end: a cabinet behind
// false headers, one overlapping a false header, false headers whose
// entries cost their reading, members that go back in their folder or take
// turns between folders; every one found, bounded by the reader's budget,
// and stopped with the limit named.
#include <cstring>

#include "cab_fixture.h"

namespace {

using namespace cabtest;

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// A false header: "MSCF" with plausible sizes and the given counts and flags.
std::string falseHeader(uint16_t folders, uint16_t files, uint16_t flags, uint32_t size = 1200) {
  std::string h = "MSCF";
  put32(h, 0);
  put32(h, size);
  put32(h, 0);
  put32(h, 40);  // file table offset
  put32(h, 0);
  put16(h, 0x0103);
  put16(h, folders);
  put16(h, files);
  put16(h, flags);
  put32(h, 0);
  return h;
}

std::string eicarCabinet() {
  Cabinet cab;
  cab.folders.push_back(storedFolder(kEicar));
  cab.files = {{"eicar.com", static_cast<uint32_t>(kEicar.size()), 0, 0}};
  return build(cab);
}

// A deadline that has already passed (0 would mean none).
uint32_t passedDeadline() {
  const uint32_t d = ce::GetTickCount() - 1000;
  return d ? d : 0xFFFFFFFFu;
}

class CabHostileTest : public ReaderFixture {
 protected:
  void limit(uint64_t maxBytes, uint32_t deadline = 0) {
    ArchiveReaderLimits l{sizeof l, deadline, maxBytes};
    ASSERT_EQ(reader->setLimits(l), 1);
  }
};

TEST_F(CabHostileTest, ACabinetBehindFalseHeadersIsFound) {
  // Counts 0xFFFF/0xFFFF, 0xFFFF/0xFFFF and 2/2, each with a previous-cabinet
  // name that never ends: together they claim every entry one archive may
  // hold, and none of them loads.
  std::string bytes;
  for (auto [folders, files] : {std::pair{0xFFFF, 0xFFFF}, {0xFFFF, 0xFFFF}, {2, 2}})
    bytes += falseHeader(static_cast<uint16_t>(folders), static_cast<uint16_t>(files), 1) + std::string(1200, 'A');
  ASSERT_EQ(open(bytes + eicarCabinet()), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "eicar.com");
  EXPECT_EQ(got[0].data, kEicar);
  EXPECT_EQ(status().undelivered, 0u);
  EXPECT_EQ(status().limits, 0u);
}

TEST_F(CabHostileTest, ACabinetInsideAFalseHeadersBytesIsFound) {
  // The real cabinet begins 4 bytes into a false one, whose counts (read
  // from the real header's reserved fields) make it fail.
  std::string real = eicarCabinet();
  real[4] = 0x40;  // the false header's cabinet size: plausible
  std::string bytes = "MSCF" + real;
  ASSERT_EQ(open(bytes), 1);
  EXPECT_EQ(reader->cabinetsFound(), 1u);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, kEicar);
}

TEST_F(CabHostileTest, FalseHeadersCostTheirReadingOnlyUpToABound) {
  // Each false header claims 65,535 folders and files over zeros that parse
  // as entries until the file ends: every one fails after reading them all.
  std::string bytes;
  for (int i = 0; i < 40; ++i) bytes += falseHeader(0xFFFF, 0xFFFF, 0, 1000000) + std::string(4, '\0');
  bytes += std::string(1500000, '\0');
  EXPECT_EQ(open(bytes), 0);
  EXPECT_EQ(status().limits, static_cast<uint32_t>(NX_SCAN_LIMIT_FILES));
  // A few of them cost little, and the cabinet after them is found.
  std::string few;
  for (int i = 0; i < 3; ++i) few += falseHeader(0xFFFF, 0xFFFF, 0, 1000000) + std::string(4, '\0');
  few += std::string(1500000, '\0');
  ASSERT_EQ(open(few + eicarCabinet()), 1);
  EXPECT_EQ(takeAll().size(), 1u);
  EXPECT_EQ(status().limits, 0u);
}

TEST_F(CabHostileTest, MembersGoingBackRestartTheirFolderOnceEachWithinTheBudget) {
  // Ten stored blocks of 1,000 bytes; ten one-byte members from the last
  // block back to the first.
  std::string data = pattern(10000, 7);
  Cabinet cab;
  cab.folders.push_back(storedFolder(data, 1000));
  for (uint32_t k = 0; k < 10; ++k) cab.files.push_back({"m" + std::to_string(k), 1, 9000 - 1000 * k, 0});
  const std::string bytes = build(cab);
  ASSERT_EQ(open(bytes), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 10u);
  for (uint32_t k = 0; k < 10; ++k) EXPECT_EQ(got[k].data, data.substr(9000 - 1000 * k, 1));
  EXPECT_EQ(reader->blocksDecoded(), 55u) << "one restart per member, each decoding up to its own block";

  // Every restart counts again: with 20,000 bytes two members fit (10,000
  // and 9,000 bytes decoded), the third would pass the budget.
  limit(20000);
  ASSERT_EQ(open(bytes), 1);
  EXPECT_EQ(takeAll().size(), 2u);
  const ArchiveReaderStatus st = status();
  EXPECT_EQ(st.limits, static_cast<uint32_t>(NX_SCAN_LIMIT_SIZE));
  EXPECT_EQ(st.undelivered, 0u) << "stopped by a limit, not by the archive";
  EXPECT_EQ(st.pending, 1u);
  EXPECT_EQ(st.produced, 19000u);
}

TEST_F(CabHostileTest, MembersTakingTurnsBetweenFoldersAreBoundedByTheBudget) {
  std::string a = pattern(20000, 8), b = pattern(20000, 9);
  Cabinet cab;
  cab.folders = {storedFolder(a, 1000), storedFolder(b, 1000)};
  for (uint32_t k = 0; k < 40; ++k)
    cab.files.push_back({"t" + std::to_string(k), 1, 500 * (k / 2) + 499, static_cast<uint16_t>(k % 2)});
  limit(100000);
  ASSERT_EQ(open(build(cab)), 1);
  auto got = takeAll();
  EXPECT_LT(got.size(), 40u);
  for (size_t k = 0; k < got.size(); ++k)
    EXPECT_EQ(got[k].data, (k % 2 ? b : a).substr(500 * (k / 2) + 499, 1)) << k;
  EXPECT_EQ(status().limits, static_cast<uint32_t>(NX_SCAN_LIMIT_SIZE));
  EXPECT_LE(status().produced, 100000u + 1000u) << "at most one block past the budget";
}

TEST_F(CabHostileTest, AMemberLargerThanTheBudgetIsNotDecoded) {
  Cabinet cab;
  cab.folders.push_back(storedFolder(pattern(5000, 10)));
  cab.files = {{"small", 100, 0, 0}, {"large", 4000, 100, 0}};
  limit(1000);
  ASSERT_EQ(open(build(cab)), 1);
  EXPECT_EQ(takeAll().size(), 1u);
  EXPECT_EQ(status().limits, static_cast<uint32_t>(NX_SCAN_LIMIT_SIZE));
  EXPECT_LE(status().produced, 5000u);
}

TEST_F(CabHostileTest, AWorkTimeRunOutStopsTheReaderAndSaysSo) {
  Cabinet cab;
  cab.folders.push_back(storedFolder("abc"));
  cab.files = {{"a", 3, 0, 0}};
  // A deadline already reached: not even the search runs.
  limit(UINT64_MAX, passedDeadline());
  EXPECT_EQ(open(build(cab)), 0);
  EXPECT_EQ(status().limits, static_cast<uint32_t>(NX_SCAN_LIMIT_TIME));
  // Opened in time, the deadline passing before the member.
  limit(UINT64_MAX, 0);
  ASSERT_EQ(open(build(cab)), 1);
  limit(UINT64_MAX, passedDeadline());
  EXPECT_TRUE(takeAll().empty());
  EXPECT_EQ(status().limits, static_cast<uint32_t>(NX_SCAN_LIMIT_TIME));
}

}  // namespace
