#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ce/ce.h"
#include "testkit.h"

using namespace ce;

namespace {

// An opened key closed at scope end.
struct Key {
  HKEY h = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  ~Key() {
    if (h) RegCloseKey(h);
  }
  HKEY* out() { return &h; }
  operator HKEY() const { return h; }
};

LONG create(HKEY root, const char16_t* path, Key& k, DWORD* disposition = nullptr) {
  return RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.out(), disposition);
}

std::vector<BYTE> bytesOf(std::u16string_view s, bool terminate = true) {
  std::vector<BYTE> d(reinterpret_cast<const BYTE*>(s.data()), reinterpret_cast<const BYTE*>(s.data() + s.size()));
  if (terminate) d.insert(d.end(), {0, 0});
  return d;
}

LONG setSz(HKEY k, const char16_t* name, std::u16string_view v) {
  auto d = bytesOf(v);
  return RegSetValueExW(k, name, 0, REG_SZ, d.data(), static_cast<DWORD>(d.size()));
}

LONG setDword(HKEY k, const char16_t* name, DWORD v) {
  return RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

// The value's data and type, or the error code.
struct Got {
  LONG rc = -1;
  DWORD type = 0;
  std::vector<BYTE> data;
  std::u16string text() const {
    std::u16string s(reinterpret_cast<const char16_t*>(data.data()), data.size() / 2);
    while (!s.empty() && s.back() == 0) s.pop_back();
    return s;
  }
  DWORD dword() const {
    DWORD v = 0;
    if (data.size() == 4) std::memcpy(&v, data.data(), 4);
    return v;
  }
};

Got get(HKEY k, const char16_t* name) {
  Got g;
  DWORD size = 0;
  g.rc = RegQueryValueExW(k, name, nullptr, &g.type, nullptr, &size);
  if (g.rc) return g;
  g.data.resize(size);
  g.rc = RegQueryValueExW(k, name, nullptr, &g.type, g.data.data(), &size);
  g.data.resize(size);
  return g;
}

std::u16string longName(size_t n, char16_t c = u'k') { return std::u16string(n, c); }

// Replaces a file the way an outside writer would (a new inode), so every
// process notices the change.
void replaceFile(const std::string& path, const std::string& content) {
  std::string tmp = path + ".outside";
  FILE* f = std::fopen(tmp.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
  ASSERT_EQ(std::rename(tmp.c_str(), path.c_str()), 0);
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

std::vector<std::string> damagedFiles(const nxtest::TempDevice& dev) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(dev.host(".ce")))
    if (e.path().filename().string().rfind("registry.damaged-", 0) == 0) names.push_back(e.path().filename());
  return names;
}

uint32_t crc32(const std::string& s) {
  uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : s) {
    c ^= b;
    for (int i = 0; i < 8; ++i) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
  }
  return ~c;
}

std::string withChecksum(const std::string& body) {
  char tail[32];
  std::snprintf(tail, sizeof tail, "crc32 %08X\n", crc32(body));
  return body + tail;
}

}  // namespace

// ---- Keys, values and names --------------------------------------------------

TEST(Registry, NewDeviceHoldsTheStandardKeysAndKeepsAnExistingRegistry) {
  nxtest::TempDevice dev;
  struct Case {
    HKEY root;
    const char16_t* path;
    LONG rc;
  };
  const Case cases[] = {
      {HKEY_LOCAL_MACHINE, u"Software", ERROR_SUCCESS}, {HKEY_LOCAL_MACHINE, u"Services", ERROR_SUCCESS},
      {HKEY_LOCAL_MACHINE, u"System", ERROR_SUCCESS},   {HKEY_CURRENT_USER, u"Software", ERROR_SUCCESS},
      {HKEY_CLASSES_ROOT, u"Software", ERROR_FILE_NOT_FOUND},
  };
  for (const Case& c : cases) {
    Key k;
    EXPECT_EQ(RegOpenKeyExW(c.root, c.path, 0, KEY_READ, k.out()), c.rc) << utf16ToUtf8(c.path);
  }

  Key app;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel", app), ERROR_SUCCESS);
  ASSERT_EQ(setSz(app, u"InstallDir", u"\\Storage Card\\Apps"), ERROR_SUCCESS);
  const std::string before = dev.readFile(".ce/registry");
  ASSERT_TRUE(CreateDevice(dev.root()));  // making the device again keeps its registry
  EXPECT_EQ(dev.readFile(".ce/registry"), before);
  EXPECT_EQ(get(app, u"InstallDir").text(), u"\\Storage Card\\Apps");
}

TEST(Registry, CreatesKeysWithTheirParentsAndKeepsValuesInWriteOrder) {
  nxtest::TempDevice dev;
  Key svc;
  DWORD disp = 0;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd", svc, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);

  struct Val {
    const char16_t* name;
    DWORD type;
    std::u16string text;
    DWORD number;
  };
  const Val vals[] = {
      {u"Dll", REG_SZ, u"updsvc.dll", 0},        {u"Order", REG_DWORD, u"", 9},
      {u"Keep", REG_DWORD, u"", 1},              {u"Prefix", REG_SZ, u"UPD", 0},
      {u"Index", REG_DWORD, u"", 0},             {u"Context", REG_DWORD, u"", 0},
      {u"Description", REG_SZ, u"Update Service dll", 0}, {u"DisplayName", REG_SZ, u"Update Service", 0},
  };
  for (const Val& v : vals)
    ASSERT_EQ(v.type == REG_SZ ? setSz(svc, v.name, v.text) : setDword(svc, v.name, v.number), ERROR_SUCCESS);

  // Overwriting keeps a value's place; the type may change.
  ASSERT_EQ(setDword(svc, u"Order", 10), ERROR_SUCCESS);
  ASSERT_EQ(setDword(svc, u"Order", 9), ERROR_SUCCESS);

  for (DWORD i = 0; i < std::size(vals); ++i) {
    WCHAR name[64];
    DWORD cch = 64, type = 0, size = 0;
    BYTE data[64];
    size = sizeof data;
    ASSERT_EQ(RegEnumValueW(svc, i, name, &cch, nullptr, &type, data, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), vals[i].name);
    EXPECT_EQ(type, vals[i].type);
    Got g = get(svc, vals[i].name);
    if (vals[i].type == REG_SZ) EXPECT_EQ(g.text(), vals[i].text);
    else EXPECT_EQ(g.dword(), vals[i].number);
  }

  Key again;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd", again, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(get(again, u"Dll").text(), u"updsvc.dll");

  // Intermediate keys come into being with the leaf.
  Key leaf, mid;
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Nyxel\\Nyxel AntiVirus\\1.05", leaf, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Nyxel", 0, 0, mid.out()), ERROR_SUCCESS);

  // Default value, empty data, and a sub-key created from an opened key.
  ASSERT_EQ(RegSetValueExW(leaf, nullptr, 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  Got def = get(leaf, u"");
  EXPECT_EQ(def.rc, ERROR_SUCCESS);
  EXPECT_EQ(def.type, REG_BINARY);
  EXPECT_TRUE(def.data.empty());
  Key child;
  ASSERT_EQ(create(mid, u"Nyxel AntiVirus\\1.05", child, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
}

TEST(Registry, NamesAreCaseInsensitiveAndKeepTheirSpelling) {
  nxtest::TempDevice dev;
  Key k;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel", k), ERROR_SUCCESS);
  ASSERT_EQ(setSz(k, u"InstallDir", u"\\Storage Card\\Apps"), ERROR_SUCCESS);

  for (const char16_t* spelling : {u"SOFTWARE\\apps\\antivirus nyxel", u"software\\APPS\\AntiVirus NYXEL"}) {
    Key o;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, spelling, 0, KEY_READ, o.out()), ERROR_SUCCESS);
    EXPECT_EQ(get(o, u"INSTALLDIR").text(), u"\\Storage Card\\Apps");
  }
  // Non-ASCII letters fold too.
  Key u1, u2;
  DWORD disp = 0;
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"Software\\Ärger", u1), ERROR_SUCCESS);
  ASSERT_EQ(create(HKEY_CURRENT_USER, u"SOFTWARE\\ÄRGER", u2, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);

  // Creating with another spelling opens the key; its name stays as created.
  Key apps, other;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Apps", 0, 0, apps.out()), ERROR_SUCCESS);
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"software\\APPS\\ANTIVIRUS NYXEL", other, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  WCHAR name[64];
  DWORD cch = 64, count = 0;
  ASSERT_EQ(RegEnumKeyExW(apps, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, cch), u"AntiVirus Nyxel");
  ASSERT_EQ(RegQueryInfoKeyW(apps, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 1u);

  // A value written under another spelling replaces the value, keeping its name.
  ASSERT_EQ(setSz(other, u"installdir", u"\\Other"), ERROR_SUCCESS);
  cch = 64;
  DWORD values = 0;
  ASSERT_EQ(RegEnumValueW(other, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name, cch), u"InstallDir");
  ASSERT_EQ(RegQueryInfoKeyW(other, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 1u);
  EXPECT_EQ(get(k, u"InstallDir").text(), u"\\Other");
}

TEST(Registry, QueryReportsTheSizeNeededWhenTheBufferIsShort) {
  nxtest::TempDevice dev;
  Key k;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Sizes", k), ERROR_SUCCESS);
  const std::u16string text = u"\\Program Files\\Nyxel";
  const DWORD need = static_cast<DWORD>((text.size() + 1) * 2);
  ASSERT_EQ(setSz(k, u"Path", text), ERROR_SUCCESS);

  struct Case {
    const char* what;
    bool buffer;
    DWORD cb;
    LONG rc;
    bool copied;
  };
  const Case cases[] = {
      {"size query without buffer", false, 0, ERROR_SUCCESS, false},
      {"buffer of 0 bytes", true, 0, ERROR_MORE_DATA, false},
      {"one byte short", true, need - 1, ERROR_MORE_DATA, false},
      {"exact size", true, need, ERROR_SUCCESS, true},
      {"larger buffer", true, need + 40, ERROR_SUCCESS, true},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> buf(need + 40, 0xCD);
    DWORD type = 0, cb = c.cb;
    EXPECT_EQ(RegQueryValueExW(k, u"Path", nullptr, &type, c.buffer ? buf.data() : nullptr, &cb), c.rc) << c.what;
    EXPECT_EQ(cb, need) << c.what;
    EXPECT_EQ(type, REG_SZ) << c.what;
    if (c.copied) {
      EXPECT_EQ(std::memcmp(buf.data(), bytesOf(text).data(), need), 0) << c.what;
      EXPECT_EQ(buf[need], 0xCD) << c.what << ": written past the data";
    } else {
      EXPECT_EQ(buf[0], 0xCD) << c.what << ": a short buffer must stay untouched";
    }
  }
  // Only the type, or nothing at all, may be asked for.
  DWORD type = 0;
  EXPECT_EQ(RegQueryValueExW(k, u"Path", nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(RegQueryValueExW(k, u"Missing", nullptr, &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND);

  // Enumeration follows the same rules for data and reports name sizes.
  WCHAR name[8];
  DWORD cch = 4, cb = 2;
  BYTE small[2];
  EXPECT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, &type, small, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 5u);  // "Path" and its terminator
  cch = 5;
  cb = 2;
  EXPECT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, &type, small, &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, need);
  EXPECT_EQ(cch, 4u);
  EXPECT_EQ(std::u16string(name, 4), u"Path");
}

TEST(Registry, EnumeratesByIndexAndReportsKeyInfo) {
  nxtest::TempDevice dev;
  Key base;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Enum", base), ERROR_SUCCESS);
  const std::vector<std::u16string> subs = {u"Zeta", u"alpha", u"Mid-length name"};
  for (auto& s : subs) {
    Key k;
    ASSERT_EQ(create(base, s.c_str(), k), ERROR_SUCCESS);
  }
  ASSERT_EQ(setDword(base, u"A", 1), ERROR_SUCCESS);
  ASSERT_EQ(setSz(base, u"Longest value name", u"0123456789"), ERROR_SUCCESS);

  for (DWORD i = 0; i <= subs.size(); ++i) {
    WCHAR name[REG_MAX_KEY_NAME + 1];
    DWORD cch = REG_MAX_KEY_NAME + 1;
    WCHAR cls[4] = {u'x'};
    DWORD cchClass = 4;
    FILETIME ft{1, 1};
    LONG rc = RegEnumKeyExW(base, i, name, &cch, nullptr, cls, &cchClass, &ft);
    if (i == subs.size()) {
      EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
      break;
    }
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name, cch), subs[i]);
    EXPECT_EQ(cchClass, 0u);
    EXPECT_EQ(cls[0], 0);
  }
  WCHAR shortBuf[4];
  DWORD cch = 4;
  EXPECT_EQ(RegEnumKeyExW(base, 2, shortBuf, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 16u);
  DWORD vcount = 0;
  cch = 4;
  EXPECT_EQ(RegEnumValueW(base, 2, shortBuf, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  DWORD nSub = 0, maxSub = 0, maxClass = 9, maxName = 0, maxData = 0, sec = 9;
  ASSERT_EQ(RegQueryInfoKeyW(base, nullptr, nullptr, nullptr, &nSub, &maxSub, &maxClass, &vcount, &maxName, &maxData,
                             &sec, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(nSub, 3u);
  EXPECT_EQ(maxSub, 15u);
  EXPECT_EQ(maxClass, 0u);
  EXPECT_EQ(vcount, 2u);
  EXPECT_EQ(maxName, 18u);
  EXPECT_EQ(maxData, 22u);
  EXPECT_EQ(sec, 0u);
  EXPECT_EQ(RegFlushKey(base), ERROR_SUCCESS);
}

TEST(Registry, DeleteKeyRemovesTheSubtreeAndItsOpenHandles) {
  nxtest::TempDevice dev;
  Key top, deep, sibling;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln", top), ERROR_SUCCESS);
  ASSERT_EQ(create(top, u"Sub\\Deeper\\Deepest", deep), ERROR_SUCCESS);
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Services\\NXSrvUpd", sibling), ERROR_SUCCESS);
  ASSERT_EQ(setSz(deep, u"Dll", u"guardsvc.dll"), ERROR_SUCCESS);
  ASSERT_EQ(setSz(sibling, u"Dll", u"updsvc.dll"), ERROR_SUCCESS);

  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"services\\nxsrvoln"), ERROR_SUCCESS);
  Key gone;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln", 0, 0, gone.out()), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln\\Sub\\Deeper", 0, 0, gone.out()),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(get(sibling, u"Dll").text(), u"updsvc.dll");

  // Every use of a handle of a deleted key answers ERROR_KEY_DELETED, also
  // after a key of the same name was made again.
  Key again;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln\\Sub\\Deeper\\Deepest", again), ERROR_SUCCESS);
  for (HKEY h : {top.h, deep.h}) {
    Key sub;
    WCHAR name[8];
    DWORD cch = 8;
    EXPECT_EQ(get(h, u"Dll").rc, ERROR_KEY_DELETED);
    EXPECT_EQ(setDword(h, u"Order", 8), ERROR_KEY_DELETED);
    EXPECT_EQ(create(h, u"New", sub), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExW(h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueW(h, u"Dll"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegFlushKey(h), ERROR_KEY_DELETED);
  }
  EXPECT_EQ(get(again, u"Dll").rc, ERROR_FILE_NOT_FOUND);  // the new key starts empty
  EXPECT_EQ(RegCloseKey(top.h), ERROR_SUCCESS);  // closing still works
  top.h = nullptr;

  // An opened key can delete itself with an empty sub-key; roots stay.
  ASSERT_EQ(RegDeleteKeyW(again, u""), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Services\\NXSrvOln\\Sub\\Deeper\\Deepest"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);

  ASSERT_EQ(RegDeleteValueW(sibling, u"DLL"), ERROR_SUCCESS);
  EXPECT_EQ(get(sibling, u"Dll").rc, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(sibling, u"Dll"), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, MalformedNamesAndNullPointersGiveClearCodes) {
  nxtest::TempDevice dev;
  Key k;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Checks", k), ERROR_SUCCESS);
  ASSERT_EQ(setDword(k, u"V", 1), ERROR_SUCCESS);
  const std::u16string name255 = longName(255), name256 = longName(256);
  const std::u16string value16383 = longName(16383, u'v'), value16384 = longName(16384, u'v');
  std::u16string tooDeep;
  for (int i = 0; i < 513; ++i) tooDeep += i ? u"\\d" : u"d";
  HKEY out = nullptr;
  DWORD cb = 4, cch = 8;
  BYTE buf[4];
  WCHAR wbuf[8];

  struct Case {
    const char* what;
    LONG expected;
    std::function<LONG()> call;
  };
  const Case cases[] = {
      {"leading backslash", ERROR_BAD_PATHNAME,
       [&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"\\Software", 0, 0, &out); }},
      {"empty component", ERROR_BAD_PATHNAME,
       [&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\\\Checks", 0, 0, &out); }},
      {"two trailing backslashes", ERROR_BAD_PATHNAME,
       [&] { return RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software\\X\\\\", 0, nullptr, 0, 0, nullptr, &out, nullptr); }},
      {"lone backslash", ERROR_BAD_PATHNAME, [&] { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"\\"); }},
      {"component of 256 characters", ERROR_FILENAME_EXCED_RANGE,
       [&] { return RegCreateKeyExW(k, name256.c_str(), 0, nullptr, 0, 0, nullptr, &out, nullptr); }},
      {"513 levels", ERROR_BAD_PATHNAME,
       [&] { return RegCreateKeyExW(k, tooDeep.c_str(), 0, nullptr, 0, 0, nullptr, &out, nullptr); }},
      {"value name of 16384 characters", ERROR_INVALID_PARAMETER,
       [&] { return setDword(k, value16384.c_str(), 1); }},
      {"query with a too long value name", ERROR_INVALID_PARAMETER,
       [&] { return RegQueryValueExW(k, value16384.c_str(), nullptr, nullptr, nullptr, &cb); }},
      {"null result of open", ERROR_INVALID_PARAMETER,
       [&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, 0, nullptr); }},
      {"null result of create", ERROR_INVALID_PARAMETER,
       [&] { return RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, nullptr, 0, 0, nullptr, nullptr, nullptr); }},
      {"null sub-key of create", ERROR_INVALID_PARAMETER,
       [&] { return RegCreateKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, 0, nullptr, &out, nullptr); }},
      {"null sub-key of delete", ERROR_INVALID_PARAMETER, [&] { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr); }},
      {"data without its size", ERROR_INVALID_PARAMETER,
       [&] { return RegQueryValueExW(k, u"V", nullptr, nullptr, buf, nullptr); }},
      {"null data with a size", ERROR_INVALID_PARAMETER,
       [&] { return RegSetValueExW(k, u"V", 0, REG_BINARY, nullptr, 4); }},
      {"data over the limit", ERROR_INVALID_PARAMETER,
       [&] { return RegSetValueExW(k, u"V", 0, REG_BINARY, buf, REG_MAX_VALUE_DATA + 1); }},
      {"enum key without a name buffer", ERROR_INVALID_PARAMETER,
       [&] { return RegEnumKeyExW(k, 0, nullptr, &cch, nullptr, nullptr, nullptr, nullptr); }},
      {"enum value without a name size", ERROR_INVALID_PARAMETER,
       [&] { return RegEnumValueW(k, 0, wbuf, nullptr, nullptr, nullptr, nullptr, nullptr); }},
      {"null handle", ERROR_INVALID_HANDLE, [&] { return RegQueryValueExW(nullptr, u"V", nullptr, nullptr, nullptr, &cb); }},
      {"made-up handle", ERROR_INVALID_HANDLE,
       [&] { return RegOpenKeyExW(reinterpret_cast<HKEY>(uintptr_t{0x1234}), u"Software", 0, 0, &out); }},
      {"unknown predefined root", ERROR_INVALID_HANDLE,
       [&] { return RegOpenKeyExW(reinterpret_cast<HKEY>(uintptr_t{0x80000005}), u"Software", 0, 0, &out); }},
      {"file handle value", ERROR_INVALID_HANDLE, [&] { return RegCloseKey(INVALID_HANDLE_VALUE); }},
  };
  for (const Case& c : cases) {
    out = nullptr;
    EXPECT_EQ(c.call(), c.expected) << c.what;
    if (out) RegCloseKey(out);
  }

  // The limits themselves are accepted, and nothing of the refused calls was stored.
  Key at255;
  EXPECT_EQ(create(k, name255.c_str(), at255), ERROR_SUCCESS);
  EXPECT_EQ(setDword(k, value16383.c_str(), 7), ERROR_SUCCESS);
  EXPECT_EQ(get(k, value16383.c_str()).dword(), 7u);
  EXPECT_EQ(get(k, u"V").dword(), 1u);
  Key trailing;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Checks\\", 0, 0, trailing.out()), ERROR_SUCCESS);
  DWORD nSub = 0;
  ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, &nSub, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(nSub, 1u);
  // The sign-extended spelling of a root names the same root.
  Key viaSignExtended;
  EXPECT_EQ(RegOpenKeyExW(reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(0x80000002u))),
                          u"Software\\Checks", 0, 0, viaSignExtended.out()),
            ERROR_SUCCESS);
}

TEST(Registry, KeyHandlesAreNeverTakenForOtherHandles) {
  nxtest::TempDevice dev;
  Key k;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Handles", k), ERROR_SUCCESS);
  EXPECT_FALSE(CloseHandle(k.h));  // not a kernel handle
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(setDword(k, u"Still", 1), ERROR_SUCCESS);

  HKEY h = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Handles", 0, 0, &h), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(h), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
  EXPECT_EQ(get(h, u"Still").rc, ERROR_INVALID_HANDLE);
  // The slot is reused by the next open; the stale handle still does not work.
  Key next;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, 0, next.out()), ERROR_SUCCESS);
  EXPECT_NE(next.h, h);
  EXPECT_EQ(get(h, u"Still").rc, ERROR_INVALID_HANDLE);
  // Predefined roots open as themselves and closing them is harmless.
  HKEY root = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, nullptr, 0, 0, &root), ERROR_SUCCESS);
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  EXPECT_EQ(RegCloseKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
  EXPECT_EQ(RegFlushKey(HKEY_CURRENT_USER), ERROR_SUCCESS);
}

// ---- The file ------------------------------------------------------------------

TEST(RegistryFile, IsReadableTextThatAnotherProcessReadsBackExactly) {
  nxtest::TempDevice dev;
  Key app;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel", app), ERROR_SUCCESS);
  ASSERT_EQ(setSz(app, u"InstallDir", u"\\Storage Card\\Apps"), ERROR_SUCCESS);

  // Names and data the text form must escape or cannot show as text.
  const std::u16string lone = std::u16string(u"lone") + char16_t(0xD800) + u"x";
  const std::u16string keyName = u"odd ] [ % \"key\" \u00e9\u0436 \U0001F600";
  Key odd;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, (u"Software\\" + keyName).c_str(), odd), ERROR_SUCCESS);
  Key badKey;
  ASSERT_EQ(create(odd, (u"tab\there" + std::u16string(1, char16_t(0xDC00))).c_str(), badKey), ERROR_SUCCESS);
  struct Val {
    std::u16string name;
    DWORD type;
    std::vector<BYTE> data;
  };
  const std::vector<Val> vals = {
      {u"sz", REG_SZ, bytesOf(u"quote \" backslash \\ newline\n cr\r tab\t bell\a \u00fc \U0001F600")},
      {u"sz without terminator", REG_SZ, bytesOf(u"abc", false)},
      {u"sz odd length", REG_SZ, {'a', 0, 'b'}},
      {u"sz embedded nul", REG_SZ, bytesOf(std::u16string(u"a\0b", 3))},
      {u"sz lone surrogate", REG_SZ, bytesOf(lone)},
      {u"expand", REG_EXPAND_SZ, bytesOf(u"%Temp%\\x")},
      {u"multi", REG_MULTI_SZ, bytesOf(std::u16string(u"one\0two\0\0", 9), false)},
      {u"multi empty list", REG_MULTI_SZ, {0, 0}},
      {u"multi empty string", REG_MULTI_SZ, {0, 0, 0, 0}},
      {u"multi unterminated", REG_MULTI_SZ, bytesOf(u"one", false)},
      {u"dword", REG_DWORD, {1, 2, 3, 0xFE}},
      {u"dword short", REG_DWORD, {1, 2, 3}},
      {u"binary", REG_BINARY, {0, 0xFF, 0x0A, '"', ']'}},
      {u"binary empty", REG_BINARY, {}},
      {u"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {u"odd type", 0xFFFFFFFFu, {9}},
      {u"", REG_SZ, bytesOf(u"default")},
      {u"name \" \\ ] % \n" + lone, REG_DWORD, {4, 0, 0, 0}},
  };
  for (const Val& v : vals)
    ASSERT_EQ(RegSetValueExW(odd, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())),
              ERROR_SUCCESS)
        << utf16ToUtf8(v.name);

  auto unitsHex = [](const std::u16string& s) {
    std::string out;
    char b[8];
    for (char16_t c : s) std::snprintf(b, sizeof b, "%04x", static_cast<unsigned>(c)), out += b;
    return out;
  };
  auto bytesHex = [](const std::vector<BYTE>& d) {
    std::string out;
    char b[4];
    for (BYTE x : d) std::snprintf(b, sizeof b, "%02x", x), out += b;
    return out;
  };
  std::string expected;
  for (const Val& v : vals)
    expected += "value " + unitsHex(v.name) + " " + std::to_string(v.type) + " " + bytesHex(v.data);
  expected += "key " + unitsHex(u"tab\there" + std::u16string(1, char16_t(0xDC00)));
  auto r = nxtest::runHelper({"reg_dump", "HKLM\\Software\\" + utf16ToUtf8(keyName)});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  std::string got = r.out;
  got.erase(std::remove(got.begin(), got.end(), '\n'), got.end());
  EXPECT_EQ(got, expected);

  const std::string text = dev.readFile(".ce/registry");
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Apps\\AntiVirus Nyxel] "), std::string::npos) << text;
  EXPECT_NE(text.find("\"InstallDir\"=sz:\"\\\\Storage Card\\\\Apps\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\u00e9\u0436 \U0001F600"), std::string::npos) << "UTF-8 kept readable";
  const size_t tail = text.rfind("crc32 ");
  ASSERT_NE(tail, std::string::npos);
  EXPECT_EQ(text.size() - tail, 15u);
}

TEST(RegistryFile, WritesKeepThePreviousFileAsBackup) {
  nxtest::TempDevice dev;
  Key k;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Backup", k), ERROR_SUCCESS);
  ASSERT_EQ(setDword(k, u"N", 1), ERROR_SUCCESS);
  const std::string first = dev.readFile(".ce/registry");
  ASSERT_EQ(setDword(k, u"N", 2), ERROR_SUCCESS);
  EXPECT_EQ(dev.readFile(".ce/registry.bak"), first);
  EXPECT_NE(dev.readFile(".ce/registry"), first);
  // A write that changes nothing leaves both files alone.
  const std::string second = dev.readFile(".ce/registry");
  ASSERT_EQ(setDword(k, u"N", 2), ERROR_SUCCESS);
  EXPECT_EQ(dev.readFile(".ce/registry"), second);
  EXPECT_EQ(dev.readFile(".ce/registry.bak"), first);
}

// ---- Several processes -----------------------------------------------------------

TEST(RegistryCrossProcess, ChangesCrossInBothDirectionsThroughOpenKeys) {
  nxtest::TempDevice dev;
  Key k;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Apps\\AntiVirus Nyxel", k), ERROR_SUCCESS);
  ASSERT_EQ(setSz(k, u"InstallDir", u"\\Storage Card\\Apps"), ERROR_SUCCESS);
  auto r = nxtest::runHelper({"reg_get", "HKLM\\software\\apps\\antivirus nyxel", "installdir"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "sz \\Storage Card\\Apps\n");

  // The key stays open here while the helper writes: no reopen is needed,
  // also when successive writes leave the file the same size.
  EXPECT_EQ(get(k, u"Shared").rc, ERROR_FILE_NOT_FOUND);
  for (int i = 0; i < 6; ++i) {
    std::string v = "value-" + std::to_string(i);
    r = nxtest::runHelper({"reg_set", "HKLM\\Software\\Apps\\AntiVirus Nyxel", "Shared", "sz", v});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(get(k, u"Shared").text(), utf8ToUtf16(v));
  }
  r = nxtest::runHelper({"reg_set", "HKLM\\Software\\Apps\\AntiVirus Nyxel\\Child", "Order", "dword", "8"});
  ASSERT_EQ(r.exitCode, 0);
  Key child;
  ASSERT_EQ(RegOpenKeyExW(k, u"Child", 0, 0, child.out()), ERROR_SUCCESS);
  EXPECT_EQ(get(child, u"Order").dword(), 8u);

  // A key deleted by the helper is deleted for the handles here.
  r = nxtest::runHelper({"reg_delete", "HKLM\\Software\\Apps\\AntiVirus Nyxel\\Child"});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(get(child, u"Order").rc, ERROR_KEY_DELETED);

  // And a key deleted here is deleted for the helper's open handle.
  nxtest::HelperProcess holder({"reg_hold", "HKLM\\Software\\Apps\\AntiVirus Nyxel", "InstallDir"});
  ASSERT_EQ(holder.readLine(), "open\n");
  ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Software\\Apps"), ERROR_SUCCESS);
  holder.writeLine("go");
  EXPECT_EQ(holder.readLine(), "query 1018\n");
  EXPECT_EQ(holder.wait(), 0);
}

TEST(RegistryCrossProcess, ConcurrentWritersLoseNoUpdate) {
  nxtest::TempDevice dev;
  constexpr int kEach = 40;
  nxtest::HelperProcess a({"reg_fill", "HKLM\\Software\\Shared", "a", std::to_string(kEach)});
  nxtest::HelperProcess b({"reg_fill", "HKLM\\Software\\Shared", "b", std::to_string(kEach)});
  Key k;
  ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Shared", k), ERROR_SUCCESS);
  for (DWORD i = 0; i < kEach; ++i) ASSERT_EQ(setDword(k, (u"t" + utf8ToUtf16(std::to_string(i))).c_str(), i), 0);
  EXPECT_EQ(a.readLine(60000), "ok\n");
  EXPECT_EQ(b.readLine(60000), "ok\n");
  EXPECT_EQ(a.wait(), 0);
  EXPECT_EQ(b.wait(), 0);
  DWORD values = 0;
  ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(values, 3u * kEach);
  for (const char* p : {"a", "b", "t"})
    for (DWORD i = 0; i < kEach; ++i) {
      Got g = get(k, utf8ToUtf16(p + std::to_string(i)).c_str());
      EXPECT_EQ(g.rc, ERROR_SUCCESS) << p << i;
      EXPECT_EQ(g.dword(), i);
    }
}

TEST(RegistryCrossProcess, WriterKilledMidWayLeavesARegistryWithOneOfItsValues) {
  constexpr size_t kPad = 30000;  // large values make a kill inside a write likely
  int insideWrite = 0;
  for (int delayMs : {0, 3, 7, 13, 23, 41, 61}) {
    nxtest::TempDevice dev;
    unsigned long acknowledged = 0;
    {
      nxtest::HelperProcess w({"reg_write_loop", "HKLM\\Software\\Loop", "Counter", std::to_string(kPad)});
      ASSERT_EQ(w.readLine(), "1\n");
      acknowledged = 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      w.kill(SIGKILL);
      EXPECT_EQ(w.wait(), 128 + SIGKILL);
      for (std::string line; !(line = w.readLine(2000)).empty();)
        if (line.back() == '\n') acknowledged = std::stoul(line);
    }
    // A temporary file left behind means the kill came inside a write.
    if (exists(dev.host(".ce/registry.tmp"))) ++insideWrite;
    auto check = [&](const std::u16string& v) {
      size_t colon = v.find(u':');
      ASSERT_NE(colon, std::u16string::npos);
      unsigned long n = std::stoul(utf16ToUtf8(v.substr(0, colon)));
      EXPECT_TRUE(n == acknowledged || n == acknowledged + 1) << n << " after " << acknowledged;
      EXPECT_EQ(v.substr(colon + 1), std::u16string(kPad, static_cast<char16_t>(u'a' + n % 26)));
    };
    Key k;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Loop", 0, 0, k.out()), ERROR_SUCCESS);
    Got g = get(k, u"Counter");
    ASSERT_EQ(g.rc, ERROR_SUCCESS);
    check(g.text());
    // A fresh process parses the same file without finding damage.
    auto r = nxtest::runHelper({"reg_get", "HKLM\\Software\\Loop", "Counter"});
    ASSERT_EQ(r.exitCode, 0);
    check(utf8ToUtf16(r.out.substr(3, r.out.size() - 4)));
    EXPECT_TRUE(damagedFiles(dev).empty()) << "delay " << delayMs;
    EXPECT_FALSE(exists(dev.host(".ce/device.log")));
  }
  RecordProperty("killed_inside_a_write", insideWrite);
}

// ---- Damage ----------------------------------------------------------------------

TEST(RegistryDamage, DamagedFileIsSetAsideReportedAndTheBackupRestored) {
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> damage;
  };
  const Case cases[] = {
      {"one byte changed", [](std::string s) { s[s.find("Kept") + 1] ^= 0x20; return s; }},
      {"cut short", [](const std::string& s) { return s.substr(0, s.size() / 2); }},
      {"last byte missing", [](const std::string& s) { return s.substr(0, s.size() - 1); }},
      {"empty", [](const std::string&) { return std::string(); }},
      {"binary garbage", [](const std::string& s) { return std::string(s.size(), '\xF7'); }},
      {"checksum line gone", [](const std::string& s) { return s.substr(0, s.rfind("crc32 ")); }},
      {"correct checksum, value outside any key",
       [](const std::string&) { return withChecksum("NXREG 1\n\"Lost\"=dword:00000001\n"); }},
      {"correct checksum, key before its parent",
       [](const std::string&) { return withChecksum("NXREG 1\n[HKEY_LOCAL_MACHINE\\A\\B] 0000000000001000\n"); }},
      {"correct checksum, bad UTF-8",
       [](const std::string&) {
         return withChecksum("NXREG 1\n[HKEY_LOCAL_MACHINE\\\xC0\xAF] 0000000000001000\n");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    nxtest::TempDevice dev;
    {
      Key k;
      ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Damage", k), ERROR_SUCCESS);
      ASSERT_EQ(setSz(k, u"Kept", u"in the backup"), ERROR_SUCCESS);
      ASSERT_EQ(setSz(k, u"Latest", u"only in the damaged file"), ERROR_SUCCESS);
    }
    const std::string damaged = c.damage(dev.readFile(".ce/registry"));
    replaceFile(dev.host(".ce/registry"), damaged);

    testing::internal::CaptureStderr();
    Key k;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Damage", 0, 0, k.out());
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(rc, ERROR_SUCCESS);
    EXPECT_EQ(get(k, u"Kept").text(), u"in the backup");
    EXPECT_EQ(get(k, u"Latest").rc, ERROR_FILE_NOT_FOUND);

    ASSERT_TRUE(exists(dev.host(".ce/registry.damaged-1")));
    EXPECT_EQ(dev.readFile(".ce/registry.damaged-1"), damaged);
    EXPECT_NE(err.find("registry.damaged-1"), std::string::npos) << err;
    const std::string log = dev.readFile(".ce/device.log");
    EXPECT_NE(log.find("registry.damaged-1"), std::string::npos) << log;
    EXPECT_NE(log.find("restored from registry.bak"), std::string::npos) << log;

    // The restored registry is whole for other processes and takes writes.
    auto r = nxtest::runHelper({"reg_get", "HKLM\\Software\\Damage", "Kept"});
    EXPECT_EQ(r.out, "sz in the backup\n");
    EXPECT_EQ(setDword(k, u"After", 1), ERROR_SUCCESS);
    EXPECT_EQ(damagedFiles(dev).size(), 1u);
  }
}

TEST(RegistryDamage, WithoutAGoodBackupTheRegistryStartsOverAndNothingIsDeleted) {
  nxtest::TempDevice dev;
  {
    Key k;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Damage", k), ERROR_SUCCESS);
    ASSERT_EQ(setSz(k, u"Value", u"x"), ERROR_SUCCESS);
  }
  const std::string badRegistry = "NXREG 1\nnot a registry\n";
  const std::string badBackup = "scrambled backup";
  replaceFile(dev.host(".ce/registry.bak"), badBackup);
  replaceFile(dev.host(".ce/registry"), badRegistry);

  testing::internal::CaptureStderr();
  Key k;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Damage", 0, 0, k.out()), ERROR_FILE_NOT_FOUND);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("registry.damaged-1"), std::string::npos) << err;
  EXPECT_NE(err.find("registry.bak.damaged-1"), std::string::npos) << err;
  EXPECT_EQ(dev.readFile(".ce/registry.damaged-1"), badRegistry);
  EXPECT_EQ(dev.readFile(".ce/registry.bak.damaged-1"), badBackup);
  // An empty registry still has the standard keys.
  Key standard;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Services", 0, 0, standard.out()), ERROR_SUCCESS);

  // A second damage, now with no backup at all, takes the next free name.
  ASSERT_EQ(::unlink(dev.host(".ce/registry.bak").c_str()), 0);
  replaceFile(dev.host(".ce/registry"), "second damage");
  testing::internal::CaptureStderr();
  Key again;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Services", 0, 0, again.out()), ERROR_SUCCESS);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(dev.readFile(".ce/registry.damaged-1"), badRegistry);
  EXPECT_EQ(dev.readFile(".ce/registry.damaged-2"), "second damage");
  const std::string log = dev.readFile(".ce/device.log");
  EXPECT_NE(log.find("registry.damaged-2"), std::string::npos) << log;
  EXPECT_NE(log.find("no backup"), std::string::npos) << log;
}

TEST(RegistryDamage, ProcessThatFindsTheDamageFirstRepairsItForAll) {
  nxtest::TempDevice dev;
  {
    Key k;
    ASSERT_EQ(create(HKEY_LOCAL_MACHINE, u"Software\\Damage", k), ERROR_SUCCESS);
    ASSERT_EQ(setSz(k, u"Kept", u"yes"), ERROR_SUCCESS);
    ASSERT_EQ(setSz(k, u"Later", u"no"), ERROR_SUCCESS);
  }
  std::string text = dev.readFile(".ce/registry");
  text[text.size() / 2] ^= 0x01;
  replaceFile(dev.host(".ce/registry"), text);
  auto r = nxtest::runHelper({"reg_get", "HKLM\\Software\\Damage", "Kept"});
  EXPECT_EQ(r.out, "sz yes\n");
  Key k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Damage", 0, 0, k.out()), ERROR_SUCCESS);
  EXPECT_EQ(get(k, u"Kept").text(), u"yes");
  EXPECT_EQ(damagedFiles(dev).size(), 1u);
  EXPECT_EQ(dev.readFile(".ce/registry.damaged-1"), text);
}
