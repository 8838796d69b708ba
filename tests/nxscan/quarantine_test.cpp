// nxscan --action=quarantine into the device's store, nxdevice quarantine
// list and restore, and the card scan the guard starts (scanner.exe), all
// as real processes over a device with the image installed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "ce/screen.h"
#include "common/options_files.h"
#include "common/quarantine_store.h"
#include "common/report_index.h"
#include "testkit.h"

namespace {

namespace fs = std::filesystem;

const std::u16string kDir = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";

struct Result {
  int code = -1;
  std::string out, err;
};

std::string bin(const std::string& name) { return std::string(NX_BUILD_DIR) + "/bin/" + name; }

Result run(const std::string& cmd) {
  nxtest::TempDir tmp;
  std::string errFile = tmp.path() + "/err";
  Result r;
  FILE* p = popen((cmd + " 2>" + errFile).c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream e(errFile);
  std::stringstream ss;
  ss << e.rdbuf();
  r.err = ss.str();
  return r;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string swapped(std::string s) {
  for (char& c : s) c = static_cast<char>((static_cast<uint8_t>(c) << 4) | (static_cast<uint8_t>(c) >> 4));
  return s;
}

std::string utf16le(const std::string& bytes) {
  std::u16string s;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    s.push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) | (static_cast<uint8_t>(bytes[i + 1]) << 8)));
  return ce::utf16ToUtf8(s);
}

// Characters of a host path as the device names it ("\\Host" + the path).
size_t devicePathChars(const std::string& host) { return ce::utf8ToUtf16("\\Host" + host).size(); }

class QuarantineTools : public ::testing::Test {
 public:
  // A fast device clock: each copy name waits a device second.
  QuarantineTools() : dev_(100.0) {}
  void SetUp() override {
    root_ = dev_.root();
    install_ = root_ + "/Program Files/Nyxel/Nyxel AntiVirus";
    Result r = run(bin("nxdevice") + " --device-root " + root_ + " install " + std::string(NX_BUILD_DIR) + "/image/");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    files_ = work_.path() + "/files";
    fs::create_directories(files_ + "/sub");
    for (const char* f : {"eicar.com", "nyxel-demo.exe", "readme.txt", "demo.cab"}) {
      fs::copy_file(std::string(NX_SOURCE_DIR) + "/samples/" + f, files_ + "/" + f);
      original_[f] = slurp(files_ + "/" + f);
    }
    fs::copy_file(files_ + "/eicar.com", files_ + "/sub/nested eicar.txt");
  }
  Result nxscan(const std::string& args) { return run(bin("nxscan") + " --device-root " + root_ + " " + args); }
  Result nxdevice(const std::string& args) { return run(bin("nxdevice") + " --device-root " + root_ + " " + args); }
  std::vector<nx::QuarantineRecord> records() {
    std::vector<nx::QuarantineRecord> all;
    nx::QuarantineStore store(kDir.c_str());
    EXPECT_TRUE(store.ReadAll(&all));
    return all;
  }
  // The card scan as the guard starts it: the handset's command line, the
  // device named by the environment alone.
  // The folder's words arrive as separate arguments, as the handset splits
  // its command line at blanks.
  Result cardScan(const std::string& folder = "\\Storage Card") {
    std::string args;
    std::istringstream words(folder);
    for (std::string w; words >> w;) args += " '" + w + "'";
    return run("NX_DEVICE_ROOT=" + root_ + " " + std::string(NX_BUILD_DIR) + "/image/scanner.exe ExpansionCardInserted" +
               args);
  }
  void setScanOptions(int what, int action) {
    nx::WM_SCAN_OPTS o{};
    o.bWhatToScan = static_cast<ce::BYTE>(what);
    o.bAction = static_cast<ce::BYTE>(action);
    o.bScannerFlag = 1;
    ASSERT_TRUE(nx::CWmOptionsGen::WriteScanOpts(kDir.c_str(), &o, 0));
  }

  nxtest::TempDevice dev_;
  nxtest::TempDir work_;
  std::string root_, install_, files_;
  std::map<std::string, std::string> original_;
};

TEST_F(QuarantineTools, ScanMovesThreatsIntoTheStoreAndRestoreBringsThemBack) {
  Result r = nxscan("--no-summary -j2 " + files_);
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  r = nxscan("--no-summary -j2 --action=quarantine " + files_);
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_NE(r.out.find(files_ + "/eicar.com: EICAR Test File FOUND (quarantined)"), std::string::npos) << r.out;
  for (const char* gone : {"eicar.com", "nyxel-demo.exe", "demo.cab", "sub/nested eicar.txt"})
    EXPECT_FALSE(fs::exists(files_ + "/" + gone)) << gone;
  EXPECT_TRUE(fs::exists(files_ + "/readme.txt"));

  std::vector<nx::QuarantineRecord> all = records();
  ASSERT_EQ(all.size(), 4u);
  std::set<std::u16string> copies;
  for (const auto& rec : all) {
    EXPECT_EQ(rec.kind, nx::kQuarantineMove);
    copies.insert(rec.stored);
    std::string src = ce::utf16ToUtf8(rec.source);
    ASSERT_EQ(src.rfind("\\Host", 0), 0u) << src;
    std::string host = src.substr(5);
    for (char& c : host)
      if (c == '\\') c = '/';
    std::string name = fs::path(host).filename().string();
    std::string stored = ce::utf16ToUtf8(rec.stored).substr(1);
    for (char& c : stored)
      if (c == '\\') c = '/';
    std::string expect = name == "nested eicar.txt" ? original_["eicar.com"] : original_[name];
    EXPECT_EQ(slurp(root_ + "/" + stored), swapped(expect)) << name;
    if (name == "eicar.com") {
      EXPECT_EQ(std::u16string(rec.threat), u"EICAR Test File");
    }
  }
  EXPECT_EQ(copies.size(), 4u);

  // The listing, as text and as JSON.
  r = nxdevice("quarantine list");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("EICAR Test File"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("moved"), std::string::npos) << r.out;
  r = nxdevice("quarantine list --json");
  ASSERT_EQ(r.code, 0) << r.err;
  nlohmann::json list = nlohmann::json::parse(r.out);
  ASSERT_EQ(list.size(), 4u);
  int eicar = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list[i]["number"], i + 1);
    EXPECT_EQ(list[i]["kind"], 7);
    EXPECT_EQ(list[i]["source"], ce::utf16ToUtf8(all[i].source));
    EXPECT_EQ(list[i]["quarantined"], ce::utf16ToUtf8(all[i].stored));
    EXPECT_EQ(list[i]["time"].get<std::string>().size(), 19u);
    if (list[i]["source"].get<std::string>().ends_with("\\eicar.com")) eicar = static_cast<int>(i + 1);
  }
  ASSERT_GT(eicar, 0);

  // Back to where it came from; then never over a file that is there.
  r = nxdevice("quarantine restore " + std::to_string(eicar));
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(slurp(files_ + "/eicar.com"), original_["eicar.com"]);
  EXPECT_EQ(records().size(), 3u);
  fs::remove(files_ + "/readme.txt");
  std::ofstream(files_ + "/nyxel-demo.exe") << "a new file of the user's";
  int demo = 0;
  all = records();
  for (size_t i = 0; i < all.size(); ++i)
    if (std::u16string(all[i].source).ends_with(u"\\nyxel-demo.exe")) demo = static_cast<int>(i + 1);
  ASSERT_GT(demo, 0);
  r = nxdevice("quarantine restore " + std::to_string(demo));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(files_ + "/nyxel-demo.exe"), "a new file of the user's");
  EXPECT_EQ(records().size(), 3u) << "the record stays";
  r = nxdevice("quarantine restore " + std::to_string(demo) + " --to " + work_.path() + "/elsewhere.exe");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(slurp(work_.path() + "/elsewhere.exe"), original_["nyxel-demo.exe"]);
  ASSERT_EQ(records().size(), 2u);
  r = nxdevice("quarantine restore 1 --to " + files_ + "/nyxel-demo.exe --force");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(slurp(files_ + "/nyxel-demo.exe"), "a new file of the user's");

  for (const char* bad : {"quarantine restore 0", "quarantine restore 9", "quarantine restore"}) {
    r = nxdevice(bad);
    EXPECT_NE(r.code, 0) << bad;
    EXPECT_FALSE(r.err.empty()) << bad;
  }
}

TEST_F(QuarantineTools, AStoreThatCannotTakeTheFileIsAnError) {
  fs::remove_all(install_ + "/Quarantine");
  std::ofstream(install_ + "/Quarantine") << "a file, not a folder";
  Result r = nxscan("--no-summary --action=quarantine " + files_ + "/eicar.com");
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_NE(r.out.find("(quarantine-failed)"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("the quarantine folder is a file"), std::string::npos) << r.err;
  EXPECT_EQ(slurp(files_ + "/eicar.com"), original_["eicar.com"]);

  // A damaged database is named as such by the listing.
  fs::remove(install_ + "/Quarantine");
  fs::create_directories(install_ + "/Quarantine");
  std::ofstream(install_ + "/Quarantine/wmquardb.dat") << "damaged";
  r = nxdevice("quarantine list");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  r = nxdevice("quarantine list --json");
  EXPECT_EQ(r.code, 1);
  // Quarantining still works: the damaged database is set aside.
  r = nxscan("--no-summary --action=quarantine " + files_ + "/eicar.com");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(slurp(install_ + "/Quarantine/wmquardb1.bad"), "damaged");
  r = nxdevice("quarantine list");
  EXPECT_EQ(r.code, 0) << r.err;
}

// Device paths ("\\Host" + the host path) past what a record holds (255
// characters): the file stays where it is, untouched, and the run is an
// error; past what the device's file calls take (259) the file cannot be
// opened at all, which is an error too, never "clean".
TEST_F(QuarantineTools, PathsTheStoreCannotHold) {
  struct Case {
    size_t deviceChars;
    const char* shown;
    const char* why;
  } cases[] = {{255, "(quarantined)", ""},
               {256, "(quarantine-failed)", "longer than the quarantine's 255 characters"},
               {259, "(quarantine-failed)", "longer than the quarantine's 255 characters"},
               {260, ": ERROR", "longer than the device's 259 characters"},
               {700, ": ERROR", "longer than the device's 259 characters"},
               {1024, ": ERROR", "longer than the handset's 1023 characters"}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.deviceChars);
    // "\\Host" + folder + "/" + a name of 6 + a filler name making up the rest.
    std::string dir = work_.path() + "/long";
    fs::remove_all(dir);
    size_t fixed = 5 + dir.size() + 1 + 10;  // "\\Host", dir, "/", "eicar.com" and its "/"
    ASSERT_GT(k.deviceChars, fixed + 2);
    std::string rest(k.deviceChars - fixed, 'd');
    for (size_t i = 200; i < rest.size(); i += 201) rest[i] = '/';  // host names stay under 255
    if (rest.back() == '/') rest.back() = 'e';
    std::string file = dir + "/" + rest + "/eicar.com";
    ASSERT_EQ(devicePathChars(file), k.deviceChars);
    fs::create_directories(fs::path(file).parent_path());
    fs::copy_file(files_ + "/eicar.com", file);
    Result r = nxscan("--no-summary --action=quarantine " + file);
    const bool moved = std::string(k.shown) == "(quarantined)";
    EXPECT_EQ(r.code, moved ? 1 : 2) << r.out << r.err;
    EXPECT_NE(r.out.find(k.shown), std::string::npos) << r.out;
    EXPECT_EQ(fs::exists(file), !moved);
    if (!moved) {
      EXPECT_EQ(slurp(file), original_["eicar.com"]);
      EXPECT_NE(r.err.find(k.why), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(records().size(), 1u);
}

TEST_F(QuarantineTools, AnEmptyStoreLists) {
  Result r = nxdevice("quarantine list");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "the quarantine is empty\n");
  r = nxdevice("quarantine list --json");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out), nlohmann::json::array());
}

// The card scan by the on-demand settings: what is scanned (byte 0) and what
// is done (byte 1), the report of kind 1 with its index, and the outcome box.
TEST_F(QuarantineTools, TheCardScanFollowsTheOnDemandSettings) {
  nxtest::TempDir card;
  struct Case {
    int what, action;
    const char* word;     // action word in the report
    bool threatsStay;     // eicar.com and Apps/nyxel-demo.exe, neither repairable
    int recordsAfter;     // quarantine records
    int scanned;
  } cases[] = {
      {1, 1, "Quarantined", false, 2, 2},  // executables only: eicar.com and Apps/nyxel-demo.exe
      {2, 0, "Deleted", false, 0, 4},      // all files: readme.txt and notes/eicar.txt too
      {1, 2, "Deleted", false, 0, 2},
      {1, 4, "Skipped", true, 0, 2},
  };
  int run = 0;
  for (const Case& k : cases) {
    SCOPED_TRACE("what " + std::to_string(k.what) + " action " + std::to_string(k.action));
    fs::remove_all(card.path());
    fs::create_directories(card.path() + "/Apps");
    fs::create_directories(card.path() + "/notes");
    fs::copy_file(files_ + "/eicar.com", card.path() + "/eicar.com");
    fs::copy_file(files_ + "/readme.txt", card.path() + "/readme.txt");
    fs::copy_file(files_ + "/nyxel-demo.exe", card.path() + "/Apps/nyxel-demo.exe");
    fs::copy_file(files_ + "/eicar.com", card.path() + "/notes/eicar.txt");
    ASSERT_TRUE(ce::InsertStorageCard(card.path()));
    fs::remove_all(install_ + "/Quarantine");
    fs::create_directories(install_ + "/Quarantine");
    setScanOptions(k.what, k.action);
    uint64_t journalFrom = fs::exists(ce::screen::JournalPath()) ? fs::file_size(ce::screen::JournalPath()) : 0;

    Result r = cardScan();
    EXPECT_EQ(r.code, 1) << r.out << r.err;  // a threat was found, whatever was done
    ++run;
    EXPECT_EQ(fs::exists(card.path() + "/eicar.com"), k.threatsStay);
    EXPECT_EQ(fs::exists(card.path() + "/Apps/nyxel-demo.exe"), k.threatsStay);
    EXPECT_TRUE(fs::exists(card.path() + "/readme.txt"));
    EXPECT_EQ(fs::exists(card.path() + "/notes/eicar.txt"), k.what == 1 || k.action == 4) << "left out, or only reported";
    ASSERT_EQ(static_cast<int>(records().size()), k.recordsAfter);
    std::set<std::u16string> sources;
    for (const auto& rec : records()) sources.insert(rec.source);
    if (k.recordsAfter) {
      EXPECT_EQ(sources, (std::set<std::u16string>{u"\\Storage Card\\eicar.com", u"\\Storage Card\\Apps\\nyxel-demo.exe"}));
    }

    // The index lists one more scan report, titled with the card's folder.
    std::vector<nx::IndexEntry> entries;
    ce::DWORD st = nx::readIndex((kDir + u"\\scan.dat").c_str(), nx::kReportScan,
                                 [&](const nx::IndexEntry& e) { entries.push_back(e); });
    ASSERT_EQ(st, nx::kIndexOk);
    ASSERT_EQ(static_cast<int>(entries.size()), run);
    EXPECT_EQ(entries.back().title, u"\\Storage Card");
    std::string rpt = entries.back().path.substr(1);
    for (char& c : rpt)
      if (c == '\\') c = '/';
    EXPECT_NE(fs::path(rpt).filename().string().rfind("scn", 0), std::string::npos);
    std::string text = utf16le(slurp(root_ + "/" + rpt));
    EXPECT_NE(text.find("Report For: \\Storage Card \r\n"), std::string::npos) << text;
    EXPECT_NE(text.find(k.what == 2 ? "What item to scan: Scan all files" : "What item to scan: Scan executable files."),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("File Name: \\Storage Card\\eicar.com\r\nDetected: EICAR Test File\r\nAction Taken: " +
                        std::string(k.word)),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Files scanned: " + std::to_string(k.scanned) + "\r\n"), std::string::npos) << text;

    // The outcome, shown in a message box.
    EXPECT_NE(r.out.find("Scan of \\Storage Card finished."), std::string::npos) << r.out;
    uint64_t next = 0, skipped = 0;
    bool shown = false;
    for (const std::string& line : ce::screen::ReadJournal(journalFrom, &next, &skipped)) {
      auto j = nlohmann::json::parse(line);
      if (j.value("caption", "") == "Nyxel" && j.value("text", "").find("Scan of \\Storage Card finished.") == 0)
        shown = true;
    }
    EXPECT_TRUE(shown);
    ce::RemoveStorageCard();
  }
}

TEST_F(QuarantineTools, ACardScanWithoutACard) {
  Result r = cardScan();
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("is not there"), std::string::npos) << r.err;
  r = cardScan("\\No Such Card");
  EXPECT_EQ(r.code, 2);
}

}  // namespace
