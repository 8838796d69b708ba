// One update from start to report, against server folders made by nxpack:
// over HTTP (the test server on loopback, tinyproxy with Basic
// authentication) and from a local folder; what is fetched, installed and
// reported, and how it ends when the source has nothing new or fails.
#include "net_servers.h"
#include "update_bed.h"

namespace updtest {
namespace {

class Flow : public UpdateBed {
 protected:
  std::string server() { return work.path() + "/www"; }
  // A database update: a changed signature table and a later database date.
  std::string databaseSet(int day, const std::string& name = "db") {
    return fileSet(name + std::to_string(day), versionRecord(1, 0, day),
                   {{"sig32ce.inx", image("sig32ce.inx")}, {"latest.inx", "quick signatures " + std::to_string(day)}});
  }
};

TEST_F(Flow, DatabaseUpdateOverHttpInstallsReportsAndCleansUp) {
  pack(databaseSet(11), server());
  nxtest::HttpServer http(server(), work.path());
  ASSERT_TRUE(http.running());
  useInternet({http.url()});
  const std::string countsBefore = installed("updttype.cfg");

  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  const auto c = codes(r.out);
  EXPECT_EQ(c, (std::vector<int>{1000, 1001, 1002, 1006, 1007, 1008})) << r.out;
  EXPECT_EQ(installed("latest.inx"), "quick signatures 11");
  EXPECT_EQ(installed("scanver.cnf"), versionRecord(1, 0, 11));
  EXPECT_EQ(installed("index.dat"), slurp(server() + "/index.dat"));
  EXPECT_EQ(installed("index.bin"), slurp(server() + "/index.bin"));
  EXPECT_TRUE(folderEmpty("temp"));
  EXPECT_TRUE(folderEmpty("Upgrade"));
  EXPECT_FALSE(installedExists("replace.jnl"));
  // A database update counts as one (the staged latest.inx comes with another table).
  const std::string counts = installed("updttype.cfg");
  ASSERT_EQ(counts.size(), 4u);
  EXPECT_EQ(uint8_t(counts[1]), uint8_t(countsBefore.size() == 4 ? countsBefore[1] : 0) + 1);
  EXPECT_EQ(counts[0], countsBefore.size() == 4 ? countsBefore[0] : 0);

  auto all = reports();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].title, "UPDATED SUCCESSFULLY");
  EXPECT_NE(all[0].text.find("Nyxel is successfully updated.\r\n\r\nFrom Version: 1.00\r\nVirus Database: 10 Dec 2026"),
            std::string::npos)
      << all[0].text;
  EXPECT_NE(all[0].text.find("Virus Database: 11 Dec 2026 [00:00:00]"), std::string::npos) << all[0].text;
  EXPECT_NE(r.out.find("UPDATED SUCCESSFULLY"), std::string::npos) << "nxupdate shows the report";
  // The log's lines: time, thread, the module tag, the function and the text.
  const auto log = dev.readUtf16Text("Program Files/Nyxel/Nyxel AntiVirus/Log/updengine.log");
  EXPECT_NE(log.find(":updengine.exe ReadDatUrls In while (iUrlLoop < nLoc)\r\n"), std::string::npos) << log;
  // No "Current Version" for a database update: only the key setup made.
  ce::HKEY k = nullptr;
  ASSERT_EQ(ce::RegOpenKeyExW(ce::HKEY_CURRENT_USER, u"Software\\Nyxel\\Nyxel AntiVirus", 0, ce::KEY_READ, &k),
            ce::ERROR_SUCCESS);
  ce::WCHAR name[64];
  ce::DWORD len = 64;
  EXPECT_EQ(ce::RegEnumKeyExW(k, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ce::ERROR_SUCCESS);
  EXPECT_EQ(ce::utf16ToUtf8(name), "1.00");
  len = 64;
  EXPECT_NE(ce::RegEnumKeyExW(k, 1, name, &len, nullptr, nullptr, nullptr, nullptr), ce::ERROR_SUCCESS);
  ce::RegCloseKey(k);

  // The engine still detects with the new tables in place.
  spit(work.path() + "/eicar.com", kEicar);
  auto s = scan(work.path() + "/eicar.com");
  EXPECT_EQ(s.status, 1) << s.out;
}

TEST_F(Flow, UpToDateByIndexBinFetchesNothingMore) {
  pack(databaseSet(11), server());
  nxtest::HttpServer http(server(), work.path());
  useInternet({http.url()});
  ASSERT_EQ(nxupdate().status, 0);
  const size_t before = reports().size();
  const size_t requests = http.requests().size();

  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(codes(r.out), (std::vector<int>{1000, 1001, 1009}));
  auto rep = lastReport(before);
  EXPECT_EQ(rep.title, "UP-TO-DATE");
  EXPECT_NE(rep.text.find("The version of Nyxel you have is up-to-date.\r\nUse Update regularly"), std::string::npos);
  auto asked = http.requests();
  ASSERT_EQ(asked.size(), requests + 1);
  EXPECT_EQ(asked.back(), "GET /index.bin") << "index.dat is not fetched";
}

TEST_F(Flow, UpToDateByIndexDatWhenEveryPackageIsInstalled) {
  pack(databaseSet(11), server());
  useLocalFolder();
  pack(databaseSet(11), localServer());
  ASSERT_EQ(nxupdate().status, 0);
  // A new revision byte, the same packages.
  std::string bin = slurp(localServer() + "/index.bin");
  bin[0] = static_cast<char>(bin[0] + 7);
  spit(localServer() + "/index.bin", bin);
  const size_t before = reports().size();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(codes(r.out), (std::vector<int>{1000, 1001, 1009}));
  EXPECT_EQ(lastReport(before).title, "UP-TO-DATE");
  EXPECT_TRUE(folderEmpty("temp"));
}

TEST_F(Flow, LocalFolderUpdateAndItsMissingFiles) {
  useLocalFolder();
  // No folder at all, then no index.dat, then no package.
  size_t before = reports().size();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(codes(r.out), (std::vector<int>{1000, 1001, 1014}));
  Report rep = lastReport(before);
  EXPECT_EQ(rep.title, "UPDATE FAILED");
  EXPECT_NE(rep.text.find("Definition files not found.\r\nPlease specify valid update path."), std::string::npos);

  pack(databaseSet(12), localServer());
  const std::string pkg = localServer() + "/nx100001.pkg";
  const std::string kept = slurp(pkg);
  fs::remove(pkg);
  before = reports().size();
  r = nxupdate();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(codes(r.out), 1014));
  EXPECT_NE(lastReport(before).text.find("Definition files not found."), std::string::npos);
  EXPECT_EQ(installed("scanver.cnf"), image("scanver.cnf"));

  spit(pkg, kept);
  r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("scanver.cnf"), versionRecord(1, 0, 12));
  EXPECT_EQ(installed("latest.inx"), "quick signatures 12");
}

TEST_F(Flow, SeveralPackagesBehindAreTakenInOneUpdateNewestWinning) {
  pack(databaseSet(11), localServer());
  pack(databaseSet(12, "second"), localServer());
  useLocalFolder();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("scanver.cnf"), versionRecord(1, 0, 12));
  EXPECT_EQ(installed("latest.inx"), "quick signatures 12");
  pack(databaseSet(13, "third"), localServer());
  r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "quick signatures 13");
}

TEST_F(Flow, SameVersionAfterUnpackingIsUpToDate) {
  // A package whose version is the installed one: fetched, unpacked, refused.
  pack(fileSet("same", image("scanver.cnf"), {{"latest.inx", "same"}}), localServer());
  useLocalFolder();
  const size_t before = reports().size();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;  // up to date
  EXPECT_EQ(codes(r.out), (std::vector<int>{1000, 1001, 1002, 1006, 1009}));
  EXPECT_EQ(lastReport(before).title, "UP-TO-DATE");
  EXPECT_FALSE(installedExists("latest.inx"));
  EXPECT_TRUE(folderEmpty("Upgrade"));
}

TEST_F(Flow, UnknownSourceFetchesNothingAndFails) {
  useSource(2);
  const size_t before = reports().size();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(codes(r.out), (std::vector<int>{1000, 1006, 1012}));
  Report rep = lastReport(before);
  EXPECT_EQ(rep.title, "UPDATE FAILED");
  EXPECT_NE(rep.text.find("Unable to update Nyxel. Please check your settings and try again."), std::string::npos);
}

TEST_F(Flow, SecondUpdateWhileOneRunsIsRefusedWithoutAReport) {
  ce::HANDLE running = ce::CreateEventW(nullptr, ce::TRUE, ce::TRUE, u"UPD_Progress_Event");
  ASSERT_NE(running, nullptr);
  const size_t before = reports().size();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(codes(r.out), (std::vector<int>{1000, 1017}));
  EXPECT_EQ(reports().size(), before);
  EXPECT_NE(r.out.find("another update is already running"), std::string::npos);
  ce::CloseHandle(running);
  // Once the other update is gone, updates run again.
  useSource(2);
  EXPECT_TRUE(has(codes(nxupdate().out), 1012));
}

TEST_F(Flow, ConnectionRefusedAndOfflineDeviceReportNoConnection) {
  pack(databaseSet(11), server());
  useInternet({"http://127.0.0.1:" + std::to_string(nxtest::closedPort()) + "/"});
  size_t before = reports().size();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(codes(r.out), (std::vector<int>{1000, 1001, 1011}));
  Report rep = lastReport(before);
  EXPECT_EQ(rep.title, "UPDATE FAILED");
  EXPECT_NE(rep.text.find("Unable to connect to Internet Center.\r\nUnable to update Nyxel. Please check your "
                          "Internet Settings and try again."),
            std::string::npos);

  nxtest::HttpServer http(server(), work.path());
  useInternet({http.url()});
  ASSERT_TRUE(ce::SetDeviceOnline(ce::FALSE));
  before = reports().size();
  r = nxupdate();
  EXPECT_TRUE(has(codes(r.out), 1011));
  EXPECT_EQ(lastReport(before).title, "UPDATE FAILED");
  EXPECT_TRUE(http.requests().empty());
  ASSERT_TRUE(ce::SetDeviceOnline(ce::TRUE));
  EXPECT_EQ(nxupdate().status, 0);
}

TEST_F(Flow, LaterLocationsListReplacesTheFirsts) {
  // Two locations: both are fetched, the second one's list is installed.
  const std::string first = work.path() + "/first", second = work.path() + "/second";
  pack(databaseSet(11), first);
  pack(databaseSet(12, "other"), second);
  fs::create_directories(work.path() + "/a");
  fs::create_directories(work.path() + "/b");
  nxtest::HttpServer a(first, work.path() + "/a"), b(second, work.path() + "/b");
  useInternet({a.url(), b.url()});
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "quick signatures 12");
  EXPECT_EQ(installed("index.dat"), slurp(second + "/index.dat"));
}

TEST_F(Flow, ProxyWithBasicAuthenticationAndWrongCredentials) {
  if (!nxtest::Proxy::available()) GTEST_SKIP() << "tinyproxy is not installed (scripts/bootstrap installs it)";
  nxtest::Proxy proxy("alice", "s3cret");
  ASSERT_TRUE(proxy.running());
  pack(databaseSet(11), server());
  nxtest::HttpServer http(server(), work.path());
  useInternet({http.url()});

  useProxy(proxy.port(), u"alice", u"guess");
  size_t before = reports().size();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(codes(r.out), (std::vector<int>{1000, 1001, 1011}));
  EXPECT_NE(lastReport(before).text.find("Unable to connect to Internet Center."), std::string::npos);
  EXPECT_TRUE(http.requests().empty()) << "the proxy let nothing through";

  useProxy(proxy.port(), u"alice", u"s3cret");
  r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "quick signatures 11");
  EXPECT_EQ(http.requests().size(), 3u);
  for (const char* f : {"/index.bin", "/index.dat", "/nx100001.pkg"})
    EXPECT_NE(proxy.log().find(f), std::string::npos) << f << " went through the proxy";
}

}  // namespace
}  // namespace updtest
