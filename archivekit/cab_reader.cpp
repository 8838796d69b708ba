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
  return 1;
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
  entriesLeft_ = kMaxEntriesPerArchive;
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
  while (!done && chunkStart < length && found_.size() < kMaxCabinets) {
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
      if (fileTableOffset >= cabinetSize || off + fileTableOffset >= limit || off + cabinetSize >= limit) continue;
      auto cab = loadCabinet(h, path, length, candidate);
      if (!cab) continue;
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

bool CabReader::readString(int32_t h, int32_t fileLength, std::string& out) {
  int32_t start = ops_->Tell(files_, h);
  if (start < 0 || start >= fileLength) return false;
  char buf[kMaxHeaderString];
  // Short names are the rule: a first attempt of 256 bytes, then the limit.
  for (size_t attempt : {size_t{256}, kMaxHeaderString}) {
    int32_t want = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(attempt), static_cast<int64_t>(fileLength) - start));
    if (ops_->Seek(files_, h, start, 0) != start) return false;
    int32_t got = readFully(h, buf, want);
    const void* nul = got > 0 ? std::memchr(buf, 0, static_cast<size_t>(got)) : nullptr;
    if (nul) {
      size_t n = static_cast<size_t>(static_cast<const char*>(nul) - buf);
      out.assign(buf, n);
      int32_t after = start + static_cast<int32_t>(n) + 1;
      return ops_->Seek(files_, h, after, 0) == after;
    }
    if (got < want || static_cast<int64_t>(start) + want >= fileLength) return false;
  }
  return false;
}

std::unique_ptr<CabCabinet> CabReader::loadCabinet(int32_t h, const std::u16string& path, int32_t fileLength,
                                                   uint32_t offset) {
  if (ops_->Seek(files_, h, static_cast<int32_t>(offset), 0) != static_cast<int32_t>(offset)) return nullptr;
  uint8_t hdr[kHeaderBytes];
  if (readFully(h, hdr, kHeaderBytes) != kHeaderBytes) return nullptr;
  if (std::memcmp(hdr, "MSCF", 4) != 0) return nullptr;
  uint16_t folderCount = le16(hdr + 26), fileCount = le16(hdr + 28), flags = le16(hdr + 30);
  if (folderCount == 0 || fileCount == 0) return nullptr;
  if (static_cast<uint32_t>(folderCount) + fileCount > entriesLeft_) return nullptr;
  entriesLeft_ -= static_cast<uint32_t>(folderCount) + fileCount;

  std::unique_ptr<CabCabinet> cab(new (std::nothrow) CabCabinet());
  if (!cab) return nullptr;
  cab->path = path;
  cab->fileLength = fileLength;
  cab->base = offset;
  cab->flags = flags;
  uint8_t folderReserve = 0;
  if (flags & kFlagReserve) {
    uint8_t r[4];
    if (readFully(h, r, 4) != 4) return nullptr;
    uint16_t headerReserve = le16(r);
    folderReserve = r[2];
    cab->dataReserve = r[3];
    if (headerReserve) {
      int32_t at = ops_->Tell(files_, h);
      if (at < 0 || static_cast<int64_t>(at) + headerReserve > fileLength) return nullptr;
      ops_->Seek(files_, h, headerReserve, 1);
    }
  }
  if (flags & kFlagPrevious) {
    if (!readString(h, fileLength, cab->previousName) || !readString(h, fileLength, cab->previousDisk)) return nullptr;
  }
  if (flags & kFlagNext) {
    if (!readString(h, fileLength, cab->nextName) || !readString(h, fileLength, cab->nextDisk)) return nullptr;
  }
  try {
    cab->ownedFolders.reserve(folderCount);
    cab->folders.reserve(folderCount);
    for (uint16_t i = 0; i < folderCount; ++i) {
      uint8_t f[8];
      if (readFully(h, f, 8) != 8) return nullptr;
      auto folder = std::make_unique<CabFolder>();
      folder->splits[0].cabinet = cab.get();
      folder->splits[0].dataOffset = offset + le32(f);
      folder->splitCount = 1;
      folder->blockCount = le16(f + 4);
      folder->type = le16(f + 6);
      if (folderReserve) {
        int32_t at = ops_->Tell(files_, h);
        if (at < 0 || static_cast<int64_t>(at) + folderReserve > fileLength) return nullptr;
        ops_->Seek(files_, h, folderReserve, 1);
      }
      cab->folders.push_back(folder.get());
      cab->ownedFolders.push_back(std::move(folder));
    }
    cab->files.reserve(fileCount);
    for (uint16_t i = 0; i < fileCount; ++i) {
      uint8_t e[16];
      if (readFully(h, e, 16) != 16) return nullptr;
      auto file = std::make_unique<CabFile>();
      file->length = le32(e);
      file->folderOffset = le32(e + 4);
      file->folderIndex = le16(e + 8);
      file->date = le16(e + 10);
      file->time = le16(e + 12);
      file->attributes = le16(e + 14);
      if (!readString(h, fileLength, file->name)) return nullptr;
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
    seen.push_back(nextPath);
    next->previous = cab;
    cab->next = next.get();
    cab = next.get();
    chained_.push_back(std::move(next));
  }
}

// ---- Binding members to folders -----------------------------------------------

void CabReader::bindMembers() {
  members_.clear();
  current_ = 0;
  CabCabinet* first = found_.front().get();
  if (memberCount_ == 1 && !first->previous && !first->next) {
    // A single-member cabinet: the first member belongs to the first folder.
    for (auto& f : first->files) members_.push_back(f.get());
    if (!members_.empty()) members_.front()->folder = first->folders.front();
    return;
  }
  CabFolder* previousFolder = nullptr;
  for (CabCabinet* cab = first; cab; cab = cab->next) {
    bool mayMerge = true;
    for (auto& owned : cab->files) {
      CabFile* file = owned.get();
      uint16_t index = file->folderIndex;
      if (index < kContinuedFromPrevious) {
        if (index < cab->folders.size()) file->folder = cab->folders[index];
      } else {
        if ((index == kContinuedToNext || index == kContinuedBoth) && cab->next && !cab->folders.back()->continuing)
          cab->folders.back()->continuing = file;
        if (index == kContinuedFromPrevious || index == kContinuedBoth) {
          if (cab == first) file->fromAbsentCabinet = true;
          if (index == kContinuedBoth) mayMerge = false;
          if (previousFolder) {
            CabFolder* head = cab->folders.front();
            CabFile* cont = previousFolder->continuing;
            bool same = cont && cont->folderOffset == file->folderOffset && cont->length == file->length &&
                        cont->name == file->name && previousFolder->type == head->type;
            if (!same) {
              mayMerge = false;
            } else if (previousFolder->splitCount >= kMaxSplits) {
              mayMerge = false;
            } else {
              previousFolder->splits[previousFolder->splitCount++] = head->splits[0];
              previousFolder->continuing = head->continuing;
              cab->folders.front() = previousFolder;
              previousFolder = nullptr;
            }
          }
          if (mayMerge) file->folder = cab->folders.front();
        }
      }
      if (file->folder) members_.push_back(file);
    }
    previousFolder = cab->folders.back();
  }
}

// ---- Extraction ---------------------------------------------------------------

int32_t CabReader::ExtractNext(const WCHAR* outputPath, WCHAR* nameBuffer) {
  if (finished_ || memberIndex_ >= memberCount_ || !outputPath || !nameBuffer || current_ >= members_.size())
    return 0;
  if (members_[current_]->folderIndex == kContinuedBoth) {
    finished_ = true;
    return 0;
  }
  while (current_ < members_.size() && members_[current_]->folderIndex == kContinuedFromPrevious &&
         members_[current_]->fromAbsentCabinet)
    ++current_;
  if (current_ >= members_.size()) {
    finished_ = true;
    return 0;
  }
  CabFile& file = *members_[current_];
  if (!extract(file, outputPath)) {
    finished_ = true;
    return 0;
  }
  WCHAR wide[ce::MAX_PATH];
  int n = file.name.empty() ? 0
                            : ce::MultiByteToWideChar(ce::CP_ACP, 0, file.name.c_str(), -1, wide, ce::MAX_PATH);
  if (n > 0) {
    std::memcpy(nameBuffer, wide, static_cast<size_t>(n) * sizeof(WCHAR));
  } else if (file.name.empty()) {
    nameBuffer[0] = 0;
  }
  ++current_;
  ++memberIndex_;
  return 1;
}

bool CabReader::startFolder(CabFolder* folder) {
  int method = folder->type & 0x000F;
  if (method > kMethodLzx) return false;
  closeFolderFile();
  if (state_.decoder) state_.decoder->Destroy(1);
  state_ = DecodeState{};
  CabDecompressor* decoder = createDecompressor(method);
  if (!decoder) return false;
  int window = (method == kMethodQuantum || method == kMethodLzx) ? (folder->type >> 8) & 0x1F : 0;
  if (decoder->Init(window) != kDecodeOk) {
    decoder->Destroy(1);
    return false;
  }
  state_.decoder = decoder;
  CabCabinet* cab = folder->splits[0].cabinet;
  int32_t h = ops_->OpenW(files_, cab->path.c_str(), kOpenArchive, 0);
  if (h == -1) return false;
  cab->handle = h;
  state_.folder = folder;  // from here on the handle is closed with the folder
  int32_t length = ops_->Seek(files_, h, 0, 2);
  if (length <= 0 || ops_->Seek(files_, h, 0, 0) != 0) return false;
  uint32_t at = folder->splits[0].dataOffset;
  if (at > static_cast<uint32_t>(INT32_MAX) || ops_->Seek(files_, h, static_cast<int32_t>(at), 0) != static_cast<int32_t>(at))
    return false;
  return true;
}

bool CabReader::extract(CabFile& file, const WCHAR* outputPath) {
  if (!file.folder) return false;
  if (state_.folder != file.folder || file.folderOffset < state_.reached) {
    if (!startFolder(file.folder)) {
      closeFolderFile();
      state_.folder = nullptr;
      return false;
    }
  }
  if (file.folderOffset > state_.reached) {
    if (decode(file.folderOffset - state_.reached, -1) != 0) {
      closeFolderFile();
      state_.folder = nullptr;
      return false;
    }
    state_.reached = file.folderOffset;
  }
  // Truncating keeps a reused output name from carrying an older, longer
  // file's tail after the member's bytes.
  int32_t out = ops_->OpenW(files_, outputPath, kOpenOutput | NX_O_TRUNC, 0);
  if (out == -1) {
    int32_t made = ops_->OpenW(files_, outputPath, kOpenCreate, kShareReadWrite);
    if (made != -1) ops_->Close(files_, made);
    out = ops_->OpenW(files_, outputPath, kOpenOutput | NX_O_TRUNC, 0);
  }
  if (out == -1) return false;
  int rc = decode(file.length, out);
  ops_->Close(files_, out);
  if (rc != 0) {
    closeFolderFile();
    state_.folder = nullptr;
    return false;
  }
  state_.reached += file.length;
  return true;
}

int CabReader::readBlock() {
  CabCabinet* cab = state_.folder->splits[state_.split].cabinet;
  int32_t h = cab->handle;
  uint8_t hdr[8];
  if (h == -1 || readFully(h, hdr, 8) != 8) return kBlockShort;
  if (cab->dataReserve) ops_->Seek(files_, h, cab->dataReserve, 1);
  uint32_t stored = le32(hdr);
  int packed = le16(hdr + 4);
  int unpacked = le16(hdr + 6);
  if (packed > kMaxPacked) return kBlockShort;
  CabDecompressor* d = state_.decoder;
  if (readFully(h, d->input, packed) != packed) return kBlockShort;
  d->input[packed] = 0;
  d->input[packed + 1] = 0;
  if (stored != 0) {
    uint32_t sum = cabChecksum(d->input, static_cast<size_t>(packed), 0);
    if (cabChecksum(hdr + 4, 4, sum) != stored) return kBlockChecksum;
  }
  if (unpacked == 0) {
    // The block continues in the next cabinet; such blocks are not joined.
    ops_->Close(files_, h);
    cab->handle = -1;
    return kBlockSplit;
  }
  int rc = d->Decompress(packed, unpacked);
  if (rc != kDecodeOk) return rc;
  ++blocksDecoded_;
  state_.outPos = 0;
  state_.outRemaining = static_cast<uint32_t>(unpacked);
  return 0;
}

int CabReader::decode(uint32_t count, int32_t output) {
  while (count > 0) {
    if (state_.outRemaining == 0) {
      int rc = readBlock();
      if (rc != 0) return rc;
      continue;
    }
    uint32_t take = std::min(count, state_.outRemaining);
    if (output != -1) {
      int32_t wrote = ops_->Write(files_, output, state_.decoder->output + state_.outPos, static_cast<int32_t>(take));
      // A member whose bytes did not all reach the output is not delivered.
      if (wrote != static_cast<int32_t>(take)) return kBlockShort;
    }
    state_.outPos += take;
    state_.outRemaining -= take;
    count -= take;
  }
  return 0;
}

}  // namespace nx::cab
