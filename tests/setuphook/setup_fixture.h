// Test support for setup and the boot program: a device made in a temporary
// folder, the build's install image copied into it as the installer would,
// setuphook.dll loaded from a temporary place of the device as the installer
// loads it, the real service host, and readers of the registry, the screen
// journal and the device's files.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ce/ce.h"
#include "service_fixture.h"
#include "testkit.h"

namespace setuptest {

using Json = nlohmann::json;

std::u16string u16(const std::string& s);
std::string u8(const std::u16string& s);
std::string buildFile(const std::string& rel);  // NX_BUILD_DIR + "/" + rel
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 30000);

// One registry value as the tests compare it: "Name=text" for strings,
// "Name=#number" for DWORDs.
std::vector<std::string> keyValues(ce::HKEY root, const std::u16string& key);
bool keyExists(ce::HKEY root, const std::u16string& key);
std::optional<std::string> stringValue(ce::HKEY root, const std::u16string& key, const std::u16string& name);
void setString(ce::HKEY root, const std::u16string& key, const std::u16string& name, const std::u16string& value);
void createKey(ce::HKEY root, const std::u16string& key);

// The exact key the guard's and the update service's registrations need.
std::vector<std::string> expectedServiceKey(bool guard);

class SetupDevice {
 public:
  // installParent: the registry's InstallDir as the installer writes it;
  // none leaves the value unset (the standard location).
  explicit SetupDevice(double clockSpeed = 100.0, const std::optional<std::u16string>& installParent = {});
  ~SetupDevice();
  SetupDevice(const SetupDevice&) = delete;
  SetupDevice& operator=(const SetupDevice&) = delete;

  nxtest::TempDevice dev;
  std::u16string installDev;  // "\Program Files\Nyxel\Nyxel AntiVirus"
  // Host path of a device path ("\Windows\x" -> <root>/Windows/x), also on the card.
  std::string host(const std::u16string& devicePath) const;
  std::string installHost() const { return host(installDev); }
  bool exists(const std::u16string& devicePath) const;  // also a dangling link

  // The image's top-level files into the installation directory and
  // image/Windows into \Windows, leaving out the names in `without`.
  void copyImage(const std::vector<std::string>& without = {});

  // setuphook.dll from the image, copied to "\Temp\cab" and loaded from there.
  void loadHooks();
  ce::PFN_Install_Init installInit = nullptr;
  ce::PFN_Install_Exit installExit = nullptr;
  ce::PFN_Uninstall_Init uninstallInit = nullptr;
  ce::PFN_Uninstall_Exit uninstallExit = nullptr;
  // What the installer does around copying: Install_Init, copy, Install_Exit.
  int install(const std::vector<std::string>& without = {});
  void uninstall();

  bool startHost();
  void stopHost();
  svctest::HostProcess hostProcess;

  std::vector<Json> messageBoxes(const std::string& text = "");

 private:
  ce::HMODULE hooks_ = nullptr;
};

}  // namespace setuptest
