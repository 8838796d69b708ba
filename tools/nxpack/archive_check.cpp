#include "archive_check.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

#include "arjkit/arj_headers.h"
#include "common/crc32.h"

namespace nxpack {

namespace {

// A file wrapper with one readable file (the archive, whatever path is
// asked for) and any number of written ones, kept per handle until closed.
struct MemoryFiles : FileWrapObject {
  struct Slot {
    bool open = false;
    bool input = false;
    int64_t pos = 0;
    Bytes written;
  };
  const Bytes* archive = nullptr;
  Slot slots[8];
  Bytes lastOutput;
  bool outputSeen = false;

  static MemoryFiles* self(FileWrapObject* o) { return static_cast<MemoryFiles*>(o); }
  bool valid(int32_t h) const { return h >= 0 && h < 8 && slots[h].open; }

  static int32_t open(FileWrapObject* o, const char* path, int32_t flags, int32_t) {
    MemoryFiles* m = self(o);
    if (!path) return -1;
    for (int32_t i = 0; i < 8; ++i)
      if (!m->slots[i].open) {
        m->slots[i] = Slot{};
        m->slots[i].open = true;
        m->slots[i].input = (flags & 3) == 0;
        return i;
      }
    return -1;
  }
  static int32_t seek(FileWrapObject* o, int32_t h, int32_t off, int32_t origin) {
    MemoryFiles* m = self(o);
    if (!m->valid(h)) return -1;
    Slot& s = m->slots[h];
    const int64_t size = s.input ? static_cast<int64_t>(m->archive->size()) : static_cast<int64_t>(s.written.size());
    const int64_t p = (origin == NX_SEEK_SET ? 0 : origin == NX_SEEK_CUR ? s.pos : size) + off;
    if (p < 0 || p > INT32_MAX) return -1;
    s.pos = p;
    return static_cast<int32_t>(p);
  }
  static int32_t read(FileWrapObject* o, int32_t h, void* buf, int32_t n) {
    MemoryFiles* m = self(o);
    if (!m->valid(h) || n < 0 || !m->slots[h].input) return -1;
    Slot& s = m->slots[h];
    const int64_t left = static_cast<int64_t>(m->archive->size()) - s.pos;
    if (left <= 0) return 0;
    const int32_t take = static_cast<int32_t>(std::min<int64_t>(left, n));
    std::memcpy(buf, m->archive->data() + s.pos, static_cast<size_t>(take));
    s.pos += take;
    return take;
  }
  static int32_t write(FileWrapObject* o, int32_t h, const void* buf, int32_t n) {
    MemoryFiles* m = self(o);
    if (!m->valid(h) || m->slots[h].input || n < 0) return -1;
    const auto* p = static_cast<const uint8_t*>(buf);
    m->slots[h].written.insert(m->slots[h].written.end(), p, p + n);
    return n;
  }
  static int32_t close(FileWrapObject* o, int32_t h) {
    MemoryFiles* m = self(o);
    if (!m->valid(h)) return h == -1 ? 0 : -1;
    if (!m->slots[h].input) {
      m->lastOutput = std::move(m->slots[h].written);
      m->outputSeen = true;
    }
    m->slots[h] = Slot{};
    return 0;
  }
  static int32_t tell(FileWrapObject* o, int32_t h) {
    MemoryFiles* m = self(o);
    return m->valid(h) ? static_cast<int32_t>(m->slots[h].pos) : -1;
  }
  static int32_t size(FileWrapObject* o, int32_t h) {
    MemoryFiles* m = self(o);
    if (!m->valid(h)) return -1;
    return m->slots[h].input ? static_cast<int32_t>(m->archive->size()) : static_cast<int32_t>(m->slots[h].written.size());
  }

  static const FileWrapOps* table() {
    static const FileWrapOps ops = [] {
      FileWrapOps t{};
      t.OpenA = open;
      t.Seek = seek;
      t.Read = read;
      t.Write = write;
      t.Close = close;
      t.Tell = tell;
      t.Size = size;
      return t;
    }();
    return &ops;
  }
  explicit MemoryFiles(const Bytes& a) : FileWrapObject{table()}, archive(&a) {}
};

}  // namespace

ArchiveContents readArchive(const Bytes& arj, const std::function<bool(const std::string&)>& keep) {
  ArchiveContents out;
  if (arj.size() > INT32_MAX) {
    out.count = nx::arj::kErrNotOpenable;
    return out;
  }
  MemoryFiles files(arj);
  out.count = nx::arj::countMembers(&files, "files.arj");
  for (int32_t n = 1; n <= out.count; ++n) {
    files.outputSeen = false;
    files.lastOutput.clear();
    char name[nx::arj::kCallerNameCapacity] = {};
    nx::arj::WalkReport report;
    ArchiveMember m;
    m.result = nx::arj::extractMember(&files, "files.arj", n, "member.out", name, &report);
    m.error = report.lastError;
    m.name = name;
    if (!keep || keep(m.name)) m.data = std::move(files.lastOutput);
    out.members.push_back(std::move(m));
  }
  return out;
}

int32_t walkHeaders(const Bytes& a, std::string& why) {
  size_t at = 0;
  int32_t members = -1;  // the main header comes first
  for (;;) {
    const std::string where = " at offset " + std::to_string(at);
    if (a.size() - at < 4 || a[at] != 0x60 || a[at + 1] != 0xEA) {
      why = "no ARJ header" + where;
      return -1;
    }
    const size_t size = get16(&a[at + 2]);
    if (size == 0) {
      if (members < 0) {
        why = "the archive ends before its main header";
        return -1;
      }
      if (at + 4 != a.size()) {
        why = std::to_string(a.size() - at - 4) + " bytes after the end marker";
        return -1;
      }
      return members;
    }
    if (size > static_cast<size_t>(nx::arj::kMaxBasicHeader) || a.size() - at - 4 < size + 4) {
      why = "ARJ header" + where + " is cut short or too long";
      return -1;
    }
    const uint8_t* basic = &a[at + 4];
    if (nx::crc32(basic, size) != get32(basic + size)) {
      why = "ARJ header" + where + " does not match its CRC-32";
      return -1;
    }
    size_t next = at + 4 + size + 4;
    for (;;) {
      if (a.size() - next < 2) {
        why = "extended headers" + where + " run past the end";
        return -1;
      }
      const size_t ext = get16(&a[next]);
      next += 2;
      if (ext == 0) break;
      if (a.size() - next < ext + 4) {
        why = "extended headers" + where + " run past the end";
        return -1;
      }
      next += ext + 4;
    }
    if (members >= 0) {
      const uint32_t packed = size >= 16 ? get32(basic + 12) : 0;
      if (a.size() - next < packed) {
        why = "member " + std::to_string(members + 1) + " has " + std::to_string(packed) +
              " packed bytes, more than the archive holds";
        return -1;
      }
      next += packed;
    }
    ++members;
    at = next;
  }
}

std::string memberErrorText(int32_t error) {
  switch (error) {
    case nx::arj::kMemberVersion: return "needs an extractor newer than version 3";
    case nx::arj::kMemberType: return "is neither a binary nor a text member";
    case nx::arj::kMemberMethod: return "uses a method the handset cannot unpack";
    case nx::arj::kMemberGarbled: return "is encrypted";
    case nx::arj::kMemberCrc: return "does not match its CRC-32";
    case nx::arj::kMemberOutput: return "could not be written";
    default: return "could not be extracted (error " + std::to_string(error) + ")";
  }
}

std::string archiveErrorText(int32_t result) {
  switch (result) {
    case nx::arj::kErrNotOpenable: return "cannot be opened";
    case nx::arj::kErrNoMainHeader: return "has no ARJ main header within its first 500,000 bytes";
    case nx::arj::kErrMainHeader: return "has a damaged ARJ main header";
    case nx::arj::kErrCounted: return "has damaged member headers";
    default: return "cannot be read (error " + std::to_string(result) + ")";
  }
}

}  // namespace nxpack
