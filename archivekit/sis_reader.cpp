#include "archivekit/sis_reader.h"

#include <cstring>
#include <memory>
#include <new>

namespace nx::sis {

namespace {

constexpr const ce::WCHAR kUnknownName[] = u"unknown.app";
// Packed data of a member beyond this are not read (the largest member plus
// more than deflate's worst expansion).
constexpr uint32_t kMaxPacked = kMaxInflated + 0x10000;

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void setName(ce::WCHAR* buffer, const ce::WCHAR* name) {
  if (!buffer) return;
  size_t i = 0;
  for (; name[i] && i + 1 < ce::MAX_PATH; ++i) buffer[i] = name[i];
  buffer[i] = 0;
}

int32_t opOpen(ArchiveReaderObject* self, int32_t, const char16_t* path) {
  return static_cast<SisReader*>(self)->Open(path);
}
int32_t opExtractNext(ArchiveReaderObject* self, const char16_t* out, char16_t* name) {
  return static_cast<SisReader*>(self)->ExtractNext(out, name);
}
int32_t opReserved(ArchiveReaderObject*) { return 0; }
int32_t opClose(ArchiveReaderObject* self) { return static_cast<SisReader*>(self)->Close(); }
ArchiveReader* opDestroy(ArchiveReaderObject* self, uint32_t flags) {
  return static_cast<ArchiveReader*>(static_cast<SisReader*>(self)->Destroy(static_cast<int32_t>(flags)));
}
constexpr ArchiveReaderOps kSisReaderOps = {opOpen, opExtractNext, opReserved, opClose, opDestroy};

}  // namespace

SisReader::SisReader(FileWrapObject* files, FileWrapObject* inflaterFiles)
    : files_(files), inflaterFiles_(inflaterFiles) {
  ops = &kSisReaderOps;
  setName(savedName_, kUnknownName);
}

SisReader::~SisReader() = default;

void* SisReader::Destroy(int32_t flags) {
  if (flags & 1) {
    delete this;
    return nullptr;
  }
  return this;
}

SisReader* asSisReader(ArchiveReaderObject* object) {
  return object && object->ops == &kSisReaderOps ? static_cast<SisReader*>(object) : nullptr;
}

int32_t SisReader::Close() {
  if (handle_ != -1 && files_) files_->ops->Close(files_, handle_);
  handle_ = -1;
  return 1;
}

uint16_t SisReader::languages() const { return le16(header_ + 18); }
uint16_t SisReader::recordCount() const { return le16(header_ + 20); }

bool SisReader::readAt(uint32_t position, void* buffer, uint32_t length) {
  if (position > 0x7FFFFFFFu || length > 0x7FFFFFFFu) return false;
  const FileWrapOps* f = files_->ops;
  if (f->Seek(files_, handle_, static_cast<int32_t>(position), NX_SEEK_SET) != static_cast<int32_t>(position))
    return false;
  return f->Read(files_, handle_, buffer, static_cast<int32_t>(length)) == static_cast<int32_t>(length);
}

bool SisReader::readU32At(uint64_t position, uint32_t& value) {
  uint8_t b[4];
  if (position > 0x7FFFFFFFu || !readAt(static_cast<uint32_t>(position), b, 4)) return false;
  value = le32(b);
  return true;
}

int32_t SisReader::Open(const ce::WCHAR* archivePath) {
  if (!archivePath || !files_) return 0;
  Close();
  const FileWrapOps* f = files_->ops;
  handle_ = f->OpenW(files_, archivePath, kOpenArchive, 0);
  if (handle_ == -1) return 0;
  int32_t size = f->Size(files_, handle_);
  bool ok = size >= 0 && readAt(0, header_, kSisHeaderSize);
  if (ok) {
    archiveLength_ = static_cast<uint32_t>(size);
    // Release-5 packages (the other UID 2) are not read.
    ok = le32(header_ + 8) == kSisUid3 && le32(header_ + 4) == kSisUid2 && le32(header_ + 76) == 0 &&
         recordCount() != 0;
  }
  if (!ok) {
    Close();
    return 0;
  }
  budget_.opened();
  ended_ = false;
  compressed_ = (le16(header_ + 36) & kOptionUncompressed) == 0;
  current_ = le32(header_ + 52);
  previous_ = 0;
  recordCounter_ = 0;
  languageIndex_ = 0;
  inVariant_ = false;
  setName(savedName_, kUnknownName);
  return 1;
}

void SisReader::takeName(const uint8_t* fixed, ce::WCHAR* nameBuffer) {
  // fixed: file type, details, source length, source position, destination
  // length, destination position. The destination names the member as it is
  // installed; the source is the fallback.
  const uint32_t candidates[2][2] = {{le32(fixed + 16), le32(fixed + 20)}, {le32(fixed + 8), le32(fixed + 12)}};
  ce::WCHAR name[ce::MAX_PATH];
  setName(name, kUnknownName);
  for (const auto& c : candidates) {
    uint32_t bytes = c[0] & ~1u, position = c[1];
    if (c[0] == 0 || bytes > kMaxNameBytes || position == 0) continue;
    uint8_t raw[kMaxNameBytes];
    if (!readAt(position, raw, bytes)) continue;
    size_t chars = bytes / 2;
    if (chars > ce::MAX_PATH - 1) chars = ce::MAX_PATH - 1;
    for (size_t i = 0; i < chars; ++i) name[i] = static_cast<ce::WCHAR>(le16(raw + 2 * i));
    name[chars] = 0;
    break;
  }
  setName(savedName_, name);
  setName(nameBuffer, name);
}

bool SisReader::readVariant(uint32_t index, uint32_t& length, uint32_t& position, uint32_t& uncompressed) {
  uint64_t l = languages() ? languages() : 1;
  uint64_t base = current_ + 28;
  return readU32At(base + 4ull * index, length) && readU32At(base + 4ull * (l + index), position) &&
         readU32At(base + 4ull * (2 * l + index), uncompressed);
}

bool SisReader::extractVariant(uint32_t position, uint32_t length, uint32_t uncompressed,
                               const ce::WCHAR* outputPath) {
  if (!outputPath) return false;
  // An empty file holds nothing to deliver; anything else not delivered is
  // accounted for.
  auto refuse = [&] {
    if (compressed_ ? uncompressed != 0 : length != 0) budget_.undelivered();
    return false;
  };
  if (position >= archiveLength_ || length == 0 || uint64_t{position} + length > archiveLength_) return refuse();
  if (uncompressed == 0 || uncompressed > kMaxInflated) return refuse();
  if (length > (compressed_ ? kMaxPacked : kMaxInflated)) return refuse();
  // Records may all point at the same data: each delivery counts again.
  const uint32_t produced = compressed_ ? uncompressed : length;
  if (budget_.expired() || !budget_.allows(produced)) return false;
  const FileWrapOps* f = files_->ops;
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[length]);
  if (!data) return false;
  int32_t saved = f->Tell(files_, handle_);
  auto restore = [&] {
    if (saved >= 0) f->Seek(files_, handle_, saved, NX_SEEK_SET);
  };
  if (!readAt(position, data.get(), length)) {
    restore();
    return false;
  }
  bool ok = false;
  if (!compressed_) {
    int32_t out = f->OpenW(files_, outputPath, kOpenStoredOutput, kShareOutput);
    if (out != -1) {
      ok = f->Write(files_, out, data.get(), static_cast<int32_t>(length)) == static_cast<int32_t>(length);
      f->Close(files_, out);
      if (!ok) f->RemoveW(files_, outputPath);
    }
  } else if (inflaterFiles_) {
    std::unique_ptr<Inflater> inflater(new (std::nothrow) Inflater(inflaterFiles_));
    ok = inflater && inflater->InflateToFile(data.get(), length, uncompressed, outputPath) == 1;
  }
  restore();
  budget_.produced(produced);
  if (!ok) return refuse();
  budget_.delivered();
  return true;
}

void SisReader::advance(uint64_t by) { current_ += by; }

bool SisReader::deliverVariants(ce::WCHAR*) {
  const uint16_t l = languages();
  while (inVariant_ && languageIndex_ < l && !budget_.stopped()) {
    uint32_t length = 0, position = 0, uncompressed = 0;
    bool ok = false;
    bool readable = readVariant(languageIndex_, length, position, uncompressed);
    // The engine stops at the first 0, so a variant that cannot be had is
    // passed over instead of hiding the variants and records behind it.
    if (readable) ok = extractVariant(position, length, uncompressed, pendingOutput_);
    ++languageIndex_;
    if (!readable || languageIndex_ >= l) {
      advance((uint64_t{l} + 3) * 12);
      ++recordCounter_;
      inVariant_ = false;
    }
    if (ok) return true;
  }
  return false;
}

// The walk ends before the record count was reached: the records left may
// hold members, which are accounted for as not delivered.
int32_t SisReader::walkEnded() {
  if (!ended_ && !budget_.stopped() && recordCounter_ < recordCount())
    budget_.undelivered(static_cast<uint32_t>(recordCount() - recordCounter_));
  ended_ = true;
  return 0;
}

int32_t SisReader::ExtractNext(const ce::WCHAR* outputPath, ce::WCHAR* nameBuffer) {
  if (!outputPath) return 0;
  setName(nameBuffer, kUnknownName);
  if (handle_ == -1 || !files_ || budget_.stopped() || ended_) return 0;
  pendingOutput_ = outputPath;
  if (inVariant_) {
    setName(nameBuffer, savedName_);
    if (deliverVariants(nameBuffer)) return 1;
    setName(nameBuffer, kUnknownName);
  }
  if (recordCounter_ >= recordCount()) return 0;
  const uint16_t l = languages();
  for (;;) {
    if (budget_.stopped()) return 0;
    if (current_ <= previous_ || current_ >= archiveLength_) return walkEnded();
    previous_ = current_;
    uint32_t type = 0;
    if (!readU32At(current_, type)) return walkEnded();
    switch (type) {
      case 0: {
        uint8_t fixed[24];
        if (!readAt(static_cast<uint32_t>(current_ + 4), fixed, sizeof fixed)) return walkEnded();
        takeName(fixed, nameBuffer);
        uint32_t length = 0, position = 0, uncompressed = 0;
        if (!readU32At(current_ + 28, length) || !readU32At(current_ + 32, position) ||
            !readU32At(current_ + 36, uncompressed))
          return walkEnded();
        bool ok = extractVariant(position, length, uncompressed, outputPath);
        advance(48);
        ++recordCounter_;
        if (ok) return 1;
        setName(nameBuffer, kUnknownName);
        break;
      }
      case 1: {
        uint8_t fixed[24];
        if (!readAt(static_cast<uint32_t>(current_ + 4), fixed, sizeof fixed)) return walkEnded();
        takeName(fixed, nameBuffer);
        languageIndex_ = 0;
        if (l == 0) {
          // No languages: the record holds no variant to deliver.
          advance(36);
          ++recordCounter_;
          break;
        }
        inVariant_ = true;
        if (deliverVariants(nameBuffer)) return 1;
        setName(nameBuffer, kUnknownName);
        break;
      }
      case 2: {
        uint32_t options = 0;
        if (!readU32At(current_ + 4, options)) return walkEnded();
        advance((uint64_t{l} * options + 3) * 8);
        ++recordCounter_;
        break;
      }
      case 3:
      case 4: {
        uint32_t expression = 0;
        if (!readU32At(current_ + 4, expression)) return walkEnded();
        advance(uint64_t{expression} + 8);
        ++recordCounter_;
        break;
      }
      case 5:
      case 6:
        advance(4);
        ++recordCounter_;
        break;
      default:
        return walkEnded();
    }
  }
}

}  // namespace nx::sis
