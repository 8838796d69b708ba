// nxscan end to end: a device with the image installed by nxdevice, host
// folders scanned through the \Host mount; output lines, JSON Lines,
// actions and exit codes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cab_builder.h"
#include "testkit.h"

namespace {

namespace fs = std::filesystem;

struct Result {
  int code = -1;
  std::string out, err;
};

std::string bin(const std::string& name) { return std::string(NX_BUILD_DIR) + "/bin/" + name; }
std::string image(const std::string& name = "") { return std::string(NX_BUILD_DIR) + "/image/" + name; }

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

bool hasLine(const std::string& text, const std::string& line) {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (l == line) return true;
  return false;
}
bool hasLineStarting(const std::string& text, const std::string& start, const std::string& end = "") {
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (l.rfind(start, 0) == 0 && (end.empty() || (l.size() >= end.size() && l.compare(l.size() - end.size(), end.size(), end) == 0)))
      return true;
  return false;
}

class NxscanTest : public ::testing::Test {
 public:
  void SetUp() override {
    root_ = dev_.root();
    Result r = run(bin("nxdevice") + " --device-root " + root_ + " install --force " + image());
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    files_ = work_.path() + "/files";
    fs::create_directories(files_ + "/sub");
    for (const char* f : {"eicar.com", "nyxel-demo.exe", "readme.txt", "demo.cab"})
      fs::copy_file(std::string(NX_SOURCE_DIR) + "/samples/" + f, files_ + "/" + f);
    fs::copy_file(files_ + "/eicar.com", files_ + "/sub/nested eicar.txt");
  }
  Result scan(const std::string& args) { return run(bin("nxscan") + " --device-root " + root_ + " " + args); }

  nxtest::TempDevice dev_;
  nxtest::TempDir work_;
  std::string root_, files_;
};

TEST_F(NxscanTest, DetectionsInAFolderAndExitCodeOne) {
  Result r = scan("-j2 " + files_);
  EXPECT_EQ(r.code, 1) << r.out << r.err;
  EXPECT_TRUE(hasLineStarting(r.out, files_ + "/eicar.com: ", " FOUND")) << r.out;
  EXPECT_TRUE(hasLineStarting(r.out, files_ + "/sub/nested eicar.txt: ", " FOUND")) << r.out;
  EXPECT_FALSE(hasLineStarting(r.out, files_ + "/readme.txt")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Scanned files: 5")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Total errors: 0")) << r.out;
  EXPECT_TRUE(hasLine(r.out, files_ + "/nyxel-demo.exe: Nyxel.Demo.EntryPoint FOUND")) << r.out;
  EXPECT_TRUE(hasLine(r.out, files_ + "/demo.cab/setup.exe: Nyxel.Demo.EntryPoint FOUND")) << r.out;
}

TEST_F(NxscanTest, CleanFilesOkWithVerboseAndExitZero) {
  Result r = scan("-v --no-summary " + files_ + "/readme.txt");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, files_ + "/readme.txt: OK\n");
  r = scan(files_ + "/readme.txt");
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(hasLine(r.out, "Scanned files: 1")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Infected files: 0")) << r.out;
  EXPECT_TRUE(hasLineStarting(r.out, "Data scanned: ")) << r.out;
  EXPECT_TRUE(hasLineStarting(r.out, "Time: ")) << r.out;
}

// Exclusions by file and by folder, each by name or by whole path, repeated
// and combined; the summary counts only what was scanned.
TEST_F(NxscanTest, ExcludedFilesAndFoldersAreLeftOut) {
  struct Case {
    std::string args;
    std::vector<std::string> found;  // relative to the files folder
    int code;
  } cases[] = {
      {"--exclude '*.txt'", {"eicar.com", "nyxel-demo.exe", "demo.cab/setup.exe"}, 1},
      {"--exclude '*.txt' --exclude 'e*.com'", {"nyxel-demo.exe", "demo.cab/setup.exe"}, 1},
      {"--exclude-dir sub", {"eicar.com", "nyxel-demo.exe", "demo.cab/setup.exe"}, 1},
      {"--exclude-dir '" + files_ + "/s*'", {"eicar.com", "nyxel-demo.exe", "demo.cab/setup.exe"}, 1},
      {"--exclude-dir sub --exclude '*.com' --exclude '*.exe' --exclude '*.cab'", {}, 0},
      // A file glob never hides a folder, nor a folder glob a file.
      {"--exclude sub --exclude-dir eicar.com", {"eicar.com", "nyxel-demo.exe", "demo.cab/setup.exe", "sub/nested eicar.txt"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Result r = scan(c.args + " " + files_);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    size_t found = 0;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l);)
      if (l.size() > 6 && l.compare(l.size() - 6, 6, " FOUND") == 0) ++found;
    EXPECT_EQ(found, c.found.size()) << r.out;
    for (const std::string& f : c.found) EXPECT_TRUE(hasLineStarting(r.out, files_ + "/" + f + ": ", " FOUND")) << f;
  }
  // Everything left out: nothing scanned, and the summary says so.
  Result r = scan("--exclude-dir '" + files_ + "' " + files_);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(hasLine(r.out, "Scanned files: 0")) << r.out;
  // The option takes one value: the path after it is still scanned.
  r = scan("--no-summary --exclude '*.txt' " + files_ + "/eicar.com");
  EXPECT_EQ(r.code, 1) << r.out << r.err;
}

// --log appends each run under its own header: what standard output showed
// and the reasons of errors; a log that cannot be opened stops the run
// before anything is scanned.
TEST_F(NxscanTest, TheLogGetsEachRunAppendedUnderAHeader) {
  const std::string log = work_.path() + "/scan log.txt";
  Result first = scan("--log '" + log + "' " + files_ + "/eicar.com");
  EXPECT_EQ(first.code, 1) << first.err;
  Result second = scan("--log '" + log + "' " + files_ + "/readme.txt " + work_.path() + "/missing");
  EXPECT_EQ(second.code, 2) << second.err;
  std::ifstream in(log);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  size_t firstHead = text.find("----------- SCAN LOG -----------\nStarted: ");
  ASSERT_NE(firstHead, std::string::npos) << text;
  size_t secondHead = text.find("----------- SCAN LOG -----------", firstHead + 1);
  ASSERT_NE(secondHead, std::string::npos) << text;
  const std::string one = text.substr(firstHead, secondHead - firstHead), two = text.substr(secondHead);
  EXPECT_NE(one.find("Paths: " + files_ + "/eicar.com\n"), std::string::npos) << one;
  // Every line printed, in order (the error reasons come in between).
  auto holdsInOrder = [](const std::string& logged, const std::string& printed) {
    std::istringstream lines(printed);
    size_t at = 0;
    for (std::string l; std::getline(lines, l);) {
      at = logged.find(l + "\n", at);
      if (at == std::string::npos) return false;
      at += l.size();
    }
    return true;
  };
  EXPECT_TRUE(holdsInOrder(one, first.out)) << one;
  EXPECT_TRUE(holdsInOrder(two, second.out)) << two;
  EXPECT_NE(two.find("nxscan: " + work_.path() + "/missing: no such file or folder"), std::string::npos) << two;

  Result refused = scan("--log " + work_.path() + "/no/such/folder/x.log " + files_ + "/eicar.com");
  EXPECT_EQ(refused.code, 2);
  EXPECT_EQ(refused.out, "");
  EXPECT_TRUE(hasLineStarting(refused.err, "nxscan: cannot open the log " + work_.path() + "/no/such/folder/x.log: "))
      << refused.err;
}

// -i prints only what is not clean, also over -v; the summary stays.
TEST_F(NxscanTest, InfectedOnlyOverridesVerbose) {
  Result r = scan("-i -v " + files_ + "/readme.txt " + files_ + "/eicar.com");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_FALSE(hasLineStarting(r.out, files_ + "/readme.txt")) << r.out;
  EXPECT_TRUE(hasLineStarting(r.out, files_ + "/eicar.com: ", " FOUND")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Scanned files: 2")) << r.out;
}

// Pipes, sockets and device nodes are refused by the device without waiting
// for a writer: each is SKIPPED, never OK, and the run ends with status 2
// because it did not look at everything. A plain file beside them is scanned.
TEST_F(NxscanTest, FilesThatAreNotRegularAreSkippedNeverClean) {
  const std::string dir = work_.path() + "/special";
  fs::create_directories(dir);
  ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
  int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = dir + "/sock";
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  fs::copy_file(files_ + "/readme.txt", dir + "/readme.txt");
  fs::create_symlink("/dev/null", dir + "/null");  // a device node behind a link

  Result r = scan("-v -j1 " + dir);
  ::close(sock);
  EXPECT_EQ(r.code, 2) << r.out << r.err;
  for (const char* name : {"/fifo", "/sock", "/null"})
    EXPECT_TRUE(hasLine(r.out, dir + name + ": SKIPPED (not a regular file)")) << name << "\n" << r.out;
  EXPECT_TRUE(hasLine(r.out, dir + "/readme.txt: OK")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Skipped files: 3")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Total errors: 0")) << r.out;
  EXPECT_EQ(r.err, "") << "a skipped file is not an error";

  r = scan("--json " + dir + "/fifo");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("\"result\":\"skipped\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"skipped\":\"not a regular file\""), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("\"error\""), std::string::npos) << r.out;
  EXPECT_NE(r.err.find(", 1 skipped,"), std::string::npos) << r.err;
}

TEST_F(NxscanTest, JsonLinesOneObjectPerFile) {
  Result r = scan("--json -j1 " + files_);
  EXPECT_EQ(r.code, 1);
  int lines = 0;
  std::istringstream in(r.out);
  for (std::string l; std::getline(in, l);) {
    ++lines;
    EXPECT_EQ(l.front(), '{');
    EXPECT_EQ(l.back(), '}');
    if (l.find("readme.txt") != std::string::npos) {
      EXPECT_NE(l.find("\"result\":\"unscannable\""), std::string::npos) << l;
    }
    if (l.find("/eicar.com\"") != std::string::npos) {
      EXPECT_NE(l.find("\"result\":\"infected\""), std::string::npos) << l;
      EXPECT_NE(l.find("\"type\":5093"), std::string::npos) << l;
      EXPECT_NE(l.find("\"length\":68"), std::string::npos) << l;
      EXPECT_NE(l.find("\"member\":null"), std::string::npos) << l;
      EXPECT_NE(l.find("\"action\":\"none\""), std::string::npos) << l;
    }
    if (l.find("demo.cab") != std::string::npos) {
      EXPECT_NE(l.find("\"member\":\"setup.exe\""), std::string::npos) << l;
    }
  }
  EXPECT_EQ(lines, 5);
  EXPECT_EQ(r.out.find("SCAN SUMMARY"), std::string::npos);
}

TEST_F(NxscanTest, ErrorsWinTheExitCode) {
  Result r = scan("--no-summary " + files_ + "/eicar.com " + files_ + "/missing.bin");
  EXPECT_EQ(r.code, 2);
  EXPECT_TRUE(hasLine(r.out, files_ + "/missing.bin: ERROR")) << r.out;
  EXPECT_TRUE(hasLineStarting(r.out, files_ + "/eicar.com: ", " FOUND")) << r.out;
  EXPECT_NE(r.err.find("missing.bin"), std::string::npos) << r.err;
}

TEST_F(NxscanTest, ActionsAndSwitches) {
  Result r = scan("--no-summary --action=delete " + files_ + "/eicar.com");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(hasLineStarting(r.out, files_ + "/eicar.com: ", " FOUND (deleted)")) << r.out;
  EXPECT_FALSE(fs::exists(files_ + "/eicar.com"));
  // Report only leaves the file.
  r = scan("--no-summary --action=report " + files_ + "/sub");
  EXPECT_EQ(r.code, 1);
  EXPECT_TRUE(fs::exists(files_ + "/sub/nested eicar.txt"));
  // Archives off: the cabinet is not opened.
  r = scan("--no-summary --no-archives " + files_ + "/demo.cab");
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_EQ(r.out, "");
  struct Bad {
    const char* args;
  };
  for (const Bad& b : {Bad{"--categories 0x100"}, Bad{"--categories nonsense"}, Bad{"--action=shred"}, Bad{"--depth 51"}, Bad{""}}) {
    SCOPED_TRACE(b.args);
    r = scan(std::string(b.args) + " " + (std::string(b.args).empty() ? "" : files_));
    EXPECT_EQ(r.code, 2) << r.out;
    EXPECT_FALSE(r.err.empty());
  }
}

TEST_F(NxscanTest, MissingOrDamagedInstallationIsAClearError) {
  // No module where the engine should be.
  fs::remove(root_ + "/Program Files/Nyxel/Nyxel AntiVirus/avapi.dll");
  Result r = scan(files_);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("avapi.dll"), std::string::npos) << r.err;
  // The session layer missing: the engine does not start.
  run(bin("nxdevice") + " --device-root " + root_ + " install --force " + image());
  fs::remove(root_ + "/Program Files/Nyxel/Nyxel AntiVirus/scancore.dll");
  r = scan(files_);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("did not start"), std::string::npos) << r.err;
  // A corrupt module.
  run(bin("nxdevice") + " --device-root " + root_ + " install --force " + image());
  std::ofstream(root_ + "/Program Files/Nyxel/Nyxel AntiVirus/scan.dll", std::ios::trunc) << "not a module";
  r = scan(files_);
  EXPECT_EQ(r.code, 2);
  // No installation at all.
  fs::remove_all(root_ + "/Program Files/Nyxel");
  r = scan(files_);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("not installed"), std::string::npos) << r.err;
  // No device.
  r = run(bin("nxscan") + " --device-root " + work_.path() + "/nodevice " + files_);
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("no device"), std::string::npos) << r.err;
}

TEST_F(NxscanTest, DeviceInfoShowsTheInstalledVersion) {
  Result r = run(bin("nxdevice") + " --device-root " + root_ + " info");
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(hasLineStarting(r.out, "installed:     1.00, signatures of 2026-12-10")) << r.out;
  // Setup's product folders are there, so settings can be kept from the first read on.
  for (const char* sub : {"Config", "temp", "Log", "Report", "Quarantine"})
    EXPECT_TRUE(fs::is_directory(root_ + "/Program Files/Nyxel/Nyxel AntiVirus/" + sub)) << sub;
  Result scanned = scan("--no-summary " + files_ + "/demo.cab");
  EXPECT_EQ(scanned.code, 1) << scanned.err;
  EXPECT_TRUE(fs::exists(root_ + "/Program Files/Nyxel/Nyxel AntiVirus/Config/wmolncnf.dat"))
      << "the guard's settings are read (and made) before the engine asks it to ignore an extracted member";
}

// Damaged copies of real files: cut short, bytes flipped, header fields set
// to extremes. The whole engine (type detection, every reader and scanner)
// sees them through nxscan, in the sanitizer build too; any answer but a
// crash will do, and every file gets one.
std::vector<std::string> damagedCopies(const std::string& source, const std::string& dir, uint32_t seed) {
  std::ifstream in(source, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> out;
  if (data.empty()) return out;
  std::mt19937 rng(seed);
  auto pick = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
  std::string stem = dir + "/" + fs::path(source).filename().string();
  auto put = [&](const std::string& bytes, int i) {
    std::string name = stem + ".d" + std::to_string(i) + fs::path(source).extension().string();
    std::ofstream(name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.push_back(name);
  };
  int i = 0;
  for (size_t cut : {size_t{1}, size_t{60}, data.size() / 3, data.size() - 1})
    if (cut < data.size()) put(data.substr(0, cut), i++);
  for (int k = 0; k < 4; ++k) {
    std::string d = data;
    for (int f = 0; f < 8; ++f) d[f % 2 ? pick(std::min<size_t>(d.size(), 256)) : pick(d.size())] ^= static_cast<char>(1u << (rng() % 8));
    put(d, i++);
  }
  static const uint32_t kExtremes[] = {0, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFu, 1};
  for (int k = 0; k < 6; ++k) {
    std::string d = data;
    size_t span = std::min<size_t>(d.size(), 512) / 4;
    for (int f = 0; f < 3 && span > 0; ++f) {
      size_t at = pick(span) * 4;
      uint32_t v = kExtremes[rng() % 6];
      for (int b = 0; b < 4 && at + b < d.size(); ++b) d[at + b] = static_cast<char>(v >> (8 * b));
    }
    put(d, i++);
  }
  return out;
}

TEST_F(NxscanTest, DamagedFilesAreScannedWithoutACrash) {
  std::string dir = work_.path() + "/damaged";
  fs::create_directories(dir);
  std::vector<std::string> sources;
  for (const char* f : {"eicar.com", "nyxel-demo.exe", "demo.cab"}) sources.push_back(std::string(NX_SOURCE_DIR) + "/samples/" + f);
  fs::path corpus = fs::path(nxtest::sharedDir()) / "corpus";
  if (fs::is_directory(corpus)) {
    // A few small files of each kind keep the sanitizer run short.
    for (const char* kind : {"cab", "cab-broken", "sis", "sisx", "wince-pe", "epoc-exe", "arj"}) {
      if (!fs::is_directory(corpus / kind)) continue;
      std::vector<fs::path> small;
      for (auto& e : fs::directory_iterator(corpus / kind))
        if (e.is_regular_file() && e.file_size() < 200 * 1024) small.push_back(e.path());
      std::sort(small.begin(), small.end());
      for (size_t k = 0; k < small.size() && k < 4; ++k) sources.push_back(small[k * small.size() / std::min<size_t>(small.size(), 4)].string());
    }
  } else {
    std::fprintf(stderr, "shared corpus absent (%s): damaging the samples only\n", corpus.c_str());
  }
  std::vector<std::string> files;
  uint32_t seed = 7;
  for (auto& src : sources) {
    std::string sub = dir + "/" + std::to_string(seed);
    fs::create_directories(sub);
    for (auto& f : damagedCopies(src, sub, seed)) files.push_back(f);
    ++seed;
  }
  ASSERT_FALSE(files.empty());
  Result r = scan("--json -j2 " + dir);
  EXPECT_TRUE(r.code == 0 || r.code == 1 || r.code == 2) << "exit " << r.code << "\n" << r.err;
  for (const char* crash : {"AddressSanitizer", "runtime error:", "LeakSanitizer", "terminate called"})
    EXPECT_EQ(r.err.find(crash), std::string::npos) << r.err;
  std::set<std::string> seen;
  std::istringstream in(r.out);
  for (std::string l; std::getline(in, l);) {
    ASSERT_TRUE(!l.empty() && l.front() == '{' && l.back() == '}') << l;
    size_t at = l.find("\"path\":\"");
    ASSERT_NE(at, std::string::npos) << l;
    at += 8;
    seen.insert(l.substr(at, l.find('"', at) - at));
  }
  for (auto& f : files) EXPECT_TRUE(seen.count(f)) << f << " got no answer";
}

// ---- Scan limits ------------------------------------------------------------------

const std::string kEicarText = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

std::string twoMemberCab() {
  cabtest::Cabinet cab;
  cab.folders.push_back(cabtest::storedFolder("plain textplain text"));
  cab.files = {{"one.txt", 10, 0, 0}, {"two.txt", 10, 10, 0}};
  return cabtest::build(cab);
}

// A SIS package whose records all point at one zlib stream of `size` zeros.
std::string sisBomb(int records, uint32_t size) {
  std::string zeros(size, '\0');
  uLongf packed = compressBound(size);
  std::string stream(packed, '\0');
  compress2(reinterpret_cast<Bytef*>(stream.data()), &packed, reinterpret_cast<const Bytef*>(zeros.data()), size, 9);
  stream.resize(packed);
  auto put32 = [](std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
  };
  const std::string name("c\0:\0\\\0b\0.\0t\0x\0t\0", 16);
  std::string b(100 + 48 * static_cast<size_t>(records), '\0');
  put32(b, 4, 0x10003A12);
  put32(b, 8, 0x10000419);
  b[18] = 1;
  b[20] = static_cast<char>(records & 0xFF);
  b[21] = static_cast<char>(records >> 8);
  put32(b, 52, 100);
  const uint32_t nameAt = static_cast<uint32_t>(b.size()), dataAt = nameAt + static_cast<uint32_t>(name.size());
  for (int i = 0; i < records; ++i) {
    const size_t r = 100 + 48 * static_cast<size_t>(i);
    put32(b, r + 20, static_cast<uint32_t>(name.size()));
    put32(b, r + 24, nameAt);
    put32(b, r + 28, static_cast<uint32_t>(stream.size()));
    put32(b, r + 32, dataAt);
    put32(b, r + 36, size);
  }
  return b + name + stream;
}

void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST_F(NxscanTest, FilesStoppedAtALimitAreNeverClean) {
  const std::string dir = work_.path() + "/limits";
  fs::create_directories(dir);
  writeBytes(dir + "/two.cab", twoMemberCab());
  writeBytes(dir + "/bomb.sis", sisBomb(40, 1u << 20));
  // Inside a cabinet inside a cabinet.
  cabtest::Cabinet outer;
  const std::string inner = twoMemberCab();
  outer.folders.push_back(cabtest::storedFolder(inner));
  outer.files = {{"inner.cab", static_cast<uint32_t>(inner.size()), 0, 0}};
  writeBytes(dir + "/nested.cab", cabtest::build(outer));
  // The first part of a set whose second part is not there.
  writeBytes(dir + "/part.cab", cabtest::firstPartOfAMissingSet("a.txt", "b.txt"));

  struct Case {
    std::string args;
    std::string file;
    int code;
    std::string line;  // the file's line; empty: none printed
  } cases[] = {
      {"--max-files 1", "two.cab", 2, "two.cab: LIMITS EXCEEDED (max-files)"},
      {"--max-files 2", "two.cab", 0, ""},
      {"--max-files 1 --limits-ok", "two.cab", 0, "two.cab: LIMITS EXCEEDED (max-files)"},
      {"--max-scan-size 4M", "bomb.sis", 2, "bomb.sis: LIMITS EXCEEDED (max-scan-size)"},
      {"--max-scan-size 0", "bomb.sis", 0, ""},
      {"--depth 1", "nested.cab", 2, "nested.cab: LIMITS EXCEEDED (depth)"},
      {"--depth 2", "nested.cab", 0, ""},
      {"", "part.cab", 2, "part.cab: LIMITS EXCEEDED (incomplete archive)"},
      {"--no-archives", "part.cab", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args + " " + c.file);
    Result r = scan("--no-summary " + c.args + " " + dir + "/" + c.file);
    EXPECT_EQ(r.code, c.code) << r.out << r.err;
    EXPECT_EQ(r.out, c.line.empty() ? "" : dir + "/" + c.line + "\n");
  }

  // A threat found before the limit is reported; a file not looked at whole
  // in the same run still makes the exit status 2.
  cabtest::Cabinet bad;
  bad.folders.push_back(cabtest::storedFolder(kEicarText + "plain text"));
  bad.files = {{"eicar.com", static_cast<uint32_t>(kEicarText.size()), 0, 0},
               {"two.txt", 10, static_cast<uint32_t>(kEicarText.size()), 0}};
  writeBytes(dir + "/bad.cab", cabtest::build(bad));
  Result r = scan("--max-files 1 -j1 " + dir + "/two.cab " + dir + "/bad.cab");
  EXPECT_EQ(r.code, 2) << r.out;
  EXPECT_TRUE(hasLine(r.out, dir + "/bad.cab/eicar.com: EICAR Test File FOUND")) << r.out;
  EXPECT_TRUE(hasLine(r.out, dir + "/two.cab: LIMITS EXCEEDED (max-files)")) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Limits exceeded: 1")) << r.out;
  r = scan("--max-files 1 --limits-ok -j1 " + dir + "/two.cab " + dir + "/bad.cab");
  EXPECT_EQ(r.code, 1) << r.out;
  r = scan("--max-files 2 -j1 " + dir + "/two.cab " + dir + "/bad.cab");
  EXPECT_EQ(r.code, 1) << r.out;
  EXPECT_TRUE(hasLine(r.out, "Limits exceeded: 0")) << r.out;

  // JSON: the result "limits" and which ones.
  r = scan("--json --max-files 1 " + dir + "/two.cab");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.out.find("\"result\":\"limits\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"limits\":\"max-files\""), std::string::npos) << r.out;

  // Values that are not sizes, counts or seconds.
  for (const char* bad : {"--max-scan-size 1T", "--max-files many", "--max-scan-time -1"}) {
    Result b = scan(std::string(bad) + " " + dir + "/two.cab");
    EXPECT_EQ(b.code, 2) << bad;
    EXPECT_TRUE(b.out.empty()) << bad;
    EXPECT_NE(b.err.find("--max-"), std::string::npos) << bad << ": " << b.err;
  }
}

}  // namespace
