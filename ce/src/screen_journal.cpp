// The screen journal: "<root>/.ce/screen.log", one JSON object a line. Each
// line is appended with one write under an exclusive lock of the file, so
// lines of several processes never interleave; readers take whole lines
// only and pass over any that do not parse.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ce/base.h"
#include "ce/screen.h"
#include "ce/text.h"
#include "ce/time.h"
#include "wnd.h"

namespace ce::detail::wnd {
namespace {

using Json = nlohmann::ordered_json;

// A journal beyond this is kept as "screen.log.1" and started over, so a
// device left running for months does not fill the disk.
constexpr off_t kJournalLimit = 16 << 20;

std::string hwndText(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

const char* kindName(WKind k) {
  switch (k) {
    case WKind::Dialog:
      return "dialog";
    case WKind::Label:
      return "label";
    case WKind::Edit:
      return "edit";
    case WKind::Button:
      return "button";
    default:
      return "window";
  }
}

std::string text8(const char16_t* s, uint32_t len) { return utf16ToUtf8(std::u16string_view(s, len)); }

bool writeAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::write(fd, data.data() + off, data.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

// Opens the journal at `path` locked, making sure the file locked is the one
// the name still gives (another writer may have just set it aside).
int openLocked(const std::string& path) {
  for (int tries = 0; tries < 100; ++tries) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX) != 0) {
      ::close(fd);
      return -1;
    }
    struct stat held{}, named{};
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
        held.st_dev == named.st_dev)
      return fd;
    ::close(fd);
  }
  return -1;
}

Json screenJson(const Header* h) {
  Json s;
  s["w"] = screenWidth(h);
  s["h"] = screenHeight(h);
  s["dpi"] = h->dpi;
  s["orientation"] = h->landscape ? "landscape" : "portrait";
  return s;
}

}  // namespace

void journalLine(const std::string& ceDir, const std::string& line) {
  const std::string path = ceDir + "/screen.log";
  int fd = openLocked(path);
  if (fd < 0) return;
  struct stat st{};
  if (::fstat(fd, &st) == 0 && st.st_size > kJournalLimit) {
    ::rename(path.c_str(), (path + ".1").c_str());
    ::close(fd);  // lets writers waiting on the old file go; they find the new one by its name
    fd = openLocked(path);
    if (fd < 0) return;
  }
  writeAll(fd, line + "\n");
  ::close(fd);
}

void journalWindow(Locked& L, uint32_t top, const char* event) {
  const Header* h = L.h();
  const Win& w = h->wins[top];
  Json j;
  j["time"] = screen::JournalTime();
  j["tick"] = GetTickCount();
  j["event"] = event;
  j["kind"] = kindName(w.kind);
  j["window"] = hwndText(handleValue(top, w.gen));
  j["pid"] = w.pid;
  j["tid"] = w.tid;
  const Queue& q = h->queues[w.queue < kMaxQueues ? w.queue : 0];
  j["process"] = q.used && q.pid == w.pid ? utf16ToUtf8(q.image) : std::string();
  if (w.templateId) j["template"] = w.templateId;
  j["caption"] = text8(textOf(h, w), w.textLen);
  j["x"] = w.x;
  j["y"] = w.y;
  j["w"] = w.w;
  j["h"] = w.h;
  j["visible"] = w.visible != 0;
  j["topmost"] = (w.exStyle & WS_EX_TOPMOST) != 0;
  j["z"] = w.z;
  j["screen"] = screenJson(h);
  // Every window below it, in the order they were made, placed relative to it.
  std::vector<uint32_t> below;
  for (uint32_t i = 0; i < kMaxWindows; ++i) {
    const Win& c = h->wins[i];
    if (!c.used || c.destroying || i == top || !c.parent) continue;
    if (topOf(h, i) == top) below.push_back(i);
  }
  std::sort(below.begin(), below.end(), [&](uint32_t a, uint32_t b) { return h->wins[a].order < h->wins[b].order; });
  Json controls = Json::array();
  for (uint32_t i : below) {
    const Win& c = h->wins[i];
    int32_t x = c.x, y = c.y;
    for (uint32_t p = c.parent, n = 0; p && p - 1 != top && n < kMaxWindows; p = h->wins[p - 1].parent, ++n) {
      x += h->wins[p - 1].x;
      y += h->wins[p - 1].y;
    }
    Json cj;
    cj["id"] = c.ctrlId;
    cj["window"] = hwndText(handleValue(i, c.gen));
    cj["kind"] = kindName(c.kind);
    cj["text"] = text8(textOf(h, c), c.textLen);
    cj["x"] = x;
    cj["y"] = y;
    cj["w"] = c.w;
    cj["h"] = c.h;
    cj["visible"] = c.visible != 0;
    if ((c.style & 0xF) == BS_DEFPUSHBUTTON && c.kind == WKind::Button) cj["default"] = true;
    if (c.fontWeight) cj["weight"] = c.fontWeight;
    if (c.fontHeight) cj["height"] = c.fontHeight;
    controls.push_back(std::move(cj));
  }
  j["controls"] = std::move(controls);
  queueJournalLine(L.seg(), j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void journalScreen(Locked& L, const char* reason) {
  Json j;
  j["time"] = screen::JournalTime();
  j["tick"] = GetTickCount();
  j["event"] = "screen";
  j["kind"] = "screen";
  j["pid"] = L.seg()->me.pid;
  j["reason"] = reason;
  j["screen"] = screenJson(L.h());
  queueJournalLine(L.seg(), j.dump(-1, ' ', false, Json::error_handler_t::replace));
}

}  // namespace ce::detail::wnd
