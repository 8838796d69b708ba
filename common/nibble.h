// Nibble exchange: the two 4-bit halves of every byte swapped. Quarantined
// copies and the update source and schedule files are kept this way so that
// they are not readable (or scannable) as they stand. Applying it twice gives
// the original bytes back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx {

constexpr uint8_t swapNibbles(uint8_t b) { return static_cast<uint8_t>((b << 4) | (b >> 4)); }

// In place; a null pointer or zero length does nothing.
void swapNibbles(void* data, size_t len);

}  // namespace nx
