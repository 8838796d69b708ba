// Cabinet sets: a folder continued from part to part, a block split at each
// part's end joined with its rest, members listed in every part they touch
// and taken once; a set with a part missing, or opened at a middle part,
// accounts for the members it cannot deliver. Checked against cabextract
// where it is installed.
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "cab_fixture.h"

namespace {

using namespace cabtest;
namespace fs = std::filesystem;

constexpr uint16_t kFlagPrevious = 1, kFlagNext = 2;

const std::string kEicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

struct SetMember {
  std::string name, data;
  uint32_t offset;
};

// Five cabinets, one MSZIP folder across all of them, three members listed
// in every part: continued to the next in the first, both ways in the
// middle three, from the previous in the last. Every part boundary falls
// inside a block. Next and previous names are the files' own.
struct FivePartSet {
  std::vector<std::string> parts;
  std::vector<SetMember> members;
};

FivePartSet fivePartSet() {
  FivePartSet set;
  set.members = {{"one.txt", std::string(60000, 'A'), 0},
                 {"two.txt", std::string(60000, 'B'), 60000},
                 {"three.com", kEicar, 120000}};
  std::string data;
  for (const auto& m : set.members) data += m.data;
  Folder whole = mszipFolder(data);
  EXPECT_EQ(whole.blocks.size(), 4u);
  auto piece = [&](size_t block, bool head) {
    const std::vector<uint8_t>& p = whole.blocks[block].packed;
    const size_t cut = p.size() / 2;
    Block b;
    b.packed = head ? std::vector<uint8_t>(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(cut))
                    : std::vector<uint8_t>(p.begin() + static_cast<std::ptrdiff_t>(cut), p.end());
    b.unpacked = head ? 0 : whole.blocks[block].unpacked;
    return b;
  };
  for (size_t k = 0; k < 5; ++k) {
    Cabinet cab;
    cab.flags = static_cast<uint16_t>((k > 0 ? kFlagPrevious : 0) | (k < 4 ? kFlagNext : 0));
    cab.previousName = "split-" + std::to_string(k) + ".cab";
    cab.previousDisk = "disk";
    cab.nextName = "split-" + std::to_string(k + 2) + ".cab";
    cab.nextDisk = "disk";
    Folder f;
    f.type = 1;
    if (k > 0) f.blocks.push_back(piece(k - 1, false));
    if (k < 4) f.blocks.push_back(piece(k, true));
    cab.folders.push_back(f);
    const uint16_t index = k == 0 ? 0xFFFE : k == 4 ? 0xFFFD : 0xFFFF;
    for (const auto& m : set.members)
      cab.files.push_back({m.name, static_cast<uint32_t>(m.data.size()), m.offset, index});
    set.parts.push_back(build(cab));
  }
  return set;
}

class CabSetTest : public ReaderFixture {
 protected:
  // Puts the parts named in `present` (1-based) beside each other.
  void place(const FivePartSet& set, std::initializer_list<int> present) {
    for (int k : present) dev.writeFile("Temp/split-" + std::to_string(k) + ".cab", set.parts[k - 1]);
  }
  int openPart(int k) {
    const std::u16string path = u"\\Temp\\split-" + ce::utf8ToUtf16(std::to_string(k)) + u".cab";
    return reader->Open(path.c_str());
  }
};

TEST_F(CabSetTest, FivePartSetDeliversWhatCabextractDelivers) {
  const FivePartSet set = fivePartSet();
  place(set, {1, 2, 3, 4, 5});
  ASSERT_EQ(openPart(1), 1);
  auto got = takeAll();
  ASSERT_EQ(got.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].name, set.members[i].name);
    EXPECT_TRUE(got[i].data == set.members[i].data) << got[i].name;
  }
  const ArchiveReaderStatus st = status();
  EXPECT_EQ(st.delivered, 3u);
  EXPECT_EQ(st.undelivered, 0u);
  EXPECT_EQ(st.limits, 0u);

  if (std::system("cabextract --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "cabextract not installed";
  nxtest::TempDir out;
  const std::string cmd = "cabextract -q -d '" + out.path() + "' '" + dev.host("Temp/split-1.cab") + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  for (const auto& m : got) {
    std::ifstream in(out.path() + "/" + m.name, std::ios::binary);
    std::string theirs((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(theirs == m.data) << m.name << " differs from cabextract";
  }
}

TEST_F(CabSetTest, MembersThatCannotBeDeliveredAreAccountedFor) {
  const FivePartSet set = fivePartSet();
  struct Case {
    const char* what;
    std::initializer_list<int> present;
    int open;
    std::vector<std::string> delivered;
    uint32_t undelivered;
  } cases[] = {
      // The first member needs the third part already.
      {"third part missing", {1, 2, 4, 5}, 1, {}, 3},
      {"last part missing", {1, 2, 3, 4}, 1, {"one.txt"}, 2},
      // A middle part continues members begun before it: the walk from the
      // part before it delivers them when that part is there and leads here.
      {"middle part of a whole set", {1, 2, 3, 4, 5}, 3, {}, 0},
      {"middle part without the one before", {3, 4, 5}, 3, {}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int k = 1; k <= 5; ++k) ce::DeleteFileW((u"\\Temp\\split-" + ce::utf8ToUtf16(std::to_string(k)) + u".cab").c_str());
    place(set, c.present);
    ASSERT_EQ(openPart(c.open), 1);
    std::vector<std::string> names;
    for (const auto& m : takeAll()) names.push_back(m.name);
    EXPECT_EQ(names, c.delivered);
    const ArchiveReaderStatus st = status();
    EXPECT_EQ(st.undelivered, c.undelivered);
    EXPECT_EQ(st.limits, 0u);
    EXPECT_EQ(st.pending, 0u);
    reader->Close();
  }

  // A file under the previous part's name that does not lead here is not
  // the part before.
  Cabinet decoy;
  decoy.folders.push_back(storedFolder("decoy"));
  decoy.files = {{"decoy", 5, 0, 0}};
  dev.writeFile("Temp/split-2.cab", build(decoy));
  ASSERT_EQ(openPart(3), 1);
  EXPECT_TRUE(takeAll().empty());
  EXPECT_EQ(status().undelivered, 3u);
}

TEST_F(CabSetTest, AFileWhoseMemberCountHidesMembersSaysSo) {
  // An embedded cabinet whose file starts with a zero member count: nothing
  // is delivered, and the members held are accounted for.
  Cabinet cab;
  cab.folders.push_back(storedFolder("first second"));
  cab.files = {{"first", 6, 0, 0}, {"second", 6, 6, 0}};
  std::string filler(40, '\0');
  ASSERT_EQ(open(filler + build(cab)), 1);
  EXPECT_EQ(reader->memberCount(), 0);
  EXPECT_TRUE(takeAll().empty());
  EXPECT_EQ(status().undelivered, 2u);
}

}  // namespace
