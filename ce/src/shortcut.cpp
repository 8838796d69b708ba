#include "ce/shortcut.h"

#include <cstring>
#include <string>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "shortcut_text.h"

namespace ce {

namespace {

constexpr DWORD kMaxShortcutBytes = 4096;

BOOL failWith(DWORD code) {
  SetLastError(code);
  return FALSE;
}

}  // namespace

BOOL SHCreateShortcut(LPCWSTR shortcut, LPCWSTR target) {
  if (!shortcut || !target || !*target) return failWith(ERROR_INVALID_PARAMETER);
  std::u16string t;
  for (size_t i = 0; target[i]; ++i) {
    if (i >= kMaxShortcutTarget || target[i] == u'\r' || target[i] == u'\n') return failWith(ERROR_INVALID_PARAMETER);
    t.push_back(target[i]);
  }
  if (t[0] != u'"') t = u"\"" + t + u"\"";
  if (t.size() > kMaxShortcutTarget) return failWith(ERROR_INVALID_PARAMETER);
  std::u16string line = utf8ToUtf16(std::to_string(t.size())) + u"#" + t;
  BOOL lossy = FALSE;
  INT n = WideCharToMultiByte(CP_1252, 0, line.data(), static_cast<INT>(line.size()), nullptr, 0, nullptr, &lossy);
  std::string bytes(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n <= 0 || WideCharToMultiByte(CP_1252, 0, line.data(), static_cast<INT>(line.size()), bytes.data(), n, nullptr,
                                    &lossy) != n || lossy)
    return failWith(ERROR_NO_UNICODE_TRANSLATION);
  HANDLE h = CreateFileW(shortcut, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  DWORD written = 0;
  BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
  DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok) return failWith(err ? err : ERROR_WRITE_FAULT);
  return TRUE;
}

BOOL SHGetShortcutTarget(LPCWSTR shortcut, LPWSTR target, int cchMax) {
  if (!shortcut || !target || cchMax <= 0) return failWith(ERROR_INVALID_PARAMETER);
  HANDLE h = CreateFileW(shortcut, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FALSE;
  std::string raw(kMaxShortcutBytes + 1, '\0');
  DWORD got = 0;
  BOOL ok = ReadFile(h, raw.data(), static_cast<DWORD>(raw.size()), &got, nullptr);
  DWORD err = GetLastError();
  CloseHandle(h);
  if (!ok) return failWith(err ? err : ERROR_READ_FAULT);
  if (got > kMaxShortcutBytes) return failWith(ERROR_BAD_FORMAT);
  raw.resize(got);
  std::u16string rest;
  if (DWORD code = detail::parseShortcutText(raw, rest); code != ERROR_SUCCESS) return failWith(code);
  if (rest.size() + 1 > static_cast<size_t>(cchMax)) return failWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(target, rest.data(), rest.size() * sizeof(WCHAR));
  target[rest.size()] = 0;
  return TRUE;
}

}  // namespace ce
