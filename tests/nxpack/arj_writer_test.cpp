// The project's ARJ writer against two readers that share none of its code:
// the host's `arj` (test and extract) and arjkit.dll on a scratch device, as
// the update engine unpacks. Contents are chosen to reach every corner of
// the compressed method: empty and tiny members, long runs (blocks with a
// single symbol and a single position), blocks without any match, many
// blocks, matches reaching back the whole dictionary, and noise that must be
// stored.
#include <algorithm>
#include <numeric>

#include "arj_compress.h"
#include "arj_writer.h"
#include "pack_tools.h"

namespace {

using namespace packtest;

struct Content {
  const char* what;
  Bytes data;
};

// 16-bit counters: no three bytes repeat, so the first block holds literals only.
Bytes counters(size_t pairs) {
  Bytes s;
  for (size_t i = 0; i < pairs; ++i) {
    s.push_back(static_cast<char>(i >> 8));
    s.push_back(static_cast<char>(i));
  }
  return s;
}

// A block of random bytes repeated exactly one dictionary length later: the
// longest distance the format can express.
Bytes farRepeat() {
  Bytes head = noise(600, 91);
  Bytes s = head + textContent(26624 - head.size(), 4) + head + textContent(3000, 5);
  return s;
}

std::vector<Content> contents() {
  return {
      {"empty", ""},
      {"one byte", "x"},
      {"short text", "hello world hello world hello world\n"},
      {"text, several blocks", textContent(400000, 1)},
      {"structured binary", binaryContent(300000, 2)},
      {"long run, blocks of one symbol", Bytes(9u << 20, '\0')},
      {"literals only, then text", counters(40000) + textContent(60000, 3)},
      {"dictionary-wide repeat", farRepeat()},
      {"noise (stored)", noise(70000, 7)},
      {"every byte value", [] {
         Bytes s;
         for (int r = 0; r < 300; ++r)
           for (int c = 0; c < 256; ++c) s.push_back(static_cast<char>((c * 37 + r) & 0xFF));
         return s;
       }()},
  };
}

Bytes archiveOf(const std::vector<std::pair<std::string, Bytes>>& members, nxpack::ArjMethod method) {
  nxpack::ArjWriter w("files.arj", nxpack::arjTime(1767225600));  // 2026-01-01
  for (auto& [name, data] : members)
    w.add(name, reinterpret_cast<const uint8_t*>(data.data()), data.size(), nxpack::arjTime(1767225600), method);
  auto a = w.finish();
  return Bytes(a.begin(), a.end());
}

class ArjWriterTest : public ::testing::Test {
 protected:
  nxtest::TempDir tmp;
};

// Every content, compressed and stored, one member per archive: `arj t`
// passes it, `arj x` and arjkit.dll give the bytes back.
TEST_F(ArjWriterTest, BothReadersGiveEveryContentBack) {
  const bool arj = haveTool("arj");
  HandsetUnpacker handset;
  ASSERT_TRUE(handset.ready());
  for (const Content& c : contents()) {
    for (auto method : {nxpack::ArjMethod::Compressed, nxpack::ArjMethod::Stored}) {
      SCOPED_TRACE(std::string(c.what) + (method == nxpack::ArjMethod::Stored ? ", stored" : ", compressed"));
      const Bytes archive = archiveOf({{"member.bin", c.data}}, method);
      auto members = handset.unpack(archive);
      ASSERT_EQ(members.size(), 1u);
      EXPECT_EQ(members[0].name, "member.bin");
      EXPECT_EQ(members[0].result, 1);
      EXPECT_TRUE(members[0].data == c.data) << "arjkit gives other bytes";
      if (arj) {
        ArjReference ref = arjReference(archive, tmp.path() + "/ref");
        EXPECT_EQ(ref.testExit, 0);
        EXPECT_EQ(ref.extractExit, 0);
        ASSERT_EQ(ref.files.count("member.bin"), 1u);
        EXPECT_TRUE(ref.files["member.bin"] == c.data) << "arj x gives other bytes";
      }
    }
  }
  if (!arj) GTEST_SKIP() << "the host's arj is missing: only arjkit.dll was checked";
}

// The method recorded in each local header: compressible members are
// compressed and smaller, noise and tiny members fall back to stored, and the
// stored form is exactly the data.
TEST_F(ArjWriterTest, MethodsAndSizesInTheHeaders) {
  struct Case {
    Bytes data;
    int method;
  } cases[] = {
      {textContent(100000, 9), 1},
      {binaryContent(50000, 9), 1},
      {noise(5000, 9), 0},
      {"ab", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.size());
    const Bytes a = archiveOf({{"m", c.data}}, nxpack::ArjMethod::Compressed);
    // The main header, then the member's: id, size, basic header (method at 5,
    // packed size at 12, original size at 16, CRC at 20).
    ASSERT_EQ(le16(a, 0), 0xEA60);
    const size_t local = 4 + le16(a, 2) + 4 + 2;
    ASSERT_EQ(le16(a, local), 0xEA60);
    const size_t basic = local + 4;
    EXPECT_EQ(uint8_t(a[basic + 5]), c.method);
    EXPECT_EQ(le32(a, basic + 16), c.data.size());
    EXPECT_EQ(le32(a, basic + 20), ~crcRegister(c.data, 0, c.data.size()));
    const uint32_t packed = le32(a, basic + 12);
    if (c.method == 1) {
      EXPECT_LT(packed, c.data.size() / 2);
    } else {
      EXPECT_EQ(packed, c.data.size());
    }
    EXPECT_EQ(a.substr(a.size() - 4), Bytes("\x60\xEA\0\0", 4)) << "end marker";
  }
}

// Several members in one archive keep their order, names and contents in
// both readers.
TEST_F(ArjWriterTest, SeveralMembersInOrder) {
  std::vector<std::pair<std::string, Bytes>> members = {
      {"sig32ce.inx", textContent(30000, 11)},
      {"SCANVER.cnf", versionRecord(1, 2, 2026, 3, 4)},
      {"empty.txt", ""},
      {"platform.dll", binaryContent(120000, 12)},
      {std::string(214, 'n'), "long name"},
  };
  const Bytes archive = archiveOf(members, nxpack::ArjMethod::Compressed);
  HandsetUnpacker handset;
  ASSERT_TRUE(handset.ready());
  auto got = handset.unpack(archive);
  ASSERT_EQ(got.size(), members.size());
  for (size_t i = 0; i < members.size(); ++i) {
    EXPECT_EQ(got[i].name, members[i].first);
    EXPECT_EQ(got[i].result, 1);
    EXPECT_TRUE(got[i].data == members[i].second) << members[i].first;
  }
  if (!haveTool("arj")) GTEST_SKIP() << "the host's arj is missing";
  ArjReference ref = arjReference(archive, tmp.path() + "/ref");
  EXPECT_EQ(ref.testExit, 0);
  for (auto& [name, data] : members) EXPECT_TRUE(ref.files[name] == data) << name;
}

// Code lengths stay within the 16 bits the readers accept, even for counts
// that would make the optimal code deeper, and always fill the code space.
TEST_F(ArjWriterTest, CodeLengthsAreLimitedAndComplete) {
  std::vector<uint32_t> fib(40);
  fib[0] = fib[1] = 1;
  for (size_t i = 2; i < fib.size(); ++i) fib[i] = fib[i - 1] + fib[i - 2];
  struct Case {
    const char* what;
    std::vector<uint32_t> freq;
  } cases[] = {
      {"fibonacci counts", fib},
      {"two symbols", {0, 5, 0, 0, 9}},
      {"one heavy, many light", [] {
         std::vector<uint32_t> f(510, 1);
         f[0] = 1u << 30;
         return f;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> len(c.freq.size());
    nxpack::arj::codeLengths(c.freq.data(), static_cast<int>(c.freq.size()), len.data());
    double kraft = 0;
    for (size_t i = 0; i < len.size(); ++i) {
      EXPECT_LE(len[i], 16);
      EXPECT_EQ(len[i] == 0, c.freq[i] == 0);
      if (len[i]) kraft += 1.0 / double(1u << len[i]);
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0);
  }
  // Data whose literal counts follow the Fibonacci numbers goes through both readers.
  Bytes skewed;
  for (int s = 0; s < 22; ++s) skewed.append(fib[static_cast<size_t>(s)], static_cast<char>('A' + s));
  uint32_t x = 5;
  for (size_t i = skewed.size(); i > 1; --i) {
    x = x * 1103515245u + 12345u;
    std::swap(skewed[i - 1], skewed[(x >> 8) % i]);
  }
  const Bytes archive = archiveOf({{"skewed", skewed}}, nxpack::ArjMethod::Compressed);
  HandsetUnpacker handset;
  ASSERT_TRUE(handset.ready());
  auto got = handset.unpack(archive);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].data == skewed);
  if (haveTool("arj")) {
    EXPECT_TRUE(arjReference(archive, tmp.path() + "/ref").files["skewed"] == skewed);
  }
}

TEST_F(ArjWriterTest, RefusesWhatTheFormatCannotHold) {
  nxpack::ArjWriter w("files.arj", 0);
  const uint8_t b = 0;
  EXPECT_THROW(w.add("", &b, 1, 0, nxpack::ArjMethod::Stored), std::invalid_argument);
  EXPECT_THROW(w.add(std::string(2600, 'a'), &b, 1, 0, nxpack::ArjMethod::Stored), std::runtime_error);
  EXPECT_THROW(w.add("big", &b, size_t(1) << 31, 0, nxpack::ArjMethod::Stored), std::invalid_argument);
  // The DOS time fields: 2026-02-28 13:45:58 UTC.
  EXPECT_EQ(nxpack::arjTime(1772286358), (46u << 25) | (2u << 21) | (28u << 16) | (13u << 11) | (45u << 5) | 29u);
}

}  // namespace
