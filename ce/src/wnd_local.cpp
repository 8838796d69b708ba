// The process's own part of its windows, and its window classes.
#include "wnd_local.h"

#include <map>
#include <mutex>
#include <vector>

#include "ce/base.h"
#include "ce/text.h"

namespace ce::detail::wnd {
namespace {

struct Table {
  std::mutex mu;
  std::map<std::pair<Seg*, uint32_t>, LocalWin> wins;
  std::vector<ClassInfo> classes;
  ATOM nextAtom = 0xC000;
};

Table& table() {
  static Table* t = [] {
    auto* tb = new Table;  // lives until exit: threads that end late still look here
    tb->classes.push_back(ClassInfo{u"STATIC", &labelProc, WKind::Label, nullptr, CE_CLASS_STATIC});
    tb->classes.push_back(ClassInfo{u"EDIT", &editProc, WKind::Edit, nullptr, CE_CLASS_EDIT});
    tb->classes.push_back(ClassInfo{u"BUTTON", &buttonProc, WKind::Button, nullptr, CE_CLASS_BUTTON});
    tb->classes.push_back(ClassInfo{u"Dialog", &dialogProc, WKind::Dialog, nullptr, 0x8002});
    return tb;
  }();
  return *t;
}

}  // namespace

std::optional<LocalWin> localGet(Seg* s, uint32_t value) {
  auto& t = table();
  std::lock_guard g(t.mu);
  auto it = t.wins.find({s, value});
  if (it == t.wins.end()) return std::nullopt;
  return it->second;
}

void localPut(Seg* s, uint32_t value, const LocalWin& w) {
  auto& t = table();
  std::lock_guard g(t.mu);
  t.wins[{s, value}] = w;
}

void localErase(Seg* s, uint32_t value) {
  auto& t = table();
  std::lock_guard g(t.mu);
  t.wins.erase({s, value});
}

namespace local_detail {
bool update(Seg* s, uint32_t value, void (*fn)(LocalWin&, void*), void* ctx) {
  auto& t = table();
  std::lock_guard g(t.mu);
  auto it = t.wins.find({s, value});
  if (it == t.wins.end()) return false;
  fn(it->second, ctx);
  return true;
}
}  // namespace local_detail

std::optional<ClassInfo> findClass(LPCWSTR nameOrAtom) {
  if (!nameOrAtom) return std::nullopt;
  auto& t = table();
  std::lock_guard g(t.mu);
  const bool byAtom = IS_INTRESOURCE(nameOrAtom);
  const auto atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(nameOrAtom));
  for (const auto& c : t.classes) {
    if (byAtom ? c.atom == atom : equalsNoCase(c.name, nameOrAtom)) return c;
  }
  return std::nullopt;
}

}  // namespace ce::detail::wnd

namespace ce {

using namespace detail::wnd;

ATOM RegisterClassW(const WNDCLASSW* wc) {
  if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName) ||
      !*wc->lpszClassName || wcslen16(wc->lpszClassName) >= kClassMax) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto& t = table();
  std::lock_guard g(t.mu);
  for (const auto& c : t.classes) {
    if (equalsNoCase(c.name, wc->lpszClassName)) {
      SetLastError(ERROR_CLASS_ALREADY_EXISTS);
      return 0;
    }
  }
  if (t.nextAtom == 0xFFFF) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  ClassInfo c{wc->lpszClassName, wc->lpfnWndProc, WKind::Window, wc->hInstance, t.nextAtom++};
  t.classes.push_back(c);
  SetLastError(ERROR_SUCCESS);
  return c.atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE) {
  auto& t = table();
  std::lock_guard g(t.mu);
  for (auto it = t.classes.begin(); it != t.classes.end(); ++it) {
    const bool match = IS_INTRESOURCE(className)
                           ? it->atom == static_cast<ATOM>(reinterpret_cast<uintptr_t>(className))
                           : className && equalsNoCase(it->name, className);
    if (!match) continue;
    if (it->kind != WKind::Window) break;  // the built-in classes stay
    t.classes.erase(it);
    return TRUE;
  }
  SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
  return FALSE;
}

}  // namespace ce
