// The schedule file "upgcnf.dat" in the installation directory: how many
// minutes lie between two scheduled updates for each update source. It is
// kept with the two 4-bit halves of every byte exchanged; the service
// exchanges them back to read it and again afterwards, each pass rewriting
// the file through a copy named the file name plus "x". Plain layout:
//
//   0  u32  marker (not checked; the image carries "UPGC")
//   4  u32  CRC-32 of every byte from offset 8 to the end
//   8  u16  minutes between internet updates
//  10  u16  minutes between local-folder updates
//  12  u16  carried, no meaning to the service
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ce/windows.h"

namespace nx::updsvc {

inline constexpr const ce::WCHAR* kIntervalFileName = u"upgcnf.dat";
inline constexpr const ce::WCHAR* kIntervalCopySuffix = u"x";
inline constexpr size_t kIntervalFileBytes = 14;
// Far more than the file ever holds; a larger file is refused unread, so a
// stray big file is never copied around twice a cycle.
inline constexpr size_t kIntervalFileMaxBytes = 4096;
// "UPGC" as the file stores it (little-endian).
inline constexpr uint32_t kIntervalMarker = 0x43475055u;

struct IntervalValues {
  uint32_t marker = 0;
  uint16_t internetMinutes = 0;
  uint16_t localMinutes = 0;
  uint16_t carried = 0;
};

enum class IntervalStatus {
  Ok,
  Missing,         // neither the file nor a copy of it
  Short,           // fewer bytes than head and values
  BadCrc,          // the checksum does not match
  TooLarge,        // larger than kIntervalFileMaxBytes, left untouched
  Unreadable,      // cannot be opened or read
  SwapFailed,      // the pass that exchanges the halves back failed; the file is as it was
  SwapBackFailed,  // read, but the pass that restores the stored form failed
};

const char* intervalStatusName(IntervalStatus s);

// Checks a plain (un-exchanged) image and takes its values. out is only
// written when the answer is Ok.
IntervalStatus decodeIntervalImage(const uint8_t* data, size_t size, IntervalValues* out);
// The plain image of the values, checksum in place (exchange the halves to
// get the stored form).
std::vector<uint8_t> encodeIntervalImage(const IntervalValues& v);

// One read of the installation's file as the update service does it: a copy
// left by a pass that was cut short is put back first, the halves are
// exchanged back, the file is read and checked, and the stored form is
// restored. Whatever the answer, the file is left in its stored form when
// the passes could run; out is only written on Ok.
IntervalStatus readIntervalFile(const ce::WCHAR* installDir, IntervalValues* out);

}  // namespace nx::updsvc
