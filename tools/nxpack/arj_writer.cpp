#include "arj_writer.h"

#include <stdexcept>

#include "arj_compress.h"
#include "common/crc32.h"

namespace nxpack {

namespace {

constexpr uint8_t kHeaderIdLow = 0x60, kHeaderIdHigh = 0xEA;
constexpr uint8_t kFirstHeaderSize = 30;  // the fixed fields of ARJ 2.x headers
constexpr uint8_t kArchiverVersion = 11;
constexpr uint8_t kMinVersion = 1;        // methods 0 to 3 need nothing newer
// MS-DOS: names are plain ASCII and the access field holds DOS attributes,
// so `arj` on a Unix host applies its own default permissions.
constexpr uint8_t kHostOs = 0;
constexpr uint8_t kFileBinary = 0;
constexpr uint8_t kFileMainHeader = 2;
constexpr uint16_t kAttributeArchive = 0x20;
constexpr size_t kMaxBasicHeader = 2600;

void put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(v >> (8 * k)));
}

}  // namespace

uint32_t arjTime(std::time_t t) {
  std::tm tm{};
  if (!gmtime_r(&t, &tm) || tm.tm_year < 80) return (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
  if (tm.tm_year > 80 + 127) tm.tm_year = 80 + 127;
  return uint32_t(tm.tm_year - 80) << 25 | uint32_t(tm.tm_mon + 1) << 21 | uint32_t(tm.tm_mday) << 16 |
         uint32_t(tm.tm_hour) << 11 | uint32_t(tm.tm_min) << 5 | uint32_t(tm.tm_sec / 2);
}

ArjWriter::ArjWriter(const std::string& archiveName, uint32_t time) {
  std::vector<uint8_t> b = {kFirstHeaderSize, kArchiverVersion, kMinVersion, kHostOs, 0, 0, kFileMainHeader, 0};
  put32(b, time);  // created
  put32(b, time);  // modified
  put32(b, 0);     // archive size
  put32(b, 0);     // security envelope position
  put16(b, 0);     // file name position
  put16(b, 0);     // security envelope length
  b.push_back(0);  // encryption version
  b.push_back(0);  // last chapter
  b.insert(b.end(), archiveName.begin(), archiveName.end());
  b.push_back(0);
  b.push_back(0);  // no comment
  header(b);
}

void ArjWriter::header(const std::vector<uint8_t>& basic) {
  if (basic.size() > kMaxBasicHeader) throw std::runtime_error("ARJ header too long");
  out_.push_back(kHeaderIdLow);
  out_.push_back(kHeaderIdHigh);
  put16(out_, static_cast<uint16_t>(basic.size()));
  out_.insert(out_.end(), basic.begin(), basic.end());
  put32(out_, nx::crc32(basic.data(), basic.size()));
  put16(out_, 0);  // no extended headers
}

void ArjWriter::add(const std::string& name, const uint8_t* data, size_t size, uint32_t time, ArjMethod method) {
  if (finished_) throw std::logic_error("ARJ archive already finished");
  if (name.empty() || name.find('\0') != std::string::npos) throw std::invalid_argument("ARJ member name invalid");
  if (size >= 0x80000000u) throw std::invalid_argument(name + ": 2 GiB or more cannot be stored in ARJ");

  std::vector<uint8_t> packed;
  ArjMethod used = ArjMethod::Stored;
  if (method == ArjMethod::Compressed && size > 0) {
    packed = arj::packMethod1(data, size);
    if (packed.size() < size) used = ArjMethod::Compressed;
  }
  const uint8_t* body = used == ArjMethod::Compressed ? packed.data() : data;
  const size_t bodySize = used == ArjMethod::Compressed ? packed.size() : size;

  std::vector<uint8_t> b = {kFirstHeaderSize, kArchiverVersion, kMinVersion, kHostOs, 0,
                            static_cast<uint8_t>(used), kFileBinary, 0};
  put32(b, time);
  put32(b, static_cast<uint32_t>(bodySize));
  put32(b, static_cast<uint32_t>(size));
  put32(b, nx::crc32(data, size));
  put16(b, 0);  // file name position: names carry no folder
  put16(b, kAttributeArchive);
  put16(b, 0);  // host data
  b.insert(b.end(), name.begin(), name.end());
  b.push_back(0);
  b.push_back(0);  // no comment
  header(b);
  if (bodySize) out_.insert(out_.end(), body, body + bodySize);
  lastMethod_ = used;
}

std::vector<uint8_t> ArjWriter::finish() {
  if (finished_) throw std::logic_error("ARJ archive already finished");
  out_.push_back(kHeaderIdLow);
  out_.push_back(kHeaderIdHigh);
  put16(out_, 0);
  finished_ = true;
  return std::move(out_);
}

}  // namespace nxpack
