// Windows CE category files: "sigw{worm,bkdr,trjn,ware,spwr}.{inx,in0..in4}".
#include <algorithm>
#include <cstring>
#include <map>

#include "common/signature_constants.h"
#include "exescan/category_tables.h"
#include "exescan/pe_header.h"
#include "formats.h"

namespace nxsig {
namespace {

namespace cat = nx::category;
namespace rec = nx::category::rec;
constexpr std::size_t kStored = nx::sig::category::kWinceStored;

int tableIndex(const std::string& file) {
  for (int i = 0; i < 30; ++i)
    if (file == cat::kTables[i].file) return i;
  return -1;
}

void putRegion(std::uint8_t* p, const Region& r) {
  put32(p, r.offset);
  p[4] = r.length;
  put32(p + 5, r.crc);
}

Region getRegion(const std::uint8_t* p) { return Region{get32(p), p[4], get32(p + 5)}; }

struct Entry {
  std::uint32_t key;
  Bytes decoded;
};

void buildWince(const Json& records, const fs::path& dir) {
  std::map<int, std::vector<Entry>> tables;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Json& r = records[i];
    const std::string label = recordLabel("wince", i, r);
    if (!r.is_object()) throw Error(label + ": must be an object");
    for (auto it = r.begin(); it != r.end(); ++it) {
      static const char* allowed[] = {"table", "name", "key", "section", "flags", "regions"};
      if (std::none_of(std::begin(allowed), std::end(allowed), [&](const char* a) { return it.key() == a; }))
        throw Error(label + ": unknown member \"" + it.key() + "\"");
    }
    if (!r.contains("table") || !r["table"].is_string()) throw Error(label + ": \"table\" must be a category file name");
    const int t = tableIndex(r["table"].get<std::string>());
    if (t < 0) throw Error(label + ": \"" + r["table"].get<std::string>() + "\" is not a Windows CE category file");
    const std::string name = requiredName(r, "name", label, rec::kNameBytes - 1);
    const std::uint32_t key = std::uint32_t(requiredNumber(r, "key", label, 0, 0xFFFFFFFFu));
    std::string section;
    if (r.contains("section")) {
      if (!r["section"].is_string()) throw Error(label + ": \"section\" must be a text");
      section = r["section"].get<std::string>();
      if (section.size() > nx::pe::kSectionNameSize)
        throw Error(label + ": \"section\" has more than 8 characters");
      for (unsigned char c : section)
        if (c < 0x20 || c > 0x7E) throw Error(label + ": \"section\" must be printable ASCII");
    }
    const std::uint8_t flags = std::uint8_t(numberMember(r, "flags", label, 0, 255, 0));
    const std::vector<Region> regions = parseRegions(r, label);

    Bytes d(kStored, 0);
    std::memcpy(&d[rec::kName], name.data(), name.size());
    put32(&d[rec::kKey], key);
    std::memcpy(&d[rec::kSection], section.data(), section.size());
    putRegion(&d[rec::kRegionA], regions[0]);
    putRegion(&d[rec::kRegionB], regions[1]);
    putRegion(&d[rec::kRegionC], regions[2]);
    d[rec::kFlags] = flags;
    tables[t].push_back(Entry{key, std::move(d)});
  }
  for (auto& [t, entries] : tables) {
    // Records with the same key keep their source order: the scanner tries them in file order.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    std::vector<Bytes> decoded;
    decoded.reserve(entries.size());
    for (Entry& e : entries) decoded.push_back(std::move(e.decoded));
    writeFile(dir / cat::kTables[t].file, encodeCategoryFile(decoded, kStored));
  }
}

std::string fixedText(const std::uint8_t* p, std::size_t max) {
  std::size_t n = 0;
  while (n < max && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

Json dumpWince(const fs::path& dir) {
  Json out = Json::array();
  for (const cat::TableInfo& t : cat::kTables) {
    Bytes file;
    std::string found;
    if (!readSignatureFile(dir, t.file, file, std::uintmax_t(1) << 31, &found)) continue;
    const std::vector<Bytes> records = decodeCategoryFile(file, kStored, found);
    std::uint32_t lastKey = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
      const std::uint8_t* d = records[i].data();
      const std::string what = found + ": record " + std::to_string(i);
      std::vector<Region> regions = {getRegion(d + rec::kRegionA), getRegion(d + rec::kRegionB),
                                     getRegion(d + rec::kRegionC)};
      for (const Region& g : regions)
        if (g.offset == 0 || g.length == 0)
          throw Error(what + " has a region at offset 0 or of length 0, so the scanner drops the file");
      const std::uint32_t key = get32(d + rec::kKey);
      if (i > 0 && key < lastKey)
        throw Error(what + " has key " + hex32(key) + " after key " + hex32(lastKey) +
                    ": the keys are out of order, so the scanner drops the file");
      lastKey = key;
      const std::string name = fixedText(d + rec::kName, rec::kNameBytes);
      if (name.size() == rec::kNameBytes) throw Error(what + ": the name has no terminating zero");
      Json r = Json::object();
      r["table"] = t.file;
      r["name"] = dumpedText(name, what + ": the name");
      r["key"] = key;
      r["section"] = dumpedText(fixedText(d + rec::kSection, nx::pe::kSectionNameSize), what + ": the section name");
      r["flags"] = d[rec::kFlags];
      r["regions"] = regionsJson(regions);
      out.push_back(std::move(r));
    }
  }
  return out;
}

struct Memory {
  const Bytes* bytes;
};

std::size_t memoryRead(void* ctx, std::uint64_t offset, void* buf, std::size_t len) {
  const Bytes& b = *static_cast<Memory*>(ctx)->bytes;
  if (offset >= b.size()) return 0;
  const std::size_t n = std::min<std::uint64_t>(len, b.size() - offset);
  std::memcpy(buf, b.data() + offset, n);
  return n;
}

Json learnWince(const Bytes& sample, const std::string& table, const std::string& name,
                std::vector<std::string>& notes) {
  if (tableIndex(table) < 0) throw Error("learn: \"" + table + "\" is not a Windows CE category file");
  Json probe = Json::object();
  probe["name"] = name;
  requiredName(probe, "name", "learn", rec::kNameBytes - 1);
  Memory m{&sample};
  const nx::pe::Reader reader{memoryRead, &m};
  const nx::pe::Headers h = nx::pe::readHeaders(reader);
  if (!h.isWindowsCe()) throw Error("learn: the sample is not a Windows CE PE image (MZ, PE, subsystem 9)");
  const nx::pe::EntryPoint ep = nx::pe::findEntryPoint(reader, h);
  const std::int64_t size = std::int64_t(sample.size());
  if (ep.offset >= size)
    throw Error("learn: the entry point's file offset " + std::to_string(ep.offset) +
                " is not inside the sample, so the scanner never looks it up");
  if (size < 2) throw Error("learn: the sample is too short");
  auto region = [&](std::int64_t offset, std::int64_t maxLen) {
    const std::int64_t len = std::min<std::int64_t>(maxLen, size - offset);
    return Region{std::uint32_t(offset), std::uint8_t(len), regionCrc(&sample[std::size_t(offset)], std::size_t(len))};
  };
  // An entry point at offset 0 (a resource library's RVA 0) or without a file offset (key -1) is
  // looked up all the same, but no region may start at 0 and there is no code of its own to take.
  const bool ownCode = ep.offset > 0;
  if (!ownCode)
    notes.push_back(std::string(ep.offset == 0 ? "the entry point is at file offset 0"
                                               : "the entry point has no file offset (key 0xFFFFFFFF)") +
                    ": region A starts at offset 1 and region C is taken from the middle of the file");
  std::vector<Region> regions;
  // Region A covers the bytes the scanner reads at the entry point anyway, so it costs no read.
  regions.push_back(ownCode ? region(ep.offset, 30) : region(1, 29));
  // Region B: the PE header and section table, which tell builds of one program apart.
  const std::int64_t hdr = h.peOffset > 0 && h.peOffset < sample.size() ? h.peOffset : 64;
  if (hdr >= size) throw Error("learn: the sample is too short");
  regions.push_back(region(hdr, 255));
  // Region C: the code following region A, or the middle of the file when there is none.
  const std::int64_t after = ep.offset + regions[0].length;
  regions.push_back(ownCode && after < size ? region(after, 255) : region(std::max<std::int64_t>(1, size / 2), 255));

  // The section test needs a name that a source can hold; a name with a control byte or a byte
  // over 0x7F (packers write such names) is left out, and the record relies on its regions.
  std::string section(ep.sectionName);
  const bool printable = std::all_of(section.begin(), section.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) <= 0x7E;
  });
  if (!printable) {
    notes.push_back("the entry point's section name (bytes " +
                    toHex(reinterpret_cast<const std::uint8_t*>(section.data()), section.size()) +
                    ") is not printable ASCII, so the record does not test the section name");
    section.clear();
  }

  Json r = Json::object();
  r["table"] = table;
  r["name"] = name;
  r["key"] = std::uint32_t(ep.offset);
  r["section"] = section;
  r["flags"] = section.empty() ? 0 : rec::kFlagSectionName;
  r["regions"] = regionsJson(regions);
  return r;
}

std::vector<std::string> winceFiles() {
  std::vector<std::string> names;
  for (const cat::TableInfo& t : cat::kTables) names.push_back(t.file);
  return names;
}

const Format kWince{"wince", 30, buildWince, dumpWince, winceFiles, "wince", learnWince};
NXSIG_REGISTER_FORMAT(kWince);

}  // namespace
}  // namespace nxsig
