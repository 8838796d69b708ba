// A module that links ce_test_dep.dll, as the engine modules link platform.dll.
#include "ce/module.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

extern "C" int DepValue();
extern "C" ce::HMODULE DepSelf();

EXPORT int UseDep() { return DepValue() + 1; }
EXPORT ce::HMODULE DepHandle() { return DepSelf(); }
