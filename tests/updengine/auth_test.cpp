// Update authentication: a device that holds a public key installs only
// updates whose index.sig nxpack signed with the matching private key, over
// the index and every package it fetched; a device without a key takes
// signed and unsigned updates alike.
#include "net_servers.h"
#include "update_bed.h"

namespace updtest {
namespace {

class Authentication : public UpdateBed {
 protected:
  std::string keys(const std::string& name) {
    const std::string dir = work.path() + "/" + name;
    auto r = Program::run({tool("nxpack"), "keygen", "-o", dir}, {{}, false, -1, true});
    EXPECT_EQ(r.status, 0) << r.out;
    return dir;
  }
  void holdKey(const std::string& dir) {
    auto r = Program::run({tool("nxdevice"), "--device-root", dev.root(), "install", "--force", "--update-key",
                           dir + "/update.pub"},
                          {{}, false, -1, true});
    ASSERT_EQ(r.status, 0) << r.out;
  }
  std::string set(int day) {
    return fileSet("db" + std::to_string(day), versionRecord(1, 0, day), {{"latest.inx", "day " + std::to_string(day)}});
  }
  void expectCorruptAndNothingInstalled(const std::string& why) {
    SCOPED_TRACE(why);
    const size_t before = reports().size();
    const std::string version = installed("scanver.cnf");
    auto r = nxupdate();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(codes(r.out), 1015)) << r.out;
    EXPECT_FALSE(has(codes(r.out), 1011)) << "a missing signature is no connection problem";
    EXPECT_NE(lastReport(before).text.find("The update definition file is corrupt."), std::string::npos);
    EXPECT_EQ(installed("scanver.cnf"), version);
    EXPECT_TRUE(folderEmpty("Upgrade"));
  }
};

TEST_F(Authentication, DeviceWithoutAKeyTakesSignedAndUnsignedUpdates) {
  const std::string k = keys("k1");
  pack(set(11), localServer(), {"--sign", k + "/update.key"});
  useLocalFolder();
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "day 11");
  pack(set(12), localServer("plain"), {"--sequence", "2", "--revision", "9"});
  useLocalFolder(u"\\Updates\\plain");
  r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "day 12");
}

TEST_F(Authentication, DeviceWithAKeyInstallsOnlyWhatThatKeySigned) {
  const std::string mine = keys("mine"), other = keys("other");
  holdKey(mine);
  useLocalFolder();

  pack(set(11), localServer());
  expectCorruptAndNothingInstalled("no signature");
  fs::remove_all(localServer());
  pack(set(11), localServer(), {"--sign", other + "/update.key"});
  expectCorruptAndNothingInstalled("signed with another key");

  fs::remove_all(localServer());
  pack(set(11), localServer(), {"--sign", mine + "/update.key"});
  // A package swapped for another sound one of the same name.
  const std::string pkg = localServer() + "/nx100001.pkg";
  const std::string signedPackage = slurp(pkg);
  pack(set(13), localServer("swap"));
  spit(pkg, slurp(localServer("swap") + "/nx100001.pkg"));
  expectCorruptAndNothingInstalled("a package the signature does not name");
  // An index changed after signing.
  spit(pkg, signedPackage);
  const std::string index = slurp(localServer() + "/index.dat");
  std::string changed = index;
  changed[8 + 60 + 1] = 1;  // a byte of the entry the handset does not read, the sum kept
  changed[8 + 60 + 2] = static_cast<char>(changed[8 + 60 + 2] - 1);
  spit(localServer() + "/index.dat", changed);
  expectCorruptAndNothingInstalled("an index changed after signing");

  spit(localServer() + "/index.dat", index);
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "day 11");
}

TEST_F(Authentication, SignatureMissingOnTheServerIsCorruptOverHttpToo) {
  const std::string mine = keys("mine");
  holdKey(mine);
  const std::string www = work.path() + "/www";
  pack(set(11), www);
  nxtest::HttpServer http(www, work.path());
  useInternet({http.url()});
  expectCorruptAndNothingInstalled("no index.sig on the server");
  fs::remove_all(www);
  pack(set(11), www, {"--sign", mine + "/update.key"});
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "day 11");
}

}  // namespace
}  // namespace updtest
