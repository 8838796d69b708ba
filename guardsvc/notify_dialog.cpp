#include "guardsvc/notify_dialog.h"

#include "ce/base.h"
#include "ce/process.h"
#include "ce/text.h"
#include "guardsvc/guard_ids.h"

namespace guard {

using namespace ce;

namespace {

RECT scaled(const RECT& r, int dpiX, int dpiY) {
  return RECT{r.left * dpiX / 96, r.top * dpiY / 96, r.right * dpiX / 96, r.bottom * dpiY / 96};
}

const int kLabelIds[3] = {kIdFileLabel, kIdVirusLabel, kIdActionLabel};
const int kValueIds[3] = {kIdFileName, kIdVirusName, kIdActionTaken};

}  // namespace

NotifyLayout notifyLayout(int cx, int cy, int dpiX, int dpiY) {
  if (dpiX <= 0) dpiX = 96;
  if (dpiY <= 0) dpiY = 96;
  NotifyLayout l{};
  // Placements on a 96 DPI screen: portrait 240 x 320, landscape 320 x 240;
  // the file name and the action may take two lines.
  if (cx > cy) {
    l.dialog = {24, 30, 296, 180};
    l.labels[0] = {6, 8, 90, 24};
    l.values[0] = {92, 8, 266, 36};
    l.labels[1] = {6, 40, 90, 56};
    l.values[1] = {92, 40, 266, 60};
    l.labels[2] = {6, 64, 90, 80};
    l.values[2] = {92, 64, 266, 92};
    l.ok = {200, 116, 264, 140};
  } else {
    l.dialog = {8, 60, 232, 228};
    l.labels[0] = {6, 8, 84, 24};
    l.values[0] = {86, 8, 218, 44};
    l.labels[1] = {6, 48, 84, 64};
    l.values[1] = {86, 48, 218, 68};
    l.labels[2] = {6, 72, 84, 88};
    l.values[2] = {86, 72, 218, 108};
    l.ok = {80, 136, 144, 160};
  }
  l.dialog = scaled(l.dialog, dpiX, dpiY);
  l.ok = scaled(l.ok, dpiX, dpiY);
  for (int i = 0; i < 3; ++i) {
    l.labels[i] = scaled(l.labels[i], dpiX, dpiY);
    l.values[i] = scaled(l.values[i], dpiX, dpiY);
  }
  l.fontHeight = 13 * dpiY / 96;
  return l;
}

bool NotifyDialog::create(HINSTANCE module) {
  HWND h = CreateDialogParamW(module, MAKEINTRESOURCEW(kTemplateNotify), nullptr, &NotifyDialog::proc,
                              reinterpret_cast<LPARAM>(this));
  std::lock_guard<std::mutex> lock(mu_);
  hwnd_ = h;
  shown_ = false;
  return h != nullptr;
}

void NotifyDialog::destroy() {
  HWND h;
  {
    std::lock_guard<std::mutex> lock(mu_);
    h = hwnd_;
    hwnd_ = nullptr;
    shown_ = false;
    notices_.clear();
  }
  if (h) DestroyWindow(h);
  if (bold_) DeleteObject(bold_);
  bold_ = nullptr;
}

HWND NotifyDialog::hwnd() const {
  std::lock_guard<std::mutex> lock(mu_);
  return hwnd_;
}

bool NotifyDialog::shown() const {
  std::lock_guard<std::mutex> lock(mu_);
  return shown_;
}

bool NotifyDialog::post(Notice notice) {
  HWND h;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!hwnd_) return false;
    h = hwnd_;
    notices_.push_back(std::move(notice));
    shown_ = true;
  }
  if (PostMessageW(h, kMsgShowNotification, 0, 0)) return true;
  std::lock_guard<std::mutex> lock(mu_);
  if (!notices_.empty()) notices_.pop_back();
  return false;
}

void NotifyDialog::showPending() {
  // Each notice in turn, so the screen tells every one of them; the last
  // stays up until the user answers.
  for (;;) {
    Notice n;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (notices_.empty()) break;
      n = std::move(notices_.front());
      notices_.pop_front();
      shown_ = true;
    }
    SetDlgItemTextW(hwnd_, kIdFileName, n.file.c_str());
    SetDlgItemTextW(hwnd_, kIdVirusName, n.threat.c_str());
    SetDlgItemTextW(hwnd_, kIdActionTaken, n.action.c_str());
    layout();
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
  }
}

void NotifyDialog::layout() {
  HDC dc = GetDC(nullptr);
  int dpiX = dc ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
  int dpiY = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ReleaseDC(nullptr, dc);
  NotifyLayout l = notifyLayout(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), dpiX, dpiY);
  auto place = [](HWND w, const RECT& r) { MoveWindow(w, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE); };
  place(hwnd_, l.dialog);
  place(GetDlgItem(hwnd_, kIdOk), l.ok);
  for (int i = 0; i < 3; ++i) {
    place(GetDlgItem(hwnd_, kLabelIds[i]), l.labels[i]);
    place(GetDlgItem(hwnd_, kValueIds[i]), l.values[i]);
  }
  LOGFONTW lf{};
  lf.lfHeight = l.fontHeight;
  lf.lfWeight = FW_BOLD;
  HFONT font = CreateFontIndirectW(&lf);
  if (!font) return;
  for (int id : kLabelIds) SendDlgItemMessageW(hwnd_, id, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (bold_) DeleteObject(bold_);
  bold_ = font;
}

void NotifyDialog::hide() {
  ShowWindow(hwnd_, SW_HIDE);
  std::lock_guard<std::mutex> lock(mu_);
  shown_ = false;
}

void NotifyDialog::help() {
  WCHAR page[MAX_PATH];
  if (format16(page, MAX_PATH, u"%s%s%s", u"file://", u"\\Windows", u"\\nxavwm.htm") < 0) return;
  PROCESS_INFORMATION pi{};
  if (CreateProcessW(kHelpViewer, page, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &pi)) {
    if (pi.hProcess) CloseHandle(pi.hProcess);
    if (pi.hThread) CloseHandle(pi.hThread);
    return;
  }
  MessageBoxW(hwnd_, kHelpFailed, kCaption, MB_OK);
}

INT_PTR NotifyDialog::proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<NotifyDialog*>(GetWindowLongW(hwnd, DWL_USER));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongW(hwnd, DWL_USER, lParam);
      return TRUE;
    case kMsgShowNotification:
      if (self) self->showPending();
      return TRUE;
    case WM_SETTINGCHANGE:
      if (self && IsWindowVisible(hwnd)) self->layout();
      return TRUE;
    case WM_COMMAND: {
      int id = LOWORD(wParam);
      if (self && (id == kIdOk || id == IDOK || id == IDCANCEL)) self->hide();
      return TRUE;
    }
    case WM_CLOSE:
      if (self) self->hide();
      return TRUE;
    case WM_HELP:
      if (self) self->help();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace guard
