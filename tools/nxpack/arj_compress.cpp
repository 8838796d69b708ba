#include "arj_compress.h"

#include <algorithm>
#include <array>
#include <queue>

namespace nxpack::arj {

namespace {

constexpr int kCharCodes = 510;     // 256 literals, then match lengths 3..256 as 253 + length
constexpr int kPositionCodes = 17;  // 0, 1, then 2^(k-1) + (k-1) bits for code k
constexpr int kLengthCodes = 19;    // the code-length code
constexpr int kMaxCodeLength = 16;
constexpr int kCountBits = 5;       // symbol count field of the small codes
constexpr int kCharCountBits = 9;
// Symbols per block: the block head carries 16 bits and 0 would read as 65,536.
constexpr size_t kBlockSymbols = 32768;

// ---- Bits, most significant first ------------------------------------------------
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  // n in 0..24.
  void put(int n, uint32_t value) {
    if (n == 0) return;
    acc_ = (acc_ << n) | (value & ((1u << n) - 1));
    count_ += n;
    while (count_ >= 8) {
      count_ -= 8;
      out_.push_back(static_cast<uint8_t>(acc_ >> count_));
    }
    acc_ &= (1u << count_) - 1;
  }
  void flush() {
    if (count_ > 0) out_.push_back(static_cast<uint8_t>(acc_ << (8 - count_)));
    acc_ = 0;
    count_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;
  int count_ = 0;
};

// ---- Huffman codes ------------------------------------------------------------------
// Code lengths of at most 16 bits for the symbols with a non-zero count. When
// the optimal tree is deeper, the counts are flattened and the tree rebuilt;
// flattening ends in near-equal counts, whose tree is shallow.
void lengthsFor(const uint32_t* freq, int n, uint8_t* len) {
  std::vector<uint64_t> f(freq, freq + n);
  std::fill(len, len + n, 0);
  int used = 0;
  for (int i = 0; i < n; ++i) used += f[i] != 0;
  if (used < 2) return;  // a single symbol is sent without a code
  for (;;) {
    // Nodes 0..n-1 are the symbols; later ones are joins. Ties go to the
    // lower node number, so equal inputs always give equal trees.
    std::vector<int> parent(2 * static_cast<size_t>(n), -1);
    using Item = std::pair<uint64_t, int>;
    std::priority_queue<Item, std::vector<Item>, std::greater<>> heap;
    for (int i = 0; i < n; ++i)
      if (f[i]) heap.push({f[i], i});
    int next = n;
    while (heap.size() > 1) {
      Item a = heap.top();
      heap.pop();
      Item b = heap.top();
      heap.pop();
      parent[static_cast<size_t>(a.second)] = next;
      parent[static_cast<size_t>(b.second)] = next;
      heap.push({a.first + b.first, next++});
    }
    int deepest = 0;
    for (int i = 0; i < n; ++i) {
      if (!f[i]) continue;
      int depth = 0;
      for (int p = parent[static_cast<size_t>(i)]; p >= 0; p = parent[static_cast<size_t>(p)]) ++depth;
      len[i] = static_cast<uint8_t>(std::min(depth, 255));
      deepest = std::max(deepest, depth);
    }
    if (deepest <= kMaxCodeLength) return;
    for (auto& v : f)
      if (v) v = (v >> 1) | 1;
  }
}

// Canonical codes: shorter codes first, within one length in symbol order.
void canonicalCodes(const uint8_t* len, int n, uint16_t* code) {
  uint32_t count[kMaxCodeLength + 1] = {};
  for (int i = 0; i < n; ++i)
    if (len[i]) ++count[len[i]];
  uint32_t next[kMaxCodeLength + 2] = {};
  uint32_t c = 0;
  for (int l = 1; l <= kMaxCodeLength; ++l) {
    next[l] = c;
    c = (c + count[l]) << 1;
  }
  for (int i = 0; i < n; ++i) code[i] = len[i] ? static_cast<uint16_t>(next[len[i]]++) : 0;
}

struct Code {
  int n;
  std::vector<uint8_t> len;
  std::vector<uint16_t> code;
  int single = -1;  // the one symbol of a code without bits
  explicit Code(int symbols) : n(symbols), len(static_cast<size_t>(symbols)), code(static_cast<size_t>(symbols)) {}

  void build(const uint32_t* freq) {
    int used = 0, last = 0;
    for (int i = 0; i < n; ++i)
      if (freq[i]) {
        ++used;
        last = i;
      }
    single = used < 2 ? last : -1;
    lengthsFor(freq, n, len.data());
    canonicalCodes(len.data(), n, code.data());
  }
  void send(BitWriter& w, int symbol) const { w.put(len[static_cast<size_t>(symbol)], code[static_cast<size_t>(symbol)]); }
};

// The code-length code and the position code: a count of lengths, then each
// length in three bits (7 and up as 111 and a unary tail); after the symbol
// at index `special` a 2-bit count of zero lengths among the next three.
void sendSmallCode(BitWriter& w, const Code& c, int special) {
  if (c.single >= 0) {
    w.put(kCountBits, 0);
    w.put(kCountBits, static_cast<uint32_t>(c.single));
    return;
  }
  int n = c.n;
  while (n > 0 && c.len[static_cast<size_t>(n - 1)] == 0) --n;
  w.put(kCountBits, static_cast<uint32_t>(n));
  int i = 0;
  while (i < n) {
    const int k = c.len[static_cast<size_t>(i++)];
    if (k <= 6)
      w.put(3, static_cast<uint32_t>(k));
    else
      w.put(k - 3, (1u << (k - 3)) - 2);
    if (i == special) {
      while (i < 6 && c.len[static_cast<size_t>(i)] == 0) ++i;
      w.put(2, static_cast<uint32_t>(i - special));
    }
  }
}

// The literal/length code's lengths, sent through the code-length code:
// symbols 0..2 stand for runs of zero lengths (1; 3 + 4 bits; 20 + 9 bits),
// symbol k + 2 for the length k.
template <class Visit>
void walkCharLengths(const Code& c, Visit visit) {
  int n = c.n;
  while (n > 0 && c.len[static_cast<size_t>(n - 1)] == 0) --n;
  int i = 0;
  while (i < n) {
    const int k = c.len[static_cast<size_t>(i++)];
    if (k != 0) {
      visit(k + 2, -1, 0);
      continue;
    }
    int run = 1;
    while (i < n && c.len[static_cast<size_t>(i)] == 0) {
      ++i;
      ++run;
    }
    if (run <= 2) {
      for (int r = 0; r < run; ++r) visit(0, -1, 0);
    } else if (run <= 18) {
      visit(1, 4, run - 3);
    } else if (run == 19) {
      visit(0, -1, 0);
      visit(1, 4, 15);
    } else {
      visit(2, kCharCountBits, run - 20);
    }
  }
}

int trimmedCount(const Code& c) {
  int n = c.n;
  while (n > 0 && c.len[static_cast<size_t>(n - 1)] == 0) --n;
  return n;
}

int positionCode(uint32_t p) {
  int k = 0;
  while (p) {
    ++k;
    p >>= 1;
  }
  return k;
}

struct Symbol {
  uint16_t c;  // literal byte, or 253 + match length
  uint16_t p;  // match distance - 1
};

void sendBlock(BitWriter& w, const std::vector<Symbol>& block) {
  std::array<uint32_t, kCharCodes> cf{};
  std::array<uint32_t, kPositionCodes> pf{};
  for (const Symbol& s : block) {
    ++cf[s.c];
    if (s.c >= 256) ++pf[static_cast<size_t>(positionCode(s.p))];
  }
  Code chars(kCharCodes), lengths(kLengthCodes), positions(kPositionCodes);
  chars.build(cf.data());
  positions.build(pf.data());

  w.put(16, static_cast<uint32_t>(block.size()));
  if (chars.single >= 0) {
    // One symbol only: an empty code-length code, then the symbol itself.
    w.put(kCountBits, 0);
    w.put(kCountBits, 0);
    w.put(kCharCountBits, 0);
    w.put(kCharCountBits, static_cast<uint32_t>(chars.single));
  } else {
    std::array<uint32_t, kLengthCodes> tf{};
    walkCharLengths(chars, [&](int sym, int, int) { ++tf[static_cast<size_t>(sym)]; });
    lengths.build(tf.data());
    sendSmallCode(w, lengths, 3);
    w.put(kCharCountBits, static_cast<uint32_t>(trimmedCount(chars)));
    walkCharLengths(chars, [&](int sym, int bits, int value) {
      lengths.send(w, sym);
      if (bits > 0) w.put(bits, static_cast<uint32_t>(value));
    });
  }
  sendSmallCode(w, positions, -1);

  for (const Symbol& s : block) {
    chars.send(w, s.c);
    if (s.c < 256) continue;
    const int k = positionCode(s.p);
    positions.send(w, k);
    if (k > 1) w.put(k - 1, s.p - (1u << (k - 1)));
  }
}

// ---- Matches --------------------------------------------------------------------
// Hash chains over three-byte prefixes. Chains only ever step back in the
// input, so an entry overwritten in the ring cannot make a loop.
class Matcher {
 public:
  Matcher(const uint8_t* data, size_t size) : d_(data), n_(size), head_(kHashSize, -1), prev_(kRing, -1) {}

  struct Match {
    int length = 0;
    uint32_t distance = 0;
  };

  Match find(size_t i) const {
    Match best;
    if (n_ - i < static_cast<size_t>(kMinMatch)) return best;
    const int limit = static_cast<int>(std::min<size_t>(kMaxMatch, n_ - i));
    int64_t cand = head_[hash(i)];
    int tries = kMaxChain;
    while (cand >= 0 && tries-- > 0) {
      const size_t distance = i - static_cast<size_t>(cand);
      if (distance > kDictionary) break;
      const uint8_t* a = d_ + cand;
      const uint8_t* b = d_ + i;
      if (a[best.length] == b[best.length] && a[0] == b[0]) {
        int l = 0;
        while (l < limit && a[l] == b[l]) ++l;
        if (l > best.length) {
          best.length = l;
          best.distance = static_cast<uint32_t>(distance);
          if (l >= limit || l >= kNiceLength) break;
        }
      }
      const int64_t older = prev_[static_cast<size_t>(cand) & (kRing - 1)];
      if (older >= cand) break;
      cand = older;
    }
    if (best.length < kMinMatch) best.length = 0;
    return best;
  }

  void insert(size_t i) {
    if (n_ - i < static_cast<size_t>(kMinMatch)) return;
    const size_t h = hash(i);
    prev_[i & (kRing - 1)] = head_[h];
    head_[h] = static_cast<int64_t>(i);
  }

 private:
  static constexpr int kHashBits = 16;
  static constexpr size_t kHashSize = size_t(1) << kHashBits;
  static constexpr size_t kRing = 1u << 15;  // above the dictionary size
  static constexpr int kMaxChain = 96;
  static constexpr int kNiceLength = 128;
  static_assert(kRing >= kDictionary);

  size_t hash(size_t i) const {
    const uint32_t v = uint32_t(d_[i]) << 16 | uint32_t(d_[i + 1]) << 8 | d_[i + 2];
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  const uint8_t* d_;
  size_t n_;
  std::vector<int64_t> head_;
  std::vector<int64_t> prev_;
};

}  // namespace

void codeLengths(const uint32_t* freq, int n, uint8_t* len) { lengthsFor(freq, n, len); }

std::vector<uint8_t> packMethod1(const uint8_t* data, size_t size) {
  std::vector<uint8_t> out;
  if (size == 0) return out;
  out.reserve(size / 2 + 64);
  BitWriter w(out);
  Matcher m(data, size);
  std::vector<Symbol> block;
  block.reserve(kBlockSymbols);
  auto emit = [&](Symbol s) {
    block.push_back(s);
    if (block.size() == kBlockSymbols) {
      sendBlock(w, block);
      block.clear();
    }
  };

  // Lazy matching: a match is taken only when the next position does not
  // start a longer one.
  size_t i = 0;
  Matcher::Match cur = m.find(0);
  while (i < size) {
    m.insert(i);
    if (cur.length >= kMinMatch && cur.length < kMaxMatch && i + 1 < size) {
      Matcher::Match next = m.find(i + 1);
      if (next.length > cur.length) {
        emit({data[i], 0});
        ++i;
        cur = next;
        continue;
      }
    }
    if (cur.length >= kMinMatch) {
      emit({static_cast<uint16_t>(253 + cur.length), static_cast<uint16_t>(cur.distance - 1)});
      for (size_t k = 1; k < static_cast<size_t>(cur.length); ++k) m.insert(i + k);
      i += static_cast<size_t>(cur.length);
    } else {
      emit({data[i], 0});
      ++i;
    }
    if (i < size) cur = m.find(i);
  }
  if (!block.empty()) sendBlock(w, block);
  w.flush();
  return out;
}

}  // namespace nxpack::arj
