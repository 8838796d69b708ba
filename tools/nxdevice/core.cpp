// nxdevice: the device's own commands: init, info, card, clock.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "commands.h"
#include "common/install_dir.h"

namespace nxdevice {

int fail(const std::string& what) {
  std::fprintf(stderr, "nxdevice: %s (error %u)\n", what.c_str(), ce::GetLastError());
  return 1;
}

bool attach(const std::string& root) {
  if (ce::AttachDevice(root)) return true;
  std::fprintf(stderr, "nxdevice: no device at %s (run 'nxdevice init' first)\n", root.c_str());
  return false;
}

namespace {

int cmdInit(const std::string& root, const std::string& kind) {
  if (!ce::CreateDevice(root)) return fail("cannot create a device at " + root);
  if (!kind.empty() && !ce::SetDeviceKind(kind)) return fail("cannot set the device's kind to " + kind);
  mapDevicePrograms();
  std::printf("device ready at %s (%s)\n", ce::DeviceRoot().c_str(), ce::DeviceKind().c_str());
  return 0;
}

int cmdInfo(const std::string& root) {
  if (!attach(root)) return 1;
  ce::SYSTEMTIME t;
  ce::GetLocalTime(&t);
  std::string card = ce::StorageCardFolder();
  std::printf("device root:   %s\n", ce::DeviceRoot().c_str());
  std::printf("kind:          %s\n", ce::DeviceKind().c_str());
  std::printf("mounts:\n");
  std::printf("  \\              -> %s\n", ce::DeviceRoot().c_str());
  std::printf("  \\Storage Card  -> %s\n", card.empty() ? "(no card inserted)" : card.c_str());
  std::printf("  \\Host          -> / (host tools only)\n");
  std::printf("clock:         %04u-%02u-%02u %02u:%02u:%02u local, speed x%g, bias %d min\n", t.wYear, t.wMonth,
              t.wDay, t.wHour, t.wMinute, t.wSecond, ce::GetClockSpeed(), ce::GetTimeZoneBias());
  std::printf("installed:     %s\n", installedVersion().c_str());
  return 0;
}

}  // namespace

// The installed version from scanver.cnf in the installation directory:
// "1.00, signatures of 2026-12-10 00:00", or why there is none.
std::string installedVersion() {
  ce::WCHAR dir[ce::MAX_PATH];
  if (!nx::getInstallDirectory(dir, ce::MAX_PATH)) return "(unknown installation directory)";
  std::u16string path = std::u16string(dir) + u"\\scanver.cnf";
  ce::HANDLE f = ce::CreateFileW(path.c_str(), ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING, 0,
                                 nullptr);
  if (f == ce::INVALID_HANDLE_VALUE) return "not installed";
  uint16_t v[10] = {};
  ce::DWORD got = 0;
  bool ok = ce::ReadFile(f, v, sizeof v, &got, nullptr) && got == sizeof v;
  ce::CloseHandle(f);
  if (!ok) return "damaged scanver.cnf";
  char text[96];
  std::snprintf(text, sizeof text, "%d.%02d, signatures of %04u-%02u-%02u %02u:%02u", v[0], v[1], v[2], v[3], v[5],
                v[6], v[7]);
  return text;
}

namespace {

// Option values of this file's subcommands; CLI11 writes into them while parsing.
struct Options {
  std::string initRoot;
  std::string kind;
  std::string cardDir;
  double speed = 1;
} opts;

}  // namespace

void addCoreCommands(CLI::App& app, Context& ctx) {
  auto* init = app.add_subcommand("init", "create a device (folders, registry, settings)");
  init->add_option("--root", opts.initRoot, "where to create it (default: the device root)");
  std::vector<std::string> kinds(std::begin(ce::kDeviceKinds), std::end(ce::kDeviceKinds));
  init->add_option("--kind", opts.kind, "the handset: pocketpc-5.1 (default), pocketpc-5.2, smartphone-5.1, smartphone-5.2")
      ->check(CLI::IsMember(kinds));
  init->callback([&ctx] { ctx.status = cmdInit(opts.initRoot.empty() ? ctx.root : opts.initRoot, opts.kind); });

  app.add_subcommand("info", "show where the device is, its mounts and its clock")->callback([&ctx] {
    ctx.status = cmdInfo(ctx.root);
  });

  auto* card = app.add_subcommand("card", "insert or remove the storage card");
  card->require_subcommand(1);
  auto* insert = card->add_subcommand("insert", "mount a host folder as \\Storage Card");
  insert->add_option("FOLDER", opts.cardDir, "host folder")->required();
  insert->callback([&ctx] {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    if (!ce::InsertStorageCard(opts.cardDir)) {
      ctx.status = fail("cannot insert " + opts.cardDir);
      return;
    }
    std::printf("storage card inserted: %s\n", ce::StorageCardFolder().c_str());
  });
  card->add_subcommand("remove", "remove the storage card")->callback([&ctx] {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    if (!ce::RemoveStorageCard()) {
      ctx.status = fail("cannot remove the card");
      return;
    }
    std::printf("storage card removed\n");
  });

  auto* clockCmd = app.add_subcommand("clock", "set the device clock's speed factor");
  clockCmd->add_option("SPEED", opts.speed, "device seconds per host second")->required();
  clockCmd->callback([&ctx] {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    if (!ce::SetClockSpeed(opts.speed)) {
      ctx.status = fail("bad clock speed");
      return;
    }
    std::printf("clock speed x%g\n", opts.speed);
  });

}

}  // namespace nxdevice
