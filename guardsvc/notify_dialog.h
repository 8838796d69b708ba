// The infection notification: template 105 with the file, the threat and the
// action taken. The scan worker hands each notice over and posts the dialog
// message 1124; the user-interface thread, which owns the dialog, puts the
// texts into fields 1009, 1010 and 1011, lays the dialog out for the screen
// and shows it. "Ok" and WM_CLOSE hide it; WM_HELP opens the help page.
#pragma once

#include <deque>
#include <mutex>
#include <string>

#include "ce/gdi.h"
#include "ce/ui.h"

namespace guard {

struct Notice {
  std::u16string file;    // the display path
  std::u16string threat;
  std::u16string action;  // the result text
};

class NotifyDialog {
 public:
  // On the user-interface thread.
  bool create(ce::HINSTANCE module);
  void destroy();
  ce::HWND hwnd() const;

  // From the scan worker: queues the notice and posts 1124. False when the
  // dialog is gone (the notice is dropped).
  bool post(Notice notice);
  // Whether the dialog is shown (set when a notice is posted, cleared by Ok).
  bool shown() const;

  static ce::INT_PTR proc(ce::HWND hwnd, ce::UINT msg, ce::WPARAM wParam, ce::LPARAM lParam);

 private:
  void showPending();
  void layout();
  void hide();
  void help();

  mutable std::mutex mu_;
  std::deque<Notice> notices_;
  ce::HWND hwnd_ = nullptr;
  bool shown_ = false;
  ce::HFONT bold_ = nullptr;
};

// The notification dialog's layout at a screen of cx x cy pixels and the
// given DPI: the dialog's rectangle and its Ok button's (relative to the
// dialog), for tests and for the dialog itself.
struct NotifyLayout {
  ce::RECT dialog;
  ce::RECT ok;
  ce::RECT labels[3];
  ce::RECT values[3];
  int fontHeight;
};
NotifyLayout notifyLayout(int cx, int cy, int dpiX, int dpiY);

}  // namespace guard
