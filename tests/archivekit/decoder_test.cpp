// The four block decoders: window limits at Init, the buffer contract, MSZIP
// history across blocks and its size limits, crafted LZX streams (a verbatim
// block with repeated offsets, uncompressed blocks with the CALL translation
// across data blocks), and failures on broken input.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archivekit/decompressor.h"

namespace {

using namespace nx::cab;

struct Deleter {
  void operator()(CabDecompressor *d) const { d->Destroy(1); }
};
using Decoder = std::unique_ptr<CabDecompressor, Deleter>;

Decoder make(int method, int window) {
  Decoder d(createDecompressor(method));
  EXPECT_NE(d, nullptr);
  if (d) {
    EXPECT_EQ(d->Init(window), kDecodeOk);
  }
  return d;
}

// Both MSZIP decoders (zlib's inflate and our own) must behave alike.
CabDecompressor *(*const kMszipFactories[])() = {newMszipDecompressor, newOwnMszipDecompressor};
Decoder makeMszip(int which) {
  Decoder d(kMszipFactories[which]());
  EXPECT_NE(d, nullptr);
  if (d) {
    EXPECT_EQ(d->Init(0), kDecodeOk);
  }
  return d;
}

int feed(CabDecompressor &d, const std::vector<uint8_t> &packed, int unpacked) {
  EXPECT_LE(packed.size(), static_cast<size_t>(kMaxPacked));
  std::memcpy(d.input, packed.data(), packed.size());
  d.input[packed.size()] = 0;
  d.input[packed.size() + 1] = 0;
  return d.Decompress(static_cast<int>(packed.size()), unpacked);
}

std::string out(const CabDecompressor &d, size_t n) { return std::string(reinterpret_cast<const char *>(d.output), n); }

TEST(CabDecoders, WindowExponentsAtInit) {
  struct Case {
    int method, window, expected;
  } cases[] = {
      {kMethodLzx, 14, kDecodeFormat}, {kMethodLzx, 15, kDecodeOk},     {kMethodLzx, 21, kDecodeOk},
      {kMethodLzx, 22, kDecodeFormat}, {kMethodLzx, 0, kDecodeFormat},  {kMethodQuantum, 9, kDecodeFormat},
      {kMethodQuantum, 10, kDecodeOk}, {kMethodQuantum, 21, kDecodeOk}, {kMethodQuantum, 22, kDecodeFormat},
      {kMethodStored, 0, kDecodeOk},   {kMethodMszip, 0, kDecodeOk},
  };
  for (const auto &c : cases) {
    Decoder d(createDecompressor(c.method));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Init(c.window), c.expected) << "method " << c.method << " window " << c.window;
  }
  EXPECT_EQ(createDecompressor(4), nullptr);
  EXPECT_EQ(createDecompressor(15), nullptr);
}

TEST(CabDecoders, StoredCopiesOnlyMatchingLengths) {
  Decoder d = make(kMethodStored, 0);
  std::vector<uint8_t> data = {'a', 'b', 'c'};
  EXPECT_EQ(feed(*d, data, 3), kDecodeOk);
  EXPECT_EQ(out(*d, 3), "abc");
  EXPECT_EQ(feed(*d, data, 2), kDecodeIllegal);
  EXPECT_EQ(feed(*d, data, 4), kDecodeIllegal);
}

// ---- MSZIP ------------------------------------------------------------------

// "CK" + raw deflate of data, optionally with the previous block as history.
std::vector<uint8_t> mszipBlock(const std::string &data, const std::string &history = {}) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  if (!history.empty())
    deflateSetDictionary(&z, reinterpret_cast<const Bytef *>(history.data()), static_cast<uInt>(history.size()));
  std::vector<uint8_t> buf(deflateBound(&z, data.size()) + 2);
  buf[0] = 'C';
  buf[1] = 'K';
  z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = buf.data() + 2;
  z.avail_out = static_cast<uInt>(buf.size() - 2);
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  buf.resize(2 + z.total_out);
  deflateEnd(&z);
  return buf;
}

std::string noise(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (auto &c : s) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

TEST(CabDecoders, MszipBlockSizesAndSignature) {
  for (int which : {0, 1}) {
    SCOPED_TRACE(which ? "own inflate" : "zlib inflate");
    Decoder d = makeMszip(which);
    std::string full = noise(32768, 1);
    EXPECT_EQ(feed(*d, mszipBlock(full), 32768), kDecodeOk);
    EXPECT_EQ(out(*d, 32768), full);
    // One byte more than a block may hold.
    Decoder big = makeMszip(which);
    EXPECT_EQ(feed(*big, mszipBlock(full + "x"), 32769), kDecodeFormat);
    // Without "CK" the block is refused even though the deflate data is sound.
    Decoder bad = makeMszip(which);
    auto block = mszipBlock("hello hello hello");
    block[1] = 'X';
    EXPECT_EQ(feed(*bad, block, 17), kDecodeIllegal);
  }
}

TEST(CabDecoders, MszipReferencesReachIntoThePreviousBlock) {
  for (int which : {0, 1}) {
    SCOPED_TRACE(which ? "own inflate" : "zlib inflate");
    Decoder d = makeMszip(which);
    std::string first = noise(32768, 7);
    // The second block repeats a stretch of the first one: the compressor
    // codes it as matches into the history.
    std::string second = first.substr(1000, 20000) + "tail";
    auto b1 = mszipBlock(first);
    auto b2 = mszipBlock(second, first);
    ASSERT_LT(b2.size(), 2000u) << "the second block should be made of back-references";
    ASSERT_EQ(feed(*d, b1, 32768), kDecodeOk);
    ASSERT_EQ(feed(*d, b2, static_cast<int>(second.size())), kDecodeOk);
    EXPECT_EQ(out(*d, second.size()), second);
    // The same block without the history cannot be decoded.
    Decoder fresh = makeMszip(which);
    EXPECT_EQ(feed(*fresh, b2, static_cast<int>(second.size())), kDecodeIllegal);
  }
}

TEST(CabDecoders, MszipLengthMustMatchTheDeflateData) {
  std::string text(5000, 'q');
  auto block = mszipBlock(text);
  struct Case {
    const char *what;
    std::vector<uint8_t> packed;
    int unpacked;
  } cases[] = {
      {"fewer bytes than the block says", block, 5001},
      {"more bytes than the block says", block, 4999},
      {"cut deflate data", std::vector<uint8_t>(block.begin(), block.begin() + 4), 5000},
      {"reserved block type 3", {'C', 'K', 0x07, 0x00}, 10},
      {"only the signature", {'C', 'K'}, 1},
  };
  for (const auto &c : cases) {
    for (int which : {0, 1}) {
      Decoder d = makeMszip(which);
      EXPECT_EQ(feed(*d, c.packed, c.unpacked), kDecodeIllegal) << c.what << (which ? " (own)" : " (zlib)");
    }
  }
}

// ---- LZX
// ----------------------------------------------------------------------

// Bits as the LZX stream carries them: 16-bit little-endian words, each
// filled from its most significant bit.
class LzxBits {
 public:
  void put(uint32_t value, int n) {
    for (int i = n - 1; i >= 0; --i) {
      word_ = static_cast<uint16_t>(word_ << 1 | ((value >> i) & 1));
      if (++used_ == 16) flushWord();
    }
  }
  // Pads to the word boundary; an aligned stream gets a whole padding word,
  // as the uncompressed block header demands.
  void alignForRaw() {
    if (used_ == 0) {
      put(0, 16);
      return;
    }
    while (used_ != 0) put(0, 1);
  }
  void raw(const std::string &bytes) {
    EXPECT_EQ(used_, 0);
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  void raw32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  std::vector<uint8_t> finish() {
    while (used_ != 0) put(0, 1);
    return bytes_;
  }

 private:
  void flushWord() {
    bytes_.push_back(static_cast<uint8_t>(word_));
    bytes_.push_back(static_cast<uint8_t>(word_ >> 8));
    word_ = 0;
    used_ = 0;
  }
  std::vector<uint8_t> bytes_;
  uint16_t word_ = 0;
  int used_ = 0;
};

// Pre-tree with symbols 0, 16, 17 and 18 at two bits each (codes 00, 01,
// 10, 11); writes `total` lengths where only the listed positions are 1.
void writeLengths(LzxBits &b, int total, std::initializer_list<int> ones) {
  for (int s = 0; s < 20; ++s) b.put((s == 0 || s == 16 || s == 17 || s == 18) ? 2 : 0, 4);
  auto zeros = [&](int n) {
    while (n >= 20) {
      int run = std::min(n, 51);
      b.put(3, 2);  // 18: 20 + 5 bits of zeros
      b.put(static_cast<uint32_t>(run - 20), 5);
      n -= run;
    }
    while (n >= 4) {
      int run = std::min(n, 19);
      b.put(2, 2);  // 17: 4 + 4 bits of zeros
      b.put(static_cast<uint32_t>(run - 4), 4);
      n -= run;
    }
    while (n-- > 0) b.put(0, 2);  // 0: length unchanged (0)
  };
  int at = 0;
  for (int one : ones) {
    zeros(one - at);
    b.put(1, 2);  // 16: 0 - 16 + 17 = 1
    at = one + 1;
  }
  zeros(total - at);
}

int mainElements(int window) {
  int slots = window == 20 ? 42 : window == 21 ? 50 : 2 * window;
  return 256 + 8 * slots;
}

// A verbatim block whose main tree has two one-bit codes: 'A' (code 0)
// and a match of length 3 at repeated offset R0 (symbol 257, code 1).
std::vector<uint8_t> verbatimStream(int window, const std::vector<int> &codes, uint32_t blockLength) {
  LzxBits b;
  b.put(0, 1);  // no translation
  b.put(1, 3);  // verbatim
  b.put(blockLength >> 8, 16);
  b.put(blockLength & 0xFF, 8);
  writeLengths(b, 256, {'A'});
  writeLengths(b, mainElements(window) - 256, {257 - 256});
  writeLengths(b, 249, {});  // no length tree: no match longer than 8
  for (int c : codes) b.put(static_cast<uint32_t>(c), 1);
  return b.finish();
}

TEST(CabDecoders, LzxVerbatimBlockAtTheWindowLimits) {
  for (int window : {15, 21}) {
    Decoder d = make(kMethodLzx, window);
    // 'A', then a match of 3 one byte back, then 'A' again.
    ASSERT_EQ(feed(*d, verbatimStream(window, {0, 1, 0}, 5), 5), kDecodeOk) << window;
    EXPECT_EQ(out(*d, 5), "AAAAA");
  }
}

TEST(CabDecoders, LzxRefusesBrokenStreams) {
  // A match as the first symbol reaches before the folder's first byte.
  Decoder early = make(kMethodLzx, 15);
  EXPECT_EQ(feed(*early, verbatimStream(15, {1, 0}, 4), 4), kDecodeIllegal);
  // A match running past the block's end.
  Decoder over = make(kMethodLzx, 15);
  EXPECT_EQ(feed(*over, verbatimStream(15, {0, 1}, 3), 3), kDecodeIllegal);
  // Block type 0 and 7 do not exist.
  for (uint32_t type : {0u, 7u}) {
    LzxBits b;
    b.put(0, 1);
    b.put(type, 3);
    b.put(0, 16);
    b.put(16, 8);
    Decoder d = make(kMethodLzx, 15);
    EXPECT_EQ(feed(*d, b.finish(), 16), kDecodeIllegal) << type;
  }
  // A main tree without any code (all lengths 0).
  {
    LzxBits b;
    b.put(0, 1);
    b.put(1, 3);
    b.put(0, 16);
    b.put(8, 8);
    writeLengths(b, 256, {});
    writeLengths(b, mainElements(15) - 256, {});
    Decoder d = make(kMethodLzx, 15);
    EXPECT_EQ(feed(*d, b.finish(), 8), kDecodeIllegal);
  }
  // The stream ends long before the block's bytes are produced.
  Decoder shortfall = make(kMethodLzx, 15);
  auto stream = verbatimStream(15, {0, 0}, 2000);
  EXPECT_EQ(feed(*shortfall, stream, 2000), kDecodeIllegal);
}

// One uncompressed LZX block carrying `data`, split into data blocks of the
// given sizes, with the translation header for fileSize (0: none).
std::vector<std::vector<uint8_t>> uncompressedStream(const std::string &data, uint32_t fileSize,
                                                     const std::vector<size_t> &blockSizes) {
  LzxBits b;
  if (fileSize) {
    b.put(1, 1);
    b.put(fileSize >> 16, 16);
    b.put(fileSize & 0xFFFF, 16);
  } else {
    b.put(0, 1);
  }
  b.put(3, 3);
  b.put(static_cast<uint32_t>(data.size()) >> 8, 16);
  b.put(static_cast<uint32_t>(data.size()) & 0xFF, 8);
  b.alignForRaw();
  b.raw32(1);
  b.raw32(1);
  b.raw32(1);
  std::vector<std::vector<uint8_t>> blocks;
  size_t at = 0;
  for (size_t i = 0; i < blockSizes.size(); ++i) {
    if (i == 0) {
      b.raw(data.substr(0, blockSizes[0]));
      blocks.push_back(b.finish());
    } else {
      std::string part = data.substr(at, blockSizes[i]);
      std::vector<uint8_t> v(part.begin(), part.end());
      if (i + 1 == blockSizes.size() && (data.size() & 1)) v.push_back(0);  // pad byte
      blocks.push_back(v);
    }
    at += blockSizes[i];
  }
  return blocks;
}

void putCall(std::string &s, size_t at, int32_t target) {
  s[at] = static_cast<char>(0xE8);
  for (int i = 0; i < 4; ++i) s[at + 1 + i] = static_cast<char>(static_cast<uint32_t>(target) >> (8 * i));
}

int32_t callAt(const std::string &s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1 + i])) << (8 * i);
  return static_cast<int32_t>(v);
}

TEST(CabDecoders, LzxTranslatesCallsAcrossDataBlocks) {
  const uint32_t fileSize = 1000000;
  // 32,768 bytes in the first data block, 9 in the last one.
  std::string data(32768 + 9, '\x90');
  putCall(data, 40, 5000);      // absolute 5000 at offset 40 -> 4960
  putCall(data, 100, -50);      // -50 >= -100: -50 + file size
  putCall(data, 200, -5000);    // below -position: unchanged
  putCall(data, 300, 1000000);  // not below the file size: unchanged
  putCall(data, 32752,
          77777);  // the last 0xE8 before the final 10 bytes -> 45025
  putCall(data, 32758,
          77777);  // 0xE8 at the first of the last 10 bytes: unchanged
  putCall(data, 32768 + 1,
          40000);  // in a block shorter than 10 bytes: unchanged
  auto blocks = uncompressedStream(data, fileSize, {32768, 9});
  Decoder d = make(kMethodLzx, 16);
  ASSERT_EQ(feed(*d, blocks[0], 32768), kDecodeOk);
  std::string first = out(*d, 32768);
  ASSERT_EQ(feed(*d, blocks[1], 9), kDecodeOk);
  std::string last = out(*d, 9);
  EXPECT_EQ(callAt(first, 40), 4960);
  EXPECT_EQ(callAt(first, 100), -50 + 1000000);
  EXPECT_EQ(callAt(first, 200), -5000);
  EXPECT_EQ(callAt(first, 300), 1000000);
  EXPECT_EQ(callAt(first, 32752), 77777 - 32752);
  EXPECT_EQ(callAt(first, 32758), 77777);
  EXPECT_EQ(callAt(last, 1), 40000);
  EXPECT_EQ(first.substr(0, 40), data.substr(0, 40));
}

TEST(CabDecoders, LzxTranslationPositionCountsEarlierBlocks) {
  std::string data(32768 + 40, '\x90');
  putCall(data, 32768 + 3, 50000);  // folder position 32771
  auto blocks = uncompressedStream(data, 1000000, {32768, 40});
  Decoder d = make(kMethodLzx, 15);
  ASSERT_EQ(feed(*d, blocks[0], 32768), kDecodeOk);
  ASSERT_EQ(feed(*d, blocks[1], 40), kDecodeOk);
  EXPECT_EQ(callAt(out(*d, 40), 3), 50000 - 32771);
  // Without the translation header nothing is changed.
  auto plain = uncompressedStream(data, 0, {32768, 40});
  Decoder p = make(kMethodLzx, 15);
  ASSERT_EQ(feed(*p, plain[0], 32768), kDecodeOk);
  ASSERT_EQ(feed(*p, plain[1], 40), kDecodeOk);
  EXPECT_EQ(callAt(out(*p, 40), 3), 50000);
}

TEST(CabDecoders, LzxUncompressedBlockNeedsItsBytes) {
  std::string data(100, 'z');
  auto blocks = uncompressedStream(data, 0, {100});
  auto cut = blocks[0];
  cut.resize(cut.size() - 10);
  Decoder d = make(kMethodLzx, 15);
  EXPECT_EQ(feed(*d, cut, 100), kDecodeIllegal);
  Decoder ok = make(kMethodLzx, 15);
  ASSERT_EQ(feed(*ok, blocks[0], 100), kDecodeOk);
  EXPECT_EQ(out(*ok, 100), data);
}

TEST(CabDecoders, LzxOutputMayNotCrossTheWindowEnd) {
  // Window of 32 KiB: a block of 20,000 bytes after one of 20,000 would
  // pass its end.
  std::string data(40000, 'w');
  auto blocks = uncompressedStream(data, 0, {20000, 20000});
  Decoder d = make(kMethodLzx, 15);
  ASSERT_EQ(feed(*d, blocks[0], 20000), kDecodeOk);
  EXPECT_EQ(feed(*d, blocks[1], 20000), kDecodeFormat);
}

TEST(CabDecoders, MszipDecodersAgreeOnManyBlocks) {
  // Text-like and random data at several compression levels and block
  // sizes, fixed and dynamic codes, stored blocks for incompressible input.
  for (int level : {0, 1, 6, 9}) {
    Decoder z = makeMszip(0), own = makeMszip(1);
    std::string history;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
      std::string data = seed % 2 ? noise(32768, seed) : std::string(20000 + seed * 1000, 'a') + noise(500, seed);
      for (auto &c : data)
        if (seed % 3 == 0) c = static_cast<char>('a' + (static_cast<uint8_t>(c) % 7));
      z_stream zs{};
      deflateInit2(&zs, level, Z_DEFLATED, -15, 9, seed % 2 ? Z_FIXED : Z_DEFAULT_STRATEGY);
      if (!history.empty())
        deflateSetDictionary(&zs, reinterpret_cast<const Bytef *>(history.data()), static_cast<uInt>(history.size()));
      std::vector<uint8_t> blk(deflateBound(&zs, data.size()) + 2);
      blk[0] = 'C', blk[1] = 'K';
      zs.next_in = reinterpret_cast<Bytef *>(data.data());
      zs.avail_in = static_cast<uInt>(data.size());
      zs.next_out = blk.data() + 2;
      zs.avail_out = static_cast<uInt>(blk.size() - 2);
      ASSERT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
      blk.resize(2 + zs.total_out);
      deflateEnd(&zs);
      int n = static_cast<int>(data.size());
      ASSERT_EQ(feed(*z, blk, n), kDecodeOk) << level << " " << seed;
      ASSERT_EQ(feed(*own, blk, n), kDecodeOk) << level << " " << seed;
      EXPECT_EQ(out(*z, data.size()), data);
      EXPECT_EQ(out(*own, data.size()), data);
      // The next block's history is the whole previous output buffer.
      history = out(*z, 32768);
    }
  }
}

TEST(CabDecoders, QuantumRefusesBlocksLargerThanItsWindow) {
  Decoder d = make(kMethodQuantum, 10);
  std::vector<uint8_t> zeros(16, 0);
  EXPECT_EQ(feed(*d, zeros, 1025), kDecodeFormat);
}

TEST(CabDecoders, GarbageNeverOverrunsOrHangs) {
  // Every method on a spread of pseudo-random blocks: any answer is fine as
  // long as it comes back (the sanitizer builds watch the memory).
  for (int method : {int{kMethodMszip}, int{kMethodQuantum}, int{kMethodLzx}, 99}) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
      Decoder d =
          method == 99 ? makeMszip(1) : make(method, method == kMethodMszip ? 0 : 15 + static_cast<int>(seed % 7));
      std::string junk = noise(1 + seed * 37 % 3000, seed);
      if (method == kMethodMszip || method == 99) junk[0] = 'C', junk[1] = 'K';
      std::vector<uint8_t> v(junk.begin(), junk.end());
      for (int block = 0; block < 3; ++block) {
        int rc = feed(*d, v, static_cast<int>(1 + seed * 811 % 32768));
        EXPECT_GE(rc, 0);
        EXPECT_LE(rc, 3);
      }
    }
  }
}

}  // namespace
