// RegisterService and its companions: checked here, answered by the device's
// service host (see service_channel.cpp).
#include <cstring>

#include "ce/base.h"
#include "ce/service_host.h"
#include "ce/services.h"

namespace ce {

namespace {

using servicehost::Op;
using servicehost::Reply;
using servicehost::Request;

bool isLetter(WCHAR c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// "OLN0:": three letters, the index digit and a colon.
bool checkPrefix(LPCWSTR prefix, const DWORD* index, Request& rq) {
  if (!prefix) return false;
  size_t len = 0;
  while (len < 6 && prefix[len]) ++len;
  if (len != 5 || !isLetter(prefix[0]) || !isLetter(prefix[1]) || !isLetter(prefix[2]) || prefix[3] < u'0' ||
      prefix[3] > u'9' || prefix[4] != u':')
    return false;
  if (index && *index != static_cast<DWORD>(prefix[3] - u'0')) return false;
  std::memcpy(rq.prefix, prefix, 5 * sizeof(WCHAR));
  rq.prefix[5] = 0;
  rq.index = static_cast<DWORD>(prefix[3] - u'0');
  return true;
}

}  // namespace

HANDLE RegisterService(LPCWSTR prefix, DWORD index, LPCWSTR dll, DWORD context) {
  Request rq{};
  if (!checkPrefix(prefix, &index, rq) || !dll || !dll[0]) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  size_t len = 0;
  while (dll[len]) {
    if (++len >= MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return nullptr;
    }
  }
  std::memcpy(rq.dll, dll, len * sizeof(WCHAR));
  rq.op = static_cast<uint32_t>(Op::Register);
  rq.context = context;
  Reply rp;
  if (!servicehost::Call(rq, rp)) return nullptr;
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(rp.handle));
}

BOOL DeregisterService(HANDLE service) {
  if (!service || service == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  Request rq{};
  rq.op = static_cast<uint32_t>(Op::Deregister);
  rq.handle = reinterpret_cast<uintptr_t>(service);
  Reply rp;
  return servicehost::Call(rq, rp);
}

HANDLE GetServiceHandle(LPCWSTR prefix, LPWSTR dllName, DWORD* dllNameBytes) {
  Request rq{};
  if (!checkPrefix(prefix, nullptr, rq) || (dllName && !dllNameBytes)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  rq.op = static_cast<uint32_t>(Op::GetHandle);
  Reply rp;
  if (!servicehost::Call(rq, rp)) return INVALID_HANDLE_VALUE;
  if (dllName) {
    size_t len = 0;
    while (len < MAX_PATH - 1 && rp.text[len]) ++len;
    const DWORD need = static_cast<DWORD>((len + 1) * sizeof(WCHAR));
    if (*dllNameBytes < need) {
      *dllNameBytes = need;
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return INVALID_HANDLE_VALUE;
    }
    std::memcpy(dllName, rp.text, need);
    *dllNameBytes = need;
  }
  return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(rp.handle));
}

BOOL ServiceIoControl(HANDLE service, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                      LPDWORD bytesReturned, void*) {
  if (!service || service == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (inSize > kServiceIoControlMax || outSize > kServiceIoControlMax || (inSize && !in) || (outSize && !out)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Request rq{};
  rq.op = static_cast<uint32_t>(Op::IoControl);
  rq.handle = reinterpret_cast<uintptr_t>(service);
  rq.code = code;
  rq.inSize = inSize;
  rq.outSize = outSize;
  if (inSize) std::memcpy(rq.data, in, inSize);
  Reply rp;
  if (!servicehost::Call(rq, rp)) return FALSE;
  const DWORD n = rp.outSize < outSize ? rp.outSize : outSize;
  if (n) std::memcpy(out, rp.data, n);
  if (bytesReturned) *bytesReturned = n;
  if (!rp.result) SetLastError(rp.error);
  return rp.result ? TRUE : FALSE;
}

}  // namespace ce
