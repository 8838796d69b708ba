// Canonical Huffman decoding for LZX: codes are read most significant bit
// first from a 64-bit buffer. Codes up to kFastBits long resolve with one
// table look-up; the rare longer ones walk the per-length code ranges.
#pragma once

#include <cstdint>
#include <cstring>

namespace nx::cab {

inline constexpr int kMaxCodeLength = 16;

// Bits read as 16-bit little-endian words, most significant bit first,
// from a block's input. Reading beyond the block's end yields zeros and is
// counted, so callers can tell an over-read from a legal stream.
struct WordBits {
  const uint8_t* base = nullptr;
  size_t limit = 0;  // bytes that may be read (packed length + the two zeros)
  size_t next = 0;   // next byte to load; may pass limit (zeros then)
  uint64_t buf = 0;  // unread bits, left-aligned
  int count = 0;     // number of unread bits in buf

  void start(const uint8_t* data, size_t bytes, size_t at = 0) {
    base = data;
    limit = bytes;
    next = at;
    buf = 0;
    count = 0;
  }
  // At least 49 bits available afterwards.
  inline void refill() {
    while (count <= 48) {
      uint64_t w = 0;
      if (next + 2 <= limit) w = static_cast<uint64_t>(base[next] | base[next + 1] << 8);
      next += 2;
      buf |= w << (48 - count);
      count += 16;
    }
  }
  inline uint32_t peek(int n) const { return static_cast<uint32_t>(buf >> (64 - n)); }
  inline void drop(int n) {
    buf <<= n;
    count -= n;
  }
  // n in 0..17 after a refill.
  inline uint32_t take(int n) {
    if (n == 0) return 0;
    uint32_t v = peek(n);
    drop(n);
    return v;
  }
  uint32_t read(int n) {
    refill();
    return take(n);
  }
  // Position of the next unread bit from the start of the input.
  uint64_t bitPosition() const { return static_cast<uint64_t>(next) * 8 - static_cast<uint64_t>(count); }
};

template <int Symbols, int FastBits>
class HuffmanTable {
 public:
  // Builds the table from the code lengths of the first `symbols` symbols
  // (0 = unused). A tree whose lengths
  // are all 0 is accepted only when allowEmpty; it then decodes nothing.
  // Over-full and incomplete trees are refused.
  bool build(const uint8_t* lengths, int symbols, bool allowEmpty) {
    if (symbols < 1 || symbols > Symbols) return false;
    uint16_t count[kMaxCodeLength + 1] = {};
    for (int s = 0; s < symbols; ++s) {
      if (lengths[s] > kMaxCodeLength) return false;
      ++count[lengths[s]];
    }
    empty_ = count[0] == symbols;
    if (empty_) {
      std::memset(fast_, 0, sizeof fast_);
      return allowEmpty;
    }
    int32_t left = 1;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
      left = (left << 1) - count[len];
      if (left < 0) return false;
    }
    if (left != 0) return false;
    uint32_t code = 0;
    uint16_t index = 0;
    uint16_t offsets[kMaxCodeLength + 2] = {};
    for (int len = 1; len <= kMaxCodeLength; ++len) {
      first_[len] = code;
      start_[len] = index;
      count_[len] = count[len];
      offsets[len] = index;
      index = static_cast<uint16_t>(index + count[len]);
      code = (code + count[len]) << 1;
    }
    for (int s = 0; s < symbols; ++s)
      if (lengths[s]) sorted_[offsets[lengths[s]]++] = static_cast<uint16_t>(s);
    // Fast entries: symbol << 8 | length; 0xFF marks a prefix of a longer code.
    std::memset(fast_, 0, sizeof fast_);
    for (int len = 1; len <= kMaxCodeLength; ++len) {
      for (uint32_t i = 0; i < count_[len]; ++i) {
        uint32_t c = first_[len] + i;
        uint16_t sym = sorted_[start_[len] + i];
        if (len <= FastBits) {
          uint32_t from = c << (FastBits - len), to = (c + 1) << (FastBits - len);
          for (uint32_t e = from; e < to; ++e) fast_[e] = static_cast<uint32_t>(sym) << 8 | static_cast<uint32_t>(len);
        } else {
          fast_[c >> (len - FastBits)] = 0xFF;
        }
      }
    }
    return true;
  }

  bool empty() const { return empty_; }

  // The next symbol, or -1 for a code the tree does not have. Needs at
  // least 16 unread bits.
  inline int decode(WordBits& in) const {
    uint32_t e = fast_[in.peek(FastBits)];
    uint32_t len = e & 0xFF;
    if (len && len <= FastBits) {
      in.drop(static_cast<int>(len));
      return static_cast<int>(e >> 8);
    }
    if (len == 0) return -1;
    for (int l = FastBits + 1; l <= kMaxCodeLength; ++l) {
      uint32_t c = in.peek(l);
      if (c - first_[l] < count_[l]) {
        in.drop(l);
        return sorted_[start_[l] + (c - first_[l])];
      }
    }
    return -1;
  }

 private:
  uint32_t fast_[1u << FastBits] = {};
  uint32_t first_[kMaxCodeLength + 1] = {};
  uint16_t start_[kMaxCodeLength + 1] = {};
  uint16_t count_[kMaxCodeLength + 1] = {};
  uint16_t sorted_[Symbols] = {};
  bool empty_ = true;
};

}  // namespace nx::cab
