// The product's whole life on one handset, with the real programs: install
// through the setup library, boot (the boot program registers the guard and
// the scheduled update service), a file that arrives is caught, a scheduled
// update from a loopback server fires under a fast device clock and the
// guard detects with what it brought, shutdown, boot again, removal.
#include <cstring>

#include "common/crc32.h"
#include "common/nibble.h"
#include "common/options_files.h"
#include "common/options_records.h"
#include "net_servers.h"
#include "product_fixture.h"

namespace lifetest {
namespace {

// Device seconds per host second: the boot program's three minutes pass in
// three host seconds, a one-minute schedule in one.
constexpr double kSpeed = 60;

// "scanver.cnf": engine 1.00 and a database of the given day of December 2026.
std::string versionRecord(int day) {
  uint16_t v[10] = {1, 0, 2026, 12, 0, uint16_t(day), 0, 0, 0, 0};
  return std::string(reinterpret_cast<const char*>(v), sizeof v);
}

// The interval file as the image ships it, with other intervals: the head
// keeps the image's marker, the checksum is made anew.
std::string intervalFile(const std::string& shipped, uint16_t internetMinutes, uint16_t localMinutes) {
  std::string plain = shipped;
  nx::swapNibbles(plain.data(), plain.size());
  EXPECT_GE(plain.size(), 14u);
  plain.resize(std::max<size_t>(plain.size(), 14));
  std::memcpy(&plain[8], &internetMinutes, 2);
  std::memcpy(&plain[10], &localMinutes, 2);
  const uint32_t crc = nx::crc32(plain.data() + 8, plain.size() - 8);
  std::memcpy(&plain[4], &crc, 4);
  nx::swapNibbles(plain.data(), plain.size());
  return plain;
}

// The demo program with another name in its code: the shipped signatures do
// not know it, the update's table does.
std::string lifeProgram() {
  std::string program = slurp(std::string(NX_SOURCE_DIR) + "/samples/nyxel-demo.exe");
  const size_t at = program.find("NYXELDEMO");
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) program.replace(at, 9, "NYXELLIFE");
  return program;
}

class ProductLife : public ProductDevice {
 protected:
  ProductLife() : ProductDevice(kSpeed) {}

  Program::Result run(const std::vector<std::string>& argv) { return Program::run(argv, {{}, false, -1, true}); }

  // A database update on the HTTP server: the shipped PE table and one
  // record more, for the renamed program.
  void offerUpdate(const std::string& www) {
    const std::string source = work.path() + "/life.json";
    spit(source,
         R"({"pe": [{"name": "Nyxel.Demo.EntryPoint", "pattern": "0dc0a0e100d82de904b04ce24e5958454c44454d4f"},)"
         R"( {"name": "Nyxel.Life.EntryPoint", "pattern": "0dc0a0e100d82de904b04ce24e5958454c4c494645"}]})");
    auto r = run({tool("nxsig"), "build", source, "-o", work.path() + "/built"});
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string set = work.path() + "/set";
    spit(set + "/scanver.cnf", versionRecord(11));
    fs::copy_file(work.path() + "/built/sig32ce.inx", set + "/sig32ce.inx");
    r = run({tool("nxpack"), "build", set, "-o", www});
    ASSERT_EQ(r.status, 0) << r.out;
  }

  bool onlineReportNames(const std::string& what) {
    for (const auto& rep : onlineReports())
      if (contains(rep.text, what)) return true;
    return false;
  }
  bool dialogShowed(const std::string& a, const std::string& b) {
    for (const auto& t : dialogTexts())
      if (contains(t, a) && contains(t, b)) return true;
    return false;
  }
};

TEST_F(ProductLife, InstallBootCatchUpdateOnScheduleRebootAndRemove) {
  // The device as `init` makes it (with the handset's own programs).
  auto d = nxdevice({"init"});
  ASSERT_EQ(d.code, 0) << d.out;
  const std::set<std::string> pristine = tree();

  // Install through the setup library.
  d = nxdevice({"install"});
  ASSERT_EQ(d.code, 0) << d.out;

  // Scheduled updates on, from the loopback server, every minute.
  const std::string www = work.path() + "/www";
  fs::create_directories(www);
  nxtest::HttpServer http(www, work.path());
  ASSERT_TRUE(http.running());
  nx::WM_UPDATE_OPTS upd{};
  upd.bAutoUpdate = 1;
  upd.bSource = 0;
  ASSERT_TRUE(nx::CWmOptionsGen::WriteUpdateOpts(kInstall.c_str(), &upd, 0));
  auto r = run({tool("nxpack"), "sources", "--url", http.url(), "-o", installed("httpdn.dat")});
  ASSERT_EQ(r.status, 0) << r.out;
  spit(installed("upgcnf.dat"), intervalFile(slurp(installed("upgcnf.dat")), 1, 1));

  // Boot: the boot program registers both services, the update service
  // after its three (device) minutes.
  d = nxdevice({"boot"});
  ASSERT_EQ(d.code, 0) << d.out;
  EXPECT_TRUE(contains(d.out, "nxstartup.exe: ended (exit 1)")) << d.out;
  ASSERT_TRUE(waitFor([] { return serviceRunning(u"OLN0:") && serviceRunning(u"UPD0:"); })) << d.out;
  // The update at the service's start finds nothing on the server yet.
  ASSERT_TRUE(waitFor([&] { return !updateReports().empty(); }));

  // A file arrives: the guard catches it, shows it and reports it.
  hostPut("My Documents/eicar.com", kEicar);
  ASSERT_TRUE(waitFor([&] { return onlineReportNames("eicar.com"); }));
  EXPECT_TRUE(waitFor([&] { return dialogShowed("\\My Documents\\eica", "EICAR Test File"); })) << testing::PrintToString(dialogTexts());
  EXPECT_TRUE(waitFor([&] { return !fs::exists(dev.host("My Documents/eicar.com")); }));

  // The engine as shipped does not know the renamed program.
  spit(work.path() + "/life.exe", lifeProgram());
  r = run({tool("nxscan"), "--device-root", dev.root(), "--no-summary", work.path() + "/life.exe"});
  EXPECT_EQ(r.status, 0) << r.out;

  // The server gets an update; the next scheduled run installs it and the
  // guard's engine reloads with the new table.
  offerUpdate(www);
  ASSERT_TRUE(waitFor(
      [&] {
        for (const auto& rep : updateReports())
          if (rep.title == "UPDATED SUCCESSFULLY") return true;
        return false;
      },
      90000))
      << "no scheduled update installed the package";
  EXPECT_EQ(slurp(installed("scanver.cnf")), versionRecord(11));
  hostPut("My Documents/life.exe", lifeProgram());
  EXPECT_TRUE(waitFor([&] { return onlineReportNames("Nyxel.Life.EntryPoint"); }))
      << "the guard did not detect with the updated table";

  // Shutdown and boot again: the services come back.
  d = nxdevice({"shutdown"});
  ASSERT_EQ(d.code, 0) << d.out;
  EXPECT_FALSE(serviceRunning(u"OLN0:"));
  d = nxdevice({"boot"});
  ASSERT_EQ(d.code, 0) << d.out;
  EXPECT_TRUE(waitFor([] { return serviceRunning(u"OLN0:") && serviceRunning(u"UPD0:"); })) << d.out;

  // Removal: nothing of the product is left.
  d = nxdevice({"uninstall"});
  ASSERT_EQ(d.code, 0) << d.out;
  EXPECT_FALSE(serviceRunning(u"OLN0:"));
  EXPECT_FALSE(serviceRunning(u"UPD0:"));
  d = nxdevice({"shutdown"});
  EXPECT_EQ(d.code, 0) << d.out;
  std::set<std::string> now = tree();
  std::vector<std::string> added, lost;
  std::set_difference(now.begin(), now.end(), pristine.begin(), pristine.end(), std::back_inserter(added));
  std::set_difference(pristine.begin(), pristine.end(), now.begin(), now.end(), std::back_inserter(lost));
  EXPECT_TRUE(added.empty()) << "left behind: " << testing::PrintToString(added);
  EXPECT_TRUE(lost.empty()) << "removed: " << testing::PrintToString(lost);
  for (const char16_t* key : {u"Software\\Apps\\AntiVirus Nyxel", u"Services\\NXSrvOln", u"Services\\NXSrvUpd"})
    EXPECT_FALSE(keyExists(ce::HKEY_LOCAL_MACHINE, key)) << ce::utf16ToUtf8(key);
  EXPECT_FALSE(keyExists(ce::HKEY_CURRENT_USER, u"Software\\Nyxel"));
}

}  // namespace
}  // namespace lifetest
