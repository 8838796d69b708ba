// The card scan runs as a device program: device paths only (no \Host), one
// file at a time as on the handset, the on-demand settings of WM_SCAN_OPTS
// (byte 0: executable files or all files; byte 1: the action), one scan
// report of kind 1 titled with the folder, and the outcome in a message box.
#include "card_scan.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "ce/ui.h"
#include "common/install_dir.h"
#include "common/options_files.h"
#include "common/report_log.h"
#include "scan.h"

namespace nxscan {

namespace {

using ce::WCHAR;

// What the action setting does to an infected file. The card scan has no one
// to ask, so "Prompt" repairs and leaves what cannot be repaired, as the
// guard does; an unknown value is taken as "Prompt".
Plan planOfSetting(int action) {
  switch (action) {
    case nx::kActionRepairOrDelete: return {true, NX_ANSWER_REPAIR, NX_ANSWER_DELETE};
    case nx::kActionRepairOrQuarantine: return {true, NX_ANSWER_REPAIR, NX_ANSWER_QUARANTINE};
    case nx::kActionDelete: return {true, NX_ANSWER_DELETE, NX_ANSWER_DELETE};
    case nx::kActionReportOnly: return {};
    default: return {true, NX_ANSWER_REPAIR, NX_ANSWER_SKIP};
  }
}

// The report's result code for what was done to an infected file; a file
// that is still there as it was is "Unrepairable".
ce::DWORD resultCodeOf(const Outcome& o) {
  if (o.action == "repaired") return 3001;
  if (o.action == "deleted") return 3003;
  if (o.action == "quarantined") return 3007;
  if (o.action == "none") return 3004;
  return 3002;
}

struct Walk {
  std::vector<std::u16string> files;
  std::vector<std::u16string> unreadable;  // folders that could not be listed
};

// Files under folder, each folder's names in order; folders whose listing
// fails are kept as not scanned.
void walk(const std::u16string& folder, bool allFiles, Walk& w, int depth = 0) {
  ce::WIN32_FIND_DATAW fd{};
  ce::HANDLE h = ce::FindFirstFileW((folder + u"\\*").c_str(), &fd);
  if (h == ce::INVALID_HANDLE_VALUE) {
    if (ce::GetLastError() != ce::ERROR_FILE_NOT_FOUND && ce::GetLastError() != ce::ERROR_NO_MORE_FILES)
      w.unreadable.push_back(folder);
    return;
  }
  std::vector<std::pair<std::u16string, bool>> names;
  do {
    std::u16string name(fd.cFileName);
    if (name == u"." || name == u"..") continue;
    names.emplace_back(name, (fd.dwFileAttributes & ce::FILE_ATTRIBUTE_DIRECTORY) != 0);
  } while (ce::FindNextFileW(h, &fd));
  ce::FindClose(h);
  std::sort(names.begin(), names.end());
  for (const auto& [name, dir] : names) {
    std::u16string path = folder + u"\\" + name;
    if (dir) {
      // Folders nested this deep are a loop of the card's file system, not content.
      if (depth < 64) walk(path, allFiles, w, depth + 1);
      else w.unreadable.push_back(path);
    } else if (allFiles || isExecutableName(name)) {
      w.files.push_back(path);
    }
  }
}

void showOutcome(const std::u16string& text, unsigned icon) {
  std::printf("%s\n", ce::utf16ToUtf8(text).c_str());
  std::fflush(stdout);
  ce::MessageBoxW(nullptr, text.c_str(), u"Nyxel", ce::MB_OK | icon | ce::MB_TOPMOST);
}

int failBefore(const std::u16string& folder, const std::string& why) {
  std::fprintf(stderr, "nxscan: %s\n", why.c_str());
  showOutcome(u"Cannot scan " + folder + u": " + ce::utf8ToUtf16(why) + u".", ce::MB_ICONERROR);
  return 2;
}

}  // namespace

bool isExecutableName(const std::u16string& name) {
  static const char16_t* const kExtensions[] = {u"exe", u"dll", u"com", u"ocx", u"cpl", u"scr", u"sys", u"drv",
                                                u"app", u"cab", u"sis", u"sisx", u"arj"};
  size_t dot = name.rfind(u'.');
  if (dot == std::u16string::npos) return false;
  std::u16string ext = name.substr(dot + 1);
  for (const char16_t* e : kExtensions)
    if (ce::equalsNoCase(ext, e)) return true;
  return false;
}

int cardScanMain(int argc, char** argv) {
  std::string joined;
  for (int i = 2; i < argc; ++i) joined += (i > 2 ? " " : "") + std::string(argv[i]);
  const std::u16string folder = ce::utf8ToUtf16(joined);
  if (folder.empty() || folder[0] != u'\\') {
    std::fprintf(stderr, "nxscan: %s takes the device folder of the card (\\Storage Card)\n", kCardScanVerb);
    return 2;
  }
  // A device program: the device it was started on, or the default one.
  if (!ce::DeviceAttached() && !ce::AttachDevice(ce::DefaultDeviceRoot())) {
    std::fprintf(stderr, "nxscan: no device at %s\n", ce::DefaultDeviceRoot().c_str());
    return 2;
  }
  WCHAR installDir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(installDir, ce::MAX_PATH))
    return failBefore(folder, "the installation directory is unknown");
  const std::u16string install(installDir);
  ce::DWORD attrs = ce::GetFileAttributesW(folder.c_str());
  if (attrs == ce::INVALID_FILE_ATTRIBUTES || !(attrs & ce::FILE_ATTRIBUTE_DIRECTORY))
    return failBefore(folder, ce::utf16ToUtf8(folder) + " is not there");

  // Without readable settings the factory ones hold: executables, repair or
  // quarantine.
  nx::WM_SCAN_OPTS opts{};
  if (!nx::CWmOptionsGen::ReadScanOpts(installDir, &opts, nx::kOptionsReadCurrent)) {
    opts.bWhatToScan = 1;
    opts.bAction = nx::kActionRepairOrQuarantine;
  }
  const bool allFiles = opts.bWhatToScan == 2;
  const Plan plan = planOfSetting(opts.bAction);

  Api api;
  std::string why;
  if (!loadApi(install, &api, &why)) return failBefore(folder, why);
  SessionSettings ss;
  ss.allowDelete = plan.allowsDelete();
  Session session(api, install);
  if (!session.start(ss, &why)) return failBefore(folder, why);

  nx::ReportSession report;
  bool reportOk = report.Open(installDir, nx::kReportScan, folder.c_str(), kScanIndexName);
  const nx::UiStrings& ui = report.strings();

  Walk w;
  walk(folder, allFiles, w);
  unsigned scanned = 0, threats = 0, notScanned = 0, failedActions = 0;
  auto notScannedEntry = [&](const std::u16string& path, const std::string& reason) {
    ++notScanned;
    std::printf("%s: ERROR\n", ce::utf16ToUtf8(path).c_str());
    std::fflush(stdout);
    std::fprintf(stderr, "nxscan: %s: %s\n", ce::utf16ToUtf8(path).c_str(), reason.c_str());
    if (reportOk)
      reportOk = report.Write((u"File Name: " + path + u"\r\nNot scanned: " + ce::utf8ToUtf16(reason) + u"\r\n" +
                               ui.get(nx::ui::kSeparator, nx::ui::kEntrySeparatorFallback) + u"\r\n")
                                  .c_str());
  };
  for (const std::u16string& f : w.unreadable) notScannedEntry(f, "the folder cannot be read");
  for (const std::u16string& f : w.files) {
    Outcome o = scanOne(api, session.handle(), install, plan, true, f, "");
    if (o.result == "error") {
      notScannedEntry(f, o.reason);
      continue;
    }
    ++scanned;
    if (o.result != "infected") continue;
    ++threats;
    if (o.actionFailed()) ++failedActions;
    std::string shown = ce::utf16ToUtf8(f) + (o.member.empty() ? "" : "/" + o.member);
    std::printf("%s: %s FOUND%s\n", shown.c_str(), o.threat.c_str(),
                o.action == "none" ? "" : (" (" + o.action + ")").c_str());
    std::fflush(stdout);
    if (!o.reason.empty()) std::fprintf(stderr, "nxscan: %s: %s\n", shown.c_str(), o.reason.c_str());
    std::u16string threat = ce::utf8ToUtf16(o.threat);
    if (reportOk) reportOk = report.WriteOnlineEntry(resultCodeOf(o), threat.c_str(), f.c_str()) && report.Write(u"\r\n");
  }
  session.end();

  std::u16string counts = ce::format16(u"Files scanned: %u\r\nThreats found: %u", scanned, threats);
  if (notScanned) counts += ce::format16(u"\r\nNot scanned: %u", notScanned);
  if (failedActions) counts += ce::format16(u"\r\nNot acted on: %u", failedActions);
  if (reportOk) reportOk = report.Write((u"\r\n" + counts + u"\r\n").c_str());
  if (report.isOpen() && !report.Close()) reportOk = false;

  std::u16string text = u"Scan of " + folder + u" finished.\r\n" + counts;
  if (!reportOk) {
    text += u"\r\nThe scan report could not be written.";
    std::fprintf(stderr, "nxscan: the scan report could not be written\n");
  }
  showOutcome(text, threats ? ce::MB_ICONWARNING : ce::MB_ICONINFORMATION);
  if (notScanned || failedActions || !reportOk) return 2;
  return threats ? 1 : 0;
}

}  // namespace nxscan
