// The shortcut-file reader over arbitrary bytes. A target read back must be
// what the count says, and must read back the same when written again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ce/shortcut.h"
#include "ce/text.h"
#include "shortcut_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string raw(reinterpret_cast<const char*>(data), size);
  std::u16string target;
  ce::DWORD code = ce::detail::parseShortcutText(raw, target);
  if (code != ce::ERROR_SUCCESS) {
    if (code != ce::ERROR_BAD_FORMAT || !target.empty()) std::abort();
    return 0;
  }
  if (target.empty() || target.size() > size) std::abort();
  // The same target in a UTF-16 file.
  std::u16string again = ce::utf8ToUtf16(std::to_string(target.size())) + u"#" + target;
  std::string wide("\xFF\xFE", 2);
  wide.append(reinterpret_cast<const char*>(again.data()), again.size() * 2);
  std::u16string back;
  if (ce::detail::parseShortcutText(wide, back) != ce::ERROR_SUCCESS || back != target) std::abort();
  return 0;
}
