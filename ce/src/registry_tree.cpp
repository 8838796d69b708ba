#include "registry_tree.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "ce/registry.h"
#include "ce/text.h"

namespace ce::detail::reg {

// ---- Tree -------------------------------------------------------------------

Key* Key::findSubkey(std::u16string_view n) const {
  for (const auto& k : subkeys)
    if (equalsNoCase(k->name, n)) return k.get();
  return nullptr;
}

Value* Key::findValue(std::u16string_view n) {
  for (auto& v : values)
    if (equalsNoCase(v.name, n)) return &v;
  return nullptr;
}

namespace {

const char* const kRootNames[kRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

uint64_t randomId() {
  uint64_t v = 0;
  while (v < kFirstKeyId) {
    if (::getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) {
      // No entropy source: a counter mixed with the address space is still
      // unique within the process, which is where ids are compared.
      static uint64_t fallback = reinterpret_cast<uintptr_t>(&fallback) * 0x9E3779B97F4A7C15ull;
      v = ++fallback;
    }
  }
  return v;
}

}  // namespace

const char* rootName(int index) { return kRootNames[index]; }

Tree::Tree() {
  for (int i = 0; i < kRootCount; ++i) {
    roots_[i] = std::make_unique<Key>();
    roots_[i]->name = utf8ToUtf16(kRootNames[i]);
    roots_[i]->id = static_cast<uint64_t>(i + 1);
    byId_[roots_[i]->id] = roots_[i].get();
  }
}

Key* Tree::byId(uint64_t id) const {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : it->second;
}

Key* Tree::addSubkey(Key* parent, std::u16string name, uint64_t id) {
  if (id == 0) {
    do id = randomId();
    while (byId_.count(id));
  } else if (id < kFirstKeyId || byId_.count(id)) {
    return nullptr;
  }
  auto k = std::make_unique<Key>();
  k->name = std::move(name);
  k->id = id;
  k->parent = parent;
  Key* raw = k.get();
  parent->subkeys.push_back(std::move(k));
  byId_[id] = raw;
  return raw;
}

void Tree::forget(Key* key) {
  std::vector<Key*> stack{key};
  while (!stack.empty()) {
    Key* k = stack.back();
    stack.pop_back();
    byId_.erase(k->id);
    for (auto& s : k->subkeys) stack.push_back(s.get());
  }
}

void Tree::removeKey(Key* key) {
  Key* parent = key->parent;
  if (!parent) return;  // roots stay
  forget(key);
  auto& v = parent->subkeys;
  v.erase(std::remove_if(v.begin(), v.end(), [&](const std::unique_ptr<Key>& p) { return p.get() == key; }), v.end());
}

void addStandardKeys(Tree& tree) {
  struct Std {
    int root;
    const char16_t* name;
  };
  static const Std kStd[] = {{2, u"Software"}, {2, u"Services"}, {2, u"System"}, {1, u"Software"}};
  for (const Std& s : kStd) {
    Key* r = tree.root(s.root);
    if (!r->findSubkey(s.name)) tree.addSubkey(r, s.name);
  }
}

// ---- CRC-32 (IEEE 802.3, reflected, as zlib computes it) --------------------

uint32_t crc32(const void* data, size_t size) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int b = 0; b < 8; ++b) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) c = table[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// ---- Text form ----------------------------------------------------------------

namespace {

constexpr std::string_view kHeader = "NXREG 1\n";
constexpr std::string_view kComment =
    "# Device registry. The last line is a CRC-32 of everything above it: a file\n"
    "# edited by hand is taken for damaged and set aside.\n";
const char kHex[] = "0123456789ABCDEF";

void putHex4(std::string& out, char16_t c) {
  for (int s = 12; s >= 0; s -= 4) out += kHex[(c >> s) & 0xF];
}

void putUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool isHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool isLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Writes UTF-16 text as UTF-8; `escapeUnit` decides which units are written
// as an escape instead (control characters, unpaired surrogates, delimiters),
// so that every string survives the round trip unit for unit.
template <class Escape>
void putText(std::string& out, std::u16string_view s, Escape escapeUnit) {
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (isHigh(c) && i + 1 < s.size() && isLow(s[i + 1])) {
      putUtf8(out, 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else if (!escapeUnit(out, c)) {
      putUtf8(out, c);
    }
  }
}

bool needsUnitEscape(char16_t c) { return c < 0x20 || c == 0x7F || isHigh(c) || isLow(c); }

void putQuoted(std::string& out, std::u16string_view s) {
  out += '"';
  putText(out, s, [](std::string& o, char16_t c) {
    switch (c) {
      case u'\\': o += "\\\\"; return true;
      case u'"': o += "\\\""; return true;
      case u'\n': o += "\\n"; return true;
      case u'\r': o += "\\r"; return true;
      case u'\t': o += "\\t"; return true;
      default: break;
    }
    if (!needsUnitEscape(c)) return false;
    o += "\\u";
    putHex4(o, c);
    return true;
  });
  out += '"';
}

// Key path components are written between brackets and separated by
// backslashes, which names never hold; '%' starts an escape there.
void putComponent(std::string& out, std::u16string_view s) {
  putText(out, s, [](std::string& o, char16_t c) {
    if (c != u'%' && c != u']' && !needsUnitEscape(c)) return false;
    o += '%';
    putHex4(o, c);
    return true;
  });
}

void putBytesHex(std::string& out, const std::vector<uint8_t>& d) {
  out.reserve(out.size() + d.size() * 2);
  for (uint8_t b : d) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
}

std::u16string unitsOf(const std::vector<uint8_t>& d) {
  std::u16string s(d.size() / 2, u'\0');
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(d[2 * i] | (d[2 * i + 1] << 8));
  return s;
}

void appendUnits(std::vector<uint8_t>& d, std::u16string_view s) {
  for (char16_t c : s) {
    d.push_back(static_cast<uint8_t>(c & 0xFF));
    d.push_back(static_cast<uint8_t>(c >> 8));
  }
}

// A string value with exactly one terminator and no other NUL.
bool wellFormedSz(const std::vector<uint8_t>& d, std::u16string& s) {
  if (d.size() < 2 || d.size() % 2) return false;
  s = unitsOf(d);
  if (s.back() != 0) return false;
  s.pop_back();
  return s.find(u'\0') == std::u16string::npos;
}

// A list of non-empty strings, each terminated, closed by one more NUL.
bool wellFormedMulti(const std::vector<uint8_t>& d, std::vector<std::u16string>& list) {
  if (d.size() < 2 || d.size() % 2) return false;
  std::u16string s = unitsOf(d);
  if (s.back() != 0) return false;
  s.pop_back();
  size_t pos = 0;
  while (pos < s.size()) {
    size_t end = s.find(u'\0', pos);
    if (end == std::u16string::npos || end == pos) return false;
    list.emplace_back(s.substr(pos, end - pos));
    pos = end + 1;
  }
  return true;
}

void putValue(std::string& out, const Value& v) {
  putQuoted(out, v.name);
  out += '=';
  std::u16string s;
  std::vector<std::u16string> list;
  if ((v.type == REG_SZ || v.type == REG_EXPAND_SZ) && wellFormedSz(v.data, s)) {
    out += v.type == REG_SZ ? "sz:" : "expand_sz:";
    putQuoted(out, s);
  } else if (v.type == REG_DWORD && v.data.size() == 4) {
    uint32_t x = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
    out += "dword:";
    for (int sh = 28; sh >= 0; sh -= 4) out += kHex[(x >> sh) & 0xF];
  } else if (v.type == REG_MULTI_SZ && wellFormedMulti(v.data, list)) {
    out += "multi_sz:";
    for (size_t i = 0; i < list.size(); ++i) {
      if (i) out += ',';
      putQuoted(out, list[i]);
    }
  } else if (v.type == REG_BINARY) {
    out += "binary:";
    putBytesHex(out, v.data);
  } else {
    out += "hex(" + std::to_string(v.type) + "):";
    putBytesHex(out, v.data);
  }
  out += '\n';
}

}  // namespace

std::string serialize(const Tree& tree) {
  std::string out;
  out += kHeader;
  out += kComment;
  struct Item {
    const Key* key;
    size_t pathLen;  // length of the parent's path in `path`
  };
  std::string path;
  for (int r = 0; r < kRootCount; ++r) {
    std::vector<Item> stack{{tree.root(r), 0}};
    while (!stack.empty()) {
      Item it = stack.back();
      stack.pop_back();
      path.resize(it.pathLen);
      if (it.key->parent) {
        path += '\\';
        putComponent(path, it.key->name);
      } else {
        path = rootName(r);
      }
      out += '[';
      out += path;
      out += ']';
      if (it.key->parent) {
        out += ' ';
        for (int sh = 60; sh >= 0; sh -= 4) out += kHex[(it.key->id >> sh) & 0xF];
      }
      out += '\n';
      for (const Value& v : it.key->values) putValue(out, v);
      const size_t len = path.size();
      for (auto s = it.key->subkeys.rbegin(); s != it.key->subkeys.rend(); ++s) stack.push_back({s->get(), len});
    }
  }
  char tail[32];
  std::snprintf(tail, sizeof tail, "crc32 %08X\n", crc32(out.data(), out.size()));
  out += tail;
  return out;
}

// ---- Parser -------------------------------------------------------------------

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool readHex(std::string_view s, size_t& pos, int digits, uint64_t& v) {
  if (pos + static_cast<size_t>(digits) > s.size()) return false;
  v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = hexDigit(s[pos++]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint64_t>(d);
  }
  return true;
}

// Decodes one UTF-8 sequence strictly (no overlong forms, no surrogates).
bool readUtf8(std::string_view s, size_t& pos, std::u16string& out) {
  auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  uint8_t c = b(pos);
  uint32_t cp;
  size_t n;
  if (c < 0x80) {
    out += static_cast<char16_t>(c);
    ++pos;
    return true;
  } else if ((c & 0xE0) == 0xC0) {
    cp = c & 0x1F, n = 1;
  } else if ((c & 0xF0) == 0xE0) {
    cp = c & 0x0F, n = 2;
  } else if ((c & 0xF8) == 0xF0) {
    cp = c & 0x07, n = 3;
  } else {
    return false;
  }
  for (size_t i = 1; i <= n; ++i) {
    if (pos + i >= s.size() || (b(pos + i) & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b(pos + i) & 0x3F);
  }
  static const uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  pos += n + 1;
  if (cp >= 0x10000) {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  } else {
    out += static_cast<char16_t>(cp);
  }
  return true;
}

bool readQuoted(std::string_view s, size_t& pos, std::u16string& out, size_t maxUnits) {
  if (pos >= s.size() || s[pos] != '"') return false;
  ++pos;
  out.clear();
  while (pos < s.size()) {
    char c = s[pos];
    if (c == '"') {
      ++pos;
      return true;
    }
    if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) return false;  // always escaped by the writer
    if (c == '\\') {
      if (++pos >= s.size()) return false;
      char e = s[pos++];
      switch (e) {
        case '\\': out += u'\\'; break;
        case '"': out += u'"'; break;
        case 'n': out += u'\n'; break;
        case 'r': out += u'\r'; break;
        case 't': out += u'\t'; break;
        case 'u': {
          uint64_t v;
          if (!readHex(s, pos, 4, v)) return false;
          out += static_cast<char16_t>(v);
          break;
        }
        default: return false;
      }
    } else if (!readUtf8(s, pos, out)) {
      return false;
    }
    if (out.size() > maxUnits) return false;
  }
  return false;
}

bool readComponent(std::string_view s, std::u16string& out) {
  out.clear();
  size_t pos = 0;
  while (pos < s.size()) {
    if (s[pos] == '%') {
      ++pos;
      uint64_t v;
      if (!readHex(s, pos, 4, v)) return false;
      out += static_cast<char16_t>(v);
    } else {
      if (static_cast<uint8_t>(s[pos]) < 0x20 || s[pos] == 0x7F) return false;
      if (!readUtf8(s, pos, out)) return false;
    }
    if (out.size() > REG_MAX_KEY_NAME) return false;
  }
  return !out.empty();
}

bool readBytesHex(std::string_view s, std::vector<uint8_t>& out) {
  if (s.size() % 2 || s.size() / 2 > REG_MAX_VALUE_DATA) return false;
  out.resize(s.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) {
    int hi = hexDigit(s[2 * i]), lo = hexDigit(s[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>((hi << 4) | lo);
  }
  return true;
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

bool parseKeyLine(std::string_view line, Tree& tree, Key*& current, std::string& why) {
  size_t close = line.find(']');
  if (close == std::string_view::npos) return why = "unterminated key path", false;
  std::string_view path = line.substr(1, close - 1);
  std::string_view rest = line.substr(close + 1);
  size_t sep = path.find('\\');
  std::string_view rootPart = path.substr(0, sep);
  int root = -1;
  for (int r = 0; r < kRootCount; ++r)
    if (rootPart == kRootNames[r]) root = r;
  if (root < 0) return why = "unknown root", false;
  Key* k = tree.root(root);
  if (sep == std::string_view::npos) {
    if (!rest.empty()) return why = "root key with an id", false;
    current = k;
    return true;
  }
  std::string_view tail = path.substr(sep + 1);
  std::u16string comp;
  uint32_t depth = 0;
  for (;;) {
    size_t next = tail.find('\\');
    if (!readComponent(tail.substr(0, next), comp)) return why = "bad key name", false;
    if (++depth > REG_MAX_KEY_DEPTH) return why = "key too deep", false;
    Key* sub = k->findSubkey(comp);
    if (next == std::string_view::npos) {
      if (sub) return why = "key listed twice", false;
      uint64_t id;
      size_t pos = 1;
      if (rest.size() != 17 || rest[0] != ' ' || !readHex(rest, pos, 16, id)) return why = "bad key id", false;
      current = tree.addSubkey(k, comp, id);
      if (!current) return why = "duplicate key id", false;
      return true;
    }
    if (!sub) return why = "key listed before its parent", false;
    k = sub;
    tail = tail.substr(next + 1);
  }
}

bool parseValueLine(std::string_view line, Key* current, std::string& why) {
  if (!current) return why = "value outside a key", false;
  Value v;
  size_t pos = 0;
  if (!readQuoted(line, pos, v.name, REG_MAX_VALUE_NAME)) return why = "bad value name", false;
  if (current->findValue(v.name)) return why = "value listed twice", false;
  if (pos >= line.size() || line[pos] != '=') return why = "missing '='", false;
  std::string_view body = line.substr(pos + 1);
  auto quotedOnly = [&](std::string_view s, std::u16string& out) {
    size_t p = 0;
    return readQuoted(s, p, out, REG_MAX_VALUE_DATA / 2 - 1) && p == s.size();
  };
  std::u16string s;
  if (startsWith(body, "sz:") || startsWith(body, "expand_sz:")) {
    v.type = body[0] == 's' ? REG_SZ : REG_EXPAND_SZ;
    if (!quotedOnly(body.substr(body.find(':') + 1), s)) return why = "bad string value", false;
    appendUnits(v.data, s);
    appendUnits(v.data, std::u16string(1, u'\0'));
  } else if (startsWith(body, "dword:")) {
    v.type = REG_DWORD;
    uint64_t x;
    size_t p = 6;
    if (body.size() != 14 || !readHex(body, p, 8, x)) return why = "bad dword value", false;
    for (int i = 0; i < 4; ++i) v.data.push_back(static_cast<uint8_t>(x >> (8 * i)));
  } else if (startsWith(body, "multi_sz:")) {
    v.type = REG_MULTI_SZ;
    size_t p = 9;
    while (p < body.size()) {
      if (!readQuoted(body, p, s, REG_MAX_VALUE_DATA / 2) || s.empty()) return why = "bad string list", false;
      appendUnits(v.data, s);
      appendUnits(v.data, std::u16string(1, u'\0'));
      if (v.data.size() > REG_MAX_VALUE_DATA) return why = "value too large", false;
      if (p == body.size()) break;
      if (body[p++] != ',' || p == body.size()) return why = "bad string list", false;
    }
    appendUnits(v.data, std::u16string(1, u'\0'));
  } else if (startsWith(body, "binary:")) {
    v.type = REG_BINARY;
    if (!readBytesHex(body.substr(7), v.data)) return why = "bad binary value", false;
  } else if (startsWith(body, "hex(")) {
    size_t close = body.find("):");
    if (close == std::string_view::npos || close < 5 || close > 14) return why = "bad value type", false;
    uint64_t type = 0;
    for (size_t i = 4; i < close; ++i) {
      if (body[i] < '0' || body[i] > '9') return why = "bad value type", false;
      type = type * 10 + static_cast<uint64_t>(body[i] - '0');
    }
    if (type > 0xFFFFFFFFu) return why = "bad value type", false;
    v.type = static_cast<DWORD>(type);
    if (!readBytesHex(body.substr(close + 2), v.data)) return why = "bad value data", false;
  } else {
    return why = "unknown value type", false;
  }
  if (v.data.size() > REG_MAX_VALUE_DATA) return why = "value too large", false;
  current->values.push_back(std::move(v));
  return true;
}

}  // namespace

bool parse(std::string_view text, Tree& out, std::string& why) {
  if (text.empty() || text.back() != '\n') return why = "truncated", false;
  size_t lastStart = text.rfind('\n', text.size() - 2);
  lastStart = lastStart == std::string_view::npos ? 0 : lastStart + 1;
  std::string_view last = text.substr(lastStart, text.size() - 1 - lastStart);
  uint64_t sum;
  size_t p = 6;
  if (last.size() != 14 || !startsWith(last, "crc32 ") || !readHex(last, p, 8, sum))
    return why = "no checksum line", false;
  std::string_view body = text.substr(0, lastStart);
  if (crc32(body.data(), body.size()) != sum) return why = "checksum mismatch", false;
  if (!startsWith(body, kHeader)) return why = "unknown header", false;

  Key* current = nullptr;
  size_t pos = kHeader.size();
  while (pos < body.size()) {
    size_t nl = body.find('\n', pos);  // the body ends in '\n'
    std::string_view line = body.substr(pos, nl - pos);
    pos = nl + 1;
    if (line.empty() || line[0] == '#') continue;
    bool ok = line[0] == '[' ? parseKeyLine(line, out, current, why)
              : line[0] == '"' ? parseValueLine(line, current, why)
                               : (why = "unexpected line", false);
    if (!ok) return false;
  }
  return true;
}

}  // namespace ce::detail::reg
