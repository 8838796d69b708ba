// A filekit.dll stand-in that loads and resolves but has no wrapper object
// to give: the scanners' "no wrapper" failure path.
#include <cstdint>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

STANDIN_EXPORT int32_t LibInit() { return 1; }
STANDIN_EXPORT int32_t LibDeinit() { return 0; }
STANDIN_EXPORT int32_t CreateFileWrapObject(void** out) { return 0; }
STANDIN_EXPORT void DeleteFileWrapObject(void*) {}
