// nxdevice: creates, runs and inspects simulated handsets ("devices").
// Every group of subcommands registers itself from its own file.
#include <CLI/CLI.hpp>

#include "ce/ce.h"
#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"nxdevice: create and inspect simulated handsets"};
  app.require_subcommand(1);
  nxdevice::Context ctx;
  ctx.root = ce::DefaultDeviceRoot();
  app.add_option("--device-root", ctx.root, "device root folder (default: $NX_DEVICE_ROOT or the user's data folder)");

  nxdevice::addCoreCommands(app, ctx);
  nxdevice::addSetupCommands(app, ctx);
  nxdevice::addReportCommands(app, ctx);
  nxdevice::addNetworkCommands(app, ctx);
  nxdevice::addScreenCommands(app, ctx);
  nxdevice::addQuarantineCommands(app, ctx);
  nxdevice::addLifeCommands(app, ctx);
  nxdevice::addRegistryCommands(app, ctx);

  CLI11_PARSE(app, argc, argv);
  return ctx.status;
}
