// The format table, the driver steps shared by the command line and the tests, and the helpers
// every format uses.
#include "formats.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "common/crc32.h"
#include "common/signature_constants.h"

namespace nxsig {

namespace {

std::vector<Format>& table() {
  static std::vector<Format> t;
  return t;
}

// ---- "scanver.cnf": engine version and database date ------------------------------------
constexpr std::size_t kVersionSize = 20;

int dayOfWeek(int y, int m, int d) {  // 0 = Sunday
  static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (m < 3) y -= 1;
  return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysIn(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : d[m - 1];
}

Bytes encodeVersion(const Json& v) {
  if (!v.is_object()) throw Error("version: must be an object");
  for (auto it = v.begin(); it != v.end(); ++it)
    if (it.key() != "engine" && it.key() != "database") throw Error("version: unknown member \"" + it.key() + "\"");
  if (!v.contains("engine") || !v["engine"].is_array() || v["engine"].size() != 2)
    throw Error("version: \"engine\" must be [major, minor]");
  if (!v.contains("database") || !v["database"].is_string())
    throw Error("version: \"database\" must be \"YYYY-MM-DDTHH:MM:SS\"");
  unsigned major = unsigned(parseNumber(v["engine"][0], "version: engine major", 0, 0xFFFF));
  unsigned minor = unsigned(parseNumber(v["engine"][1], "version: engine minor", 0, 0xFFFF));
  const std::string s = v["database"].get<std::string>();
  int y, mo, d, h, mi, se;
  char tail;
  if (s.size() != 19 || std::sscanf(s.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &se, &tail) != 6 ||
      y < 1601 || y > 30827 || mo < 1 || mo > 12 || d < 1 || d > daysIn(y, mo) || h > 23 || mi > 59 || se > 59 ||
      h < 0 || mi < 0 || se < 0)
    throw Error("version: \"database\" is not a valid \"YYYY-MM-DDTHH:MM:SS\": " + s);
  Bytes out(kVersionSize, 0);
  const std::uint16_t fields[10] = {std::uint16_t(major), std::uint16_t(minor), std::uint16_t(y),
                                    std::uint16_t(mo), std::uint16_t(dayOfWeek(y, mo, d)), std::uint16_t(d),
                                    std::uint16_t(h), std::uint16_t(mi), std::uint16_t(se), 0};
  for (int i = 0; i < 10; ++i) put16(&out[2 * i], fields[i]);
  return out;
}

Json decodeVersion(const Bytes& b) {
  if (b.size() != kVersionSize) throw Error("scanver.cnf: must be 20 bytes, has " + std::to_string(b.size()));
  auto f = [&](int i) { return unsigned(get16(&b[2 * i])); };
  char date[64];
  std::snprintf(date, sizeof date, "%04u-%02u-%02uT%02u:%02u:%02u", f(2), f(3), f(5), f(6), f(7), f(8));
  Json v = Json::object();
  v["engine"] = Json::array({f(0), f(1)});
  v["database"] = date;
  return v;
}

const std::set<std::string>& knownMembers() {
  static const std::set<std::string> m = {"version", "pe", "poly", "wince", "epoc", "store"};
  return m;
}

}  // namespace

bool registerFormat(const Format& format) {
  table().push_back(format);
  return true;
}

std::vector<Format> formats() {
  std::vector<Format> f = table();
  std::stable_sort(f.begin(), f.end(), [](const Format& a, const Format& b) { return a.order < b.order; });
  return f;
}

// ---- Driver ------------------------------------------------------------------------------
BuildResult buildAll(const std::vector<Json>& sources, const fs::path& outDir) {
  std::map<std::string, Json> merged;
  const Json* version = nullptr;
  std::set<std::string> known = knownMembers();
  for (const Format& f : formats()) known.insert(f.member);
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const Json& src = sources[i];
    if (!src.is_object()) throw Error("source " + std::to_string(i + 1) + ": must be a JSON object");
    for (auto it = src.begin(); it != src.end(); ++it) {
      if (!known.count(it.key())) throw Error("source " + std::to_string(i + 1) + ": unknown member \"" + it.key() + "\"");
      if (it.key() == "version") {
        if (version && *version != it.value()) throw Error("version: sources disagree on the version");
        version = &it.value();
        continue;
      }
      if (!it.value().is_array()) throw Error(it.key() + ": must be an array of records");
      Json& dst = merged[it.key()];
      if (dst.is_null()) dst = Json::array();
      for (const Json& r : it.value()) dst.push_back(r);
    }
  }
  for (auto& [member, records] : merged) {
    bool handled = false;
    for (const Format& f : formats()) handled = handled || member == f.member;
    if (!handled) throw Error(member + ": this build of nxsig has no writer for the member");
  }
  Bytes versionBytes;
  if (version) versionBytes = encodeVersion(*version);

  // Everything is written into a staging folder first, so a record rejected by a later format
  // leaves the output folder as it was. Folders made for it go again then: a refused build
  // leaves no empty output folder behind either.
  std::error_code ec;
  fs::path made;  // the outermost folder this build creates, if any
  for (fs::path p = fs::absolute(outDir, ec).lexically_normal(); !p.empty() && !fs::exists(p, ec);
       p = p.parent_path()) {
    made = p;
    if (p == p.parent_path()) break;
  }
  fs::create_directories(outDir, ec);
  if (ec) throw Error("cannot create " + outDir.string() + ": " + ec.message());
  fs::path staging = outDir / ".nxsig-staging";
  fs::remove_all(staging, ec);
  fs::create_directories(staging, ec);
  if (ec) throw Error("cannot create " + staging.string() + ": " + ec.message());
  try {
    for (const Format& f : formats()) {
      auto it = merged.find(f.member);
      f.build(it == merged.end() ? Json::array() : it->second, staging);
    }
    if (version) writeFile(staging / "scanver.cnf", versionBytes);
  } catch (...) {
    fs::remove_all(staging, ec);
    if (!made.empty()) fs::remove_all(made, ec);
    throw;
  }
  BuildResult result;
  for (const auto& entry : fs::directory_iterator(staging)) result.written.push_back(entry.path().filename().string());
  std::sort(result.written.begin(), result.written.end());
  for (const std::string& name : result.written) {
    fs::rename(staging / name, outDir / name, ec);
    if (ec) throw Error("cannot move " + (staging / name).string() + ": " + ec.message());
  }
  fs::remove_all(staging, ec);

  // A table left from an older build would go on loading beside the new ones: a signature taken
  // out of the sources would keep detecting. The handset ignores letter case in file names, so a
  // differently spelt copy of a table just written goes too.
  std::vector<std::string> owned;
  for (const Format& f : formats())
    if (f.files)
      for (std::string& name : f.files()) owned.push_back(std::move(name));
  std::vector<fs::path> stale;
  for (const auto& entry : fs::directory_iterator(outDir, ec)) {
    const std::string name = entry.path().filename().string();
    if (std::find(result.written.begin(), result.written.end(), name) != result.written.end()) continue;
    if (std::none_of(owned.begin(), owned.end(), [&](const std::string& o) { return sameFileName(name, o); })) continue;
    std::error_code kind;
    if (entry.is_regular_file(kind) || entry.is_symlink(kind)) stale.push_back(entry.path());
  }
  if (ec) throw Error("cannot list " + outDir.string() + ": " + ec.message());
  std::sort(stale.begin(), stale.end());
  for (const fs::path& p : stale) {
    fs::remove(p, ec);
    if (ec) throw Error("cannot remove " + p.string() + ": " + ec.message());
    result.removed.push_back(p.filename().string());
  }
  return result;
}

Json dumpAll(const fs::path& dir) {
  if (!fs::is_directory(dir)) throw Error(dir.string() + ": not a folder");
  Json out = Json::object();
  Bytes v;
  if (readFile(dir / "scanver.cnf", v, 1 << 16)) out["version"] = decodeVersion(v);
  for (const Format& f : formats()) {
    Json records = f.dump(dir);
    if (!records.empty()) out[f.member] = std::move(records);
  }
  return out;
}

Json learnRecord(const std::string& kind, const Bytes& sample, const std::string& tableName,
                 const std::string& name, std::vector<std::string>* notes) {
  std::vector<std::string> own;
  for (const Format& f : formats())
    if (f.learnKind && f.learn && kind == f.learnKind) return f.learn(sample, tableName, name, notes ? *notes : own);
  throw Error("learn: unknown kind \"" + kind + "\"");
}

// ---- Helpers -----------------------------------------------------------------------------
std::string recordLabel(std::string_view member, std::size_t index, const Json& record) {
  std::string s = std::string(member) + "[" + std::to_string(index) + "]";
  if (record.is_object() && record.contains("name") && record["name"].is_string())
    s += " (" + record["name"].get<std::string>() + ")";
  return s;
}

std::uint64_t parseNumber(const Json& value, std::string_view what, std::uint64_t min, std::uint64_t max) {
  std::uint64_t v = 0;
  if (value.is_number_unsigned()) {
    v = value.get<std::uint64_t>();
  } else if (value.is_number_integer()) {
    std::int64_t s = value.get<std::int64_t>();
    if (s < 0) throw Error(std::string(what) + ": negative value " + std::to_string(s));
    v = std::uint64_t(s);
  } else if (value.is_string()) {
    const std::string s = value.get<std::string>();
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const char* p = s.c_str() + (hex ? 2 : 0);
    if (*p == '\0') throw Error(std::string(what) + ": \"" + s + "\" is not a number");
    for (const char* q = p; *q; ++q)
      if (!(hex ? std::isxdigit(static_cast<unsigned char>(*q)) : std::isdigit(static_cast<unsigned char>(*q))))
        throw Error(std::string(what) + ": \"" + s + "\" is not a number");
    errno = 0;
    char* end = nullptr;
    unsigned long long u = std::strtoull(p, &end, hex ? 16 : 10);
    if (errno == ERANGE) throw Error(std::string(what) + ": \"" + s + "\" is too large");
    v = u;
  } else {
    throw Error(std::string(what) + ": must be a number or a \"0x...\" string");
  }
  if (v < min || v > max)
    throw Error(std::string(what) + ": " + std::to_string(v) + " is outside " + std::to_string(min) + ".." +
                std::to_string(max));
  return v;
}

std::uint64_t numberMember(const Json& record, const char* key, std::string_view what, std::uint64_t min,
                           std::uint64_t max, std::uint64_t def) {
  if (!record.contains(key)) return def;
  return parseNumber(record[key], std::string(what) + ": " + key, min, max);
}

std::uint64_t requiredNumber(const Json& record, const char* key, std::string_view what, std::uint64_t min,
                             std::uint64_t max) {
  if (!record.contains(key)) throw Error(std::string(what) + ": \"" + key + "\" is missing");
  return parseNumber(record[key], std::string(what) + ": " + key, min, max);
}

std::string requiredName(const Json& record, const char* key, std::string_view what, std::size_t maxChars) {
  if (!record.contains(key) || !record[key].is_string())
    throw Error(std::string(what) + ": \"" + key + "\" must be a text");
  std::string s = record[key].get<std::string>();
  if (s.empty() || s.size() > maxChars)
    throw Error(std::string(what) + ": \"" + key + "\" must have 1 to " + std::to_string(maxChars) + " characters");
  for (unsigned char c : s)
    if (c < 0x20 || c > 0x7E) throw Error(std::string(what) + ": \"" + key + "\" must be printable ASCII");
  return s;
}

std::string dumpedText(std::string text, std::string_view what) {
  for (unsigned char c : text)
    if (c < 0x20 || c > 0x7E)
      throw Error(std::string(what) + " holds bytes that are not printable ASCII (" +
                  toHex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) +
                  "), which a source cannot hold");
  return text;
}

Bytes parseHex(std::string_view hex, std::string_view what) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    if (c == ' ' || c == '\t') continue;
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else throw Error(std::string(what) + ": '" + std::string(1, c) + "' is not a hex digit");
    if (high < 0) {
      high = v;
    } else {
      out.push_back(std::uint8_t(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) throw Error(std::string(what) + ": odd number of hex digits");
  return out;
}

std::string toHex(const std::uint8_t* data, std::size_t size) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  s.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    s.push_back(d[data[i] >> 4]);
    s.push_back(d[data[i] & 15]);
  }
  return s;
}

std::string hex32(std::uint32_t value) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", value);
  return b;
}

bool readFile(const fs::path& path, Bytes& out, std::uintmax_t maxSize) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return false;
  if (!fs::is_regular_file(path, ec)) throw Error(path.string() + ": not a regular file");
  std::uintmax_t size = fs::file_size(path, ec);
  if (ec) throw Error(path.string() + ": " + ec.message());
  if (size > maxSize) throw Error(path.string() + ": file too large");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(path.string() + ": cannot open");
  out.assign(std::size_t(size), 0);
  if (size && !in.read(reinterpret_cast<char*>(out.data()), std::streamsize(size)))
    throw Error(path.string() + ": read failed");
  return true;
}

bool sameFileName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

fs::path findSignatureFile(const fs::path& dir, std::string_view name) {
  std::error_code ec;
  // Only a file can be opened as a table: anything else under the name counts as no table.
  const fs::path exact = dir / std::string(name);
  if (fs::exists(fs::symlink_status(exact, ec))) return fs::is_regular_file(exact, ec) ? exact : fs::path();
  fs::path found;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string n = entry.path().filename().string();
    std::error_code kind;
    // Several spellings: the handset opens one of them; take the first by name, as listings do.
    if (sameFileName(n, name) && entry.is_regular_file(kind) && (found.empty() || n < found.filename().string()))
      found = entry.path();
  }
  return found;
}

bool readSignatureFile(const fs::path& dir, std::string_view name, Bytes& out, std::uintmax_t maxSize,
                       std::string* found) {
  const fs::path p = findSignatureFile(dir, name);
  if (p.empty()) return false;
  if (found) *found = p.filename().string();
  return readFile(p, out, maxSize);
}

void writeFile(const fs::path& path, const Bytes& data) {
  fs::path tmp = path;
  tmp += ".tmp";
  {
    std::ofstream o(tmp, std::ios::binary | std::ios::trunc);
    if (!o) throw Error(tmp.string() + ": cannot create");
    o.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    if (!o.flush()) throw Error(tmp.string() + ": write failed");
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  if (ec) throw Error(path.string() + ": " + ec.message());
}

// ---- Category files ------------------------------------------------------------------------
Bytes encodeCategoryFile(const std::vector<Bytes>& decodedRecords, std::size_t storedSize) {
  namespace c = nx::sig::category;
  Bytes out(c::kHeaderSize + decodedRecords.size() * storedSize, 0);
  std::memcpy(out.data(), c::kMagic, 4);
  std::uint32_t sum = 0;
  std::uint8_t* p = out.data() + c::kHeaderSize;
  for (const Bytes& r : decodedRecords) {
    if (r.size() != storedSize) throw Error("internal: category record of wrong size");
    for (std::size_t i = 0; i < storedSize; ++i) {
      p[i] = nx::sig::encodeCategoryByte(r[i]);
      sum += p[i];
    }
    p += storedSize;
  }
  put32(&out[4], sum);
  put32(&out[8], std::uint32_t(decodedRecords.size()));
  return out;
}

std::vector<Bytes> decodeCategoryFile(const Bytes& file, std::size_t storedSize, std::string_view fileName) {
  namespace c = nx::sig::category;
  const std::string f(fileName);
  if (file.size() < c::kHeaderSize || std::memcmp(file.data(), c::kMagic, 4) != 0)
    throw Error(f + ": no \"INXF\" header");
  const std::uint32_t n = get32(&file[8]);
  if (n == 0) throw Error(f + ": record count 0");
  if ((file.size() - c::kHeaderSize) % storedSize != 0 || (file.size() - c::kHeaderSize) / storedSize != n)
    throw Error(f + ": length does not match the record count " + std::to_string(n));
  std::uint32_t sum = 0;
  for (std::size_t i = c::kHeaderSize; i < file.size(); ++i) sum += file[i];
  if (sum != get32(&file[4])) throw Error(f + ": checksum mismatch");
  std::vector<Bytes> out(n, Bytes(storedSize));
  for (std::uint32_t r = 0; r < n; ++r)
    for (std::size_t i = 0; i < storedSize; ++i)
      out[r][i] = nx::sig::decodeCategoryByte(file[c::kHeaderSize + r * storedSize + i]);
  return out;
}

std::vector<Region> parseRegions(const Json& record, std::string_view label) {
  if (!record.contains("regions") || !record["regions"].is_array() || record["regions"].size() != 3)
    throw Error(std::string(label) + ": \"regions\" must hold exactly three regions");
  std::vector<Region> out;
  const char* names[] = {"A", "B", "C"};
  for (std::size_t i = 0; i < 3; ++i) {
    const Json& r = record["regions"][i];
    std::string what = std::string(label) + ": region " + names[i];
    if (!r.is_object()) throw Error(what + ": must be an object");
    for (auto it = r.begin(); it != r.end(); ++it)
      if (it.key() != "offset" && it.key() != "length" && it.key() != "crc")
        throw Error(what + ": unknown member \"" + it.key() + "\"");
    Region g;
    // A zero offset or length makes the scanners drop the whole file, so it is refused here.
    g.offset = std::uint32_t(requiredNumber(r, "offset", what, 1, 0xFFFFFFFFu));
    g.length = std::uint8_t(requiredNumber(r, "length", what, 1, 255));
    g.crc = std::uint32_t(requiredNumber(r, "crc", what, 0, 0xFFFFFFFFu));
    out.push_back(g);
  }
  return out;
}

Json regionsJson(const std::vector<Region>& regions) {
  Json a = Json::array();
  for (const Region& r : regions) {
    Json o = Json::object();
    o["offset"] = r.offset;
    o["length"] = r.length;
    o["crc"] = hex32(r.crc);
    a.push_back(std::move(o));
  }
  return a;
}

std::uint32_t regionCrc(const std::uint8_t* data, std::size_t size) { return nx::crc32Raw(data, size); }

}  // namespace nxsig
