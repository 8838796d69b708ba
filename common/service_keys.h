// The registration keys of the product's two services under HKLM\Services.
// The guard, the boot program and setup all write them, with the same values
// in the same order, so that whichever of them runs last leaves the key the
// service host expects.
#pragma once

#include "ce/windows.h"

namespace nx {

enum class ProductService { Guard, Update };

struct ServiceKeyInfo {
  const ce::WCHAR* key;          // below HKLM: "Services\NXSrvOln"
  const ce::WCHAR* device;       // prefix and index as RegisterService takes it: "OLN0:"
  const ce::WCHAR* dll;          // "guardsvc.dll"
  ce::DWORD order;
  const ce::WCHAR* prefix;       // "OLN"
  const ce::WCHAR* description;  // "Online Service dll"
  const ce::WCHAR* displayName;  // "Online Service"
};
const ServiceKeyInfo& serviceKeyInfo(ProductService service);

// Creates the key when missing and writes Dll, Order, Keep, Prefix, Index,
// Context, Description and DisplayName in that order, overwriting what is
// there; the first value that cannot be written ends the key. TRUE when every
// value was written.
ce::BOOL writeServiceKey(ProductService service);

}  // namespace nx
