// Dialogs made from the templates a module exports as data, their default
// procedure, the modal loop, and the dialog side of the message loop.
#include <algorithm>

#include "ce/base.h"
#include "ce/module.h"
#include "wnd.h"
#include "wnd_local.h"

namespace ce::detail::wnd {
namespace {

constexpr DWORD kMaxTemplates = 4096;

const char16_t* classOf(WORD atom) {
  switch (atom) {
    case CE_CLASS_BUTTON:
      return u"BUTTON";
    case CE_CLASS_EDIT:
      return u"EDIT";
    case CE_CLASS_STATIC:
      return u"STATIC";
    default:
      return nullptr;
  }
}

bool validTemplate(const CeDialogTemplate* t) {
  if (!t || t->cx < 0 || t->cy < 0 || t->itemCount > kCeDialogMaxItems || (t->itemCount && !t->items)) return false;
  for (WORD i = 0; i < t->itemCount; ++i) {
    const CeDialogItem& it = t->items[i];
    if (!classOf(it.classAtom) || it.cx < 0 || it.cy < 0) return false;
  }
  return true;
}

const CeDialogTemplate* findTemplate(HINSTANCE instance, LPCWSTR name) {
  HMODULE m = instance ? instance : GetModuleHandleW(nullptr);
  FARPROC f = GetProcAddress(m, kCeDialogTemplatesExport);
  if (!f) {
    // A handle that names no module keeps its own code.
    if (GetLastError() != ERROR_MOD_NOT_FOUND) SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
    return nullptr;
  }
  if (!IS_INTRESOURCE(name)) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
  }
  DWORD count = 0;
  const CeDialogTemplate* table = reinterpret_cast<CeDialogTemplatesFn>(f)(&count);
  if (count > kMaxTemplates || (count && !table)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  const auto id = static_cast<WORD>(reinterpret_cast<uintptr_t>(name));
  for (DWORD i = 0; i < count; ++i)
    if (table[i].id == id) return &table[i];
  SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
  return nullptr;
}

int screenDpi() {
  Seg* s = current();
  if (!s) return 96;
  Locked L(s);
  return static_cast<int>(L.h()->dpi);
}

HWND createFromTemplate(HINSTANCE instance, const CeDialogTemplate* t, HWND parent, DLGPROC proc, LPARAM init) {
  if (!validTemplate(t)) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  Seg* s = current();
  if (!s) return nullptr;
  const int dpi = screenDpi();
  auto px = [dpi](int v) { return v * dpi / 96; };
  const DWORD style = t->style & ~WS_VISIBLE;
  HWND dlg = CreateWindowExW(t->exStyle, u"Dialog", t->caption, style, px(t->x), px(t->y), px(t->cx), px(t->cy),
                             (style & WS_CHILD) ? parent : nullptr, nullptr, instance, nullptr);
  if (!dlg) return nullptr;
  localUpdate(s, hwndValue(dlg), [&](LocalWin& lw) { lw.dlgProc = proc; });
  {
    Locked L(s);
    uint32_t slot = resolve(L, dlg);
    if (slot != kNone) {
      L.h()->wins[slot].templateId = t->id;
      L.h()->wins[slot].kind = WKind::Dialog;
    }
  }
  HWND focus = nullptr;
  for (WORD i = 0; i < t->itemCount; ++i) {
    const CeDialogItem& it = t->items[i];
    HWND c = CreateWindowExW(0, classOf(it.classAtom), it.text, it.style | WS_CHILD, px(it.x), px(it.y), px(it.cx),
                             px(it.cy), dlg, reinterpret_cast<HMENU>(static_cast<uintptr_t>(it.id)), instance, nullptr);
    if (!c) {
      DWORD err = GetLastError();
      DestroyWindow(dlg);
      SetLastError(err);
      return nullptr;
    }
    if (it.flags & CE_DLGITEM_BOLD) {
      Locked L(s);
      uint32_t slot = resolve(L, c);
      if (slot != kNone) L.h()->wins[slot].fontWeight = 700;
    }
    if (!focus && (it.style & WS_TABSTOP)) focus = c;
  }
  callProc(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), init);
  if (!IsWindow(dlg)) {  // the procedure destroyed it
    SetLastError(ERROR_GEN_FAILURE);
    return nullptr;
  }
  if ((t->style & WS_VISIBLE) && !localGet(s, hwndValue(dlg)).value_or(LocalWin{}).ended) ShowWindow(dlg, SW_SHOW);
  SetLastError(ERROR_SUCCESS);
  return dlg;
}

INT_PTR runModal(HWND dlg) {
  Seg* s = current();
  if (!dlg || !s) return -1;
  const uint32_t v = hwndValue(dlg);
  auto ended = [&] {
    auto lw = localGet(s, v);
    return !lw || lw->ended;
  };
  if (!ended()) ShowWindow(dlg, SW_SHOW);
  while (!ended()) {
    MSG m;
    BOOL r = GetMessageW(&m, nullptr, 0, 0);
    if (r == 0) {
      PostQuitMessage(static_cast<int>(m.wParam));
      break;
    }
    if (r == -1) break;
    if (!IsDialogMessageW(dlg, &m)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  auto lw = localGet(s, v);
  INT_PTR result = lw && lw->ended ? lw->endResult : (lw ? IDCANCEL : -1);
  if (IsWindow(dlg)) DestroyWindow(dlg);
  return result;
}

// The id of the dialog's default push button, IDOK when it has none.
int defaultButton(HWND dlg) {
  Seg* s = current();
  if (!s) return IDOK;
  Locked L(s);
  uint32_t d = resolve(L, dlg);
  if (d == kNone) return IDOK;
  const Header* h = L.h();
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    const Win& w = h->wins[i];
    if (w.used && w.parent == d + 1 && w.kind == WKind::Button && (w.style & 0xF) == BS_DEFPUSHBUTTON) return w.ctrlId;
  }
  return IDOK;
}

}  // namespace

LRESULT dialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Seg* s = current();
  if (!s) return 0;
  const uint32_t v = hwndValue(hwnd);
  auto lw = localGet(s, v);
  if (lw && lw->dlgProc) {
    localUpdate(s, v, [](LocalWin& w) { w.msgResult = 0; });
    INT_PTR r = lw->dlgProc(hwnd, msg, wParam, lParam);
    if (r) {
      if (msg == WM_INITDIALOG) return r;
      auto after = localGet(s, v);
      return after ? after->msgResult : 0;
    }
  }
  return DefDlgProcW(hwnd, msg, wParam, lParam);
}

}  // namespace ce::detail::wnd

namespace ce {

using namespace detail::wnd;

LRESULT DefDlgProcW(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_CLOSE:
      // A dialog is closed as if its cancel button had been pressed.
      callProc(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
      return 0;
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      return 0;
    default:
      return DefWindowProcW(dialog, msg, wParam, lParam);
  }
}

HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam) {
  const CeDialogTemplate* t = findTemplate(instance, templateName);
  return t ? createFromTemplate(instance, t, parent, proc, initParam) : nullptr;
}

HWND CreateDialogIndirectParamW(HINSTANCE instance, const CeDialogTemplate* tmpl, HWND parent, DLGPROC proc,
                                LPARAM initParam) {
  return createFromTemplate(instance, tmpl, parent, proc, initParam);
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam) {
  HWND dlg = CreateDialogParamW(instance, templateName, parent, proc, initParam);
  return dlg ? runModal(dlg) : -1;
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, const CeDialogTemplate* tmpl, HWND parent, DLGPROC proc,
                                LPARAM initParam) {
  HWND dlg = CreateDialogIndirectParamW(instance, tmpl, parent, proc, initParam);
  return dlg ? runModal(dlg) : -1;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
  Seg* s = current();
  if (!s || !IsWindow(dialog)) return FALSE;
  if (!localUpdate(s, hwndValue(dialog), [&](LocalWin& lw) {
        lw.ended = true;
        lw.endResult = result;
      })) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  ShowWindow(dialog, SW_HIDE);
  PostMessageW(dialog, WM_NULL, 0, 0);  // wakes a modal loop waiting for its next message
  return TRUE;
}

BOOL IsDialogMessageW(HWND dialog, LPMSG msg) {
  if (!dialog || !msg || !msg->hwnd) return FALSE;
  if (msg->hwnd != dialog && !IsChild(dialog, msg->hwnd)) return FALSE;
  if (msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE)) {
    const int id = msg->wParam == VK_RETURN ? defaultButton(dialog) : IDCANCEL;
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), 0);
    return TRUE;
  }
  if (msg->message == WM_CHAR && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE)) return TRUE;
  DispatchMessageW(msg);
  return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
  Seg* s = current();
  if (!s) return nullptr;
  Locked L(s);
  uint32_t d = resolve(L, dialog);
  if (d == kNone) return nullptr;
  const Header* h = L.h();
  uint32_t best = kNone;
  const auto want = static_cast<int32_t>(static_cast<int16_t>(id));
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    const Win& w = h->wins[i];
    if (!w.used || w.destroying || w.parent != d + 1 || w.ctrlId != want) continue;
    if (best == kNone || w.order < h->wins[best].order) best = i;
  }
  if (best == kNone) {
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
  }
  return hwndOf(h, best);
}

int GetDlgCtrlID(HWND hwnd) { return static_cast<int>(GetWindowLongW(hwnd, GWL_ID)); }

BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text) {
  HWND item = GetDlgItem(dialog, id);
  return item ? SetWindowTextW(item, text) : FALSE;
}

UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int cap) {
  if (buffer && cap > 0) buffer[0] = 0;
  HWND item = GetDlgItem(dialog, id);
  return item ? static_cast<UINT>(GetWindowTextW(item, buffer, cap)) : 0;
}

LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam) {
  HWND item = GetDlgItem(dialog, id);
  return item ? SendMessageW(item, msg, wParam, lParam) : 0;
}

}  // namespace ce
