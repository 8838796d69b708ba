// The ARJ member decoders: method 0 (stored), methods 1 to 3 (LZ77 over a
// 26,624-byte dictionary with static Huffman codes sent per block) and
// method 4 (LZ77 with unary-prefixed lengths and positions). They know
// nothing of files: packed bytes come from a PackedSource, decoded bytes go
// to a PlainSink in dictionary-sized blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::arj {

inline constexpr uint32_t kDictionarySize = 26624;
inline constexpr int32_t kInputBlock = 4096;

// The packed data of one member. fill() stores up to capacity bytes and
// answers how many; 0 means the member's packed data (or the file) is used up.
class PackedSource {
 public:
  virtual int32_t fill(uint8_t* buffer, int32_t capacity) = 0;

 protected:
  ~PackedSource() = default;
};

// Where decoded bytes go. false stops decoding (the output cannot be written).
class PlainSink {
 public:
  virtual bool put(const uint8_t* data, size_t length) = 0;

 protected:
  ~PlainSink() = default;
};

enum class DecodeResult {
  Complete,     // the uncompressed size was produced (stored: the packed size copied)
  BadData,      // a table that cannot be built, a position outside the dictionary,
                // or the packed data used up before the member was complete
  NoMemory,     // the dictionary could not be had; nothing was produced
  OutputFailed  // the sink refused bytes
};

// Methods 0 to 4; any other method answers BadData without reading.
// Methods 1 to 4 produce exactly originalSize bytes when the data is sound
// and never more. Stored members copy the packed data as it is.
DecodeResult decodeMember(int method, PackedSource& in, uint32_t originalSize, PlainSink& out);

}  // namespace nx::arj
