// What of a window only its own process can use: its procedure, the dialog
// procedure and dialog state, user data, its font; and the process's window
// classes. One mutex guards it; it is never held while a procedure runs.
#pragma once

#include <optional>
#include <string>

#include "wnd.h"

namespace ce::detail::wnd {

struct LocalWin {
  WNDPROC proc = nullptr;
  DLGPROC dlgProc = nullptr;
  LONG_PTR userData = 0;
  LONG_PTR dlgUser = 0;
  LONG_PTR msgResult = 0;
  HFONT font = nullptr;
  bool ended = false;  // EndDialog was called
  INT_PTR endResult = 0;
};

// Keyed by the segment and the handle value: a process may have used
// several devices (tests do), each with its own handles.
std::optional<LocalWin> localGet(Seg* s, uint32_t value);
void localPut(Seg* s, uint32_t value, const LocalWin& w);
// Applies fn to the record under the mutex; false when there is none.
template <class F>
bool localUpdate(Seg* s, uint32_t value, F fn);
void localErase(Seg* s, uint32_t value);

struct ClassInfo {
  std::u16string name;
  WNDPROC proc = nullptr;
  WKind kind = WKind::Window;
  HINSTANCE instance = nullptr;
  ATOM atom = 0;
};
// By name (case-insensitive) or by atom (an integer "name").
std::optional<ClassInfo> findClass(LPCWSTR nameOrAtom);

// Built-in procedures (controls.cpp, dialog.cpp).
LRESULT labelProc(HWND, UINT, WPARAM, LPARAM);
LRESULT editProc(HWND, UINT, WPARAM, LPARAM);
LRESULT buttonProc(HWND, UINT, WPARAM, LPARAM);
LRESULT dialogProc(HWND, UINT, WPARAM, LPARAM);

// The weight and height a font handle of this process stands for.
bool fontMetrics(HFONT font, LONG& weight, LONG& height);

// ---- The table of local records ---------------------------------------------
namespace local_detail {
bool update(Seg* s, uint32_t value, void (*fn)(LocalWin&, void*), void* ctx);
}

template <class F>
bool localUpdate(Seg* s, uint32_t value, F fn) {
  return local_detail::update(
      s, value, [](LocalWin& w, void* ctx) { (*static_cast<F*>(ctx))(w); }, &fn);
}

}  // namespace ce::detail::wnd
