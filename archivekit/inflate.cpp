// MSZIP decoded by our own deflate decoder: bits least significant first,
// canonical Huffman codes looked up through a 10-bit table of bit-reversed
// codes, and the output buffer itself as the 32 KiB history (a reference
// further back than the block's start reads the previous block's bytes
// still in the buffer). Kept beside the zlib-based decoder so that the two
// can be measured against each other; createDecompressor uses the faster.
#include <cstring>
#include <new>

#include "archivekit/decompressor.h"

namespace nx::cab {

namespace {

constexpr int kFastBits = 10;
constexpr int kMaxBits = 15;

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Bits {
  const uint8_t* data = nullptr;
  size_t limit = 0, next = 0;
  uint64_t buf = 0;
  int count = 0;
  inline void refill() {
    while (count <= 56) {
      uint64_t b = next < limit ? data[next] : 0;
      ++next;
      buf |= b << count;
      count += 8;
    }
  }
  inline uint32_t take(int n) {
    uint32_t v = static_cast<uint32_t>(buf & ((1ull << n) - 1));
    buf >>= n;
    count -= n;
    return v;
  }
  uint32_t read(int n) {
    if (count < n) refill();
    return take(n);
  }
  // Bytes consumed so far, counting whole bytes still in the buffer as unread.
  size_t consumed() const { return next - static_cast<size_t>(count / 8); }
};

template <int Symbols>
struct Code {
  uint16_t fast[1 << kFastBits];  // symbol << 4 | length; 0 = no code / long code
  uint16_t count[kMaxBits + 1];
  uint16_t sorted[Symbols];

  bool build(const uint8_t* lengths, int n) {
    std::memset(count, 0, sizeof count);
    for (int i = 0; i < n; ++i) ++count[lengths[i]];
    int left = 1;
    for (int l = 1; l <= kMaxBits; ++l) {
      left = (left << 1) - count[l];
      if (left < 0) return false;  // over-subscribed
    }
    uint16_t offs[kMaxBits + 2] = {};
    for (int l = 1; l <= kMaxBits; ++l) offs[l + 1] = static_cast<uint16_t>(offs[l] + count[l]);
    for (int i = 0; i < n; ++i)
      if (lengths[i]) sorted[offs[lengths[i]]++] = static_cast<uint16_t>(i);
    std::memset(fast, 0, sizeof fast);
    uint32_t code = 0;
    int index = 0;
    for (int l = 1; l <= kMaxBits; ++l) {
      for (int k = 0; k < count[l]; ++k, ++code, ++index) {
        if (l > kFastBits) continue;
        uint32_t rev = 0;
        for (int b = 0; b < l; ++b) rev |= ((code >> b) & 1u) << (l - 1 - b);
        for (uint32_t e = rev; e < (1u << kFastBits); e += 1u << l)
          fast[e] = static_cast<uint16_t>(sorted[index] << 4 | l);
      }
      code <<= 1;
    }
    return true;
  }

  // Next symbol or -1. Needs 15 bits in the buffer.
  inline int decode(Bits& in) const {
    uint16_t e = fast[in.buf & ((1u << kFastBits) - 1)];
    if (e) {
      in.take(e & 15);
      return e >> 4;
    }
    // Codes longer than the table: walk the lengths, most significant bit first.
    int code = 0, first = 0, index = 0;
    uint64_t b = in.buf;
    for (int l = 1; l <= kMaxBits; ++l) {
      code |= static_cast<int>(b & 1);
      b >>= 1;
      int c = count[l];
      if (code - first < c) {
        if (l <= kFastBits) return -1;  // would have been in the table: no such code
        in.take(l);
        return sorted[index + code - first];
      }
      index += c;
      first = (first + c) << 1;
      code <<= 1;
    }
    return -1;
  }
};

class OwnMszipDecompressor final : public CabDecompressor {
 public:
  int Init(int) override { return kDecodeOk; }

  int Decompress(int packed, int unpacked) override {
    if (unpacked > kOutputSize) return kDecodeFormat;
    if (packed < 2 || unpacked < 0 || packed > kMaxPacked) return kDecodeIllegal;
    if (input[0] != 'C' || input[1] != 'K') return kDecodeIllegal;
    bits_.data = input + 2;
    bits_.limit = static_cast<size_t>(packed) - 2;
    bits_.next = 0;
    bits_.buf = 0;
    bits_.count = 0;
    pos_ = 0;
    end_ = static_cast<uint32_t>(unpacked);
    int rc = kDecodeOk;
    for (bool last = false; !last && rc == kDecodeOk;) {
      if (bits_.consumed() > bits_.limit) return kDecodeIllegal;
      last = bits_.read(1) != 0;
      switch (bits_.read(2)) {
        case 0: rc = stored(); break;
        case 1: rc = fixedBlock(); break;
        case 2: rc = dynamicBlock(); break;
        default: rc = kDecodeIllegal; break;
      }
    }
    ++blocks_;
    if (rc != kDecodeOk || pos_ != end_ || bits_.consumed() > bits_.limit) return kDecodeIllegal;
    return kDecodeOk;
  }

 private:
  int stored() {
    bits_.take(bits_.count & 7);
    uint32_t len = bits_.read(16), nlen = bits_.read(16);
    if ((len ^ 0xFFFF) != nlen) return kDecodeIllegal;
    if (pos_ + len > end_) return kDecodeIllegal;
    // Whole bytes still in the bit buffer come first.
    while (len > 0 && bits_.count >= 8) {
      output[pos_++] = static_cast<uint8_t>(bits_.take(8));
      --len;
    }
    if (bits_.next + len > bits_.limit) return kDecodeIllegal;
    std::memcpy(output + pos_, bits_.data + bits_.next, len);
    bits_.next += len;
    pos_ += len;
    return kDecodeOk;
  }

  int fixedBlock() {
    if (!fixedReady_) {
      uint8_t l[288 + 30];
      for (int i = 0; i < 144; ++i) l[i] = 8;
      for (int i = 144; i < 256; ++i) l[i] = 9;
      for (int i = 256; i < 280; ++i) l[i] = 7;
      for (int i = 280; i < 288; ++i) l[i] = 8;
      for (int i = 0; i < 30; ++i) l[288 + i] = 5;
      fixedLit_.build(l, 288);
      fixedDist_.build(l + 288, 30);
      fixedReady_ = true;
    }
    return codes(fixedLit_, fixedDist_);
  }

  int dynamicBlock() {
    int nlit = static_cast<int>(bits_.read(5)) + 257;
    int ndist = static_cast<int>(bits_.read(5)) + 1;
    int nclen = static_cast<int>(bits_.read(4)) + 4;
    if (nlit > 286 || ndist > 30) return kDecodeIllegal;
    uint8_t clen[19] = {};
    for (int i = 0; i < nclen; ++i) clen[kCodeLengthOrder[i]] = static_cast<uint8_t>(bits_.read(3));
    if (!clenCode_.build(clen, 19)) return kDecodeIllegal;
    uint8_t lens[286 + 30] = {};
    int n = 0;
    while (n < nlit + ndist) {
      bits_.refill();
      int sym = clenCode_.decode(bits_);
      if (sym < 0) return kDecodeIllegal;
      if (sym < 16) {
        lens[n++] = static_cast<uint8_t>(sym);
        continue;
      }
      int repeat;
      uint8_t value = 0;
      if (sym == 16) {
        if (n == 0) return kDecodeIllegal;
        value = lens[n - 1];
        repeat = 3 + static_cast<int>(bits_.take(2));
      } else if (sym == 17) {
        repeat = 3 + static_cast<int>(bits_.take(3));
      } else {
        repeat = 11 + static_cast<int>(bits_.take(7));
      }
      if (n + repeat > nlit + ndist) return kDecodeIllegal;
      std::memset(lens + n, value, static_cast<size_t>(repeat));
      n += repeat;
    }
    if (lens[256] == 0) return kDecodeIllegal;  // no end-of-block code
    if (!lit_.build(lens, nlit) || !dist_.build(lens + nlit, ndist)) return kDecodeIllegal;
    return codes(lit_, dist_);
  }

  int codes(const Code<288>& lit, const Code<30>& dist) {
    uint8_t* const out = output;
    uint32_t pos = pos_;
    const uint32_t end = end_;
    Bits b = bits_;
    int rc = kDecodeOk;
    for (;;) {
      b.refill();
      int sym = lit.decode(b);
      if (sym < 256) {
        if (sym < 0 || pos >= end) {
          rc = kDecodeIllegal;
          break;
        }
        out[pos++] = static_cast<uint8_t>(sym);
        continue;
      }
      if (sym == 256) break;
      sym -= 257;
      if (sym >= 29) {
        rc = kDecodeIllegal;
        break;
      }
      uint32_t len = kLengthBase[sym] + b.take(kLengthExtra[sym]);
      int ds = dist.decode(b);
      if (ds < 0 || ds >= 30) {
        rc = kDecodeIllegal;
        break;
      }
      b.refill();
      uint32_t d = kDistBase[ds] + b.take(kDistExtra[ds]);
      // Only a later block may reach back past its start into the buffer.
      if (pos + len > end || (d > pos && blocks_ == 0)) {
        rc = kDecodeIllegal;
        break;
      }
      if (d <= pos && d >= len) {
        std::memcpy(out + pos, out + pos - d, len);
        pos += len;
      } else {
        uint32_t src = (pos - d) & (kOutputSize - 1);
        for (uint32_t i = 0; i < len; ++i) out[pos++] = out[(src + i) & (kOutputSize - 1)];
      }
    }
    bits_ = b;
    pos_ = pos;
    return rc;
  }

  Bits bits_;
  uint32_t pos_ = 0, end_ = 0;
  uint32_t blocks_ = 0;
  bool fixedReady_ = false;
  Code<288> fixedLit_, lit_;
  Code<30> fixedDist_, dist_;
  Code<19> clenCode_;
};

}  // namespace

CabDecompressor* newOwnMszipDecompressor() { return new (std::nothrow) OwnMszipDecompressor(); }

}  // namespace nx::cab
