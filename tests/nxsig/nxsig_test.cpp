// The nxsig command line as an analyst uses it: build then dump gives the sources back, the
// files that are always written, merging, rejection of what the scanners would reject (with
// the record named and nothing written), and learn producing a record the scanner detects.
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "../exescan/exescan_bed.h"

namespace {

using namespace exebed;
namespace fs = std::filesystem;

struct CliRun {
  int exit = -1;
  std::string out, err;
};

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class NxSig : public ::testing::Test {
 protected:
  fs::path path(const std::string& name) const { return fs::path(tmp.path()) / name; }
  fs::path write(const std::string& name, const Json& doc) {
    std::ofstream(path(name)) << doc.dump(1);
    return path(name);
  }
  CliRun run(const std::string& args) {
    const std::string cmd = std::string(NX_BUILD_DIR) + "/bin/nxsig " + args + " >" + path("out.txt").string() +
                            " 2>" + path("err.txt").string();
    CliRun r;
    const int status = std::system(cmd.c_str());
    r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(path("out.txt"));
    r.err = slurp(path("err.txt"));
    return r;
  }
  Json dump(const fs::path& dir) {
    CliRun r = run("dump " + dir.string());
    EXPECT_EQ(r.exit, 0) << r.err;
    return r.exit == 0 ? Json::parse(r.out) : Json();
  }
  std::vector<std::string> files(const fs::path& dir) {
    std::vector<std::string> out;
    if (fs::exists(dir))
      for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }
  nxtest::TempDir tmp;
};

Json cat(const char* table, const char* name, uint32_t key, const char* section, int flags, uint32_t crc) {
  return Json{{"table", table},
              {"name", name},
              {"key", key},
              {"section", section},
              {"flags", flags},
              {"regions", Json::array({Json{{"offset", key}, {"length", 30}, {"crc", nxsig::hex32(crc)}},
                                       Json{{"offset", 128}, {"length", 255}, {"crc", nxsig::hex32(crc + 1)}},
                                       Json{{"offset", 4000}, {"length", 1}, {"crc", nxsig::hex32(crc + 2)}}})}};
}

// The source as dump prints it: category records of a table sorted by key, tables in search order.
Json canonical() {
  Json s = Json::object();
  s["version"] = Json{{"engine", Json::array({3, 7})}, {"database", "2026-02-28T23:59:58"}};
  s["pe"] = Json::array({Json{{"name", "WinCE.Pattern.A"}, {"pattern", "4d5a9000"}},
                         Json{{"name", "WinCE.Pattern.Longest.B"}, {"pattern", "000102030405060708090a0b0c0d0e0f1011121314"}}});
  s["poly"] = Json::array({Json{{"type", 3}, {"name", "Poly.Family.A"}}, Json{{"type", 1}, {"name", "Other.Kind"}},
                           Json{{"type", 5}, {"name", "Twenty.Four.Characters.X"}}});
  s["wince"] = Json::array({cat("sigwworm.in0", "Worm.Hourly", 0x400, ".text", 5, 0xDEADBEEF),
                            cat("sigwbkdr.in2", "Bkdr.Weekly", 0x200, "CODE", 0, 1),
                            cat("sigwtrjn.inx", "Trj.Same.1", 0x1000, "", 0, 0xFFFFFFFF),
                            cat("sigwtrjn.inx", "Trj.Same.2", 0x1000, ".text", 1, 7),
                            cat("sigwtrjn.inx", "Trj.Later", 0xFFFFFFFF, ".data", 4, 9)});
  return s;
}

TEST_F(NxSig, BuildThenDumpGivesTheSourceBack) {
  const fs::path src = write("src.json", canonical());
  CliRun b = run("build " + src.string() + " -o " + path("db").string());
  ASSERT_EQ(b.exit, 0) << b.err;
  EXPECT_EQ(dump(path("db")), canonical());
  EXPECT_EQ(fs::file_size(path("db") / "scanver.cnf"), 20u);
  EXPECT_EQ(fs::file_size(path("db") / "sigwtrjn.inx"), 12u + 3 * 89);
}

TEST_F(NxSig, NotationsAndRecordOrderDoNotChangeTheFiles) {
  write("a.json", canonical());
  Json alt = canonical();
  alt["pe"][0]["pattern"] = "4D 5A 90 00";
  auto& w = alt["wince"];
  // Unsorted input: the last record first; the two with equal keys keep their order.
  Json later = w[4];
  w.erase(4);
  w.insert(w.begin() + 2, later);
  w[0]["key"] = "0x400";
  w[0]["flags"] = "0x5";
  w[0]["regions"][0]["crc"] = 0xDEADBEEFu;
  w[0]["regions"][1]["offset"] = "128";
  write("b.json", alt);
  ASSERT_EQ(run("build " + path("a.json").string() + " -o " + path("a").string()).exit, 0);
  ASSERT_EQ(run("build " + path("b.json").string() + " -o " + path("b").string()).exit, 0);
  ASSERT_EQ(files(path("a")), files(path("b")));
  for (const std::string& f : files(path("a"))) EXPECT_EQ(slurp(path("a") / f), slurp(path("b") / f)) << f;
}

TEST_F(NxSig, EmptySourceWritesTheFilesTheScannersNeed) {
  write("empty.json", Json::object());
  ASSERT_EQ(run("build " + path("empty.json").string() + " -o " + path("db").string()).exit, 0);
  EXPECT_EQ(files(path("db")), (std::vector<std::string>{"sig32ce.inx", "sigaif.inx", "sigmpoly.inx"}));
  EXPECT_EQ(slurp(path("db") / "sig32ce.inx"), std::string(4, '\0'));
  EXPECT_EQ(slurp(path("db") / "sigmpoly.inx"), std::string(20, '\0'));
  EXPECT_EQ(dump(path("db")), Json::object());
}

TEST_F(NxSig, SourcesAreMerged) {
  Json a = Json::object(), b = Json::object();
  a["wince"] = Json::array({cat("sigwworm.inx", "Late", 900, "", 0, 1)});
  b["wince"] = Json::array({cat("sigwworm.inx", "Early", 100, "", 0, 2)});
  b["pe"] = Json::array({Json{{"name", "P"}, {"pattern", "aa"}}});
  write("a.json", a);
  write("b.json", b);
  ASSERT_EQ(run("build " + path("a.json").string() + " " + path("b.json").string() + " -o " + path("db").string()).exit, 0);
  Json d = dump(path("db"));
  ASSERT_EQ(d["wince"].size(), 2u);
  EXPECT_EQ(d["wince"][0]["name"], "Early");
  EXPECT_EQ(d["pe"].size(), 1u);

  a["version"] = Json{{"engine", Json::array({1, 0})}, {"database", "2026-01-01T00:00:00"}};
  b["version"] = Json{{"engine", Json::array({1, 1})}, {"database", "2026-01-01T00:00:00"}};
  write("a.json", a);
  write("b.json", b);
  CliRun r = run("build " + path("a.json").string() + " " + path("b.json").string() + " -o " + path("db2").string());
  EXPECT_NE(r.exit, 0);
  EXPECT_NE(r.err.find("version"), std::string::npos) << r.err;
}

// Everything the scanners would reject (or could never match) is refused with the record named,
// and the output folder is left as it was.
TEST_F(NxSig, RejectsWhatTheScannersWouldReject) {
  auto good = [] { return cat("sigwworm.inx", "Bad.Rec", 0x400, ".text", 0, 1); };
  struct Case {
    const char* what;
    std::function<void(Json&)> edit;
    const char* mention;
  };
  const Case cases[] = {
      {"region B length 0", [&](Json& s) { auto r = good(); r["regions"][1]["length"] = 0; s["wince"] = {r}; }, "wince[0] (Bad.Rec): region B"},
      {"region A offset 0", [&](Json& s) { auto r = good(); r["regions"][0]["offset"] = 0; s["wince"] = {r}; }, "wince[0] (Bad.Rec): region A"},
      {"region length 256", [&](Json& s) { auto r = good(); r["regions"][2]["length"] = 256; s["wince"] = {r}; }, "region C"},
      {"two regions", [&](Json& s) { auto r = good(); r["regions"].erase(2); s["wince"] = {r}; }, "wince[0] (Bad.Rec)"},
      {"unknown table", [&](Json& s) { auto r = good(); r["table"] = "sigwxxxx.inx"; s["wince"] = {r}; }, "wince[0] (Bad.Rec)"},
      {"EPOC table for a Windows CE record", [&](Json& s) { auto r = good(); r["table"] = "sigmworm.inx"; s["wince"] = {r}; }, "wince[0]"},
      {"section of 9 characters", [&](Json& s) { auto r = good(); r["section"] = "123456789"; s["wince"] = {r}; }, "section"},
      {"key beyond 32 bits", [&](Json& s) { auto r = good(); r["key"] = "0x100000000"; s["wince"] = {r}; }, "key"},
      {"crc not a number", [&](Json& s) { auto r = good(); r["regions"][0]["crc"] = "0xZZ"; s["wince"] = {r}; }, "crc"},
      {"category name of 30 characters", [&](Json& s) { auto r = good(); r["name"] = std::string(30, 'n'); s["wince"] = {r}; }, "name"},
      {"pattern of 22 bytes", [](Json& s) { s["pe"] = {Json{{"name", "P"}, {"pattern", std::string(44, 'a')}}}; }, "pe[0] (P)"},
      {"empty pattern", [](Json& s) { s["pe"] = {Json{{"name", "P"}, {"pattern", ""}}}; }, "pe[0] (P)"},
      {"odd hex", [](Json& s) { s["pe"] = {Json{{"name", "P"}, {"pattern", "abc"}}}; }, "pe[0] (P)"},
      {"pattern name of 25 characters", [](Json& s) { s["pe"] = {Json{{"name", std::string(25, 'x')}, {"pattern", "aa"}}}; }, "pe[0]"},
      {"1000 pattern records", [](Json& s) { s["pe"] = Json::array(); for (int i = 0; i < 1000; ++i) s["pe"].push_back(Json{{"name", "P"}, {"pattern", "aa"}}); }, "999"},
      {"poly type 6", [](Json& s) { s["poly"] = {Json{{"type", 6}, {"name", "X"}}}; }, "poly[0] (X)"},
      {"poly name with a line break", [](Json& s) { s["poly"] = {Json{{"type", 3}, {"name", "X\nY"}}}; }, "poly[0]"},
      {"unknown member", [](Json& s) { s["peee"] = Json::array(); }, "peee"},
      {"database date", [](Json& s) { s["version"] = Json{{"engine", {1, 0}}, {"database", "2026-02-30T00:00:00"}}; }, "database"},
  };
  fs::create_directories(path("db"));
  std::ofstream(path("db") / "keep.txt") << "untouched";
  for (const Case& c : cases) {
    Json s = Json::object();
    s["pe"] = Json::array({Json{{"name", "Fine"}, {"pattern", "aa"}}});  // written only if all is well
    c.edit(s);
    write("bad.json", s);
    CliRun r = run("build " + path("bad.json").string() + " -o " + path("db").string());
    EXPECT_NE(r.exit, 0) << c.what;
    EXPECT_NE(r.err.find(c.mention), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(files(path("db")), std::vector<std::string>{"keep.txt"}) << c.what;
  }
}

TEST_F(NxSig, DumpRefusesDamagedFiles) {
  Json s = canonical();
  write("src.json", s);
  ASSERT_EQ(run("build " + path("src.json").string() + " -o " + path("db").string()).exit, 0);
  std::string f = slurp(path("db") / "sigwtrjn.inx");
  f.push_back('x');
  std::ofstream(path("db") / "sigwtrjn.inx", std::ios::binary) << f;
  CliRun r = run("dump " + path("db").string());
  EXPECT_NE(r.exit, 0);
  EXPECT_NE(r.err.find("sigwtrjn.inx"), std::string::npos) << r.err;
}

// learn computes a record from a sample; compiled and installed, it makes the scanner detect the
// sample and nothing else.
TEST_F(NxSig, LearnedRecordDetectsTheSample) {
  PeImage img;
  img.seed = 42;
  const Bytes sample = img.build();
  {
    std::ofstream(path("sample.exe"), std::ios::binary).write(reinterpret_cast<const char*>(sample.data()),
                                                             std::streamsize(sample.size()));
  }
  CliRun l = run("learn wince --table sigwtrjn.in1 --name Trojan.Learned " + path("sample.exe").string());
  ASSERT_EQ(l.exit, 0) << l.err;
  Json rec = Json::parse(l.out);
  EXPECT_EQ(rec["key"], 0x410);
  EXPECT_EQ(rec["section"], ".text");
  EXPECT_EQ(rec["flags"], 1);
  ASSERT_EQ(rec["regions"].size(), 3u);
  for (const Json& g : rec["regions"]) {
    EXPECT_GT(g["offset"].get<uint32_t>(), 0u);
    EXPECT_GE(g["length"].get<int>(), 1);
    EXPECT_LE(g["length"].get<int>(), 255);
  }

  Json src = Json::object();
  src["wince"] = Json::array({rec});
  Bed bed;
  bed.installModule();
  write("learned.json", src);
  ASSERT_EQ(run("build " + path("learned.json").string() + " -o '" + bed.dir() + "'").exit, 0);
  ASSERT_NE(bed.load(), nullptr);
  auto s = settings(2);
  struct {
    uint32_t seed;
    int32_t expected;
  } cases[] = {{42, NX_ENGINE_THREAT}, {43, NX_ENGINE_CLEAN}};
  for (auto& c : cases) {
    PeImage other;
    other.seed = c.seed;
    Object o = categoryObject(bed);
    Threats t;
    o.open(bed.file("s.exe", other.build()), s.get());
    EXPECT_EQ(o.scan(t), c.expected) << c.seed;
    if (c.expected == NX_ENGINE_THREAT) {
      EXPECT_EQ(narrow(t.last()->name), "Trojan.Learned");
      EXPECT_EQ(t.last()->category, 35);
    }
  }

  // Not a Windows CE program, an unknown table, an unknown kind.
  std::ofstream(path("text.txt")) << "just some text, no program here at all";
  EXPECT_NE(run("learn wince --table sigwtrjn.in1 --name X " + path("text.txt").string()).exit, 0);
  EXPECT_NE(run("learn wince --table sigwtrjn.in9 --name X " + path("sample.exe").string()).exit, 0);
  EXPECT_NE(run("learn palm --table sigwtrjn.in1 --name X " + path("sample.exe").string()).exit, 0);
}

}  // namespace
