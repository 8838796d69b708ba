#include "archivekit/cab_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "ce/files.h"
#include "ce/text.h"

namespace nx::cab {

using ce::WCHAR;

namespace {

constexpr int32_t kChunk = 32768;
constexpr int kHeaderBytes = 36;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The part of a stored cabinet name after its last backslash.
std::u16string fileNamePart(const std::string& stored) {
  size_t slash = stored.find_last_of('\\');
  std::string part = slash == std::string::npos ? stored : stored.substr(slash + 1);
  if (part.empty()) return {};
  WCHAR wide[ce::MAX_PATH];
  int n = ce::MultiByteToWideChar(ce::CP_ACP, 0, part.c_str(), -1, wide, ce::MAX_PATH);
  if (n <= 0) return {};
  return std::u16string(wide);
}

bool listDirectory(const std::u16string& directory, const std::u16string& name) {
  std::u16string pattern = directory + u"*";
  ce::WIN32_FIND_DATAW data{};
  ce::HANDLE find = ce::FindFirstFileW(pattern.c_str(), &data);
  if (find == ce::INVALID_HANDLE_VALUE) return false;
  bool found = false;
  do {
    if (name == data.cFileName) {
      found = true;
      break;
    }
  } while (ce::FindNextFileW(find, &data));
  ce::FindClose(find);
  return found;
}

int32_t opOpen(ArchiveReaderObject* self, int32_t, const char16_t* path) {
  return static_cast<CabReader*>(self)->Open(path);
}
int32_t opExtractNext(ArchiveReaderObject* self, const char16_t* out, char16_t* name) {
  return static_cast<CabReader*>(self)->ExtractNext(out, name);
}
int32_t opReserved(ArchiveReaderObject*) { return 0; }
int32_t opClose(ArchiveReaderObject* self) { return static_cast<CabReader*>(self)->Close(); }
ArchiveReader* opDestroy(ArchiveReaderObject* self, uint32_t flags) {
  return static_cast<ArchiveReader*>(static_cast<CabReader*>(self)->Destroy(static_cast<int32_t>(flags)));
}

constexpr ArchiveReaderOps kCabReaderOps = {opOpen, opExtractNext, opReserved, opClose, opDestroy};

}  // namespace

uint32_t cabChecksum(const uint8_t* data, size_t length, uint32_t seed) {
  uint32_t sum = seed;
  size_t words = length / 4;
  for (size_t i = 0; i < words; ++i) sum ^= le32(data + 4 * i);
  const uint8_t* tail = data + 4 * words;
  uint32_t last = 0;
  switch (length & 3) {
    case 3: last = static_cast<uint32_t>(tail[0]) << 16 | static_cast<uint32_t>(tail[1]) << 8 | tail[2]; break;
    case 2: last = static_cast<uint32_t>(tail[0]) << 8 | tail[1]; break;
    case 1: last = tail[0]; break;
    default: return sum;
  }
  return sum ^ last;
}

CabReader::CabReader(FileWrapObject* files)
    : ArchiveReaderObject{&kCabReaderOps}, files_(files), ops_(files ? files->ops : nullptr), probe_(listDirectory) {}

CabReader::~CabReader() { clearAll(); }

void* CabReader::Destroy(int32_t flags) {
  void* self = this;
  if (flags & 1)
    delete this;
  else
    clearAll();
  return self;
}

void CabReader::closeFolderFile() {
  if (state_.folder) {
    CabCabinet* cab = state_.folder->splits[state_.split].cabinet;
    if (cab && cab->handle != -1) {
      ops_->Close(files_, cab->handle);
      cab->handle = -1;
    }
  }
}

void CabReader::clearAll() {
  closeFolderFile();
  if (state_.decoder) state_.decoder->Destroy(1);
  state_ = DecodeState{};
  if (ops_) {
    for (auto* list : {&found_, &chained_})
      for (auto& cab : *list)
        if (cab->handle != -1) {
          ops_->Close(files_, cab->handle);
          cab->handle = -1;
        }
  }
  members_.clear();
  found_.clear();
  chained_.clear();
  current_ = 0;
  finished_ = false;
  memberCount_ = 0;
  memberIndex_ = 0;
  path_[0] = 0;
}

int32_t CabReader::Close() {
  path_[0] = 0;
  memberCount_ = 0;
  memberIndex_ = 0;
  finished_ = true;
  return 1;
}

CabReader* asCabReader(ArchiveReaderObject* object) {
  return object && object->ops == &kCabReaderOps ? static_cast<CabReader*>(object) : nullptr;
}

int32_t CabReader::readFully(int32_t handle, void* buffer, int32_t length) {
  if (length <= 0) return 0;
  int32_t got = ops_->Read(files_, handle, buffer, length);
  return got < 0 ? 0 : got;
}

int32_t CabReader::Open(const WCHAR* archivePath) {
  if (!ops_ || !archivePath) return 0;
  size_t len = ce::wcslen16(archivePath);
  if (len == 0 || len >= ce::MAX_PATH) return 0;
  clearAll();
  budget_.opened();
  entriesLeft_ = kMaxEntriesPerArchive;
  readLeft_ = kMaxEntriesRead;
  std::memcpy(path_, archivePath, (len + 1) * sizeof(WCHAR));
  if (!findCabinets() || found_.empty()) {
    clearAll();
    return 0;
  }
  followChain(found_.front().get());
  bindMembers();
  memberIndex_ = 0;
  blocksDecoded_ = 0;
  return 1;
}

// ---- Finding cabinets -------------------------------------------------------

bool CabReader::findCabinets() {
  int32_t h = ops_->OpenW(files_, path_, kOpenArchive, 0);
  if (h == -1) return false;
  int32_t length = ops_->Seek(files_, h, 0, 2);
  if (length <= 0 || ops_->Seek(files_, h, 0, 0) != 0) {
    ops_->Close(files_, h);
    return false;
  }
  // The member count comes from offset 28 of the file, which is the file
  // count only for a cabinet at the file's start.
  uint8_t countBytes[2] = {};
  ops_->Seek(files_, h, 28, 0);
  memberCount_ = readFully(h, countBytes, 2) == 2 ? le16(countBytes) : 0;
  ops_->Seek(files_, h, 0, 0);

  std::vector<uint8_t> chunk(kChunk);
  std::u16string path(path_);
  int64_t chunkStart = 0;
  int state = 0;
  uint32_t candidate = 0, cabinetSize = 0, fileTableOffset = 0;
  bool done = false;
  while (!done && chunkStart < length && found_.size() < kMaxCabinets && !budget_.stopped()) {
    if (budget_.expired()) break;
    if (ops_->Seek(files_, h, static_cast<int32_t>(chunkStart), 0) != chunkStart) break;
    int32_t n = readFully(h, chunk.data(), kChunk);
    if (n <= 0) break;
    int64_t resumeAt = -1;
    for (int32_t i = 0; i < n; ++i) {
      uint8_t b = chunk[static_cast<size_t>(i)];
      switch (state) {
        case 0: {
          const void* m = std::memchr(chunk.data() + i, 'M', static_cast<size_t>(n - i));
          if (!m) {
            i = n;
            continue;
          }
          i = static_cast<int32_t>(static_cast<const uint8_t*>(m) - chunk.data());
          candidate = static_cast<uint32_t>(chunkStart + i);
          state = 1;
          continue;
        }
        case 1: state = b == 'S' ? 2 : 0; continue;
        case 2: state = b == 'C' ? 3 : 0; continue;
        case 3: state = b == 'F' ? 4 : 0; continue;
        case 8: case 9: case 10: case 11:
          cabinetSize = (cabinetSize >> 8) | static_cast<uint32_t>(b) << 24;
          ++state;
          continue;
        case 16: case 17: case 18: case 19:
          fileTableOffset = (fileTableOffset >> 8) | static_cast<uint32_t>(b) << 24;
          if (state < 19) {
            ++state;
            continue;
          }
          break;
        default: ++state; continue;
      }
      // All 20 bytes of a candidate header seen.
      state = 0;
      const uint64_t off = candidate, limit = static_cast<uint64_t>(length) + 32;
      // A candidate passed over or failing only restarts the search, from
      // the byte after its "M": a header may begin inside a false one's 20
      // bytes, and would be hidden if they were skipped whole.
      auto restart = [&]() {
        if (candidate >= chunkStart) {
          i = static_cast<int32_t>(candidate - chunkStart);
          return false;
        }
        resumeAt = static_cast<int64_t>(candidate) + 1;
        return true;
      };
      if (fileTableOffset >= cabinetSize || off + fileTableOffset >= limit || off + cabinetSize >= limit) {
        if (restart()) break;
        continue;
      }
      auto cab = loadCabinet(h, path, length, candidate);
      if (!cab) {
        // Unless it used up what the search may read.
        if (budget_.stopped() || restart()) break;
        continue;
      }
      // Only what was really loaded counts against the entries held.
      const uint32_t entries = static_cast<uint32_t>(cab->folders.size() + cab->files.size());
      if (entries > entriesLeft_) {
        budget_.refuse(NX_SCAN_LIMIT_FILES);
        break;
      }
      entriesLeft_ -= entries;
      found_.push_back(std::move(cab));
      if (off + cabinetSize < static_cast<uint64_t>(length) && found_.size() < kMaxCabinets) {
        resumeAt = static_cast<int64_t>(off + cabinetSize);
      } else {
        done = true;
      }
      break;
    }
    chunkStart = resumeAt >= 0 ? resumeAt : chunkStart + n;
  }
  ops_->Close(files_, h);
  return true;
}

namespace {

// A header's bytes through a buffer of its own: a header of 65,535 entries
// costs a few wrapper reads instead of several per entry.
class HeaderBytes {
 public:
  HeaderBytes(FileWrapObject* files, int32_t handle, int32_t fileLength, uint32_t at)
      : fw_(files), h_(handle), length_(fileLength), at_(at) {}

  bool read(void* out, size_t n) {
    if (!have(n)) return false;
    std::memcpy(out, buf_ + pos_, n);
    pos_ += n;
    return true;
  }
  // Moves over n bytes, which must lie inside the file.
  bool skip(size_t n) {
    if (static_cast<uint64_t>(at_) + pos_ + n > static_cast<uint64_t>(length_)) return false;
    while (n > 0) {
      size_t step = std::min(n, sizeof buf_ / 2);
      if (!have(step)) return false;
      pos_ += step;
      n -= step;
    }
    return true;
  }
  // A NUL-terminated string; one without its NUL within kMaxHeaderString
  // bytes, or before the file's end, fails.
  bool string(std::string& out) {
    have(kMaxHeaderString);
    const size_t window = std::min(end_ - pos_, kMaxHeaderString);
    const void* nul = std::memchr(buf_ + pos_, 0, window);
    if (!nul) return false;
    const size_t n = static_cast<size_t>(static_cast<const uint8_t*>(nul) - (buf_ + pos_));
    out.assign(reinterpret_cast<const char*>(buf_ + pos_), n);
    pos_ += n + 1;
    return true;
  }

 private:
  // At least n bytes from pos_ in the buffer, as far as the file has them.
  bool have(size_t n) {
    if (end_ - pos_ >= n) return true;
    std::memmove(buf_, buf_ + pos_, end_ - pos_);
    at_ += static_cast<uint32_t>(pos_);
    end_ -= pos_;
    pos_ = 0;
    const uint64_t readAt = static_cast<uint64_t>(at_) + end_;
    if (readAt < static_cast<uint64_t>(length_) && readAt <= static_cast<uint64_t>(INT32_MAX)) {
      const int32_t want = static_cast<int32_t>(std::min<uint64_t>(sizeof buf_ - end_, length_ - readAt));
      if (fw_->ops->Seek(fw_, h_, static_cast<int32_t>(readAt), 0) == static_cast<int32_t>(readAt)) {
        const int32_t got = fw_->ops->Read(fw_, h_, buf_ + end_, want);
        if (got > 0) end_ += static_cast<size_t>(got);
      }
    }
    return end_ - pos_ >= n;
  }

  FileWrapObject* fw_;
  int32_t h_;
  int32_t length_;
  uint32_t at_;  // file offset of buf_[0]
  size_t pos_ = 0, end_ = 0;
  uint8_t buf_[65536];
};

}  // namespace

std::unique_ptr<CabCabinet> CabReader::loadCabinet(int32_t h, const std::u16string& path, int32_t fileLength,
                                                   uint32_t offset) {
  if (offset >= static_cast<uint32_t>(fileLength)) return nullptr;
  auto in = std::unique_ptr<HeaderBytes>(new (std::nothrow) HeaderBytes(files_, h, fileLength, offset));
  if (!in) return nullptr;
  uint8_t hdr[kHeaderBytes];
  if (!in->read(hdr, kHeaderBytes)) return nullptr;
  if (std::memcmp(hdr, "MSCF", 4) != 0) return nullptr;
  uint16_t folderCount = le16(hdr + 26), fileCount = le16(hdr + 28), flags = le16(hdr + 30);
  if (folderCount == 0 || fileCount == 0) return nullptr;
  // Reading entries costs whether the header then holds or not.
  auto mayRead = [&]() {
    if (readLeft_ == 0) {
      budget_.refuse(NX_SCAN_LIMIT_FILES);
      return false;
    }
    --readLeft_;
    return (readLeft_ & 0xFFF) != 0 || !budget_.expired();
  };

  std::unique_ptr<CabCabinet> cab(new (std::nothrow) CabCabinet());
  if (!cab) return nullptr;
  cab->path = path;
  cab->fileLength = fileLength;
  cab->base = offset;
  cab->flags = flags;
  uint8_t folderReserve = 0;
  if (flags & kFlagReserve) {
    uint8_t r[4];
    if (!in->read(r, 4)) return nullptr;
    uint16_t headerReserve = le16(r);
    folderReserve = r[2];
    cab->dataReserve = r[3];
    if (headerReserve && !in->skip(headerReserve)) return nullptr;
  }
  if (flags & kFlagPrevious) {
    if (!in->string(cab->previousName) || !in->string(cab->previousDisk)) return nullptr;
  }
  if (flags & kFlagNext) {
    if (!in->string(cab->nextName) || !in->string(cab->nextDisk)) return nullptr;
  }
  try {
    cab->ownedFolders.reserve(folderCount);
    cab->folders.reserve(folderCount);
    for (uint16_t i = 0; i < folderCount; ++i) {
      uint8_t f[8];
      if (!mayRead() || !in->read(f, 8)) return nullptr;
      auto folder = std::make_unique<CabFolder>();
      folder->splits[0].cabinet = cab.get();
      folder->splits[0].dataOffset = offset + le32(f);
      folder->splitCount = 1;
      folder->blockCount = le16(f + 4);
      folder->splits[0].blocks = folder->blockCount;
      folder->type = le16(f + 6);
      if (folderReserve && !in->skip(folderReserve)) return nullptr;
      cab->folders.push_back(folder.get());
      cab->ownedFolders.push_back(std::move(folder));
    }
    cab->files.reserve(fileCount);
    for (uint16_t i = 0; i < fileCount; ++i) {
      uint8_t e[16];
      if (!mayRead() || !in->read(e, 16)) return nullptr;
      auto file = std::make_unique<CabFile>();
      file->length = le32(e);
      file->folderOffset = le32(e + 4);
      file->folderIndex = le16(e + 8);
      file->date = le16(e + 10);
      file->time = le16(e + 12);
      file->attributes = le16(e + 14);
      if (!in->string(file->name)) return nullptr;
      cab->files.push_back(std::move(file));
    }
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return cab;
}

void CabReader::followChain(CabCabinet* cab) {
  std::u16string path(path_);
  size_t slash = path.find_last_of(u'\\');
  std::u16string directory = slash == std::u16string::npos ? u".\\" : path.substr(0, slash + 1);
  std::vector<std::u16string> seen{path};
  while ((cab->flags & kFlagNext) && found_.size() + chained_.size() < kMaxCabinets) {
    std::u16string name = fileNamePart(cab->nextName);
    if (name.empty() || !probe_ || !probe_(directory, name)) return;
    std::u16string nextPath = directory + name;
    // A set that names one of its own cabinets again would chain forever.
    for (const auto& s : seen)
      if (ce::equalsNoCase(s, nextPath)) return;
    if (nextPath.size() >= ce::MAX_PATH) return;
    int32_t h = ops_->OpenW(files_, nextPath.c_str(), kOpenArchive, 0);
    if (h == -1) return;
    int32_t length = ops_->Seek(files_, h, 0, 2);
    std::unique_ptr<CabCabinet> next;
    if (length > 0 && ops_->Seek(files_, h, 0, 0) == 0) next = loadCabinet(h, nextPath, length, 0);
    ops_->Close(files_, h);
    if (!next) return;
    const uint32_t entries = static_cast<uint32_t>(next->folders.size() + next->files.size());
    if (entries > entriesLeft_) {
      budget_.refuse(NX_SCAN_LIMIT_FILES);
      return;
    }
    entriesLeft_ -= entries;
    seen.push_back(nextPath);
    next->previous = cab;
    cab->next = next.get();
    cab = next.get();
    chained_.push_back(std::move(next));
  }
}

bool CabReader::probeName(const std::string& stored) const {
  std::u16string path(path_);
  size_t slash = path.find_last_of(u'\\');
  std::u16string directory = slash == std::u16string::npos ? u".\\" : path.substr(0, slash + 1);
  std::u16string name = fileNamePart(stored);
  return !name.empty() && probe_ && probe_(directory, name);
}

// Whether the part named as the opened cabinet's previous one is beside it
// and names the opened cabinet as its next: a walk from there then reaches
// the members the opened cabinet continues.
bool CabReader::previousLeadsHere(const CabCabinet& first) {
  if (!(first.flags & kFlagPrevious) || !probeName(first.previousName)) return false;
  std::u16string path(path_);
  size_t slash = path.find_last_of(u'\\');
  std::u16string directory = slash == std::u16string::npos ? u".\\" : path.substr(0, slash + 1);
  std::u16string own = slash == std::u16string::npos ? path : path.substr(slash + 1);
  std::u16string previousPath = directory + fileNamePart(first.previousName);
  if (previousPath.size() >= ce::MAX_PATH || ce::equalsNoCase(previousPath, path)) return false;
  int32_t h = ops_->OpenW(files_, previousPath.c_str(), kOpenArchive, 0);
  if (h == -1) return false;
  int32_t length = ops_->Seek(files_, h, 0, 2);
  std::unique_ptr<CabCabinet> previous;
  if (length > 0 && ops_->Seek(files_, h, 0, 0) == 0) previous = loadCabinet(h, previousPath, length, 0);
  ops_->Close(files_, h);
  return previous && (previous->flags & kFlagNext) && fileNamePart(previous->nextName) == own;
}

}  // namespace nx::cab
