#include "ce/text.h"
#include "platform/platform_internal.h"

namespace nx::plat {

bool toWide(const char* text, WCHAR* out, int cap) {
  if (!text || !out || cap <= 0) return false;
  return ce::MultiByteToWideChar(ce::CP_ACP, ce::MB_PRECOMPOSED, text, -1, out, cap) > 0;
}

bool toAnsi(const WCHAR* text, char* out, int cap) {
  if (!text || !out || cap <= 0) return false;
  // Measured first so that a text too long for the buffer leaves it untouched.
  int need = ce::WideCharToMultiByte(ce::CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (need <= 0 || need > cap) return false;
  return ce::WideCharToMultiByte(ce::CP_ACP, 0, text, -1, out, cap, nullptr, nullptr) > 0;
}

}  // namespace nx::plat
