// nxdevice reg: reads and edits the device's registry, as the handset's
// registry editors do.
//   reg get KEY            the key's values and sub-keys
//   reg get KEY NAME       one value's data alone ("" names the default value)
//   reg set KEY            creates the key
//   reg set KEY NAME VALUE [--type sz|expand_sz|dword|binary|multi_sz]
//   reg delete KEY [NAME]  a key with everything below it, or one value
// KEY starts with its root (HKLM, HKCU, HKCR or their long names); '\' or '/'
// separate the names.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "commands.h"

namespace nxdevice {
namespace {

struct Root {
  const char* shortName;
  const char* longName;
  ce::HKEY key;
};

const Root kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", ce::HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", ce::HKEY_CURRENT_USER},
    {"HKCR", "HKEY_CLASSES_ROOT", ce::HKEY_CLASSES_ROOT},
};

int regFail(const std::string& what, long code) {
  std::fprintf(stderr, "nxdevice: %s (error %ld)\n", what.c_str(), code);
  return 1;
}

bool sameNoCase(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Splits "HKLM\Services\NXSrvOln" into its root and the path below it.
bool parseKey(const std::string& text, const Root*& root, std::u16string& sub) {
  std::string t = text;
  for (char& c : t)
    if (c == '/') c = '\\';
  size_t sep = t.find('\\');
  std::string head = t.substr(0, sep);
  root = nullptr;
  for (const auto& r : kRoots)
    if (sameNoCase(head, r.shortName) || sameNoCase(head, r.longName)) root = &r;
  if (!root) {
    std::fprintf(stderr, "nxdevice: %s: a key starts with HKLM, HKCU or HKCR\n", text.c_str());
    return false;
  }
  std::string rest = sep == std::string::npos ? "" : t.substr(sep + 1);
  while (!rest.empty() && rest.back() == '\\') rest.pop_back();
  sub = ce::utf8ToUtf16(rest);
  return true;
}

std::string keyText(const Root* root, const std::u16string& sub) {
  return std::string(root->longName) + (sub.empty() ? "" : "\\" + ce::utf16ToUtf8(sub));
}

const char* typeName(ce::DWORD type) {
  switch (type) {
    case ce::REG_SZ: return "REG_SZ";
    case ce::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case ce::REG_DWORD: return "REG_DWORD";
    case ce::REG_BINARY: return "REG_BINARY";
    case ce::REG_MULTI_SZ: return "REG_MULTI_SZ";
    case ce::REG_NONE: return "REG_NONE";
    default: return "REG_UNKNOWN";
  }
}

std::u16string wideText(const std::vector<uint8_t>& data) {
  std::u16string s(data.size() / 2, u'\0');
  std::memcpy(s.data(), data.data(), s.size() * 2);
  return s;
}

// The data as text; multi-strings one per line with `sep` between them.
std::string dataText(ce::DWORD type, const std::vector<uint8_t>& data, const char* sep) {
  char buf[64];
  switch (type) {
    case ce::REG_SZ:
    case ce::REG_EXPAND_SZ: {
      std::u16string s = wideText(data);
      size_t end = s.find(u'\0');
      return ce::utf16ToUtf8(s.substr(0, end));
    }
    case ce::REG_DWORD:
      if (data.size() == 4) {
        uint32_t v;
        std::memcpy(&v, data.data(), 4);
        std::snprintf(buf, sizeof buf, "%u (0x%X)", v, v);
        return buf;
      }
      break;
    case ce::REG_MULTI_SZ: {
      std::string out;
      std::u16string s = wideText(data);
      size_t pos = 0;
      while (pos < s.size() && s[pos]) {
        size_t end = s.find(u'\0', pos);
        if (end == std::u16string::npos) end = s.size();
        if (!out.empty()) out += sep;
        out += ce::utf16ToUtf8(s.substr(pos, end - pos));
        pos = end + 1;
      }
      return out;
    }
    default:
      break;
  }
  std::string hex;
  for (uint8_t b : data) {
    std::snprintf(buf, sizeof buf, hex.empty() ? "%02x" : " %02x", b);
    hex += buf;
  }
  return hex;
}

int cmdGet(const std::string& keyArg, const std::vector<std::string>& rest) {
  const Root* root;
  std::u16string sub;
  if (!parseKey(keyArg, root, sub)) return 1;
  ce::HKEY key = nullptr;
  ce::LONG rc = ce::RegOpenKeyExW(root->key, sub.c_str(), 0, ce::KEY_READ, &key);
  if (rc != ce::ERROR_SUCCESS) return regFail("no such key " + keyText(root, sub), rc);
  int status = 0;
  if (!rest.empty()) {
    std::u16string name = ce::utf8ToUtf16(rest[0]);
    ce::DWORD type = 0, size = 0;
    rc = ce::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<uint8_t> data(size);
    if (rc == ce::ERROR_SUCCESS && size)
      rc = ce::RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
    if (rc != ce::ERROR_SUCCESS)
      status = regFail("no value " + rest[0] + " in " + keyText(root, sub), rc);
    else
      std::printf("%s\n", dataText(type, data, "\n").c_str());
    ce::RegCloseKey(key);
    return status;
  }
  std::printf("%s\n", keyText(root, sub).c_str());
  for (ce::DWORD i = 0;; ++i) {
    ce::WCHAR name[ce::REG_MAX_KEY_NAME + 1];
    ce::DWORD cch = ce::REG_MAX_KEY_NAME + 1;
    ce::DWORD type = 0, size = 0;
    // Names first, then the data in a buffer of the size it reported.
    rc = ce::RegEnumValueW(key, i, name, &cch, nullptr, &type, nullptr, &size);
    if (rc == ce::ERROR_NO_MORE_ITEMS) break;
    if (rc != ce::ERROR_SUCCESS) {
      status = regFail("cannot list the values of " + keyText(root, sub), rc);
      break;
    }
    std::vector<uint8_t> data(size);
    if (size) ce::RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    std::string shown = cch ? ce::utf16ToUtf8(std::u16string(name, cch)) : "(Default)";
    std::printf("    %-20s %-14s %s\n", shown.c_str(), typeName(type), dataText(type, data, " | ").c_str());
  }
  for (ce::DWORD i = 0;; ++i) {
    ce::WCHAR name[ce::REG_MAX_KEY_NAME + 1];
    ce::DWORD cch = ce::REG_MAX_KEY_NAME + 1;
    rc = ce::RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (rc != ce::ERROR_SUCCESS) break;
    std::printf("    %s\\\n", ce::utf16ToUtf8(std::u16string(name, cch)).c_str());
  }
  ce::RegCloseKey(key);
  return status;
}

bool encodeValue(const std::string& type, const std::vector<std::string>& values, ce::DWORD& regType,
                 std::vector<uint8_t>& data) {
  auto wide = [&](const std::string& s) {
    std::u16string w = ce::utf8ToUtf16(s);
    const size_t at = data.size();
    data.resize(at + (w.size() + 1) * 2);
    std::memcpy(data.data() + at, w.c_str(), (w.size() + 1) * 2);
  };
  if (type == "sz" || type == "expand_sz") {
    if (values.size() != 1) return false;
    regType = type == "sz" ? ce::REG_SZ : ce::REG_EXPAND_SZ;
    wide(values[0]);
    return true;
  }
  if (type == "multi_sz") {
    regType = ce::REG_MULTI_SZ;
    for (const auto& v : values) wide(v);
    data.push_back(0);
    data.push_back(0);
    return true;
  }
  if (type == "dword") {
    if (values.size() != 1 || values[0].empty()) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(values[0].c_str(), &end, 0);
    if (errno || *end || values[0][0] == '-' || v > 0xFFFFFFFFull) return false;
    regType = ce::REG_DWORD;
    uint32_t d = static_cast<uint32_t>(v);
    data.resize(4);
    std::memcpy(data.data(), &d, 4);
    return true;
  }
  if (type == "binary") {
    regType = ce::REG_BINARY;
    std::string hex;
    for (const auto& v : values)
      for (char c : v)
        if (c != ' ' && c != ',') hex += c;
    if (hex.size() % 2) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
      char* end = nullptr;
      std::string byte = hex.substr(i, 2);
      unsigned long b = std::strtoul(byte.c_str(), &end, 16);
      if (*end) return false;
      data.push_back(static_cast<uint8_t>(b));
    }
    return true;
  }
  return false;
}

int cmdSet(const std::string& keyArg, const std::vector<std::string>& rest, const std::string& type) {
  const Root* root;
  std::u16string sub;
  if (!parseKey(keyArg, root, sub)) return 1;
  ce::DWORD regType = 0;
  std::vector<uint8_t> data;
  if (rest.size() == 1 || (rest.size() >= 2 && !encodeValue(type, {rest.begin() + 1, rest.end()}, regType, data))) {
    std::fprintf(stderr, "nxdevice: reg set KEY NAME VALUE: a value of type %s is wanted\n", type.c_str());
    return 1;
  }
  ce::HKEY key = nullptr;
  ce::LONG rc = ce::RegCreateKeyExW(root->key, sub.c_str(), 0, nullptr, 0, ce::KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ce::ERROR_SUCCESS) return regFail("cannot create " + keyText(root, sub), rc);
  if (!rest.empty()) {
    std::u16string name = ce::utf8ToUtf16(rest[0]);
    rc = ce::RegSetValueExW(key, name.c_str(), 0, regType, data.data(), static_cast<ce::DWORD>(data.size()));
  }
  ce::RegCloseKey(key);
  if (rc != ce::ERROR_SUCCESS) return regFail("cannot write " + rest[0] + " in " + keyText(root, sub), rc);
  return 0;
}

int cmdDelete(const std::string& keyArg, const std::vector<std::string>& rest) {
  const Root* root;
  std::u16string sub;
  if (!parseKey(keyArg, root, sub)) return 1;
  if (rest.size() > 1) {
    std::fprintf(stderr, "nxdevice: reg delete KEY [NAME]\n");
    return 1;
  }
  if (rest.empty()) {
    if (sub.empty()) return regFail("a root key cannot be deleted", ce::ERROR_ACCESS_DENIED);
    ce::LONG rc = ce::RegDeleteKeyW(root->key, sub.c_str());
    return rc == ce::ERROR_SUCCESS ? 0 : regFail("cannot delete " + keyText(root, sub), rc);
  }
  ce::HKEY key = nullptr;
  ce::LONG rc = ce::RegOpenKeyExW(root->key, sub.c_str(), 0, ce::KEY_ALL_ACCESS, &key);
  if (rc != ce::ERROR_SUCCESS) return regFail("no such key " + keyText(root, sub), rc);
  std::u16string name = ce::utf8ToUtf16(rest[0]);
  rc = ce::RegDeleteValueW(key, name.c_str());
  ce::RegCloseKey(key);
  return rc == ce::ERROR_SUCCESS ? 0 : regFail("cannot delete " + rest[0] + " in " + keyText(root, sub), rc);
}

struct Options {
  std::string key;
  std::vector<std::string> rest;
  std::string type = "sz";
} opts;

}  // namespace

void addRegistryCommands(CLI::App& app, Context& ctx) {
  auto* reg = app.add_subcommand("reg", "read and edit the device's registry");
  reg->require_subcommand(1);
  auto addKeyArgs = [](CLI::App* c, const char* restHelp) {
    c->add_option("KEY", opts.key, "key, starting with HKLM, HKCU or HKCR")->required();
    c->add_option("ARGS", opts.rest, restHelp);
  };
  auto* get = reg->add_subcommand("get", "print a key (its values and sub-keys) or one value's data");
  addKeyArgs(get, "NAME: a value of the key (\"\" names the default value)");
  get->callback([&ctx] {
    ctx.status = attach(ctx.root) ? cmdGet(opts.key, opts.rest) : 1;
  });
  auto* set = reg->add_subcommand("set", "create a key, or write a value: set KEY NAME VALUE...");
  addKeyArgs(set, "NAME VALUE...: the value and its data (several for multi_sz)");
  set->add_option("--type", opts.type, "sz (default), expand_sz, dword, binary or multi_sz")
      ->check(CLI::IsMember({"sz", "expand_sz", "dword", "binary", "multi_sz"}));
  set->callback([&ctx] { ctx.status = attach(ctx.root) ? cmdSet(opts.key, opts.rest, opts.type) : 1; });
  auto* del = reg->add_subcommand("delete", "delete a key with everything below it, or one value");
  addKeyArgs(del, "NAME: the value to delete");
  del->callback([&ctx] { ctx.status = attach(ctx.root) ? cmdDelete(opts.key, opts.rest) : 1; });
}

}  // namespace nxdevice
