// The 30 Windows CE category tables in search order, and the order their files are loaded in.
// Shared by the category scanner and the signature compiler.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::category {

struct TableInfo {
  const char16_t* wfile;  // file name as the scanner opens it
  const char* file;       // the same, for the compiler
  const char* label;
  std::uint8_t kind;      // 0: always searched; 1: searched when mask & categoryMask
  std::uint16_t mask;
  std::uint16_t code;     // table code of the threat record
};

#define NX_CAT_TABLE(stem, ext, label, kind, mask, code) \
  {u"" stem "." ext, stem "." ext, label, kind, mask, code}

inline constexpr TableInfo kTables[30] = {
    NX_CAT_TABLE("sigwworm", "in0", "Hourly Worms", 0, 0, 33),
    NX_CAT_TABLE("sigwworm", "in1", "Daily Worms", 0, 0, 37),
    NX_CAT_TABLE("sigwworm", "in2", "Weekly Worms", 0, 0, 79),
    NX_CAT_TABLE("sigwworm", "in3", "FortNightly Worms", 0, 0, 80),
    NX_CAT_TABLE("sigwworm", "in4", "Monthly Worms", 0, 0, 81),
    NX_CAT_TABLE("sigwbkdr", "in0", "Hourly BackDoors", 1, 1, 30),
    NX_CAT_TABLE("sigwbkdr", "in1", "Daily BackDoors", 1, 1, 34),
    NX_CAT_TABLE("sigwbkdr", "in2", "Weekly BackDoors", 1, 1, 82),
    NX_CAT_TABLE("sigwbkdr", "in3", "FortNightly BackDoors", 1, 1, 83),
    NX_CAT_TABLE("sigwbkdr", "in4", "Monthly BackDoors", 1, 1, 84),
    NX_CAT_TABLE("sigwtrjn", "in0", "Hourly Trojans", 1, 2, 31),
    NX_CAT_TABLE("sigwtrjn", "in1", "Daily Trojans", 1, 2, 35),
    NX_CAT_TABLE("sigwtrjn", "in2", "Weekly Trojans", 1, 2, 85),
    NX_CAT_TABLE("sigwtrjn", "in3", "FortNightly Trojans", 1, 2, 86),
    NX_CAT_TABLE("sigwtrjn", "in4", "Monthly Trojans", 1, 2, 87),
    NX_CAT_TABLE("sigwware", "in0", "Hourly Xware", 1, 4, 32),
    NX_CAT_TABLE("sigwware", "in1", "Daily Xware", 1, 4, 36),
    NX_CAT_TABLE("sigwware", "in2", "Weekly Xware", 1, 4, 88),
    NX_CAT_TABLE("sigwware", "in3", "FortNightly Xware", 1, 4, 89),
    NX_CAT_TABLE("sigwware", "in4", "Monthly Xware", 1, 4, 90),
    NX_CAT_TABLE("sigwspwr", "in0", "Hourly SpyWare", 1, 4, 74),
    NX_CAT_TABLE("sigwspwr", "in1", "Daily SpyWare", 1, 4, 75),
    NX_CAT_TABLE("sigwspwr", "in2", "Weekly SpyWare", 1, 4, 76),
    NX_CAT_TABLE("sigwspwr", "in3", "FortNightly SpyWare", 1, 4, 77),
    NX_CAT_TABLE("sigwspwr", "in4", "Monthly SpyWare", 1, 4, 78),
    NX_CAT_TABLE("sigwworm", "inx", "Worms", 0, 0, 29),
    NX_CAT_TABLE("sigwbkdr", "inx", "BackDoors", 1, 1, 26),
    NX_CAT_TABLE("sigwtrjn", "inx", "Trojans", 1, 2, 27),
    NX_CAT_TABLE("sigwware", "inx", "Xware", 1, 4, 28),
    NX_CAT_TABLE("sigwspwr", "inx", "SpyWare", 1, 4, 73),
};
#undef NX_CAT_TABLE

// Load order as indexes into kTables: the base files (bkdr, trjn, ware, worm, spwr), then the
// monthly, fortnightly, weekly, daily and hourly increments, each in that category order.
inline constexpr std::uint8_t kLoadOrder[30] = {
    26, 27, 28, 25, 29,  // .inx
    9,  14, 19, 4,  24,  // .in4
    8,  13, 18, 3,  23,  // .in3
    7,  12, 17, 2,  22,  // .in2
    6,  11, 16, 1,  21,  // .in1
    5,  10, 15, 0,  20,  // .in0
};

// Decoded record layout (the 81 bytes the scanner keeps of each 89 stored).
namespace rec {
inline constexpr std::size_t kName = 4, kNameBytes = 30;
inline constexpr std::size_t kKey = 35;
inline constexpr std::size_t kSection = 43, kSectionBytes = 9;
inline constexpr std::size_t kRegionA = 52, kRegionB = 61, kRegionC = 70;  // offset(4) length(1) crc(4)
inline constexpr std::size_t kFlags = 79;
inline constexpr std::uint8_t kFlagSectionName = 1;
inline constexpr std::uint8_t kFlagEndProcess = 4;
}  // namespace rec

}  // namespace nx::category
