// updsvc.dll: the scheduled update service ("UPD0:") and its device I/O
// entry points, which it does not offer.
#include <mutex>
#include <new>

#include "ce/services.h"
#include "updsvc/update_service.h"

#define UPD_EXPORT extern "C" __attribute__((visibility("default")))

using namespace ce;

namespace {

// One service per loaded library: the host registers "UPD0:" once.
std::mutex g_mu;
nx::updsvc::UpdateService* g_service = nullptr;

DWORD stub() { return 0; }

}  // namespace

UPD_EXPORT DWORD UPD_Init(DWORD /*context*/) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_service) return 0;
  auto* s = new (std::nothrow) nx::updsvc::UpdateService();
  if (!s) return 0;
  if (!s->init()) {
    delete s;
    return 0;
  }
  g_service = s;
  return 1;
}

UPD_EXPORT BOOL UPD_Deinit(DWORD /*initResult*/) {
  nx::updsvc::UpdateService* s;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    s = g_service;
    g_service = nullptr;
  }
  if (s) {
    s->deinit();
    delete s;
  }
  return 1;
}

UPD_EXPORT DWORD UPD_Open(DWORD, DWORD, DWORD) { return stub(); }
UPD_EXPORT BOOL UPD_Close(DWORD) { return static_cast<BOOL>(stub()); }
UPD_EXPORT DWORD UPD_Read(DWORD, LPVOID, DWORD) { return stub(); }
UPD_EXPORT DWORD UPD_Write(DWORD, LPCVOID, DWORD) { return stub(); }
UPD_EXPORT DWORD UPD_Seek(DWORD, LONG, DWORD) { return stub(); }
UPD_EXPORT BOOL UPD_IOControl(DWORD, DWORD, BYTE*, DWORD, BYTE*, DWORD, DWORD* actual) {
  if (actual) *actual = 0;
  return static_cast<BOOL>(stub());
}
