// The device's screen for tools and tests: its orientation and resolution,
// the windows it shows now, and the screen journal that records what it
// showed ("<root>/.ce/screen.log", one JSON object a line; the format is in
// docs/ce-layer.md).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ce/ui.h"

namespace ce::screen {

enum class Orientation { Portrait, Landscape };

struct Metrics {
  int width;   // pixels
  int height;
  int dpi;     // 96 or 192
  Orientation orientation;
};

Metrics Current();

// Turns the screen (and keeps the setting for the device); every top-level
// window of the device is then posted WM_SETTINGCHANGE (SETTINGCHANGE_RESET),
// so its procedure reads the new metrics. Written to the journal.
BOOL SetOrientation(Orientation o);
// 96 or 192, else ERROR_INVALID_PARAMETER; broadcast like a rotation.
BOOL SetDpi(int dpi);

struct Control {
  HWND hwnd;
  int id;              // IDC_STATIC (-1) for 0xFFFF
  const char* kind;    // "label", "edit", "button" or "window"
  std::u16string text;
  RECT rect;           // relative to the dialog
  bool visible;
  LONG weight;         // font weight; 0 when none was set
  LONG height;         // font height; 0 when none was set
};

struct Window {
  HWND hwnd;
  DWORD pid;
  DWORD tid;
  std::u16string process;  // the owner's program path
  bool dialog;
  UINT templateId;         // 0 when not made from a template
  std::u16string caption;
  RECT rect;               // screen coordinates
  bool visible;
  bool topmost;
  uint32_t z;              // higher is nearer the top
  std::vector<Control> controls;
};

// The live top-level windows of the device, the topmost first; windows of
// processes that have ended are dropped (and their handles freed).
std::vector<Window> TopLevelWindows(bool visibleOnly = true);

// ---- The journal -------------------------------------------------------------
std::string JournalPath();

// Appends one JSON object (without its line end) as one line, never
// interleaved with another process's line. Used by programs that show
// something outside the window manager (the help viewer).
BOOL AppendJournal(const std::string& jsonObject);

// The journal's complete, well-formed lines from byte offset `from` on. A line
// that is not a JSON object, or a last line still being written, is skipped
// (counted in *skipped); *next is where to read on (at the start of a
// partial last line, so that it is read again once complete).
std::vector<std::string> ReadJournal(uint64_t from, uint64_t* next, uint64_t* skipped);

// The JSON text of a device's local time: "2026-12-10T08:30:00.250".
std::string JournalTime();

}  // namespace ce::screen

namespace ce::diag {
// Takes the device-wide window lock and returns without releasing it, so
// that tests can kill a process that holds it.
void LockWindowsAndKeep();
}  // namespace ce::diag
