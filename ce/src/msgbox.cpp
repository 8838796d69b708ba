// Message boxes: nobody is there to press a button, so each box is written to
// the screen journal and answered at once with its default button.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "ce/base.h"
#include "ce/screen.h"
#include "ce/text.h"
#include "ce/time.h"
#include "kobj.h"
#include "wnd.h"

namespace ce {

using namespace detail;
using namespace detail::wnd;

namespace {

struct Buttons {
  const char* name;
  int ids[3];
};

Buttons buttonsOf(UINT type) {
  switch (type & 0xF) {
    case MB_OKCANCEL:
      return {"okcancel", {IDOK, IDCANCEL, 0}};
    case MB_ABORTRETRYIGNORE:
      return {"abortretryignore", {IDABORT, IDRETRY, IDIGNORE}};
    case MB_YESNOCANCEL:
      return {"yesnocancel", {IDYES, IDNO, IDCANCEL}};
    case MB_YESNO:
      return {"yesno", {IDYES, IDNO, 0}};
    case MB_RETRYCANCEL:
      return {"retrycancel", {IDRETRY, IDCANCEL, 0}};
    default:
      return {"ok", {IDOK, 0, 0}};
  }
}

const char* iconOf(UINT type) {
  switch (type & 0xF0) {
    case MB_ICONHAND:
      return "error";
    case MB_ICONQUESTION:
      return "question";
    case MB_ICONEXCLAMATION:
      return "warning";
    case MB_ICONASTERISK:
      return "information";
    default:
      return nullptr;
  }
}

}  // namespace

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  if (owner && !IsWindow(owner)) return 0;
  DeviceState* d = device();
  if (!d) return 0;
  const Buttons b = buttonsOf(type);
  int answer = b.ids[0];
  const int def = (type & MB_DEFBUTTON3) ? 2 : (type & MB_DEFBUTTON2) ? 1 : 0;
  if (b.ids[def]) answer = b.ids[def];
  nlohmann::ordered_json j;
  j["time"] = screen::JournalTime();
  j["tick"] = GetTickCount();
  j["event"] = "msgbox";
  j["kind"] = "msgbox";
  j["pid"] = selfId().pid;
  j["tid"] = kobj::currentTid();
  j["process"] = utf16ToUtf8(programPath());
  if (owner) {
    char h[16];
    std::snprintf(h, sizeof h, "0x%08X", hwndValue(owner));
    j["owner"] = h;
  } else {
    j["owner"] = nullptr;
  }
  // The handset titles a box without a caption "Error".
  j["caption"] = caption ? utf16ToUtf8(caption) : std::string("Error");
  j["text"] = text ? utf16ToUtf8(text) : std::string();
  j["type"] = type;
  j["buttons"] = b.name;
  if (const char* icon = iconOf(type)) j["icon"] = icon;
  j["topmost"] = (type & MB_TOPMOST) != 0;
  j["answer"] = answer;
  journalLine(d->ceDir, j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  SetLastError(ERROR_SUCCESS);
  return answer;
}

}  // namespace ce
