// "sigaif.inx": text patterns searched in EPOC file stores and .gdr files.
// Written whatever the sources hold, since genericscan.dll does not start
// without it.
#include <cstring>

#include "common/signature_constants.h"
#include "formats.h"

namespace nxsig {
namespace {

namespace st = nx::sig::store;
constexpr std::size_t kNameChars = st::kNameBytes - 1;

bool white(std::uint8_t c) { return c == 9 || c == 10 || c == 13 || c == 32; }

// The scanner searches text with white space dropped and a-z folded to upper
// case: a pattern holding either could never be found, so it is refused.
Bytes parsePattern(const Json& r, const std::string& label) {
  if (!r.contains("pattern")) throw Error(label + ": \"pattern\" is missing");
  const Json& p = r["pattern"];
  Bytes out;
  if (p.is_string()) {
    const std::string s = p.get<std::string>();
    out.assign(s.begin(), s.end());
  } else if (p.is_object() && p.size() == 1 && p.contains("hex") && p["hex"].is_string()) {
    out = parseHex(p["hex"].get<std::string>(), label + ": pattern");
  } else {
    throw Error(label + ": \"pattern\" must be a text or {\"hex\": \"...\"}");
  }
  if (out.empty() || out.size() > st::kPatternBytes)
    throw Error(label + ": pattern must have 1 to 100 bytes, has " + std::to_string(out.size()));
  for (std::uint8_t c : out) {
    if (white(c)) throw Error(label + ": pattern holds white space, which the scanner drops from the text");
    if (c >= 'a' && c <= 'z')
      throw Error(label + ": pattern holds lower-case letters, which the scanner folds to upper case");
  }
  return out;
}

void buildStore(const Json& records, const fs::path& dir) {
  if (records.size() > 0xFFFFFFFFu / st::kRecordSize) throw Error("store: too many records");
  Bytes file(st::kHeaderSize + records.size() * st::kRecordSize, 0);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Json& r = records[i];
    const std::string label = recordLabel("store", i, r);
    if (!r.is_object()) throw Error(label + ": must be an object");
    for (auto it = r.begin(); it != r.end(); ++it)
      if (it.key() != "name" && it.key() != "pattern") throw Error(label + ": unknown member \"" + it.key() + "\"");
    const std::string name = requiredName(r, "name", label, kNameChars);
    const Bytes pattern = parsePattern(r, label);
    std::uint8_t plain[st::kScrambled] = {};
    std::memcpy(plain, name.data(), name.size());
    std::memcpy(plain + st::kPatternOffset, pattern.data(), pattern.size());
    std::uint8_t* rec = &file[st::kHeaderSize + i * st::kRecordSize];
    for (std::size_t b = 0; b < st::kScrambled; ++b) rec[b] = nx::sig::encodeStoreByte(plain[b]);
    put16(rec + st::kScrambled, std::uint16_t(pattern.size()));
    for (std::size_t b = st::kPatternOffset; b < st::kScrambled; ++b) sum += rec[b];
  }
  put32(&file[0], sum);
  put32(&file[4], std::uint32_t(records.size()));
  writeFile(dir / "sigaif.inx", file);
}

Json dumpStore(const fs::path& dir) {
  Json out = Json::array();
  Bytes file;
  if (!readSignatureFile(dir, "sigaif.inx", file)) return out;
  if (file.size() < st::kHeaderSize || (file.size() - st::kHeaderSize) % st::kRecordSize != 0)
    throw Error("sigaif.inx: length is not 8 + 152 x n");
  const std::uint32_t n = get32(&file[4]);
  if (n != (file.size() - st::kHeaderSize) / st::kRecordSize)
    throw Error("sigaif.inx: record count " + std::to_string(n) + " does not match the length");
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < n; ++i)
    for (std::size_t b = st::kPatternOffset; b < st::kScrambled; ++b)
      sum += file[st::kHeaderSize + i * st::kRecordSize + b];
  if (sum != get32(&file[0])) throw Error("sigaif.inx: checksum mismatch");
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t* rec = &file[st::kHeaderSize + i * st::kRecordSize];
    std::uint8_t plain[st::kScrambled];
    for (std::size_t b = 0; b < st::kScrambled; ++b) plain[b] = nx::sig::decodeStoreByte(rec[b]);
    const std::int16_t len = std::int16_t(get16(rec + st::kScrambled));
    if (len <= 0 || len > std::int16_t(st::kPatternBytes))
      throw Error("sigaif.inx: record " + std::to_string(i) + " has pattern length " + std::to_string(len) +
                  ", which never matches");
    std::size_t nameLen = 0;
    while (nameLen < kNameChars && plain[nameLen]) ++nameLen;
    const std::uint8_t* pat = plain + st::kPatternOffset;
    bool text = true;
    for (int b = 0; b < len; ++b) text = text && pat[b] > 0x20 && pat[b] < 0x7F;
    Json r = Json::object();
    r["name"] = dumpedText(std::string(reinterpret_cast<const char*>(plain), nameLen),
                           "sigaif.inx: record " + std::to_string(i) + ": the name");
    if (text) {
      r["pattern"] = std::string(reinterpret_cast<const char*>(pat), std::size_t(len));
    } else {
      Json hex = Json::object();
      hex["hex"] = toHex(pat, std::size_t(len));
      r["pattern"] = std::move(hex);
    }
    out.push_back(std::move(r));
  }
  return out;
}

std::vector<std::string> storeFiles() { return {"sigaif.inx"}; }

const Format kStore{"store", 50, buildStore, dumpStore, storeFiles};
NXSIG_REGISTER_FORMAT(kStore);

}  // namespace
}  // namespace nxsig
