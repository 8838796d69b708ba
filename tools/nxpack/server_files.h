// The byte layouts of an update-server folder, written and read back: the
// source list "httpdn.dat", "index.dat", "index.bin" and the definition
// packages. Readers never throw on damaged data: they append one line per
// fault found and give back what could be read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nxpack {

using Bytes = std::vector<uint8_t>;
using Faults = std::vector<std::string>;

uint16_t get16(const uint8_t* p);
uint32_t get32(const uint8_t* p);
void set16(uint8_t* p, uint16_t v);
void set32(uint8_t* p, uint32_t v);

// ---- "httpdn.dat" ------------------------------------------------------------------
struct Location {
  std::u16string base;
  uint32_t number = 0;
  std::u16string text2, text3;
};
struct Section {
  uint32_t type = 0;
  std::vector<Location> locations;
};

// One section of type 1 with a location per base address (ASCII, checked by
// the caller), the other fields zero.
Bytes encodeSources(const std::vector<std::string>& bases);
std::vector<Section> decodeSources(const Bytes& file, Faults& faults);

// ---- "index.dat" ---------------------------------------------------------------------
struct IndexEntry {
  uint8_t type = 0;
  uint8_t sequence = 0;
  uint32_t size = 0;    // of the package file
  uint32_t check = 0;   // the package's check value
  std::string name;     // at most 49 characters
  uint8_t platform = 0;
};
struct Index {
  uint32_t family = 0;
  uint32_t sum = 0;
  std::vector<IndexEntry> entries;
};

Bytes encodeIndex(const std::vector<IndexEntry>& entries);
// Checks the head, the byte sum, the entry size, and every entry the way
// the handset takes it (type, platform, name), plus unique names and pairs.
Index decodeIndex(const Bytes& file, Faults& faults);
// The byte sum of everything after the head.
uint32_t indexSum(const Bytes& file);
// The 50 name bytes of an entry as they stand in index.dat.
Bytes entryNameBytes(const std::string& name);

// ---- "index.bin" ---------------------------------------------------------------------
Bytes encodeIndexBin(uint8_t revision, const Bytes& indexDat);
// The revision, or nothing when the file is empty; a 16-byte file is also
// compared with the index.dat it is meant to describe.
std::optional<uint8_t> decodeIndexBin(const Bytes& file, const Bytes* indexDat, Faults& faults);

// ---- Packages --------------------------------------------------------------------------
struct PackageHead {
  uint32_t kind = 0;
  uint32_t check = 0;
  uint32_t length = 0;
  uint8_t platform = 0;
  uint8_t type = 0;
  uint8_t sequence = 0;
};

// The 51-byte head followed by the ARJ archive with its first 90 bytes
// scrambled. The archive must be at least 90 bytes long.
Bytes makePackage(const Bytes& arj, uint8_t type, uint8_t sequence);
PackageHead readPackageHead(const Bytes& package);
// The ARJ archive inside a package (first 90 bytes unscrambled); empty when
// the package is too short to hold one.
Bytes packageBody(const Bytes& package);
// Checks the head as the handset does (kind, check value, platform) and the
// fields the server adds (length, type and sequence when expected given).
void checkPackage(const std::string& what, const Bytes& package, const IndexEntry* expected, Faults& faults);

// ---- "scanver.cnf" ---------------------------------------------------------------------
struct Version {
  int16_t major = 0, minor = 0;
  uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
};
inline constexpr size_t kVersionSize = 20;
// Nothing when the record is not 20 bytes or its date is not a date.
std::optional<Version> decodeVersion(const Bytes& file, std::string* why = nullptr);
std::string describeVersion(const Version& v);  // "1.00, database 2026-12-10 00:00:00"

// Why a handset that holds the package with version `before` would call a
// package of the given type with version `next` up to date (and so fetch it
// again and again without installing it), or empty when it would install it.
std::string updateOrderFault(const Version& next, const Version& before, int type);

// ---- Names -----------------------------------------------------------------------------
// Why a file cannot be a package member, or empty when it can: a plain
// handset file name (no folder, printable ASCII without \ / : * ? " < > |,
// not ending in a dot or blank, no device name) short enough that
// "\Program Files\Nyxel\Nyxel AntiVirus\Upgrade\" plus the name stays within
// 259 characters, and none of the names the update engine itself uses in
// the staging folder.
std::string memberNameFault(const std::string& name);
inline constexpr size_t kMaxMemberName = 214;

// The lowered form the handset compares names in.
std::string lowerAscii(std::string s);
// The version record's name, in any case.
inline bool isVersionName(const std::string& name) { return lowerAscii(name) == "scanver.cnf"; }

}  // namespace nxpack
