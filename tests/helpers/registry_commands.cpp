// Registry commands of the test helper. Keys are written "HKLM\Sub\Key" or
// "HKCU\Sub\Key"; every command prints its results on stdout and answers 0,
// or the registry's error code (mod 256) on failure.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "helper_commands.h"

namespace {

using namespace ce;

bool splitKey(const char* keyPath, HKEY& root, std::u16string& sub) {
  std::string s(keyPath);
  std::string head = s.substr(0, s.find('\\'));
  if (head == "HKLM") root = HKEY_LOCAL_MACHINE;
  else if (head == "HKCU") root = HKEY_CURRENT_USER;
  else if (head == "HKCR") root = HKEY_CLASSES_ROOT;
  else return false;
  sub = s.size() > head.size() ? utf8ToUtf16(s.substr(head.size() + 1)) : std::u16string();
  return true;
}

int fail(const char* what, LONG rc) {
  std::printf("%s %d\n", what, static_cast<int>(rc));
  std::fflush(stdout);
  return static_cast<int>(rc & 0xFF) ? static_cast<int>(rc & 0xFF) : 1;
}

std::string hex(const std::vector<BYTE>& d) {
  static const char* k = "0123456789abcdef";
  std::string s;
  for (BYTE b : d) {
    s += k[b >> 4];
    s += k[b & 15];
  }
  return s;
}

std::string printable(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04x", static_cast<unsigned>(c));
    out += buf;
  }
  return out;
}

}  // namespace

// reg_set KEY NAME sz|dword VALUE: creates the key and writes the value.
HELPER_COMMAND(reg_set) {
  if (argc < 4) return 2;
  HKEY root;
  std::u16string sub;
  if (!splitKey(argv[0], root, sub)) return 2;
  HKEY k;
  LONG rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  if (rc) return fail("create", rc);
  std::u16string name = utf8ToUtf16(argv[1]);
  if (std::string(argv[2]) == "dword") {
    DWORD v = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0));
    rc = RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
  } else {
    std::u16string v = utf8ToUtf16(argv[3]);
    rc = RegSetValueExW(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                        static_cast<DWORD>((v.size() + 1) * sizeof(WCHAR)));
  }
  RegCloseKey(k);
  if (rc) return fail("set", rc);
  std::printf("ok\n");
  return 0;
}

// reg_get KEY NAME: prints "sz TEXT" or "dword N".
HELPER_COMMAND(reg_get) {
  if (argc < 2) return 2;
  HKEY root;
  std::u16string sub;
  if (!splitKey(argv[0], root, sub)) return 2;
  HKEY k;
  LONG rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &k);
  if (rc) return fail("open", rc);
  std::u16string name = utf8ToUtf16(argv[1]);
  DWORD type = 0, size = 0;
  rc = RegQueryValueExW(k, name.c_str(), nullptr, &type, nullptr, &size);
  std::vector<BYTE> data(size);
  if (!rc) rc = RegQueryValueExW(k, name.c_str(), nullptr, &type, data.data(), &size);
  RegCloseKey(k);
  if (rc) return fail("query", rc);
  if (type == REG_DWORD && size == 4) {
    DWORD v;
    std::memcpy(&v, data.data(), 4);
    std::printf("dword %u\n", v);
  } else if (type == REG_SZ) {
    std::u16string s(reinterpret_cast<const char16_t*>(data.data()), size / 2);
    while (!s.empty() && s.back() == 0) s.pop_back();
    std::printf("sz %s\n", utf16ToUtf8(s).c_str());
  } else {
    std::printf("type %u %s\n", type, hex(data).c_str());
  }
  return 0;
}

// reg_dump KEY: every value as "NAME-UNITS-IN-HEX TYPE DATA-IN-HEX", then the
// sub-key names, as this process parsed them from the file.
HELPER_COMMAND(reg_dump) {
  if (argc < 1) return 2;
  HKEY root;
  std::u16string sub;
  if (!splitKey(argv[0], root, sub)) return 2;
  HKEY k;
  LONG rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &k);
  if (rc) return fail("open", rc);
  for (DWORD i = 0;; ++i) {
    std::vector<WCHAR> name(REG_MAX_VALUE_NAME + 1);
    DWORD cch = static_cast<DWORD>(name.size()), type = 0, size = 0;
    rc = RegEnumValueW(k, i, name.data(), &cch, nullptr, &type, nullptr, &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc) return fail("enumvalue", rc);
    std::vector<BYTE> data(size);
    cch = static_cast<DWORD>(name.size());
    rc = RegEnumValueW(k, i, name.data(), &cch, nullptr, &type, data.data(), &size);
    if (rc) return fail("enumvalue", rc);
    std::printf("value %s %u %s\n", printable(std::u16string(name.data(), cch)).c_str(), type, hex(data).c_str());
  }
  for (DWORD i = 0;; ++i) {
    WCHAR name[REG_MAX_KEY_NAME + 1];
    DWORD cch = REG_MAX_KEY_NAME + 1;
    rc = RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc) return fail("enumkey", rc);
    std::printf("key %s\n", printable(std::u16string(name, cch)).c_str());
  }
  RegCloseKey(k);
  return 0;
}

// reg_hold KEY NAME: opens the key, prints "open", waits for a line on stdin,
// then queries NAME through the same handle and prints the answer code.
HELPER_COMMAND(reg_hold) {
  if (argc < 2) return 2;
  HKEY root;
  std::u16string sub;
  if (!splitKey(argv[0], root, sub)) return 2;
  HKEY k;
  LONG rc = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, &k);
  if (rc) return fail("open", rc);
  std::printf("open\n");
  std::fflush(stdout);
  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) return 3;
  std::u16string name = utf8ToUtf16(argv[1]);
  DWORD size = 0;
  rc = RegQueryValueExW(k, name.c_str(), nullptr, nullptr, nullptr, &size);
  std::printf("query %d\n", static_cast<int>(rc));
  RegCloseKey(k);
  return 0;
}

// reg_write_loop KEY NAME PAD: writes "<n>:" followed by PAD characters of
// padding as REG_SZ for n = 1, 2, ... and prints n after each write has
// returned, until killed. A second value is written in between, so that every
// write really changes the file.
HELPER_COMMAND(reg_write_loop) {
  if (argc < 3) return 2;
  HKEY root;
  std::u16string sub;
  if (!splitKey(argv[0], root, sub)) return 2;
  HKEY k;
  LONG rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, 0, nullptr, &k, nullptr);
  if (rc) return fail("create", rc);
  std::u16string name = utf8ToUtf16(argv[1]);
  const size_t pad = std::strtoul(argv[2], nullptr, 10);
  for (unsigned long n = 1;; ++n) {
    std::u16string v = utf8ToUtf16(std::to_string(n) + ":") + std::u16string(pad, static_cast<char16_t>(u'a' + n % 26));
    rc = RegSetValueExW(k, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()),
                        static_cast<DWORD>((v.size() + 1) * sizeof(WCHAR)));
    if (rc) return fail("set", rc);
    std::printf("%lu\n", n);
    std::fflush(stdout);
  }
}

// reg_fill KEY PREFIX COUNT: writes COUNT DWORD values PREFIX0.. each by its
// own call, for tests of concurrent writers.
HELPER_COMMAND(reg_fill) {
  if (argc < 3) return 2;
  HKEY root;
  std::u16string sub;
  if (!splitKey(argv[0], root, sub)) return 2;
  HKEY k;
  LONG rc = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, 0, nullptr, &k, nullptr);
  if (rc) return fail("create", rc);
  const DWORD count = static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10));
  for (DWORD i = 0; i < count; ++i) {
    std::u16string name = utf8ToUtf16(std::string(argv[1]) + std::to_string(i));
    rc = RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), sizeof i);
    if (rc) return fail("set", rc);
  }
  RegCloseKey(k);
  std::printf("ok\n");
  return 0;
}

// reg_delete KEY: deletes the key with its subtree.
HELPER_COMMAND(reg_delete) {
  if (argc < 1) return 2;
  HKEY root;
  std::u16string sub;
  if (!splitKey(argv[0], root, sub)) return 2;
  LONG rc = RegDeleteKeyW(root, sub.c_str());
  if (rc) return fail("delete", rc);
  std::printf("ok\n");
  return 0;
}
