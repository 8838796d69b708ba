// nxpack verify against one kind of damage at a time. A signed folder with
// two packages (the second stored, so that its data can be changed byte for
// byte) is copied per case and damaged; where a damage would be hidden
// behind an earlier check (the package check value, the index byte sum) the
// test makes those match again, so that the check under test is the one
// that must speak.
#include <functional>

#include "arj_writer.h"
#include "pack_tools.h"
#include "server_files.h"

namespace {

using namespace packtest;

class NxPackVerify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared_ = new nxtest::TempDir;
    const fs::path root(shared_->path());
    ASSERT_EQ(runNxpack("keygen -o " + q(root / "keys"), root).exit, 0);
    for (int day : {11, 12}) {
      const fs::path in = root / ("files" + std::to_string(day));
      writeHost(in / "scanver.cnf", versionRecord(1, 0, 2026, 12, day));
      writeHost(in / "sig32ce.inx", textContent(30000, static_cast<uint32_t>(day)));
      writeHost(in / "sigwworm.inx", binaryContent(9000, static_cast<uint32_t>(day)));
      CliRun r = runNxpack("build " + q(in) + " -o " + q(root / "good") + " --url http://127.0.0.1:8080/ --sign " +
                            q(root / "keys/update.key") + (day == 12 ? " --store" : ""),
                        root);
      ASSERT_EQ(r.exit, 0) << r.err;
    }
  }
  static void TearDownTestSuite() {
    delete shared_;
    shared_ = nullptr;
  }
  static fs::path root() { return fs::path(shared_->path()); }

  // A fresh copy of the good folder.
  fs::path copy(const std::string& name) {
    const fs::path to = fs::path(tmp.path()) / name;
    fs::copy(root() / "good", to, fs::copy_options::recursive);
    return to;
  }
  CliRun verify(const fs::path& dir, bool withKey = true) {
    return runNxpack("verify " + q(dir) + (withKey ? " --key " + q(root() / "keys/update.pub") : ""), tmp.path());
  }

  nxtest::TempDir tmp;
  static nxtest::TempDir* shared_;
};
nxtest::TempDir* NxPackVerify::shared_ = nullptr;

using Change = std::function<void(const fs::path&)>;

Change edit(const std::string& file, std::function<void(Bytes&)> change) {
  return [file, change](const fs::path& dir) {
    Bytes b = readHost(dir / file);
    change(b);
    writeHost(dir / file, b);
  };
}
// index.dat with its byte sum made to match again.
Change editIndex(std::function<void(Bytes&)> change) {
  return edit("index.dat", [change](Bytes& b) {
    change(b);
    put32(b, 4, byteSum(b, 8));
  });
}
// A package changed, then its check value made to match in its head and in
// its index entry (number `entry`, from 0), so that only the deeper checks see it.
Change editPackage(const std::string& name, size_t entry, std::function<void(Bytes&)> change) {
  return [=](const fs::path& dir) {
    Bytes p = readHost(dir / name);
    change(p);
    put32(p, 8, static_cast<uint32_t>(p.size() - 51));
    put32(p, 4, checkValue(p));
    writeHost(dir / name, p);
    Bytes idx = readHost(dir / "index.dat");
    put32(idx, 8 + 70 * entry + 2, static_cast<uint32_t>(p.size()));
    put32(idx, 8 + 70 * entry + 56, le32(p, 4));
    put32(idx, 4, byteSum(idx, 8));
    writeHost(dir / "index.dat", idx);
  };
}
// A package whose body is an archive made here with other members.
Change replaceBody(const std::string& name, size_t entry, std::vector<std::pair<std::string, Bytes>> members) {
  return editPackage(name, entry, [members](Bytes& p) {
    nxpack::ArjWriter w("files.arj", 0);
    for (auto& [n, d] : members)
      w.add(n, reinterpret_cast<const uint8_t*>(d.data()), d.size(), 0, nxpack::ArjMethod::Stored);
    const auto arj = w.finish();
    Bytes b(arj.begin(), arj.end());
    for (size_t i = 0; i < 90; ++i) b[i] = static_cast<char>(b[i] ^ nx::upd::kScrambleKey);
    p = p.substr(0, 51) + b;
  });
}

TEST_F(NxPackVerify, AGoodFolderPasses) {
  CliRun r = verify(root() / "good");
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("2 packages, no faults"), std::string::npos) << r.out;
  CliRun unkeyed = verify(root() / "good", false);
  EXPECT_EQ(unkeyed.exit, 0);
  EXPECT_NE(unkeyed.out.find("not checked without --key"), std::string::npos);
}

TEST_F(NxPackVerify, EachKindOfDamageIsAFault) {
  // Where in the second (stored) package its last member's data lies: just before the end marker.
  const size_t lastData = readHost(root() / "good/nx100002.pkg").size() - 4 - 10;
  struct Case {
    const char* what;
    Change damage;
    const char* message;
  } cases[] = {
      {"a package byte", edit("nx100001.pkg", [](Bytes& p) { p[400] ^= 0x10; }), "check value"},
      {"package platform", edit("nx100001.pkg", [](Bytes& p) { p[12] = 5; }), "platform 5, the handset needs 7"},
      {"package kind", edit("nx100001.pkg", [](Bytes& p) { put32(p, 0, 56543); }), "refused by the handset when unpacking"},
      {"package missing", [](const fs::path& d) { fs::remove(d / "nx100002.pkg"); }, "nx100002.pkg: missing"},
      {"package cut short", edit("nx100002.pkg", [](Bytes& p) { p.resize(60); }), "shorter than the 90 bytes"},
      {"member data with the check value matching",
       editPackage("nx100002.pkg", 1, [&](Bytes& p) { p[lastData] ^= 0x01; }), "does not match its CRC-32"},
      {"bytes after the archive", editPackage("nx100002.pkg", 1, [](Bytes& p) { p += "junk"; }),
       "bytes after the end marker"},
      {"archive without its end marker", editPackage("nx100002.pkg", 1, [](Bytes& p) { p.resize(p.size() - 4); }),
       "no ARJ header at offset"},
      {"local header CRC", editPackage("nx100001.pkg", 0, [](Bytes& p) {
         // The second member's name lies past the scrambled bytes.
         const size_t at = p.find("sigwworm.inx");
         p[at] = 'S';
       }), "does not match its CRC-32"},
      {"no version record", replaceBody("nx100002.pkg", 1, {{"sig32ce.inx", "x"}}), "carries no scanver.cnf"},
      {"a member leaving the folder",
       replaceBody("nx100002.pkg", 1, {{"..\\evil.dll", "x"}, {"scanver.cnf", versionRecord(1, 0, 2026, 12, 12)}}),
       "'\\'"},
      {"an absolute member name",
       replaceBody("nx100002.pkg", 1, {{"/etc/evil", "x"}, {"scanver.cnf", versionRecord(1, 0, 2026, 12, 12)}}), "'/'"},
      {"index byte sum", edit("index.dat", [](Bytes& b) { b[4] ^= 1; }), "byte sum"},
      {"index cut inside an entry", edit("index.dat", [](Bytes& b) { b.resize(b.size() - 10); }), "after the last whole"},
      {"index family", editIndex([](Bytes& b) { put32(b, 0, 56799); }), "family 56799"},
      {"entry platform", editIndex([](Bytes& b) { b[8 + 60] = 3; }), "platform 3, the handset needs 7"},
      {"entry type", editIndex([](Bytes& b) { b[8] = 99; }), "type 99"},
      {"entry pair twice", editIndex([](Bytes& b) { b[8 + 70 + 1] = b[8 + 1]; }), "occurs twice"},
      {"entries out of order", editIndex([](Bytes& b) {
         const Bytes first = b.substr(8, 70);
         b.replace(8, 70, b.substr(78, 70));
         b.replace(78, 70, first);
       }), "not later than the package before it"},
      {"index.dat missing", [](const fs::path& d) { fs::remove(d / "index.dat"); }, "index.dat: missing"},
      {"index.bin missing", [](const fs::path& d) { fs::remove(d / "index.bin"); }, "index.bin: missing"},
      {"stale index.bin", edit("index.bin", [](Bytes& b) { b[4] = 7; }), "does not describe this index.dat"},
      {"source list CRC", edit("httpdn.dat", [](Bytes& b) { b[100] ^= 1; }), "CRC-32"},
      {"source list cut short", edit("httpdn.dat", [](Bytes& b) { b.resize(6 + 14 + 100); }), "do not fit"},
      {"signature missing", [](const fs::path& d) { fs::remove(d / "index.sig"); }, "index.sig: missing"},
      {"signature byte", edit("index.sig", [](Bytes& b) { b.back() ^= 1; }), "does not verify"},
      {"signature of another index", editIndex([](Bytes& b) { b[8 + 64] = 1; }), "does not cover this index.dat"},
      {"version beside the packages", edit("scanver.cnf", [](Bytes& b) { b[4] = 1; }), "differs from the one"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = copy("case" + std::to_string(&c - cases));
    c.damage(dir);
    CliRun r = verify(dir);
    EXPECT_EQ(r.exit, 1) << r.out;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

TEST_F(NxPackVerify, UsageErrors) {
  EXPECT_EQ(runNxpack("verify " + q(fs::path(tmp.path()) / "missing"), tmp.path()).exit, 2);
  EXPECT_EQ(runNxpack("verify", tmp.path()).exit, 2);
  writeHost(fs::path(tmp.path()) / "bad.pub", "no key");
  CliRun r = runNxpack("verify " + q(root() / "good") + " --key " + q(fs::path(tmp.path()) / "bad.pub"), tmp.path());
  EXPECT_EQ(r.exit, 2);
  EXPECT_NE(r.err.find("--key"), std::string::npos);
}

}  // namespace
