// The steps of the installer's hooks, each on its own so that a hook reads as
// the list of what it does.
#pragma once

#include "ce/windows.h"

namespace setup {

// The company (text 3000, "Nyxel") and product (text 3213, "Nyxel
// AntiVirus") names from the installation's string library, which is loaded
// for the call and freed again.
struct ProductNames {
  ce::WCHAR company[260];
  ce::WCHAR product[260];
};
void productNames(const ce::WCHAR* installDir, ProductNames& out);

// A previous installation left its string library in the installation
// directory and its key "Software\<company>" under the current user.
bool previousInstallation();

// The installation directory and the product folders below it (those that
// exist already are kept).
void createProductFolders(const ce::WCHAR* installDir);

// Reads every settings area the product uses with fallback, which creates
// their defaults and current files on a fresh installation.
void readAllOptions(const ce::WCHAR* installDir);

// HKCU "Software\<company>\<product>\<major>.<minor>" with the value
// "Current Version", the version taken from the installation's scanver.cnf.
// False when any key cannot be made or the version record cannot be read
// whole; companyCreated tells whether the company key is new from this call.
bool writeVersionKey(const ce::WCHAR* installDir, bool* companyCreated);

// "\Windows\Help\Nyxel AntiVirus.lnk" to the help page in "\Windows".
bool createHelpShortcut();

// Ends the product's services in the service host, when they run.
void deregisterProductServices();

}  // namespace setup
