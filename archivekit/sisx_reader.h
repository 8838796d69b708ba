// The SISX reader: a Symbian 9 installation file as a sequence of members.
// The names come from the file descriptions of the first installation blocks
// found in the controller, in the order found; they are paired by position
// with the file data stored in the data section. File data beyond the names
// are delivered as well, reported under the output path. The controller is inflated
// into the engine's file for the first member and parsed there.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archivekit/archivekit_api.h"
#include "archivekit/inflater.h"
#include "ce/windows.h"
#include "common/reader_budget.h"
#include "filekit/filekit_api.h"

namespace nx::sis {

inline constexpr uint32_t kSisxUid1 = 0x10201A7A;
// Field headers searched before a wanted field is given up.
inline constexpr int kMaxFieldHeaders = 500;
inline constexpr int kMaxInstallBlocks = 8;
// A target path of this many bytes or more is refused (260 wide characters).
inline constexpr uint32_t kMaxTargetBytes = 259;
// Members written as stored and the controller work file: binary, read/write,
// created and truncated, so nothing of an earlier, longer content remains.
inline constexpr int32_t kOpenSisxOutput = 0x8302;

enum SisxField : uint32_t {
  kFieldString = 1,
  kFieldArray = 2,
  kFieldCompressed = 3,
  kFieldController = 13,
  kFieldFileDescription = 24,
  kFieldInstallBlock = 28,
  kFieldData = 30,
  kFieldFileData = 32,
};

// Entries held for one archive at most: every one needs a file description
// of at least 12 bytes in the controller, and no sound package comes near.
inline constexpr size_t kMaxSisxEntries = 65536;

struct SisxEntry {
  std::u16string name;  // last component of the target path (at most 129 characters)
  int32_t index = 0;
  bool named = false;
};

class SisxReader final : public ArchiveReaderObject {
 public:
  SisxReader(FileWrapObject* files, FileWrapObject* inflaterFiles);
  ~SisxReader();
  SisxReader(const SisxReader&) = delete;
  SisxReader& operator=(const SisxReader&) = delete;

  int32_t Open(const ce::WCHAR* archivePath);
  int32_t ExtractNext(const ce::WCHAR* outputPath, ce::WCHAR* nameBuffer);
  int32_t Close();
  void* Destroy(int32_t flags);

  size_t entryCount() const { return entries_.size(); }

  int32_t setLimits(const ArchiveReaderLimits& limits) { return budget_.set(limits); }
  void status(ArchiveReaderStatus& out) const {
    budget_.report(out, handle_ != -1 && (!exhausted_ || budget_.stopped()));
  }

 private:
  // kEnd: the data section ended; kBroken: data there could not be read.
  enum class Outcome { kDelivered, kRefused, kEmpty, kEnd, kBroken };
  Outcome extractMember(const ce::WCHAR* outputPath);
  struct Header {
    uint32_t type = 0, length = 0;
  };
  bool readHeader(int32_t handle, Header& h);
  bool readExact(int32_t handle, void* buffer, uint32_t length);
  bool skipTo(int32_t handle, uint64_t position, uint64_t limit);
  // Reads the compressed block at the archive position into packed (its
  // bytes rounded up to 4 with the 12-byte block header taken off).
  bool readCompressed(const Header& field, uint32_t& algorithm, uint32_t& uncompressed,
                      std::unique_ptr<uint8_t[]>& packed, uint32_t& packedLength);
  bool parseController(const ce::WCHAR* workPath);
  bool parseBlocks(int32_t work, uint64_t workLength);

  FileWrapObject* files_;
  FileWrapObject* inflaterFiles_;
  int32_t handle_ = -1;
  int32_t memberIndex_ = -1;
  uint32_t controllerPosition_ = 0;
  uint32_t archiveLength_ = 0;
  std::vector<SisxEntry> entries_;
  bool exhausted_ = false;
  bool controllerRead_ = false;  // the controller field was passed whole
  nx::ReaderBudget budget_;
};

SisxReader* asSisxReader(ArchiveReaderObject* object);

}  // namespace nx::sis
