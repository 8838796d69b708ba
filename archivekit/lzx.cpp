// LZX blocks: a sliding window of 2^15 to 2^21 bytes, three repeated match
// offsets, verbatim / aligned-offset / uncompressed LZX blocks that run
// across data blocks, delta-coded tree lengths, and the x86 CALL translation
// applied to each data block's output.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "archivekit/decompressor.h"
#include "archivekit/huffman.h"

namespace nx::cab {

namespace {

constexpr int kMinWindowBits = 15;
constexpr int kMaxWindowBits = 21;
constexpr int kMaxSlots = 50;
constexpr int kMainMax = 256 + 8 * kMaxSlots;  // 656
constexpr int kLengthSymbols = 249;
constexpr int kLengthTable = 250;
constexpr int kPreSymbols = 20;
constexpr int kAlignedSymbols = 8;
// Runs of the delta coding may run past the range being read; they land here.
constexpr int kLengthSlack = 64;
// Translation only ever applies to the first 32,768 data blocks of a folder.
constexpr uint32_t kTranslatedBlocks = 32768;

enum BlockType : uint32_t { kNone = 0, kVerbatim = 1, kAligned = 2, kUncompressed = 3 };

struct SlotTables {
  uint32_t base[kMaxSlots + 1];
  uint8_t extra[kMaxSlots + 1];
  constexpr SlotTables() : base(), extra() {
    uint32_t b = 0;
    for (int i = 0; i <= kMaxSlots; ++i) {
      int e = i < 2 ? 0 : (i - 2) / 2;
      extra[i] = static_cast<uint8_t>(e > 17 ? 17 : e);
      base[i] = b;
      b += 1u << extra[i];
    }
  }
};
constexpr SlotTables kSlots;

class LzxDecompressor final : public CabDecompressor {
 public:
  ~LzxDecompressor() override { std::free(window_); }

  int Init(int windowBits) override {
    if (windowBits < kMinWindowBits || windowBits > kMaxWindowBits) return kDecodeFormat;
    uint32_t size = 1u << windowBits;
    if (!window_ || windowAllocated_ < size) {
      std::free(window_);
      window_ = static_cast<uint8_t*>(std::calloc(size, 1));
      windowAllocated_ = window_ ? size : 0;
      if (!window_) return kDecodeNoMemory;
    }
    windowSize_ = size;
    int slots = windowBits == 20 ? 42 : windowBits == 21 ? 50 : 2 * windowBits;
    mainElements_ = 256 + 8 * slots;
    r0_ = r1_ = r2_ = 1;
    headerRead_ = false;
    frames_ = 0;
    blockType_ = kNone;
    blockLength_ = blockRemaining_ = 0;
    fileSize_ = 0;
    translationPos_ = 0;
    translationStarted_ = false;
    windowPos_ = 0;
    produced_ = 0;
    std::memset(mainLengths_, 0, sizeof mainLengths_);
    std::memset(lengthLengths_, 0, sizeof lengthLengths_);
    return kDecodeOk;
  }

  int Decompress(int packed, int unpacked) override {
    if (!window_) return kDecodeIllegal;
    if (unpacked < 0 || unpacked > kOutputSize) return kDecodeFormat;
    if (packed < 0 || packed > kMaxPacked) return kDecodeIllegal;
    const size_t limit = static_cast<size_t>(packed) + 2;
    if (windowPos_ == windowSize_) windowPos_ = 0;
    if (windowPos_ + static_cast<uint32_t>(unpacked) > windowSize_) return kDecodeFormat;
    const uint32_t frameStart = windowPos_;

    bits_.start(input, limit);
    rawPos_ = 0;
    if (!headerRead_) {
      if (bits_.read(1)) {
        uint32_t hi = bits_.read(16);
        uint32_t lo = bits_.read(16);
        fileSize_ = hi << 16 | lo;
      } else {
        fileSize_ = 0;
      }
      headerRead_ = true;
    }

    uint32_t remaining = static_cast<uint32_t>(unpacked);
    while (remaining > 0) {
      if (blockRemaining_ == 0) {
        int rc = readBlockHeader(limit);
        if (rc != kDecodeOk) return rc;
      }
      uint32_t run = std::min(blockRemaining_, remaining);
      int rc = blockType_ == kUncompressed ? copyRaw(run, limit) : decodeCompressed(run, blockType_ == kAligned);
      if (rc != kDecodeOk) return rc;
      blockRemaining_ -= run;
      remaining -= run;
      produced_ += run;
      if (blockType_ == kUncompressed && blockRemaining_ == 0) {
        // Odd-length raw blocks are followed by one pad byte; bit reading
        // resumes after it.
        if (blockLength_ & 1) ++rawPos_;
        bits_.start(input, limit, rawPos_);
      }
      if (bits_.bitPosition() > static_cast<uint64_t>(limit) * 8 || rawPos_ > limit) return kDecodeIllegal;
    }
    if (bits_.bitPosition() > static_cast<uint64_t>(limit) * 8 || rawPos_ > limit) return kDecodeIllegal;

    std::memcpy(output, window_ + frameStart, static_cast<size_t>(unpacked));
    if (frames_ < kTranslatedBlocks && fileSize_ != 0) translate(static_cast<uint32_t>(unpacked));
    ++frames_;
    return kDecodeOk;
  }

 private:
  int readBlockHeader(size_t limit) {
    if (blockType_ == kUncompressed) bits_.start(input, limit, rawPos_);
    uint32_t type = bits_.read(3);
    uint32_t hi = bits_.read(16);
    uint32_t lo = bits_.read(8);
    uint32_t length = hi << 8 | lo;
    switch (type) {
      case kAligned: {
        uint8_t lens[kAlignedSymbols];
        for (auto& l : lens) l = static_cast<uint8_t>(bits_.read(3));
        if (!aligned_.build(lens, kAlignedSymbols, false)) return kDecodeIllegal;
        [[fallthrough]];
      }
      case kVerbatim: {
        int rc = readLengths(mainLengths_, 0, 256);
        if (rc == kDecodeOk) rc = readLengths(mainLengths_, 256, mainElements_);
        if (rc != kDecodeOk) return rc;
        if (!main_.build(mainLengths_, mainElements_, false)) return kDecodeIllegal;
        if (mainLengths_[0xE8] != 0) translationStarted_ = true;
        rc = readLengths(lengthLengths_, 0, kLengthSymbols);
        if (rc != kDecodeOk) return rc;
        if (!length_.build(lengthLengths_, kLengthTable, true)) return kDecodeIllegal;
        break;
      }
      case kUncompressed: {
        translationStarted_ = true;
        // Realign to the next 16-bit boundary; an aligned stream still
        // skips one whole word.
        uint64_t at = bits_.bitPosition();
        at = (at % 16 == 0) ? at + 16 : (at + 15) / 16 * 16;
        rawPos_ = static_cast<size_t>(at / 8);
        if (rawPos_ + 12 > limit) return kDecodeIllegal;
        auto le32 = [&](size_t p) {
          return static_cast<uint32_t>(input[p]) | static_cast<uint32_t>(input[p + 1]) << 8 |
                 static_cast<uint32_t>(input[p + 2]) << 16 | static_cast<uint32_t>(input[p + 3]) << 24;
        };
        r0_ = le32(rawPos_);
        r1_ = le32(rawPos_ + 4);
        r2_ = le32(rawPos_ + 8);
        rawPos_ += 12;
        break;
      }
      default:
        return kDecodeIllegal;
    }
    blockType_ = static_cast<BlockType>(type);
    blockLength_ = blockRemaining_ = length;
    if (length == 0) return kDecodeIllegal;
    return kDecodeOk;
  }

  // Tree lengths [first, last) with the pre-tree delta coding.
  int readLengths(uint8_t* lens, int first, int last) {
    uint8_t preLens[kPreSymbols];
    for (auto& l : preLens) l = static_cast<uint8_t>(bits_.read(4));
    if (!pre_.build(preLens, kPreSymbols, false)) return kDecodeIllegal;
    int x = first;
    while (x < last) {
      bits_.refill();
      int z = pre_.decode(bits_);
      if (z < 0) return kDecodeIllegal;
      if (z == 17 || z == 18) {
        int y = z == 17 ? 4 + static_cast<int>(bits_.take(4)) : 20 + static_cast<int>(bits_.take(5));
        std::memset(lens + x, 0, static_cast<size_t>(y));
        x += y;
      } else if (z == 19) {
        int y = 4 + static_cast<int>(bits_.take(1));
        bits_.refill();
        int d = pre_.decode(bits_);
        if (d < 0) return kDecodeIllegal;
        int v = lens[x] - d;
        if (v < 0) v += 17;
        std::memset(lens + x, v, static_cast<size_t>(y));
        x += y;
      } else {
        int v = lens[x] - z;
        if (v < 0) v += 17;
        lens[x++] = static_cast<uint8_t>(v);
      }
      if (bits_.bitPosition() > static_cast<uint64_t>(bits_.limit) * 8) return kDecodeIllegal;
    }
    return kDecodeOk;
  }

  int copyRaw(uint32_t run, size_t limit) {
    if (rawPos_ + run > limit) return kDecodeIllegal;
    std::memcpy(window_ + windowPos_, input + rawPos_, run);
    rawPos_ += run;
    windowPos_ += run;
    return kDecodeOk;
  }

  int decodeCompressed(uint32_t run, bool alignedBlock) {
    uint8_t* const win = window_;
    const uint32_t mask = windowSize_ - 1;
    uint32_t pos = windowPos_;
    const uint32_t end = pos + run;
    // Bytes of this folder decoded before this run: matches may not reach
    // further back than the folder's first byte.
    const uint64_t before = produced_ - pos;
    WordBits b = bits_;
    uint32_t r0 = r0_, r1 = r1_, r2 = r2_;
    int rc = kDecodeOk;
    while (pos < end) {
      b.refill();
      int sym = main_.decode(b);
      if (sym < 0) {
        rc = kDecodeIllegal;
        break;
      }
      if (sym < 256) {
        win[pos++] = static_cast<uint8_t>(sym);
        continue;
      }
      sym -= 256;
      uint32_t len = static_cast<uint32_t>(sym & 7);
      uint32_t slot = static_cast<uint32_t>(sym >> 3);
      if (len == 7) {
        int l = length_.decode(b);
        if (l < 0) {
          rc = kDecodeIllegal;
          break;
        }
        len += static_cast<uint32_t>(l);
      }
      len += 2;
      uint32_t off;
      if (slot == 0) {
        off = r0;
      } else if (slot == 1) {
        off = r1;
        r1 = r0;
        r0 = off;
      } else if (slot == 2) {
        off = r2;
        r2 = r0;
        r0 = off;
      } else {
        b.refill();
        int extra = kSlots.extra[slot];
        off = kSlots.base[slot] - 2;
        if (alignedBlock && extra >= 3) {
          off += b.take(extra - 3) << 3;
          int a = aligned_.decode(b);
          if (a < 0) {
            rc = kDecodeIllegal;
            break;
          }
          off += static_cast<uint32_t>(a);
        } else {
          off += b.take(extra);
        }
        r2 = r1;
        r1 = r0;
        r0 = off;
      }
      if (pos + len > end) {
        rc = pos + len > windowSize_ ? kDecodeFormat : kDecodeIllegal;
        break;
      }
      if (off == 0 || off > windowSize_ || off > before + pos) {
        rc = kDecodeIllegal;
        break;
      }
      uint32_t src = (pos - off) & mask;
      if (off <= pos) {
        // The source lies wholly before pos without wrapping.
        if (off >= len) {
          std::memcpy(win + pos, win + src, len);
        } else if (off == 1) {
          std::memset(win + pos, win[src], len);  // a run of one byte
        } else {
          // Overlapping: each step copies a stretch that is already written.
          uint32_t done = 0;
          while (done < len) {
            uint32_t step = std::min(off, len - done);
            std::memcpy(win + pos + done, win + src + done, step);
            done += step;
          }
        }
        pos += len;
      } else {
        for (uint32_t i = 0; i < len; ++i) win[pos++] = win[(src + i) & mask];
      }
    }
    bits_ = b;
    r0_ = r0;
    r1_ = r1;
    r2_ = r2;
    if (rc != kDecodeOk) return rc;
    windowPos_ = pos;
    return kDecodeOk;
  }

  // Turns the absolute CALL targets the compressor wrote back into relative
  // ones, for the data block just placed in the output buffer.
  void translate(uint32_t length) {
    if (length <= 6 || !translationStarted_) {
      translationPos_ += length;
      return;
    }
    const int64_t fileSize = static_cast<int32_t>(fileSize_);
    uint32_t i = 0;
    while (length > 10 && i < length - 10) {
      if (output[i] != 0xE8) {
        ++i;
        continue;
      }
      int64_t pos = static_cast<int64_t>(translationPos_) + i;
      uint8_t* p = output + i + 1;
      int32_t a = static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                                       static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
      if (a >= -pos && a < fileSize) {
        int64_t rel = a >= 0 ? a - pos : a + fileSize;
        auto v = static_cast<uint32_t>(rel);
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
        p[2] = static_cast<uint8_t>(v >> 16);
        p[3] = static_cast<uint8_t>(v >> 24);
      }
      i += 5;
    }
    translationPos_ += length;
  }

  uint8_t* window_ = nullptr;
  uint32_t windowAllocated_ = 0;
  uint32_t windowSize_ = 0;
  uint32_t windowPos_ = 0;
  uint64_t produced_ = 0;  // bytes of the folder decoded so far
  uint32_t r0_ = 1, r1_ = 1, r2_ = 1;
  int mainElements_ = 0;
  bool headerRead_ = false;
  BlockType blockType_ = kNone;
  uint32_t blockLength_ = 0;
  uint32_t blockRemaining_ = 0;
  uint32_t fileSize_ = 0;
  uint32_t translationPos_ = 0;
  bool translationStarted_ = false;
  uint32_t frames_ = 0;
  WordBits bits_;
  size_t rawPos_ = 0;
  uint8_t mainLengths_[kMainMax + kLengthSlack] = {};
  uint8_t lengthLengths_[kLengthTable + kLengthSlack] = {};
  HuffmanTable<kMainMax, 12> main_;
  HuffmanTable<kLengthTable, 12> length_;
  HuffmanTable<kPreSymbols, 6> pre_;
  HuffmanTable<kAlignedSymbols, 7> aligned_;
};

}  // namespace

CabDecompressor* newLzxDecompressor() { return new (std::nothrow) LzxDecompressor(); }

}  // namespace nx::cab
