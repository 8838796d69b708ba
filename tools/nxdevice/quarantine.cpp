// nxdevice quarantine: lists the device's quarantine store and brings a file
// back out of it (the handset itself offers no restore).
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "commands.h"
#include "common/install_dir.h"
#include "common/quarantine_store.h"

namespace nxdevice {

namespace {

struct QuarantineOptions {
  bool json = false;
  unsigned number = 0;
  std::string to;
  bool force = false;
} qopts;

std::string jsonText(const std::u16string& s16) {
  std::string s = ce::utf16ToUtf8(s16), o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o + "\"";
}

std::string timeText(const ce::SYSTEMTIME& t) {
  char b[40];
  std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return b;
}

const char* kindText(ce::DWORD kind) {
  return kind == nx::kQuarantineMove ? "moved" : kind == nx::kQuarantineCopy ? "copied" : "unknown";
}

// The store of the device's installation, or why there is none.
bool openStore(const Context& ctx, std::u16string* install) {
  if (!attach(ctx.root)) return false;
  ce::WCHAR dir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(dir, ce::MAX_PATH)) {
    std::fprintf(stderr, "nxdevice: cannot determine the installation directory\n");
    return false;
  }
  *install = dir;
  return true;
}

int storeFailure(const char* what, const nx::QuarantineStore& store) {
  std::fprintf(stderr, "nxdevice: %s: %s\n", what, nx::quarantineErrorText(ce::GetLastError(), store.databaseStatus()).c_str());
  return 1;
}

int cmdList(const Context& ctx) {
  std::u16string install;
  if (!openStore(ctx, &install)) return 1;
  nx::QuarantineStore store(install.c_str());
  std::vector<nx::QuarantineRecord> all;
  if (!store.ReadAll(&all)) return storeFailure("cannot list the quarantine", store);
  if (qopts.json) {
    std::printf("[");
    for (size_t i = 0; i < all.size(); ++i) {
      const auto& r = all[i];
      std::printf("%s\n  {\"number\":%zu,\"source\":%s,\"threat\":%s,\"quarantined\":%s,\"time\":\"%s\",\"kind\":%u}",
                  i ? "," : "", i + 1, jsonText(r.source).c_str(), jsonText(r.threat).c_str(),
                  jsonText(r.stored).c_str(), timeText(r.time).c_str(), r.kind);
    }
    std::printf("%s]\n", all.empty() ? "" : "\n");
    return 0;
  }
  if (all.empty()) {
    std::printf("the quarantine is empty\n");
    return 0;
  }
  std::printf("%-4s %-19s  %-6s  %-24s  %s\n", "#", "time", "kind", "threat", "source -> quarantined file");
  for (size_t i = 0; i < all.size(); ++i) {
    const auto& r = all[i];
    std::printf("%-4zu %-19s  %-6s  %-24s  %s -> %s\n", i + 1, timeText(r.time).c_str(), kindText(r.kind),
                ce::utf16ToUtf8(r.threat).c_str(), ce::utf16ToUtf8(r.source).c_str(),
                ce::utf16ToUtf8(r.stored).c_str());
  }
  return 0;
}

// A target given as a device path ("\My Documents\a.exe") is taken as it is;
// anything else is a host path, reached through the \Host mount.
std::u16string targetPath(const std::string& to) {
  if (!to.empty() && to[0] == '\\') return ce::utf8ToUtf16(to);
  std::error_code ec;
  std::string abs = std::filesystem::absolute(to, ec).lexically_normal().string();
  std::string dev = "\\Host" + abs;
  for (char& c : dev)
    if (c == '/') c = '\\';
  ce::EnableHostMount(true);
  return ce::utf8ToUtf16(dev);
}

int cmdRestore(const Context& ctx) {
  std::u16string install;
  if (!openStore(ctx, &install)) return 1;
  if (qopts.number == 0) {
    std::fprintf(stderr, "nxdevice: records are numbered from 1, as 'quarantine list' shows them\n");
    return 1;
  }
  // Records naming \Host paths came from host files scanned by nxscan.
  ce::EnableHostMount(true);
  nx::QuarantineStore store(install.c_str());
  nx::QuarantineRecord rec{};
  std::vector<nx::QuarantineRecord> all;
  if (!store.ReadAll(&all)) return storeFailure("cannot read the quarantine", store);
  if (qopts.number > all.size()) {
    std::fprintf(stderr, "nxdevice: no record %u (the quarantine holds %zu)\n", qopts.number, all.size());
    return 1;
  }
  rec = all[qopts.number - 1];
  std::u16string target = qopts.to.empty() ? std::u16string(rec.source) : targetPath(qopts.to);
  bool kept = false;
  // The record read above is the one restored: another process may have
  // changed the database since, shifting the numbers.
  if (!store.Restore(qopts.number - 1, target.c_str(), qopts.force, &kept, rec.stored)) {
    if (ce::GetLastError() == ce::ERROR_INVALID_PARAMETER) {
      std::fprintf(stderr, "nxdevice: the quarantine changed while record %u was read; list it again\n", qopts.number);
      return 1;
    }
    return storeFailure(("cannot restore " + ce::utf16ToUtf8(target)).c_str(), store);
  }
  std::printf("restored %s (%s) from %s\n", ce::utf16ToUtf8(target).c_str(), ce::utf16ToUtf8(rec.threat).c_str(),
              ce::utf16ToUtf8(rec.stored).c_str());
  if (kept) {
    std::fprintf(stderr, "nxdevice: the file is back, but its record could not be removed: %s\n",
                 nx::quarantineErrorText(ce::GetLastError(), store.databaseStatus()).c_str());
    return 1;
  }
  return 0;
}

}  // namespace

void addQuarantineCommands(CLI::App& app, Context& ctx) {
  auto* q = app.add_subcommand("quarantine", "list the device's quarantined files or restore one");
  q->require_subcommand(1);
  auto* list = q->add_subcommand("list", "source path, threat, quarantined file, time and kind of every record");
  list->add_flag("--json", qopts.json, "one JSON array");
  list->callback([&ctx] { ctx.status = cmdList(ctx); });
  auto* restore = q->add_subcommand("restore", "write a quarantined file back and drop its record");
  restore->add_option("N", qopts.number, "the record's number as 'quarantine list' shows it")->required();
  restore->add_option("--to", qopts.to, "where to write it (a device path \\..., or a host path; default its source)");
  restore->add_flag("--force", qopts.force, "replace a file that exists there");
  restore->callback([&ctx] { ctx.status = cmdRestore(ctx); });
}

}  // namespace nxdevice
