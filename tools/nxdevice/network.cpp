// nxdevice: the device's network: switched on or off (an offline handset has
// no connection and no download reaches the network).
#include <cstdio>
#include <string>

#include "ce/ce.h"
#include "commands.h"

namespace nxdevice {

namespace {

std::string g_state;  // CLI11 writes the argument here while parsing

}  // namespace

void addNetworkCommands(CLI::App& app, Context& ctx) {
  auto* net = app.add_subcommand("network", "show or switch the device's network (on, off)");
  net->add_option("STATE", g_state, "on or off")->check(CLI::IsMember({"on", "off"}));
  net->callback([&ctx] {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    if (!g_state.empty() && !ce::SetDeviceOnline(g_state == "on")) {
      ctx.status = fail("cannot change the network setting");
      return;
    }
    std::printf("network: %s\n", ce::GetDeviceOnline() ? "on" : "off (no connection, downloads fail)");
  });
}

}  // namespace nxdevice
