#include "common/string_lookup.h"

#include <cstring>

#include "ce/module.h"
#include "ce/text.h"
#include "uires/uires_api.h"

namespace nx {

using namespace ce;

const WCHAR* ui::builtIn(DWORD id) {
  for (const auto& e : kCatalogue)
    if (e.id == id) return e.text;
  return nullptr;
}

int LoadStringW(HMODULE module, UINT id, WCHAR* buffer, int cap) {
  if (!module || !buffer || cap <= 0) return 0;
  buffer[0] = 0;
  auto table = reinterpret_cast<uires_fn::UiresStringTable>(GetProcAddress(module, kUiresTableExport));
  if (!table) return 0;
  DWORD count = 0;
  const UiresString* entries = table(&count);
  if (!entries) return 0;
  for (DWORD i = 0; i < count; ++i) {
    if (entries[i].id != id || !entries[i].text) continue;
    const WCHAR* text = entries[i].text;
    int n = 0;
    while (n < cap - 1 && text[n]) ++n;
    // Cut before a lone high surrogate rather than leave half a character.
    if (n > 0 && text[n] && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
    std::memcpy(buffer, text, static_cast<size_t>(n) * sizeof(WCHAR));
    buffer[n] = 0;
    return n;
  }
  return 0;
}

UiStrings::~UiStrings() { unload(); }

bool UiStrings::load(const WCHAR* installDir) {
  unload();
  if (!installDir) return false;
  WCHAR path[MAX_PATH];
  size_t len = wcslen16(installDir);
  while (len > 0 && installDir[len - 1] == u'\\') --len;
  static constexpr WCHAR kName[] = u"\\uires.dll";
  constexpr size_t kNameChars = sizeof kName / sizeof(WCHAR);  // with the terminator
  if (len + kNameChars > MAX_PATH) return false;
  std::memcpy(path, installDir, len * sizeof(WCHAR));
  std::memcpy(path + len, kName, sizeof kName);
  module_ = LoadLibraryW(path);
  return module_ != nullptr;
}

void UiStrings::unload() {
  if (module_) FreeLibrary(module_);
  module_ = nullptr;
}

const WCHAR* UiStrings::get(DWORD id, const WCHAR* fallback, WCHAR* out, size_t cap) const {
  if (!out || cap == 0) return out;
  int capInt = cap > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(cap);
  if (module_ && LoadStringW(module_, id, out, capInt) > 0) return out;
  size_t n = 0;
  if (fallback)
    while (n + 1 < cap && fallback[n]) {
      out[n] = fallback[n];
      ++n;
    }
  out[n] = 0;
  return out;
}

std::u16string UiStrings::get(DWORD id, const WCHAR* fallback) const {
  WCHAR buf[kUiTextChars];
  if (module_ && LoadStringW(module_, id, buf, kUiTextChars) > 0) return buf;
  return fallback ? std::u16string(fallback) : std::u16string();
}

std::u16string UiStrings::get(DWORD id) const { return get(id, ui::builtIn(id)); }

}  // namespace nx
