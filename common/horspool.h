// Horspool substring search, shared by the type detector and the pattern scanners.
//
// The shift table is built from the pattern's first length-1 bytes and each alignment is
// compared from the pattern's end, so a short pattern skips most of the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace nx {

// ShiftT sets the size of the 256-entry shift table: a table kept per signature can use a
// small type. Shifts beyond its range are capped, which only makes the search step shorter.
template <class ShiftT>
class BasicHorspool {
public:
  BasicHorspool() = default;
  BasicHorspool(const std::uint8_t* pattern, std::size_t length) { reset(pattern, length); }

  void reset(const std::uint8_t* pattern, std::size_t length) {
    pattern_ = pattern;
    length_ = length;
    shift_.fill(cap(length == 0 ? 1 : length));
    for (std::size_t i = 0; i + 1 < length; ++i) shift_[pattern[i]] = cap(length - 1 - i);
  }

  // Offset of the first occurrence in text, or npos. An empty pattern never matches.
  std::size_t find(const std::uint8_t* text, std::size_t size) const {
    if (length_ == 0 || pattern_ == nullptr || size < length_) return npos;
    const std::size_t last = length_ - 1;
    std::size_t pos = 0;
    while (pos <= size - length_) {
      const std::uint8_t tail = text[pos + last];
      if (tail == pattern_[last]) {
        std::size_t j = last;
        while (j > 0 && text[pos + j - 1] == pattern_[j - 1]) --j;
        if (j == 0) return pos;
      }
      pos += shift_[tail];
    }
    return npos;
  }

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
  static ShiftT cap(std::size_t v) {
    constexpr std::size_t max = std::numeric_limits<ShiftT>::max();
    return static_cast<ShiftT>(v > max ? max : v);
  }

  const std::uint8_t* pattern_ = nullptr;
  std::size_t length_ = 0;
  std::array<ShiftT, 256> shift_{};
};

using Horspool = BasicHorspool<std::size_t>;

// One-shot search; a pattern of length 0 never matches.
inline std::size_t horspoolFind(const std::uint8_t* text, std::size_t size,
                                const std::uint8_t* pattern, std::size_t length) {
  return Horspool(pattern, length).find(text, size);
}

}  // namespace nx
