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

// An update cut off in the middle is finished or undone by the installed
// update engine; 0 when there was none or it was, 1 (said why) when not.
int recoverInterruptedUpdate();

// init, info, card, clock
void addCoreCommands(CLI::App& app, Context& ctx);
// install [IMAGE] [--force] [--update-key FILE], uninstall [IMAGE]
void addSetupCommands(CLI::App& app, Context& ctx);
// "1.00, signatures of 2026-12-10 00:00" from the installed scanver.cnf, or
// why there is none.
std::string installedVersion();
// install --update-key FILE: keeps the key's raw form in the registry; 0, 1, 2 (not a key)
int storeUpdateKey(const std::string& file);

// report [online|update] [--last N]
void addReportCommands(CLI::App& app, Context& ctx);

// network [on|off]
void addNetworkCommands(CLI::App& app, Context& ctx);
// screen [--follow], screen rotate|dpi|press
void addScreenCommands(CLI::App& app, Context& ctx);
// quarantine list [--json], quarantine restore N [--to PATH] [--force]
void addQuarantineCommands(CLI::App& app, Context& ctx);
// boot, shutdown, status
void addLifeCommands(CLI::App& app, Context& ctx);
// reg get|set|delete
void addRegistryCommands(CLI::App& app, Context& ctx);

// The folder this program runs from (the build's bin folder).
std::string programFolder();
// Maps the handset's programs that host programs play (services.exe and the
// like) into the attached device.
void mapDevicePrograms();
// The install image's programs (scanner.exe, ...) as programs of the
// installation directory: each runs its file in the image.
void mapInstalledPrograms(const std::string& image, const std::u16string& installDir);

}  // namespace nxdevice
