// nxdevice: each group of subcommands lives in its own file and registers
// itself on the application; a subcommand's callback leaves its exit status
// in the shared context.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

namespace nxdevice {

struct Context {
  std::string root;  // --device-root, else $NX_DEVICE_ROOT, else the user's data folder
  int status = 0;    // exit status of the subcommand that ran
};

// "nxdevice: WHAT (error N)" on standard error with the device's last error; 1.
int fail(const std::string& what);
// Attaches the device at `root`, or says how to make one.
bool attach(const std::string& root);

// init, info, card, clock, install
void addCoreCommands(CLI::App& app, Context& ctx);
// install --update-key FILE: keeps the key's raw form in the registry; 0, 1, 2 (not a key)
int storeUpdateKey(const std::string& file);

// network [on|off]
void addNetworkCommands(CLI::App& app, Context& ctx);
// screen [--follow], screen rotate|dpi|press
void addScreenCommands(CLI::App& app, Context& ctx);
// quarantine list [--json], quarantine restore N [--to PATH] [--force]
void addQuarantineCommands(CLI::App& app, Context& ctx);

}  // namespace nxdevice
