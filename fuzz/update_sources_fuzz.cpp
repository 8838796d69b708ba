// libFuzzer target for the update engine's readers of what an update server
// sends: the first input byte picks the file kind (source list, index with
// and without the head tests, signature file against a fixed index), the
// rest is its contents. Every reader must answer with a stated code, never
// read outside the input or crash.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "updengine/index_list.h"
#include "updengine/signature.h"
#include "updengine/source_list.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t* body = data + 1;
  const size_t n = size - 1;
  switch (data[0] % 4) {
    case 0: {
      std::vector<nx::upd::Location> l;
      nx::upd::parseSourceList(body, n, l);
      break;
    }
    case 1:
    case 2: {
      nx::upd::FileList l;
      nx::upd::parseIndex(body, n, data[0] % 4 == 1, true, l);
      break;
    }
    default: {
      std::array<uint8_t, 32> key{};
      key[0] = 1;
      nx::upd::IndexSignature sig(key);
      const std::vector<uint8_t> file(body, body + n);
      const std::vector<uint8_t> index(8 + 70, 0);
      sig.verify(file, index);
      break;
    }
  }
  return 0;
}
