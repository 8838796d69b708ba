#include "arjkit/arj_headers.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "arjkit/arj_decoder.h"
#include "common/crc32.h"

namespace nx::arj {

namespace {

constexpr uint16_t kHeaderId = 0xEA60;
// The fixed fields of a basic header end at offset 30; anything shorter
// cannot be a header, whatever its CRC says.
constexpr int32_t kFixedFields = 30;
constexpr uint8_t kHostUnix = 2;
constexpr int32_t kOpenArchive = NX_O_BINARY;
constexpr int32_t kOpenBinaryOutput = NX_O_BINARY | NX_O_TRUNC | NX_O_CREAT | NX_O_WRONLY;  // 0x8301
constexpr int32_t kOpenTextOutput = NX_O_TRUNC | NX_O_CREAT | NX_O_WRONLY;                   // 0x0301
constexpr int32_t kShareOutput = 0x0180;

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The fields of the header being processed.
struct Header {
  uint8_t firstSize = 0;
  uint8_t version = 0;
  uint8_t minVersion = 0;
  uint8_t hostOs = 0;
  uint8_t flags = 0;
  uint8_t method = 0;
  uint8_t fileType = 0;
  uint32_t packedSize = 0;
  uint32_t originalSize = 0;
  uint32_t crc = 0;
  char name[kNameCapacity] = {};      // working copy (bit 7 cleared for foreign hosts)
  char reported[kNameCapacity] = {};  // as stored
  char comment[kCommentCapacity] = {};
};

// One open archive; closed when the walk ends.
class Archive {
 public:
  explicit Archive(FileWrapObject* files) : fw_(files) {}
  ~Archive() { close(); }
  bool open(const char* path) {
    h_ = fw_->ops->OpenA(fw_, path, kOpenArchive, 0);
    if (h_ < 0) return false;
    size_ = fw_->ops->Size(fw_, h_);
    return size_ >= 0;
  }
  void close() {
    if (h_ >= 0) fw_->ops->Close(fw_, h_);
    h_ = -1;
  }
  bool readAll(void* buffer, int32_t n) { return n == 0 || fw_->ops->Read(fw_, h_, buffer, n) == n; }
  int32_t read(void* buffer, int32_t n) { return fw_->ops->Read(fw_, h_, buffer, n); }
  bool seekTo(int64_t at) {
    if (at < 0 || at > INT32_MAX) return false;
    return fw_->ops->Seek(fw_, h_, static_cast<int32_t>(at), NX_SEEK_SET) == at;
  }
  int64_t tell() { return fw_->ops->Tell(fw_, h_); }
  int64_t size() const { return size_; }
  // Moves over packed data or an extended header; false when that would
  // leave the file (the next header read then fails the same way).
  bool skip(int64_t n) {
    int64_t at = tell();
    if (at < 0 || at + n > size_) return false;
    return seekTo(at + n);
  }
  FileWrapObject* files() const { return fw_; }
  int32_t handle() const { return h_; }

 private:
  FileWrapObject* fw_;
  int32_t h_ = -1;
  int64_t size_ = 0;
};

// The main header: the first 0x60 0xEA below the search limit whose size is
// plausible and whose CRC matches. The file is read in overlapping windows
// so that every candidate's header and CRC are at hand in memory.
int64_t findMainHeader(Archive& a, nx::ReaderBudget* budget) {
  const int64_t limit = std::min<int64_t>(a.size() - 2, kSearchLimit);
  if (limit <= 0) return -1;
  constexpr int32_t kStep = 32768;
  constexpr int32_t kTail = 4 + kMaxBasicHeader + 4;
  std::unique_ptr<uint8_t[]> window(new (std::nothrow) uint8_t[kStep + kTail]);
  if (!window) return -1;
  for (int64_t base = 0; base < limit; base += kStep) {
    if (budget && budget->expired()) return -1;
    const int32_t want = static_cast<int32_t>(std::min<int64_t>(kStep + kTail, a.size() - base));
    if (!a.seekTo(base)) return -1;
    int32_t got = a.read(window.get(), want);
    if (got < 2) return -1;
    const int64_t end = std::min<int64_t>(limit, base + kStep);
    const uint8_t* w = window.get();
    for (int64_t p = base; p < end;) {
      const void* hit = std::memchr(w + (p - base), 0x60, static_cast<size_t>(end - p));
      if (!hit) break;
      int32_t at = static_cast<int32_t>(static_cast<const uint8_t*>(hit) - w);
      p = base + at + 1;
      if (at + 4 > got || w[at + 1] != 0xEA) continue;
      int32_t size = le16(w + at + 2);
      if (size < kFixedFields || size > kMaxBasicHeader || at + 4 + size + 4 > got) continue;
      if (nx::crc32(w + at + 4, static_cast<size_t>(size)) == le32(w + at + 4 + size)) return base + at;
    }
  }
  return -1;
}

// Copies the NUL-terminated text at from (at most end) into out, keeping at
// most capacity - 1 bytes; answers where the text ended (past its NUL).
const uint8_t* takeText(const uint8_t* from, const uint8_t* end, char* out, int32_t capacity) {
  int32_t kept = 0;
  while (from < end && *from != 0) {
    if (kept < capacity - 1) out[kept++] = static_cast<char>(*from);
    ++from;
  }
  out[kept] = 0;
  return from < end ? from + 1 : end;
}

// 1 read, 0 end of archive, or a negative code.
int32_t readHeader(Archive& a, Header& h, bool first) {
  uint8_t b[4];
  if (!a.readAll(b, 2) || le16(b) != kHeaderId) return first ? kErrNoMainHeader : kErrHeader;
  if (!a.readAll(b, 2)) return kErrHeader;
  const int32_t size = le16(b);
  if (size == 0) return 0;
  if (size > kMaxBasicHeader) return kErrHeader;
  uint8_t basic[kMaxBasicHeader];
  if (!a.readAll(basic, size) || !a.readAll(b, 4)) return kErrHeader;
  if (nx::crc32(basic, static_cast<size_t>(size)) != le32(b)) return kErrHeaderCrc;
  if (size < kFixedFields || basic[0] < kFixedFields || basic[0] > size) return kErrHeader;

  h.firstSize = basic[0];
  h.version = basic[1];
  h.minVersion = basic[2];
  h.hostOs = basic[3];
  h.flags = basic[4];
  h.method = basic[5];
  h.fileType = basic[6];
  h.packedSize = le32(basic + 12);
  h.originalSize = le32(basic + 16);
  h.crc = le32(basic + 20);
  if ((h.packedSize | h.originalSize) & 0x80000000u) return kErrHeaderCrc;

  const uint8_t* end = basic + size;
  const uint8_t* next = takeText(basic + h.firstSize, end, h.name, kNameCapacity);
  std::memcpy(h.reported, h.name, sizeof h.name);
  takeText(next, end, h.comment, kCommentCapacity);
  if (h.hostOs != kHostUnix) {
    for (char* s = h.name; *s; ++s) *s = static_cast<char>(*s & 0x7F);
    for (char* s = h.comment; *s; ++s) *s = static_cast<char>(*s & 0x7F);
  }

  // Extended headers: size, data and CRC each, until a size of 0.
  for (;;) {
    if (!a.readAll(b, 2)) return kErrHeader;
    const int32_t ext = le16(b);
    if (ext == 0) break;
    if (!a.skip(int64_t(ext) + 4)) return kErrHeader;
  }
  return 1;
}

// The common start of both entries: open, find the main header, read it.
int32_t start(Archive& a, const char* path, Header& h, WalkReport& report, nx::ReaderBudget* budget) {
  if (!path || !a.open(path)) return kErrNotOpenable;
  const int64_t at = findMainHeader(a, budget);
  if (at < 0) return kErrNoMainHeader;
  report.headerOffset = static_cast<int32_t>(at);
  if (!a.seekTo(at) || readHeader(a, h, true) != 1) return kErrMainHeader;
  return 1;
}

// The packed bytes of the current member, the first read ending on a
// 4,096-byte boundary of the archive. A short read ends the data.
class MemberSource final : public PackedSource {
 public:
  MemberSource(Archive& a, uint32_t packed) : a_(a), left_(packed) {}
  int32_t fill(uint8_t* buffer, int32_t capacity) override {
    if (left_ == 0) return 0;
    int32_t want = static_cast<int32_t>(std::min<uint32_t>(left_, static_cast<uint32_t>(capacity)));
    if (first_) {
      first_ = false;
      int64_t at = a_.tell();
      if (at >= 0) want = std::min<int32_t>(want, kInputBlock - static_cast<int32_t>(at % kInputBlock));
    }
    int32_t got = a_.read(buffer, want);
    if (got <= 0) {
      left_ = 0;
      return 0;
    }
    left_ = got < want ? 0 : left_ - static_cast<uint32_t>(got);
    return got;
  }

 private:
  Archive& a_;
  uint32_t left_;
  bool first_ = true;
};

// Decoded bytes: all into the CRC; to the output unless counting; text
// members from foreign hosts with bit 7 cleared.
class MemberSink final : public PlainSink {
 public:
  MemberSink(FileWrapObject* files, int32_t handle, bool clearBit7, nx::ReaderBudget* budget)
      : fw_(files), h_(handle), clear_(clearBit7), budget_(budget) {}
  bool put(const uint8_t* data, size_t length) override {
    if (budget_) {
      // Tables of one symbol make output in no bits at all: what is made
      // counts, and the work stops when its time is up.
      if (budget_->expired()) return false;
      budget_->produced(length);
    }
    crc_ = nx::crc32Update(crc_, data, length);
    if (h_ < 0) return true;
    if (!clear_) return write(data, length);
    uint8_t masked[kInputBlock];
    while (length > 0) {
      size_t n = std::min<size_t>(length, sizeof masked);
      for (size_t k = 0; k < n; ++k) masked[k] = data[k] & 0x7F;
      if (!write(masked, n)) return false;
      data += n;
      length -= n;
    }
    return true;
  }
  uint32_t crc() const { return ~crc_; }

 private:
  bool write(const uint8_t* data, size_t length) {
    return fw_->ops->Write(fw_, h_, data, static_cast<int32_t>(length)) == static_cast<int32_t>(length);
  }
  FileWrapObject* fw_;
  int32_t h_;
  bool clear_;
  nx::ReaderBudget* budget_;
  uint32_t crc_ = nx::kCrc32Init;
};

void countError(WalkReport& report, int32_t code) {
  ++report.errors;
  report.lastError = code;
}

void copyName(char* out, const char* from) {
  size_t n = std::min<size_t>(std::strlen(from), kCallerNameCapacity - 1);
  std::memcpy(out, from, n);
  out[n] = 0;
}

// The current member, its header just read, into outputPath (decoded and
// checked only, when testOnly).
void extractCurrent(Archive& a, Header& h, const char* outputPath, char* name, WalkReport& report,
                    bool testOnly = false, nx::ReaderBudget* budget = nullptr) {
  if (h.minVersion > 3) return countError(report, kMemberVersion);
  if (h.flags & 0x01) return countError(report, kMemberGarbled);
  if (h.method > 4 || (h.method == 4 && h.version == 1)) return countError(report, kMemberMethod);
  if (h.fileType > 1) return countError(report, kMemberType);
  // Once the budget stopped the walk, no member is made any more.
  if (budget && (budget->stopped() || !budget->allows(h.method == 0 ? h.packedSize : h.originalSize)))
    return countError(report, kMemberLimit);

  FileWrapObject* fw = a.files();
  const bool text = h.fileType == 1;
  int32_t out = testOnly ? -1
                : outputPath ? fw->ops->OpenA(fw, outputPath, text ? kOpenTextOutput : kOpenBinaryOutput, kShareOutput)
                           : -1;
  if (out < 0 && !testOnly) {
    a.skip(h.packedSize);
    return countError(report, kMemberOutput);
  }
  copyName(name, h.name);
  MemberSink sink(fw, out, text && h.hostOs != kHostUnix, budget);
  MemberSource source(a, h.packedSize);
  decodeMember(h.method, source, h.originalSize, sink);
  if (out >= 0) fw->ops->Close(fw, out);
  if (sink.crc() != h.crc) countError(report, kMemberCrc);
}

// Opens the archive, finds its main header and runs walk over the members
// with one header record; walk returns what a sound walk answers, and any
// counted error answers kErrCounted instead. The report goes out either way.
template <class Walk>
int32_t walkArchive(FileWrapObject* files, const char* archivePath, WalkReport* reportOut, Walk walk,
                    nx::ReaderBudget* budget = nullptr) {
  if (!files) return kErrNotOpenable;
  WalkReport report;
  auto h = std::unique_ptr<Header>(new (std::nothrow) Header);
  if (!h) return kErrNotOpenable;
  Archive a(files);
  int32_t r = start(a, archivePath, *h, report, budget);
  if (reportOut) *reportOut = report;
  if (r != 1) return r;
  const int32_t sound = walk(a, *h, report);
  if (reportOut) *reportOut = report;
  return report.errors ? kErrCounted : sound;
}

}  // namespace

int32_t countMembers(FileWrapObject* files, const char* archivePath, WalkReport* reportOut, WalkPlace* place,
                     nx::ReaderBudget* budget) {
  return walkArchive(
      files, archivePath, reportOut,
      [&](Archive& a, Header& h, WalkReport&) {
        if (place) place->next = a.tell();
        int32_t count = 0;
        while (readHeader(a, h, false) > 0) {
          ++count;
          if (!a.skip(h.packedSize)) break;
        }
        return count;
      },
      budget);
}

int32_t extractAt(FileWrapObject* files, const char* archivePath, WalkPlace& place, const char* outputPath, char* name,
                  WalkReport* reportOut, nx::ReaderBudget* budget) {
  if (!files) return kErrNotOpenable;
  WalkReport report;
  auto h = std::unique_ptr<Header>(new (std::nothrow) Header);
  if (!h) return kErrNotOpenable;
  Archive a(files);
  if (!archivePath || !a.open(archivePath)) return kErrNotOpenable;
  if (place.next < 0 || !a.seekTo(place.next)) return kErrHeader;
  const int32_t r = readHeader(a, *h, false);
  if (r < 0) return r;
  if (r == 0) return 1;  // the archive's end: nothing written
  const int64_t data = a.tell();
  char scratch[kCallerNameCapacity];
  if (name) copyName(name, h->reported);
  extractCurrent(a, *h, outputPath, name ? name : scratch, report, false, budget);
  place.next = data < 0 ? -1 : data + h->packedSize;
  if (reportOut) *reportOut = report;
  return report.errors ? kErrCounted : 1;
}

int32_t testMembers(FileWrapObject* files, const char* archivePath, WalkReport* reportOut) {
  return walkArchive(files, archivePath, reportOut, [](Archive& a, Header& h, WalkReport& report) {
    int32_t count = 0;
    char scratch[kCallerNameCapacity];
    while (readHeader(a, h, false) > 0) {
      ++count;
      const int64_t data = a.tell();
      extractCurrent(a, h, nullptr, scratch, report, true);
      if (data < 0 || !a.seekTo(data) || !a.skip(h.packedSize)) break;
    }
    return count;
  });
}

int32_t extractMember(FileWrapObject* files, const char* archivePath, int32_t n, const char* outputPath, char* name,
                      WalkReport* reportOut) {
  return walkArchive(files, archivePath, reportOut, [&](Archive& a, Header& h, WalkReport& report) {
    for (int32_t index = 1; readHeader(a, h, false) > 0; ++index) {
      if (index == n) {
        char scratch[kCallerNameCapacity];
        if (name) copyName(name, h.reported);
        extractCurrent(a, h, outputPath, name ? name : scratch, report);
        break;
      }
      if (!a.skip(h.packedSize)) break;
    }
    return 1;
  });
}

}  // namespace nx::arj
