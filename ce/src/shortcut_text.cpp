#include "shortcut_text.h"

#include <cstring>

#include "ce/shortcut.h"
#include "ce/text.h"

namespace ce::detail {
namespace {

constexpr size_t kMaxCountDigits = 5;

// The file's text: UTF-16 when it starts with a byte-order mark (shortcuts
// some tools write), else code page 1252.
bool decode(const std::string& raw, std::u16string& text) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
    if (raw.size() % 2) return false;
    text.resize((raw.size() - 2) / 2);
    std::memcpy(text.data(), raw.data() + 2, text.size() * 2);
    return true;
  }
  text.clear();
  if (raw.empty()) return true;
  INT n = MultiByteToWideChar(CP_1252, 0, raw.data(), static_cast<INT>(raw.size()), nullptr, 0);
  if (n <= 0) return false;
  text.resize(static_cast<size_t>(n));
  return MultiByteToWideChar(CP_1252, 0, raw.data(), static_cast<INT>(raw.size()), text.data(), n) == n;
}

}  // namespace

DWORD parseShortcutText(const std::string& raw, std::u16string& target) {
  target.clear();
  std::u16string text;
  if (!decode(raw, text)) return ERROR_BAD_FORMAT;
  // Hand-made shortcuts end in a line break or a terminator; neither is counted.
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == 0)) text.pop_back();
  const size_t hash = text.find(u'#');
  if (hash == 0 || hash == std::u16string::npos || hash > kMaxCountDigits) return ERROR_BAD_FORMAT;
  size_t count = 0;
  for (size_t i = 0; i < hash; ++i) {
    if (text[i] < u'0' || text[i] > u'9') return ERROR_BAD_FORMAT;
    count = count * 10 + (text[i] - u'0');
  }
  std::u16string_view rest = std::u16string_view(text).substr(hash + 1);
  if (count == 0 || rest.size() != count || rest.find(u'\0') != std::u16string_view::npos) return ERROR_BAD_FORMAT;
  target.assign(rest);
  return ERROR_SUCCESS;
}

}  // namespace ce::detail
