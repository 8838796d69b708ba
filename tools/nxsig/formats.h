// nxsig: the signature compiler's format table and the helpers every format shares.
//
// Each scanner family's signature format lives in its own format_<family>.cpp and registers
// itself with NXSIG_REGISTER_FORMAT. The driver (main.cpp) merges the source files, hands each
// format the records of its source member, and asks each format to read its files back for
// `dump`. A format that can compute a record from a sample file also names a `learn` kind.
//
// Formats report bad input by throwing nxsig::Error with a message that names the record
// ("wince[3] (Worm.A): region B length 0 ..."); the driver prints it and fails.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nxsig {

// Source and dump documents keep their members in the order written.
using Json = nlohmann::ordered_json;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Format {
  // Source member this format compiles ("pe", "poly", "wince", "epoc", "store").
  const char* member;
  // Position of the member in `dump` output (lower first).
  int order;
  // Writes the format's files into outDir. `records` is the member's records from every
  // source, concatenated in command-line order (an empty array when no source has the member).
  // Must validate everything before writing anything.
  void (*build)(const Json& records, const fs::path& outDir);
  // Reads the format's files from dir and returns the records as a source would hold them
  // (an empty array when the files are absent or hold no records). Throws for damaged files.
  Json (*dump)(const fs::path& dir);
  // Every file name of this format that a scanner loads. After a build, any of them that the
  // build did not write is removed from the output folder, so the folder holds exactly the
  // build of its sources.
  std::vector<std::string> (*files)();
  // `nxsig learn <learnKind> ...`: one record computed from a sample file, or nullptr. What the
  // record leaves out of the sample, and why, goes to notes (printed for the analyst).
  const char* learnKind = nullptr;
  Json (*learn)(const Bytes& sample, const std::string& table, const std::string& name,
                std::vector<std::string>& notes) = nullptr;
};

// Adds a format to the table; called from static initialisers of the format files.
bool registerFormat(const Format& format);
// All registered formats, ordered by `order`.
std::vector<Format> formats();

#define NXSIG_CONCAT2(a, b) a##b
#define NXSIG_CONCAT(a, b) NXSIG_CONCAT2(a, b)
#define NXSIG_REGISTER_FORMAT(format) \
  static const bool NXSIG_CONCAT(nxsigRegistered_, __LINE__) = ::nxsig::registerFormat(format)

// ---- Driver entry points (also used by tests) ---------------------------------------------
// What a build did to its output folder.
struct BuildResult {
  std::vector<std::string> written;  // file names written, in the order written
  std::vector<std::string> removed;  // signature files the sources no longer produce
};
// Merges the sources, validates every member, and writes all files into outDir (created). Then
// removes every signature file of outDir that the build did not write (under any letter case), so
// a record taken out of the sources stops detecting. Files that are no signature table (modules,
// settings, "scanver.cnf") are never removed.
BuildResult buildAll(const std::vector<Json>& sources, const fs::path& outDir);
// Reads every format's files (and "scanver.cnf") from dir into one source document.
Json dumpAll(const fs::path& dir);
// One learned record; throws Error for an unknown kind or an unusable sample. Notes on what the
// record does not test are appended to *notes when given.
Json learnRecord(const std::string& kind, const Bytes& sample, const std::string& table,
                 const std::string& name, std::vector<std::string>* notes = nullptr);

// ---- Helpers for formats -------------------------------------------------------------------
// "pe[2] (Name)" for messages; name may be empty.
std::string recordLabel(std::string_view member, std::size_t index, const Json& record);

// A JSON number or a "0x..." / decimal string, checked against [min, max].
std::uint64_t parseNumber(const Json& value, std::string_view what, std::uint64_t min, std::uint64_t max);
// Optional member with a default.
std::uint64_t numberMember(const Json& record, const char* key, std::string_view what, std::uint64_t min,
                           std::uint64_t max, std::uint64_t def);
// Required member.
std::uint64_t requiredNumber(const Json& record, const char* key, std::string_view what, std::uint64_t min,
                             std::uint64_t max);
// Required text member: printable ASCII (0x20-0x7E), 1 to maxChars characters.
std::string requiredName(const Json& record, const char* key, std::string_view what, std::size_t maxChars);
// A text read back from a file by `dump`, returned as it is when a source can hold it (printable
// ASCII, as requiredName asks); otherwise throws Error "<what> holds bytes ... (hex)".
std::string dumpedText(std::string text, std::string_view what);
// Hex text ("4d5a90", spaces allowed) to bytes.
Bytes parseHex(std::string_view hex, std::string_view what);
std::string toHex(const std::uint8_t* data, std::size_t size);
// "0x%08X" for dumped checksums.
std::string hex32(std::uint32_t value);

// Little-endian access.
inline void put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = std::uint8_t(v);
  p[1] = std::uint8_t(v >> 8);
}
inline void put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> (8 * i));
}
inline std::uint16_t get16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
inline std::uint32_t get32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
         (std::uint32_t(p[3]) << 24);
}

// Whole-file I/O. readFile returns false when the file does not exist; throws for other errors
// or a file larger than maxSize. writeFile replaces the file atomically.
bool readFile(const fs::path& path, Bytes& out, std::uintmax_t maxSize = std::uintmax_t(1) << 31);
void writeFile(const fs::path& path, const Bytes& data);

// The entry of dir that the handset would open for `name`: the exact name, else one that differs
// only in letter case (the handset's file names ignore case). Empty when there is none.
fs::path findSignatureFile(const fs::path& dir, std::string_view name);
// readFile of findSignatureFile(dir, name); the file name found goes to *found when given.
bool readSignatureFile(const fs::path& dir, std::string_view name, Bytes& out,
                       std::uintmax_t maxSize = std::uintmax_t(1) << 31, std::string* found = nullptr);
// Names that the handset takes for the same file: equal but for the letter case of A-Z.
bool sameFileName(std::string_view a, std::string_view b);

// ---- Category files ("INXF"), shared by the Windows CE and EPOC category formats ----------------
// One decoded record of storedSize bytes (the compiler fills all of it; the loader keeps a prefix).
struct CategoryTable {
  const char* file;   // "sigwworm.in0"
  std::uint16_t code; // table code of the threat record
};
// Encodes decoded records (each storedSize bytes), adds header and checksum.
Bytes encodeCategoryFile(const std::vector<Bytes>& decodedRecords, std::size_t storedSize);
// Decodes a whole file; throws Error naming the file for a wrong magic, length, count or checksum.
std::vector<Bytes> decodeCategoryFile(const Bytes& file, std::size_t storedSize, std::string_view fileName);
// A region of a category record, as the source writes it.
struct Region {
  std::uint32_t offset;
  std::uint8_t length;
  std::uint32_t crc;
};
// Parses "regions": exactly three, each with offset >= 1, length 1..255, crc 32-bit.
std::vector<Region> parseRegions(const Json& record, std::string_view label);
Json regionsJson(const std::vector<Region>& regions);

// The checksum of the category regions: CRC-32 (0xEDB88320), register at all ones, no final
// complement.
std::uint32_t regionCrc(const std::uint8_t* data, std::size_t size);

}  // namespace nxsig
