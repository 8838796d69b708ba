// Which reader an archive calls for, and the reader itself bound from its
// module: the cabinet and installation-file readers of archivekit.dll and
// the ARJ reader of arjkit.dll, all behind the engine's reader table.
#pragma once

#include <cstdint>
#include <string>

#include "ce/ce.h"
#include "common/engine_types.h"

namespace nxarc {

enum class Kind { Cab, Sis, Sisx, Arj };

// "cab", "sis", "sisx", "arj"; false for anything else.
bool parseKind(const std::string& text, Kind& out);
const char* kindName(Kind kind);

// What the engine's detector calls the file, as the engine itself asks it:
// through filekit.dll's wrapper (loaded from imageDir, a device folder), with
// the file's device path so that the extension counts too. A file of no
// length is of no type (0). Returns -1 with `error` set when the file could
// not be opened or read, or when filekit.dll could not be had (`setup` set).
int32_t classifyArchive(const std::u16string& imageDir, const std::u16string& archive, std::string& error,
                        bool& setup);

// The reader for a detected type code (cabinet, EPOC and Symbian 9
// installation file, ARJ archive): false for a type no reader takes.
bool kindForType(int32_t type, Kind& out);

// A reader made by its module's create export. The module stays loaded for
// as long as the object lives.
class BoundReader {
 public:
  BoundReader() = default;
  BoundReader(const BoundReader&) = delete;
  BoundReader& operator=(const BoundReader&) = delete;
  ~BoundReader();

  // Loads the kind's module from imageDir and makes a reader. On failure
  // `error` says why and `missing` tells a module without the reader's
  // exports apart from one that could not be loaded at all.
  bool bind(Kind kind, const std::u16string& imageDir, std::string& error, bool& missing);

  ArchiveReader* get() const { return reader_; }
  // The ARJ reader's verdict on the member just taken (1 good, -115 refused
  // or damaged, other negatives: the archive could no longer be read); 1 for
  // readers that keep no such verdict.
  int32_t lastMemberResult() const;

  // The module's reader limits and status exports; false when the module
  // has none (a build before them).
  bool setLimits(const ArchiveReaderLimits& limits) const;
  bool status(ArchiveReaderStatus& out) const;

 private:
  Kind kind_ = Kind::Cab;
  ce::HMODULE module_ = nullptr;
  ce::FARPROC destroy_ = nullptr;
  ce::FARPROC lastResult_ = nullptr;
  ce::FARPROC setLimits_ = nullptr;
  ce::FARPROC status_ = nullptr;
  ArchiveReader* reader_ = nullptr;
};

}  // namespace nxarc
