// The cabinet reader's members: binding them to their folders across the
// parts of a set, and decoding them one after another. A folder that a set
// continues from part to part is read part after part, a data block split
// at a part's end joined with its rest at the next part's start.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>

#include "archivekit/cab_reader.h"
#include "ce/text.h"

namespace nx::cab {

using ce::WCHAR;

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

bool runsOn(uint16_t index) { return index == kContinuedToNext || index == kContinuedBoth; }
bool fromPrevious(uint16_t index) { return index == kContinuedFromPrevious || index == kContinuedBoth; }

// A member as a set lists it in every part it touches: the same name,
// folder offset and length.
std::string memberKey(const CabFile& f) {
  std::string key(8, '\0');
  std::memcpy(key.data(), &f.folderOffset, 4);
  std::memcpy(key.data() + 4, &f.length, 4);
  return key + f.name;
}

}  // namespace

// ---- Binding members to folders -----------------------------------------------

void CabReader::bindMembers() {
  members_.clear();
  current_ = 0;
  CabCabinet* first = found_.front().get();
  size_t firstMembers = 0;
  if (memberCount_ == 1 && !first->previous && !first->next) {
    // A single-member cabinet: the first member belongs to the first folder.
    for (auto& f : first->files) members_.push_back(f.get());
    if (!members_.empty()) members_.front()->folder = first->folders.front();
    firstMembers = members_.size();
  } else {
    firstMembers = bindSet(first);
  }
  // The member count of offset 28 bounds what the first cabinet delivers
  // (it is the file count only for a cabinet at the file's start); members
  // beyond it are held all the same, and are accounted for as not delivered.
  const size_t allowed = static_cast<size_t>(memberCount_ < 0 ? 0 : memberCount_);
  if (firstMembers > allowed) {
    members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(allowed),
                   members_.begin() + static_cast<std::ptrdiff_t>(firstMembers));
    budget_.undelivered(static_cast<uint32_t>(firstMembers - allowed));
  }
}

// Binds the members of the opened cabinet and of the parts chained to it, in
// part order and within a part in stored order; answers how many came from
// the opened cabinet. A set lists a member in every part its data touch:
// it is taken once, from the part it starts in ("continued to next"), and
// its other listings ("continued both ways", "from previous") only tell that
// the part's first folder continues the previous part's last one.
size_t CabReader::bindSet(CabCabinet* first) {
  // Members begun before the opened cabinet are delivered by the walk from
  // the part before it when that part is there and leads here; otherwise
  // this walk cannot have them, and says so.
  bool previousHere = false;
  for (const auto& f : first->files)
    if (fromPrevious(f->folderIndex)) {
      previousHere = previousLeadsHere(*first);
      break;
    }
  size_t firstMembers = 0;
  CabFolder* runningOn = nullptr;              // the previous part's last folder, when it runs on
  std::unordered_set<std::string> runOnKeys;  // the members that run on from the previous part
  for (CabCabinet* cab = first; cab; cab = cab->next) {
    const bool isFirst = cab == first;
    bool merged = false;
    if (runningOn) {
      CabFolder* head = cab->folders.front();
      bool listed = false;
      for (const auto& f : cab->files)
        if (fromPrevious(f->folderIndex) && runOnKeys.count(memberKey(*f))) {
          listed = true;
          break;
        }
      if (listed && head->type == runningOn->type && runningOn->splitCount < kMaxSplits) {
        runningOn->splits[runningOn->splitCount++] = head->splits[0];
        cab->folders.front() = runningOn;
        merged = true;
      } else {
        runningOn->runsOnMissing = true;
      }
    }
    std::unordered_set<std::string> nextKeys;
    bool runs = false;
    for (auto& owned : cab->files) {
      CabFile* file = owned.get();
      const uint16_t index = file->folderIndex;
      if (runsOn(index)) {
        runs = true;
        nextKeys.insert(memberKey(*file));
      }
      if (index < kContinuedFromPrevious) {
        if (index < cab->folders.size()) file->folder = cab->folders[index];
      } else if (index == kContinuedToNext) {
        file->folder = cab->folders.back();
      } else if (isFirst) {
        file->fromAbsentCabinet = true;
        if (!previousHere) budget_.undelivered();
      } else if (!merged || !runOnKeys.count(memberKey(*file))) {
        // Continues a member this walk never met: its start is out of reach.
        budget_.undelivered();
      }
      if (file->folder) members_.push_back(file);
    }
    if (isFirst) firstMembers = members_.size();
    runningOn = runs ? cab->folders.back() : nullptr;
    if (runningOn && !cab->next) runningOn->runsOnMissing = true;
    runOnKeys = std::move(nextKeys);
  }
  return firstMembers;
}

// ---- Extraction ---------------------------------------------------------------

void CabReader::finish() {
  if (!finished_ && !budget_.stopped() && current_ < members_.size())
    budget_.undelivered(static_cast<uint32_t>(members_.size() - current_));
  finished_ = true;
}

int32_t CabReader::ExtractNext(const WCHAR* outputPath, WCHAR* nameBuffer) {
  if (finished_ || !outputPath || !nameBuffer) return 0;
  if (current_ >= members_.size()) {
    finished_ = true;
    return 0;
  }
  CabFile& file = *members_[current_];
  // Only a single-member cabinet binds a member that runs both ways.
  if (file.folderIndex == kContinuedBoth || !extract(file, outputPath)) {
    finish();
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
  budget_.delivered();
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
  state_.blocksLeft = folder->splits[0].blocks;
  int32_t length = ops_->Seek(files_, h, 0, 2);
  if (length <= 0 || ops_->Seek(files_, h, 0, 0) != 0) return false;
  uint32_t at = folder->splits[0].dataOffset;
  if (at > static_cast<uint32_t>(INT32_MAX) || ops_->Seek(files_, h, static_cast<int32_t>(at), 0) != static_cast<int32_t>(at))
    return false;
  return true;
}

// The folder goes on in the next part of the set.
bool CabReader::nextSplit() {
  closeFolderFile();
  ++state_.split;
  const CabFolder::Split& split = state_.folder->splits[state_.split];
  CabCabinet* cab = split.cabinet;
  int32_t h = ops_->OpenW(files_, cab->path.c_str(), kOpenArchive, 0);
  if (h == -1) return false;
  cab->handle = h;
  state_.blocksLeft = split.blocks;
  const uint32_t at = split.dataOffset;
  return at <= static_cast<uint32_t>(INT32_MAX) &&
         ops_->Seek(files_, h, static_cast<int32_t>(at), 0) == static_cast<int32_t>(at);
}

bool CabReader::extract(CabFile& file, const WCHAR* outputPath) {
  if (!file.folder) return false;
  const bool restart = state_.folder != file.folder || file.folderOffset < state_.reached;
  // A member costs its own bytes and those decoded to reach it, again after
  // every restart of its folder.
  const uint64_t from = restart ? 0 : state_.reached;
  if (budget_.expired() || !budget_.allows(uint64_t{file.folderOffset} - from + file.length)) return false;
  if (restart) {
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

// The next data block of the folder, or the next piece of a block split at
// a part's end, its packed bytes appended after the `have` already held.
int CabReader::readPiece(int& have, int& unpacked) {
  const CabFolder* folder = state_.folder;
  while (state_.blocksLeft == 0 && state_.split + 1 < folder->splitCount)
    if (!nextSplit()) return kBlockShort;
  // The rest of the folder lies in a part that is not here.
  if (state_.blocksLeft == 0 && folder->runsOnMissing) return kBlockShort;
  CabCabinet* cab = folder->splits[state_.split].cabinet;
  const int32_t h = cab->handle;
  uint8_t hdr[8];
  if (h == -1 || readFully(h, hdr, 8) != 8) return kBlockShort;
  if (state_.blocksLeft > 0) --state_.blocksLeft;
  if (cab->dataReserve) ops_->Seek(files_, h, cab->dataReserve, 1);
  const uint32_t stored = le32(hdr);
  const int packed = le16(hdr + 4);
  unpacked = le16(hdr + 6);
  if (packed > kMaxPacked - have) return kBlockShort;
  uint8_t* at = state_.decoder->input + have;
  if (readFully(h, at, packed) != packed) return kBlockShort;
  if (stored != 0) {
    uint32_t sum = cabChecksum(at, static_cast<size_t>(packed), 0);
    if (cabChecksum(hdr + 4, 4, sum) != stored) return kBlockChecksum;
  }
  have += packed;
  return 0;
}

int CabReader::readBlock() {
  if (budget_.expired()) return kBlockLimit;
  int have = 0, unpacked = 0;
  for (;;) {
    int rc = readPiece(have, unpacked);
    if (rc != 0) return rc;
    if (unpacked != 0) break;
    // The block goes on at the start of the next part.
    if (state_.split + 1 >= state_.folder->splitCount) {
      CabCabinet* cab = state_.folder->splits[state_.split].cabinet;
      ops_->Close(files_, cab->handle);
      cab->handle = -1;
      return kBlockSplit;
    }
    if (!nextSplit()) return kBlockShort;
  }
  CabDecompressor* d = state_.decoder;
  d->input[have] = 0;
  d->input[have + 1] = 0;
  int rc = d->Decompress(have, unpacked);
  if (rc != kDecodeOk) return rc;
  ++blocksDecoded_;
  budget_.produced(static_cast<uint64_t>(unpacked));
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
