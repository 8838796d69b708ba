// nxdevice: creates and inspects simulated handsets ("devices").
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ce/ce.h"

namespace {

int fail(const std::string& what) {
  std::fprintf(stderr, "nxdevice: %s (error %u)\n", what.c_str(), ce::GetLastError());
  return 1;
}

bool attach(const std::string& root) {
  if (ce::AttachDevice(root)) return true;
  std::fprintf(stderr, "nxdevice: no device at %s (run 'nxdevice init' first)\n", root.c_str());
  return false;
}

int cmdInit(const std::string& root) {
  if (!ce::CreateDevice(root)) return fail("cannot create a device at " + root);
  std::printf("device ready at %s\n", ce::DeviceRoot().c_str());
  return 0;
}

int cmdInfo(const std::string& root) {
  if (!attach(root)) return 1;
  ce::SYSTEMTIME t;
  ce::GetLocalTime(&t);
  std::string card = ce::StorageCardFolder();
  std::printf("device root:   %s\n", ce::DeviceRoot().c_str());
  std::printf("mounts:\n");
  std::printf("  \\              -> %s\n", ce::DeviceRoot().c_str());
  std::printf("  \\Storage Card  -> %s\n", card.empty() ? "(no card inserted)" : card.c_str());
  std::printf("  \\Host          -> / (host tools only)\n");
  std::printf("clock:         %04u-%02u-%02u %02u:%02u:%02u local, speed x%g, bias %d min\n", t.wYear, t.wMonth,
              t.wDay, t.wHour, t.wMinute, t.wSecond, ce::GetClockSpeed(), ce::GetTimeZoneBias());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"nxdevice: create and inspect simulated handsets"};
  app.require_subcommand(1);
  std::string root = ce::DefaultDeviceRoot();
  app.add_option("--device-root", root, "device root folder (default: $NX_DEVICE_ROOT or the user's data folder)");

  auto* init = app.add_subcommand("init", "create a device (folders, registry, settings)");
  std::string initRoot;
  init->add_option("--root", initRoot, "where to create it (default: the device root)");

  app.add_subcommand("info", "show where the device is, its mounts and its clock");

  auto* card = app.add_subcommand("card", "insert or remove the storage card");
  card->require_subcommand(1);
  auto* insert = card->add_subcommand("insert", "mount a host folder as \\Storage Card");
  std::string cardDir;
  insert->add_option("FOLDER", cardDir, "host folder")->required();
  card->add_subcommand("remove", "remove the storage card");

  auto* clockCmd = app.add_subcommand("clock", "set the device clock's speed factor");
  double speed = 1;
  clockCmd->add_option("SPEED", speed, "device seconds per host second")->required();

  CLI11_PARSE(app, argc, argv);

  if (init->parsed()) return cmdInit(initRoot.empty() ? root : initRoot);
  if (app.got_subcommand("info")) return cmdInfo(root);
  if (card->parsed()) {
    if (!attach(root)) return 1;
    if (insert->parsed()) {
      if (!ce::InsertStorageCard(cardDir)) return fail("cannot insert " + cardDir);
      std::printf("storage card inserted: %s\n", ce::StorageCardFolder().c_str());
    } else {
      if (!ce::RemoveStorageCard()) return fail("cannot remove the card");
      std::printf("storage card removed\n");
    }
    return 0;
  }
  if (clockCmd->parsed()) {
    if (!attach(root)) return 1;
    if (!ce::SetClockSpeed(speed)) return fail("bad clock speed");
    std::printf("clock speed x%g\n", speed);
    return 0;
  }
  return 0;
}
