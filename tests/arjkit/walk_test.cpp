// The ARJ walk over an in-memory file wrapper that counts what is read:
// taking the members one after another reads the archive about once (the
// main header searched for once, each member taken from where the last one
// ended), a place that no longer holds a header says so, and members coded
// with one-symbol tables (output in no bits at all) are bounded by the
// reader's budget.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "arjkit/arj_headers.h"
#include "ce/time.h"
#include "common/crc32.h"
#include "fuzz/memory_files.h"

namespace {

using namespace nx::arj;

// The in-memory wrapper of the fuzz targets, counting bytes read and written.
uint64_t g_read = 0, g_written = 0;
int32_t countedRead(FileWrapObject* fw, int32_t h, void* buf, int32_t n) {
  int32_t got = fuzzfiles::read(fw, h, buf, n);
  if (got > 0) g_read += static_cast<uint64_t>(got);
  return got;
}
int32_t countedWrite(FileWrapObject* fw, int32_t h, const void* buf, int32_t n) {
  int32_t put = fuzzfiles::write(fw, h, buf, n);
  if (put > 0) g_written += static_cast<uint64_t>(put);
  return put;
}
FileWrapOps countedOps() {
  FileWrapOps ops = fuzzfiles::makeOps();
  ops.Read = countedRead;
  ops.Write = countedWrite;
  return ops;
}
const FileWrapOps kOps = countedOps();
FileWrapObject g_files{&kOps};

void put16(std::string& s, uint32_t v) {
  s.push_back(static_cast<char>(v & 0xFF));
  s.push_back(static_cast<char>(v >> 8 & 0xFF));
}
void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

std::string header(uint8_t fileType, const std::string& name, uint8_t method, uint32_t packed, uint32_t original,
                   uint32_t crc) {
  std::string b = {30, 11, 1, 0, 0, static_cast<char>(method), static_cast<char>(fileType), 0};
  put32(b, 0);
  put32(b, packed);
  put32(b, original);
  put32(b, crc);
  put16(b, 0), put16(b, 0), put16(b, 0);
  b += name;
  b.push_back('\0');
  b.push_back('\0');
  std::string h = "\x60\xEA";
  put16(h, static_cast<uint32_t>(b.size()));
  h += b;
  put32(h, nx::crc32(b.data(), b.size()));
  put16(h, 0);
  return h;
}

std::string member(const std::string& name, const std::string& data) {
  return header(0, name, 0, static_cast<uint32_t>(data.size()), static_cast<uint32_t>(data.size()),
                nx::crc32(data.data(), data.size())) +
         data;
}

const std::string kMain = header(2, "walk.arj", 0, 0, 0, 0);
const std::string kEnd("\x60\xEA\x00\x00", 4);

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
    return b + std::string(8, '\0');
  }
  std::string bytes;
  uint32_t acc = 0;
  int n = 0;
};

// A method-1 member of `size` zero bytes: blocks of 65,536 symbols, all the
// match of 256 bytes at distance 1, every table one symbol long.
std::string zerosInNoBits(uint32_t size, uint32_t crc) {
  BitWriter w;
  for (uint64_t made = 0; made < size; made += 65536ull * 256) {
    w.put(0, 16);
    w.put(0, 5), w.put(0, 5);
    w.put(0, 9), w.put(509, 9);
    w.put(0, 5), w.put(0, 5);
  }
  const std::string packed = w.done();
  return header(0, "zeros.bin", 1, static_cast<uint32_t>(packed.size()), size, crc) + packed;
}

class ArjWalkTest : public ::testing::Test {
 protected:
  void serve(const std::string& bytes) {
    archive_ = bytes;
    fuzzfiles::reset(reinterpret_cast<const uint8_t*>(archive_.data()), static_cast<int32_t>(archive_.size()));
    g_read = g_written = 0;
  }
  std::string archive_;
};

TEST_F(ArjWalkTest, TakingEveryMemberReadsTheArchiveAboutOnce) {
  // 400,000 bytes of header-like candidates (a plausible size whose CRC
  // never matches) before an archive of 50 members.
  std::string stub;
  for (int i = 0; i < 100000; ++i) stub += std::string("\x60\xEA\x28\x0A", 4);
  std::string bytes = stub + kMain;
  for (int i = 0; i < 50; ++i) bytes += member("m" + std::to_string(i), std::string(static_cast<size_t>(i + 1), static_cast<char>('a' + i % 26)));
  bytes += kEnd;
  serve(bytes);

  WalkPlace place;
  ASSERT_EQ(countMembers(&g_files, "a.arj", nullptr, &place), 50);
  EXPECT_EQ(place.next, static_cast<int64_t>(stub.size() + kMain.size()));
  for (int i = 0; i < 50; ++i) {
    char name[260] = {};
    WalkReport report;
    const uint64_t before = g_written;
    ASSERT_EQ(extractAt(&g_files, "a.arj", place, "out", name, &report), 1) << i;
    EXPECT_EQ(std::string(name), "m" + std::to_string(i));
    EXPECT_EQ(g_written - before, static_cast<uint64_t>(i + 1));
  }
  // After the last member the place stands at the end header.
  char name[260] = "untouched";
  EXPECT_EQ(extractAt(&g_files, "a.arj", place, "out", name), 1);
  EXPECT_STREQ(name, "untouched");
  EXPECT_LT(g_read, 3 * bytes.size()) << "the main header is searched for once, each member read once";
  EXPECT_EQ(fuzzfiles::anyOpen(), false);
}

TEST_F(ArjWalkTest, APlaceThatNoLongerHoldsAHeaderSaysSo) {
  serve(kMain + member("a", "alpha") + kEnd);
  WalkPlace place;
  ASSERT_EQ(countMembers(&g_files, "a.arj", nullptr, &place), 1);
  char name[260] = {};
  WalkPlace wrong{place.next + 1};
  EXPECT_LT(extractAt(&g_files, "a.arj", wrong, "out", name), 0);
  WalkPlace none;
  EXPECT_EQ(extractAt(&g_files, "a.arj", none, "out", name), kErrHeader);
  EXPECT_EQ(extractAt(&g_files, "a.arj", place, "out", name), 1);
  EXPECT_STREQ(name, "a");
}

TEST_F(ArjWalkTest, OutputMadeInNoBitsIsBoundedByTheBudget) {
  // 2 GiB - 1, the largest size a header allows, in under a kilobyte: the
  // default budget refuses it unread.
  serve(kMain + zerosInNoBits(0x7FFFFFFF, 0) + kEnd);
  WalkPlace place;
  nx::ReaderBudget budget;
  budget.opened();
  ASSERT_EQ(countMembers(&g_files, "a.arj", nullptr, &place, &budget), 1);
  char name[260] = {};
  WalkReport report;
  EXPECT_EQ(extractAt(&g_files, "a.arj", place, "out", name, &report, &budget), kErrCounted);
  EXPECT_EQ(report.lastError, kMemberLimit);
  EXPECT_EQ(g_written, 0u);
  ArchiveReaderStatus st{};
  budget.report(st, false);
  EXPECT_EQ(st.limits, static_cast<uint32_t>(NX_SCAN_LIMIT_SIZE));

  // Within the budget it decodes, and what it made is counted.
  const uint32_t size = 20u << 20;
  std::vector<uint8_t> zeros(size);
  serve(kMain + zerosInNoBits(size, nx::crc32(zeros.data(), zeros.size())) + kEnd);
  nx::ReaderBudget roomy;
  roomy.opened();
  place = WalkPlace{};
  ASSERT_EQ(countMembers(&g_files, "a.arj", nullptr, &place, &roomy), 1);
  EXPECT_EQ(extractAt(&g_files, "a.arj", place, "out", name, &report, &roomy), 1);
  EXPECT_EQ(g_written, size);
  roomy.report(st, false);
  EXPECT_EQ(st.produced, size);
  EXPECT_EQ(st.limits, 0u);

  // The work time running out cuts it short: the member fails its check.
  nx::ReaderBudget late;
  ArchiveReaderLimits limits{sizeof limits, 0, UINT64_MAX};
  late.set(limits);
  late.opened();
  place = WalkPlace{};
  ASSERT_EQ(countMembers(&g_files, "a.arj", nullptr, &place, &late), 1);
  const uint32_t passed = ce::GetTickCount() - 1000;
  limits.deadline = passed ? passed : 0xFFFFFFFFu;
  late.set(limits);
  EXPECT_EQ(extractAt(&g_files, "a.arj", place, "out", name, &report, &late), kErrCounted);
  late.report(st, false);
  EXPECT_EQ(st.limits, static_cast<uint32_t>(NX_SCAN_LIMIT_TIME));
}

}  // namespace
