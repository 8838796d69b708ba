#include "common/nibble.h"

namespace nx {

void swapNibbles(void* data, size_t len) {
  if (!data) return;
  auto* p = static_cast<uint8_t*>(data);
  for (size_t i = 0; i < len; ++i) p[i] = swapNibbles(p[i]);
}

}  // namespace nx
