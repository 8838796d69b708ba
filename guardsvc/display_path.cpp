#include "guardsvc/display_path.h"

namespace guard {

namespace {
bool highSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
}  // namespace

std::u16string displayPath(std::u16string_view path, bool landscape) {
  const size_t limit = landscape ? 55 : 43;
  const size_t half = limit / 2;  // 27 or 21
  if (path.size() <= half) return std::u16string(path);
  size_t head = half - 3;
  // A character is never cut in two: a head ending on the first half of a
  // pair takes the pair whole.
  if (highSurrogate(path[head - 1])) ++head;
  size_t tailFrom;
  if (path.size() - (half - 3) <= half - 3) {
    tailFrom = head;
  } else {
    tailFrom = path.size() - (half - 6);
    if (tailFrom > 0 && highSurrogate(path[tailFrom - 1])) --tailFrom;
    if (tailFrom < head) tailFrom = head;
  }
  std::u16string out(path.substr(0, head));
  out += u"...";
  out += path.substr(tailFrom);
  return out;
}

}  // namespace guard
