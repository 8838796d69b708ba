// nxdevice report: the reports the product keeps (the guard's detections,
// the updates' outcomes, the scans'), newest last, as the handset's report
// viewer lists them: time, title, then the report's text.
#include <cstdio>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "commands.h"
#include "common/install_dir.h"
#include "common/report_index.h"
#include "common/report_log.h"

namespace nxdevice {
namespace {

struct Options {
  std::string kind = "online";
  int last = 0;
} opts;

struct Shown {
  nx::IndexEntry entry;
  std::string text;
};

// A report file (UTF-16LE) as UTF-8 with the handset's CR LF line ends made LF.
std::string reportText(const std::string& devicePath) {
  std::u16string path = ce::utf8ToUtf16(devicePath);
  ce::HANDLE f = ce::CreateFileW(path.c_str(), ce::GENERIC_READ, ce::FILE_SHARE_READ | ce::FILE_SHARE_WRITE, nullptr,
                                 ce::OPEN_EXISTING, 0, nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return "(the report file is missing)";
  std::string raw;
  char buf[4096];
  ce::DWORD got = 0;
  while (raw.size() < (1u << 20) && ce::ReadFile(f, buf, sizeof buf, &got, nullptr) && got > 0) raw.append(buf, got);
  ce::CloseHandle(f);
  std::u16string w(raw.size() / 2, u'\0');
  for (size_t i = 0; i < w.size(); ++i)
    w[i] = static_cast<char16_t>(static_cast<unsigned char>(raw[2 * i]) |
                                 (static_cast<unsigned char>(raw[2 * i + 1]) << 8));
  std::string text;
  for (char c : ce::utf16ToUtf8(w))
    if (c != '\r') text += c;
  return text;
}

int cmdReport(const std::string& root) {
  if (!attach(root)) return 1;
  ce::WCHAR dir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(dir, ce::MAX_PATH)) return fail("cannot determine the installation directory");
  const bool online = opts.kind == "online";
  const std::u16string index = std::u16string(dir) + (online ? nx::kOnlineIndexName : nx::kUpdateIndexName);
  std::vector<Shown> all;
  ce::DWORD st = nx::readIndex(index.c_str(), online ? nx::kReportOnline : nx::kReportUpdate,
                               [&](const nx::IndexEntry& e) { all.push_back({e, ""}); });
  if (st == nx::kIndexMissing) {
    std::printf("no %s reports\n", opts.kind.c_str());
    return 0;
  }
  if (st != nx::kIndexOk) {
    std::fprintf(stderr, "nxdevice: the %s report index %s cannot be read (status %u)\n", opts.kind.c_str(),
                 ce::utf16ToUtf8(index).c_str(), st);
    return 1;
  }
  size_t from = opts.last > 0 && all.size() > size_t(opts.last) ? all.size() - opts.last : 0;
  for (size_t i = from; i < all.size(); ++i) {
    const auto& e = all[i].entry;
    std::printf("== %04u-%02u-%02u %02u:%02u:%02u  %s  (%s)\n", e.opened.wYear, e.opened.wMonth, e.opened.wDay,
                e.opened.wHour, e.opened.wMinute, e.opened.wSecond, ce::utf16ToUtf8(e.title).c_str(), e.path.c_str());
    std::string text = reportText(e.path);
    std::printf("%s%s", text.c_str(), !text.empty() && text.back() == '\n' ? "" : "\n");
  }
  return 0;
}

}  // namespace

void addReportCommands(CLI::App& app, Context& ctx) {
  auto* report = app.add_subcommand("report", "print the product's reports: the guard's detections or the updates'");
  report->add_option("KIND", opts.kind, "online (the guard's, default) or update")
      ->check(CLI::IsMember({"online", "update"}));
  report->add_option("--last", opts.last, "only the last N reports");
  report->callback([&ctx] { ctx.status = cmdReport(ctx.root); });
}

}  // namespace nxdevice
