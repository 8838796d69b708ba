// The handset's user interface without pixels: windows with device-wide
// handles, window and dialog procedures, per-thread message queues that work
// within a process and across the processes of a device, dialogs made from
// templates a module exports as data, and message boxes.
//
// What would be drawn is written to the device's screen journal instead
// (see ce/screen.h): every dialog shown or hidden, every change of a shown
// dialog's texts or layout, every message box. Message boxes are answered
// at once.
//
// Handles. A window handle names one window on the whole device; any process
// may post to it, send to it, read its texts and place it. A window lives
// until it is destroyed, its thread ends or its process ends (even killed
// outright); afterwards its handle is refused with ERROR_INVALID_WINDOW_HANDLE
// everywhere.
//
// Messages between processes carry their two parameters as plain numbers:
// a pointer in them means nothing on the other side. The texts of WM_SETTEXT
// and WM_GETTEXT are carried across by SendMessageW; posting either fails with
// ERROR_MESSAGE_SYNC_ONLY.
#pragma once

#include <cstdint>

#include "ce/windows.h"

namespace ce {

struct HWND__;
using HWND = HWND__*;
struct HDC__;
using HDC = HDC__*;
struct HFONT__;
using HFONT = HFONT__*;
using HGDIOBJ = void*;
using HICON = void*;
using HCURSOR = void*;
using HBRUSH = void*;
using HMENU = void*;

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using INT_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SHORT = int16_t;
using ATOM = WORD;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using DLGPROC = INT_PTR (*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
  LONG x;
  LONG y;
};
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPRECT = RECT*;

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

struct WNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
};

// What WM_CREATE's lParam points to.
struct CREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
};

constexpr WORD LOWORD(uintptr_t v) { return static_cast<WORD>(v & 0xFFFF); }
constexpr WORD HIWORD(uintptr_t v) { return static_cast<WORD>((v >> 16) & 0xFFFF); }
constexpr WPARAM MAKEWPARAM(WORD lo, WORD hi) { return static_cast<WPARAM>(static_cast<DWORD>(lo) | (static_cast<DWORD>(hi) << 16)); }
constexpr LPARAM MAKELPARAM(WORD lo, WORD hi) { return static_cast<LPARAM>(static_cast<DWORD>(lo) | (static_cast<DWORD>(hi) << 16)); }
inline LPCWSTR MAKEINTRESOURCEW(WORD id) { return reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(id)); }
inline bool IS_INTRESOURCE(LPCWSTR p) { return (reinterpret_cast<uintptr_t>(p) >> 16) == 0; }

// ---- Last-error codes of the window manager -----------------------------------
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_NO_WINDOWS_LEFT = 1158;  // the device's window table is full
constexpr DWORD ERROR_MESSAGE_SYNC_ONLY = 1159;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;  // a thread's message queue is full
constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;  // the module exports no dialog templates
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;  // it has none with that id
constexpr DWORD ERROR_WINDOW_OF_OTHER_THREAD = 1408;
constexpr DWORD ERROR_INVALID_MESSAGE = 1002;
constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;

// ---- Messages --------------------------------------------------------------------
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_MOVE = 0x0003;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_ACTIVATE = 0x0006;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_SETTINGCHANGE = 0x001A;
constexpr UINT WM_SETFONT = 0x0030;
constexpr UINT WM_GETFONT = 0x0031;
constexpr UINT WM_WINDOWPOSCHANGED = 0x0047;
constexpr UINT WM_HELP = 0x0053;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

constexpr UINT BM_CLICK = 0x00F5;
constexpr UINT BN_CLICKED = 0;

// wParam of the WM_SETTINGCHANGE the device broadcasts when the screen is
// rotated or its resolution changes.
constexpr WPARAM SETTINGCHANGE_RESET = 0x3002;

constexpr WPARAM SIZE_RESTORED = 0;
constexpr WPARAM VK_TAB = 0x09;
constexpr WPARAM VK_RETURN = 0x0D;
constexpr WPARAM VK_ESCAPE = 0x1B;

// ---- Styles ------------------------------------------------------------------------
constexpr DWORD WS_OVERLAPPED = 0x00000000u;
constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_CHILD = 0x40000000u;
constexpr DWORD WS_VISIBLE = 0x10000000u;
constexpr DWORD WS_DISABLED = 0x08000000u;
constexpr DWORD WS_CAPTION = 0x00C00000u;
constexpr DWORD WS_BORDER = 0x00800000u;
constexpr DWORD WS_SYSMENU = 0x00080000u;
constexpr DWORD WS_TABSTOP = 0x00010000u;
constexpr DWORD WS_GROUP = 0x00020000u;
constexpr DWORD WS_EX_TOPMOST = 0x00000008u;
constexpr DWORD WS_EX_CONTEXTHELP = 0x00000400u;
constexpr DWORD DS_MODALFRAME = 0x80u;
constexpr DWORD DS_SETFOREGROUND = 0x200u;
constexpr DWORD SS_LEFT = 0x0u;
constexpr DWORD SS_CENTER = 0x1u;
constexpr DWORD SS_RIGHT = 0x2u;
constexpr DWORD ES_LEFT = 0x0u;
constexpr DWORD ES_MULTILINE = 0x4u;
constexpr DWORD ES_READONLY = 0x800u;
constexpr DWORD BS_PUSHBUTTON = 0x0u;
constexpr DWORD BS_DEFPUSHBUTTON = 0x1u;

constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

// ---- Window placement ---------------------------------------------------------------
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWNA = 8;
constexpr int SW_RESTORE = 9;

inline HWND const HWND_TOP = nullptr;
inline HWND const HWND_BOTTOM = reinterpret_cast<HWND>(1);
inline HWND const HWND_TOPMOST = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
inline HWND const HWND_NOTOPMOST = reinterpret_cast<HWND>(static_cast<intptr_t>(-2));
// PostMessageW to every top-level window of the device.
inline HWND const HWND_BROADCAST = reinterpret_cast<HWND>(static_cast<uintptr_t>(0xFFFF));

constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;

// ---- Window values -------------------------------------------------------------------
constexpr int GWL_WNDPROC = -4;
constexpr int GWL_ID = -12;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr int GWL_USERDATA = -21;
constexpr int DWL_MSGRESULT = 0;
constexpr int DWL_DLGPROC = 4;
constexpr int DWL_USER = 8;

// ---- Peeking and sending -------------------------------------------------------------
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT SMTO_NORMAL = 0x0000;
constexpr UINT SMTO_BLOCK = 0x0001;
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;

// ---- Dialog commands and message boxes ------------------------------------------------
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;
constexpr int IDC_STATIC = -1;

constexpr UINT MB_OK = 0x0u;
constexpr UINT MB_OKCANCEL = 0x1u;
constexpr UINT MB_ABORTRETRYIGNORE = 0x2u;
constexpr UINT MB_YESNOCANCEL = 0x3u;
constexpr UINT MB_YESNO = 0x4u;
constexpr UINT MB_RETRYCANCEL = 0x5u;
constexpr UINT MB_ICONHAND = 0x10u;
constexpr UINT MB_ICONQUESTION = 0x20u;
constexpr UINT MB_ICONEXCLAMATION = 0x30u;
constexpr UINT MB_ICONASTERISK = 0x40u;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_DEFBUTTON2 = 0x100u;
constexpr UINT MB_DEFBUTTON3 = 0x200u;
constexpr UINT MB_APPLMODAL = 0x0u;
constexpr UINT MB_SETFOREGROUND = 0x10000u;
constexpr UINT MB_TOPMOST = 0x40000u;

// ---- Window classes and windows --------------------------------------------------------
// Classes belong to the process that registers them. The built-in classes
// "STATIC", "EDIT", "BUTTON" and "Dialog" are always there.
ATOM RegisterClassW(const WNDCLASSW* wc);
BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);

// The window belongs to the calling thread (whose message queue it uses). A
// parent may be of another thread of this process. x/y/w/h of CW_USEDEFAULT
// give the full screen. WM_CREATE is sent before it returns; -1 from it
// destroys the window again (nullptr, ERROR_GEN_FAILURE). A full window table
// gives ERROR_NO_WINDOWS_LEFT.
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menuOrId, HINSTANCE instance, LPVOID param);
inline HWND CreateWindowW(LPCWSTR className, LPCWSTR windowName, DWORD style, int x, int y, int width, int height,
                          HWND parent, HMENU menuOrId, HINSTANCE instance, LPVOID param) {
  return CreateWindowExW(0, className, windowName, style, x, y, width, height, parent, menuOrId, instance, param);
}
// Only the thread that owns the window may destroy it (ERROR_ACCESS_DENIED
// otherwise). Its children go with it; each gets WM_DESTROY.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
BOOL IsWindowVisible(HWND hwnd);
BOOL IsChild(HWND parent, HWND hwnd);
HWND GetParent(HWND hwnd);
// 0 for a handle that names no window.
DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId);
// The first top-level window of the device with that class and/or caption
// (null matches any), topmost first.
HWND FindWindowW(LPCWSTR className, LPCWSTR windowName);

// Any thread of any process may show, hide and place a window. The owner's
// procedure hears of it (WM_SHOWWINDOW, WM_MOVE, WM_SIZE) when it is the
// calling thread; other callers only change what the device shows.
BOOL ShowWindow(HWND hwnd, int cmdShow);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
BOOL GetWindowRect(HWND hwnd, LPRECT rect);
BOOL GetClientRect(HWND hwnd, LPRECT rect);
BOOL SetForegroundWindow(HWND hwnd);
BOOL UpdateWindow(HWND hwnd);
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);

// Texts go through WM_SETTEXT / WM_GETTEXT (sent to the window's thread). A
// window keeps up to 1023 characters of its text; the rest is cut off.
BOOL SetWindowTextW(HWND hwnd, LPCWSTR text);
int GetWindowTextW(HWND hwnd, LPWSTR buffer, int cap);
int GetWindowTextLengthW(HWND hwnd);

// Values of this process's windows (GWL_WNDPROC and GWL_USERDATA, and for
// dialogs DWL_*); GWL_ID, GWL_STYLE, GWL_EXSTYLE of any window.
LONG_PTR GetWindowLongW(HWND hwnd, int index);
LONG_PTR SetWindowLongW(HWND hwnd, int index, LONG_PTR value);

LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// ---- Message queues ----------------------------------------------------------------------
// A thread gets its message queue at its first window or message call. It
// holds up to 4096 posted messages; posting to a full queue fails with
// ERROR_NOT_ENOUGH_QUOTA.
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// Waits for the window's thread to handle it. While it waits, messages sent
// to the calling thread are handled, so two threads sending to each other
// never deadlock. A window whose thread or process ends meanwhile answers 0
// with ERROR_INVALID_WINDOW_HANDLE.
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The same with a time-out on the device clock: 0 with ERROR_TIMEOUT when no
// answer came in time (the message may still be handled later).
LRESULT SendMessageTimeoutW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, UINT timeoutMs,
                            UINT_PTR* result);
// Handles the messages sent to the calling thread first, then takes the
// oldest posted message that matches. hwnd null: any (and thread messages);
// a window: it and its children. min = max = 0: every message. FALSE for
// WM_QUIT, -1 with ERROR_INVALID_WINDOW_HANDLE for a bad filter window.
BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax);
BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT msgFilterMin, UINT msgFilterMax, UINT removeMsg);
// Calls the procedure of a window of the calling thread; 0 for a thread
// message or a window of another thread.
LRESULT DispatchMessageW(const MSG* msg);
// No keyboard translation is needed on the device: returns whether the
// message was a key-down.
BOOL TranslateMessage(const MSG* msg);
// The calling thread's queue: messages posted and not yet taken.
DWORD GetQueueStatus(UINT flags);

// ---- Dialog templates ---------------------------------------------------------------------
// Our modules carry no resource section: a module exports its dialog templates
// as data, through the function CeDialogTemplates (kCeDialogTemplatesExport),
// the way the string library exports its string table. Coordinates are
// pixels of a 96 DPI screen; dialogs made on a 192 DPI screen are scaled.
constexpr WORD CE_CLASS_BUTTON = 0x0080;
constexpr WORD CE_CLASS_EDIT = 0x0081;
constexpr WORD CE_CLASS_STATIC = 0x0082;
// Item flags: the label's text is drawn in a bold font (weight 700).
constexpr DWORD CE_DLGITEM_BOLD = 0x1;

struct CeDialogItem {
  WORD classAtom;  // CE_CLASS_*
  WORD id;         // 0xFFFF for a label nobody addresses (IDC_STATIC)
  DWORD style;     // WS_* and the class's styles; WS_VISIBLE shows the control
  DWORD flags;     // CE_DLGITEM_*
  SHORT x, y, cx, cy;
  LPCWSTR text;
};

struct CeDialogTemplate {
  WORD id;
  DWORD style;  // WS_VISIBLE: shown once WM_INITDIALOG has been handled
  DWORD exStyle;
  SHORT x, y, cx, cy;
  LPCWSTR caption;
  const CeDialogItem* items;
  WORD itemCount;
};

using CeDialogTemplatesFn = const CeDialogTemplate* (*)(DWORD* count);
inline constexpr const char* kCeDialogTemplatesExport = "CeDialogTemplates";
// Most controls a template may have.
constexpr WORD kCeDialogMaxItems = 255;

// ---- Dialogs ------------------------------------------------------------------------------
// instance: the module holding the templates (nullptr: the program). The
// template is an integer id (MAKEINTRESOURCEW). Errors: ERROR_MOD_NOT_FOUND
// for a handle that names no module, ERROR_RESOURCE_DATA_NOT_FOUND when the
// module exports no templates, ERROR_RESOURCE_NAME_NOT_FOUND when it lacks
// the id, ERROR_INVALID_DATA for a template that cannot be right.
HWND CreateDialogParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam);
inline HWND CreateDialogW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC proc) {
  return CreateDialogParamW(instance, templateName, parent, proc, 0);
}
HWND CreateDialogIndirectParamW(HINSTANCE instance, const CeDialogTemplate* tmpl, HWND parent, DLGPROC proc,
                                LPARAM initParam);
// Modal: shows the dialog and runs its message loop until EndDialog; -1 when
// it cannot be made. A WM_QUIT met on the way ends it and is posted again.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND parent, DLGPROC proc, LPARAM initParam);
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, const CeDialogTemplate* tmpl, HWND parent, DLGPROC proc,
                                LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);
// Takes a message meant for the dialog or one of its controls: Enter and
// Escape become IDOK and IDCANCEL, everything else is dispatched.
BOOL IsDialogMessageW(HWND dialog, LPMSG msg);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND hwnd);
BOOL SetDlgItemTextW(HWND dialog, int id, LPCWSTR text);
UINT GetDlgItemTextW(HWND dialog, int id, LPWSTR buffer, int cap);
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT DefDlgProcW(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam);

// ---- Message boxes ------------------------------------------------------------------------
// Written to the screen journal and answered at once with the box's default
// button (IDOK for the OK boxes the system shows). An owner that is not a
// window: 0 with ERROR_INVALID_WINDOW_HANDLE.
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

}  // namespace ce
