// The inflater layer shared by the SIS and SISX readers: one zlib stream held
// in memory becomes one file. The output is built whole in memory (bounded by
// kMaxInflated) and written with one call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filekit/filekit_api.h"

namespace nx::sis {

// Largest member the readers inflate or copy (10 MiB).
inline constexpr uint32_t kMaxInflated = 0xA00000;

// Open flags of the inflated output: binary, read/write, created, truncated.
inline constexpr int32_t kOpenInflateOutput = 0x8302;
inline constexpr int32_t kShareOutput = 0x0180;

// Inflates one zlib stream (header and Adler-32 trailer) from the n input
// bytes into at most m output bytes and answers the number of bytes produced,
// 0 on a corrupt stream. Output stops at m bytes (what lies beyond is never
// checked); a stream cut short yields what its bytes decode to.
//
// inflateStepwise is the reference: one input byte and one output byte per
// inflate step, stopping as soon as m bytes were produced or n consumed.
// inflateBuffer gives exactly the same answer for every input, running the
// bulk of the stream in large steps and only its last bytes step by step.
size_t inflateStepwise(const uint8_t* in, size_t n, uint8_t* out, size_t m);
size_t inflateBuffer(const uint8_t* in, size_t n, uint8_t* out, size_t m);

class Inflater {
 public:
  explicit Inflater(FileWrapObject* files) : files_(files) {}

  // 1 when the inflated data (at least one byte) were written whole to
  // outputPath, else 0. The output is created or truncated first, so it may
  // remain empty after a failure. m above kMaxInflated is refused.
  int32_t InflateToFile(const uint8_t* input, uint32_t n, uint32_t m, const char16_t* outputPath);

 private:
  FileWrapObject* files_;
};

// The layer's factory pair (module state lives in sis_layer.cpp): 1 with a
// new Inflater over the inflater layer's wrapper stored, 0 for a null address,
// when out of memory or while the layer is down; DeleteInflater: 1, 0 for null.
int32_t CreateInflater(Inflater** out);
int32_t DeleteInflater(Inflater* inflater);

}  // namespace nx::sis
