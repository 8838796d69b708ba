// The inflater layer: bulk inflation gives exactly what one-byte steps give
// (bytes, the cut at the output limit, a stream cut short, corrupt streams),
// and InflateToFile writes what was produced or refuses.
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "archivekit/inflater.h"
#include "ce/ce.h"
#include "filekit/filekit_api.h"
#include "testkit.h"

extern "C" {
int32_t LibInit();
int32_t LibDeinit();
int32_t CreateFileWrapObject(FileWrapObject** out);
}

namespace {

using nx::sis::inflateBuffer;
using nx::sis::inflateStepwise;

std::string deflateZ(const std::string& raw, int level = 9) {
  uLongf size = compressBound(raw.size());
  std::string out(size, '\0');
  EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
                      raw.size(), level),
            Z_OK);
  out.resize(size);
  return out;
}

std::string payload(int kind, size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    switch (kind) {
      case 0: s[i] = static_cast<char>(rng()); break;                      // incompressible
      case 1: s[i] = "abcdefgh ij\n"[rng() % 12]; break;                   // text-like
      case 2: s[i] = 0; break;                                              // long matches
      default: s[i] = (i / 97) % 3 ? static_cast<char>(rng() % 4) : 'x';  // mixed runs
    }
  }
  return s;
}

struct Result {
  size_t produced;
  std::string bytes;
};

Result run(size_t (*fn)(const uint8_t*, size_t, uint8_t*, size_t), const std::string& in, size_t n, size_t m) {
  std::vector<uint8_t> out(m + 1, 0xEE);
  size_t got = fn(reinterpret_cast<const uint8_t*>(in.data()), n, out.data(), m);
  EXPECT_EQ(out[m], 0xEE) << "wrote beyond the output limit";
  return {got, std::string(reinterpret_cast<char*>(out.data()), got)};
}

void expectSame(const std::string& in, size_t n, size_t m, const std::string& what) {
  Result a = run(inflateStepwise, in, n, m);
  Result b = run(inflateBuffer, in, n, m);
  ASSERT_EQ(a.produced, b.produced) << what << " n=" << n << " m=" << m;
  ASSERT_EQ(a.bytes, b.bytes) << what << " n=" << n << " m=" << m;
}

TEST(SisInflate, BulkMatchesSingleStepsOnWholeCutAndCorruptStreams) {
  std::mt19937 rng(7);
  for (int kind = 0; kind < 4; ++kind) {
    for (int level : {1, 9}) {
      std::string raw = payload(kind, kind == 2 ? 30000 : 9000, 100 + kind);
      std::string z = deflateZ(raw, level);
      std::string what = "kind " + std::to_string(kind) + " level " + std::to_string(level);
      // Whole stream, exact, generous and short output limits.
      for (size_t m : {raw.size(), raw.size() + 1000, raw.size() - 1, size_t{1}, size_t{64}, size_t{65}, raw.size() / 2})
        expectSame(z, z.size(), m, what);
      // The output limit and the input cut anywhere.
      for (int i = 0; i < 25; ++i) {
        expectSame(z, z.size(), rng() % (raw.size() + 1), what + " m-cut");
        expectSame(z, rng() % (z.size() + 1), raw.size(), what + " n-cut");
        expectSame(z, rng() % (z.size() + 1), rng() % (raw.size() + 1), what + " both");
      }
      for (size_t n = 0; n < 40 && n <= z.size(); ++n) expectSame(z, z.size() - n, raw.size(), what + " tail");
      // Corrupt streams: one byte changed anywhere.
      for (int i = 0; i < 25; ++i) {
        std::string bad = z;
        bad[rng() % bad.size()] ^= static_cast<char>(1 + rng() % 255);
        expectSame(bad, bad.size(), raw.size(), what + " corrupt");
        expectSame(bad, bad.size(), raw.size() + 7, what + " corrupt+");
      }
    }
  }
}

TEST(SisInflate, OutcomesOfTheStepRule) {
  std::string raw = payload(1, 5000, 3);
  std::string z = deflateZ(raw);
  std::vector<uint8_t> out(6000);
  auto in = reinterpret_cast<const uint8_t*>(z.data());
  // Whole stream.
  ASSERT_EQ(inflateBuffer(in, z.size(), out.data(), out.size()), raw.size());
  EXPECT_EQ(std::memcmp(out.data(), raw.data(), raw.size()), 0);
  // Output stops at m; what lies beyond (the trailer) is never checked.
  std::string badTrailer = z;
  badTrailer.back() ^= 0x5A;
  auto bt = reinterpret_cast<const uint8_t*>(badTrailer.data());
  EXPECT_EQ(inflateBuffer(bt, badTrailer.size(), out.data(), raw.size()), raw.size());
  EXPECT_EQ(inflateBuffer(bt, badTrailer.size(), out.data(), raw.size() + 4), 0u);
  // A stream cut short yields a prefix of the data.
  size_t half = inflateBuffer(in, z.size() / 2, out.data(), out.size());
  EXPECT_GT(half, 0u);
  EXPECT_LT(half, raw.size());
  EXPECT_EQ(std::memcmp(out.data(), raw.data(), half), 0);
  // Nothing in, nothing out, a wrong header.
  EXPECT_EQ(inflateBuffer(in, 0, out.data(), out.size()), 0u);
  EXPECT_EQ(inflateBuffer(in, z.size(), out.data(), 0), 0u);
  std::string noHeader = z.substr(2);
  EXPECT_EQ(inflateBuffer(reinterpret_cast<const uint8_t*>(noHeader.data()), noHeader.size(), out.data(), out.size()),
            0u);
}

class InflaterFile : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LibInit(), 1);
    ASSERT_EQ(CreateFileWrapObject(&fw), 1);
  }
  void TearDown() override { LibDeinit(); }
  nxtest::TempDevice dev;
  FileWrapObject* fw = nullptr;
};

TEST_F(InflaterFile, WritesWhatWasProducedOrRefuses) {
  nx::sis::Inflater inflater(fw);
  std::string raw = payload(3, 20000, 5);
  std::string z = deflateZ(raw);
  auto in = reinterpret_cast<const uint8_t*>(z.data());
  // An older, longer file at the path does not keep its tail.
  dev.writeFile("Temp/out", std::string(50000, 'q'));
  ASSERT_EQ(inflater.InflateToFile(in, static_cast<uint32_t>(z.size()), 30000, u"\\Temp\\out"), 1);
  EXPECT_EQ(dev.readFile("Temp/out"), raw);
  ASSERT_EQ(inflater.InflateToFile(in, static_cast<uint32_t>(z.size()), 100, u"\\Temp\\out"), 1);
  EXPECT_EQ(dev.readFile("Temp/out"), raw.substr(0, 100));
  // A corrupt stream leaves the output empty and fails.
  std::string bad = z;
  bad[1] ^= 0x40;
  EXPECT_EQ(inflater.InflateToFile(reinterpret_cast<const uint8_t*>(bad.data()), static_cast<uint32_t>(bad.size()),
                                   30000, u"\\Temp\\out"),
            0);
  EXPECT_EQ(dev.readFile("Temp/out"), "");
  // The member limit: 10 MiB is taken, one byte more is not even allocated.
  EXPECT_EQ(inflater.InflateToFile(in, static_cast<uint32_t>(z.size()), nx::sis::kMaxInflated, u"\\Temp\\out"), 1);
  EXPECT_EQ(inflater.InflateToFile(in, static_cast<uint32_t>(z.size()), nx::sis::kMaxInflated + 1, u"\\Temp\\out"), 0);
  EXPECT_EQ(inflater.InflateToFile(in, static_cast<uint32_t>(z.size()), 30000, u"\\NoSuchDir\\out"), 0);
  EXPECT_EQ(inflater.InflateToFile(in, static_cast<uint32_t>(z.size()), 30000, nullptr), 0);
}

}  // namespace
