// The ARJ compressed method the package builder writes: method 1, LZ77 over
// the format's 26,624-byte dictionary with Huffman codes sent per block
// (the code-length code, the literal/length code and the position code, as
// arj's own decoder and arjkit.dll read them). Methods 1 to 3 share this
// stream format; they differ only in how hard the archiver searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nxpack::arj {

inline constexpr uint32_t kDictionary = 26624;
inline constexpr int kMinMatch = 3;
inline constexpr int kMaxMatch = 256;

// The packed bytes of data (empty for empty data).
std::vector<uint8_t> packMethod1(const uint8_t* data, size_t size);

// Huffman code lengths of at most 16 bits for n symbols with the given
// counts (0 for unused symbols). Fewer than two used symbols get no lengths:
// the format sends such a code as the symbol alone.
void codeLengths(const uint32_t* freq, int n, uint8_t* len);

}  // namespace nxpack::arj
