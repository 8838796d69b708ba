// The English texts of the product, by identifier. Identifiers the product
// asks for and this library lacks fall back to the caller's built-in text.
#include <algorithm>
#include <array>

#include "common/string_lookup.h"
#include "uires/uires_api.h"

namespace {

// A sorted copy of the product's text catalogue, plus the texts that only the
// library supplies.
constexpr auto kTable = [] {
  std::array<UiresString, std::size(nx::ui::kCatalogue) + 1> t{};
  size_t i = 0;
  for (const auto& e : nx::ui::kCatalogue) t[i++] = UiresString{e.id, e.text};
  // The second version block of an update report; without it callers label
  // both blocks alike.
  t[i++] = UiresString{nx::ui::kToVersion, u"To Version:"};
  std::sort(t.begin(), t.end(), [](const UiresString& a, const UiresString& b) { return a.id < b.id; });
  return t;
}();

}  // namespace

extern "C" const UiresString* UiresStringTable(ce::DWORD* count) {
  if (count) *count = static_cast<ce::DWORD>(kTable.size());
  return kTable.data();
}
