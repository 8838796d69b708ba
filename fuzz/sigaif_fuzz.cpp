// libFuzzer target for the store pattern scanner's "sigaif.inx" loader. The
// first two input bytes split the rest into a signature file and a file to
// scan; a file that loads is then searched window by window, so patterns of
// any recorded length meet text of any length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "genericscan/store_format.h"

namespace {

struct Text {
  const uint8_t* data;
  size_t size;
};

int32_t readAt(void* c, int32_t offset, uint8_t* buffer, int32_t len) {
  const Text* t = static_cast<const Text*>(c);
  if (offset < 0 || static_cast<size_t>(offset) >= t->size) return 0;
  size_t n = t->size - static_cast<size_t>(offset);
  if (n > static_cast<size_t>(len)) n = static_cast<size_t>(len);
  std::memcpy(buffer, t->data + offset, n);
  return static_cast<int32_t>(n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  size_t split = static_cast<size_t>(data[0] | data[1] << 8);
  data += 2;
  size -= 2;
  if (split > size) split = size;
  std::vector<nx::gen::store::Record> records;
  // An exact copy, so reads past the signature part are caught.
  std::vector<uint8_t> file(data, data + split);
  if (!nx::gen::store::parse(file.data(), file.size(), records)) return 0;
  Text text{data + split, size - split};
  (void)nx::gen::store::findInFile(records, static_cast<int32_t>(text.size), readAt, &text);
  return 0;
}
