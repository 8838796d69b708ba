// nxscan: the on-demand scanner. Scans host files and folders through the
// device's installed scanning API (avapi.dll), host paths reaching the
// device through the \Host mount, and prints host paths back. Installed in
// the device as scanner.exe it is also the card scan the guard starts
// ("ExpansionCardInserted <folder>", card_scan.cpp). Exit status: 0 nothing
// found, 1 a threat found, 2 an error, a file skipped (not a regular file) or
// a file whose scan stopped at a scan limit (2 wins; --limits-ok lets limits
// pass).
#include <CLI/CLI.hpp>

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "common/install_dir.h"
#include "card_scan.h"
#include "nyxel/avapi.h"
#include "scan.h"
#include "tools/scan_limits.h"

namespace {

namespace fs = std::filesystem;
using ce::WCHAR;
using nxscan::Outcome;

enum class Action { Report, Repair, Delete, Quarantine };

struct Settings {
  std::string deviceRoot;
  std::vector<std::string> paths;
  bool verbose = false;
  bool json = false;
  bool summary = true;
  bool quiet = false;
  bool archives = true;
  int depth = 5;
  unsigned categories = NX_CATEGORY_ALL;
  unsigned jobs = 0;
  Action action = Action::Report;
  bool limitsOk = false;  // files stopped at a limit do not make the exit status 2
  std::vector<std::string> exclude, excludeDir;  // globs on a name or a whole path
};

// A glob matches a file or folder by its name or by its whole path, so both
// "*.log" and "/srv/*/cache" do what they say.
bool matchesAny(const std::vector<std::string>& globs, const fs::path& p) {
  const std::string whole = p.string(), name = p.filename().string();
  for (const std::string& g : globs)
    if (::fnmatch(g.c_str(), name.c_str(), 0) == 0 || ::fnmatch(g.c_str(), whole.c_str(), 0) == 0) return true;
  return false;
}

struct Totals {
  std::atomic<uint64_t> files{0}, threats{0}, errors{0}, bytes{0}, limits{0}, skipped{0};
};

std::mutex g_out;
// --log: everything printed is also appended here.
FILE* g_log = nullptr;

void vsay(FILE* to, const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  std::vfprintf(to, fmt, ap);
  if (g_log) std::vfprintf(g_log, fmt, copy);
  va_end(copy);
}
// Standard output and the log.
__attribute__((format(printf, 1, 2))) void say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsay(stdout, fmt, ap);
  va_end(ap);
}
// Standard error and the log.
__attribute__((format(printf, 1, 2))) void sayErr(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsay(stderr, fmt, ap);
  va_end(ap);
}

std::string jsonEscape(const std::string& s) {
  std::string o;
  for (unsigned char c : s) {
    switch (c) {
      case '"': o += "\\\""; break;
      case '\\': o += "\\\\"; break;
      case '\n': o += "\\n"; break;
      case '\r': o += "\\r"; break;
      case '\t': o += "\\t"; break;
      default:
        if (c < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          o += b;
        } else {
          o += static_cast<char>(c);
        }
    }
  }
  return o;
}

// Host path to the device's view of it: "\Host" and the path with "\".
std::u16string devicePath(const std::string& host) {
  std::string p = "\\Host" + host;
  for (char& c : p)
    if (c == '/') c = '\\';
  return ce::utf8ToUtf16(p);
}

// A file not looked at whole: never shown as clean.
void emitLimits(const Settings& s, const std::string& host, const Outcome& o, std::string& line) {
  const std::string names = nxtools::limitNames(o.limits);
  if (s.json) {
    line += ",\"limits\":\"" + jsonEscape(names) + "\"";
  } else {
    say("%s: LIMITS EXCEEDED (%s)\n", host.c_str(), names.c_str());
  }
}

void emit(const Settings& s, const std::string& host, const Outcome& o) {
  std::lock_guard<std::mutex> lock(g_out);
  if (s.json) {
    std::string line = "{\"path\":\"" + jsonEscape(host) + "\",\"result\":\"" + o.result + "\"";
    line += ",\"threat\":" + (o.threat.empty() ? std::string("null") : "\"" + jsonEscape(o.threat) + "\"");
    line += ",\"category\":" + std::to_string(o.category);
    line += ",\"type\":" + std::to_string(o.type);
    line += ",\"length\":" + std::to_string(o.length);
    line += ",\"member\":" + (o.member.empty() ? std::string("null") : "\"" + jsonEscape(o.member) + "\"");
    line += ",\"action\":\"" + o.action + "\"";
    if (o.result == "skipped")
      line += ",\"skipped\":\"" + jsonEscape(o.reason) + "\"";
    else if (!o.reason.empty())
      line += ",\"error\":\"" + jsonEscape(o.reason) + "\"";
    if (o.result == "limits") emitLimits(s, host, o, line);
    line += "}\n";
    say("%s", line.c_str());
  } else if (o.result == "limits") {
    std::string unused;
    emitLimits(s, host, o, unused);
  } else if (o.result == "infected") {
    std::string shown = o.member.empty() ? host : host + "/" + o.member;
    say("%s: %s FOUND%s\n", shown.c_str(), o.threat.c_str(),
                o.action == "none" ? "" : (" (" + o.action + ")").c_str());
    if (!o.reason.empty()) {
      std::fflush(stdout);
      sayErr("nxscan: %s: %s\n", host.c_str(), o.reason.c_str());
    }
  } else if (o.result == "skipped") {
    say("%s: SKIPPED (%s)\n", host.c_str(), o.reason.c_str());
  } else if (o.result == "error") {
    say("%s: ERROR\n", host.c_str());
    std::fflush(stdout);
    sayErr("nxscan: %s: %s\n", host.c_str(), o.reason.c_str());
  } else if (s.verbose) {
    say("%s: OK\n", host.c_str());
  }
}

// Files of the named paths; folders recursively, links to folders not
// followed (a loop would never end). Paths that do not exist are errors.
// Excluded files and folders are left out by the user's choice and are not
// counted; a named folder that is itself excluded is not entered.
void collect(const Settings& s, const std::string& arg, std::vector<std::string>& files,
             std::vector<std::string>& missing) {
  std::error_code ec;
  fs::path p = fs::absolute(arg, ec).lexically_normal();
  std::string ps = p.string();
  if (ps.size() > 1 && ps.back() == '/') ps.pop_back();
  fs::file_status st = fs::status(p, ec);
  if (ec || !fs::exists(st)) {
    missing.push_back(arg);
    return;
  }
  if (!fs::is_directory(st)) {
    if (!matchesAny(s.exclude, ps)) files.push_back(ps);
    return;
  }
  if (matchesAny(s.excludeDir, ps)) return;
  fs::recursive_directory_iterator it(p, fs::directory_options::skip_permission_denied, ec), end;
  if (ec) {
    missing.push_back(arg);
    return;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    std::error_code e2;
    // Links are followed to files (a link to a pipe is then skipped, not
    // passed over), never to folders; a link to nothing is passed over.
    if (it->is_directory(e2)) {
      if (matchesAny(s.excludeDir, it->path())) it.disable_recursion_pending();
    } else if (fs::exists(it->status(e2)) && !matchesAny(s.exclude, it->path())) {
      files.push_back(it->path().string());
    }
  }
}

// What each action does to an infected file.
nxscan::Plan planOf(Action a) {
  nxscan::Plan p;
  switch (a) {
    case Action::Report: break;
    case Action::Repair: p = {true, NX_ANSWER_REPAIR, NX_ANSWER_SKIP}; break;
    case Action::Delete: p = {true, NX_ANSWER_DELETE, NX_ANSWER_DELETE}; break;
    case Action::Quarantine: p = {true, NX_ANSWER_QUARANTINE, NX_ANSWER_QUARANTINE}; break;
  }
  return p;
}

bool parseAction(const std::string& v, Action& a) {
  if (v == "report") a = Action::Report;
  else if (v == "repair") a = Action::Repair;
  else if (v == "delete") a = Action::Delete;
  else if (v == "quarantine") a = Action::Quarantine;
  else return false;
  return true;
}

int fail(const std::string& what) {
  sayErr("nxscan: %s\n", what.c_str());
  return 2;
}

// Appends to the log, each run under a header of its own; false with the
// reason when the file cannot be opened for appending.
bool openLog(const std::string& file, const std::vector<std::string>& paths, std::string* why) {
  g_log = std::fopen(file.c_str(), "a");
  if (!g_log) {
    *why = "cannot open the log " + file + ": " + std::strerror(errno);
    return false;
  }
  std::time_t now = std::time(nullptr);
  char when[64];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
  std::fprintf(g_log, "\n----------- SCAN LOG -----------\nStarted: %s\nPaths:", when);
  for (const std::string& p : paths) std::fprintf(g_log, " %s", p.c_str());
  std::fprintf(g_log, "\n\n");
  return true;
}

// The log holds all a run printed only once it is flushed and closed; a
// write that failed is said, as a log with a gap would mislead.
bool closeLog() {
  if (!g_log) return true;
  bool ok = std::fflush(g_log) == 0 && !std::ferror(g_log);
  ok = std::fclose(g_log) == 0 && ok;
  g_log = nullptr;
  if (!ok) std::fprintf(stderr, "nxscan: the log could not be written whole\n");
  return ok;
}

// The scan limits (0 lifts one) and whether files stopped at one may pass.
struct LimitTexts {
  std::string size, files, time;
};
void addLimitOptions(CLI::App& app, Settings& s, LimitTexts& t) {
  app.add_option("--max-scan-size", t.size, "bytes the archive readers may produce for one file, K/M/G (default 256M)");
  app.add_option("--max-files", t.files, "members taken from one archive (default 2000)");
  app.add_option("--max-scan-time", t.time, "work time for one file, seconds (default 30)");
  app.add_flag("--limits-ok", s.limitsOk, "files stopped at a limit do not make the exit status 2");
}
bool applyLimitOptions(nxscan::SessionSettings& ss, const LimitTexts& t, std::string& error) {
  uint64_t files = 0;
  if (!t.size.empty() && !nxtools::parseSize(t.size, ss.limits.maxScanSize)) error = "--max-scan-size takes bytes, K, M or G";
  if (!t.files.empty() && (!nxtools::parseSize(t.files, files) || files > UINT32_MAX || t.files.find_first_not_of("0123456789") != std::string::npos))
    error = "--max-files takes a count of members";
  if (!t.time.empty() && !nxtools::parseSeconds(t.time, ss.limits.maxScanTimeMs)) error = "--max-scan-time takes seconds";
  if (!t.files.empty()) ss.limits.maxFiles = static_cast<uint32_t>(files);
  ss.limitsGiven = !t.size.empty() || !t.files.empty() || !t.time.empty();
  return error.empty();
}

}  // namespace

int main(int argc, char** argv) {
  // The handset's command line of the card scan the guard starts.
  if (argc >= 2 && std::strcmp(argv[1], nxscan::kCardScanVerb) == 0) return nxscan::cardScanMain(argc, argv);
  Settings s;
  std::string action = "report", categories = "0x7F";
  bool noSummary = false, noArchives = false;
  CLI::App app{"nxscan: scan host files and folders with the handset's installed engine"};
  app.add_option("--device-root", s.deviceRoot, "device root folder (default: $NX_DEVICE_ROOT or the user's data folder)");
  app.add_flag("-v,--verbose", s.verbose, "also print PATH: OK for clean files");
  app.add_flag("--json", s.json, "JSON Lines on standard output, one object per scanned file");
  app.add_flag("--no-summary", noSummary, "no summary at the end");
  app.add_flag("--quiet", s.quiet, "only detections and errors");
  std::string logFile;
  app.add_option("--log", logFile, "also append what is printed to FILE, under a header per run")->type_name("FILE");
  bool infectedOnly = false;
  app.add_flag("-i,--infected", infectedOnly, "print no line for clean files (overrides -v); the summary stays");
  app.add_option("--exclude", s.exclude, "leave out files whose name or path matches GLOB (repeatable)")
      ->type_name("GLOB")
      ->allow_extra_args(false);
  app.add_option("--exclude-dir", s.excludeDir, "do not enter folders whose name or path matches GLOB (repeatable)")
      ->type_name("GLOB")
      ->allow_extra_args(false);
  app.add_flag("--no-archives", noArchives, "do not open archives");
  app.add_option("--depth", s.depth, "maximum archive depth (default 5)")->check(CLI::Range(0, 50));
  app.add_option("--categories", categories, "signature categories, flag word D (default 0x7F)");
  app.add_option("-j,--jobs", s.jobs, "worker threads (default: number of cores)");
  app.add_option("--action", action, "report, repair, delete or quarantine (default report)");
  LimitTexts limitTexts;
  addLimitOptions(app, s, limitTexts);
  app.add_option("PATH", s.paths, "files and folders")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  s.summary = !noSummary && !s.quiet;
  if (infectedOnly) s.verbose = false;
  s.archives = !noArchives;
  if (!parseAction(action, s.action)) return fail("unknown action '" + action + "' (report, repair, delete or quarantine)");
  nxscan::SessionSettings ss;
  if (std::string error; !applyLimitOptions(ss, limitTexts, error)) return fail(error);
  try {
    size_t used = 0;
    unsigned long v = std::stoul(categories, &used, 0);
    if (used != categories.size() || v > 0x7F) throw std::out_of_range("mask");
    s.categories = static_cast<unsigned>(v);
  } catch (...) {
    return fail("--categories takes a mask from 0 to 0x7F");
  }
  if (std::string why; !logFile.empty() && !openLog(logFile, s.paths, &why)) return fail(why);
  struct LogCloser {
    ~LogCloser() { closeLog(); }
  } logCloser;
  if (s.jobs == 0) s.jobs = std::max(1u, std::thread::hardware_concurrency());
  if (s.jobs > 64) s.jobs = 64;

  if (s.deviceRoot.empty()) s.deviceRoot = ce::DefaultDeviceRoot();
  if (!ce::AttachDevice(s.deviceRoot))
    return fail("no device at " + s.deviceRoot + " (create one with 'nxdevice init' and install with 'nxdevice install')");
  ce::EnableHostMount(true);

  WCHAR installDir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(installDir, ce::MAX_PATH)) return fail("cannot determine the installation directory");
  std::u16string install(installDir);
  std::string installShown = ce::utf16ToUtf8(install);
  if (ce::GetFileAttributesW(installDir) == ce::INVALID_FILE_ATTRIBUTES)
    return fail("the engine is not installed on the device (" + installShown + " is missing; run 'nxdevice install')");
  nxscan::Api api;
  std::string why;
  if (!nxscan::loadApi(install, &api, &why)) return fail(why);
  ss.archives = s.archives;
  ss.depth = s.depth;
  ss.categories = s.categories;
  const nxscan::Plan plan = planOf(s.action);
  ss.allowDelete = plan.allowsDelete();
  nxscan::Session session(api, install);
  if (!session.start(ss, &why)) return fail(why);
  const auto started = std::chrono::steady_clock::now();
  std::vector<std::string> files, missing;
  for (const std::string& p : s.paths) collect(s, p, files, missing);
  std::sort(files.begin(), files.end());
  Totals totals;
  for (const std::string& m : missing) {
    ++totals.errors;
    Outcome o2;
    o2.result = "error";
    o2.reason = "no such file or folder";
    emit(s, m, o2);
  }

  std::atomic<size_t> next{0};
  auto worker = [&] {
    for (size_t i; (i = next.fetch_add(1)) < files.size();) {
      Outcome out = nxscan::scanOne(api, session.handle(), install, plan, s.archives, devicePath(files[i]), files[i]);
      ++totals.files;
      if (out.result == "infected") ++totals.threats;
      if (out.result == "error" || out.action == "quarantine-failed") ++totals.errors;
      if (out.result == "limits") ++totals.limits;
      if (out.result == "skipped") ++totals.skipped;
      totals.bytes += out.length;
      emit(s, files[i], out);
    }
  };
  const bool progress = !s.quiet && !s.json && ::isatty(2);
  std::vector<std::thread> pool;
  for (unsigned j = 1; j < s.jobs; ++j) pool.emplace_back(worker);
  std::atomic<bool> done{false};
  std::thread ticker;
  if (progress)
    ticker = std::thread([&] {
      while (!done) {
        {
          std::lock_guard<std::mutex> lock(g_out);
          std::fprintf(stderr, "\rscanning: %llu of %zu files, %llu found", (unsigned long long)totals.files.load(),
                       files.size(), (unsigned long long)totals.threats.load());
          std::fflush(stderr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
      std::fprintf(stderr, "\r\033[K");
    });
  worker();
  for (auto& t : pool) t.join();
  done = true;
  if (ticker.joinable()) ticker.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  session.end();

  if (s.summary && !s.json) {
    say("\n----------- SCAN SUMMARY -----------\n");
    say("Scanned files: %llu\n", (unsigned long long)totals.files.load());
    say("Infected files: %llu\n", (unsigned long long)totals.threats.load());
    say("Total errors: %llu\n", (unsigned long long)totals.errors.load());
    say("Limits exceeded: %llu\n", (unsigned long long)totals.limits.load());
    say("Skipped files: %llu\n", (unsigned long long)totals.skipped.load());
    say("Data scanned: %.2f MB\n", totals.bytes.load() / 1048576.0);
    say("Time: %.3f sec\n", seconds);
  } else if (s.summary && s.json) {
    // The summary goes to standard error so that standard output stays one object per file.
    sayErr("scanned %llu files, %llu infected, %llu errors, %llu limits exceeded, %llu skipped, %.2f MB, %.3f s\n",
                 (unsigned long long)totals.files.load(), (unsigned long long)totals.threats.load(),
                 (unsigned long long)totals.errors.load(), (unsigned long long)totals.limits.load(),
                 (unsigned long long)totals.skipped.load(), totals.bytes.load() / 1048576.0, seconds);
  }
  std::fflush(stdout);
  if (!closeLog()) return 2;
  // A file not looked at is never taken for clean: stopped at a limit
  // (unless allowed) or skipped, the run did not see everything.
  if (totals.errors || totals.skipped || (totals.limits && !s.limitsOk)) return 2;
  return totals.threats ? 1 : 0;
}
