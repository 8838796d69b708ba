#include "archivekit/sisx_reader.h"

#include <cstring>
#include <new>

#include "archivekit/sis_reader.h"

namespace nx::sis {

namespace {

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t roundUp4(uint64_t v) { return (v + 3) & ~uint64_t{3}; }

// Packed data held in memory at most: the largest member plus more than
// deflate's worst expansion of it.
constexpr uint32_t kMaxPacked = kMaxInflated + 0x10000;

void copyName(ce::WCHAR* buffer, const ce::WCHAR* name) {
  if (!buffer) return;
  size_t i = 0;
  for (; name && name[i] && i + 1 < ce::MAX_PATH; ++i) buffer[i] = name[i];
  buffer[i] = 0;
}

int32_t opOpen(ArchiveReaderObject* self, int32_t, const char16_t* path) {
  return static_cast<SisxReader*>(self)->Open(path);
}
int32_t opExtractNext(ArchiveReaderObject* self, const char16_t* out, char16_t* name) {
  return static_cast<SisxReader*>(self)->ExtractNext(out, name);
}
int32_t opReserved(ArchiveReaderObject*) { return 0; }
int32_t opClose(ArchiveReaderObject* self) { return static_cast<SisxReader*>(self)->Close(); }
ArchiveReader* opDestroy(ArchiveReaderObject* self, uint32_t flags) {
  return static_cast<ArchiveReader*>(static_cast<SisxReader*>(self)->Destroy(static_cast<int32_t>(flags)));
}
constexpr ArchiveReaderOps kSisxReaderOps = {opOpen, opExtractNext, opReserved, opClose, opDestroy};

}  // namespace

SisxReader::SisxReader(FileWrapObject* files, FileWrapObject* inflaterFiles)
    : files_(files), inflaterFiles_(inflaterFiles) {
  ops = &kSisxReaderOps;
}

SisxReader::~SisxReader() = default;

void* SisxReader::Destroy(int32_t flags) {
  if (flags & 1) {
    delete this;
    return nullptr;
  }
  return this;
}

SisxReader* asSisxReader(ArchiveReaderObject* object) {
  return object && object->ops == &kSisxReaderOps ? static_cast<SisxReader*>(object) : nullptr;
}

int32_t SisxReader::Close() {
  if (handle_ != -1 && files_) files_->ops->Close(files_, handle_);
  handle_ = -1;
  entries_.clear();
  entries_.shrink_to_fit();
  memberIndex_ = -1;
  exhausted_ = false;
  return 1;
}

bool SisxReader::readExact(int32_t handle, void* buffer, uint32_t length) {
  if (length > 0x7FFFFFFFu) return false;
  return files_->ops->Read(files_, handle, buffer, static_cast<int32_t>(length)) == static_cast<int32_t>(length);
}

bool SisxReader::readHeader(int32_t handle, Header& h) {
  uint8_t b[8];
  if (!readExact(handle, b, 8)) return false;
  h.type = le32(b);
  h.length = le32(b + 4);
  return true;
}

bool SisxReader::skipTo(int32_t handle, uint64_t position, uint64_t limit) {
  if (position > limit || position > 0x7FFFFFFFu) return false;
  return files_->ops->Seek(files_, handle, static_cast<int32_t>(position), NX_SEEK_SET) ==
         static_cast<int32_t>(position);
}

int32_t SisxReader::Open(const ce::WCHAR* archivePath) {
  if (!archivePath || !files_) return 0;
  Close();
  const FileWrapOps* f = files_->ops;
  handle_ = f->OpenW(files_, archivePath, kOpenArchive, 0);
  if (handle_ == -1) return 0;
  uint8_t uid[4];
  Header contents;
  int32_t size = f->Size(files_, handle_);
  bool ok = size >= 0 && f->Seek(files_, handle_, 0, NX_SEEK_SET) == 0 && readExact(handle_, uid, 4) &&
            le32(uid) == kSisxUid1 && skipTo(handle_, 16, static_cast<uint32_t>(size)) &&
            readHeader(handle_, contents) && uint64_t{contents.length} + 24 == static_cast<uint64_t>(size) &&
            skipTo(handle_, 48, static_cast<uint32_t>(size));
  if (!ok) {
    Close();
    return 0;
  }
  archiveLength_ = static_cast<uint32_t>(size);
  controllerPosition_ = 48;
  budget_.opened();
  return 1;
}

bool SisxReader::readCompressed(const Header& field, uint32_t& algorithm, uint32_t& uncompressed,
                                std::unique_ptr<uint8_t[]>& packed, uint32_t& packedLength) {
  if (field.type != kFieldCompressed || field.length < 12 || field.length > archiveLength_) return false;
  uint8_t block[12];
  if (!readExact(handle_, block, 12)) return false;
  algorithm = le32(block);
  uncompressed = le32(block + 4);  // the low half of the 64-bit length
  packedLength = static_cast<uint32_t>(roundUp4(field.length) - 12);
  if (packedLength > kMaxPacked) {
    // Never held in memory: passed over so that the walk stays in step.
    int32_t at = files_->ops->Tell(files_, handle_);
    packed.reset();
    return at >= 0 && skipTo(handle_, static_cast<uint64_t>(at) + packedLength, archiveLength_);
  }
  packed.reset(new (std::nothrow) uint8_t[packedLength ? packedLength : 1]);
  return packed && readExact(handle_, packed.get(), packedLength);
}

bool SisxReader::parseController(const ce::WCHAR* workPath) {
  const FileWrapOps* f = files_->ops;
  if (f->Tell(files_, handle_) != static_cast<int32_t>(controllerPosition_)) return false;
  Header field;
  uint32_t algorithm = 0, uncompressed = 0, packedLength = 0;
  std::unique_ptr<uint8_t[]> packed;
  if (!readHeader(handle_, field) || !readCompressed(field, algorithm, uncompressed, packed, packedLength))
    return false;
  controllerRead_ = true;
  if (!packed) return false;
  int32_t work = -1;
  if (algorithm == 0) {
    work = f->OpenW(files_, workPath, kOpenSisxOutput, kShareOutput);
    if (work == -1) return false;
    bool written = f->Write(files_, work, packed.get(), static_cast<int32_t>(packedLength)) ==
                   static_cast<int32_t>(packedLength);
    if (!written || f->Seek(files_, work, 0, NX_SEEK_SET) != 0) {
      f->Close(files_, work);
      f->RemoveW(files_, workPath);
      return false;
    }
  } else {
    if (!inflaterFiles_) return false;
    // The inflater refuses more than a member's limit; below it the
    // controller counts like a member.
    if (uncompressed <= kMaxInflated) {
      if (!budget_.allows(uncompressed)) return false;
      budget_.produced(uncompressed);
    }
    std::unique_ptr<Inflater> inflater(new (std::nothrow) Inflater(inflaterFiles_));
    if (!inflater) return false;
    if (inflater->InflateToFile(packed.get(), packedLength, uncompressed, workPath) != 1) {
      f->RemoveW(files_, workPath);
      return false;
    }
    work = f->OpenW(files_, workPath, kOpenArchive, kShareOutput);
    if (work == -1) return false;
  }
  packed.reset();
  int32_t workLength = f->Size(files_, work);
  bool ok = workLength >= 0 && parseBlocks(work, static_cast<uint32_t>(workLength));
  f->Close(files_, work);
  if (!ok) f->RemoveW(files_, workPath);
  return ok;
}

bool SisxReader::parseBlocks(int32_t work, uint64_t workLength) {
  const FileWrapOps* f = files_->ops;
  size_t committed = entries_.size();
  auto fail = [&] {
    entries_.resize(committed);
    return false;
  };
  for (int blocks = 0; blocks < kMaxInstallBlocks; ++blocks) {
    bool found = false;
    for (int i = 0; i < kMaxFieldHeaders && !found; ++i) {
      Header h;
      if (!readHeader(work, h)) break;
      if (h.type == kFieldInstallBlock) {
        found = true;
      } else if (h.type != kFieldController && h.type != kFieldArray) {
        int32_t at = f->Tell(files_, work);
        if (at < 0 || !skipTo(work, static_cast<uint64_t>(at) + roundUp4(h.length), workLength)) break;
      }
    }
    if (!found) return fail();
    uint8_t list[12];
    if (!readExact(work, list, 12)) return fail();
    uint32_t listLength = le32(list + 4);
    if (le32(list) != kFieldArray || le32(list + 8) != kFieldFileDescription || listLength > archiveLength_)
      return fail();
    uint64_t remaining = listLength;
    while (remaining > 4) {
      uint8_t lb[4];
      if (!readExact(work, lb, 4)) return fail();
      uint32_t elementLength = le32(lb);
      // An element holds at least its target path's field header; shorter
      // ones would let a small file build entries without end.
      if (elementLength > archiveLength_ || elementLength < 8) return fail();
      int32_t start = f->Tell(files_, work);
      Header target;
      if (start < 0 || !readHeader(work, target)) return fail();
      if (entries_.size() >= kMaxSisxEntries) return fail();
      SisxEntry entry;
      entry.index = static_cast<int32_t>(entries_.size());
      if (!(target.type == kFieldString && target.length == 0)) {
        if (target.length > kMaxTargetBytes) return fail();
        uint8_t raw[kMaxTargetBytes];
        if (!readExact(work, raw, target.length)) return fail();
        size_t chars = target.length / 2;
        size_t slash = chars;
        for (size_t i = 0; i < chars; ++i)
          if (raw[2 * i] == '\\' && raw[2 * i + 1] == 0) slash = i;
        if (slash == chars) return fail();
        for (size_t i = slash + 1; i < chars; ++i)
          entry.name.push_back(static_cast<char16_t>(raw[2 * i] | raw[2 * i + 1] << 8));
        entry.named = true;
      }
      entries_.push_back(std::move(entry));
      if (!skipTo(work, static_cast<uint64_t>(start) + roundUp4(elementLength), workLength)) return fail();
      remaining = remaining > uint64_t{elementLength} + 4 ? remaining - elementLength - 4 : 0;
    }
    committed = entries_.size();
  }
  return true;
}

int32_t SisxReader::ExtractNext(const ce::WCHAR* outputPath, ce::WCHAR* nameBuffer) {
  if (!outputPath || handle_ == -1 || exhausted_) return 0;
  const FileWrapOps* f = files_->ops;
  // Data that is there but could not be read (a damaged element, a search
  // given up while headers went on) leaves the names still waiting for it,
  // and at least the member at hand, undelivered. A data section that simply
  // ends (a preinstalled package carries its controller alone) lost nothing.
  auto finish = [&](bool broken = false) {
    const size_t taken = memberIndex_ < 0 ? 0 : static_cast<size_t>(memberIndex_);
    if (broken && !exhausted_ && !budget_.stopped())
      budget_.undelivered(entries_.size() > taken ? static_cast<uint32_t>(entries_.size() - taken) : 1u);
    exhausted_ = true;
    return 0;
  };
  if (memberIndex_ == -1) {
    // Without names (a controller that could not be parsed) the data are
    // still delivered when the controller field itself was passed whole: the
    // archive then stands at the data field.
    controllerRead_ = false;
    parseController(outputPath);
    if (!controllerRead_) return finish(true);
    Header h;
    if (!readHeader(handle_, h) || h.type != kFieldData) return finish();
    bool found = false, searched = true;
    for (int i = 0; i < kMaxFieldHeaders && !found; ++i) {
      if (!readHeader(handle_, h)) {
        searched = false;
        break;
      }
      found = h.type == kFieldFileData;
    }
    if (!found) return finish(searched);
    int32_t at = f->Tell(files_, handle_);
    if (at < 4 || !skipTo(handle_, static_cast<uint64_t>(at) - 4, archiveLength_)) return finish(true);
    memberIndex_ = 0;
  }
  // A member refused after its data were read leaves the archive at the next
  // file-data element; the walk goes on there instead of ending, so that one
  // unusable member does not hide the members stored after it.
  for (;;) {
    // File data beyond the names found (files of conditional blocks, blocks
    // past the eighth) are delivered too, named like an empty target, so
    // that no stored file escapes the scan.
    if (memberIndex_ < 0) return finish();
    if (static_cast<size_t>(memberIndex_) >= kMaxSisxEntries) {
      budget_.refuse(NX_SCAN_LIMIT_FILES);
      return finish();
    }
    size_t index = static_cast<size_t>(memberIndex_);
    if (index < entries_.size() && entries_[index].named)
      copyName(nameBuffer, entries_[index].name.c_str());
    else
      copyName(nameBuffer, outputPath);
    if (budget_.expired()) return finish();
    Outcome outcome = extractMember(outputPath);
    if (outcome == Outcome::kEnd || outcome == Outcome::kBroken) return finish(outcome == Outcome::kBroken);
    ++memberIndex_;
    if (outcome == Outcome::kDelivered) {
      budget_.delivered();
      return 1;
    }
    if (budget_.stopped()) return finish();
    if (outcome == Outcome::kRefused) budget_.undelivered();
  }
}

SisxReader::Outcome SisxReader::extractMember(const ce::WCHAR* outputPath) {
  const FileWrapOps* f = files_->ops;
  int32_t at = f->Tell(files_, handle_);
  if (at < 0 || !skipTo(handle_, static_cast<uint64_t>(at) + 4, archiveLength_)) return Outcome::kEnd;
  Header field;
  bool found = false, searched = true;
  for (int i = 0; i < kMaxFieldHeaders && !found; ++i) {
    if (!readHeader(handle_, field)) {
      searched = false;
      break;
    }
    found = field.type == kFieldCompressed;
  }
  if (!found) return searched ? Outcome::kBroken : Outcome::kEnd;
  uint32_t algorithm = 0, uncompressed = 0, packedLength = 0;
  std::unique_ptr<uint8_t[]> packed;
  if (!readCompressed(field, algorithm, uncompressed, packed, packedLength)) return Outcome::kBroken;
  if (!packed) return Outcome::kRefused;
  // A block of no bytes is an empty file: nothing to deliver, nothing lost.
  // Short members are delivered like any other: a scan that passed them
  // over would never have looked at them.
  if (field.length == 12) return Outcome::kEmpty;
  // Each member counts what it makes, before it is made; what the inflater
  // would refuse anyway is refused first.
  const uint64_t expected = algorithm == 0 ? packedLength : roundUp4(uncompressed);
  if (expected > kMaxInflated) return Outcome::kRefused;
  if (!budget_.allows(expected)) return Outcome::kRefused;
  budget_.produced(expected);
  if (algorithm == 0) {
    int32_t out = f->OpenW(files_, outputPath, kOpenSisxOutput, kShareOutput);
    if (out == -1) return Outcome::kRefused;
    bool ok = f->Write(files_, out, packed.get(), static_cast<int32_t>(packedLength)) ==
              static_cast<int32_t>(packedLength);
    f->Close(files_, out);
    return ok ? Outcome::kDelivered : Outcome::kRefused;
  }
  if (!inflaterFiles_) return Outcome::kRefused;
  std::unique_ptr<Inflater> inflater(new (std::nothrow) Inflater(inflaterFiles_));
  if (!inflater ||
      inflater->InflateToFile(packed.get(), packedLength,
                              static_cast<uint32_t>(expected > 0xFFFFFFFFu ? 0xFFFFFFFFu : expected),
                              outputPath) != 1)
    return Outcome::kRefused;
  return Outcome::kDelivered;
}

}  // namespace nx::sis
