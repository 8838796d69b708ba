// "sigaif.inx", the store pattern scanner's signature file, and the window
// search over a file. Kept apart from the module so the tests and the fuzz
// target use the very code the scanner loads and searches with.
//
// Layout: 32-bit checksum (sum of bytes 50-149 of every record as stored),
// 32-bit record count n, n records of 152 bytes. Record bytes 0-149 are
// stored XOR the store constant; bytes 150-151 (signed 16-bit pattern
// length) are plain. Decoded: name (50 bytes, ANSI, zero-terminated),
// pattern (100 bytes, already upper case and free of white space), length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/signature_constants.h"

namespace nx::gen::store {

using sig::store::kHeaderSize;
using sig::store::kNameBytes;
using sig::store::kPatternBytes;
using sig::store::kPatternOffset;
using sig::store::kRecordSize;

inline constexpr int32_t kWindow = 2500;
inline constexpr int32_t kStep = 2400;
inline constexpr int16_t kCategory = 112;

struct Record {
  char name[kNameBytes];         // always zero-terminated after decoding
  uint8_t pattern[kPatternBytes];
  int16_t length;                // outside 1..100 the record never matches
};

// The record count the header announces for a file of fileSize bytes, or -1
// when the header and the size disagree (then nothing more is read).
int64_t recordCount(const uint8_t header[kHeaderSize], uint64_t fileSize);
// The header's checksum field.
uint32_t headerChecksum(const uint8_t header[kHeaderSize]);
// Decodes one stored record and adds its checksummed bytes to sum.
void decodeRecord(const uint8_t stored[kRecordSize], Record& out, uint32_t& sum);
// A whole file image: true with the records, false (out emptied) when rejected.
bool parse(const uint8_t* data, size_t size, std::vector<Record>& out);

// Drops TAB, LF, CR and space and folds a-z to upper case; returns the count written.
size_t normalise(const uint8_t* in, size_t n, uint8_t* out);

// Reads up to len bytes at offset; the count read (0 or less: nothing).
using ReadAt = int32_t (*)(void* context, int32_t offset, uint8_t* buffer, int32_t len);
// The index of the first record found, window by window, in a file of
// fileLength bytes; -1 when none is.
int32_t findInFile(const std::vector<Record>& records, int32_t fileLength, ReadAt read, void* context);

}  // namespace nx::gen::store
