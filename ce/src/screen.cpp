// The screen for tools and tests: orientation and resolution, what is shown
// now, and reading the journal.
#include "ce/screen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "ce/base.h"
#include "ce/text.h"
#include "ce/time.h"
#include "device_settings.h"
#include "wnd.h"

namespace ce::screen {

using namespace detail;
using namespace detail::wnd;

namespace {

const char* controlKind(WKind k) {
  switch (k) {
    case WKind::Label:
      return "label";
    case WKind::Edit:
      return "edit";
    case WKind::Button:
      return "button";
    case WKind::Dialog:
      return "dialog";
    default:
      return "window";
  }
}

// Sets the screen and tells every top-level window of the device.
BOOL changeScreen(bool landscape, uint32_t dpi, const char* reason) {
  Seg* s = current();
  if (!s) return FALSE;
  bool changed;
  {
    Locked L(s);
    changed = L.h()->landscape != (landscape ? 1u : 0u) || L.h()->dpi != dpi;
    L.h()->landscape = landscape ? 1 : 0;
    L.h()->dpi = dpi;
    if (changed) journalScreen(L, reason);
  }
  // Kept for the device's next boot of the host as well.
  if (!settingsSet(s->ceDir, "screen_orientation", landscape ? "landscape" : "portrait") ||
      !settingsSet(s->ceDir, "screen_dpi", std::to_string(dpi))) {
    SetLastError(ERROR_CANTWRITE);
    return FALSE;
  }
  if (changed) PostMessageW(HWND_BROADCAST, WM_SETTINGCHANGE, SETTINGCHANGE_RESET, 0);
  return TRUE;
}

}  // namespace

Metrics Current() {
  Seg* s = current();
  if (!s) return Metrics{240, 320, 96, Orientation::Portrait};
  Locked L(s);
  const Header* h = L.h();
  return Metrics{screenWidth(h), screenHeight(h), static_cast<int>(h->dpi),
                 h->landscape ? Orientation::Landscape : Orientation::Portrait};
}

BOOL SetOrientation(Orientation o) {
  const Metrics m = Current();
  return changeScreen(o == Orientation::Landscape, static_cast<uint32_t>(m.dpi), "rotate");
}

BOOL SetDpi(int dpi) {
  if (dpi != 96 && dpi != 192) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const Metrics m = Current();
  return changeScreen(m.orientation == Orientation::Landscape, static_cast<uint32_t>(dpi), "dpi");
}

std::vector<Window> TopLevelWindows(bool visibleOnly) {
  std::vector<Window> out;
  Seg* s = current();
  if (!s) return out;
  Locked L(s);
  reapDead(L, true);
  const Header* h = L.h();
  std::vector<uint32_t> tops;
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    const Win& w = h->wins[i];
    if (w.used && !w.parent && !w.destroying && (!visibleOnly || w.visible)) tops.push_back(i);
  }
  std::sort(tops.begin(), tops.end(), [&](uint32_t a, uint32_t b) {
    const Win& x = h->wins[a];
    const Win& y = h->wins[b];
    const bool tx = (x.exStyle & WS_EX_TOPMOST) != 0, ty = (y.exStyle & WS_EX_TOPMOST) != 0;
    if (tx != ty) return tx;
    if (x.z != y.z) return x.z > y.z;
    return x.order > y.order;
  });
  for (uint32_t t : tops) {
    const Win& w = h->wins[t];
    Window win;
    win.hwnd = hwndOf(h, t);
    win.pid = static_cast<DWORD>(w.pid);
    win.tid = static_cast<DWORD>(w.tid);
    const Queue& q = h->queues[w.queue < kMaxQueues ? w.queue : 0];
    if (q.used && q.pid == w.pid) win.process = q.image;
    win.dialog = w.kind == WKind::Dialog;
    win.templateId = w.templateId;
    win.caption.assign(textOf(h, w), w.textLen);
    win.rect = RECT{w.x, w.y, w.x + w.w, w.y + w.h};
    win.visible = w.visible != 0;
    win.topmost = (w.exStyle & WS_EX_TOPMOST) != 0;
    win.z = w.z;
    std::vector<uint32_t> below;
    for (uint32_t i = 0; i < kMaxWindows; ++i)
      if (h->wins[i].used && h->wins[i].parent && !h->wins[i].destroying && topOf(h, i) == t) below.push_back(i);
    std::sort(below.begin(), below.end(),
              [&](uint32_t a, uint32_t b) { return h->wins[a].order < h->wins[b].order; });
    for (uint32_t i : below) {
      const Win& c = h->wins[i];
      LONG x = c.x, y = c.y;
      for (uint32_t p = c.parent, n = 0; p && p - 1 != t && n < kMaxWindows; p = h->wins[p - 1].parent, ++n) {
        x += h->wins[p - 1].x;
        y += h->wins[p - 1].y;
      }
      win.controls.push_back(Control{hwndOf(h, i), c.ctrlId, controlKind(c.kind), std::u16string(textOf(h, c), c.textLen),
                                     RECT{x, y, x + c.w, y + c.h}, c.visible != 0, c.fontWeight, c.fontHeight});
    }
    out.push_back(std::move(win));
  }
  return out;
}

std::string JournalPath() {
  const std::string& root = DeviceRoot();
  return root.empty() ? std::string() : root + "/.ce/screen.log";
}

BOOL AppendJournal(const std::string& jsonObject) {
  auto j = nlohmann::ordered_json::parse(jsonObject, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  DeviceState* d = device();
  if (!d) return FALSE;
  journalLine(d->ceDir, j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  return TRUE;
}

std::vector<std::string> ReadJournal(uint64_t from, uint64_t* next, uint64_t* skipped) {
  std::vector<std::string> lines;
  uint64_t bad = 0;
  uint64_t pos = from;
  const std::string path = JournalPath();
  int fd = path.empty() ? -1 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st{};
    if (::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < pos) pos = 0;  // started over
    std::string pending;
    uint64_t pendingAt = pos;
    char buf[65536];
    for (;;) {
      ssize_t n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(pos));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pos += static_cast<uint64_t>(n);
      size_t startAt = 0;
      for (ssize_t i = 0; i < n; ++i) {
        if (buf[i] != '\n') continue;
        pending.append(buf + startAt, static_cast<size_t>(i) - startAt);
        startAt = static_cast<size_t>(i) + 1;
        auto first = pending.find_first_not_of(" \t\r");
        if (first != std::string::npos && pending[first] == '{' && nlohmann::json::accept(pending))
          lines.push_back(std::move(pending));
        else if (first != std::string::npos)
          ++bad;
        pending.clear();
        pendingAt = pos - static_cast<uint64_t>(n) + startAt;
      }
      pending.append(buf + startAt, static_cast<size_t>(n) - startAt);
    }
    ::close(fd);
    pos = pendingAt;  // a last line without its end is read again once it is whole
  }
  if (next) *next = pos;
  if (skipped) *skipped = bad;
  return lines;
}

std::string JournalTime() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char b[64];
  std::snprintf(b, sizeof b, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond, t.wMilliseconds);
  return b;
}

}  // namespace ce::screen

namespace ce::diag {

void LockWindowsAndKeep() {
  ce::detail::wnd::Seg* s = ce::detail::wnd::current();
  if (s) ce::detail::lockShared(&s->h->lock, nullptr, nullptr);
}

}  // namespace ce::diag
