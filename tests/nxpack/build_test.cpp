// nxpack build as the update server's operator runs it. Every file it writes
// is read back here from the byte tables of the formats, the package bodies
// by arjkit.dll and the host's `arj`, the signature by the openssl tool; the
// history of a folder (types, sequence numbers, revisions, the order of
// versions) and the refusal of bad input with nothing written.
#include <openssl/evp.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "pack_tools.h"

namespace {

using namespace packtest;

Bytes sha256(const Bytes& d) {
  unsigned char out[32];
  unsigned int n = 0;
  EVP_Digest(d.data(), d.size(), out, &n, EVP_sha256(), nullptr);
  return Bytes(reinterpret_cast<char*>(out), n);
}

class NxPackBuild : public ::testing::Test {
 protected:
  fs::path at(const std::string& name) const { return fs::path(tmp.path()) / name; }
  // A folder of files to pack.
  fs::path files(const std::string& name, const std::map<std::string, Bytes>& content) const {
    const fs::path d = at(name);
    fs::create_directories(d);
    for (auto& [n, data] : content) writeHost(d / n, data);
    return d;
  }
  std::map<std::string, Bytes> database(int day, int major = 1, int minor = 0) const {
    return {{"scanver.cnf", versionRecord(major, minor, 2026, 12, day)},
            {"sig32ce.inx", textContent(50000, static_cast<uint32_t>(day))},
            {"sigwtrjn.inx", binaryContent(20000, static_cast<uint32_t>(day))}};
  }
  CliRun run(const std::string& args) const { return runNxpack(args, tmp.path()); }
  CliRun build(const fs::path& from, const fs::path& to, const std::string& more = "") const {
    return run("build " + q(from) + " -o " + q(to) + " " + more);
  }
  std::vector<IndexEntry> index(const fs::path& server) const { return readIndex(readHost(server / "index.dat")); }

  nxtest::TempDir tmp;
};

// One build into a new folder: the source list, both index files, the
// package with its head, check value and scrambled ARJ body, and the
// version record, each as the handset reads it.
TEST_F(NxPackBuild, EveryFileReadsBackAsTheHandsetReadsIt) {
  auto content = database(11);
  content["readme.txt"] = "x";
  const fs::path server = at("server");
  CliRun r = build(files("files", content), server, "--url http://127.0.0.1:8080/upd");
  ASSERT_EQ(r.exit, 0) << r.err;

  std::vector<std::string> names;
  for (auto& [n, d] : filesUnder(server)) names.push_back(n);
  EXPECT_EQ(names, (std::vector<std::string>{"httpdn.dat", "index.bin", "index.dat", "nx100001.pkg", "scanver.cnf"}));

  const Bytes sources = readHost(server / "httpdn.dat");
  EXPECT_EQ(sources.size(), 6u + 14 + 1568);
  EXPECT_EQ(readSources(sources), std::vector<std::u16string>{u"http://127.0.0.1:8080/upd/"});

  const Bytes package = readHost(server / "nx100001.pkg");
  auto entries = index(server);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].type, 100);
  EXPECT_EQ(entries[0].sequence, 1);
  EXPECT_EQ(entries[0].name, "nx100001.pkg");
  EXPECT_EQ(entries[0].platform, 7);
  EXPECT_EQ(entries[0].size, package.size());
  EXPECT_EQ(entries[0].check, checkValue(package));

  const Bytes bin = readHost(server / "index.bin");
  ASSERT_EQ(bin.size(), 16u);
  EXPECT_EQ(uint8_t(bin[0]), 1);

  // The head: kind, check value, body length, platform, type and sequence.
  EXPECT_EQ(le32(package, 0), 57055u);
  EXPECT_EQ(le32(package, 4), checkValue(package));
  EXPECT_EQ(le32(package, 8), package.size() - 51);
  EXPECT_EQ(uint8_t(package[12]), 7);
  EXPECT_EQ(uint8_t(package[13]), 100);
  EXPECT_EQ(uint8_t(package[14]), 1);
  const Bytes arj = body(package);
  EXPECT_EQ(arj.substr(0, 2), "\x60\xEA");
  EXPECT_NE(package.substr(51, 2), "\x60\xEA") << "the first 90 bytes are stored scrambled";
  EXPECT_EQ(package.substr(51 + 90), arj.substr(90)) << "the rest is the archive as it is";

  HandsetUnpacker handset;
  ASSERT_TRUE(handset.ready());
  auto members = handset.unpack(arj);
  ASSERT_EQ(members.size(), content.size());
  size_t i = 0;
  for (auto& [name, data] : content) {  // name order
    EXPECT_EQ(members[i].name, name);
    EXPECT_EQ(members[i].result, 1);
    EXPECT_TRUE(members[i].data == data) << name;
    ++i;
  }
  EXPECT_TRUE(readHost(server / "scanver.cnf") == content["scanver.cnf"]);

  EXPECT_EQ(run("verify " + q(server)).exit, 0);
  if (!haveTool("arj")) GTEST_SKIP() << "the host's arj is missing: the body was read by arjkit.dll only";
  ArjReference ref = arjReference(arj, at("ref"));
  EXPECT_EQ(ref.testExit, 0);
  EXPECT_TRUE(ref.files == content);
}

// A folder keeps its history: each build appends an entry, the revision in
// index.bin moves on, older packages stay as they were, the default type
// follows the files and the engine version, sequence numbers count per
// type, and a package handsets would call up to date is refused with the
// folder untouched.
TEST_F(NxPackBuild, HistoryTypesSequencesAndRefusals) {
  const fs::path server = at("server");
  ASSERT_EQ(build(files("a", database(11)), server).exit, 0);
  const Bytes first = readHost(server / "nx100001.pkg");
  ASSERT_EQ(build(files("b", database(12)), server).exit, 0);
  auto withModule = database(13);
  withModule["platform.dll"] = binaryContent(40000, 13);
  ASSERT_EQ(build(files("c", withModule), server).exit, 0);
  ASSERT_EQ(build(files("e", database(14, 1, 1)), server).exit, 0);  // a new engine version alone
  ASSERT_EQ(build(files("h", database(15, 1, 1)), server, "--type 103 --sequence 7").exit, 0);

  struct Want {
    int type, sequence;
    const char* name;
  } want[] = {{100, 1, "nx100001.pkg"}, {100, 2, "nx100002.pkg"}, {106, 1, "nx106001.pkg"},
              {106, 2, "nx106002.pkg"}, {103, 7, "nx103007.pkg"}};
  auto entries = index(server);
  ASSERT_EQ(entries.size(), std::size(want));
  for (size_t i = 0; i < entries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].type, want[i].type);
    EXPECT_EQ(entries[i].sequence, want[i].sequence);
    EXPECT_EQ(entries[i].name, want[i].name);
    const Bytes p = readHost(server / entries[i].name);
    EXPECT_EQ(entries[i].size, p.size());
    EXPECT_EQ(le32(p, 4), checkValue(p));
  }
  EXPECT_TRUE(readHost(server / "nx100001.pkg") == first);
  EXPECT_EQ(uint8_t(readHost(server / "index.bin")[0]), 5);
  EXPECT_EQ(readHost(server / "scanver.cnf"), versionRecord(1, 1, 2026, 12, 15));
  EXPECT_EQ(run("verify " + q(server)).exit, 0);

  struct Refusal {
    const char* what;
    std::map<std::string, Bytes> content;
    std::string options;
    const char* message;
  } refusals[] = {
      {"same version again", database(15, 1, 1), "", "not later"},
      {"older engine", database(20, 1, 0), "", "older"},
      {"new engine without an engine update", database(20, 1, 2), "--type 100", "not an engine update"},
      {"a type and sequence already used", database(20, 1, 1), "--type 103 --sequence 7", "already"},
      {"the present revision again", database(20, 1, 1), "--revision 5", "present revision"},
  };
  const auto before = filesUnder(server);
  for (const Refusal& f : refusals) {
    SCOPED_TRACE(f.what);
    CliRun r = build(files(std::string("r") + f.what[0] + f.what[1], f.content), server, f.options);
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
    EXPECT_TRUE(filesUnder(server) == before) << "the folder must stay as it was";
  }
}

TEST_F(NxPackBuild, ExplicitTypeAndSequenceInANewFolder) {
  const fs::path server = at("server");
  CliRun r = build(files("f", database(11)), server, "--type 105 --sequence 0 --store --revision 0");
  ASSERT_EQ(r.exit, 0) << r.err;
  auto entries = index(server);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].type, 105);
  EXPECT_EQ(entries[0].sequence, 0);
  EXPECT_EQ(entries[0].name, "nx105000.pkg");
  const Bytes p = readHost(server / "nx105000.pkg");
  EXPECT_EQ(uint8_t(p[13]), 105);
  EXPECT_EQ(uint8_t(readHost(server / "index.bin")[0]), 0);
  // --store: every member header says method 0.
  const Bytes arj = body(p);
  size_t at = 4 + le16(arj, 2) + 4 + 2;
  int members = 0;
  while (le16(arj, at + 2) != 0) {
    EXPECT_EQ(uint8_t(arj[at + 4 + 5]), 0);
    at += 4 + le16(arj, at + 2) + 4 + 2 + le32(arj, at + 4 + 12);
    ++members;
  }
  EXPECT_EQ(members, 3);
}

// keygen, then a signed folder: the layout of index.sig from its table, the
// signature checked by the openssl tool, verify with the right and a wrong
// key, and a signed folder that cannot be extended without the key.
TEST_F(NxPackBuild, SignedFolders) {
  const fs::path keys = at("keys");
  ASSERT_EQ(run("keygen -o " + q(keys)).exit, 0);
  EXPECT_EQ(fs::status(keys / "update.key").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  const Bytes privateKey = readHost(keys / "update.key");
  CliRun again = run("keygen -o " + q(keys));
  EXPECT_EQ(again.exit, 1);
  EXPECT_TRUE(readHost(keys / "update.key") == privateKey) << "a key pair is never replaced";

  const fs::path server = at("server");
  CliRun r = build(files("a", database(11)), server, "--sign " + q(keys / "update.key"));
  ASSERT_EQ(r.exit, 0) << r.err;
  const Bytes sig = readHost(server / "index.sig");
  ASSERT_EQ(sig.size(), 56u + 82 + 64);
  EXPECT_EQ(sig.substr(0, 8), "NXIDXSIG");
  EXPECT_EQ(le32(sig, 8), 1u);
  EXPECT_EQ(le32(sig, 12), 1u);
  EXPECT_EQ(sig.substr(16, 32), sha256(readHost(server / "index.dat")));
  ASSERT_EQ(shell("openssl pkey -pubin -in " + q(keys / "update.pub") + " -outform DER -out " + q(at("pub.der"))), 0);
  const Bytes der = readHost(at("pub.der"));
  EXPECT_EQ(sig.substr(48, 8), sha256(der.substr(der.size() - 32)).substr(0, 8)) << "key id";
  Bytes name("nx100001.pkg");
  name.resize(50, '\0');
  EXPECT_EQ(sig.substr(56, 50), name);
  EXPECT_EQ(sig.substr(106, 32), sha256(readHost(server / "nx100001.pkg")));

  writeHost(at("msg"), sig.substr(0, sig.size() - 64));
  writeHost(at("sig"), sig.substr(sig.size() - 64));
  const std::string check = "openssl pkeyutl -verify -pubin -inkey " + q(keys / "update.pub") + " -rawin -in " +
                            q(at("msg")) + " -sigfile " + q(at("sig"));
  EXPECT_EQ(shell(check), 0) << "openssl does not accept the signature";
  Bytes forged = sig.substr(0, sig.size() - 64);
  forged[20] ^= 1;
  writeHost(at("msg"), forged);
  EXPECT_NE(shell(check), 0);

  CliRun good = run("verify " + q(server) + " --key " + q(keys / "update.pub"));
  EXPECT_EQ(good.exit, 0) << good.err;
  EXPECT_NE(good.out.find("good signature"), std::string::npos);

  // A key made with the openssl tool signs as well; verifying with the other key fails.
  ASSERT_EQ(shell("openssl genpkey -algorithm ed25519 -out " + q(at("other.key"))), 0);
  const fs::path other = at("other");
  ASSERT_EQ(build(files("b", database(11)), other, "--sign " + q(at("other.key"))).exit, 0);
  CliRun wrong = run("verify " + q(other) + " --key " + q(keys / "update.pub"));
  EXPECT_EQ(wrong.exit, 1);
  EXPECT_NE(wrong.err.find("not with the key given"), std::string::npos) << wrong.err;
  EXPECT_EQ(run("verify " + q(other) + " --key " + q(at("other.key"))).exit, 0) << "a private key holds the public one";

  const auto before = filesUnder(server);
  CliRun unsignedAppend = build(files("c", database(12)), server);
  EXPECT_EQ(unsignedAppend.exit, 1);
  EXPECT_NE(unsignedAppend.err.find("is signed"), std::string::npos);
  EXPECT_TRUE(filesUnder(server) == before);
  ASSERT_EQ(build(files("c", database(12)), server, "--sign " + q(keys / "update.key")).exit, 0);
  EXPECT_EQ(le32(readHost(server / "index.sig"), 12), 2u);
  EXPECT_EQ(run("verify " + q(server) + " --key " + q(keys / "update.pub")).exit, 0);
}

TEST_F(NxPackBuild, SourceListOnItsOwn) {
  CliRun r = run("sources --url http://a.example/x --url HTTPS://b.example:8443/y/ -o " + q(at("httpdn.dat")));
  ASSERT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(readSources(readHost(at("httpdn.dat"))),
            (std::vector<std::u16string>{u"http://a.example/x/", u"HTTPS://b.example:8443/y/"}));
}

// Bad input: the exit status, the reason, and nothing written.
TEST_F(NxPackBuild, BadInputIsRefusedWithNothingWritten) {
  const auto good = database(11);
  auto with = [&](const std::string& name, const Bytes& data) {
    auto c = good;
    c[name] = data;
    return c;
  };
  auto without = [&](const std::string& name) {
    auto c = good;
    c.erase(name);
    return c;
  };
  writeHost(at("notakey.pem"), "not a key\n");
  struct Case {
    const char* what;
    std::map<std::string, Bytes> content;
    std::string options;
    int exit;
    const char* message;
  } cases[] = {
      {"no scanver.cnf", without("scanver.cnf"), "", 1, "no scanver.cnf"},
      {"short scanver.cnf", with("scanver.cnf", Bytes(19, '\1')), "", 1, "not a version record"},
      {"no date in scanver.cnf", with("scanver.cnf", versionRecord(1, 0, 2026, 13, 1)), "", 1, "not a valid date"},
      {"name too long", with(std::string(215, 'a'), "x"), "", 1, "at most 214"},
      {"colon in a name", with("a:b.inx", "x"), "", 1, "':'"},
      {"non-ASCII name", with("sig\xC3\xA9.inx", "x"), "", 1, "printable ASCII"},
      {"name ending in a dot", with("sig.", "x"), "", 1, "ending in a dot"},
      {"device name", with("aux.inx", "x"), "", 1, "names a device"},
      {"the unpacker's own name", with("files.arj", "x"), "", 1, "uses itself"},
      {"names differing in case", with("SIG32CE.INX", "x"), "", 1, "only in case"},
      {"type too low", good, "--type 99", 2, "package types"},
      {"type too high", good, "--type 107", 2, "package types"},
      {"sequence too high", good, "--sequence 256", 2, "0 to 255"},
      {"revision too high", good, "--revision 256", 2, "0 to 255"},
      {"negative sequence", good, "--sequence -1", 2, "0 to 255"},
      {"not a web address", good, "--url ftp://host/", 2, "http"},
      {"blank in the address", good, "--url 'http://host/a b'", 2, "blanks"},
      {"query in the address", good, "--url 'http://host/a?x=1'", 2, "query"},
      {"address too long", good, "--url http://host/" + std::string(240, 'p'), 2, "characters a location"},
      {"no key file", good, "--sign /nonexistent/key.pem", 2, "--sign"},
      {"not a key", good, "--sign " + q(at("notakey.pem")), 2, "--sign"},
      {"unknown option", good, "--frobnicate", 2, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path in = files(std::string("in-") + std::to_string(&c - cases), c.content);
    const fs::path server = at("out-" + std::to_string(&c - cases));
    CliRun r = build(in, server, c.options);
    EXPECT_EQ(r.exit, c.exit) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(server)) << "nothing is written for bad input";
  }

  // The folder itself: missing, a file, empty, with a folder, a link to
  // nothing, a pipe, a file that cannot be read.
  const fs::path server = at("never");
  struct Folder {
    const char* what;
    std::function<fs::path()> make;
    int exit;
    const char* message;
  } folders[] = {
      {"missing folder", [&] { return at("missing"); }, 2, "no such folder"},
      {"a file, not a folder", [&] { writeHost(at("plain"), "x"); return at("plain"); }, 2, "not a folder"},
      {"empty folder", [&] { fs::create_directories(at("empty")); return at("empty"); }, 1, "no files"},
      {"a folder inside", [&] { auto d = files("nested", good); fs::create_directories(d / "sub"); return d; }, 1,
       "only files are packed"},
      {"a link to nothing", [&] { auto d = files("dangling", good); fs::create_symlink(at("nowhere"), d / "gone.inx");
         return d; }, 1, "a link to nothing"},
      {"a pipe", [&] { auto d = files("fifo", good); mkfifo((d / "pipe.inx").c_str(), 0600); return d; }, 1,
       "not a regular file"},
  };
  for (const Folder& f : folders) {
    SCOPED_TRACE(f.what);
    CliRun r = build(f.make(), server);
    EXPECT_EQ(r.exit, f.exit) << r.err;
    EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(server));
  }
  if (geteuid() != 0) {
    const fs::path d = files("unreadable", good);
    fs::permissions(d / "sig32ce.inx", fs::perms::none);
    CliRun r = build(d, server);
    EXPECT_EQ(r.exit, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(server));
  }

  // An output that is not a folder, a damaged folder to extend, usage errors.
  writeHost(at("serverfile"), "x");
  EXPECT_EQ(build(files("ok", good), at("serverfile")).exit, 1);
  const fs::path damaged = at("damaged");
  ASSERT_EQ(build(files("ok", good), damaged).exit, 0);
  Bytes idx = readHost(damaged / "index.dat");
  idx[20] ^= 1;
  writeHost(damaged / "index.dat", idx);
  CliRun r = build(files("ok2", database(12)), damaged);
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.err.find("is damaged"), std::string::npos) << r.err;
  // A folder another build holds is refused, untouched.
  {
    const auto held = filesUnder(damaged);
    const int fd = ::open(damaged.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    CliRun busy = build(files("ok3", database(12)), damaged);
    ::close(fd);
    EXPECT_EQ(busy.exit, 1);
    EXPECT_NE(busy.err.find("another nxpack build"), std::string::npos) << busy.err;
    EXPECT_TRUE(filesUnder(damaged) == held);
  }
  const fs::path same = files("same", good);
  const auto sameBefore = filesUnder(same);
  EXPECT_EQ(build(same, same).exit, 2) << "the server folder is the folder of files";
  EXPECT_TRUE(filesUnder(same) == sameBefore);
  EXPECT_EQ(run("build " + q(files("ok", good))).exit, 2) << "no -o";
  EXPECT_EQ(run("").exit, 2);
  EXPECT_EQ(run("--help").exit, 0);
}

// The longest name the handset's paths hold is packed and unpacked whole.
TEST_F(NxPackBuild, LongestMemberNameFits) {
  auto content = database(11);
  const std::string longest(214, 'l');
  content[longest] = "long";
  const fs::path server = at("server");
  ASSERT_EQ(build(files("f", content), server).exit, 0);
  HandsetUnpacker handset;
  ASSERT_TRUE(handset.ready());
  auto members = handset.unpack(body(readHost(server / "nx100001.pkg")));
  ASSERT_EQ(members.size(), 4u);
  EXPECT_EQ(members[0].name, longest);
  EXPECT_EQ(members[0].data, "long");
}

}  // namespace
