// The next update time: local time at the cycle's start plus the interval of
// the source the options name.
#include <gtest/gtest.h>

#include "ce/ce.h"
#include "updsvc/schedule.h"

namespace {

using nx::updsvc::IntervalValues;

ce::SYSTEMTIME at(int y, int mo, int d, int h, int mi, int s = 0, int ms = 0) {
  ce::SYSTEMTIME t{};
  t.wYear = static_cast<ce::WORD>(y);
  t.wMonth = static_cast<ce::WORD>(mo);
  t.wDay = static_cast<ce::WORD>(d);
  t.wHour = static_cast<ce::WORD>(h);
  t.wMinute = static_cast<ce::WORD>(mi);
  t.wSecond = static_cast<ce::WORD>(s);
  t.wMilliseconds = static_cast<ce::WORD>(ms);
  return t;
}

int64_t ticks(const ce::SYSTEMTIME& t) {
  ce::FILETIME ft;
  EXPECT_TRUE(ce::SystemTimeToFileTime(&t, &ft));
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

TEST(Schedule, TheSourcePicksTheInterval) {
  IntervalValues v;
  v.internetMinutes = 30;
  v.localMinutes = 5;
  struct Case {
    int source;
    uint16_t want;
  } cases[] = {{0, 30}, {1, 5}, {2, 0}, {255, 0}};
  for (const auto& c : cases) {
    nx::WM_UPDATE_OPTS o{};
    o.bSource = static_cast<ce::BYTE>(c.source);
    o.bAutoUpdate = 1;
    EXPECT_EQ(nx::updsvc::scheduleInterval(o, v), c.want) << "source " << c.source;
  }
}

TEST(Schedule, TheDueTimeIsNowPlusTheIntervalInMinutes) {
  struct Case {
    const char* name;
    ce::SYSTEMTIME now;
    uint16_t minutes;
    ce::SYSTEMTIME want;
  } cases[] = {
      {"half an hour", at(2026, 12, 11, 10, 15, 42, 250), 30, at(2026, 12, 11, 10, 45, 42, 250)},
      {"a day, into the next year", at(2026, 12, 31, 23, 30), 1440, at(2027, 1, 1, 23, 30)},
      {"one minute over midnight", at(2027, 2, 28, 23, 59, 30), 1, at(2027, 3, 1, 0, 0, 30)},
      {"leap day", at(2028, 2, 28, 12, 0), 1440, at(2028, 2, 29, 12, 0)},
      {"the largest interval", at(2026, 1, 1, 0, 0), 65535, at(2026, 2, 15, 12, 15)},
  };
  for (const auto& c : cases) {
    ce::SYSTEMTIME due{};
    ASSERT_TRUE(nx::updsvc::nextUpdateTime(c.now, c.minutes, &due)) << c.name;
    EXPECT_EQ(ticks(due) - ticks(c.now), int64_t{c.minutes} * 600000000) << c.name;
    EXPECT_EQ(ticks(due), ticks(c.want)) << c.name;
    EXPECT_EQ(due.wDay, c.want.wDay) << c.name;
  }
}

TEST(Schedule, NoIntervalGivesNoTime) {
  ce::SYSTEMTIME due = at(2000, 1, 1, 0, 0);
  EXPECT_FALSE(nx::updsvc::nextUpdateTime(at(2026, 12, 11, 10, 0), 0, &due));
  EXPECT_EQ(due.wYear, 2000);
  EXPECT_FALSE(nx::updsvc::nextUpdateTime(at(2026, 12, 11, 10, 0), 5, nullptr));
}

}  // namespace
