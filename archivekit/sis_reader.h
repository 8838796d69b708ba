// The SIS reader: an EPOC release-6 installation file as a sequence of
// members, one per stored file and language variant, each written (inflated
// unless the package stores its data plainly) to the path the engine gives.
// Option, condition and else/end-if records are walked over.
#pragma once

#include <cstdint>

#include "archivekit/archivekit_api.h"
#include "archivekit/inflater.h"
#include "ce/windows.h"
#include "common/reader_budget.h"
#include "filekit/filekit_api.h"

namespace nx::sis {

inline constexpr uint32_t kSisUid2 = 0x10003A12;
inline constexpr uint32_t kSisUid2Release5 = 0x1000006D;
inline constexpr uint32_t kSisUid3 = 0x10000419;
inline constexpr uint16_t kOptionUncompressed = 0x0008;
inline constexpr size_t kSisHeaderSize = 100;
// Name lengths in bytes beyond this are not names (260 wide characters).
inline constexpr uint32_t kMaxNameBytes = 520;

inline constexpr int32_t kOpenArchive = 0x8000;
// Stored members: binary, write-only, created, truncated (a longer file left
// at the path must not keep its tail).
inline constexpr int32_t kOpenStoredOutput = 0x8301;

// The SIS/SISX layer's wrappers (module state; null while the layer is down).
FileWrapObject* sisLayerWrapper();
FileWrapObject* inflaterLayerWrapper();

class SisReader final : public ArchiveReaderObject {
 public:
  // files: archives are read and stored members written through it;
  // inflaterFiles: inflated members are written through it.
  SisReader(FileWrapObject* files, FileWrapObject* inflaterFiles);
  ~SisReader();
  SisReader(const SisReader&) = delete;
  SisReader& operator=(const SisReader&) = delete;

  int32_t Open(const ce::WCHAR* archivePath);
  int32_t ExtractNext(const ce::WCHAR* outputPath, ce::WCHAR* nameBuffer);
  int32_t Close();
  void* Destroy(int32_t flags);

  int32_t setLimits(const ArchiveReaderLimits& limits) { return budget_.set(limits); }
  void status(ArchiveReaderStatus& out) const {
    budget_.report(out, handle_ != -1 && !ended_ && (inVariant_ || recordCounter_ < recordCount()));
  }

 private:
  bool readAt(uint32_t position, void* buffer, uint32_t length);
  bool readU32At(uint64_t position, uint32_t& value);
  void takeName(const uint8_t* fixed, ce::WCHAR* nameBuffer);
  bool readVariant(uint32_t index, uint32_t& length, uint32_t& position, uint32_t& uncompressed);
  bool extractVariant(uint32_t position, uint32_t length, uint32_t uncompressed, const ce::WCHAR* outputPath);
  // Delivers the first variant from languageIndex_ on that can be extracted;
  // the record is left behind when none remains.
  bool deliverVariants(ce::WCHAR* nameBuffer);
  void advance(uint64_t by);
  int32_t walkEnded();
  uint16_t languages() const;
  uint16_t recordCount() const;

  FileWrapObject* files_;
  FileWrapObject* inflaterFiles_;
  int32_t handle_ = -1;
  uint16_t recordCounter_ = 0;
  uint32_t archiveLength_ = 0;
  uint16_t languageIndex_ = 0;
  uint64_t previous_ = 0;
  uint64_t current_ = 0;
  bool compressed_ = true;
  bool inVariant_ = false;
  bool ended_ = false;
  uint8_t header_[kSisHeaderSize] = {};
  ce::WCHAR savedName_[ce::MAX_PATH] = {};
  const ce::WCHAR* pendingOutput_ = nullptr;  // output path of the current call
  nx::ReaderBudget budget_;
};

SisReader* asSisReader(ArchiveReaderObject* object);

}  // namespace nx::sis
