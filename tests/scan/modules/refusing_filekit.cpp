// A test-only filekit.dll that loads but will not hand out its wrapper
// object, as a filekit whose set-up half failed would.
#include <cstdint>

#define EXPORT extern "C" __attribute__((visibility("default")))

struct FileWrapObject;
EXPORT int32_t CreateFileWrapObject(FileWrapObject**) { return 0; }
EXPORT void DeleteFileWrapObject(FileWrapObject*) {}
