// libFuzzer target for the readers of nxpack verify: the first input byte
// picks the file kind, the rest is its contents. Every reader must answer
// with faults for damaged data, never read outside the input or crash.
#include <cstddef>
#include <cstdint>

#include "tools/nxpack/archive_check.h"
#include "tools/nxpack/server_files.h"
#include "tools/nxpack/signing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const nxpack::Bytes file(data + 1, data + size);
  nxpack::Faults faults;
  switch (data[0] % 6) {
    case 0: nxpack::decodeSources(file, faults); break;
    case 1: {
      const nxpack::Index index = nxpack::decodeIndex(file, faults);
      (void)index;
      break;
    }
    case 2: nxpack::decodeIndexBin(file, &file, faults); break;
    case 3: nxpack::decodeSignatureFile(file, faults); break;
    case 4: {
      std::string why;
      nxpack::walkHeaders(file, why);
      nxpack::readArchive(file);
      break;
    }
    default: {
      nxpack::checkPackage("package", file, nullptr, faults);
      nxpack::readArchive(nxpack::packageBody(file));
      nxpack::decodeVersion(file);
      break;
    }
  }
  return 0;
}
