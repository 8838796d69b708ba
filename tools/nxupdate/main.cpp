// nxupdate: runs or steers an update of the device's definitions through
// the device's own updengine.dll, as the handset's update screen does.
//   now      run an update: a progress bar on a terminal (the file being
//            fetched, bytes, rate), a line per step otherwise, and the
//            report's title and text at the end
//   pause    hold the running update; resume lets it go on; stop ends it
//   status   whether an update runs (and is paused), the installed version
//            and the last update report
// Exit status: 0 updated or up to date (or the steering was done), 1 failed,
// 2 usage error.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "common/install_dir.h"
#include "common/report_index.h"
#include "common/report_log.h"
#include "nyxel/updengine.h"

namespace {

using ce::WCHAR;
using Clock = std::chrono::steady_clock;

int fail(const std::string& what) {
  std::fprintf(stderr, "nxupdate: %s\n", what.c_str());
  return 1;
}

const char* describe(uint16_t code) {
  switch (code) {
    case NX_UPD_STARTING: return "update starting";
    case NX_UPD_FETCHING_INDEX: return "fetching";
    case NX_UPD_FETCHED: return "all files fetched";
    case NX_UPD_INSTALLING: return "installing";
    case NX_UPD_VERSION_PASSED: return "newer than installed: replacing files";
    case NX_UPD_UPDATED: return "updated";
    case NX_UPD_UP_TO_DATE: return "already up to date";
    case NX_UPD_CANNOT_START: return "cannot start: the source list cannot be read";
    case NX_UPD_DOWNLOAD_FAILED: return "a connection or download failed";
    case NX_UPD_INSTALL_FAILED: return "the installation failed";
    case NX_UPD_STOPPED: return "stopped";
    case NX_UPD_LOCAL_FILE_MISSING: return "a file is missing in the local update folder";
    case NX_UPD_CORRUPT: return "a definition file is corrupt";
    case NX_UPD_WRONG_PLATFORM: return "a definition file is not meant for this platform";
    case NX_UPD_ALREADY_RUNNING: return "another update is already running";
    default: return "progress";
  }
}

std::string human(uint64_t bytes) {
  char b[32];
  if (bytes >= 10u << 20)
    std::snprintf(b, sizeof b, "%.1f MB", bytes / 1048576.0);
  else if (bytes >= 10u << 10)
    std::snprintf(b, sizeof b, "%.1f KB", bytes / 1024.0);
  else
    std::snprintf(b, sizeof b, "%llu B", static_cast<unsigned long long>(bytes));
  return b;
}

// What the run showed, and the bar of the file being fetched.
struct Display {
  bool terminal = false;
  bool updated = false, upToDate = false;
  uint16_t last = 0;
  std::u16string file;
  Clock::time_point fileStart{}, lastDraw{};
  bool barShown = false;
  bool fileDone = false;  // the finished size of this file was shown

  void endBar() {
    if (barShown) std::fputc('\n', stdout);
    barShown = false;
  }
  void step(const NxUpdateProgress& p) {
    last = p.code;
    if (p.code == NX_UPD_UPDATED) updated = true;
    if (p.code == NX_UPD_UP_TO_DATE) upToDate = true;
    endBar();
    std::u16string name(p.file);
    if (terminal)
      std::printf("%s%s%s\n", describe(p.code), name.empty() ? "" : " ", ce::utf16ToUtf8(name).c_str());
    else
      std::printf("%u %s%s%s\n", p.code, describe(p.code), name.empty() ? "" : " ", ce::utf16ToUtf8(name).c_str());
    std::fflush(stdout);
  }
  void bytes(const WCHAR* f, uint64_t done, uint64_t total) {
    const auto now = Clock::now();
    if (file != f || (done == 0 && fileDone)) {
      endBar();
      file = f;
      fileStart = now;
      lastDraw = {};
      fileDone = false;
    }
    if (fileDone) return;
    if (total && done == total) fileDone = true;
    if (!terminal) {
      if (fileDone) {
        std::printf("fetched %s %llu bytes\n", ce::utf16ToUtf8(file).c_str(), static_cast<unsigned long long>(done));
        std::fflush(stdout);
      }
      return;
    }
    if (now - lastDraw < std::chrono::milliseconds(100) && !(total && done == total)) return;
    lastDraw = now;
    const double secs = std::chrono::duration<double>(now - fileStart).count();
    const uint64_t rate = secs > 0.05 ? static_cast<uint64_t>(done / secs) : 0;
    constexpr int kWidth = 24;
    int filled = total ? static_cast<int>(kWidth * (done > total ? 1.0 : double(done) / double(total))) : 0;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, total ? '.' : '?');
    std::printf("\r  [%s] %-16.16s %s%s%s  %s/s   ", bar.c_str(), ce::utf16ToUtf8(file).c_str(), human(done).c_str(),
                total ? " / " : "", total ? human(total).c_str() : "", human(rate).c_str());
    std::fflush(stdout);
    barShown = true;
  }
};

int32_t onProgress(const NxUpdateProgress* p, void* ctx) {
  static_cast<Display*>(ctx)->step(*p);
  return 0;
}

void onBytes(const NxWChar* file, uint64_t done, uint64_t total, void* ctx) {
  static_cast<Display*>(ctx)->bytes(file, done, total);
}

std::u16string installDirectory() {
  WCHAR dir[ce::MAX_PATH];
  return nx::getInstallDirectory(dir, ce::MAX_PATH) ? std::u16string(dir) : std::u16string();
}

std::vector<nx::IndexEntry> updateReports(const std::u16string& install) {
  std::vector<nx::IndexEntry> all;
  nx::readIndex((install + nx::kUpdateIndexName).c_str(), nx::kReportUpdate,
                [&](const nx::IndexEntry& e) { all.push_back(e); });
  return all;
}

// The body of a report: the lines after the header's separator, without separators.
std::string reportBody(const std::string& devicePath) {
  ce::HANDLE f = ce::CreateFileW(ce::utf8ToUtf16(devicePath).c_str(), ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr,
                                 ce::OPEN_EXISTING, 0, nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return {};
  std::u16string text;
  char16_t buf[2048];
  ce::DWORD got = 0;
  while (ce::ReadFile(f, buf, sizeof buf, &got, nullptr) && got >= 2) text.append(buf, got / 2);
  ce::CloseHandle(f);
  std::string all = ce::utf16ToUtf8(text), out;
  bool body = all.find("\r\n---") == std::string::npos;  // a report without a header is all body
  size_t pos = 0;
  while (pos < all.size()) {
    size_t end = all.find("\r\n", pos);
    if (end == std::string::npos) end = all.size();
    std::string line = all.substr(pos, end - pos);
    pos = end + 2;
    const bool separator = !line.empty() && line.find_first_not_of('-') == std::string::npos;
    if (separator) {
      body = true;
      continue;
    }
    if (body) out += line + "\n";
  }
  while (!out.empty() && out.front() == '\n') out.erase(0, 1);
  return out;
}

int cmdNow() {
  const std::u16string install = installDirectory();
  ce::HMODULE lib = ce::LoadLibraryW((install + u"\\updengine.dll").c_str());
  if (!lib) return fail("cannot load updengine.dll from " + ce::utf16ToUtf8(install) + " (run 'nxdevice install')");
  auto init = reinterpret_cast<PFN_UpdInit>(ce::GetProcAddressW(lib, u"Init"));
  auto now = reinterpret_cast<PFN_UpdateNow>(ce::GetProcAddressW(lib, u"UpdateNow"));
  auto deinit = reinterpret_cast<PFN_UpdDeInit>(ce::GetProcAddressW(lib, u"DeInit"));
  auto transfer = reinterpret_cast<PFN_SetTransferCallback>(ce::GetProcAddressW(lib, u"SetTransferCallback"));
  if (!init || !now || !deinit) return fail("updengine.dll lacks Init, UpdateNow or DeInit");
  Display d;
  d.terminal = ::isatty(1);
  const size_t reportsBefore = updateReports(install).size();
  if (!init()) return fail("the update engine cannot start (its events cannot be made)");
  if (transfer) transfer(&onBytes, &d);
  uint32_t status = 0;
  const int32_t r = now(install.c_str(), &onProgress, &d, &status);
  if (transfer) transfer(nullptr, nullptr);
  deinit();
  ce::FreeLibrary(lib);
  d.endBar();

  const auto reports = updateReports(install);
  if (reports.size() > reportsBefore) {
    const nx::IndexEntry& last = reports.back();
    std::printf("\n%s\n%s", ce::utf16ToUtf8(last.title).c_str(), reportBody(last.path).c_str());
  } else if (d.last == NX_UPD_ALREADY_RUNNING) {
    std::printf("\nanother update is already running (nxupdate status)\n");
  }
  return r == 1 || d.updated || d.upToDate ? 0 : 1;
}

// Sets the named events a running update watches.
int steer(const std::vector<const char16_t*>& names, const char* done) {
  std::vector<ce::HANDLE> hs;
  for (const char16_t* n : names) {
    ce::HANDLE h = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, n);
    if (!h) {
      for (ce::HANDLE o : hs) ce::CloseHandle(o);
      return fail("no update is running");
    }
    hs.push_back(h);
  }
  for (ce::HANDLE h : hs) {
    ce::SetEvent(h);
    ce::CloseHandle(h);
  }
  std::printf("%s\n", done);
  return 0;
}

int cmdStatus() {
  const std::u16string install = installDirectory();
  ce::HANDLE running = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, NX_UPD_EVENT_RUNNING);
  if (running) {
    ce::HANDLE pause = ce::OpenEventW(ce::EVENT_ALL_ACCESS, ce::FALSE, NX_UPD_EVENT_PAUSE);
    const bool paused = pause && ce::WaitForSingleObject(pause, 0) == ce::WAIT_OBJECT_0;
    if (pause) ce::CloseHandle(pause);
    ce::CloseHandle(running);
    std::printf("update:     running%s\n", paused ? " (paused)" : "");
  } else {
    std::printf("update:     none running\n");
  }
  nx::ScanVersionInfo v;
  if (nx::readScanVersion(install.c_str(), &v))
    std::printf("installed:  %d.%02d, signatures of %04u-%02u-%02u %02u:%02u\n", v.major, v.minor, v.database.wYear,
                v.database.wMonth, v.database.wDay, v.database.wHour, v.database.wMinute);
  else
    std::printf("installed:  not installed\n");
  const auto reports = updateReports(install);
  if (!reports.empty()) {
    const auto& r = reports.back();
    std::printf("last report: %04u-%02u-%02u %02u:%02u:%02u %s\n", r.opened.wYear, r.opened.wMonth, r.opened.wDay,
                r.opened.wHour, r.opened.wMinute, r.opened.wSecond, ce::utf16ToUtf8(r.title).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"nxupdate: update the device's definitions through its update engine"};
  std::string root;
  app.add_option("--device-root", root, "device root folder (default: $NX_DEVICE_ROOT or the user's data folder)");
  app.require_subcommand(1, 1);
  auto* now = app.add_subcommand("now", "run an update and show its progress and report");
  auto* pause = app.add_subcommand("pause", "hold the running update");
  auto* resume = app.add_subcommand("resume", "let a paused update go on");
  auto* stop = app.add_subcommand("stop", "end the running update (pause, then stop)");
  auto* status = app.add_subcommand("status", "whether an update runs, the installed version, the last report");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? 0 : 2;
  }
  if (root.empty()) root = ce::DefaultDeviceRoot();
  if (!ce::AttachDevice(root)) return fail("no device at " + root + " (create one with 'nxdevice init')");
  if (now->parsed()) return cmdNow();
  if (pause->parsed()) return steer({NX_UPD_EVENT_PAUSE}, "update paused");
  if (resume->parsed()) return steer({NX_UPD_EVENT_RESUME}, "update resumed");
  if (stop->parsed()) return steer({NX_UPD_EVENT_PAUSE, NX_UPD_EVENT_STOP}, "update stopping");
  if (status->parsed()) return cmdStatus();
  return 2;
}
