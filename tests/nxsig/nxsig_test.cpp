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
    // Into folders that are not there yet: none is left behind.
    r = run("build " + path("bad.json").string() + " -o " + (path("new") / "sub").string());
    EXPECT_NE(r.exit, 0) << c.what;
    EXPECT_FALSE(fs::exists(path("new"))) << c.what;
  }
}

// A damaged file makes dump fail with the file, the record and the reason, never with an error
// of the JSON library.
TEST_F(NxSig, DumpRefusesDamagedFiles) {
  Json s = canonical();
  s["epoc"] = Json::array({Json{{"table", "sigmbkdr.in3"}, {"name", "Epoc.Low"}, {"key", 0x100}, {"header_crc", "0x1"},
                                {"regions", cat("sigwworm.inx", "", 0x100, "", 0, 5)["regions"]}},
                           Json{{"table", "sigmbkdr.in3"}, {"name", "Epoc.High"}, {"key", 0x900}, {"header_crc", "0x2"},
                                {"regions", cat("sigwworm.inx", "", 0x900, "", 0, 6)["regions"]}}});
  write("src.json", s);
  ASSERT_EQ(run("build " + path("src.json").string() + " -o " + path("good").string()).exit, 0);
  // Re-encodes a category file after changing its decoded records.
  auto edited = [&](const char* file, size_t stored, std::function<void(std::vector<nxsig::Bytes>&)> edit) {
    const std::string f = slurp(path("good") / file);
    auto recs = nxsig::decodeCategoryFile(nxsig::Bytes(f.begin(), f.end()), stored, file);
    edit(recs);
    const nxsig::Bytes b = nxsig::encodeCategoryFile(recs, stored);
    return std::string(b.begin(), b.end());
  };
  struct Case {
    const char* what;
    const char* file;
    std::string content;
    std::vector<const char*> mentions;
  } cases[] = {
      {"one extra byte", "sigwtrjn.inx", slurp(path("good") / "sigwtrjn.inx") + "x", {"sigwtrjn.inx", "length"}},
      {"Windows CE keys out of order", "sigwtrjn.inx",
       edited("sigwtrjn.inx", 89, [](auto& r) { std::swap(r[0], r[2]); }),
       {"sigwtrjn.inx: record 1", "out of order", "drops the file"}},
      {"EPOC keys out of order", "sigmbkdr.in3", edited("sigmbkdr.in3", 76, [](auto& r) { std::swap(r[0], r[1]); }),
       {"sigmbkdr.in3: record 1", "out of order", "drops the file"}},
      {"a name byte over 0x7F", "sigwworm.in0", edited("sigwworm.in0", 89, [](auto& r) { r[0][5] = 0xE9; }),
       {"sigwworm.in0: record 0: the name", "not printable ASCII"}},
      {"a section name with a control byte", "sigwbkdr.in2", edited("sigwbkdr.in2", 89, [](auto& r) { r[0][44] = 1; }),
       {"sigwbkdr.in2: record 0: the section name", "not printable ASCII"}},
  };
  for (const Case& c : cases) {
    fs::remove_all(path("db"));
    fs::copy(path("good"), path("db"));
    std::ofstream(path("db") / c.file, std::ios::binary | std::ios::trunc) << c.content;
    CliRun r = run("dump " + path("db").string());
    EXPECT_NE(r.exit, 0) << c.what;
    for (const char* m : c.mentions) EXPECT_NE(r.err.find(m), std::string::npos) << c.what << ": " << r.err;
    EXPECT_EQ(r.err.find("json"), std::string::npos) << c.what << ": " << r.err;
  }
}

// The output folder ends up holding exactly the build: signature files of an older build that the
// sources no longer produce are removed (in any letter case, as the handset finds them), and every
// other file of the folder stays.
TEST_F(NxSig, BuildRemovesTheSignatureFilesItDoesNotProduce) {
  write("old.json", canonical());
  ASSERT_EQ(run("build " + path("old.json").string() + " -o " + path("db").string()).exit, 0);
  std::ofstream(path("db") / "SIGWTRJN.IN1", std::ios::binary) << slurp(path("db") / "sigwtrjn.inx");
  std::ofstream(path("db") / "SigMWorm.in4", std::ios::binary) << "old";
  std::ofstream(path("db") / "Sig32ce.INX", std::ios::binary) << "old";
  for (const char* keep : {"platform.dll", "wmolncnf.dat", "sigwtrjn.in9", "sigwtrjn.inx.bak", "notes.txt"})
    std::ofstream(path("db") / keep) << "keep";
  fs::create_directories(path("db") / "sigwworm.in1");  // not a file: left alone

  // An EPOC-only source without a version.
  Json epoc = Json::object();
  epoc["epoc"] = Json::array({Json{{"table", "sigmtrjn.inx"}, {"name", "Epoc.Only"}, {"key", 0x200},
                                   {"header_crc", "0x00000001"},
                                   {"regions", cat("sigwworm.inx", "", 0x200, "", 0, 9)["regions"]}}});
  write("epoc.json", epoc);
  CliRun b = run("build " + path("epoc.json").string() + " -o " + path("db").string());
  ASSERT_EQ(b.exit, 0) << b.err;
  EXPECT_EQ(files(path("db")),
            (std::vector<std::string>{"notes.txt", "platform.dll", "scanver.cnf", "sig32ce.inx", "sigaif.inx",
                                      "sigmpoly.inx", "sigmtrjn.inx", "sigwtrjn.in9", "sigwtrjn.inx.bak",
                                      "sigwworm.in1", "wmolncnf.dat"}));
  for (const char* gone : {"sigwworm.in0", "sigwbkdr.in2", "sigwtrjn.inx", "SIGWTRJN.IN1", "SigMWorm.in4", "Sig32ce.INX"})
    EXPECT_NE(b.err.find(std::string("removed ") + gone), std::string::npos) << gone << ": " << b.err;
  // scanver.cnf is no signature table: the older version stays, and dump shows it.
  Json expected = epoc;
  expected["version"] = canonical()["version"];
  Json got = dump(path("db"));
  EXPECT_EQ(got.value("epoc", Json()), epoc["epoc"]);
  EXPECT_EQ(got.value("version", Json()), expected["version"]);
  EXPECT_EQ(got.size(), 2u) << got.dump();

  // Built again from the first source: the EPOC table goes, the Windows CE tables come back.
  ASSERT_EQ(run("build " + path("old.json").string() + " -o " + path("db").string()).exit, 0);
  EXPECT_EQ(dump(path("db")), canonical());
}

// A record taken out of the sources stops detecting once the folder is rebuilt.
TEST_F(NxSig, DeletedSignatureStopsDetecting) {
  PeImage img;
  const Bytes sample = img.build();
  Json src = Json::object();
  src["wince"] = Json::array({Json{{"table", "sigwtrjn.in1"},
                                   {"name", "Trojan.Deleted"},
                                   {"key", 0x410},
                                   {"regions", Json::array({region(sample, 0x410, 30), region(sample, 0x80, 100),
                                                            region(sample, 0xC00, 50)})}}});
  src["pe"] = Json::array({Json{{"name", "Other"}, {"pattern", "0102030405"}}});
  Bed bed;
  bed.installModule();
  write("a.json", src);
  ASSERT_EQ(run("build " + path("a.json").string() + " -o '" + bed.dir() + "'").exit, 0);
  ASSERT_NE(bed.load(), nullptr);
  auto s = settings(2);
  auto scan = [&] {
    Object o = categoryObject(bed);
    Threats t;
    o.open(bed.file("s.exe", sample), s.get());
    return o.scan(t);
  };
  ASSERT_EQ(scan(), NX_ENGINE_THREAT);
  src.erase("wince");
  write("a.json", src);
  ASSERT_EQ(run("build " + path("a.json").string() + " -o '" + bed.dir() + "'").exit, 0);
  EXPECT_EQ(bed.fn<int32_t (*)(int32_t, int32_t)>(u"ReloadSignatures")(0, 0), 1);
  EXPECT_EQ(scan(), NX_ENGINE_CLEAN);
  EXPECT_EQ(bed.diag().peRecords, 1u);
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

// An entry point at file offset 0 (RVA 0, as resource libraries have) or without a file offset is
// still looked up (keys 0 and 0xFFFFFFFF): learn makes a record for it, with no region at 0.
TEST_F(NxSig, LearnHandlesAnEntryPointWithoutCodeOfItsOwn) {
  struct Case {
    const char* what;
    uint32_t rva;
    uint32_t key;
    const char* note;
  } cases[] = {
      {"RVA 0", 0, 0, "at file offset 0"},
      {"beyond every section", 0x9000, 0xFFFFFFFFu, "no file offset"},
  };
  Bed bed;
  bed.installModule();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeImage img;
    img.entryRva = c.rva;
    const Bytes sample = img.build();
    std::ofstream(path("sample.exe"), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(sample.data()), std::streamsize(sample.size()));
    CliRun l = run("learn wince --table sigwworm.inx --name Worm.NoCode " + path("sample.exe").string());
    ASSERT_EQ(l.exit, 0) << l.err;
    EXPECT_NE(l.err.find(c.note), std::string::npos) << l.err;
    Json rec = Json::parse(l.out);
    EXPECT_EQ(rec["key"], c.key);
    Json src = Json::object();
    src["wince"] = Json::array({rec});
    write("learned.json", src);
    CliRun b = run("build " + path("learned.json").string() + " -o '" + bed.dir() + "'");
    ASSERT_EQ(b.exit, 0) << b.err;
    ASSERT_NE(bed.load(), nullptr);
    {
      auto s = settings(0);
      for (uint32_t seed : {1u, 2u}) {
        PeImage other = img;
        other.seed = seed;
        Object o = categoryObject(bed);
        Threats t;
        o.open(bed.file("s.exe", other.build()), s.get());
        EXPECT_EQ(o.scan(t), seed == img.seed ? NX_ENGINE_THREAT : NX_ENGINE_CLEAN) << seed;
      }
    }
    bed.unload();
  }
}

// learn never prints what build refuses: a section name a source cannot hold (a control byte, a
// byte over 0x7F) is left out of the record with a note, and the record still detects the sample.
TEST_F(NxSig, LearnLeavesOutASectionNameASourceCannotHold) {
  struct Case {
    const char* what;
    std::string section;
    bool kept;
  } cases[] = {
      {"printable", ".text", true},
      {"control byte", std::string(".te\x01t", 5), false},
      {"byte over 0x7F", ".t\xE9xt", false},
      {"eight characters", "ABCDEFGH", true},
  };
  Bed bed;
  bed.installModule();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeImage img;
    img.sections[0].name = c.section;
    const Bytes sample = img.build();
    std::ofstream(path("sample.exe"), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(sample.data()), std::streamsize(sample.size()));
    CliRun l = run("learn wince --table sigwworm.inx --name Worm.Learned " + path("sample.exe").string());
    ASSERT_EQ(l.exit, 0) << l.err;
    Json rec = Json::parse(l.out);
    EXPECT_EQ(rec["section"], c.kept ? c.section : "");
    EXPECT_EQ(rec["flags"], c.kept ? 1 : 0);
    if (c.kept) {
      EXPECT_EQ(l.err, "");
    } else {
      EXPECT_NE(l.err.find("not printable ASCII"), std::string::npos) << l.err;
      EXPECT_NE(l.err.find("does not test the section name"), std::string::npos) << l.err;
    }
    Json src = Json::object();
    src["wince"] = Json::array({rec});
    write("learned.json", src);
    CliRun b = run("build " + path("learned.json").string() + " -o '" + bed.dir() + "'");
    ASSERT_EQ(b.exit, 0) << b.err;
    ASSERT_NE(bed.load(), nullptr);
    {
      auto s = settings(0);
      Object o = categoryObject(bed);
      Threats t;
      o.open(bed.file("s.exe", sample), s.get());
      EXPECT_EQ(o.scan(t), NX_ENGINE_THREAT);
    }
    bed.unload();
  }
}

}  // namespace
