// The built-in controls of dialogs: labels, value fields and push buttons.
// Their texts and fonts are kept by the default procedure; a button tells
// its dialog when it is pressed.
#include "wnd_local.h"

namespace ce::detail::wnd {

LRESULT labelProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

LRESULT editProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

LRESULT buttonProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == BM_CLICK) {
    HWND parent = GetParent(hwnd);
    if (parent)
      SendMessageW(parent, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(hwnd)), BN_CLICKED),
                   reinterpret_cast<LPARAM>(hwnd));
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

}  // namespace ce::detail::wnd
