// Screen metrics, device contexts and fonts: what the system asks to lay its
// dialogs out for the screen it runs on. Nothing is drawn; a font chosen for
// a control is kept with the control and written to the screen journal.
#pragma once

#include "ce/ui.h"

namespace ce {

// ---- Screen metrics ----------------------------------------------------------
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;
constexpr int SM_CXVSCROLL = 2;
constexpr int SM_CYHSCROLL = 3;
constexpr int SM_CYCAPTION = 4;
constexpr int SM_CXBORDER = 5;
constexpr int SM_CYBORDER = 6;
constexpr int SM_CXDLGFRAME = 7;
constexpr int SM_CYDLGFRAME = 8;
constexpr int SM_CXICON = 11;
constexpr int SM_CYICON = 12;
constexpr int SM_CYMENU = 15;
constexpr int SM_CXFULLSCREEN = 16;
constexpr int SM_CYFULLSCREEN = 17;

// The screen as it is now (240 x 320 portrait at 96 DPI unless the device
// was rotated or set to 192 DPI, which doubles both sides). Unknown indexes
// give 0.
int GetSystemMetrics(int index);

// ---- Device contexts -----------------------------------------------------------
constexpr int HORZRES = 8;
constexpr int VERTRES = 10;
constexpr int BITSPIXEL = 12;
constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;

// A context for a window (nullptr: the screen); ReleaseDC gives it back.
// nullptr with ERROR_INVALID_WINDOW_HANDLE for a bad window.
HDC GetDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC dc);
// 0 with ERROR_INVALID_HANDLE for a context that is not one.
int GetDeviceCaps(HDC dc, int index);

// ---- Fonts ------------------------------------------------------------------------
constexpr LONG FW_DONTCARE = 0;
constexpr LONG FW_NORMAL = 400;
constexpr LONG FW_SEMIBOLD = 600;
constexpr LONG FW_BOLD = 700;
constexpr int LF_FACESIZE = 32;

struct LOGFONTW {
  LONG lfHeight;
  LONG lfWidth;
  LONG lfEscapement;
  LONG lfOrientation;
  LONG lfWeight;
  BYTE lfItalic;
  BYTE lfUnderline;
  BYTE lfStrikeOut;
  BYTE lfCharSet;
  BYTE lfOutPrecision;
  BYTE lfClipPrecision;
  BYTE lfQuality;
  BYTE lfPitchAndFamily;
  WCHAR lfFaceName[LF_FACESIZE];
};
static_assert(sizeof(LOGFONTW) == 92);

// A font of this process. A control given one with WM_SETFONT is drawn in its
// weight and height (the screen journal records them).
HFONT CreateFontIndirectW(const LOGFONTW* lf);
// The object this context had selected before; nullptr with
// ERROR_INVALID_HANDLE for a bad context or object.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
BOOL DeleteObject(HGDIOBJ object);
// Copies a font's LOGFONTW; returns the bytes written (0 for a bad object).
int GetObjectW(HGDIOBJ object, int size, LPVOID buffer);

constexpr int SYSTEM_FONT = 13;
// The system font (the one controls use until given another).
HGDIOBJ GetStockObject(int index);

}  // namespace ce
