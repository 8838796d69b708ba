// nxstartup.exe: run by the handset at every start, without a window. From
// the user's settings it decides whether the on-access guard and the
// scheduled update service are to run after this start, writes each one's
// service key and asks the service host to load it, then ends. Nothing it
// does is reported or retried: a key or a registration that fails is passed
// over and the program ends as usual (exit code 1, always).
#include "ce/ce.h"
#include "common/install_dir.h"
#include "common/options_files.h"
#include "common/service_keys.h"

using namespace ce;

namespace {

constexpr int kExitCode = 1;
// The update service waits for the network to come up after a start; a
// local update folder needs no wait.
constexpr DWORD kInternetStartDelayMs = 180000;

void registerProductService(nx::ProductService service) {
  const nx::ServiceKeyInfo& s = nx::serviceKeyInfo(service);
  RegisterService(s.device, 0, s.dll, 0);
}

bool isDirectory(const WCHAR* path) {
  const DWORD a = GetFileAttributesW(path);
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

int main() {
  // A program started on the device is attached to it through its
  // environment; without a device there is nothing to register.
  if (DeviceRoot().empty()) return kExitCode;

  WCHAR installDir[MAX_PATH] = {};
  if (!nx::getInstallDirectory(installDir, MAX_PATH)) return kExitCode;

  // A failed read (a damaged file, an absent card) leaves its record zero:
  // nothing is switched on by a setting that could not be read.
  nx::WM_ONLINE_OPTS online{};
  nx::WM_UPDATE_OPTS update{};
  nx::WM_GENERAL_OPTS general{};
  if (!nx::CWmOptionsGen::ReadOnlineOpts(installDir, &online, nx::kOptionsReadCurrent)) online = {};
  if (!nx::CWmOptionsGen::ReadUpdateOpts(installDir, &update, nx::kOptionsReadCurrent)) update = {};
  if (!nx::CWmOptionsGen::ReadGeneralOpts(installDir, &general, nx::kOptionsReadCurrent)) general = {};

  // The guard serves both on-access scanning and the scan of an inserted
  // card. It is registered only when the installation is there: its library
  // lies in the installation directory, so without that directory the
  // service host could not load it and the key would only name a missing
  // library.
  if (isDirectory(installDir) && (online.bEnabled == 1 || general.bScanCardOnInsert == 1)) {
    nx::writeServiceKey(nx::ProductService::Guard);
    registerProductService(nx::ProductService::Guard);
  }

  if (update.bAutoUpdate != 1) return kExitCode;
  nx::writeServiceKey(nx::ProductService::Update);
  if (update.bSource == 0) Sleep(kInternetStartDelayMs);
  registerProductService(nx::ProductService::Update);
  return kExitCode;
}
