// Window commands of the helper process: a dialog of another process that
// tests post to, send to, press and rotate under, one that never reads its
// queue, and message boxes from several processes at once.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ce/ce.h"
#include "ce/screen.h"
#include "helper_commands.h"

namespace {

using namespace ce;

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string hex(HWND h) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)));
  return b;
}

constexpr UINT kDouble = WM_USER + 1;  // answers wParam * 2

INT_PTR helperDialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      if (lParam) say("init " + std::to_string(lParam));
      return TRUE;
    case WM_COMMAND:
      say("command " + std::to_string(LOWORD(wParam)));
      if (LOWORD(wParam) == 1003) ShowWindow(dlg, SW_HIDE);
      return TRUE;
    case WM_SETTINGCHANGE: {
      HDC dc = GetDC(dlg);
      const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
      ReleaseDC(dlg, dc);
      say("settingchange " + std::to_string(wParam) + " " + std::to_string(GetSystemMetrics(SM_CXSCREEN)) + " " +
          std::to_string(GetSystemMetrics(SM_CYSCREEN)) + " " + std::to_string(dpi));
      return TRUE;
    }
    case kDouble:
      say("user " + std::to_string(wParam));
      SetWindowLongW(dlg, DWL_MSGRESULT, static_cast<LONG_PTR>(wParam * 2));
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(dlg);
      PostQuitMessage(7);
      return TRUE;
    default:
      return FALSE;
  }
}

const CeDialogItem kItems[] = {
    {CE_CLASS_STATIC, 0xFFFF, WS_VISIBLE, CE_DLGITEM_BOLD, 4, 8, 80, 14, u"File Name:"},
    {CE_CLASS_EDIT, 1009, WS_VISIBLE | ES_READONLY, 0, 88, 8, 148, 14, u""},
    {CE_CLASS_BUTTON, 1003, WS_VISIBLE | WS_TABSTOP, 0, 90, 40, 60, 20, u"Ok"},
};

}  // namespace

// ui_dialog CAPTION TEXT: a dialog with TEXT in field 1009, shown; says
// "ready HWND", then runs its message loop, reporting what its procedure
// gets ("command ID", "settingchange WPARAM CX CY DPI", "user N"), and "quit
// CODE" when WM_CLOSE ends it.
HELPER_COMMAND(ui_dialog) {
  if (argc < 2) return 2;
  std::u16string caption = utf8ToUtf16(argv[0]);
  CeDialogTemplate t{0, WS_POPUP | WS_VISIBLE, 0, 0, 26, 240, 80, caption.c_str(), kItems, 3};
  HWND dlg = CreateDialogIndirectParamW(nullptr, &t, nullptr, &helperDialogProc, 42);
  if (!dlg) {
    say("error " + std::to_string(GetLastError()));
    return 3;
  }
  SetDlgItemTextW(dlg, 1009, utf8ToUtf16(argv[1]).c_str());
  say("ready " + hex(dlg));
  MSG m;
  BOOL r;
  while ((r = GetMessageW(&m, nullptr, 0, 0)) > 0) {
    if (!IsDialogMessageW(dlg, &m)) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  say("quit " + std::to_string(r == 0 ? static_cast<long>(m.wParam) : -1L));
  return 0;
}

// ui_block: a shown dialog whose thread never looks at its queue; says
// "ready HWND" and waits for stdin to close.
HELPER_COMMAND(ui_block) {
  CeDialogTemplate t{0, WS_POPUP | WS_VISIBLE, 0, 0, 26, 240, 80, u"Blocked", kItems, 3};
  HWND w = CreateDialogIndirectParamW(nullptr, &t, nullptr, &helperDialogProc, 0);
  if (!w) return 3;
  say("ready " + hex(w));
  char buf[16];
  while (std::fgets(buf, sizeof buf, stdin)) {
  }
  return 0;
}

// ui_lock_hold: a shown dialog, then the device's window lock taken and kept;
// says "locked" and waits to be killed.
HELPER_COMMAND(ui_lock_hold) {
  CeDialogTemplate t{0, WS_POPUP | WS_VISIBLE, 0, 0, 26, 240, 80, u"Holder", kItems, 3};
  if (!CreateDialogIndirectParamW(nullptr, &t, nullptr, &helperDialogProc, 0)) return 3;
  diag::LockWindowsAndKeep();
  say("locked");
  char buf[16];
  while (std::fgets(buf, sizeof buf, stdin)) {
  }
  return 0;
}

// ui_msgbox N TEXT: N message boxes with TEXT and the box number; prints the
// answers' sum.
HELPER_COMMAND(ui_msgbox) {
  if (argc < 2) return 2;
  long n = std::strtol(argv[0], nullptr, 10);
  long sum = 0;
  for (long i = 0; i < n; ++i) {
    std::u16string text = utf8ToUtf16(std::string(argv[1]) + " " + std::to_string(i));
    sum += MessageBoxW(nullptr, text.c_str(), u"Nyxel", MB_OK | MB_TOPMOST);
  }
  say("answers " + std::to_string(sum));
  return 0;
}
