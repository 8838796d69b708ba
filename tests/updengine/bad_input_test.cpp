// Hostile and damaged update sources: a damaged source list, index files
// cut short or naming paths, odd package heads, archives whose members
// name places outside the staging folder, servers that never stop, stall
// or redirect elsewhere. Each ends with its stated result; nothing outside
// the installation changes, nothing is installed.
#include <set>

#include "net_servers.h"
#include "package_maker.h"
#include "update_bed.h"

namespace updtest {
namespace {

class BadInput : public UpdateBed {
 protected:
  // Every file of the device outside the installation's report, log and
  // settings, with its size: what an update may never touch when it fails.
  std::set<std::string> deviceFiles() {
    std::set<std::string> all;
    for (auto& e : fs::recursive_directory_iterator(dev.root())) {
      const std::string p = e.path().string().substr(dev.root().size());
      if (p.rfind("/.ce", 0) == 0 || p.find("/Report") != std::string::npos || p.find("/Log") != std::string::npos ||
          p.find("/Config") != std::string::npos || p.find("/Upgrade") != std::string::npos || p.rfind("/Updates", 0) == 0 || p.find("update.dat") != std::string::npos)
        continue;
      all.insert(p + (e.is_regular_file() ? ":" + std::to_string(e.file_size()) : "/"));
    }
    return all;
  }

  // A local folder holding exactly these server files.
  void serve(const std::string& indexDat, const std::vector<std::pair<std::string, std::string>>& packages) {
    fs::remove_all(localServer());
    spit(localServer() + "/index.bin", std::string("\x05", 1));
    spit(localServer() + "/index.dat", indexDat);
    for (const auto& [n, b] : packages) spit(localServer() + "/" + n, b);
    useLocalFolder();
  }

  // Runs the update and checks that it ended with `code` in the report and
  // left the device as it was.
  void expectRefused(const char* reportText, int progress) {
    const auto before = deviceFiles();
    const size_t reportsBefore = reports().size();
    auto r = nxupdate();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(codes(r.out), progress)) << r.out;
    Report rep = lastReport(reportsBefore);
    EXPECT_NE(rep.text.find(reportText), std::string::npos) << rep.text;
    EXPECT_EQ(deviceFiles(), before) << "the update changed files";
    EXPECT_TRUE(folderEmpty("Upgrade"));
    EXPECT_TRUE(folderEmpty("temp"));
  }
};

constexpr const char* kCorrupt = "The update definition file is corrupt.";

TEST_F(BadInput, DamagedSourceListCannotStart) {
  nxtest::HttpServer http(work.path(), work.path());
  useInternet({http.url()});
  const std::string good = installed("httpdn.dat");
  std::string flipped = good;
  flipped[100] ^= 0x10;
  for (const std::string& bytes : {flipped, good.substr(0, good.size() - 700), good.substr(0, 3), std::string()}) {
    SCOPED_TRACE(bytes.size());
    spit(installHost + "/httpdn.dat", bytes);
    expectRefused("Unable to update Nyxel. Please check your settings and try again.", 1010);
  }
  // A section count beyond the file: the count (not swapped) said 200.
  std::string counted = good;
  counted[4] = static_cast<char>(200);
  spit(installHost + "/httpdn.dat", counted);
  expectRefused("Unable to update Nyxel.", 1010);
  EXPECT_TRUE(http.requests().empty());
}

TEST_F(BadInput, IndexCutShortOrNamingPathsIsCorrupt) {
  const std::string pkg = packageOf(arjStored({{"scanver.cnf", versionRecord(1, 0, 11)}, {"latest.inx", "ok"}}));
  const std::string index = indexOf({{100, 1, "nx100001.pkg", 7}});
  struct Case {
    const char* what;
    std::string index;
  } cases[] = {
      {"cut inside the head", index.substr(0, 5)},
      {"cut inside the entry (sum of what is left wrong)", index.substr(0, 40)},
      {"no entries", indexOf({})},
      {"wrong byte sum", indexOf({{100, 1, "nx100001.pkg", 7}}, nx::upd::kFamilyPackage, 12345)},
      {"a name climbing out", indexOf({{100, 1, "..\\..\\..\\evil.pkg", 7}})},
      {"an absolute name", indexOf({{100, 1, "\\Windows\\evil.pkg", 7}})},
      {"a name with a drive", indexOf({{100, 1, "C:evil.pkg", 7}})},
      {"a name with a folder", indexOf({{100, 1, "sub/evil.pkg", 7}})},
      {"an empty name", indexOf({{100, 1, "", 7}})},
      {"a name without a terminator", indexOf({{100, 1, std::string(50, 'a'), 7}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    serve(c.index, {{"nx100001.pkg", pkg}, {"evil.pkg", pkg}});
    expectRefused(kCorrupt, 1015);
  }
  EXPECT_FALSE(fs::exists(dev.host("Program Files/evil.pkg")));
  EXPECT_FALSE(fs::exists(dev.host("Windows/evil.pkg")));
  // The same package under a sound index installs: the refusals above were the index's.
  serve(index, {{"nx100001.pkg", pkg}});
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "ok");
}

TEST_F(BadInput, PackageHeadsThatLieOrAreCutShort) {
  const std::string arj = arjStored({{"scanver.cnf", versionRecord(1, 0, 11)}, {"latest.inx", "head"}});
  const std::string index = indexOf({{100, 1, "nx100001.pkg", 7}});
  std::string badCheck = packageOf(arj);
  badCheck[4] ^= 1;
  std::string flippedBody = packageOf(arj);
  flippedBody[200] ^= 0x40;
  // Refused as corrupt: the check value, the kind, a body shorter than its
  // scrambled start, a body that is not an archive.
  for (const auto& [what, pkg] : std::vector<std::pair<std::string, std::string>>{
           {"check value", badCheck},
           {"a changed byte", flippedBody},
           {"kind", packageOf(arj, nx::upd::kFamilyIndexAlt)},  // a family the fetch accepts, no kind to unpack
           {"short body", packageOf(arj.substr(0, 60))},
           {"not an archive", packageOf(std::string(4096, 'A'))},
       }) {
    SCOPED_TRACE(what);
    serve(index, {{"nx100001.pkg", pkg}});
    expectRefused(kCorrupt, 1015);
  }
  // Not for this platform: the head's byte 12, or a file shorter than a head.
  for (const auto& pkg : {packageOf(arj, nx::upd::kKindPackage, 6), packageOf(arj).substr(0, 20)}) {
    serve(index, {{"nx100001.pkg", pkg}});
    expectRefused("The definition file is not applicable for Nyxel AntiVirus for Windows Mobile.", 1016);
  }
  // The head's length is the server's and is never trusted: a huge one changes nothing.
  serve(index, {{"nx100001.pkg", packageOf(arj, nx::upd::kKindPackage, 7, 0xFFFFFFF0u)}});
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "head");
}

TEST_F(BadInput, MembersNamingPlacesOutsideTheStagingFolderAreRefused) {
  const std::string version = versionRecord(1, 0, 11);
  const std::string index = indexOf({{100, 1, "nx100001.pkg", 7}});
  const std::vector<std::string> names{
      "..\\evil.inx",         "..\\..\\..\\..\\Windows\\evil.dll", "\\Windows\\evil.dll", "C:\\evil.inx",
      "sub\\evil.inx",        "../evil.inx",                       "/evil.inx",          std::string(300, 'n') + ".inx",
      "files.arj",            "index.dat",                         "evil?.inx",
  };
  for (const auto& name : names) {
    SCOPED_TRACE(name.substr(0, 40));
    serve(index, {{"nx100001.pkg", packageOf(arjStored({{"scanver.cnf", version}, {name, "evil"}}))}});
    expectRefused(kCorrupt, 1015);
  }
  EXPECT_FALSE(fs::exists(dev.host("Windows/evil.dll")));
  EXPECT_FALSE(fs::exists(dev.host("Program Files/Nyxel/evil.inx")));
  // Upper case is the packager's; the staged file is lower-cased.
  serve(index, {{"nx100001.pkg", packageOf(arjStored({{"SCANVER.CNF", version}, {"Latest.INX", "fine"}}))}});
  auto r = nxupdate();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(installed("latest.inx"), "fine");
  EXPECT_TRUE(fs::exists(installHost + "/latest.inx")) << "the name as staged";
}

TEST_F(BadInput, EndlessStalledAndRedirectedServersEndAsNoConnection) {
  pack(fileSet("db", versionRecord(1, 0, 11), {{"latest.inx", "x"}}), work.path() + "/www");
  nxtest::HttpServer http(work.path() + "/www", work.path());
  ASSERT_TRUE(http.running());
  // Small bounds in device time: a minute without a byte, 256 KiB in all.
  ce::SetDownloadLimits({256 << 10, 60000, 3600u * 1000u});
  for (const char* prefix : {"endless/", "stall/", "redirect=file/", "redirect=ftp/", "redirect=loop/", "status=500/"}) {
    SCOPED_TRACE(prefix);
    useInternet({http.url(prefix)});
    const auto started = std::chrono::steady_clock::now();
    expectRefused("Unable to connect to Internet Center.", 1011);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
  }
}

}  // namespace
}  // namespace updtest
