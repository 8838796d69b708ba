// What removing the product may take away from the device. The installation
// directory is the product's own folder ("...\Nyxel AntiVirus"); its parent
// is the folder the user chose at installation and may hold anything, so it
// goes only when it is the product's own parent folder "Nyxel" and nothing
// else is left in it.
#pragma once

#include <string>

#include "ce/windows.h"

namespace setup {

struct RemovalPlan {
  std::u16string productFolder;  // removed with everything in it; empty: nothing is removed
  std::u16string parentFolder;   // removed afterwards when empty; empty: kept whatever it holds
};

// Decides from the installation directory alone (no disk access). Nothing
// may be removed when the path is not absolute, has empty, "." or ".."
// components, is the root or "\Windows", lies under "\Host", or does not end
// in the product folder's name.
RemovalPlan planRemoval(const ce::WCHAR* installDir);

// Removes what the plan allows. Symbolic links inside the product folder are
// deleted as links, never followed; a product folder reached through a link
// is not removed at all. Failures are passed over: whatever cannot be
// removed stays.
void removeProduct(const RemovalPlan& plan);

}  // namespace setup
