// Screen metrics, device contexts and fonts. Contexts and fonts are objects of
// the process (as on the handset); the metrics are the device's.
#include "ce/gdi.h"

#include <cstring>
#include <map>
#include <mutex>

#include "ce/base.h"
#include "wnd.h"
#include "wnd_local.h"

namespace ce::detail::wnd {
namespace {

// Handle values of the two kinds, apart from each other and from windows.
constexpr uintptr_t kFontBase = 0x46000000u;
constexpr uintptr_t kDcBase = 0x44000000u;
constexpr uintptr_t kStockFont = kFontBase;

struct Dc {
  HWND hwnd = nullptr;
  HGDIOBJ font = reinterpret_cast<HGDIOBJ>(kStockFont);
};

struct Gdi {
  std::mutex mu;
  std::map<uintptr_t, LOGFONTW> fonts;
  std::map<uintptr_t, Dc> dcs;
  uintptr_t nextFont = kFontBase + 1;
  uintptr_t nextDc = kDcBase + 1;
};

Gdi& gdi() {
  static Gdi* g = new Gdi;  // lives until exit
  return *g;
}

LOGFONTW stockFont() {
  LOGFONTW lf{};
  lf.lfHeight = -12;
  lf.lfWeight = FW_NORMAL;
  const char16_t face[] = u"Tahoma";
  std::memcpy(lf.lfFaceName, face, sizeof face);
  return lf;
}

struct Screen {
  int width;
  int height;
  int dpi;
};

Screen screenNow() {
  Seg* s = current();
  if (!s) return Screen{240, 320, 96};
  Locked L(s);
  return Screen{screenWidth(L.h()), screenHeight(L.h()), static_cast<int>(L.h()->dpi)};
}

}  // namespace

bool fontMetrics(HFONT font, LONG& weight, LONG& height) {
  auto v = reinterpret_cast<uintptr_t>(font);
  if (v == kStockFont) {
    LOGFONTW lf = stockFont();
    weight = lf.lfWeight;
    height = lf.lfHeight;
    return true;
  }
  auto& g = gdi();
  std::lock_guard lock(g.mu);
  auto it = g.fonts.find(v);
  if (it == g.fonts.end()) return false;
  weight = it->second.lfWeight ? it->second.lfWeight : FW_NORMAL;
  height = it->second.lfHeight;
  return true;
}

}  // namespace ce::detail::wnd

namespace ce {

using namespace detail::wnd;

int GetSystemMetrics(int index) {
  const Screen sc = screenNow();
  auto px = [&](int v) { return v * sc.dpi / 96; };
  switch (index) {
    case SM_CXSCREEN:
      return sc.width;
    case SM_CYSCREEN:
      return sc.height;
    case SM_CXVSCROLL:
    case SM_CYHSCROLL:
      return px(13);
    case SM_CYCAPTION:
    case SM_CYMENU:
      return px(26);
    case SM_CXBORDER:
    case SM_CYBORDER:
    case SM_CXDLGFRAME:
    case SM_CYDLGFRAME:
      return px(1);
    case SM_CXICON:
    case SM_CYICON:
      return px(32);
    case SM_CXFULLSCREEN:
      return sc.width;
    case SM_CYFULLSCREEN:
      // Less the navigation bar at the top and the menu bar at the bottom.
      return sc.height - 2 * px(26);
    default:
      return 0;
  }
}

HDC GetDC(HWND hwnd) {
  if (hwnd && !IsWindow(hwnd)) return nullptr;
  auto& g = gdi();
  std::lock_guard lock(g.mu);
  uintptr_t v = g.nextDc++;
  g.dcs[v] = Dc{hwnd, reinterpret_cast<HGDIOBJ>(kStockFont)};
  return reinterpret_cast<HDC>(v);
}

int ReleaseDC(HWND, HDC dc) {
  auto& g = gdi();
  std::lock_guard lock(g.mu);
  return g.dcs.erase(reinterpret_cast<uintptr_t>(dc)) ? 1 : 0;
}

int GetDeviceCaps(HDC dc, int index) {
  {
    auto& g = gdi();
    std::lock_guard lock(g.mu);
    if (!g.dcs.count(reinterpret_cast<uintptr_t>(dc))) {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
  }
  const Screen sc = screenNow();
  switch (index) {
    case LOGPIXELSX:
    case LOGPIXELSY:
      return sc.dpi;
    case HORZRES:
      return sc.width;
    case VERTRES:
      return sc.height;
    case BITSPIXEL:
      return 16;
    default:
      return 0;
  }
}

HFONT CreateFontIndirectW(const LOGFONTW* lf) {
  if (!lf) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto& g = gdi();
  std::lock_guard lock(g.mu);
  uintptr_t v = g.nextFont++;
  LOGFONTW copy = *lf;
  copy.lfFaceName[LF_FACESIZE - 1] = 0;
  g.fonts[v] = copy;
  return reinterpret_cast<HFONT>(v);
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
  auto& g = gdi();
  std::lock_guard lock(g.mu);
  auto it = g.dcs.find(reinterpret_cast<uintptr_t>(dc));
  const auto v = reinterpret_cast<uintptr_t>(object);
  if (it == g.dcs.end() || (v != kStockFont && !g.fonts.count(v))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  HGDIOBJ old = it->second.font;
  it->second.font = object;
  return old;
}

BOOL DeleteObject(HGDIOBJ object) {
  const auto v = reinterpret_cast<uintptr_t>(object);
  if (v == kStockFont) return TRUE;  // stock objects are never deleted
  auto& g = gdi();
  std::lock_guard lock(g.mu);
  if (!g.fonts.erase(v)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

int GetObjectW(HGDIOBJ object, int size, LPVOID buffer) {
  const auto v = reinterpret_cast<uintptr_t>(object);
  LOGFONTW lf;
  {
    auto& g = gdi();
    std::lock_guard lock(g.mu);
    auto it = g.fonts.find(v);
    if (v == kStockFont) {
      lf = stockFont();
    } else if (it != g.fonts.end()) {
      lf = it->second;
    } else {
      SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
  }
  if (!buffer) return static_cast<int>(sizeof lf);
  if (size < static_cast<int>(sizeof lf)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, &lf, sizeof lf);
  return static_cast<int>(sizeof lf);
}

HGDIOBJ GetStockObject(int index) {
  if (index == SYSTEM_FONT) return reinterpret_cast<HGDIOBJ>(kStockFont);
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

}  // namespace ce
