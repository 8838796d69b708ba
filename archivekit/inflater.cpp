#include "archivekit/inflater.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <zlib.h>

namespace nx::sis {

namespace {

// The zlib interface version the stream is initialised for.
constexpr const char* kZlibVersion = "1.1.3";

// Margins kept for the step-by-step tail. zlib pulls input bytes only when
// the bits it holds run short and writes output as it decodes, so once the
// bulk part stops short of both limits and the first single steps have run,
// the stream is in the same state the all-single-step loop reaches there;
// the limits themselves are then met by identical single steps.
constexpr size_t kInputTail = 16;
constexpr size_t kOutputTail = 64;

struct Stream {
  z_stream s{};
  bool live = false;
  bool init() {
    live = inflateInit_(&s, kZlibVersion, static_cast<int>(sizeof(z_stream))) == Z_OK;
    return live;
  }
  bool end() {
    live = false;
    return inflateEnd(&s) == Z_OK;
  }
  ~Stream() {
    if (live) inflateEnd(&s);
  }
};

// One input byte and one output byte per inflate step from the stream's
// current totals on. Answers false on a corrupt stream.
bool stepTo(Stream& st, const uint8_t* in, size_t n, uint8_t* out, size_t m) {
  z_stream& s = st.s;
  while (s.total_out < m && s.total_in < n) {
    s.next_in = const_cast<Bytef*>(in + s.total_in);
    s.avail_in = 1;
    s.next_out = out + s.total_out;
    s.avail_out = 1;
    int r = inflate(&s, Z_NO_FLUSH);
    if (r == Z_STREAM_END) break;
    if (r != Z_OK) return false;
  }
  return true;
}

}  // namespace

size_t inflateStepwise(const uint8_t* in, size_t n, uint8_t* out, size_t m) {
  Stream st;
  if (!st.init()) return 0;
  bool ok = stepTo(st, in, n, out, m);
  size_t produced = st.s.total_out;
  if (!st.end() || !ok) return 0;
  return produced;
}

size_t inflateBuffer(const uint8_t* in, size_t n, uint8_t* out, size_t m) {
  Stream st;
  if (!st.init()) return 0;
  z_stream& s = st.s;
  // A stream that ends inside both limits in one call is what single steps
  // reach as well: they stop only at the end, at m bytes (the same bytes, the
  // trailer unread) or at the n-th input byte, which zlib takes only for the
  // trailer's last byte and which then ends the stream in that same step.
  if (n <= 0x40000000u && m <= 0x40000000u) {
    s.next_in = const_cast<Bytef*>(in);
    s.avail_in = static_cast<uInt>(n);
    s.next_out = out;
    s.avail_out = static_cast<uInt>(m);
    if (inflate(&s, Z_NO_FLUSH) == Z_STREAM_END) {
      size_t produced = s.total_out;
      return st.end() ? produced : 0;
    }
    // Corrupt, cut short or longer than m: decide it the careful way.
    if (inflateReset(&s) != Z_OK) return 0;
  }
  // Bulk part: never within the tail margins of either limit.
  while (n > kInputTail && m > kOutputTail && s.total_in < n - kInputTail && s.total_out < m - kOutputTail) {
    size_t inLeft = n - kInputTail - s.total_in;
    size_t outLeft = m - kOutputTail - s.total_out;
    s.next_in = const_cast<Bytef*>(in + s.total_in);
    s.avail_in = static_cast<uInt>(inLeft > 0x40000000u ? 0x40000000u : inLeft);
    s.next_out = out + s.total_out;
    s.avail_out = static_cast<uInt>(outLeft > 0x40000000u ? 0x40000000u : outLeft);
    int r = inflate(&s, Z_NO_FLUSH);
    if (r == Z_STREAM_END) {
      size_t produced = s.total_out;
      return st.end() ? produced : 0;
    }
    if (r != Z_OK) {
      st.end();
      return 0;
    }
  }
  bool ok = stepTo(st, in, n, out, m);
  size_t produced = s.total_out;
  if (!st.end() || !ok) return 0;
  return produced;
}

int32_t Inflater::InflateToFile(const uint8_t* input, uint32_t n, uint32_t m, const char16_t* outputPath) {
  if (!files_ || !outputPath || (!input && n)) return 0;
  const FileWrapOps* ops = files_->ops;
  int32_t h = ops->OpenW(files_, outputPath, kOpenInflateOutput, kShareOutput);
  if (h == -1) return 0;
  if (m > kMaxInflated) {
    ops->Close(files_, h);
    return 0;
  }
  std::unique_ptr<uint8_t, decltype(&std::free)> buffer(static_cast<uint8_t*>(std::calloc(m ? m : 1, 1)), &std::free);
  if (!buffer) {
    ops->Close(files_, h);
    return 0;
  }
  size_t produced = inflateBuffer(input, n, buffer.get(), m);
  if (produced == 0) {
    ops->Close(files_, h);
    return 0;
  }
  int32_t written = ops->Write(files_, h, buffer.get(), static_cast<int32_t>(produced));
  ops->Close(files_, h);
  return written == static_cast<int32_t>(produced) ? 1 : 0;
}

}  // namespace nx::sis
