// The cabinet reader: finds every cabinet in a file (a cabinet may sit after
// other data, as in a self-extracting program), follows a set's next-cabinet
// names in the archive's folder, binds the members to their folders and
// decodes them one after another, each folder at most once when its members
// are taken in stored order. All file access goes through the file wrapper.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archivekit/archivekit_api.h"
#include "archivekit/decompressor.h"
#include "ce/windows.h"
#include "common/reader_budget.h"
#include "filekit/filekit_api.h"

namespace nx::cab {

// Open flags of the file wrapper as the reader passes them.
inline constexpr int32_t kOpenArchive = 0x8000;
inline constexpr int32_t kOpenOutput = 0x8001;
inline constexpr int32_t kOpenCreate = 0x0100;
inline constexpr int32_t kShareReadWrite = 0x0180;

// Reasons a block read fails inside the reader (never seen by callers).
enum : int { kBlockChecksum = 4, kBlockShort = 5, kBlockSplit = 7, kBlockLimit = 8 };

// Header flags.
inline constexpr uint16_t kFlagPrevious = 0x0001;
inline constexpr uint16_t kFlagNext = 0x0002;
inline constexpr uint16_t kFlagReserve = 0x0004;

// Special folder indexes of a member.
inline constexpr uint16_t kContinuedFromPrevious = 0xFFFD;
inline constexpr uint16_t kContinuedToNext = 0xFFFE;
inline constexpr uint16_t kContinuedBoth = 0xFFFF;

// Limits that keep hostile files from costing unbounded time or memory.
inline constexpr size_t kMaxHeaderString = 1024;  // names are at most 256 bytes in sound cabinets
inline constexpr size_t kMaxCabinets = 256;       // cabinets found in one file plus the chain
inline constexpr int kMaxSplits = 10;
// File entries held over all cabinets of one archive: cabinets found inside
// one another's bytes could otherwise multiply one file's entries.
inline constexpr uint32_t kMaxEntriesPerArchive = 1u << 18;
// Entries read while trying candidate headers, kept or not: false headers
// with large counts before a real one cost their reading, and this bounds it.
inline constexpr uint32_t kMaxEntriesRead = 4 * kMaxEntriesPerArchive;

// The cabinet data checksum: little-endian 32-bit words XORed, the 1-3
// trailing bytes forming one more word with the first of them most significant.
uint32_t cabChecksum(const uint8_t* data, size_t length, uint32_t seed);

struct CabCabinet;
struct CabFile;

// A folder; one that a set continues from cabinet to cabinet has a split
// per part, each with the part's blocks.
struct CabFolder {
  struct Split {
    CabCabinet* cabinet = nullptr;
    uint32_t dataOffset = 0;  // absolute file offset of the first data block
    uint16_t blocks = 0;      // data blocks (or pieces of one) in this part
  };
  Split splits[kMaxSplits];
  uint16_t type = 0;
  uint16_t splitCount = 0;
  uint16_t blockCount = 0;
  bool runsOnMissing = false;  // the folder continues in a part that is not there
};

struct CabFile {
  CabFolder* folder = nullptr;
  std::string name;  // bytes as stored
  uint32_t length = 0;
  uint32_t folderOffset = 0;
  uint16_t folderIndex = 0;
  uint16_t date = 0, time = 0, attributes = 0;
  bool fromAbsentCabinet = false;
};

struct CabCabinet {
  std::u16string path;
  int32_t handle = -1;
  int32_t fileLength = 0;
  uint32_t base = 0;
  CabCabinet* previous = nullptr;
  CabCabinet* next = nullptr;
  std::string previousName, previousDisk, nextName, nextDisk;
  std::vector<CabFolder*> folders;  // in header order; a merge replaces the first
  std::vector<std::unique_ptr<CabFolder>> ownedFolders;
  std::vector<std::unique_ptr<CabFile>> files;
  uint8_t dataReserve = 0;
  uint16_t flags = 0;
};

class CabReader final : public ArchiveReaderObject {
 public:
  // Looks for a file named exactly `name` in `directory` (which ends in "\").
  using DirectoryProbe = std::function<bool(const std::u16string& directory, const std::u16string& name)>;

  explicit CabReader(FileWrapObject* files);
  ~CabReader();
  CabReader(const CabReader&) = delete;
  CabReader& operator=(const CabReader&) = delete;

  // The reader's operations (also reachable through its table, ops).
  int32_t Open(const ce::WCHAR* archivePath);
  int32_t ExtractNext(const ce::WCHAR* outputPath, ce::WCHAR* nameBuffer);
  int32_t Close();
  void* Destroy(int32_t flags);

  // Replaces the directory search used to find a set's next cabinet (the
  // default lists the directory through the platform).
  void setDirectoryProbe(DirectoryProbe probe) { probe_ = std::move(probe); }

  // The budget of the reader (SetArchiveReaderLimits) and its account
  // (GetArchiveReaderStatus).
  int32_t setLimits(const ArchiveReaderLimits& limits) { return budget_.set(limits); }
  // Members not yet taken are pending unless the archive itself ended the
  // walk (they were then accounted for as not delivered).
  void status(ArchiveReaderStatus& out) const {
    budget_.report(out, current_ < members_.size() && (!finished_ || budget_.stopped()));
  }

  // For tests and tools: what Open found.
  int32_t memberCount() const { return memberCount_; }
  size_t cabinetsFound() const { return found_.size(); }
  size_t boundMembers() const { return members_.size(); }
  // Data blocks decoded since Open (members of one folder taken in order
  // never decode a block twice).
  uint64_t blocksDecoded() const { return blocksDecoded_; }

 private:
  struct DecodeState {
    CabDecompressor* decoder = nullptr;
    CabFolder* folder = nullptr;
    uint32_t reached = 0;  // offset reached in the folder's unpacked stream
    uint32_t outPos = 0;
    uint32_t outRemaining = 0;
    uint16_t split = 0;
    uint16_t blocksLeft = 0;  // blocks of the current split not yet read
  };

  void clearAll();
  bool findCabinets();
  std::unique_ptr<CabCabinet> loadCabinet(int32_t handle, const std::u16string& path, int32_t fileLength,
                                          uint32_t offset);
  void followChain(CabCabinet* first);
  bool probeName(const std::string& stored) const;
  bool previousLeadsHere(const CabCabinet& first);
  void bindMembers();
  size_t bindSet(CabCabinet* first);
  bool extract(CabFile& file, const ce::WCHAR* outputPath);
  bool startFolder(CabFolder* folder);
  bool nextSplit();
  int decode(uint32_t count, int32_t output);
  int readBlock();
  int readPiece(int& have, int& unpacked);
  void closeFolderFile();
  // Ends the enumeration; the members not taken count as undelivered unless
  // a limit stopped the reader.
  void finish();
  int32_t readFully(int32_t handle, void* buffer, int32_t length);

  FileWrapObject* files_;
  const FileWrapOps* ops_;
  DirectoryProbe probe_;
  ce::WCHAR path_[ce::MAX_PATH] = {};
  int32_t memberCount_ = 0;
  int32_t memberIndex_ = 0;
  std::vector<std::unique_ptr<CabCabinet>> found_;    // found in the archive file, in search order
  std::vector<std::unique_ptr<CabCabinet>> chained_;  // next cabinets of the first one, in set order
  std::vector<CabFile*> members_;
  size_t current_ = 0;
  bool finished_ = false;
  DecodeState state_;
  uint64_t blocksDecoded_ = 0;
  uint32_t entriesLeft_ = 0;  // entries a loaded cabinet may still bring
  uint32_t readLeft_ = 0;     // entries the search may still read
  nx::ReaderBudget budget_;
};

// The reader behind a table, or null for a reader of another kind.
CabReader* asCabReader(ArchiveReaderObject* object);

}  // namespace nx::cab
