// guardsvc.dll: the on-access protection service ("OLN0:"), its device
// I/O entry points and its dialog templates.
#include <cstring>
#include <mutex>
#include <new>

#include "ce/base.h"
#include "ce/ui.h"
#include "guardsvc/dialog_templates.h"
#include "guardsvc/diagnostics.h"
#include "guardsvc/guard_service.h"

#define GUARD_EXPORT extern "C" __attribute__((visibility("default")))

using namespace ce;

namespace {

// One service per loaded library: the host registers "OLN0:" once.
std::mutex g_mu;
guard::GuardService* g_service = nullptr;

// The device I/O the service does not offer.
DWORD stub() { return 0; }

}  // namespace

GUARD_EXPORT DWORD OLN_Init(DWORD /*context*/) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_service) return 0;
  auto* s = new (std::nothrow) guard::GuardService();
  if (!s) return 0;
  if (!s->init()) {
    delete s;
    return 0;
  }
  g_service = s;
  return 1;
}

GUARD_EXPORT BOOL OLN_Deinit(DWORD /*initResult*/) {
  guard::GuardService* s;
  {
    std::lock_guard<std::mutex> lock(g_mu);
    s = g_service;
    g_service = nullptr;
  }
  if (s && s->deinit()) delete s;
  return 0;
}

GUARD_EXPORT DWORD OLN_Open(DWORD, DWORD, DWORD) { return stub(); }
GUARD_EXPORT BOOL OLN_Close(DWORD) { return static_cast<BOOL>(stub()); }
GUARD_EXPORT DWORD OLN_Read(DWORD, LPVOID, DWORD) { return stub(); }
GUARD_EXPORT DWORD OLN_Write(DWORD, LPCVOID, DWORD) { return stub(); }
GUARD_EXPORT DWORD OLN_Seek(DWORD, LONG, DWORD) { return stub(); }

// The stub's 0 for every code but the guard's diagnostic ones.
GUARD_EXPORT BOOL OLN_IOControl(DWORD, DWORD code, BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                                DWORD* actual) {
  if (actual) *actual = 0;
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_service) return static_cast<BOOL>(stub());
  return g_service->ioControl(code, in, inSize, out, outSize, actual);
}

GUARD_EXPORT const CeDialogTemplate* CeDialogTemplates(DWORD* count) { return guard::dialogTemplates(count); }

namespace guard {

BOOL GuardService::ioControl(DWORD code, const BYTE* in, DWORD inSize, BYTE* out, DWORD outSize, DWORD* actual) {
  if (code == kIoctlStatistics) {
    Statistics st = diag_.statistics();
    st.protectedNow = protected_.load() ? 1 : 0;
    st.pendingNow = static_cast<uint32_t>(pending_.size());
    nx::WM_ONLINE_OPTS o = options_.online();
    st.onlineOptions = o.bEnabled | (o.bAction << 8) | (o.bQuarantine << 16);
    if (!out || outSize < sizeof st) return FALSE;
    std::memcpy(out, &st, sizeof st);
    if (actual) *actual = sizeof st;
    return TRUE;
  }
  if (code == kIoctlFileState) {
    if (!in || inSize < 2 || !out || outSize < sizeof(FileState)) return FALSE;
    std::u16string path(inSize / 2, u'\0');
    std::memcpy(path.data(), in, path.size() * 2);
    if (size_t nul = path.find(u'\0'); nul != std::u16string::npos) path.resize(nul);
    FileState f{};
    if (!diag_.fileState(path, &f)) return FALSE;
    std::memcpy(out, &f, sizeof f);
    if (actual) *actual = sizeof f;
    return TRUE;
  }
  return static_cast<BOOL>(stub());
}

}  // namespace guard
