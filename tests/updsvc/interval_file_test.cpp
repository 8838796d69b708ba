// The schedule file as the service reads it, on a real device: every way the
// file can be found, what the read answers, and that the file is left in its
// stored form byte for byte whatever happened.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "ce/ce.h"
#include "common/crc32.h"
#include "common/nibble.h"
#include "testkit.h"
#include "upd_fixture.h"
#include "updsvc/interval_file.h"

namespace {

namespace fs = std::filesystem;
using nx::updsvc::IntervalStatus;
using nx::updsvc::IntervalValues;
using updsvctest::slurp;
using updsvctest::storedImage;

IntervalValues values(uint16_t internet, uint16_t local, uint16_t carried = 0, uint32_t marker = nx::updsvc::kIntervalMarker) {
  IntervalValues v;
  v.marker = marker;
  v.internetMinutes = internet;
  v.localMinutes = local;
  v.carried = carried;
  return v;
}

std::string plainImage(const IntervalValues& v) {
  auto b = nx::updsvc::encodeIntervalImage(v);
  return std::string(b.begin(), b.end());
}

std::string swapped(std::string s) {
  nx::swapNibbles(s.data(), s.size());
  return s;
}

TEST(IntervalImage, DecodesTheValuesOfASoundImageAndRefusesDamagedOnes) {
  const std::string good = plainImage(values(30, 5, 7, 0));
  std::string badCrc = good;
  badCrc[9] ^= 0x40;
  std::string tail = good + "more";  // the checksum covers a tail as well
  {
    const uint32_t crc = ~nx::crc32Raw(tail.data() + 8, tail.size() - 8);
    for (int i = 0; i < 4; ++i) tail[4 + i] = static_cast<char>(crc >> (8 * i));
  }
  // A head whose checksum matches an empty body, and one over 4 value bytes.
  std::string headOnly(8, '\0');
  {
    const uint32_t crc = ~nx::crc32Raw("", 0);
    for (int i = 0; i < 4; ++i) headOnly[4 + i] = static_cast<char>(crc >> (8 * i));
  }
  std::string shortValues = good.substr(0, 12);
  {
    const uint32_t crc = ~nx::crc32Raw(shortValues.data() + 8, 4);
    for (int i = 0; i < 4; ++i) shortValues[4 + i] = static_cast<char>(crc >> (8 * i));
  }
  struct Case {
    const char* name;
    std::string image;
    IntervalStatus want;
  } cases[] = {
      {"good, marker 0", good, IntervalStatus::Ok},
      {"good, any marker", plainImage(values(1, 2, 3, 0xDEADBEEF)), IntervalStatus::Ok},
      {"good with a tail", tail, IntervalStatus::Ok},
      {"checksum wrong", badCrc, IntervalStatus::BadCrc},
      {"empty", "", IntervalStatus::Short},
      {"shorter than the head", good.substr(0, 7), IntervalStatus::Short},
      {"head only", headOnly, IntervalStatus::Short},
      {"values cut", shortValues, IntervalStatus::Short},
      {"stored form read as plain", swapped(good), IntervalStatus::BadCrc},
      {"too large", std::string(nx::updsvc::kIntervalFileMaxBytes + 1, '\0'), IntervalStatus::TooLarge},
  };
  for (const auto& c : cases) {
    IntervalValues out = values(111, 222, 333, 444);
    IntervalStatus st =
        nx::updsvc::decodeIntervalImage(reinterpret_cast<const uint8_t*>(c.image.data()), c.image.size(), &out);
    EXPECT_EQ(st, c.want) << c.name << ": " << nx::updsvc::intervalStatusName(st);
    if (st != IntervalStatus::Ok) {
      EXPECT_EQ(out.internetMinutes, 111) << c.name << ": out written on failure";
    }
  }
  IntervalValues out;
  ASSERT_EQ(nx::updsvc::decodeIntervalImage(reinterpret_cast<const uint8_t*>(good.data()), good.size(), &out),
            IntervalStatus::Ok);
  EXPECT_EQ(out.internetMinutes, 30);
  EXPECT_EQ(out.localMinutes, 5);
  EXPECT_EQ(out.carried, 7);
}

// The image the build installs: a day for internet updates, an hour for a
// local folder, the "UPGC" marker, in the stored form.
TEST(IntervalImage, TheInstallImageCarriesTheDefaults) {
  std::string stored = slurp(updsvctest::buildFile("image/upgcnf.dat"));
  ASSERT_EQ(stored.size(), nx::updsvc::kIntervalFileBytes);
  std::string plain = swapped(stored);
  IntervalValues v;
  ASSERT_EQ(nx::updsvc::decodeIntervalImage(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), &v),
            IntervalStatus::Ok);
  EXPECT_EQ(v.internetMinutes, 1440);
  EXPECT_EQ(v.localMinutes, 60);
  EXPECT_EQ(v.carried, 0);
  EXPECT_EQ(plain.substr(0, 4), "UPGC");
  EXPECT_EQ(stored, storedImage(v)) << "the generator and the service agree on the layout";
}

class IntervalFileTest : public ::testing::Test {
 protected:
  nxtest::TempDevice dev{1.0};
  const std::u16string install = u"\\Program Files\\Nyxel\\Nyxel AntiVirus";
  std::string dir = dev.host("Program Files/Nyxel/Nyxel AntiVirus");
  std::string file = dir + "/upgcnf.dat";
  std::string copy = dir + "/upgcnf.datx";

  void SetUp() override { fs::create_directories(dir); }
  void put(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  IntervalStatus read(IntervalValues* v) { return nx::updsvc::readIntervalFile(install.c_str(), v); }
  void setReadOnly(bool on) {
    ASSERT_TRUE(ce::SetFileAttributesW((install + u"\\upgcnf.dat").c_str(),
                                       on ? ce::FILE_ATTRIBUTE_READONLY : ce::FILE_ATTRIBUTE_NORMAL));
  }
};

// Each way the file can lie in the folder; after the read the folder holds
// exactly the expected file (in its stored form) and no copy.
TEST_F(IntervalFileTest, EveryStateOfTheFolderReadsAndLeavesTheStoredForm) {
  const std::string good = storedImage(values(30, 5, 9));
  const std::string damaged = storedImage(values(30, 5), true);
  const std::string shortFile = good.substr(0, 6);
  struct Case {
    const char* name;
    std::optional<std::string> file;  // none: no such file
    std::optional<std::string> copy;
    IntervalStatus want;
    std::string after;
  } cases[] = {
      {"good", good, {}, IntervalStatus::Ok, good},
      {"checksum wrong", damaged, {}, IntervalStatus::BadCrc, damaged},
      {"short", shortFile, {}, IntervalStatus::Short, shortFile},
      {"empty", "", {}, IntervalStatus::Short, ""},
      {"missing", {}, {}, IntervalStatus::Missing, ""},
      // A second pass cut short after its delete: the copy is the stored form.
      {"missing, stored copy", {}, good, IntervalStatus::Ok, good},
      // A first pass cut short after its delete: the copy is plain.
      {"missing, plain copy", {}, plainImage(values(30, 5, 9)), IntervalStatus::Ok, good},
      {"missing, damaged copy", {}, damaged, IntervalStatus::BadCrc, damaged},
      // A pass cut short before its delete: the file is whole, the copy stale.
      {"file and a stale copy", good, std::string("stale"), IntervalStatus::Ok, good},
      // A second pass that failed left the file plain.
      {"left plain", plainImage(values(30, 5, 9)), {}, IntervalStatus::Ok, good},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(file);
    fs::remove(copy);
    if (c.file) put(file, *c.file);
    if (c.copy) put(copy, *c.copy);
    IntervalValues v = values(0, 0);
    IntervalStatus st = read(&v);
    EXPECT_EQ(st, c.want) << nx::updsvc::intervalStatusName(st);
    if (st == IntervalStatus::Ok) {
      EXPECT_EQ(v.internetMinutes, 30);
      EXPECT_EQ(v.localMinutes, 5);
      EXPECT_EQ(v.carried, 9);
    }
    if (c.want == IntervalStatus::Missing) {
      EXPECT_FALSE(fs::exists(file));
    } else {
      EXPECT_EQ(slurp(file), c.after);
    }
    EXPECT_FALSE(fs::exists(copy)) << "a copy was left behind";
  }
}

TEST_F(IntervalFileTest, ManyReadsLeaveTheFileByteForByte) {
  for (const std::string& bytes : {storedImage(values(1440, 60)), storedImage(values(1, 1), true)}) {
    put(file, bytes);
    for (int i = 0; i < 25; ++i) read(nullptr);
    EXPECT_EQ(slurp(file), bytes);
    EXPECT_FALSE(fs::exists(copy));
  }
}

// A file the service cannot replace: the first pass fails before it deletes
// anything, so the file stays as it is and no values are taken.
TEST_F(IntervalFileTest, AFileThatCannotBeReplacedIsRefusedAndKept) {
  const std::string good = storedImage(values(30, 5));
  put(file, good);
  setReadOnly(true);
  IntervalValues v = values(0, 0);
  EXPECT_EQ(read(&v), IntervalStatus::SwapFailed);
  EXPECT_EQ(v.internetMinutes, 0);
  EXPECT_EQ(slurp(file), good);
  EXPECT_FALSE(fs::exists(copy));
  setReadOnly(false);
  EXPECT_EQ(read(&v), IntervalStatus::Ok);
  EXPECT_EQ(v.internetMinutes, 30);
  EXPECT_EQ(slurp(file), good);
}

// The second pass failing (the plain file cannot be replaced): the values
// are refused, since the stored form could not be restored; once the file
// can be replaced again the next read restores it.
TEST_F(IntervalFileTest, ASwapBackThatFailsRefusesTheValuesAndTheNextReadHeals) {
  put(file, plainImage(values(30, 5)));
  setReadOnly(true);
  IntervalValues v = values(0, 0);
  EXPECT_EQ(read(&v), IntervalStatus::SwapBackFailed);
  EXPECT_EQ(v.internetMinutes, 0);
  EXPECT_EQ(slurp(file), plainImage(values(30, 5))) << "nothing was scrambled";
  EXPECT_FALSE(fs::exists(copy));
  setReadOnly(false);
  EXPECT_EQ(read(&v), IntervalStatus::Ok);
  EXPECT_EQ(slurp(file), storedImage(values(30, 5)));
}

// The guard holding the file open without delete sharing, as a scan does.
TEST_F(IntervalFileTest, AFileHeldOpenByAnotherIsRefusedAndKept) {
  const std::string good = storedImage(values(30, 5));
  put(file, good);
  ce::HANDLE h = ce::CreateFileW((install + u"\\upgcnf.dat").c_str(), ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr,
                                 ce::OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, ce::INVALID_HANDLE_VALUE);
  EXPECT_EQ(read(nullptr), IntervalStatus::SwapFailed);
  ce::CloseHandle(h);
  EXPECT_EQ(slurp(file), good);
  EXPECT_FALSE(fs::exists(copy));
}

TEST_F(IntervalFileTest, ALargeFileIsNotTouched) {
  const std::string big(nx::updsvc::kIntervalFileMaxBytes + 100, 'A');
  put(file, big);
  EXPECT_EQ(read(nullptr), IntervalStatus::TooLarge);
  EXPECT_EQ(slurp(file), big);
  EXPECT_FALSE(fs::exists(copy));
}

}  // namespace
