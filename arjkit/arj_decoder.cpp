#include "arjkit/arj_decoder.h"

#include <cstring>
#include <memory>
#include <new>

namespace nx::arj {

namespace {

// ---- Bits, most significant first --------------------------------------------
// A 64-bit window over the packed bytes. ensure() leaves at least 32 bits in
// it, so a whole symbol with its extra bits can be taken without checks.
// Past the end of the packed data the window fills with zero bits, as the
// format's own decoder does; overrun() tells when any of those were used,
// which a sound member never does.
class BitReader {
 public:
  explicit BitReader(PackedSource& src) : src_(src) {}

  inline void ensure() {
    if (count_ < 32) refill();
  }
  // n in 1..32, with n bits present.
  inline uint32_t peek(int n) const { return static_cast<uint32_t>(bits_ >> (64 - n)); }
  inline void skip(int n) {
    bits_ <<= n;
    count_ -= n;
  }
  // n in 0..16.
  inline uint32_t get(int n) {
    if (n == 0) return 0;
    ensure();
    uint32_t v = peek(n);
    skip(n);
    return v;
  }
  bool overrun() const { return zeroBytes_ != 0 && zeroBytes_ * 8 > count_; }

 private:
  void refill() {
    while (count_ <= 56) {
      if (p_ == end_) {
        if (!exhausted_) {
          int32_t got = src_.fill(block_, kInputBlock);
          if (got > 0) {
            p_ = block_;
            end_ = block_ + (got > kInputBlock ? kInputBlock : got);
            continue;
          }
          exhausted_ = true;
        }
        ++zeroBytes_;
        count_ += 8;
        continue;
      }
      bits_ |= static_cast<uint64_t>(*p_++) << (56 - count_);
      count_ += 8;
    }
  }

  PackedSource& src_;
  uint64_t bits_ = 0;
  int64_t count_ = 0;
  int64_t zeroBytes_ = 0;
  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  bool exhausted_ = false;
  uint8_t block_[kInputBlock];
};

// ---- Canonical Huffman codes ----------------------------------------------------
// Codes are assigned shortest first, and within one length in symbol order;
// they are read most significant bit first. A first-level table resolves
// codes up to tableBits long in one look; longer codes (rare) are matched
// length by length against the canonical ranges.
template <int tableBits, int maxSymbols>
class HuffmanTable {
 public:
  static constexpr uint16_t kLong = 0xFFFF;

  // All symbols have length 0 and the one symbol is read without bits.
  void single(int symbol) {
    for (auto& e : fast_) e = static_cast<uint16_t>(symbol << 5);
  }

  // Lengths above 16, an empty set and codes that do not exactly fill the
  // code space (over- or under-subscribed) are refused.
  bool build(const uint8_t* lengths, int n) {
    uint32_t count[17] = {};
    for (int i = 0; i < n; ++i) {
      if (lengths[i] > 16) return false;
      ++count[lengths[i]];
    }
    uint32_t space = 0;
    for (int len = 1; len <= 16; ++len) space += count[len] << (16 - len);
    if (space != 1u << 16) return false;

    uint32_t code = 0, offset = 0;
    uint32_t next[17] = {};
    for (int len = 1; len <= 16; ++len) {
      first_[len] = code;
      count_[len] = count[len];
      base_[len] = offset;
      next[len] = code;
      offset += count[len];
      code = (code + count[len]) << 1;
    }
    uint32_t fill[17] = {};
    for (int len = 1; len <= 16; ++len) fill[len] = base_[len];
    for (int s = 0; s < n; ++s) {
      int len = lengths[s];
      if (len == 0) continue;
      sorted_[fill[len]++] = static_cast<uint16_t>(s);
      uint32_t c = next[len]++;
      if (len <= tableBits) {
        uint32_t from = c << (tableBits - len), to = (c + 1) << (tableBits - len);
        uint16_t e = static_cast<uint16_t>(s << 5 | len);
        for (uint32_t k = from; k < to; ++k) fast_[k] = e;
      } else {
        fast_[c >> (len - tableBits)] = kLong;
      }
    }
    return true;
  }

  // At least 16 bits must be in the reader.
  inline int decode(BitReader& br) const {
    uint16_t e = fast_[br.peek(tableBits)];
    if (e != kLong) {
      br.skip(e & 31);
      return e >> 5;
    }
    for (int len = tableBits + 1; len <= 16; ++len) {
      uint32_t c = br.peek(len) - first_[len];
      if (c < count_[len]) {
        br.skip(len);
        return sorted_[base_[len] + c];
      }
    }
    return 0;  // unreachable for a complete code
  }

 private:
  uint16_t fast_[1u << tableBits] = {};
  uint32_t first_[17] = {};
  uint32_t count_[17] = {};
  uint32_t base_[17] = {};
  uint16_t sorted_[maxSymbols] = {};
};

// ---- The dictionary and the output -------------------------------------------
class Window {
 public:
  Window(uint8_t* dict, PlainSink& out) : dict_(dict), out_(out) {}

  inline bool literal(uint8_t c) {
    dict_[r_++] = c;
    return r_ < kDictionarySize || flush();
  }
  // Copies length bytes from distance + 1 back; distance is below the dictionary size.
  inline bool match(uint32_t distance, uint32_t length) {
    uint32_t from = r_ >= distance + 1 ? r_ - distance - 1 : r_ + kDictionarySize - distance - 1;
    if (from < r_ && r_ + length < kDictionarySize) {
      uint8_t* d = dict_ + r_;
      const uint8_t* s = dict_ + from;
      if (distance + 1 >= length) {
        std::memcpy(d, s, length);
      } else {
        for (uint32_t k = 0; k < length; ++k) d[k] = s[k];
      }
      r_ += length;
      return true;
    }
    while (length-- > 0) {
      dict_[r_] = dict_[from];
      if (++from == kDictionarySize) from = 0;
      if (++r_ == kDictionarySize && !flush()) return false;
    }
    return true;
  }
  bool finish() { return r_ == 0 || out_.put(dict_, r_); }

 private:
  bool flush() {
    r_ = 0;
    return out_.put(dict_, kDictionarySize);
  }
  uint8_t* dict_;
  PlainSink& out_;
  uint32_t r_ = 0;
};

// ---- Methods 1 to 3 --------------------------------------------------------------
constexpr int kCharCodes = 510;  // 256 literals and match lengths 3..256
constexpr int kPositionCodes = 17;
constexpr int kLengthCodes = 19;

struct HuffmanState {
  HuffmanTable<12, kCharCodes> chars;
  HuffmanTable<8, kLengthCodes> lengths;  // the code-length code
  HuffmanTable<8, kPositionCodes> positions;
  uint8_t charLen[kCharCodes];
  uint8_t ptLen[kLengthCodes > kPositionCodes ? kLengthCodes : kPositionCodes];
};

// The code-length code (n symbols, count in countBits) or the position code.
// After the symbol at index special (3 for the code-length code) a 2-bit
// count of zero lengths follows.
template <int tb, int ms>
bool readSmallTable(BitReader& br, HuffmanTable<tb, ms>& table, uint8_t* len, int nn, int countBits, int special) {
  uint32_t n = br.get(countBits);
  if (n == 0) {
    uint32_t c = br.get(countBits);
    if (c >= static_cast<uint32_t>(nn)) return false;
    table.single(static_cast<int>(c));
    return true;
  }
  if (n > static_cast<uint32_t>(nn)) return false;
  int i = 0;
  while (i < static_cast<int>(n)) {
    br.ensure();
    uint32_t c = br.peek(3);
    if (c == 7) {
      // Lengths from 7 up continue in unary: one more per further 1 bit.
      uint32_t window = br.peek(16);
      for (uint32_t mask = 1u << 12; mask & window; mask >>= 1) ++c;
    }
    br.skip(c < 7 ? 3 : static_cast<int>(c) - 3);
    if (c > 16) return false;
    len[i++] = static_cast<uint8_t>(c);
    if (i == special) {
      uint32_t zeros = br.get(2);
      if (i + static_cast<int>(zeros) > nn) return false;
      while (zeros-- > 0) len[i++] = 0;
    }
  }
  while (i < nn) len[i++] = 0;
  return table.build(len, nn);
}

bool readCharTable(BitReader& br, HuffmanState& st) {
  uint32_t n = br.get(9);
  if (n == 0) {
    uint32_t c = br.get(9);
    if (c >= static_cast<uint32_t>(kCharCodes)) return false;
    st.chars.single(static_cast<int>(c));
    return true;
  }
  if (n > static_cast<uint32_t>(kCharCodes)) return false;
  int i = 0;
  while (i < static_cast<int>(n)) {
    br.ensure();
    int c = st.lengths.decode(br);
    if (c <= 2) {
      // Runs of zero lengths: one, 3 to 18, or 20 to 531 (never past the table).
      uint32_t run = c == 0 ? 1 : c == 1 ? br.get(4) + 3 : br.get(9) + 20;
      if (i + static_cast<int>(run) > kCharCodes) return false;
      std::memset(st.charLen + i, 0, run);
      i += static_cast<int>(run);
    } else {
      st.charLen[i++] = static_cast<uint8_t>(c - 2);
    }
  }
  if (i < kCharCodes) std::memset(st.charLen + i, 0, static_cast<size_t>(kCharCodes - i));
  return st.chars.build(st.charLen, kCharCodes);
}

DecodeResult decodeHuffman(PackedSource& in, uint32_t originalSize, uint8_t* dict, PlainSink& out) {
  auto st = std::unique_ptr<HuffmanState>(new (std::nothrow) HuffmanState);
  if (!st) return DecodeResult::NoMemory;
  auto br = std::unique_ptr<BitReader>(new (std::nothrow) BitReader(in));
  if (!br) return DecodeResult::NoMemory;
  Window w(dict, out);
  DecodeResult result = DecodeResult::Complete;
  uint32_t produced = 0;
  uint16_t blockLeft = 0;
  while (produced < originalSize) {
    if (blockLeft == 0) {
      blockLeft = static_cast<uint16_t>(br->get(16));
      if (!readSmallTable(*br, st->lengths, st->ptLen, kLengthCodes, 5, 3) || !readCharTable(*br, *st) ||
          !readSmallTable(*br, st->positions, st->ptLen, kPositionCodes, 5, -1)) {
        result = DecodeResult::BadData;
        break;
      }
    }
    --blockLeft;  // a block count of 0 stands for 65,536 symbols
    br->ensure();
    int c = st->chars.decode(*br);
    if (c < 256) {
      ++produced;
      if (!w.literal(static_cast<uint8_t>(c))) return DecodeResult::OutputFailed;
    } else {
      uint32_t length = static_cast<uint32_t>(c) - 253;
      br->ensure();
      uint32_t p = static_cast<uint32_t>(st->positions.decode(*br));
      if (p > 1) {
        // Code k > 1: 2^(k-1) plus k-1 further bits; code 1 is position 1.
        int extra = static_cast<int>(p) - 1;
        p = (1u << extra) + br->peek(extra);
        br->skip(extra);
      }
      if (p >= kDictionarySize) {
        result = DecodeResult::BadData;
        break;
      }
      if (length > originalSize - produced) length = originalSize - produced;
      produced += length;
      if (!w.match(p, length)) return DecodeResult::OutputFailed;
    }
    if (br->overrun()) {
      result = DecodeResult::BadData;
      break;
    }
  }
  if (!w.finish()) return DecodeResult::OutputFailed;
  return result;
}

// ---- Method 4 --------------------------------------------------------------------
DecodeResult decodeFast(PackedSource& in, uint32_t originalSize, uint8_t* dict, PlainSink& out) {
  auto br = std::unique_ptr<BitReader>(new (std::nothrow) BitReader(in));
  if (!br) return DecodeResult::NoMemory;
  Window w(dict, out);
  DecodeResult result = DecodeResult::Complete;
  uint32_t produced = 0;
  while (produced < originalSize) {
    br->ensure();  // at most 7 + 7 + 4 + 13 bits below
    // Length code: up to 7 one-bits (the zero that ends fewer is taken too),
    // then as many plain bits; bases 0, 1, 3, 7, ... 127.
    int ones = 0;
    while (ones < 7 && br->peek(1)) {
      br->skip(1);
      ++ones;
    }
    if (ones < 7) br->skip(1);
    uint32_t code = 0;
    if (ones != 0) {
      code = br->peek(ones) + ((1u << ones) - 1);
      br->skip(ones);
    }
    if (code == 0) {
      uint32_t c = br->peek(8);
      br->skip(8);
      ++produced;
      if (!w.literal(static_cast<uint8_t>(c))) return DecodeResult::OutputFailed;
    } else {
      uint32_t length = code + 2;
      // Position: up to 4 one-bits, then 9 to 13 plain bits; bases 0, 512,
      // 1,536, 3,584 and 7,680, all inside the dictionary.
      int pones = 0;
      while (pones < 4 && br->peek(1)) {
        br->skip(1);
        ++pones;
      }
      if (pones < 4) br->skip(1);
      int width = 9 + pones;
      uint32_t p = br->peek(width) + (((1u << pones) - 1) << 9);
      br->skip(width);
      if (length > originalSize - produced) length = originalSize - produced;
      produced += length;
      if (!w.match(p, length)) return DecodeResult::OutputFailed;
    }
    if (br->overrun()) {
      result = DecodeResult::BadData;
      break;
    }
  }
  if (!w.finish()) return DecodeResult::OutputFailed;
  return result;
}

// ---- Method 0 --------------------------------------------------------------------
DecodeResult decodeStored(PackedSource& in, PlainSink& out) {
  uint8_t buffer[kInputBlock];
  for (;;) {
    int32_t got = in.fill(buffer, kInputBlock);
    if (got <= 0) return DecodeResult::Complete;
    if (got > kInputBlock) got = kInputBlock;
    if (!out.put(buffer, static_cast<size_t>(got))) return DecodeResult::OutputFailed;
  }
}

}  // namespace

DecodeResult decodeMember(int method, PackedSource& in, uint32_t originalSize, PlainSink& out) {
  if (method == 0) return decodeStored(in, out);
  if (method < 0 || method > 4) return DecodeResult::BadData;
  // Zeroed per member: a match reaching before the member's first byte reads zeros.
  std::unique_ptr<uint8_t[]> dict(new (std::nothrow) uint8_t[kDictionarySize]());
  if (!dict) return DecodeResult::NoMemory;
  return method == 4 ? decodeFast(in, originalSize, dict.get(), out)
                     : decodeHuffman(in, originalSize, dict.get(), out);
}

}  // namespace nx::arj
