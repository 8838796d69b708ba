// A module with a version number, for load/replace/unload tests. Built as v1
// and v2 (same exports, different answers) and as a module whose attach hook
// refuses to load.
#include "ce/module.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {
int g_calls = 0;  // a fresh mapping starts at 0 again
int g_attachCalls = 0;
ce::HMODULE g_attachedAs = nullptr;
int* g_detachCount = nullptr;  // the test's counter: it outlives the module
}  // namespace

EXPORT int ModuleVersion() { return TEST_MODULE_VERSION; }

// Counts calls within this mapping of the module.
EXPORT int CountCall() { return ++g_calls; }

EXPORT int AttachCalls() { return g_attachCalls; }
EXPORT ce::HMODULE AttachedAs() { return g_attachedAs; }
EXPORT void SetDetachCounter(int* counter) { g_detachCount = counter; }

// How a library the dynamic linker mapped finds its own handle.
EXPORT ce::HMODULE SelfHandle() { return ce::ModuleFromAddress(reinterpret_cast<const void*>(&SelfHandle)); }

EXPORT ce::BOOL CeDllMain(ce::HMODULE self, ce::DWORD reason, void*) {
  if (reason == ce::DLL_PROCESS_ATTACH) {
    ++g_attachCalls;
    g_attachedAs = self;
#ifdef TEST_MODULE_INIT_FAILS
    return ce::FALSE;
#endif
  }
  if (reason == ce::DLL_PROCESS_DETACH && g_detachCount) ++*g_detachCount;
  return ce::TRUE;
}
