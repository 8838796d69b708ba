// EPOC category files: "sigm{worm,bkdr,trjn,ware,spwr}.{inx,in0..in4}".
#include <algorithm>
#include <cstring>
#include <map>

#include "common/signature_constants.h"
#include "epocscan/epoc_image.h"
#include "epocscan/epoc_tables.h"
#include "formats.h"

namespace nxsig {
namespace {

namespace ep = nx::epoc;
namespace rec = nx::epoc::rec;

int tableIndex(const std::string& file) {
  for (int i = 0; i < 30; ++i)
    if (file == ep::kTables[i].file) return i;
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

void buildEpoc(const Json& records, const fs::path& dir) {
  std::map<int, std::vector<Entry>> tables;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Json& r = records[i];
    const std::string label = recordLabel("epoc", i, r);
    if (!r.is_object()) throw Error(label + ": must be an object");
    for (auto it = r.begin(); it != r.end(); ++it) {
      static const char* allowed[] = {"table", "name", "key", "header_crc", "regions"};
      if (std::none_of(std::begin(allowed), std::end(allowed), [&](const char* a) { return it.key() == a; }))
        throw Error(label + ": unknown member \"" + it.key() + "\"");
    }
    if (!r.contains("table") || !r["table"].is_string()) throw Error(label + ": \"table\" must be a category file name");
    const int t = tableIndex(r["table"].get<std::string>());
    if (t < 0) throw Error(label + ": \"" + r["table"].get<std::string>() + "\" is not an EPOC category file");
    const std::string name = requiredName(r, "name", label, rec::kNameBytes - 1);
    const std::uint32_t key = std::uint32_t(requiredNumber(r, "key", label, 0, 0xFFFFFFFFu));
    const std::uint32_t headerCrc = std::uint32_t(requiredNumber(r, "header_crc", label, 0, 0xFFFFFFFFu));
    const std::vector<Region> regions = parseRegions(r, label);

    Bytes d(rec::kStored, 0);
    std::memcpy(&d[rec::kName], name.data(), name.size());
    put32(&d[rec::kKey], key);
    put32(&d[rec::kHeaderCrc], headerCrc);
    putRegion(&d[rec::kRegionA], regions[0]);
    putRegion(&d[rec::kRegionB], regions[1]);
    putRegion(&d[rec::kRegionC], regions[2]);
    tables[t].push_back(Entry{key, std::move(d)});
  }
  for (auto& [t, entries] : tables) {
    // Records with the same key keep their source order: the scanner tries them in file order.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    std::vector<Bytes> decoded;
    decoded.reserve(entries.size());
    for (Entry& e : entries) decoded.push_back(std::move(e.decoded));
    writeFile(dir / ep::kTables[t].file, encodeCategoryFile(decoded, rec::kStored));
  }
}

Json dumpEpoc(const fs::path& dir) {
  Json out = Json::array();
  for (const ep::TableInfo& t : ep::kTables) {
    Bytes file;
    std::string found;
    if (!readSignatureFile(dir, t.file, file, std::uintmax_t(1) << 31, &found)) continue;
    const std::vector<Bytes> records = decodeCategoryFile(file, rec::kStored, found);
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
      std::size_t n = 0;
      while (n < rec::kNameBytes && d[rec::kName + n]) ++n;
      if (n == rec::kNameBytes) throw Error(what + ": the name has no terminating zero");
      Json r = Json::object();
      r["table"] = t.file;
      r["name"] = dumpedText(std::string(reinterpret_cast<const char*>(d + rec::kName), n), what + ": the name");
      r["key"] = key;
      r["header_crc"] = hex32(get32(d + rec::kHeaderCrc));
      r["regions"] = regionsJson(regions);
      out.push_back(std::move(r));
    }
  }
  return out;
}

Json learnEpoc(const Bytes& sample, const std::string& table, const std::string& name, std::vector<std::string>&) {
  if (tableIndex(table) < 0) throw Error("learn: \"" + table + "\" is not an EPOC category file");
  Json probe = Json::object();
  probe["name"] = name;
  requiredName(probe, "name", "learn", rec::kNameBytes - 1);
  const ep::ImageFacts image = ep::inspectImage(sample.data(), std::min<std::size_t>(sample.size(), ep::kClassicHeader));
  if (!image.epoc) throw Error("learn: the sample is not an EPOC image (UID1 and a whole header)");
  const std::int64_t size = std::int64_t(sample.size());
  if (image.entryOffset <= 0 || image.entryOffset >= size)
    throw Error("learn: the entry point's file offset " + std::to_string(image.entryOffset) +
                " is not inside the sample, so the scanner never looks it up (the code of a compressed"
                " image is not stored as it runs)");
  auto region = [&](std::int64_t offset, std::int64_t maxLen) {
    const std::int64_t len = std::min<std::int64_t>(maxLen, size - offset);
    return Region{std::uint32_t(offset), std::uint8_t(len), regionCrc(&sample[std::size_t(offset)], std::size_t(len))};
  };
  std::vector<Region> regions;
  // Region A: the bytes the scanner reads at the entry point anyway, so it costs no read.
  regions.push_back(region(image.entryOffset, 30));
  // Region B: the code that follows, or the file's middle when the entry point is at its end.
  const std::int64_t after = image.entryOffset + regions[0].length;
  regions.push_back(after < size ? region(after, 255) : region(std::max<std::int64_t>(1, size / 2), 255));
  // Region C: the file's last bytes (import and data sections of the image).
  const std::int64_t tail = std::max<std::int64_t>(1, size - 255);
  regions.push_back(region(tail, 255));

  Json r = Json::object();
  r["table"] = table;
  r["name"] = name;
  r["key"] = std::uint32_t(image.entryOffset);
  r["header_crc"] = hex32(image.headerCrc);
  r["regions"] = regionsJson(regions);
  return r;
}

std::vector<std::string> epocFiles() {
  std::vector<std::string> names;
  for (const ep::TableInfo& t : ep::kTables) names.push_back(t.file);
  return names;
}

const Format kEpoc{"epoc", 40, buildEpoc, dumpEpoc, epocFiles, "epoc", learnEpoc};
NXSIG_REGISTER_FORMAT(kEpoc);

}  // namespace
}  // namespace nxsig
