// The ARJ member decoders on bytes in memory: hand-built bit streams for the
// cases an archiver never writes (single-symbol blocks, positions outside
// the dictionary, tables that cannot be built, data that ends too early),
// and streams made by the host's `arj` decoded whole, cut short and garbled.
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "arj_tools.h"
#include "arjkit/arj_decoder.h"
#include "testkit.h"

namespace {

using nx::arj::DecodeResult;
using nx::arj::decodeMember;

struct MemSource final : nx::arj::PackedSource {
  explicit MemSource(std::string d, int32_t step = 4096) : data(std::move(d)), step(step) {}
  int32_t fill(uint8_t* buffer, int32_t capacity) override {
    size_t n = std::min<size_t>({data.size() - pos, static_cast<size_t>(capacity), static_cast<size_t>(step)});
    std::memcpy(buffer, data.data() + pos, n);
    pos += n;
    return static_cast<int32_t>(n);
  }
  std::string data;
  size_t pos = 0;
  int32_t step;
};

struct MemSink final : nx::arj::PlainSink {
  bool put(const uint8_t* d, size_t n) override {
    if (out.size() + n > limit) return false;
    out.append(reinterpret_cast<const char*>(d), n);
    ++puts;
    return true;
  }
  std::string out;
  size_t limit = SIZE_MAX;
  int puts = 0;
};

// Bits most significant first, the last byte padded with zeros.
struct BitWriter {
  void put(uint32_t value, int bits) {
    for (int k = bits - 1; k >= 0; --k) {
      acc = acc << 1 | ((value >> k) & 1);
      if (++n == 8) {
        bytes.push_back(static_cast<char>(acc));
        acc = 0;
        n = 0;
      }
    }
  }
  std::string done() {
    std::string b = bytes;
    if (n) b.push_back(static_cast<char>(acc << (8 - n)));
    return b;
  }
  std::string bytes;
  uint32_t acc = 0;
  int n = 0;
};

DecodeResult decode(int method, const std::string& packed, uint32_t size, std::string& out, int32_t step = 4096) {
  MemSource src(packed, step);
  MemSink sink;
  DecodeResult r = decodeMember(method, src, size, sink);
  out = sink.out;
  return r;
}

// ---- Method 4 ---------------------------------------------------------------------
void fastLiteral(BitWriter& w, uint8_t c) {
  w.put(0, 1);
  w.put(c, 8);
}
// Length 3..256 and position 0..15,871, in the unary-prefixed form.
void fastMatch(BitWriter& w, uint32_t length, uint32_t position) {
  uint32_t code = length - 2;
  int ones = 0;
  while (ones < 7 && code >= (2u << ones) - 1) ++ones;
  for (int k = 0; k < ones; ++k) w.put(1, 1);
  if (ones < 7) w.put(0, 1);
  w.put(code - ((1u << ones) - 1), ones);
  int pones = 0;
  while (pones < 4 && position >= (((2u << pones) - 1) << 9)) ++pones;
  for (int k = 0; k < pones; ++k) w.put(1, 1);
  if (pones < 4) w.put(0, 1);
  w.put(position - (((1u << pones) - 1) << 9), 9 + pones);
}

TEST(ArjFastMethod, LiteralsOverlappingAndFarMatches) {
  BitWriter w;
  fastLiteral(w, 'a');
  fastLiteral(w, 'b');
  fastMatch(w, 3, 1);          // overlapping: "aba"
  fastMatch(w, 256, 15871);    // reaches before the first byte: zeros
  fastMatch(w, 10, 0);         // repeats the last byte
  std::string expect = "ababa" + std::string(256, '\0') + std::string(10, '\0');
  // Matches reaching back to the first bytes, across distances of every width.
  for (uint32_t len : {4u, 9u, 20u, 100u, 200u, 256u}) {
    uint32_t position = static_cast<uint32_t>(expect.size()) - 2;
    fastMatch(w, len, position);
    size_t from = expect.size() - position - 1;
    for (uint32_t k = 0; k < len; ++k) expect.push_back(expect[from + k]);
  }
  std::string out;
  EXPECT_EQ(decode(4, w.done(), static_cast<uint32_t>(expect.size()), out), DecodeResult::Complete);
  EXPECT_TRUE(out == expect);
  // A smaller stated size cuts the output there, even inside a match.
  EXPECT_EQ(decode(4, w.done(), 100, out), DecodeResult::Complete);
  EXPECT_TRUE(out == expect.substr(0, 100));
}

TEST(ArjFastMethod, DataEndingBeforeTheStatedSizeStops) {
  BitWriter w;
  for (int i = 0; i < 50; ++i) fastLiteral(w, static_cast<uint8_t>('0' + i % 10));
  std::string out;
  EXPECT_EQ(decode(4, w.done(), 2'000'000'000u, out), DecodeResult::BadData);
  EXPECT_LT(out.size(), 100u) << "zero bits past the end are not decoded for long";
  EXPECT_EQ(out.substr(0, 50), std::string("0123456789").append("0123456789").append("0123456789")
                                   .append("0123456789").append("0123456789"));
}

// ---- Methods 1 to 3 ------------------------------------------------------------------
// A block whose three codes each hold one symbol (read without bits).
void singleBlock(BitWriter& w, uint16_t symbols, int lengthSym, int charSym, int posSym) {
  w.put(symbols, 16);
  w.put(0, 5), w.put(lengthSym, 5);
  w.put(0, 9), w.put(charSym, 9);
  w.put(0, 5), w.put(posSym, 5);
}

TEST(ArjHuffmanMethods, SingleSymbolBlocksFollowEachOther) {
  BitWriter w;
  singleBlock(w, 5, 0, 'A', 0);
  singleBlock(w, 3, 0, 'B', 0);
  for (int method : {1, 2, 3}) {
    std::string out;
    EXPECT_EQ(decode(method, w.done(), 8, out), DecodeResult::Complete);
    EXPECT_EQ(out, "AAAAABBB");
  }
}

TEST(ArjHuffmanMethods, MalformedBlocksStopDecoding) {
  struct Case {
    const char* what;
    std::function<void(BitWriter&)> build;
  };
  const Case cases[] = {
      {"position beyond the dictionary",
       [](BitWriter& w) {
         singleBlock(w, 4, 0, 300, 16);  // match of 47 at 2^15 + 15 bits
         w.put(0, 15);
       }},
      {"char code count above 510", [](BitWriter& w) { w.put(1, 16), w.put(0, 5), w.put(0, 5), w.put(511, 9); }},
      {"single char symbol above 509", [](BitWriter& w) { w.put(1, 16), w.put(0, 5), w.put(0, 5), w.put(0, 9), w.put(510, 9); }},
      {"length code count above 19", [](BitWriter& w) { w.put(1, 16), w.put(20, 5); }},
      {"single length symbol above 18", [](BitWriter& w) { w.put(1, 16), w.put(0, 5), w.put(19, 5); }},
      {"zero run past the char table",
       [](BitWriter& w) {
         w.put(1, 16), w.put(0, 5), w.put(2, 5);  // every char length read is "run of 20 + 9 bits"
         w.put(510, 9), w.put(511, 9);
       }},
      {"oversubscribed length code",
       [](BitWriter& w) {
         w.put(1, 16), w.put(3, 5);
         w.put(1, 3), w.put(1, 3), w.put(1, 3), w.put(0, 2);  // three codes of length 1
       }},
      {"incomplete length code",
       [](BitWriter& w) {
         w.put(1, 16), w.put(3, 5);
         w.put(1, 3), w.put(2, 3), w.put(0, 3), w.put(0, 2);  // lengths 1 and 2 only
       }},
      {"length beyond 16",
       [](BitWriter& w) {
         w.put(1, 16), w.put(1, 5);
         w.put(0xFFFF, 16), w.put(0, 8);  // 7 + 13 ones
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BitWriter w;
    c.build(w);
    std::string packed = w.done() + std::string(64, '\0');
    std::string out;
    EXPECT_EQ(decode(1, packed, 100, out), DecodeResult::BadData);
    EXPECT_LE(out.size(), 100u);
  }
  // Position 2^14 + 14 bits is inside the dictionary (before the first byte: zeros).
  BitWriter w;
  singleBlock(w, 1, 0, 300, 15);
  w.put(0, 14);
  std::string out;
  EXPECT_EQ(decode(1, w.done(), 47, out), DecodeResult::Complete);
  EXPECT_EQ(out, std::string(47, '\0'));
}

TEST(ArjDecoder, UnknownMethodsAndRefusingSinks) {
  std::string out;
  EXPECT_EQ(decode(5, "abc", 3, out), DecodeResult::BadData);
  EXPECT_EQ(decode(-1, "abc", 3, out), DecodeResult::BadData);
  // Stored copies the packed bytes, whatever the stated size.
  EXPECT_EQ(decode(0, std::string(10000, 'x'), 5, out, 1000), DecodeResult::Complete);
  EXPECT_EQ(out, std::string(10000, 'x'));

  BitWriter w;
  for (int i = 0; i < 40000; ++i) fastLiteral(w, 'q');
  for (int method : {0, 4}) {
    MemSource src(method == 0 ? std::string(40000, 'q') : w.done());
    MemSink sink;
    sink.limit = 30000;
    EXPECT_EQ(decodeMember(method, src, 40000, sink), DecodeResult::OutputFailed);
  }
  // Output comes in whole dictionaries and a last partial one.
  MemSource src(w.done());
  MemSink sink;
  EXPECT_EQ(decodeMember(4, src, 40000, sink), DecodeResult::Complete);
  EXPECT_EQ(sink.puts, 2);
  EXPECT_EQ(sink.out, std::string(40000, 'q'));
}

// ---- Streams made by arj -----------------------------------------------------------------
TEST(ArjDecoder, ArjStreamsWholeCutAndGarbled) {
  if (!arjtest::haveArj()) GTEST_SKIP() << "the host's arj (the reference) is missing";
  nxtest::TempDir tmp;
  std::string text = arjtest::textContent(70000, 11), bin = arjtest::binaryContent(80000, 12);
  arjtest::writeHost(tmp.path() + "/t.txt", text);
  arjtest::writeHost(tmp.path() + "/b.bin", bin);
  for (int method = 1; method <= 4; ++method) {
    SCOPED_TRACE(method);
    std::string name = "m" + std::to_string(method) + ".arj";
    ASSERT_EQ(arjtest::run(tmp.path(), "arj a -y -i -m" + std::to_string(method) + " " + name + " t.txt b.bin"), 0);
    std::string arc = arjtest::readHost(tmp.path() + "/" + name);
    auto hdrs = arjtest::headers(arc);
    ASSERT_EQ(hdrs.size(), 3u);
    for (size_t m = 1; m <= 2; ++m) {
      const std::string& plain = m == 1 ? text : bin;
      size_t h = hdrs[m];
      size_t data = h + 4 + arjtest::le16(arc, h + 2) + 4 + 2;
      std::string packed = arc.substr(data, arjtest::le32(arc, h + 4 + 12));
      ASSERT_EQ(uint8_t(arc[h + 4 + 5]), method);
      std::string out;
      // Whole, and with the packed data handed over in odd pieces.
      EXPECT_EQ(decode(method, packed, static_cast<uint32_t>(plain.size()), out), DecodeResult::Complete);
      EXPECT_TRUE(out == plain);
      EXPECT_EQ(decode(method, packed, static_cast<uint32_t>(plain.size()), out, 7), DecodeResult::Complete);
      EXPECT_TRUE(out == plain);
      // Cut short: stops, with what came before it right.
      EXPECT_EQ(decode(method, packed.substr(0, packed.size() / 2), static_cast<uint32_t>(plain.size()), out),
                DecodeResult::BadData);
      EXPECT_LT(out.size(), plain.size());
      EXPECT_TRUE(out.substr(0, 1000) == plain.substr(0, 1000));
      // Garbled: never more than the stated size.
      uint32_t x = 1234567u + static_cast<uint32_t>(method * 10 + m);
      for (int round = 0; round < 40; ++round) {
        std::string bad = packed;
        for (int k = 0; k < 1 + round % 8; ++k) {
          x = x * 1103515245u + 12345u;
          bad[(x >> 8) % bad.size()] ^= static_cast<char>(1 + (x >> 24) % 255);
        }
        decode(method, bad, static_cast<uint32_t>(plain.size()), out);
        ASSERT_LE(out.size(), plain.size());
      }
    }
  }
}

}  // namespace
