#include "server_files.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <tuple>
#include <stdexcept>

#include "common/crc32.h"
#include "common/nibble.h"
#include "common/update_formats.h"

namespace nxpack {

using namespace nx::upd;

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void set16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void set32(uint8_t* p, uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(v >> (8 * k));
}

namespace {

std::string hex32(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08X", v);
  return b;
}

void putText(uint8_t* at, const std::u16string& s) {
  for (size_t i = 0; i < s.size() && i < kLocationTextChars - 1; ++i) set16(at + 2 * i, s[i]);
}

// A UTF-16 text of 260 characters; a text without its terminator is a fault.
std::u16string takeText(const uint8_t* at, const std::string& what, Faults& faults) {
  std::u16string s;
  for (size_t i = 0; i < kLocationTextChars; ++i) {
    char16_t c = get16(at + 2 * i);
    if (c == 0) return s;
    s.push_back(c);
  }
  faults.push_back(what + ": text without a terminator within 260 characters");
  s.pop_back();
  return s;
}

}  // namespace

// ---- "httpdn.dat" ------------------------------------------------------------------
Bytes encodeSources(const std::vector<std::string>& bases) {
  Bytes out(kSourcesPlainHead + kSectionHeadSize + bases.size() * kLocationSize, 0);
  set16(&out[kSourcesCountOffset], 1);
  uint8_t* section = &out[kSourcesPlainHead];
  set32(section, kSectionUpdateLocations);
  set16(section + 4, static_cast<uint16_t>(bases.size()));
  for (size_t i = 0; i < bases.size(); ++i) {
    std::u16string base(bases[i].begin(), bases[i].end());  // ASCII
    putText(section + kSectionHeadSize + i * kLocationSize + kLocationBaseOffset, base);
  }
  nx::swapNibbles(out.data() + kSourcesPlainHead, out.size() - kSourcesPlainHead);
  set32(&out[kSourcesCrcOffset], nx::crc32(out.data() + kSourcesPlainHead, out.size() - kSourcesPlainHead));
  return out;
}

std::vector<Section> decodeSources(const Bytes& file, Faults& faults) {
  std::vector<Section> sections;
  if (file.size() < kSourcesPlainHead) {
    faults.push_back("httpdn.dat: " + std::to_string(file.size()) + " bytes, shorter than its 6-byte head");
    return sections;
  }
  const uint32_t stored = get32(&file[kSourcesCrcOffset]);
  const uint32_t actual = nx::crc32(file.data() + kSourcesPlainHead, file.size() - kSourcesPlainHead);
  if (stored != actual)
    faults.push_back("httpdn.dat: CRC-32 " + hex32(stored) + " does not match the contents (" + hex32(actual) + ")");
  Bytes plain(file.begin() + kSourcesPlainHead, file.end());
  nx::swapNibbles(plain.data(), plain.size());
  const unsigned count = get16(&file[kSourcesCountOffset]);
  size_t at = 0;
  for (unsigned s = 0; s < count; ++s) {
    const std::string what = "httpdn.dat: section " + std::to_string(s + 1);
    if (plain.size() - at < kSectionHeadSize) {
      faults.push_back(what + ": cut short in its head (the file lists " + std::to_string(count) + " sections)");
      return sections;
    }
    Section sec;
    sec.type = get32(&plain[at]);
    const unsigned locations = get16(&plain[at + 4]);
    at += kSectionHeadSize;
    if ((plain.size() - at) / kLocationSize < locations) {
      faults.push_back(what + ": " + std::to_string(locations) + " locations do not fit in the file");
      return sections;
    }
    for (unsigned l = 0; l < locations; ++l) {
      const uint8_t* r = &plain[at];
      const std::string lw = what + ", location " + std::to_string(l + 1);
      Location loc;
      loc.base = takeText(r + kLocationBaseOffset, lw + " base address", faults);
      loc.number = get32(r + kLocationNumberOffset);
      loc.text2 = takeText(r + kLocationText2Offset, lw, faults);
      loc.text3 = takeText(r + kLocationText3Offset, lw, faults);
      sec.locations.push_back(loc);
      at += kLocationSize;
    }
    sections.push_back(sec);
  }
  if (at != plain.size())
    faults.push_back("httpdn.dat: " + std::to_string(plain.size() - at) + " bytes after the last section");
  return sections;
}

// ---- "index.dat" ---------------------------------------------------------------------
Bytes entryNameBytes(const std::string& name) {
  Bytes b(kEntryNameBytes, 0);
  for (size_t i = 0; i < name.size() && i < kEntryNameBytes - 1; ++i) b[i] = static_cast<uint8_t>(name[i]);
  return b;
}

uint32_t indexSum(const Bytes& file) {
  uint32_t sum = 0;
  for (size_t i = kIndexHeadSize; i < file.size(); ++i) sum += file[i];
  return sum;
}

Bytes encodeIndex(const std::vector<IndexEntry>& entries) {
  Bytes out(kIndexHeadSize + entries.size() * kIndexEntrySize, 0);
  set32(&out[0], kFamilyPackage);
  for (size_t i = 0; i < entries.size(); ++i) {
    const IndexEntry& e = entries[i];
    if (e.name.empty() || e.name.size() >= kEntryNameBytes) throw std::invalid_argument("index entry name: " + e.name);
    uint8_t* r = &out[kIndexHeadSize + i * kIndexEntrySize];
    r[kEntryType] = e.type;
    r[kEntrySequence] = e.sequence;
    set32(r + kEntrySize, e.size);
    Bytes name = entryNameBytes(e.name);
    std::copy(name.begin(), name.end(), r + kEntryName);
    set32(r + kEntryCheck, e.check);
    r[kEntryPlatform] = e.platform;
  }
  set32(&out[4], indexSum(out));
  return out;
}

Index decodeIndex(const Bytes& file, Faults& faults) {
  Index index;
  if (file.size() < kIndexHeadSize) {
    faults.push_back("index.dat: " + std::to_string(file.size()) + " bytes, shorter than its 8-byte head");
    return index;
  }
  index.family = get32(&file[0]);
  index.sum = get32(&file[4]);
  if (index.family != kFamilyPackage && index.family != kFamilyIndexAlt)
    faults.push_back("index.dat: family " + std::to_string(index.family) + " is refused by the handset (57055 or 56543)");
  const uint32_t sum = indexSum(file);
  if (sum != index.sum)
    faults.push_back("index.dat: byte sum " + hex32(index.sum) + " in the head, the entries add up to " + hex32(sum));
  const size_t body = file.size() - kIndexHeadSize;
  if (body % kIndexEntrySize != 0)
    faults.push_back("index.dat: " + std::to_string(body % kIndexEntrySize) + " bytes after the last whole 70-byte entry");
  if (body / kIndexEntrySize == 0) faults.push_back("index.dat: no entries");
  std::set<std::pair<int, int>> pairs;
  std::set<std::string> names;
  for (size_t i = 0; i < body / kIndexEntrySize; ++i) {
    const uint8_t* r = &file[kIndexHeadSize + i * kIndexEntrySize];
    IndexEntry e;
    e.type = r[kEntryType];
    e.sequence = r[kEntrySequence];
    e.size = get32(r + kEntrySize);
    e.check = get32(r + kEntryCheck);
    e.platform = r[kEntryPlatform];
    size_t n = 0;
    while (n < kEntryNameBytes && r[kEntryName + n] != 0) ++n;
    e.name.assign(reinterpret_cast<const char*>(r + kEntryName), n);
    const std::string what = "index.dat: entry " + std::to_string(i + 1) + " (" + e.name + ")";
    if (n == kEntryNameBytes) faults.push_back(what + ": name without a terminator within 50 bytes");
    if (e.type < kTypeFirstDatabase || e.type > kTypeEngineUpdate)
      faults.push_back(what + ": type " + std::to_string(e.type) + " is not a package type (100 to 106)");
    if (e.platform != kPlatformWindowsMobile)
      faults.push_back(what + ": platform " + std::to_string(e.platform) + ", the handset needs 7");
    if (e.name.empty()) {
      faults.push_back(what + ": no file name");
    } else if (std::string why = memberNameFault(e.name); !why.empty()) {
      faults.push_back(what + ": " + why);
    }
    if (!pairs.insert({e.type, e.sequence}).second)
      faults.push_back(what + ": type " + std::to_string(e.type) + " sequence " + std::to_string(e.sequence) +
                       " occurs twice; the handset would take only one of them");
    if (!e.name.empty() && !names.insert(lowerAscii(e.name)).second)
      faults.push_back(what + ": the file name occurs twice");
    index.entries.push_back(e);
  }
  return index;
}

// ---- "index.bin" ---------------------------------------------------------------------
Bytes encodeIndexBin(uint8_t revision, const Bytes& indexDat) {
  Bytes out(kIndexBinSize, 0);
  out[0] = revision;
  const size_t entries = indexDat.size() >= kIndexHeadSize ? (indexDat.size() - kIndexHeadSize) / kIndexEntrySize : 0;
  set32(&out[4], static_cast<uint32_t>(entries));
  set32(&out[8], static_cast<uint32_t>(indexDat.size()));
  set32(&out[12], indexDat.size() >= kIndexHeadSize ? get32(&indexDat[4]) : 0);
  return out;
}

std::optional<uint8_t> decodeIndexBin(const Bytes& file, const Bytes* indexDat, Faults& faults) {
  if (file.empty()) {
    faults.push_back("index.bin: empty; the handset needs its first byte");
    return std::nullopt;
  }
  if (file.size() != kIndexBinSize) {
    faults.push_back("index.bin: " + std::to_string(file.size()) + " bytes, not the 16 this server writes");
  } else if (indexDat && *indexDat != Bytes()) {
    Bytes expected = encodeIndexBin(file[0], *indexDat);
    if (expected != file)
      faults.push_back("index.bin: does not describe this index.dat (a stale index.bin makes handsets skip the update)");
  }
  return file[0];
}

// ---- Packages --------------------------------------------------------------------------
Bytes makePackage(const Bytes& arj, uint8_t type, uint8_t sequence) {
  if (arj.size() < kScrambledBytes) throw std::invalid_argument("ARJ body shorter than 90 bytes");
  Bytes out(kPackageHeadSize + arj.size(), 0);
  std::copy(arj.begin(), arj.end(), out.begin() + kPackageHeadSize);
  for (size_t i = 0; i < kScrambledBytes; ++i) out[kPackageHeadSize + i] ^= kScrambleKey;
  set32(&out[kHeadKind], kKindPackage);
  set32(&out[kHeadCheck], packageCheckValue(out.data() + kPackageHeadSize, out.size() - kPackageHeadSize));
  set32(&out[kHeadLength], static_cast<uint32_t>(arj.size()));
  out[kHeadPlatform] = kPlatformWindowsMobile;
  out[kHeadType] = type;
  out[kHeadSequence] = sequence;
  return out;
}

PackageHead readPackageHead(const Bytes& p) {
  PackageHead h;
  if (p.size() < kPackageHeadSize) return h;
  h.kind = get32(&p[kHeadKind]);
  h.check = get32(&p[kHeadCheck]);
  h.length = get32(&p[kHeadLength]);
  h.platform = p[kHeadPlatform];
  h.type = p[kHeadType];
  h.sequence = p[kHeadSequence];
  return h;
}

Bytes packageBody(const Bytes& p) {
  if (p.size() < kPackageHeadSize + kScrambledBytes) return {};
  Bytes body(p.begin() + kPackageHeadSize, p.end());
  for (size_t i = 0; i < kScrambledBytes; ++i) body[i] ^= kScrambleKey;
  return body;
}

void checkPackage(const std::string& what, const Bytes& p, const IndexEntry* expected, Faults& faults) {
  if (p.size() < kPackageHeadSize) {
    faults.push_back(what + ": " + std::to_string(p.size()) + " bytes, shorter than the 51-byte package head");
    return;
  }
  const PackageHead h = readPackageHead(p);
  if (h.kind != kKindPackage) {
    const bool fetchRefuses = h.kind != kFamilyIndexAlt;
    faults.push_back(what + ": package kind " + std::to_string(h.kind) + " is refused by the handset" +
                     (fetchRefuses ? "" : " when unpacking") + " (it needs 57055)");
  }
  const uint32_t check = nx::upd::packageCheckValue(p.data() + kPackageHeadSize, p.size() - kPackageHeadSize);
  if (check != h.check)
    faults.push_back(what + ": check value " + hex32(h.check) + " in the head, the contents give " + hex32(check));
  if (h.platform != kPlatformWindowsMobile)
    faults.push_back(what + ": platform " + std::to_string(h.platform) + ", the handset needs 7");
  if (p.size() < kPackageHeadSize + kScrambledBytes)
    faults.push_back(what + ": the body is shorter than the 90 bytes the handset unscrambles");
  if (h.length != p.size() - kPackageHeadSize)
    faults.push_back(what + ": the head gives a body of " + std::to_string(h.length) + " bytes, the file has " +
                     std::to_string(p.size() - kPackageHeadSize));
  if (expected) {
    if (expected->size != p.size())
      faults.push_back(what + ": index.dat gives " + std::to_string(expected->size) + " bytes, the file has " +
                       std::to_string(p.size()));
    if (expected->check != h.check)
      faults.push_back(what + ": index.dat gives check value " + hex32(expected->check) + ", the head " + hex32(h.check));
    if (expected->type != h.type || expected->sequence != h.sequence)
      faults.push_back(what + ": the head says type " + std::to_string(h.type) + " sequence " +
                       std::to_string(h.sequence) + ", index.dat type " + std::to_string(expected->type) +
                       " sequence " + std::to_string(expected->sequence));
  }
}

// ---- "scanver.cnf" ---------------------------------------------------------------------
std::optional<Version> decodeVersion(const Bytes& f, std::string* why) {
  auto fail = [&](const std::string& w) {
    if (why) *why = w;
    return std::nullopt;
  };
  if (f.size() != kVersionSize) return fail(std::to_string(f.size()) + " bytes, a version record has 20");
  Version v;
  v.major = static_cast<int16_t>(get16(&f[0]));
  v.minor = static_cast<int16_t>(get16(&f[2]));
  uint16_t* fields[] = {&v.year, &v.month, &v.dayOfWeek, &v.day, &v.hour, &v.minute, &v.second, &v.ms};
  for (int i = 0; i < 8; ++i) *fields[i] = get16(&f[4 + 2 * i]);
  static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (v.major < 0 || v.minor < 0) return fail("negative engine version");
  if (v.year < 1601 || v.year > 30827 || v.month < 1 || v.month > 12 || v.day < 1 || v.day > days[v.month - 1] ||
      v.hour > 23 || v.minute > 59 || v.second > 59 || v.ms > 999 || v.dayOfWeek > 6)
    return fail("the database time is not a valid date and time");
  return v;
}

std::string describeVersion(const Version& v) {
  char b[96];
  std::snprintf(b, sizeof b, "%d.%02d, database %04u-%02u-%02u %02u:%02u:%02u", v.major, v.minor, v.year, v.month,
                v.day, v.hour, v.minute, v.second);
  return b;
}

std::string updateOrderFault(const Version& next, const Version& before, int type) {
  const std::string now = describeVersion(next), then = describeVersion(before);
  if (next.major != before.major || next.minor != before.minor) {
    if (std::make_pair(next.major, next.minor) < std::make_pair(before.major, before.minor))
      return "engine " + now + " is older than the package before it (" + then + ")";
    if (type != kTypeEngineUpdate)
      return "the engine version changes (" + then + " to " + now + ") in a package of type " + std::to_string(type) +
             ", not an engine update (106); handsets would call it up to date";
    return {};
  }
  auto key = [](const Version& v) { return std::make_tuple(v.year, v.month, v.day, v.hour, v.minute, v.second, v.ms); };
  if (key(next) <= key(before))
    return "engine " + now + " is not later than the package before it (" + then + "); handsets would call it up to date";
  return {};
}

// ---- Names -----------------------------------------------------------------------------
std::string lowerAscii(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

std::string memberNameFault(const std::string& name) {
  if (name.empty()) return "empty name";
  if (name.size() > kMaxMemberName)
    return "name of " + std::to_string(name.size()) + " characters; the handset's paths hold names of at most " +
           std::to_string(kMaxMemberName);
  for (unsigned char c : name) {
    if (c < 0x20 || c > 0x7E) return "name with a character outside printable ASCII";
    if (std::string("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string::npos)
      return std::string("name with the character '") + static_cast<char>(c) + "', which a handset file name cannot hold";
  }
  if (name.back() == '.' || name.back() == ' ') return "name ending in a dot or a blank";
  if (name.front() == ' ') return "name starting with a blank";
  const std::string lower = lowerAscii(name);
  const std::string stem = lower.substr(0, lower.find('.'));
  static const std::set<std::string> devices = {"con",  "prn",  "aux",  "nul",  "com1", "com2", "com3", "com4",
                                                "com5", "com6", "com7", "com8", "com9", "lpt1", "lpt2", "lpt3",
                                                "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
  if (devices.count(stem)) return "\"" + name + "\" names a device on the handset";
  // The update engine keeps these in the staging folder while it unpacks.
  static const std::set<std::string> reserved = {"files.arj", "index.bin", "index.dat", "index.sig"};
  if (reserved.count(lower)) return "\"" + name + "\" is a name the update engine uses itself while installing";
  return {};
}

}  // namespace nxpack
