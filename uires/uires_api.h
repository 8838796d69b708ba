// What uires.dll offers its callers: one table of user-interface texts by
// numeric identifier. Callers never use it directly; they go through the
// string lookup (common/string_lookup.h), which copies a text out while the
// library is loaded and falls back to its own built-in text otherwise.
#pragma once

#include "ce/windows.h"

#if defined(NX_UIRES_BUILD)
#define NX_UIRES_API __attribute__((visibility("default")))
#else
#define NX_UIRES_API
#endif

struct UiresString {
  ce::DWORD id;
  const ce::WCHAR* text;  // terminated; lives as long as the library is loaded
};

inline constexpr const char* kUiresTableExport = "UiresStringTable";

extern "C" {
// The table, sorted by identifier; *count receives its length.
NX_UIRES_API const UiresString* UiresStringTable(ce::DWORD* count);
}

namespace nx::uires_fn {
using UiresStringTable = const UiresString* (*)(ce::DWORD*);
}
