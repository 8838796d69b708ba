// The scan limits in the archive walk, through the test archive module
// (which keeps the budget it is handed and accounts for what it holds):
// members per archive, one byte budget over every level of nesting, the
// work time, archives nested past the depth, and members a reader could not
// deliver; each named in the settings' account, never silently clean.
#include "walk_support.h"

namespace {

using namespace scantest;

std::vector<std::string> extracted() { return EngineTest::journal("extract"); }

class LimitsWalkTest : public WalkTest {
 protected:
  std::string members(int n, size_t size = 10) {
    std::vector<Member> m;
    for (int i = 0; i < n; ++i) m.push_back({"m" + std::to_string(i) + ".txt", std::string(size, 'x')});
    return archive(Kind::Cab, m);
  }
};

TEST_F(LimitsWalkTest, MembersPerArchiveStopAtTheLimitAndOnlyALargerArchiveMeetsIt) {
  settings.limitFiles = 3;
  struct Case {
    int members;
    size_t taken;
    uint32_t hit;
  } cases[] = {{2, 2, 0}, {3, 3, 0}, {4, 3, NX_SCAN_LIMIT_FILES}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.members);
    fakes::clear();
    settings.limitsHit = 0;
    dev.writeFile("Temp/a.cab", members(c.members));
    EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
    EXPECT_EQ(extracted().size(), c.taken);
    EXPECT_EQ(settings.limitsHit, c.hit);
  }
}

TEST_F(LimitsWalkTest, OneByteBudgetServesEveryLevelOfNesting) {
  // An archive holding an archive of two 400-byte members, then a member of
  // 300 bytes: the inner archive itself is 800 bytes and more.
  const std::string inner = archive(Kind::Cab, {{"a.txt", std::string(400, 'a')}, {"b.txt", std::string(400, 'b')}});
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"inner.cab", inner}, {"tail.txt", std::string(300, 't')}}));
  settings.limitBytes = inner.size() + 500;
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  EXPECT_EQ(settings.limitsHit, static_cast<uint32_t>(NX_SCAN_LIMIT_SIZE));
  // Each reader is handed what is left of the one budget, before it opens
  // and before every member.
  const auto limits = journal("limits");
  ASSERT_GE(limits.size(), 4u);
  EXPECT_EQ(limits[0], "limits cab maxBytes=" + std::to_string(inner.size() + 500) + " deadline=none");
  EXPECT_EQ(limits[2], "limits cab maxBytes=500 deadline=none") << "the inner archive's reader, after inner.cab";
  EXPECT_EQ(limits[4], "limits cab maxBytes=100 deadline=none") << "after a.txt";
  // a.txt came out; b.txt would have passed the budget; so would tail.txt.
  EXPECT_EQ(extracted().size(), 2u);
  EXPECT_EQ(settings.usedBytes, inner.size() + 400);

  // No limit: the readers are told so, and everything comes out.
  fakes::clear();
  settings.limitBytes = 0;
  settings.usedBytes = 0;
  settings.limitsHit = 0;
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  EXPECT_EQ(settings.limitsHit, 0u);
  EXPECT_EQ(extracted().size(), 4u);
  EXPECT_EQ(journal("limits").front(), "limits cab maxBytes=none deadline=none");
}

TEST_F(LimitsWalkTest, TheWorkTimeEndsTheWalkAndIsHandedToTheReaders) {
  dev.writeFile("Temp/a.cab", members(3));
  settings.limitMs = 60000;
  settings.startTick = ce::GetTickCount();
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  EXPECT_EQ(settings.limitsHit, 0u);
  EXPECT_EQ(journal("limits").front(), "limits cab maxBytes=none deadline=set");
  // Started a minute ago: no member is taken.
  fakes::clear();
  settings.startTick = ce::GetTickCount() - 60000;
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  EXPECT_EQ(settings.limitsHit, static_cast<uint32_t>(NX_SCAN_LIMIT_TIME));
  EXPECT_TRUE(extracted().empty());
}

TEST_F(LimitsWalkTest, AnArchiveNestedPastTheDepthIsNamed) {
  const std::string inner = archive(Kind::Cab, {{"deep.txt", "deep"}});
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"inner.cab", inner}, {"plain.txt", "plain"}}));
  struct Case {
    const char* what;
    int16_t depth;
    uint32_t exclude;
    uint32_t hit;
  } cases[] = {
      {"opened at depth 1", 2, 0, 0},
      {"too deep to open", 1, 0, NX_SCAN_LIMIT_DEPTH},
      {"excluded by the options, not by a limit", 1, NX_EXCLUDE_CAB, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    settings.maxDepth = c.depth;
    settings.archiveExclude = c.exclude;
    settings.limitsHit = 0;
    if (c.exclude) {
      // The outer archive is excluded too: walk it as a member of a SIS.
      dev.writeFile("Temp/a.sis", archive(Kind::Sis, {{"a.cab", archive(Kind::Cab, {{"inner.cab", inner}})}}));
      scan(u"\\Temp\\a.sis");
    } else {
      scan(u"\\Temp\\a.cab");
    }
    EXPECT_EQ(settings.limitsHit, c.hit);
  }
}

TEST_F(LimitsWalkTest, MembersAReaderCouldNotDeliverMakeTheScanIncomplete) {
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"one.txt", "1"}, {"<undelivered>", "lost"}, {"two.txt", "2"}}));
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  EXPECT_EQ(extracted().size(), 2u);
  EXPECT_EQ(settings.limitsHit, static_cast<uint32_t>(NX_SCAN_LIMIT_INCOMPLETE));
}

TEST_F(LimitsWalkTest, SettingsWithoutTheLimitFieldsAreWalkedAsBefore) {
  // A session layer from before the limits: its record ends at `context`.
  dev.writeFile("Temp/a.cab", archive(Kind::Cab, {{"<undelivered>", "lost"}, {"one.txt", "1"}}));
  settings.size = static_cast<uint16_t>(offsetof(ScanSettings, limitBytes));
  settings.limitFiles = 1;
  EXPECT_EQ(scan(u"\\Temp\\a.cab"), NX_ENGINE_CLEAN);
  EXPECT_EQ(extracted().size(), 1u);
  EXPECT_TRUE(journal("limits").empty()) << "the readers keep their own defaults";
  EXPECT_EQ(settings.limitsHit, 0u);
}

}  // namespace
