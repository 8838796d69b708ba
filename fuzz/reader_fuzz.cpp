// libFuzzer target for the cabinet reader: the input is the archive file,
// served from memory through a file-wrapper table; every member is taken
// with ExtractNext and its bytes thrown away, as a scan would do.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "archivekit/cab_reader.h"
#include "fuzz/memory_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  fuzzfiles::reset(data, static_cast<int32_t>(size));
  {
    nx::cab::CabReader reader(&fuzzfiles::g_wrapper);
    // Next cabinets "exist" so that chains are followed into the same bytes.
    reader.setDirectoryProbe([](const std::u16string&, const std::u16string&) { return true; });
    if (reader.Open(u"\\fuzz\\input.cab")) {
      char16_t name[260];
      for (int i = 0; i < 70000 && reader.ExtractNext(u"\\fuzz\\out.bin", name); ++i) {
      }
      reader.Close();
    }
  }
  if (fuzzfiles::anyOpen()) __builtin_trap();  // a destroyed reader has closed every file it opened
  return 0;
}
