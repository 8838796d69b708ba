// A stand-in filekit.dll for the SIS/SISX layer tests: its wrapper factory
// answers 0 on the call numbered by the environment variable
// NX_FAKE_FILEKIT_FAIL_AT (1 = the first), and hands out an empty object
// otherwise, so that each binding's failure can be brought about in turn.
#include <cstdint>
#include <cstdlib>

#include "filekit/filekit_api.h"

namespace {
FileWrapOps g_ops{};
FileWrapObject g_object{&g_ops};
int g_calls = 0;
}  // namespace

extern "C" {
__attribute__((visibility("default"))) int32_t CreateFileWrapObject(FileWrapObject** out) {
  const char* at = std::getenv("NX_FAKE_FILEKIT_FAIL_AT");
  ++g_calls;
  if (!out || (at && std::atoi(at) == g_calls)) return 0;
  *out = &g_object;
  return 1;
}
__attribute__((visibility("default"))) void DeleteFileWrapObject(FileWrapObject*) {}
}
