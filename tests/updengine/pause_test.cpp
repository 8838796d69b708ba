// Steering a running update from another process: nxupdate pause, resume
// and stop set the named events the update engine watches, between its
// steps and inside a download.
#include <chrono>
#include <thread>

#include "net_servers.h"
#include "update_bed.h"

namespace updtest {
namespace {

class Steering : public UpdateBed {
 protected:
  std::string set11() { return fileSet("db", versionRecord(1, 0, 11), {{"latest.inx", "eleven"}}); }
  std::string www() { return work.path() + "/www"; }
  Program::Result steer(const std::string& how) { return nxupdate(how); }
  // Waits until nxupdate status shows the update paused.
  bool pausedSoon() {
    for (int i = 0; i < 200; ++i) {
      if (steer("status").out.find("running (paused)") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  // Waits until the server was asked for a file under the prefix.
  bool askedFor(const nxtest::HttpServer& http, const std::string& path) {
    for (int i = 0; i < 400; ++i) {
      for (const auto& r : http.requests())
        if (r == "GET " + path) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

TEST_F(Steering, StopWithoutPauseChangesNothing) {
  pack(set11(), localServer());
  useLocalFolder();
  ce::HANDLE stop = ce::CreateEventW(nullptr, ce::TRUE, ce::TRUE, u"NX_Update_Event_Stop");
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "eleven");
  ce::CloseHandle(stop);
}

TEST_F(Steering, NothingToSteerWithoutARunningUpdate) {
  for (const char* how : {"pause", "resume", "stop"}) {
    auto r = steer(how);
    EXPECT_EQ(r.status, 1) << how;
  }
  EXPECT_NE(steer("status").out.find("none running"), std::string::npos);
  EXPECT_EQ(nxupdate("sideways").status, 2) << "usage error";
}

TEST_F(Steering, PauseThenStopEndsWithTheInterruptedReport) {
  pack(set11(), localServer());
  useLocalFolder();
  // Paused before it starts: the update holds at its first check.
  ce::HANDLE pause = ce::CreateEventW(nullptr, ce::TRUE, ce::TRUE, u"NX_Update_Event_Pause");
  const size_t before = reports().size();
  Program update(nxupdateArgs());
  ASSERT_EQ(update.readLine(), "1000 update starting");
  ASSERT_TRUE(pausedSoon());
  auto s = steer("stop");
  EXPECT_EQ(s.status, 0) << s.out;
  const std::string out = update.readRest();
  EXPECT_EQ(update.wait(), 1) << out;
  Report rep = lastReport(before);
  EXPECT_EQ(rep.title, "UPDATE FAILED");
  EXPECT_NE(rep.text.find("Update interrupted by user."), std::string::npos);
  EXPECT_FALSE(installedExists("latest.inx"));
  ce::CloseHandle(pause);
}

TEST_F(Steering, PauseAndResumeInsideASlowDownload) {
  pack(set11(), www());
  nxtest::HttpServer http(www(), work.path());
  // The server sends a quarter of every file and then holds the rest.
  useInternet({http.url("gate=go/")});
  Program update(nxupdateArgs());
  ASSERT_TRUE(askedFor(http, "/gate=go/index.bin"));
  ASSERT_EQ(steer("pause").status, 0);
  ASSERT_TRUE(pausedSoon());
  http.openGate("go");
  // The rest of the body is there, and the download stays held.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_TRUE(update.running());
  EXPECT_EQ(http.requests().size(), 1u) << "nothing fetched while paused";
  ASSERT_EQ(steer("resume").status, 0);
  const std::string out = update.readRest();
  EXPECT_EQ(update.wait(), 0) << out;
  EXPECT_TRUE(has(codes(out), 1008)) << out;
  EXPECT_EQ(installed("latest.inx"), "eleven");
}

TEST_F(Steering, StopInsideADownloadAbandonsIt) {
  pack(set11(), www());
  nxtest::HttpServer http(www(), work.path());
  useInternet({http.url("gate=go/")});
  const size_t before = reports().size();
  Program update(nxupdateArgs());
  ASSERT_TRUE(askedFor(http, "/gate=go/index.bin"));
  ASSERT_EQ(steer("pause").status, 0);
  ASSERT_TRUE(pausedSoon());
  ASSERT_EQ(steer("stop").status, 0);
  const std::string out = update.readRest();
  EXPECT_EQ(update.wait(), 1) << out;
  EXPECT_EQ(codes(out), (std::vector<int>{1000, 1001, 1013})) << out;
  EXPECT_NE(lastReport(before).text.find("Update interrupted by user."), std::string::npos);
  EXPECT_FALSE(installedExists("index.bin"));
  EXPECT_TRUE(folderEmpty("temp"));
  http.openGate("go");
}

}  // namespace
}  // namespace updtest
