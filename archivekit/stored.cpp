// Stored blocks: the packed bytes are the unpacked bytes.
#include <cstring>
#include <new>

#include "archivekit/decompressor.h"

namespace nx::cab {

void* CabDecompressor::Destroy(int flags) {
  void* self = this;
  if (flags & 1) delete this;
  return self;
}

namespace {

class StoredDecompressor final : public CabDecompressor {
 public:
  int Init(int) override { return kDecodeOk; }
  int Decompress(int packed, int unpacked) override {
    if (packed != unpacked || packed < 0 || unpacked > kOutputSize) return kDecodeIllegal;
    std::memcpy(output, input, static_cast<size_t>(unpacked));
    return kDecodeOk;
  }
};

}  // namespace

CabDecompressor* newStoredDecompressor() { return new (std::nothrow) StoredDecompressor(); }

CabDecompressor* createDecompressor(int method) {
  switch (method) {
    case kMethodStored: return newStoredDecompressor();
    case kMethodMszip: return newMszipDecompressor();
    case kMethodQuantum: return newQuantumDecompressor();
    case kMethodLzx: return newLzxDecompressor();
    default: return nullptr;
  }
}

}  // namespace nx::cab
