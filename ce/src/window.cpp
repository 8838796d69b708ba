// Windows: creating and destroying them, their texts, placement and values,
// and the default procedure.
#include <algorithm>
#include <cstring>
#include <vector>

#include "ce/base.h"
#include "ce/text.h"
#include "kobj.h"
#include "shell_table.h"
#include "wnd.h"
#include "wnd_local.h"

namespace ce::detail::wnd {
namespace {

uint32_t allocWindow(Locked& L) {
  Header* h = L.h();
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t n = 0; n < kMaxWindows; ++n) {
      uint32_t i = (h->allocHint + n) % kMaxWindows;
      if (h->wins[i].used) continue;
      h->allocHint = (i + 1) % kMaxWindows;
      return i;
    }
    reapDead(L, true);
  }
  SetLastError(ERROR_NO_WINDOWS_LEFT);
  return kNone;
}

// slot and everything below it, parents before children.
std::vector<uint32_t> treeOf(const Header* h, uint32_t slot) {
  std::vector<uint32_t> out{slot};
  for (size_t k = 0; k < out.size(); ++k) {
    std::vector<uint32_t> kids;
    for (uint32_t i = 0; i < kMaxWindows; ++i)
      if (h->wins[i].used && h->wins[i].parent == out[k] + 1) kids.push_back(i);
    std::sort(kids.begin(), kids.end(), [&](uint32_t a, uint32_t b) { return h->wins[a].order < h->wins[b].order; });
    out.insert(out.end(), kids.begin(), kids.end());
  }
  return out;
}

void setText(Header* h, Win& w, const char16_t* text) {
  size_t n = text ? std::min<size_t>(wcslen16(text), kTextMax - 1) : 0;
  char16_t* to = textOf(h, w);
  if (n) std::memcpy(to, text, n * sizeof(char16_t));
  to[n] = 0;
  w.textLen = static_cast<uint32_t>(n);
}

// Removes the posted messages of a window that is going away; the change
// records among them are gathered, to be freed once the lock is let go.
void purgePosted(Header* h, uint32_t q, uint32_t value, std::vector<uint64_t>& records) {
  Queue& Q = h->queues[q];
  Posted* ring = ringOf(h, Q);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < Q.count; ++i) {
    const Posted p = ring[(Q.head + i) % kQueueSlots];
    if (p.hwnd == value) {
      if (p.msg == WM_FILECHANGEINFO) records.push_back(p.lParam);
      continue;
    }
    ring[(Q.head + kept) % kQueueSlots] = p;
    ++kept;
  }
  Q.count = kept;
}

bool sameText(const char16_t* a, const char16_t* b) {
  if (!a || !b) return !a && !b;
  return equalsNoCase(a, b);
}

}  // namespace

void journalIfShown(Locked& L, uint32_t slot) {
  uint32_t top = topOf(L.h(), slot);
  if (L.h()->wins[top].visible && !L.h()->wins[top].parent) journalWindow(L, top, "change");
}

}  // namespace ce::detail::wnd

namespace ce {

using namespace detail;
using namespace detail::wnd;

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menuOrId, HINSTANCE instance, LPVOID param) {
  auto cls = findClass(className);
  if (!cls) {
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  if ((style & WS_CHILD) && !parent) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Seg* s = current();
  if (!s) return nullptr;
  HWND hwnd;
  {
    Locked L(s);
    Header* h = L.h();
    uint32_t parentSlot = kNone;
    if (parent) {
      parentSlot = resolve(L, parent);
      if (parentSlot == kNone) return nullptr;
      if (!mine(L, parentSlot)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
      }
    }
    const uint32_t q = myQueue(L);
    if (q == kNone) return nullptr;
    const uint32_t slot = allocWindow(L);
    if (slot == kNone) return nullptr;
    Win& w = h->wins[slot];
    w.kind = cls->kind;
    w.visible = 0;
    w.destroying = 0;
    w.pid = s->me.pid;
    w.start = s->me.start;
    w.tid = kobj::currentTid();
    w.queue = q;
    w.parent = (style & WS_CHILD) && parentSlot != kNone ? parentSlot + 1 : 0;
    w.ctrlId = (style & WS_CHILD) ? static_cast<int32_t>(static_cast<int16_t>(reinterpret_cast<uintptr_t>(menuOrId)))
                                  : 0;
    w.style = style & ~WS_VISIBLE;
    w.exStyle = exStyle;
    const bool full = width == CW_USEDEFAULT;
    w.x = x == CW_USEDEFAULT ? 0 : x;
    w.y = y == CW_USEDEFAULT ? 0 : y;
    w.w = full ? screenWidth(h) : std::max(width, 0);
    w.h = full || height == CW_USEDEFAULT ? screenHeight(h) : std::max(height, 0);
    w.z = 0;
    w.order = ++h->orderCounter;
    w.templateId = 0;
    w.fontWeight = 0;
    w.fontHeight = 0;
    const std::u16string& cn = cls->name;
    w.classLen = static_cast<uint32_t>(std::min<size_t>(cn.size(), kClassMax - 1));
    std::memcpy(w.cls, cn.data(), w.classLen * sizeof(char16_t));
    w.cls[w.classLen] = 0;
    setText(h, w, windowName);
    w.used = 1;
    hwnd = hwndOf(h, slot);
  }
  LocalWin lw;
  lw.proc = cls->proc;
  localPut(s, hwndValue(hwnd), lw);
  CREATESTRUCTW cs{param, instance, menuOrId, parent, height, width, y, x, static_cast<LONG>(style), windowName,
                   IS_INTRESOURCE(className) ? nullptr : className, exStyle};
  if (callProc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
    DestroyWindow(hwnd);
    SetLastError(ERROR_GEN_FAILURE);
    return nullptr;
  }
  if (style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
  SetLastError(ERROR_SUCCESS);
  return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
  Seg* s = current();
  if (!s) return FALSE;
  std::vector<HWND> tree;
  {
    Locked L(s);
    uint32_t slot = resolve(L, hwnd);
    if (slot == kNone) return FALSE;
    if (!ownThread(L, slot)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    Header* h = L.h();
    if (h->wins[slot].destroying) return TRUE;  // WM_DESTROY of it is under way
    for (uint32_t i : treeOf(h, slot)) {
      h->wins[i].destroying = 1;
      tree.push_back(hwndOf(h, i));
    }
    if (!h->wins[slot].parent && h->wins[slot].visible) {
      journalWindow(L, slot, "destroy");
    } else if (h->wins[slot].parent && h->wins[slot].visible) {
      h->wins[slot].visible = 0;  // the dialog shown loses a control
      journalIfShown(L, slot);
    }
    h->wins[slot].visible = 0;
  }
  for (HWND w : tree) callProc(w, WM_DESTROY, 0, 0);
  Locked L(s);
  Header* h = L.h();
  std::vector<uint64_t> records;
  for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
    uint32_t v = hwndValue(*it);
    uint32_t slot = (v & 0xFFFF) - 1;
    if (!h->wins[slot].used || hwndOf(h, slot) != *it) continue;
    purgePosted(h, h->wins[slot].queue, v, records);
    freeWindow(L, slot);
  }
  L.unlock();
  for (HWND w : tree) localErase(s, hwndValue(w));
  for (uint64_t r : records) dropFileChangeRecord(r);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  Seg* s = current();
  if (!s) return FALSE;
  Locked L(s);
  return resolve(L, hwnd) != kNone;
}

BOOL IsWindowVisible(HWND hwnd) {
  Seg* s = current();
  if (!s) return FALSE;
  Locked L(s);
  uint32_t slot = resolve(L, hwnd);
  if (slot == kNone) return FALSE;
  // Visible only when every window above it is.
  for (uint32_t n = 0; n < kMaxWindows; ++n) {
    const Win& w = L.h()->wins[slot];
    if (!w.visible) return FALSE;
    if (!w.parent) return TRUE;
    slot = w.parent - 1;
  }
  return FALSE;
}

BOOL IsChild(HWND parent, HWND hwnd) {
  Seg* s = current();
  if (!s) return FALSE;
  Locked L(s);
  uint32_t p = resolve(L, parent);
  uint32_t slot = resolve(L, hwnd);
  if (p == kNone || slot == kNone) return FALSE;
  for (uint32_t n = 0; n < kMaxWindows && L.h()->wins[slot].parent; ++n) {
    slot = L.h()->wins[slot].parent - 1;
    if (slot == p) return TRUE;
  }
  return FALSE;
}

HWND GetParent(HWND hwnd) {
  Seg* s = current();
  if (!s) return nullptr;
  Locked L(s);
  uint32_t slot = resolve(L, hwnd);
  if (slot == kNone || !L.h()->wins[slot].parent) return nullptr;
  return hwndOf(L.h(), L.h()->wins[slot].parent - 1);
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
  Seg* s = current();
  if (!s) return 0;
  Locked L(s);
  uint32_t slot = resolve(L, hwnd);
  if (slot == kNone) return 0;
  if (processId) *processId = static_cast<DWORD>(L.h()->wins[slot].pid);
  return static_cast<DWORD>(L.h()->wins[slot].tid);
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
  Seg* s = current();
  if (!s) return nullptr;
  Locked L(s);
  reapDead(L, true);
  Header* h = L.h();
  uint32_t best = kNone;
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    const Win& w = h->wins[i];
    if (!w.used || w.parent || w.destroying) continue;
    if (className && !sameText(w.cls, className)) continue;
    if (windowName && !sameText(textOf(h, w), windowName)) continue;
    if (best == kNone || w.z > h->wins[best].z || (w.z == h->wins[best].z && w.order > h->wins[best].order)) best = i;
  }
  if (best == kNone) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return hwndOf(h, best);
}

BOOL ShowWindow(HWND hwnd, int cmdShow) {
  Seg* s = current();
  if (!s) return FALSE;
  bool was;
  bool now;
  bool tell;
  {
    Locked L(s);
    uint32_t slot = resolve(L, hwnd);
    if (slot == kNone) return FALSE;
    Header* h = L.h();
    Win& w = h->wins[slot];
    was = w.visible != 0;
    now = cmdShow != SW_HIDE && cmdShow != SW_MINIMIZE;
    const bool raise = now && !w.parent && cmdShow != SW_SHOWNA && cmdShow != SW_SHOWNOACTIVATE;
    const bool raised = raise && w.z != h->zCounter;
    if (raise && raised) w.z = ++h->zCounter;
    w.visible = now ? 1 : 0;
    if (now)
      w.style |= WS_VISIBLE;
    else
      w.style &= ~WS_VISIBLE;
    if (!w.parent) {
      if (was != now)
        journalWindow(L, slot, now ? "show" : "hide");
      else if (now && raised)
        journalWindow(L, slot, "change");
    } else if (was != now) {
      journalIfShown(L, slot);
    }
    tell = was != now && ownThread(L, slot);
  }
  if (tell) callProc(hwnd, WM_SHOWWINDOW, now ? TRUE : FALSE, 0);
  return was ? TRUE : FALSE;
}

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
  Seg* s = current();
  if (!s) return FALSE;
  bool moved = false;
  bool sized = false;
  bool own;
  int newW = 0;
  int newH = 0;
  int newX = 0;
  int newY = 0;
  {
    Locked L(s);
    uint32_t slot = resolve(L, hwnd);
    if (slot == kNone) return FALSE;
    Header* h = L.h();
    Win& w = h->wins[slot];
    bool changed = false;
    if (!(flags & SWP_NOMOVE) && (w.x != x || w.y != y)) {
      w.x = x;
      w.y = y;
      moved = changed = true;
    }
    if (!(flags & SWP_NOSIZE) && (w.w != std::max(cx, 0) || w.h != std::max(cy, 0))) {
      w.w = std::max(cx, 0);
      w.h = std::max(cy, 0);
      sized = changed = true;
    }
    if (!(flags & SWP_NOZORDER) && !w.parent) {
      if (insertAfter == HWND_TOPMOST) w.exStyle |= WS_EX_TOPMOST;
      if (insertAfter == HWND_NOTOPMOST) w.exStyle &= ~WS_EX_TOPMOST;
      if (insertAfter == HWND_BOTTOM) {
        if (w.z != 0) changed = true;
        w.z = 0;
      } else if (w.z != h->zCounter || insertAfter == HWND_TOPMOST || insertAfter == HWND_NOTOPMOST) {
        w.z = ++h->zCounter;
        changed = true;
      }
    }
    newX = w.x;
    newY = w.y;
    newW = w.w;
    newH = w.h;
    own = ownThread(L, slot);
    if (changed && !(flags & (SWP_SHOWWINDOW | SWP_HIDEWINDOW))) journalIfShown(L, slot);
  }
  if (flags & SWP_SHOWWINDOW) ShowWindow(hwnd, (flags & SWP_NOACTIVATE) ? SW_SHOWNA : SW_SHOW);
  if (flags & SWP_HIDEWINDOW) ShowWindow(hwnd, SW_HIDE);
  if (own && moved) callProc(hwnd, WM_MOVE, 0, MAKELPARAM(static_cast<WORD>(newX), static_cast<WORD>(newY)));
  if (own && sized)
    callProc(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(static_cast<WORD>(newW), static_cast<WORD>(newH)));
  return TRUE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
  return SetWindowPos(hwnd, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
  if (!rect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Seg* s = current();
  if (!s) return FALSE;
  Locked L(s);
  uint32_t slot = resolve(L, hwnd);
  if (slot == kNone) return FALSE;
  const Header* h = L.h();
  LONG x = h->wins[slot].x, y = h->wins[slot].y;
  const LONG w = h->wins[slot].w, ht = h->wins[slot].h;
  for (uint32_t p = h->wins[slot].parent, n = 0; p && n < kMaxWindows; p = h->wins[p - 1].parent, ++n) {
    x += h->wins[p - 1].x;
    y += h->wins[p - 1].y;
  }
  *rect = RECT{x, y, x + w, y + ht};
  return TRUE;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
  if (!rect) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Seg* s = current();
  if (!s) return FALSE;
  Locked L(s);
  uint32_t slot = resolve(L, hwnd);
  if (slot == kNone) return FALSE;
  *rect = RECT{0, 0, L.h()->wins[slot].w, L.h()->wins[slot].h};
  return TRUE;
}

BOOL SetForegroundWindow(HWND hwnd) { return SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); }

BOOL UpdateWindow(HWND hwnd) { return IsWindow(hwnd); }

BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL) { return hwnd ? IsWindow(hwnd) : TRUE; }

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text) {
  if (!IsWindow(hwnd)) return FALSE;
  return SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

int GetWindowTextW(HWND hwnd, LPWSTR buffer, int cap) {
  if (!buffer || cap <= 0) return 0;
  buffer[0] = 0;
  Seg* s = current();
  if (!s) return 0;
  {
    // Another process's window is read straight from the table, as the
    // handset does: a busy or hung owner cannot stall the caller.
    Locked L(s);
    uint32_t slot = resolve(L, hwnd);
    if (slot == kNone) return 0;
    if (!mine(L, slot)) {
      const Win& w = L.h()->wins[slot];
      size_t n = std::min<size_t>(w.textLen, static_cast<size_t>(cap) - 1);
      std::memcpy(buffer, textOf(L.h(), w), n * sizeof(char16_t));
      buffer[n] = 0;
      return static_cast<int>(n);
    }
  }
  return static_cast<int>(SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(cap), reinterpret_cast<LPARAM>(buffer)));
}

int GetWindowTextLengthW(HWND hwnd) {
  Seg* s = current();
  if (!s) return 0;
  Locked L(s);
  uint32_t slot = resolve(L, hwnd);
  return slot == kNone ? 0 : static_cast<int>(L.h()->wins[slot].textLen);
}

LONG_PTR GetWindowLongW(HWND hwnd, int index) {
  Seg* s = current();
  if (!s) return 0;
  bool local;
  {
    Locked L(s);
    uint32_t slot = resolve(L, hwnd);
    if (slot == kNone) return 0;
    const Win& w = L.h()->wins[slot];
    if (index == GWL_ID) return w.ctrlId;
    if (index == GWL_STYLE) return static_cast<LONG_PTR>(w.style | (w.visible ? WS_VISIBLE : 0));
    if (index == GWL_EXSTYLE) return static_cast<LONG_PTR>(w.exStyle);
    local = mine(L, slot);
  }
  if (!local) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  auto lw = localGet(s, hwndValue(hwnd));
  if (!lw) return 0;
  switch (index) {
    case GWL_WNDPROC:
      return reinterpret_cast<LONG_PTR>(lw->proc);
    case GWL_USERDATA:
      return lw->userData;
    case DWL_MSGRESULT:
      return lw->msgResult;
    case DWL_DLGPROC:
      return reinterpret_cast<LONG_PTR>(lw->dlgProc);
    case DWL_USER:
      return lw->dlgUser;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
}

LONG_PTR SetWindowLongW(HWND hwnd, int index, LONG_PTR value) {
  Seg* s = current();
  if (!s) return 0;
  {
    Locked L(s);
    uint32_t slot = resolve(L, hwnd);
    if (slot == kNone) return 0;
    Win& w = L.h()->wins[slot];
    if (index == GWL_ID || index == GWL_STYLE || index == GWL_EXSTYLE) {
      LONG_PTR old;
      if (index == GWL_ID) {
        old = w.ctrlId;
        w.ctrlId = static_cast<int32_t>(value);
      } else if (index == GWL_STYLE) {
        old = static_cast<LONG_PTR>(w.style);
        w.style = static_cast<uint32_t>(value) & ~WS_VISIBLE;
      } else {
        old = static_cast<LONG_PTR>(w.exStyle);
        w.exStyle = static_cast<uint32_t>(value);
      }
      return old;
    }
    if (!mine(L, slot)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
  }
  LONG_PTR old = 0;
  bool known = true;
  bool found = localUpdate(s, hwndValue(hwnd), [&](LocalWin& lw) {
    switch (index) {
      case GWL_WNDPROC:
        old = reinterpret_cast<LONG_PTR>(lw.proc);
        if (value) lw.proc = reinterpret_cast<WNDPROC>(value);
        break;
      case GWL_USERDATA:
        old = lw.userData;
        lw.userData = value;
        break;
      case DWL_MSGRESULT:
        old = lw.msgResult;
        lw.msgResult = value;
        break;
      case DWL_DLGPROC:
        old = reinterpret_cast<LONG_PTR>(lw.dlgProc);
        lw.dlgProc = reinterpret_cast<DLGPROC>(value);
        break;
      case DWL_USER:
        old = lw.dlgUser;
        lw.dlgUser = value;
        break;
      default:
        known = false;
    }
  });
  if (!found || !known) {
    SetLastError(found ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);
  return old;
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Seg* s = current();
  if (!s) return 0;
  switch (msg) {
    case WM_SETTEXT: {
      Locked L(s);
      uint32_t slot = resolve(L, hwnd);
      if (slot == kNone) return FALSE;
      Win& w = L.h()->wins[slot];
      const auto* text = reinterpret_cast<const char16_t*>(lParam);
      const size_t n = text ? std::min<size_t>(wcslen16(text), kTextMax - 1) : 0;
      const bool same = n == w.textLen && std::memcmp(textOf(L.h(), w), text ? text : u"", n * sizeof(char16_t)) == 0;
      setText(L.h(), w, text);
      if (!same && (w.visible || !w.parent)) journalIfShown(L, slot);
      return TRUE;
    }
    case WM_GETTEXT: {
      auto* out = reinterpret_cast<char16_t*>(lParam);
      if (!out || wParam == 0) return 0;
      Locked L(s);
      uint32_t slot = resolve(L, hwnd);
      if (slot == kNone) {
        out[0] = 0;
        return 0;
      }
      const Win& w = L.h()->wins[slot];
      size_t n = std::min<size_t>(w.textLen, wParam - 1);
      std::memcpy(out, textOf(L.h(), w), n * sizeof(char16_t));
      out[n] = 0;
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return GetWindowTextLengthW(hwnd);
    case WM_CLOSE:
      DestroyWindow(hwnd);
      return 0;
    case WM_SETFONT: {
      LONG weight = 0, height = 0;
      auto font = reinterpret_cast<HFONT>(wParam);
      if (font && !fontMetrics(font, weight, height)) return 0;
      localUpdate(s, hwndValue(hwnd), [&](LocalWin& lw) { lw.font = font; });
      Locked L(s);
      uint32_t slot = resolve(L, hwnd);
      if (slot == kNone) return 0;
      Win& w = L.h()->wins[slot];
      if (w.fontWeight == weight && w.fontHeight == height) return 0;
      w.fontWeight = weight;
      w.fontHeight = height;
      if (w.visible || !w.parent) journalIfShown(L, slot);
      return 0;
    }
    case WM_GETFONT: {
      auto lw = localGet(s, hwndValue(hwnd));
      return lw ? reinterpret_cast<LRESULT>(lw->font) : 0;
    }
    default:
      return 0;
  }
}

}  // namespace ce
