// setuphook.dll: the four hooks the handset's CAB installer calls. Before
// copying, setup refuses a device it does not support and a second
// installation; after copying it prepares the folders, settings, service keys,
// version key and help shortcut and starts the guard. Before removing files
// it ends the services and notes which folders are the product's; after
// removal it deletes the keys, those folders and the shortcut.
#include <iterator>

#include "ce/files.h"
#include "ce/registry.h"
#include "ce/services.h"
#include "ce/setup.h"
#include "ce/text.h"
#include "ce/ui.h"
#include "common/install_dir.h"
#include "common/service_keys.h"
#include "setuphook/device_kind.h"
#include "setuphook/removal.h"
#include "setuphook/setup_steps.h"
#include "setuphook/setup_texts.h"

#define SETUP_EXPORT extern "C" __attribute__((visibility("default")))

using namespace ce;

namespace {

// What Uninstall_Init decided may be removed, for Uninstall_Exit, which the
// installer calls after it has removed the files (and the installation's
// registry value may be gone with them).
setup::RemovalPlan g_removal;

void tell(HWND parent, const WCHAR* text) { MessageBoxW(parent, text, setup::kCaption, setup::kBoxFlags); }

void deleteCompanyKey(const WCHAR* company) {
  WCHAR keyName[300];
  if (format16(keyName, std::size(keyName), u"Software\\%s", company) >= 0) RegDeleteKeyW(HKEY_CURRENT_USER, keyName);
}

}  // namespace

SETUP_EXPORT codeINSTALL_INIT Install_Init(HWND parent, BOOL /*firstCall*/, BOOL /*previouslyInstalled*/,
                                           LPCWSTR /*installDir*/) {
  if (!setup::supportedDevice(setup::deviceKind())) {
    tell(parent, setup::kNotApplicable);
    return codeINSTALL_INIT_CANCEL;
  }
  if (setup::previousInstallation()) {
    tell(parent, setup::kAlreadyInstalled);
    return codeINSTALL_INIT_CANCEL;
  }
  return codeINSTALL_INIT_CONTINUE;
}

SETUP_EXPORT codeINSTALL_EXIT Install_Exit(HWND parent, LPCWSTR /*installDir*/, WORD, WORD, WORD, WORD, WORD) {
  WCHAR installDir[MAX_PATH];
  if (!nx::getInstallDirectory(installDir, MAX_PATH)) {
    tell(parent, setup::kNotValid);
    return codeINSTALL_EXIT_UNINSTALL;
  }
  setup::createProductFolders(installDir);
  setup::readAllOptions(installDir);
  nx::writeServiceKey(nx::ProductService::Guard);
  nx::writeServiceKey(nx::ProductService::Update);
  // Without a running service host the guard starts at the next boot.
  const nx::ServiceKeyInfo& guard = nx::serviceKeyInfo(nx::ProductService::Guard);
  HANDLE guardService = RegisterService(guard.device, 0, guard.dll, 0);

  bool companyCreated = false;
  if (!setup::writeVersionKey(installDir, &companyCreated)) {
    // The installer now removes the files it copied. The guard this call
    // started holds its libraries loaded, so it is ended first; a company
    // key this call made would outlive the installation it describes.
    if (guardService) DeregisterService(guardService);
    if (companyCreated) {
      setup::ProductNames names;
      setup::productNames(installDir, names);
      deleteCompanyKey(names.company);
    }
    tell(parent, setup::kNotValid);
    return codeINSTALL_EXIT_UNINSTALL;
  }
  setup::createHelpShortcut();
  return codeINSTALL_EXIT_DONE;
}

SETUP_EXPORT codeUNINSTALL_INIT Uninstall_Init(HWND /*parent*/, LPCWSTR /*installDir*/) {
  WCHAR installDir[MAX_PATH];
  const bool found = nx::getInstallDirectory(installDir, MAX_PATH) != FALSE;
  setup::ProductNames names;
  setup::productNames(found ? installDir : nx::kDefaultInstallDir, names);
  deleteCompanyKey(names.company);
  setup::deregisterProductServices();
  g_removal = found ? setup::planRemoval(installDir) : setup::RemovalPlan{};
  return codeUNINSTALL_INIT_CONTINUE;
}

SETUP_EXPORT codeUNINSTALL_EXIT Uninstall_Exit(HWND /*parent*/) {
  for (nx::ProductService s : {nx::ProductService::Guard, nx::ProductService::Update})
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, nx::serviceKeyInfo(s).key);
  setup::removeProduct(g_removal);
  g_removal = {};
  DeleteFileW(setup::kHelpShortcut);
  return codeUNINSTALL_EXIT_DONE;
}
