// MSZIP blocks: "CK" followed by raw deflate data whose back-references may
// reach 32 KiB into the previous block's output. zlib's raw inflate decodes
// the deflate data; the previous block's output buffer is handed to it as the
// preset history so that references across blocks resolve to the same bytes.
#include <zlib.h>

#include <cstring>
#include <new>

#include "archivekit/decompressor.h"

namespace nx::cab {

namespace {

class MszipDecompressor final : public CabDecompressor {
 public:
  ~MszipDecompressor() override {
    if (ready_) inflateEnd(&z_);
  }

  int Init(int) override {
    if (ready_) return kDecodeOk;
    std::memset(&z_, 0, sizeof z_);
    if (inflateInit2(&z_, -MAX_WBITS) != Z_OK) return kDecodeNoMemory;
    ready_ = true;
    return kDecodeOk;
  }

  int Decompress(int packed, int unpacked) override {
    if (unpacked > kOutputSize) return kDecodeFormat;
    if (!ready_ || packed < 2 || unpacked < 0 || packed > kMaxPacked) return kDecodeIllegal;
    if (input[0] != 'C' || input[1] != 'K') return kDecodeIllegal;
    if (inflateReset(&z_) != Z_OK) return kDecodeIllegal;
    // The first block of a folder has no history; a reference before its
    // start is an error rather than a read of whatever the buffer held.
    if (blocks_ > 0 && inflateSetDictionary(&z_, output, kOutputSize) != Z_OK) return kDecodeIllegal;
    z_.next_in = input + 2;
    z_.avail_in = static_cast<uInt>(packed - 2);
    z_.next_out = output;
    z_.avail_out = static_cast<uInt>(unpacked);
    int rc = inflate(&z_, Z_FINISH);
    ++blocks_;
    // The deflate data must end (final block decoded) exactly at the block's
    // unpacked length: more output, less output or a broken code all fail.
    if (rc != Z_STREAM_END || z_.avail_out != 0) return kDecodeIllegal;
    return kDecodeOk;
  }

 private:
  z_stream z_{};
  bool ready_ = false;
  uint32_t blocks_ = 0;
};

}  // namespace

CabDecompressor* newMszipDecompressor() { return new (std::nothrow) MszipDecompressor(); }

}  // namespace nx::cab
