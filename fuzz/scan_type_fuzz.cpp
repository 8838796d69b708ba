// libFuzzer target for the type detector: the first input byte picks the
// file's name (the extension and settings-file tests depend on it), the
// rest is the file. The file is served from memory through a wrapper that
// behaves like the engine's, so every read beyond the head, every header
// offset and every section search runs against the fuzzed bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scan/file_type.h"
#include "tests/scan/mem_wrap.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char16_t* const kNames[] = {
      u"\\Temp\\a.bin", u"\\Temp\\win.ini", u"\\Temp\\a.htm", u"\\Temp\\a.eml", u"\\Temp\\a.tar",
      u"\\Temp\\autorun.inf", u"\\Temp\\a.h", u"\\Temp\\a.b64", u"\\Temp\\noext", u"\\Temp\\a.tmp",
      u"", u"\\Temp\\a.gdr", u"\\Temp\\a.bat", u"\\Temp\\.", u"\\Temp\\x.123456789"};
  if (size == 0) return 0;
  const char16_t* name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
  memwrap::MemFile file(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  const int32_t type = nx::scan::classifyFile(&file.base, 0, name, nullptr);
  if (type != nx::scan::kClassifyFailed) (void)nx::scan::typeCategory(type);
  return 0;
}
