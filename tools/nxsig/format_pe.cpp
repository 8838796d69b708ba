// "sig32ce.inx" (PE entry-point patterns) and "sigmpoly.inx" (polymorphic family names).
#include <cstring>

#include "common/signature_constants.h"
#include "formats.h"

namespace nxsig {
namespace {

namespace pe = nx::sig::pe;
namespace poly = nx::sig::poly;

// The scanner keeps 24 name characters (byte 49 of a record is forced to 0).
constexpr std::size_t kPeNameChars = pe::kNameBytes - 1;
// Polymorphic names are cut to 24 characters at load.
constexpr std::size_t kPolyNameChars = poly::kNameBytes - 1;

void checkMembers(const Json& r, const std::string& label, std::initializer_list<const char*> allowed) {
  if (!r.is_object()) throw Error(label + ": must be an object");
  for (auto it = r.begin(); it != r.end(); ++it) {
    bool ok = false;
    for (const char* a : allowed) ok = ok || it.key() == a;
    if (!ok) throw Error(label + ": unknown member \"" + it.key() + "\"");
  }
}

void buildPe(const Json& records, const fs::path& dir) {
  if (records.size() > std::size_t(pe::kMaxRecords))
    throw Error("pe: " + std::to_string(records.size()) + " records, the scanner loads at most 999");
  Bytes file(pe::kHeaderSize + records.size() * pe::kRecordSize, 0);
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Json& r = records[i];
    const std::string label = recordLabel("pe", i, r);
    checkMembers(r, label, {"name", "pattern"});
    const std::string name = requiredName(r, "name", label, kPeNameChars);
    if (!r.contains("pattern") || !r["pattern"].is_string()) throw Error(label + ": \"pattern\" must be a hex text");
    const Bytes pattern = parseHex(r["pattern"].get<std::string>(), label + ": pattern");
    if (pattern.empty() || pattern.size() > pe::kPatternBytes)
      throw Error(label + ": pattern must have 1 to 21 bytes, has " + std::to_string(pattern.size()));
    std::uint8_t* rec = &file[pe::kHeaderSize + i * pe::kRecordSize];
    for (std::size_t b = 0; b < pe::kPatternBytes; ++b) {
      rec[b] = nx::sig::encodePatternByte(b < pattern.size() ? pattern[b] : 0);
      sum = std::uint16_t(sum + rec[b]);
    }
    put16(rec + 21, std::uint16_t(pattern.size()));
    for (std::size_t b = 0; b < pe::kNameBytes; ++b)
      rec[pe::kNameOffset + b] = nx::sig::encodeNameByte(b < name.size() ? std::uint8_t(name[b]) : 0);
  }
  put16(&file[0], sum);
  put16(&file[2], std::uint16_t(records.size()));
  writeFile(dir / "sig32ce.inx", file);
}

Json dumpPe(const fs::path& dir) {
  Json out = Json::array();
  Bytes file;
  if (!readSignatureFile(dir, "sig32ce.inx", file, 1 << 20)) return out;
  if (file.size() < pe::kHeaderSize) throw Error("sig32ce.inx: shorter than its header");
  const std::int16_t n = std::int16_t(get16(&file[2]));
  if (n < 0 || n > pe::kMaxRecords) throw Error("sig32ce.inx: record count " + std::to_string(n) + " outside 0..999");
  if (file.size() < pe::kHeaderSize + std::size_t(n) * pe::kRecordSize)
    throw Error("sig32ce.inx: shorter than its " + std::to_string(n) + " records");
  std::uint16_t sum = 0;
  for (int i = 0; i < n; ++i)
    for (std::size_t b = 0; b < pe::kPatternBytes; ++b) sum = std::uint16_t(sum + file[pe::kHeaderSize + i * pe::kRecordSize + b]);
  if (sum != get16(&file[0])) throw Error("sig32ce.inx: checksum mismatch");
  for (int i = 0; i < n; ++i) {
    const std::uint8_t* rec = &file[pe::kHeaderSize + i * pe::kRecordSize];
    const std::int16_t len = std::int16_t(get16(rec + 21));
    if (len <= 0 || std::size_t(len) > pe::kPatternBytes)
      throw Error("sig32ce.inx: record " + std::to_string(i) + " has pattern length " + std::to_string(len) +
                  ", which never matches");
    std::uint8_t pattern[pe::kPatternBytes];
    for (std::size_t b = 0; b < pe::kPatternBytes; ++b) pattern[b] = nx::sig::decodePatternByte(rec[b]);
    std::string name;
    for (std::size_t b = 0; b < kPeNameChars; ++b) {
      const std::uint8_t c = nx::sig::decodeNameByte(rec[pe::kNameOffset + b]);
      if (c == 0) break;
      name.push_back(char(c));
    }
    Json r = Json::object();
    r["name"] = dumpedText(name, "sig32ce.inx: record " + std::to_string(i) + ": the name");
    r["pattern"] = toHex(pattern, std::size_t(len));
    out.push_back(std::move(r));
  }
  return out;
}

void buildPoly(const Json& records, const fs::path& dir) {
  int counts[poly::kTypes] = {};
  Bytes file(poly::kHeaderSize + records.size() * poly::kRecordSize, 0);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Json& r = records[i];
    const std::string label = recordLabel("poly", i, r);
    checkMembers(r, label, {"type", "name"});
    const int type = int(requiredNumber(r, "type", label, 1, poly::kTypes));
    const std::string name = requiredName(r, "name", label, kPolyNameChars);
    if (++counts[type - 1] > 0x7FFF) throw Error(label + ": more than 32767 records of type " + std::to_string(type));
    std::uint8_t* rec = &file[poly::kHeaderSize + i * poly::kRecordSize];
    put16(rec, std::uint16_t(type));
    for (std::size_t b = 0; b < poly::kNameBytes; ++b)
      rec[2 + b] = nx::sig::encodeNameByte(b < name.size() ? std::uint8_t(name[b]) : 0);
  }
  for (int t = 0; t < poly::kTypes; ++t) put16(&file[2 * std::size_t(t)], std::uint16_t(counts[t]));
  writeFile(dir / "sigmpoly.inx", file);
}

Json dumpPoly(const fs::path& dir) {
  Json out = Json::array();
  Bytes file;
  if (!readSignatureFile(dir, "sigmpoly.inx", file, 16u << 20)) return out;
  if (file.size() < poly::kHeaderSize) throw Error("sigmpoly.inx: shorter than its header");
  std::size_t total = 0;
  for (int t = 0; t < poly::kTypes; ++t) {
    const std::int16_t c = std::int16_t(get16(&file[2 * t]));
    if (c < 0) throw Error("sigmpoly.inx: negative count for type " + std::to_string(t + 1));
    total += std::size_t(c);
  }
  if (file.size() < poly::kHeaderSize + total * poly::kRecordSize)
    throw Error("sigmpoly.inx: shorter than its " + std::to_string(total) + " records");
  for (std::size_t i = 0; i < total; ++i) {
    const std::uint8_t* rec = &file[poly::kHeaderSize + i * poly::kRecordSize];
    const unsigned type = get16(rec);
    if (type < 1 || type > unsigned(poly::kTypes))
      throw Error("sigmpoly.inx: record " + std::to_string(i) + " has type " + std::to_string(type));
    std::string name;
    for (std::size_t b = 0; b < kPolyNameChars; ++b) {
      const std::uint8_t c = nx::sig::decodeNameByte(rec[2 + b]);
      if (c == 0) break;
      name.push_back(char(c));
    }
    Json r = Json::object();
    r["type"] = type;
    r["name"] = dumpedText(name, "sigmpoly.inx: record " + std::to_string(i) + ": the name");
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<std::string> peFiles() { return {"sig32ce.inx"}; }
std::vector<std::string> polyFiles() { return {"sigmpoly.inx"}; }

const Format kPe{"pe", 10, buildPe, dumpPe, peFiles};
const Format kPoly{"poly", 20, buildPoly, dumpPoly, polyFiles};
NXSIG_REGISTER_FORMAT(kPe);
NXSIG_REGISTER_FORMAT(kPoly);

}  // namespace
}  // namespace nxsig
