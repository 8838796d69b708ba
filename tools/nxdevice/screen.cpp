// nxdevice screen: what the handset shows now (its shown dialogs with their
// texts, the last message boxes and help pages), the screen journal as it
// grows, turning the screen, its resolution, and pressing a button of the
// topmost dialog from the host.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "ce/ce.h"
#include "ce/screen.h"
#include "commands.h"

namespace nxdevice {
namespace {

using Json = nlohmann::json;

struct Options {
  bool follow = false;
  bool json = false;
  long count = -1;
  std::string orientation;
  int dpi = 0;
  std::string button;
  std::string window;
  int timeoutMs = 5000;
} opts;

std::string u8(const std::u16string& s) { return ce::utf16ToUtf8(s); }

std::string hex(ce::HWND h) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)));
  return b;
}

std::string inQuotes(const std::string& s) { return "\"" + s + "\""; }

// Fields of a journal line, whatever a damaged line holds in their place.
std::string str(const Json& j, const char* key) {
  auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}
long long num(const Json& j, const char* key, long long def = 0) {
  auto it = j.find(key);
  return it != j.end() && it->is_number() ? it->get<long long>() : def;
}
bool flag(const Json& j, const char* key, bool def) {
  auto it = j.find(key);
  return it != j.end() && it->is_boolean() ? it->get<bool>() : def;
}

void printMetrics() {
  auto m = ce::screen::Current();
  std::printf("screen: %dx%d %s, %d dpi\n", m.width, m.height,
              m.orientation == ce::screen::Orientation::Landscape ? "landscape" : "portrait", m.dpi);
}

void printWindow(const ce::screen::Window& w) {
  std::printf("%s %s (%s", w.dialog ? "dialog" : "window", inQuotes(u8(w.caption)).c_str(), hex(w.hwnd).c_str());
  if (w.templateId) std::printf(", template %u", w.templateId);
  std::printf(") of process %u %s at %d,%d %dx%d%s\n", w.pid, u8(w.process).c_str(), w.rect.left, w.rect.top,
              w.rect.right - w.rect.left, w.rect.bottom - w.rect.top, w.topmost ? ", topmost" : "");
  for (const auto& c : w.controls) {
    if (!c.visible) continue;
    std::string id = c.id == ce::IDC_STATIC ? "" : std::to_string(c.id);
    std::printf("  %-7s %5s %s%s\n", c.kind, id.c_str(), inQuotes(u8(c.text)).c_str(),
                c.weight >= 700 ? "  (bold)" : "");
  }
}

// The last message boxes and help pages of the journal.
void printRecent(size_t keep) {
  uint64_t next = 0, skipped = 0;
  std::deque<Json> boxes, pages;
  for (const auto& l : ce::screen::ReadJournal(0, &next, &skipped)) {
    Json j = Json::parse(l, nullptr, false);
    const std::string ev = j.is_object() && j["event"].is_string() ? j["event"].get<std::string>() : "";
    auto* into = ev == "msgbox" ? &boxes : ev == "open" ? &pages : nullptr;
    if (!into) continue;
    into->push_back(std::move(j));
    if (into->size() > keep) into->pop_front();
  }
  std::printf("last message boxes:%s\n", boxes.empty() ? " none" : "");
  for (const auto& b : boxes)
    std::printf("  %s %s: %s (process %lld %s)\n", str(b, "time").c_str(), inQuotes(str(b, "caption")).c_str(),
                str(b, "text").c_str(), num(b, "pid", 0), str(b, "process").c_str());
  if (!pages.empty()) {
    std::printf("last help pages:\n");
    for (const auto& p : pages)
      std::printf("  %s %s%s\n", str(p, "time").c_str(), str(p, "page").c_str(),
                  flag(p, "found", false) ? "" : " (not found)");
  }
  if (skipped) std::printf("(%llu damaged journal lines passed over)\n", static_cast<unsigned long long>(skipped));
}

int cmdNow() {
  printMetrics();
  auto shown = ce::screen::TopLevelWindows();
  if (shown.empty()) std::printf("no dialogs shown\n");
  for (const auto& w : shown) printWindow(w);
  printRecent(5);
  return 0;
}

// One journal line as a person reads it; a line whose fields are not of
// their kinds is shown as it is.
std::string describeFields(const Json& j);
std::string describe(const Json& j, const std::string& raw) {
  if (str(j, "event").empty()) return raw;
  try {
    return describeFields(j);
  } catch (const Json::exception&) {
    return raw;
  }
}

std::string describeFields(const Json& j) {
  std::string ev = str(j, "event");
  std::string out = str(j, "time") + " " + ev;
  if (ev == "msgbox") return out + " " + inQuotes(str(j, "caption")) + ": " + str(j, "text");
  if (ev == "screen") {
    const Json s = j.contains("screen") && j["screen"].is_object() ? j["screen"] : Json::object();
    return out + " " + std::to_string(num(s, "w", 0)) + "x" + std::to_string(num(s, "h", 0)) + " " +
           str(s, "orientation") + ", " + std::to_string(num(s, "dpi", 0)) + " dpi";
  }
  if (ev == "open") return out + " " + str(j, "page") + (flag(j, "found", false) ? "" : " (not found)");
  out += " " + str(j, "kind") + " " + inQuotes(str(j, "caption")) + " " + str(j, "window") +
         " of process " + std::to_string(num(j, "pid", 0));
  if (j.contains("controls") && j["controls"].is_array() && ev != "hide" && ev != "destroy") {
    for (const auto& c : j["controls"]) {
      if (!c.is_object() || !flag(c, "visible", true)) continue;
      long long id = num(c, "id", -1);
      out += "  " + (id == -1 ? std::string() : std::to_string(id) + "=") + inQuotes(str(c, "text"));
    }
  }
  return out;
}

int cmdFollow() {
  uint64_t at = 0, skipped = 0;
  // Only what comes from now on (taken before the screen is printed, so that
  // nothing written meanwhile is missed).
  ce::screen::ReadJournal(0, &at, &skipped);
  if (!opts.json) {
    cmdNow();
    std::fflush(stdout);
  }
  long printed = 0;
  while (opts.count < 0 || printed < opts.count) {
    for (const auto& l : ce::screen::ReadJournal(at, &at, &skipped)) {
      if (opts.json) {
        std::printf("%s\n", l.c_str());
      } else {
        Json j = Json::parse(l, nullptr, false);
        if (!j.is_discarded()) std::printf("%s\n", describe(j, l).c_str());
      }
      std::fflush(stdout);
      if (opts.count >= 0 && ++printed >= opts.count) break;
    }
    if (opts.count < 0 || printed < opts.count) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

int cmdRotate() {
  auto m = ce::screen::Current();
  ce::screen::Orientation want = m.orientation == ce::screen::Orientation::Portrait
                                     ? ce::screen::Orientation::Landscape
                                     : ce::screen::Orientation::Portrait;
  if (opts.orientation == "portrait") want = ce::screen::Orientation::Portrait;
  if (opts.orientation == "landscape") want = ce::screen::Orientation::Landscape;
  if (!ce::screen::SetOrientation(want)) return fail("cannot turn the screen");
  printMetrics();
  std::printf("%zu windows told (WM_SETTINGCHANGE)\n", ce::screen::TopLevelWindows(false).size());
  return 0;
}

int cmdDpi() {
  if (!ce::screen::SetDpi(opts.dpi)) return fail("cannot set the resolution to " + std::to_string(opts.dpi) + " dpi");
  printMetrics();
  std::printf("%zu windows told (WM_SETTINGCHANGE)\n", ce::screen::TopLevelWindows(false).size());
  return 0;
}

// A button's text as a person reads it: no accelerator marks, any case.
std::string plain(std::string s) {
  s.erase(std::remove(s.begin(), s.end(), '&'), s.end());
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int cmdPress() {
  auto shown = ce::screen::TopLevelWindows();
  const ce::screen::Window* target = nullptr;
  for (const auto& w : shown) {
    if (!opts.window.empty() ? plain(hex(w.hwnd)) == plain(opts.window) : w.dialog) {
      target = &w;
      break;
    }
  }
  if (!target) {
    std::fprintf(stderr, "nxdevice: %s\n",
                 opts.window.empty() ? "no dialog is shown" : ("no shown window " + opts.window).c_str());
    return 1;
  }
  const ce::screen::Control* button = nullptr;
  std::string buttons;
  for (const auto& c : target->controls) {
    if (c.kind != std::string("button") || !c.visible) continue;
    buttons += (buttons.empty() ? "" : ", ") + inQuotes(u8(c.text));
    if (!button && plain(u8(c.text)) == plain(opts.button)) button = &c;
  }
  const std::string what = inQuotes(u8(target->caption)) + " (" + hex(target->hwnd) + ") of process " +
                           std::to_string(target->pid);
  if (!button) {
    std::fprintf(stderr, "nxdevice: %s has no button %s (its buttons: %s)\n", what.c_str(),
                 inQuotes(opts.button).c_str(), buttons.empty() ? "none" : buttons.c_str());
    return 1;
  }
  // The time-out is the host's: a fast device clock must not cut it short.
  const double speed = std::max(1.0, ce::GetClockSpeed());
  const auto deviceMs = static_cast<ce::UINT>(std::min(opts.timeoutMs * speed, 4.0e9));
  ce::UINT_PTR result = 0;
  const ce::WPARAM wp = ce::MAKEWPARAM(static_cast<ce::WORD>(button->id), ce::BN_CLICKED);
  if (!ce::SendMessageTimeoutW(target->hwnd, ce::WM_COMMAND, wp, reinterpret_cast<ce::LPARAM>(button->hwnd),
                               ce::SMTO_ABORTIFHUNG, deviceMs, &result)) {
    if (ce::GetLastError() == ce::ERROR_TIMEOUT) {
      std::fprintf(stderr, "nxdevice: %s did not take the press within %d ms (its thread is not reading messages)\n",
                   what.c_str(), opts.timeoutMs);
      return 1;
    }
    return fail("cannot press " + inQuotes(opts.button) + " in " + what);
  }
  std::printf("pressed %s (%d) in %s\n", inQuotes(u8(button->text)).c_str(), button->id, what.c_str());
  return 0;
}

}  // namespace

void addScreenCommands(CLI::App& app, Context& ctx) {
  auto* screen = app.add_subcommand("screen", "what the device shows now; turn it, set its resolution, press a button");
  screen->add_flag("--follow,-f", opts.follow, "then print every change as it is written to the screen journal");
  screen->add_flag("--json", opts.json, "with --follow: the journal's lines as they are");
  screen->add_option("--count", opts.count, "with --follow: stop after this many lines");
  screen->require_subcommand(0, 1);

  auto run = [&ctx](int (*fn)()) {
    if (!attach(ctx.root)) {
      ctx.status = 1;
      return;
    }
    ctx.status = fn();
  };

  auto* rotate = screen->add_subcommand("rotate", "switch portrait and landscape (or set one)");
  rotate->add_option("ORIENTATION", opts.orientation, "portrait or landscape (default: the other one)")
      ->check(CLI::IsMember({"portrait", "landscape"}));
  rotate->callback([run] { run(&cmdRotate); });

  auto* dpi = screen->add_subcommand("dpi", "set the screen's resolution");
  dpi->add_option("DPI", opts.dpi, "96 (240x320) or 192 (480x640)")->required()->check(CLI::IsMember({96, 192}));
  dpi->callback([run] { run(&cmdDpi); });

  auto* press = screen->add_subcommand("press", "press a button of the topmost shown dialog, found by its text");
  press->add_option("BUTTON", opts.button, "the button's text, e.g. Ok")->required();
  press->add_option("--window", opts.window, "the shown window to press it in (its handle, 0x...)");
  press->add_option("--timeout", opts.timeoutMs, "milliseconds to wait for the dialog to take it (default 5000)");
  press->callback([run] { run(&cmdPress); });

  screen->final_callback([screen, run] {
    if (!screen->get_subcommands().empty()) return;
    run(opts.follow ? &cmdFollow : &cmdNow);
  });
}

}  // namespace nxdevice
