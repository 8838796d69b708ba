// The text of a shortcut file, apart from the file itself (so that it can be
// fuzzed on its own).
#pragma once

#include <string>

#include "ce/windows.h"

namespace ce::detail {

// The target stored after the '#' of a shortcut file's bytes: ERROR_SUCCESS,
// or ERROR_BAD_FORMAT for a damaged shortcut.
DWORD parseShortcutText(const std::string& raw, std::u16string& target);

}  // namespace ce::detail
