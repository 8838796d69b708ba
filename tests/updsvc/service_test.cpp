// The update service in the device's real service host (nxservices), with the
// test engine standing in for updengine.dll (and once with the real engine):
// the first update at start, the schedule at the interval of the source, the
// options change, the pause after a cycle with nothing to schedule, and the
// service's stop during and between updates.
#include <gtest/gtest.h>

#include <sys/inotify.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "ce/ce.h"
#include "common/options_files.h"
#include "common/report_index.h"
#include "common/report_log.h"
#include "upd_fixture.h"

namespace {

using namespace updsvctest;
using Clock = std::chrono::steady_clock;

int64_t deviceLocalNow() {
  ce::SYSTEMTIME st;
  ce::GetLocalTime(&st);
  ce::FILETIME ft;
  ce::SystemTimeToFileTime(&st, &ft);
  return static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

void hostSleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// What one engine call sequence must look like: Init, UpdateNow, DeInit.
void expectWholeRuns(const std::vector<EngineLine>& log) {
  ASSERT_EQ(log.size() % 4, 0u) << "a run was cut or a call was missing";
  for (size_t i = 0; i < log.size(); i += 4) {
    EXPECT_EQ(log[i].what, "init");
    EXPECT_EQ(log[i + 1].what.rfind("run ", 0), 0u) << log[i + 1].what;
    EXPECT_EQ(log[i + 2].what.rfind("end ", 0), 0u) << log[i + 2].what;
    EXPECT_EQ(log[i + 3].what, "deinit") << "every Init is closed by DeInit";
  }
}

// The service runs an update at once, then one at every interval of the
// source, counted from the end of the previous update (when the next cycle
// starts); whatever UpdateNow answered, each run ends with DeInit.
TEST(UpdateServiceHost, RunsAtStartThenAtTheIntervalOfTheSource) {
  struct Case {
    int source;
    int minutes;  // the source's interval in the file
    char answer;  // UpdateNow's result
  } cases[] = {{0, 2, '1'}, {1, 3, '0'}};
  for (const auto& c : cases) {
    SCOPED_TRACE("source " + std::to_string(c.source));
    UpdDevice d(120.0);
    d.install();
    d.setUpdate(1, c.source);
    d.putIntervalFile(c.source == 0 ? 2 : 7, c.source == 1 ? 3 : 7);
    d.dev.writeFile("Temp/updengine_test.ret", std::string(1, c.answer));
    const std::string stored = d.intervalFile();
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitRuns(3, 60000)) << "three updates within three intervals";
    ASSERT_TRUE(d.stop());

    auto runs = d.runs();
    auto ends = d.ends();
    ASSERT_GE(runs.size(), 3u);
    EXPECT_EQ(runs[0].what, "run dir=\\Program Files\\Nyxel\\Nyxel AntiVirus callback=none context=none status=yes");
    EXPECT_EQ(ends[0].what, std::string("end ") + c.answer);
    const int64_t interval = int64_t{c.minutes} * 60 * kSecond;
    for (size_t i = 1; i < 3; ++i) {
      const int64_t gap = runs[i].time - ends[i - 1].time;
      EXPECT_GE(gap, interval - kSecond / 1000) << "update " << i << " came before its time";
      EXPECT_LE(gap, interval + 15 * kSecond) << "update " << i << " came late";
    }
    expectWholeRuns(d.engineLog());
    EXPECT_EQ(d.intervalFile(), stored) << "the schedule file is left byte for byte";
  }
}

// The options changed while the service waits: turned off, it stops (its
// schedule cancelled, no more updates, nothing read any more); changed but
// still on, it schedules again with the new source's interval at once.
TEST(UpdateServiceHost, AnOptionsChangeStopsOrReschedules) {
  {
    SCOPED_TRACE("turned off");
    UpdDevice d(60.0);
    d.install();
    d.setUpdate(1, 0);
    d.putIntervalFile(1, 1);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitRuns(1));
    hostSleepMs(200);
    d.setUpdate(0, 0);
    hostSleepMs(300);
    ce::HANDLE fired = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"NyxelUpdate");
    ASSERT_NE(fired, nullptr);
    FileEvents config(d.installHost + "/Config");
    // Three intervals of device time.
    EXPECT_EQ(ce::WaitForSingleObject(fired, 180000), ce::WAIT_TIMEOUT) << "the schedule was not cancelled";
    ce::CloseHandle(fired);
    EXPECT_EQ(d.runs().size(), 1u) << "an update ran after the options were turned off";
    EXPECT_EQ(config.count("wmupdcnf.dat", IN_OPEN), 0) << "the stopped worker still reads the options";
    const auto t0 = Clock::now();
    ASSERT_TRUE(d.stop());
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  }
  {
    SCOPED_TRACE("changed to the local folder");
    UpdDevice d(60.0);
    d.install();
    d.setUpdate(1, 0);
    d.putIntervalFile(30, 1);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitRuns(1));
    hostSleepMs(200);
    const int64_t changed = deviceLocalNow();
    d.setUpdate(1, 1);
    ASSERT_TRUE(d.waitRuns(2, 20000)) << "the new interval of a minute was not used";
    const int64_t gap = d.runs()[1].time - changed;
    EXPECT_GE(gap, 60 * kSecond - kSecond / 1000);
    EXPECT_LE(gap, 75 * kSecond);
    ASSERT_TRUE(d.stop());
  }
}

// A cycle with nothing to schedule waits about a minute of device time
// before the next (not a spin), still answers the close event at once, and
// schedules again once the cause is gone.
TEST(UpdateServiceHost, ACycleWithNothingToScheduleWaitsThenRetries) {
  enum class Cause { Damaged, Short, Missing, UnknownSource, ZeroInterval };
  struct Case {
    const char* name;
    Cause cause;
  } cases[] = {{"checksum wrong", Cause::Damaged},
               {"short file", Cause::Short},
               {"missing file", Cause::Missing},
               {"unknown source", Cause::UnknownSource},
               {"interval of 0", Cause::ZeroInterval}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdDevice d(60.0);
    d.install();
    d.setUpdate(1, c.cause == Cause::UnknownSource ? 2 : 0);
    switch (c.cause) {
      case Cause::Damaged: d.putIntervalFile(1, 1, true); break;
      case Cause::Short: d.dev.writeFile("Program Files/Nyxel/Nyxel AntiVirus/upgcnf.dat", d.intervalFile().substr(0, 9)); break;
      case Cause::Missing: std::remove((d.installHost + "/upgcnf.dat").c_str()); break;
      case Cause::UnknownSource: d.putIntervalFile(1, 1); break;
      case Cause::ZeroInterval: d.putIntervalFile(0, 1); break;
    }
    const std::string stored = d.intervalFile();
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.waitRuns(1));
    FileEvents config(d.installHost + "/Config");
    hostSleepMs(5000);  // five device minutes
    const long cycles = config.count("wmupdcnf.dat", IN_OPEN);
    EXPECT_NE(cycles, -1) << "the worker retries without end (the kernel's event queue overflowed)";
    EXPECT_GE(cycles, 3) << "the worker does not retry";
    EXPECT_LE(cycles, 9) << "the worker retries without a pause";
    EXPECT_EQ(d.runs().size(), 1u);
    EXPECT_EQ(d.intervalFile(), stored) << "the schedule file is left byte for byte";

    // The cause gone: a good file is seen at the next retry, options at once.
    switch (c.cause) {
      case Cause::Damaged:
      case Cause::Short:
      case Cause::Missing:
      case Cause::ZeroInterval: d.putIntervalFile(1, 1); break;
      case Cause::UnknownSource: d.setUpdate(1, 1); break;
    }
    EXPECT_TRUE(d.waitRuns(2, 10000)) << "no update after the cause was gone";
    const auto t0 = Clock::now();
    ASSERT_TRUE(d.stop());
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  }
}

// A close while the worker pauses ends it at once, not at the end of the pause.
TEST(UpdateServiceHost, StopDuringThePauseIsPrompt) {
  UpdDevice d(1.0);
  d.install();
  d.setUpdate(1, 0);
  d.putIntervalFile(1, 1, true);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.waitRuns(1));
  hostSleepMs(200);
  const auto t0 = Clock::now();
  ASSERT_TRUE(d.stop());
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5)) << "the pause is a minute of real time here";
}

// Deinit while an update runs waits for it to end; then the engine is closed
// and nothing else runs.
TEST(UpdateServiceHost, StopDuringAnUpdateWaitsForIt) {
  UpdDevice d(60.0);
  d.install();
  d.setUpdate(1, 0);
  d.putIntervalFile(1, 1);
  ce::HANDLE release = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"UpdTest.Release");
  ce::HANDLE holding = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"UpdTest.Holding");
  ASSERT_TRUE(release && holding);
  ASSERT_TRUE(d.start());
  ASSERT_EQ(ce::WaitForSingleObject(holding, 600000), ce::WAIT_OBJECT_0) << "the first update did not start";

  std::atomic<bool> done{false};
  bool stopped = false;
  std::thread stopper([&] {
    stopped = d.stop();
    done = true;
  });
  hostSleepMs(1000);
  EXPECT_FALSE(done.load()) << "Deinit returned while the update ran";
  EXPECT_TRUE(d.ends().empty());
  ce::SetEvent(release);
  EXPECT_TRUE(waitFor([&] { return done.load(); }, 20000)) << "Deinit did not return after the update";
  stopper.join();
  EXPECT_TRUE(stopped);
  auto log = d.engineLog();
  ASSERT_EQ(log.size(), 4u);
  expectWholeRuns(log);
  ce::CloseHandle(release);
  ce::CloseHandle(holding);
}

// Deinit between updates returns at once and leaves no schedule behind.
TEST(UpdateServiceHost, StopWhileIdleIsPromptAndCancelsTheSchedule) {
  UpdDevice d(60.0);
  d.install();
  d.setUpdate(1, 0);
  d.putIntervalFile(1, 1);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.waitRuns(1));
  hostSleepMs(200);
  const auto t0 = Clock::now();
  ASSERT_TRUE(d.stop());
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
  ce::HANDLE fired = ce::CreateEventW(nullptr, ce::TRUE, ce::FALSE, u"NyxelUpdate");
  ASSERT_NE(fired, nullptr);
  EXPECT_EQ(ce::WaitForSingleObject(fired, 180000), ce::WAIT_TIMEOUT) << "the schedule outlived the service";
  ce::CloseHandle(fired);
  EXPECT_EQ(d.runs().size(), 1u);
}

// The real engine: the update at start and the scheduled one each end in
// the engine's own report (here a local folder that does not exist).
TEST(UpdateServiceHost, TheRealEngineReportsTheUpdateAtStartAndTheScheduledOne) {
  UpdDevice d(50.0);
  d.install(false);
  d.setUpdate(1, 1, u"\\Updates\\none");
  d.putIntervalFile(1, 1);
  auto reports = [&] {
    std::vector<std::string> titles;
    nx::readIndex((d.installDev + nx::kUpdateIndexName).c_str(), nx::kReportUpdate,
                  [&](const nx::IndexEntry& e) { titles.push_back(ce::utf16ToUtf8(e.title)); });
    return titles;
  };
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(waitFor([&] { return reports().size() >= 1; }, 30000)) << "no report of the update at start";
  ASSERT_TRUE(waitFor([&] { return reports().size() >= 2; }, 30000)) << "no report of the scheduled update";
  ASSERT_TRUE(d.stop());
  for (const auto& t : reports()) EXPECT_EQ(t, "UPDATE FAILED");
}

}  // namespace
