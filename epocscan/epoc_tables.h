// The 30 EPOC category tables in search order, the order their files are
// loaded in, and the decoded record layout. Shared by the EPOC scanner and
// the signature compiler.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::epoc {

struct TableInfo {
  const char16_t* wfile;  // file name as the scanner opens it
  const char* file;       // the same, for the compiler
  const char* label;
  std::uint8_t kind;      // 0: always searched; 1: searched when mask & categoryMask
  std::uint16_t mask;
  std::uint16_t code;     // table code of the threat record
  bool notAVirus;         // names get the suffix " (Not a Virus)"
};

inline constexpr const char16_t* kNotAVirus = u" (Not a Virus)";

#define NX_EPOC_TABLE(stem, ext, label, kind, mask, code, pua) \
  {u"" stem "." ext, stem "." ext, label, kind, mask, code, pua}

inline constexpr TableInfo kTables[30] = {
    NX_EPOC_TABLE("sigmworm", "in0", "Hourly Worms", 0, 0, 64, false),
    NX_EPOC_TABLE("sigmworm", "in1", "Daily Worms", 0, 0, 68, false),
    NX_EPOC_TABLE("sigmworm", "in2", "Weekly Worms", 0, 0, 103, false),
    NX_EPOC_TABLE("sigmworm", "in3", "FortNightly Worms", 0, 0, 104, false),
    NX_EPOC_TABLE("sigmworm", "in4", "Monthly Worms", 0, 0, 105, false),
    NX_EPOC_TABLE("sigmbkdr", "in0", "Hourly BackDoors", 1, 1, 61, false),
    NX_EPOC_TABLE("sigmbkdr", "in1", "Daily BackDoors", 1, 1, 65, false),
    NX_EPOC_TABLE("sigmbkdr", "in2", "Weekly BackDoors", 1, 1, 94, false),
    NX_EPOC_TABLE("sigmbkdr", "in3", "FortNightly BackDoors", 1, 1, 95, false),
    NX_EPOC_TABLE("sigmbkdr", "in4", "Monthly BackDoors", 1, 1, 96, false),
    NX_EPOC_TABLE("sigmtrjn", "in0", "Hourly Trojans", 1, 2, 62, false),
    NX_EPOC_TABLE("sigmtrjn", "in1", "Daily Trojans", 1, 2, 66, false),
    NX_EPOC_TABLE("sigmtrjn", "in2", "Weekly Trojans", 1, 2, 97, false),
    NX_EPOC_TABLE("sigmtrjn", "in3", "FortNightly Trojans", 1, 2, 98, false),
    NX_EPOC_TABLE("sigmtrjn", "in4", "Monthly Trojans", 1, 2, 99, false),
    NX_EPOC_TABLE("sigmware", "in0", "Hourly Xware", 1, 4, 63, true),
    NX_EPOC_TABLE("sigmware", "in1", "Daily Xware", 1, 4, 67, true),
    NX_EPOC_TABLE("sigmware", "in2", "Weekly Xware", 1, 4, 100, true),
    NX_EPOC_TABLE("sigmware", "in3", "FortNightly Xware", 1, 4, 101, true),
    NX_EPOC_TABLE("sigmware", "in4", "Monthly Xware", 1, 4, 102, true),
    NX_EPOC_TABLE("sigmspwr", "in0", "Hourly SpyWare", 1, 4, 107, true),
    NX_EPOC_TABLE("sigmspwr", "in1", "Daily SpyWare", 1, 4, 108, true),
    NX_EPOC_TABLE("sigmspwr", "in2", "Weekly SpyWare", 1, 4, 109, true),
    NX_EPOC_TABLE("sigmspwr", "in3", "FortNightly SpyWare", 1, 4, 110, true),
    NX_EPOC_TABLE("sigmspwr", "in4", "Monthly SpyWare", 1, 4, 111, true),
    NX_EPOC_TABLE("sigmworm", "inx", "Worms", 0, 0, 60, false),
    NX_EPOC_TABLE("sigmbkdr", "inx", "BackDoors", 1, 1, 57, false),
    NX_EPOC_TABLE("sigmtrjn", "inx", "Trojans", 1, 2, 58, false),
    NX_EPOC_TABLE("sigmware", "inx", "Xware", 1, 4, 59, true),
    NX_EPOC_TABLE("sigmspwr", "inx", "SpyWare", 1, 4, 106, true),
};
#undef NX_EPOC_TABLE

// Load order as indexes into kTables: the base files (bkdr, trjn, ware, worm,
// spwr), then the monthly, fortnightly, weekly, daily and hourly increments,
// each in that category order.
inline constexpr std::uint8_t kLoadOrder[30] = {
    26, 27, 28, 25, 29,  // .inx
    9,  14, 19, 4,  24,  // .in4
    8,  13, 18, 3,  23,  // .in3
    7,  12, 17, 2,  22,  // .in2
    6,  11, 16, 1,  21,  // .in1
    5,  10, 15, 0,  20,  // .in0
};

// Decoded record layout (the 72 bytes kept of each 76 stored).
namespace rec {
inline constexpr std::size_t kStored = 76, kKept = 72;
inline constexpr std::size_t kName = 4, kNameBytes = 30;
inline constexpr std::size_t kKey = 35;
inline constexpr std::size_t kHeaderCrc = 39;
inline constexpr std::size_t kRegionA = 43, kRegionB = 52, kRegionC = 61;  // offset(4) length(1) crc(4)
}  // namespace rec

}  // namespace nx::epoc
