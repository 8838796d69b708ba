// A library another test module links at link time (found by the loader in
// the linking module's own folder).
#include "ce/module.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT int DepValue() { return 7; }
EXPORT ce::HMODULE DepSelf() { return ce::ModuleFromAddress(reinterpret_cast<const void*>(&DepValue)); }
