// The options-file reader over arbitrary file contents: the first byte picks
// the area, the rest is the file. A sound verdict must hand out exactly the
// record that follows the head.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/options_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  auto area = static_cast<nx::OptionsArea>(data[0] % nx::kOptionsAreaCount);
  const ce::DWORD n = nx::optionsAreaInfo(area).size;
  const uint8_t* file = data + 1;
  size_t len = size - 1;
  // The record lives at the end of a heap block so that any write past it is caught.
  uint8_t* record = static_cast<uint8_t*>(std::malloc(n));
  std::memset(record, 0xA5, n);
  ce::DWORD code = nx::decodeOptionsImage(file, len, record, n);
  if (code == nx::kOptionsOk) {
    if (len < 8 + n || std::memcmp(record, file + 8, n) != 0) std::abort();
    if (area == nx::OptionsArea::Internet) {
      ce::WCHAR text[300];
      nx::getTextField(record + 2, nx::kProxyHostChars, text, 300);
      nx::getTextField(record + 516, nx::kProxyCredentialChars, text, 300);
    }
  } else if (code != nx::kOptionsBadCrc && code != nx::kOptionsReadFailed) {
    std::abort();
  }
  std::free(record);
  return 0;
}
