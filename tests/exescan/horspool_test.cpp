// The shared Horspool search against a plain search over random texts with planted patterns,
// for the full-width and the byte-wide shift tables (including patterns longer than a byte's
// shift range, whose shifts are capped).
#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/horspool.h"

namespace {

size_t naive(const std::vector<uint8_t>& t, const std::vector<uint8_t>& p) {
  if (p.empty() || p.size() > t.size()) return nx::Horspool::npos;
  auto it = std::search(t.begin(), t.end(), p.begin(), p.end());
  return it == t.end() ? nx::Horspool::npos : size_t(it - t.begin());
}

TEST(Horspool, AgreesWithAPlainSearch) {
  std::mt19937 rng(5);
  for (int round = 0; round < 3000; ++round) {
    const int alphabet = 2 + int(rng() % 6);  // small alphabets give many partial matches
    std::vector<uint8_t> text(rng() % 600), pattern(rng() % 300 < 280 ? 1 + rng() % 22 : 256 + rng() % 40);
    for (auto& c : text) c = uint8_t(rng() % alphabet);
    for (auto& c : pattern) c = uint8_t(rng() % alphabet);
    if (rng() % 2 && pattern.size() <= text.size()) {
      const size_t at = rng() % (text.size() - pattern.size() + 1);
      std::copy(pattern.begin(), pattern.end(), text.begin() + std::ptrdiff_t(at));
    }
    const size_t want = naive(text, pattern);
    EXPECT_EQ(nx::Horspool(pattern.data(), pattern.size()).find(text.data(), text.size()), want) << round;
    EXPECT_EQ(nx::BasicHorspool<uint8_t>(pattern.data(), pattern.size()).find(text.data(), text.size()), want) << round;
  }
}

TEST(Horspool, EdgeCases) {
  const uint8_t text[] = {1, 2, 3, 4};
  const uint8_t p[] = {3, 4, 5};
  EXPECT_EQ(nx::horspoolFind(text, 4, p, 0), nx::Horspool::npos);  // an empty pattern never matches
  EXPECT_EQ(nx::horspoolFind(text, 4, p, 2), 2u);                   // a match ending at the last byte
  EXPECT_EQ(nx::horspoolFind(text, 4, p, 3), nx::Horspool::npos);   // partly beyond the text
  EXPECT_EQ(nx::horspoolFind(text, 0, p, 1), nx::Horspool::npos);
  EXPECT_EQ(nx::horspoolFind(text, 4, text, 4), 0u);
}

}  // namespace
