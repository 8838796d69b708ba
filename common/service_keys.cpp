#include "common/service_keys.h"

#include "ce/registry.h"
#include "ce/text.h"

namespace nx {

using namespace ce;

namespace {

const ServiceKeyInfo kGuard{u"Services\\NXSrvOln", u"OLN0:", u"guardsvc.dll", 8, u"OLN", u"Online Service dll",
                            u"Online Service"};
const ServiceKeyInfo kUpdate{u"Services\\NXSrvUpd", u"UPD0:", u"updsvc.dll", 9, u"UPD", u"Update Service dll",
                             u"Update Service"};

}  // namespace

const ServiceKeyInfo& serviceKeyInfo(ProductService service) {
  return service == ProductService::Guard ? kGuard : kUpdate;
}

BOOL writeServiceKey(ProductService service) {
  const ServiceKeyInfo& s = serviceKeyInfo(service);
  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, s.key, 0, nullptr, 0, 0, nullptr, &key, &disposition) != ERROR_SUCCESS)
    return FALSE;
  auto text = [&](const WCHAR* name, const WCHAR* value) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>((wcslen16(value) + 1) * sizeof(WCHAR))) == ERROR_SUCCESS;
  };
  auto number = [&](const WCHAR* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
  };
  const bool all = text(u"Dll", s.dll) && number(u"Order", s.order) && number(u"Keep", 1) &&
                   text(u"Prefix", s.prefix) && number(u"Index", 0) && number(u"Context", 0) &&
                   text(u"Description", s.description) && text(u"DisplayName", s.displayName);
  RegCloseKey(key);
  return all ? TRUE : FALSE;
}

}  // namespace nx
