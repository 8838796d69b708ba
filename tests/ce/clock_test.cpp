#include <gtest/gtest.h>

#include <chrono>

#include "ce/ce.h"
#include "testkit.h"

using namespace ce;

namespace {

uint64_t ticks(const FILETIME& ft) { return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime; }

struct TimeCase {
  SYSTEMTIME st;
  uint64_t filetime;
  WORD dayOfWeek;
};

TEST(Clock, SystemTimeFileTimeConversions) {
  const TimeCase cases[] = {
      {{1601, 1, 0, 1, 0, 0, 0, 0}, 0, 1},
      {{1970, 1, 0, 1, 0, 0, 0, 0}, 116444736000000000ull, 4},
      {{2000, 2, 0, 29, 12, 34, 56, 789}, 125963012967890000ull, 2},
      {{2026, 12, 0, 9, 23, 59, 59, 999}, 134413343999990000ull, 3},
  };
  for (const auto& c : cases) {
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    EXPECT_EQ(ticks(ft), c.filetime) << c.st.wYear;
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, c.st.wYear);
    EXPECT_EQ(back.wMonth, c.st.wMonth);
    EXPECT_EQ(back.wDay, c.st.wDay);
    EXPECT_EQ(back.wHour, c.st.wHour);
    EXPECT_EQ(back.wMinute, c.st.wMinute);
    EXPECT_EQ(back.wSecond, c.st.wSecond);
    EXPECT_EQ(back.wMilliseconds, c.st.wMilliseconds);
    EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek);
  }
  const SYSTEMTIME bad[] = {
      {2001, 2, 0, 29, 0, 0, 0, 0},  // not a leap year
      {2000, 13, 0, 1, 0, 0, 0, 0},
      {2000, 1, 0, 0, 0, 0, 0, 0},
      {2000, 1, 0, 1, 24, 0, 0, 0},
      {1600, 1, 0, 1, 0, 0, 0, 0},
  };
  for (const auto& st : bad) {
    FILETIME ft{};
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_FALSE(SystemTimeToFileTime(nullptr, nullptr));
}

TEST(Clock, SpeedFactorRunsSleepsFastAndKeepsTimeContinuous) {
  nxtest::TempDevice dev(1.0);
  FILETIME before;
  GetSystemTimeAsFileTime(&before);
  ASSERT_TRUE(SetClockSpeed(200));
  auto t0 = std::chrono::steady_clock::now();
  Sleep(2000);  // 2 device seconds: 10 host milliseconds
  auto hostMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  FILETIME after;
  GetSystemTimeAsFileTime(&after);
  EXPECT_LT(hostMs, 500);
  EXPECT_GE(ticks(after) - ticks(before), 2000u * 10000u);
  EXPECT_LT(ticks(after) - ticks(before), 200u * 10000000u);  // no jump when the speed changed
  EXPECT_FALSE(SetClockSpeed(0));
  EXPECT_FALSE(SetClockSpeed(-1));
}

TEST(Clock, AllProcessesOfADeviceAgree) {
  nxtest::TempDevice dev(1.0);
  SYSTEMTIME st{2030, 6, 0, 15, 8, 0, 0, 0};
  ASSERT_TRUE(SetSystemTime(&st));
  ASSERT_TRUE(SetClockSpeed(1000));
  auto r = nxtest::runHelper({"filetime"});
  ASSERT_EQ(r.exitCode, 0);
  FILETIME mine;
  GetSystemTimeAsFileTime(&mine);
  uint64_t theirs = std::stoull(r.out);
  FILETIME set;
  SystemTimeToFileTime(&st, &set);
  // Both clocks left 2030-06-15 08:00 at the same moment and run at the same speed.
  EXPECT_GE(theirs, ticks(set));
  EXPECT_LE(theirs, ticks(mine));
  EXPECT_LT(ticks(mine) - ticks(set), 3600ull * 10000000ull);
}

TEST(Clock, LocalTimeFollowsTheBias) {
  nxtest::TempDevice dev;
  ASSERT_TRUE(SetTimeZoneBias(-120));  // two hours east of UTC
  SYSTEMTIME utc{2025, 3, 0, 1, 23, 30, 0, 0};
  ASSERT_TRUE(SetSystemTime(&utc));
  SYSTEMTIME local;
  GetLocalTime(&local);
  EXPECT_EQ(local.wDay, 2);
  EXPECT_EQ(local.wHour, 1);
  FILETIME ft, lft, back;
  SystemTimeToFileTime(&utc, &ft);
  FileTimeToLocalFileTime(&ft, &lft);
  LocalFileTimeToFileTime(&lft, &back);
  EXPECT_EQ(ticks(back), ticks(ft));
  EXPECT_EQ(CompareFileTime(&ft, &lft), -1);
  EXPECT_FALSE(SetTimeZoneBias(24 * 60));
}

}  // namespace
