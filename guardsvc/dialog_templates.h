#pragma once

#include "ce/ui.h"

namespace guard {

// What the library's CeDialogTemplates export answers.
const ce::CeDialogTemplate* dialogTemplates(ce::DWORD* count);

}  // namespace guard
