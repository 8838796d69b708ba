// The update engine's readers of outside data with bytes made here: the
// source list, the index and the decisions taken from them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ce/ce.h"
#include "common/crc32.h"
#include "common/nibble.h"
#include "package_maker.h"
#include "updengine/index_list.h"
#include "updengine/replace.h"
#include "updengine/source_list.h"
#include "testkit.h"

namespace {

using namespace nx::upd;
using updtest::indexOf;
using updtest::le16;
using updtest::le32;

// A location record: the base address (UTF-16) and the number.
std::string location(const std::u16string& base, uint32_t number = 0) {
  std::string r(kLocationSize, '\0');
  for (size_t i = 0; i < base.size(); ++i) {
    r[2 * i] = static_cast<char>(base[i] & 0xFF);
    r[2 * i + 1] = static_cast<char>(base[i] >> 8);
  }
  for (int i = 0; i < 4; ++i) r[kLocationNumberOffset + i] = static_cast<char>(number >> (8 * i));
  return r;
}

// A source list: sections of (type, locations), stored nibble-exchanged
// after the first six bytes, the CRC over the stored bytes.
std::string sources(const std::vector<std::pair<uint32_t, std::vector<std::string>>>& sections, int countFix = -1) {
  std::string body;
  for (const auto& [type, locs] : sections) {
    std::string head;
    le32(head, type);
    le16(head, static_cast<uint16_t>(locs.size()));
    head.resize(kSectionHeadSize, '\0');
    body += head;
    for (const auto& l : locs) body += l;
  }
  nx::swapNibbles(body.data(), body.size());
  std::string out;
  le32(out, nx::crc32(body.data(), body.size()));
  le16(out, static_cast<uint16_t>(countFix >= 0 ? countFix : int(sections.size())));
  return out + body;
}

int parse(const std::string& bytes, std::vector<Location>& out) {
  return parseSourceList(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
}

TEST(SourceList, TypeOneLocationsInFileOrder) {
  std::vector<Location> l;
  const std::string two = sources({{1, {location(u"http://a/", 7), location(u"http://b/")}},
                                   {2, {location(u"http://ignored/")}},
                                   {1, {location(u"https://c/")}}});
  ASSERT_EQ(parse(two, l), kSourcesOk);
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[0].base, u"http://a/");
  EXPECT_EQ(l[0].number, 7u);
  EXPECT_EQ(l[1].base, u"http://b/");
  EXPECT_EQ(l[2].base, u"https://c/");
  // A base address without a terminator is taken to its 260 characters.
  ASSERT_EQ(parse(sources({{1, {location(std::u16string(300, u'x'))}}}), l), kSourcesOk);
  EXPECT_EQ(l[0].base.size(), 260u);
  ASSERT_EQ(parse(sources({}), l), kSourcesOk);
  EXPECT_TRUE(l.empty());
}

TEST(SourceList, DamageIsTheStatedError) {
  const std::string good = sources({{1, {location(u"http://a/"), location(u"http://b/")}}});
  std::string flipped = good;
  flipped[50] ^= 1;
  std::string crcField = good;
  crcField[0] ^= 1;
  struct Case {
    const char* what;
    std::string bytes;
    int want;
  } cases[] = {
      {"empty", "", kSourcesShort},
      {"shorter than the head", good.substr(0, 5), kSourcesShort},
      {"a changed byte", flipped, kSourcesBadCrc},
      {"a changed checksum", crcField, kSourcesBadCrc},
      {"more sections than the file holds", sources({{1, {location(u"http://a/")}}}, 9), kSourcesShort},
  };
  for (const auto& c : cases) {
    std::vector<Location> l;
    EXPECT_EQ(parse(c.bytes, l), c.want) << c.what;
  }
  // A count of locations beyond the file: refused before anything is read.
  std::string cut = sources({{1, {location(u"http://a/")}}});
  std::string body = cut.substr(6, kSectionHeadSize + 100);  // the head and part of a location
  std::string fixed;
  le32(fixed, nx::crc32(body.data(), body.size()));
  le16(fixed, 1);
  std::vector<Location> l;
  EXPECT_EQ(parse(fixed + body, l), kSourcesShort);
  EXPECT_TRUE(l.empty());
}

int32_t parseIdx(const std::string& bytes, bool checked, bool platform, FileList& out) {
  return parseIndex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), checked, platform, out);
}

TEST(Index, EntriesAndTheirNames) {
  FileList l;
  const std::string idx = indexOf({{100, 1, "nx100001.pkg", 7}, {106, 3, "engine.pkg", 7}, {120, 9, "odd.pkg", 7}});
  ASSERT_EQ(parseIdx(idx, true, true, l), kListBuilt);
  ASSERT_EQ(l.size(), 3u);
  EXPECT_EQ(l[0].name, u"nx100001.pkg");
  EXPECT_EQ(l[0].code, 'd');
  EXPECT_EQ(l[1].type, 106);
  EXPECT_EQ(l[1].sequence, 3);
  EXPECT_EQ(l[1].code, 'j');
  EXPECT_EQ(l[2].code, 0) << "an unknown type has no code";
  // A partial entry at the end is not an entry (the count is whole entries).
  std::string partial = idx + std::string(30, '\0');
  ASSERT_EQ(parseIdx(partial, false, true, l), kListBuilt);
  EXPECT_EQ(l.size(), 3u);
}

TEST(Index, HeadAndEntryRules) {
  struct Case {
    const char* what;
    std::string bytes;
    int32_t want;
  } cases[] = {
      {"wrong sum", indexOf({{100, 1, "a.pkg", 7}}, nx::upd::kFamilyPackage, 1), kListDamaged},
      {"the other accepted family", indexOf({{100, 1, "a.pkg", 7}}, nx::upd::kFamilyIndexAlt), kListBuilt},
      {"a refused family", indexOf({{100, 1, "a.pkg", 7}}, 56799), kListNotForPlatform},
      {"another platform", indexOf({{100, 1, "a.pkg", 6}}), kListNotForPlatform},
      {"shorter than the head", std::string("\xDF\xDE\0", 3), kListDamaged},
      {"a path", indexOf({{100, 1, "..\\a.pkg", 7}}), kListDamaged},
      {"a slash", indexOf({{100, 1, "a/b.pkg", 7}}), kListDamaged},
      {"a wildcard", indexOf({{100, 1, "*.pkg", 7}}), kListDamaged},
      {"a control character", indexOf({{100, 1, "a\tb.pkg", 7}}), kListDamaged},
      {"dot dot", indexOf({{100, 1, "..", 7}}), kListDamaged},
      {"no terminator", indexOf({{100, 1, std::string(50, 'a'), 7}}), kListDamaged},
      {"49 characters", indexOf({{100, 1, std::string(45, 'a') + ".pkg", 7}}), kListBuilt},
  };
  for (const auto& c : cases) {
    FileList l;
    EXPECT_EQ(parseIdx(c.bytes, true, true, l), c.want) << c.what;
  }
  // Another platform is the first update's test only.
  FileList l;
  EXPECT_EQ(parseIdx(indexOf({{100, 1, "a.pkg", 6}}), true, false, l), kListBuilt);
}

TEST(Index, BuildListTakesThePairsTheInstalledIndexLacks) {
  nxtest::TempDevice dev;
  const std::string installed = indexOf({{100, 1, "a.pkg", 7}, {106, 1, "e.pkg", 7}});
  auto put = [&](const char* rel, const std::string& bytes) { dev.writeFile(rel, bytes); };
  FileList l;
  put("Temp/installed.dat", installed);

  put("Temp/new.dat", installed);
  EXPECT_EQ(buildList(u"\\Temp\\installed.dat", u"\\Temp\\new.dat", l), kListNothingNew);
  // Same names, new sequence numbers, and a new type: fetched; the rest not.
  put("Temp/new.dat", indexOf({{100, 1, "a.pkg", 7}, {100, 2, "a.pkg", 7}, {101, 1, "b.pkg", 7}}));
  ASSERT_EQ(buildList(u"\\Temp\\installed.dat", u"\\Temp\\new.dat", l), kListBuilt);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(l[0].sequence, 2);
  EXPECT_EQ(l[1].name, u"b.pkg");
  // The new index's head is checked on later updates too.
  put("Temp/new.dat", indexOf({{100, 2, "a.pkg", 7}}, nx::upd::kFamilyPackage, 99));
  EXPECT_EQ(buildList(u"\\Temp\\installed.dat", u"\\Temp\\new.dat", l), kListDamaged);
  // A first update takes every entry; a missing new index cannot be read.
  put("Temp/new.dat", installed);
  ASSERT_EQ(buildList(u"\\Temp\\none.dat", u"\\Temp\\new.dat", l), kListBuilt);
  EXPECT_EQ(l.size(), 2u);
  EXPECT_EQ(buildList(u"\\Temp\\installed.dat", u"\\Temp\\missing.dat", l), kListCannotRead);
  // CheckPackage: the head's family and platform.
  put("Temp/p1", updtest::packageOf("body"));
  put("Temp/p2", updtest::packageOf("body", nx::upd::kFamilyIndexAlt));
  put("Temp/p3", updtest::packageOf("body", nx::upd::kKindAlt1));
  put("Temp/p4", updtest::packageOf("body", nx::upd::kKindPackage, 6));
  put("Temp/p5", updtest::packageOf("body").substr(0, 50));
  EXPECT_TRUE(checkPackage(u"\\Temp\\p1"));
  EXPECT_TRUE(checkPackage(u"\\Temp\\p2"));
  EXPECT_FALSE(checkPackage(u"\\Temp\\p3"));
  EXPECT_FALSE(checkPackage(u"\\Temp\\p4"));
  EXPECT_FALSE(checkPackage(u"\\Temp\\p5"));
  EXPECT_FALSE(checkPackage(u"\\Temp\\missing"));
}

TEST(UpdateKind, CountersFollowWhatWasStaged) {
  struct Case {
    std::vector<std::u16string> staged;
    int counter;  // the byte raised
    int last;     // byte 3 afterwards (-1: unchanged)
  } cases[] = {
      {{u"index.bin", u"index.dat", u"scanver.cnf", u"scan.dll"}, 0, -1},
      {{u"AVAPI.DLL"}, 0, -1},
      {{u"index.bin", u"index.dat", u"scanver.cnf", u"latest.inx"}, 2, 1},
      {{u"LATEST.INX"}, 2, 1},
      {{u"index.bin", u"index.dat", u"scanver.cnf", u"latest.inx", u"sig32ce.inx"}, 1, 0},
      {{u"index.bin", u"index.dat", u"scanver.cnf"}, 1, 0},
      {{u"latest.inx.dll"}, 0, -1},
  };
  for (const auto& c : cases) {
    uint8_t b[4] = {255, 7, 7, 9};
    countUpdate(c.staged, b);
    uint8_t want[4] = {255, 7, 7, 9};
    want[c.counter] = static_cast<uint8_t>(want[c.counter] + 1);  // 255 wraps to 0
    if (c.last >= 0) want[3] = static_cast<uint8_t>(c.last);
    EXPECT_EQ(std::memcmp(b, want, 4), 0) << c.counter << " " << int(b[0]) << int(b[1]) << int(b[2]) << int(b[3]);
  }
}

TEST(Names, PlainFileNamesOnly) {
  for (const char16_t* ok : {u"a", u"sig32ce.inx", u"x y.inx", u"~xn0001.tmp", u"\u00e9t\u00e9.inx"})
    EXPECT_TRUE(plainFileName(ok, 100)) << ce::utf16ToUtf8(ok);
  for (const char16_t* bad : {u"", u".", u"..", u"a\\b", u"a/b", u"c:x", u"a*", u"a?", u"a\"b", u"a<b", u"a>b",
                              u"a|b", u"trailing.", u"trailing ", u" leading", u"\x01"})
    EXPECT_FALSE(plainFileName(bad, 100)) << ce::utf16ToUtf8(bad);
  EXPECT_FALSE(plainFileName(std::u16string(101, u'a'), 100));
}

}  // namespace
