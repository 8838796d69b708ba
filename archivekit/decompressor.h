// The per-folder block decoders of the cabinet reader. One object per folder:
// Init once with the folder's window exponent, then Decompress once per data
// block, in order. The reader fills `input` with a block's packed bytes plus
// two zero bytes; Decompress leaves exactly the block's unpacked bytes at the
// start of `output`. Method state (windows, trees, repeated offsets) persists
// from block to block of the same folder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nx::cab {

// Largest packed data block, the two zero bytes appended after it, and the
// largest unpacked block.
inline constexpr int kMaxPacked = 38912;
inline constexpr int kInputSize = kMaxPacked + 2;
inline constexpr int kOutputSize = 32768;

// Results of Init and Decompress.
enum : int {
  kDecodeOk = 0,
  kDecodeFormat = 1,   // window exponent out of range, run across the window end, oversized block
  kDecodeIllegal = 2,  // bad signature, block type, tree or code, shortfall, length mismatch
  kDecodeNoMemory = 3,
};

// Methods: the low four bits of a folder's compression type.
enum : int { kMethodStored = 0, kMethodMszip = 1, kMethodQuantum = 2, kMethodLzx = 3 };

class CabDecompressor {
 public:
  virtual ~CabDecompressor() = default;
  // windowBits: 0 for stored and MSZIP, (type >> 8) & 0x1F for Quantum and LZX.
  virtual int Init(int windowBits) = 0;
  virtual int Decompress(int packedLength, int unpackedLength) = 0;
  // Bit 0 of flags frees the object; the object's address is returned either way.
  void* Destroy(int flags);

  // A few bytes of slack after the appended zeros keep word-wise readers
  // inside the allocation; they never carry data.
  alignas(16) uint8_t input[kInputSize + 14] = {};
  alignas(16) uint8_t output[kOutputSize] = {};
};

// A new decoder for the method, or null for an unknown method or no memory.
CabDecompressor* createDecompressor(int method);

// Factories of the four methods (nothrow; null when out of memory).
CabDecompressor* newStoredDecompressor();
CabDecompressor* newMszipDecompressor();     // zlib's raw inflate
CabDecompressor* newOwnMszipDecompressor();  // our own deflate decoder (measured against it)
CabDecompressor* newQuantumDecompressor();
CabDecompressor* newLzxDecompressor();

}  // namespace nx::cab
