// A stand-in string library with a few texts of its own, one empty text, one
// too long for the callers' buffers, and most identifiers missing.
#include <string>

#include "uires/uires_api.h"

namespace {
const std::u16string kLong(400, u'L');
const std::u16string kSplit = std::u16string(258, u's') + u"\U0001F600";  // pair at 259..260
}  // namespace

extern "C" const UiresString* UiresStringTable(ce::DWORD* count) {
  static const UiresString table[] = {
      {3000, u"Nyxel (test library)"},
      {3014, u"Rapport pour:"},
      {3051, u""},
      {3998, kSplit.c_str()},
      {3999, kLong.c_str()},
  };
  if (count) *count = sizeof table / sizeof table[0];
  return table;
}
