// Quantum blocks: an adaptive arithmetic coder over seven models (selector,
// four literal ranges, three match-position models and a match-length model)
// with LZ77 matches into a window of 2^10 to 2^21 bytes. The coder restarts
// at the start of every data block; the models and the window carry on.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "archivekit/decompressor.h"

namespace nx::cab {

namespace {

constexpr int kMinWindowBits = 10;
constexpr int kMaxWindowBits = 21;
constexpr int kPositionSlots = 42;
constexpr int kLengthSlots = 27;

struct QuantumTables {
  uint32_t positionBase[kPositionSlots];
  uint8_t positionExtra[kPositionSlots];
  uint16_t lengthBase[kLengthSlots];
  uint8_t lengthExtra[kLengthSlots];
  constexpr QuantumTables() : positionBase(), positionExtra(), lengthBase(), lengthExtra() {
    uint32_t b = 0;
    for (int i = 0; i < kPositionSlots; ++i) {
      positionExtra[i] = static_cast<uint8_t>(i < 2 ? 0 : (i - 2) / 2);
      positionBase[i] = b;
      b += 1u << positionExtra[i];
    }
    uint16_t l = 0;
    for (int i = 0; i < kLengthSlots; ++i) {
      lengthExtra[i] = static_cast<uint8_t>(i < 6 || i == 26 ? 0 : (i - 2) / 4);
      lengthBase[i] = l;
      l = static_cast<uint16_t>(l + (1u << lengthExtra[i]));
    }
  }
};
constexpr QuantumTables kTables;

// One adaptive model: symbols kept in decreasing frequency order with
// cumulative frequencies; entry `count` holds the 0 that ends the list.
struct Model {
  static constexpr int kMax = 64;
  int count = 0;
  int shiftsLeft = 0;
  uint16_t cumFreq[kMax + 1] = {};
  uint16_t symbol[kMax + 1] = {};

  void init(int first, int n) {
    count = n;
    shiftsLeft = 4;
    for (int i = 0; i <= n; ++i) {
      cumFreq[i] = static_cast<uint16_t>(n - i);
      symbol[i] = static_cast<uint16_t>(first + i);
    }
  }

  // Halves the frequencies; every 50th time the symbols are also re-sorted
  // by frequency.
  void rescale() {
    if (--shiftsLeft) {
      for (int i = count - 1; i >= 0; --i) {
        cumFreq[i] = static_cast<uint16_t>(cumFreq[i] >> 1);
        if (cumFreq[i] <= cumFreq[i + 1]) cumFreq[i] = static_cast<uint16_t>(cumFreq[i + 1] + 1);
      }
      return;
    }
    shiftsLeft = 50;
    for (int i = 0; i < count; ++i) {
      // Cumulative to individual frequencies (the next entry is still
      // cumulative here), rounded up when halved.
      cumFreq[i] = static_cast<uint16_t>(((cumFreq[i] - cumFreq[i + 1]) + 1) >> 1);
    }
    for (int i = 0; i < count - 1; ++i) {
      for (int j = i + 1; j < count; ++j) {
        if (cumFreq[i] < cumFreq[j]) {
          std::swap(cumFreq[i], cumFreq[j]);
          std::swap(symbol[i], symbol[j]);
        }
      }
    }
    for (int i = count - 1; i >= 0; --i) cumFreq[i] = static_cast<uint16_t>(cumFreq[i] + cumFreq[i + 1]);
  }
};

// Bits most significant first, byte by byte. Past the block's input the
// reader yields zeros and counts how far it went.
struct ByteBits {
  const uint8_t* data = nullptr;
  size_t limit = 0;
  size_t next = 0;
  uint64_t buf = 0;  // left-aligned
  int count = 0;

  void start(const uint8_t* d, size_t n) {
    data = d;
    limit = n;
    next = 0;
    buf = 0;
    count = 0;
  }
  inline void refill() {
    while (count <= 56) {
      uint64_t b = next < limit ? data[next] : 0;
      ++next;
      buf |= b << (56 - count);
      count += 8;
    }
  }
  inline uint32_t read(int n) {
    if (n == 0) return 0;
    if (count < n) refill();
    uint32_t v = static_cast<uint32_t>(buf >> (64 - n));
    buf <<= n;
    count -= n;
    return v;
  }
  inline uint32_t bit() { return read(1); }
  uint64_t bitPosition() const { return static_cast<uint64_t>(next) * 8 - static_cast<uint64_t>(count); }
};

class QuantumDecompressor final : public CabDecompressor {
 public:
  ~QuantumDecompressor() override { std::free(window_); }

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
    windowPos_ = 0;
    produced_ = 0;
    int slots = 2 * windowBits;
    selector_.init(0, 7);
    for (int i = 0; i < 4; ++i) literal_[i].init(64 * i, 64);
    position3_.init(0, std::min(slots, 24));
    position4_.init(0, std::min(slots, 36));
    positionLong_.init(0, slots);
    length_.init(0, kLengthSlots);
    return kDecodeOk;
  }

  int Decompress(int packed, int unpacked) override {
    if (!window_) return kDecodeIllegal;
    if (packed < 0 || packed > kMaxPacked) return kDecodeIllegal;
    if (unpacked < 0 || unpacked > kOutputSize) return kDecodeFormat;
    windowPos_ &= windowSize_ - 1;
    if (windowPos_ + static_cast<uint32_t>(unpacked) > windowSize_) return kDecodeFormat;
    const size_t limit = static_cast<size_t>(packed) + 2;
    bits_.start(input, limit);
    high_ = 0xFFFF;
    low_ = 0;
    code_ = bits_.read(16);

    const uint32_t start = windowPos_;
    const uint32_t end = start + static_cast<uint32_t>(unpacked);
    const uint32_t mask = windowSize_ - 1;
    uint32_t pos = start;
    while (pos < end) {
      // A stream that has run far past its input can only be producing
      // garbage; stop it rather than fill the block with it.
      if (bits_.bitPosition() > static_cast<uint64_t>(limit) * 8 + 64) return kDecodeIllegal;
      int sel = symbol(selector_);
      if (sel < 4) {
        window_[pos++] = static_cast<uint8_t>(symbol(literal_[sel]));
        continue;
      }
      uint32_t len, slot;
      if (sel == 4) {
        slot = static_cast<uint32_t>(symbol(position3_));
        len = 3;
      } else if (sel == 5) {
        slot = static_cast<uint32_t>(symbol(position4_));
        len = 4;
      } else if (sel == 6) {
        uint32_t ls = static_cast<uint32_t>(symbol(length_));
        len = kTables.lengthBase[ls] + bits_.read(kTables.lengthExtra[ls]) + 5;
        slot = static_cast<uint32_t>(symbol(positionLong_));
      } else {
        return kDecodeIllegal;
      }
      uint32_t off = kTables.positionBase[slot] + bits_.read(kTables.positionExtra[slot]) + 1;
      // The compressor may let the last match of a block run past the
      // block's end; the surplus stays in the window and is not delivered.
      // A match past the window's end is refused.
      if (pos + len > windowSize_) return kDecodeFormat;
      if (off > windowSize_ || off > produced_ + (pos - start)) return kDecodeIllegal;
      if (off <= pos && off >= len) {
        std::memcpy(window_ + pos, window_ + pos - off, len);
        pos += len;
      } else if (off == 1 && pos > 0) {
        std::memset(window_ + pos, window_[pos - 1], len);  // a run of one byte
        pos += len;
      } else {
        uint32_t src = (pos - off) & mask;
        for (uint32_t i = 0; i < len; ++i) window_[pos++] = window_[(src + i) & mask];
      }
    }
    if (bits_.bitPosition() > static_cast<uint64_t>(limit) * 8 + 64) return kDecodeIllegal;
    std::memcpy(output, window_ + start, static_cast<size_t>(unpacked));
    windowPos_ = end;
    produced_ += static_cast<uint64_t>(unpacked);
    return kDecodeOk;
  }

 private:
  int symbol(Model& m) {
    const int64_t range = ((high_ - low_) & 0xFFFF) + 1;
    const int64_t total = m.cumFreq[0];
    // The code lies within [low, high] in a sound stream; a broken one may
    // put it below, which the signed arithmetic keeps well defined.
    const int64_t offset = static_cast<int64_t>(code_) - static_cast<int64_t>(low_) + 1;
    const uint32_t target = static_cast<uint32_t>(((offset * total - 1) / range) & 0xFFFF);
    int i = 1;
    while (i < m.count && m.cumFreq[i] > target) ++i;
    int sym = m.symbol[i - 1];
    high_ = static_cast<uint32_t>(low_ + (m.cumFreq[i - 1] * range) / total - 1) & 0xFFFF;
    low_ = static_cast<uint32_t>(low_ + (m.cumFreq[i] * range) / total) & 0xFFFF;
    for (int k = 0; k < i; ++k) m.cumFreq[k] = static_cast<uint16_t>(m.cumFreq[k] + 8);
    if (m.cumFreq[0] > 3800) m.rescale();
    for (;;) {
      if ((low_ & 0x8000) != (high_ & 0x8000)) {
        if ((low_ & 0x4000) && !(high_ & 0x4000)) {
          // Underflow: the interval straddles the middle; drop the second bit.
          code_ ^= 0x4000;
          low_ &= 0x3FFF;
          high_ |= 0x4000;
        } else {
          break;
        }
      }
      low_ = (low_ << 1) & 0xFFFF;
      high_ = ((high_ << 1) | 1) & 0xFFFF;
      code_ = ((code_ << 1) | bits_.bit()) & 0xFFFF;
    }
    return sym;
  }

  uint8_t* window_ = nullptr;
  uint32_t windowAllocated_ = 0;
  uint32_t windowSize_ = 0;
  uint32_t windowPos_ = 0;
  uint64_t produced_ = 0;
  uint32_t high_ = 0, low_ = 0, code_ = 0;
  ByteBits bits_;
  Model selector_;
  Model literal_[4];
  Model position3_, position4_, positionLong_;
  Model length_;
};

}  // namespace

CabDecompressor* newQuantumDecompressor() { return new (std::nothrow) QuantumDecompressor(); }

}  // namespace nx::cab
