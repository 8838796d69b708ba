// A test-only archive module standing in for archivekit.dll: CAB, SIS and
// SISX readers over a simple member table that the tests write after a
// header of the real kind. At offset 16: "NXTA", then per member a 16-bit
// name length, the UTF-8 name, a 32-bit data length and the data. The
// reader holds the members in memory and writes one per ExtractNext.
// Special names: "<dir>" extracts a directory, "<nothing>" extracts
// nothing, "<noname>" a file without a name, "<undelivered>" is a member the
// reader holds but cannot deliver (passed over and accounted for). The
// reader keeps the budget the engine hands it (journalled as "limits ...")
// and refuses a member that would pass it.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/text.h"
#include "common/engine_types.h"
#include "common/module_frame.h"
#include "fake_journal.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

nx::frame::LibUsage g_usage(u"archivekit.dll", u"archivekit");

struct Member {
  std::string name;
  std::string data;
};

struct Reader {
  ArchiveReader base;
  const char* kind;
  std::vector<Member> members;
  size_t next = 0;
  uint64_t maxBytes = UINT64_MAX;
  uint64_t produced = 0;
  uint32_t delivered = 0, undelivered = 0, limits = 0;
};

Reader* self(ArchiveReader* r) { return reinterpret_cast<Reader*>(r); }

bool readWhole(const char16_t* path, std::string& out) {
  ce::HANDLE h = ce::CreateFileW(path, ce::GENERIC_READ, ce::FILE_SHARE_READ, nullptr, ce::OPEN_EXISTING, 0, nullptr);
  if (h == ce::INVALID_HANDLE_VALUE) return false;
  char buf[4096];
  ce::DWORD got = 0;
  while (ce::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out.append(buf, got);
  ce::CloseHandle(h);
  return true;
}

uint32_t le(const std::string& s, size_t at, int n) {
  uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

int32_t opOpen(ArchiveReader* r, int32_t, const char16_t* path) {
  Reader* R = self(r);
  fakes::record(std::string("reader open ") + R->kind + " " + ce::utf16ToUtf8(path ? path : u""));
  std::string all;
  if (!path || !readWhole(path, all) || all.size() < 20 || all.compare(16, 4, "NXTA") != 0) return 0;
  size_t at = 20;
  while (at + 2 <= all.size()) {
    size_t n = le(all, at, 2);
    at += 2;
    if (at + n + 4 > all.size()) return 0;
    Member m;
    m.name = all.substr(at, n);
    at += n;
    size_t d = le(all, at, 4);
    at += 4;
    if (at + d > all.size()) return 0;
    m.data = all.substr(at, d);
    at += d;
    R->members.push_back(std::move(m));
  }
  return 1;
}

int32_t opExtractNext(ArchiveReader* r, const char16_t* out, char16_t* nameOut) {
  Reader* R = self(r);
  while (R->next < R->members.size() && R->members[R->next].name == "<undelivered>") {
    ++R->undelivered;
    ++R->next;
  }
  if (R->limits || R->next >= R->members.size()) return 0;
  if (R->members[R->next].data.size() > R->maxBytes - std::min(R->produced, R->maxBytes)) {
    R->limits |= NX_SCAN_LIMIT_SIZE;
    return 0;
  }
  const Member& m = R->members[R->next++];
  R->produced += m.data.size();
  ++R->delivered;
  fakes::record(std::string("extract ") + m.name + " -> " + ce::utf16ToUtf8(out));
  std::u16string name = ce::utf8ToUtf16(m.name);
  if (m.name == "<dir>") {
    ce::CreateDirectoryW(out, nullptr);
    name.clear();
  } else if (m.name == "<nothing>") {
    return 1;
  } else {
    if (m.name == "<noname>") name.clear();
    ce::HANDLE h = ce::CreateFileW(out, ce::GENERIC_WRITE, 0, nullptr, ce::CREATE_ALWAYS, 0, nullptr);
    if (h == ce::INVALID_HANDLE_VALUE) return 0;
    ce::DWORD put = 0;
    ce::WriteFile(h, m.data.data(), static_cast<ce::DWORD>(m.data.size()), &put, nullptr);
    ce::CloseHandle(h);
  }
  if (name.size() > 259) name.resize(259);
  std::memcpy(nameOut, name.c_str(), (name.size() + 1) * sizeof(char16_t));
  return 1;
}

int32_t opReserved(ArchiveReader*) { return 0; }

int32_t setLimits(ArchiveReader* r, const ArchiveReaderLimits* l) {
  if (!r || !l) return 0;
  Reader* R = self(r);
  fakes::record(std::string("limits ") + R->kind + " maxBytes=" +
                (l->maxBytes == UINT64_MAX ? std::string("none") : std::to_string(l->maxBytes)) +
                " deadline=" + (l->deadline ? "set" : "none"));
  // The budget counts from now, as the real readers count it.
  R->maxBytes = l->maxBytes == UINT64_MAX ? UINT64_MAX : R->produced + l->maxBytes;
  return 1;
}

int32_t status(ArchiveReader* r, ArchiveReaderStatus* st) {
  if (!r || !st || st->size < sizeof(ArchiveReaderStatus)) return 0;
  Reader* R = self(r);
  st->delivered = R->delivered;
  st->undelivered = R->undelivered;
  st->limits = R->limits;
  st->pending = R->next < R->members.size() ? 1 : 0;
  st->produced = R->produced;
  return 1;
}

int32_t opClose(ArchiveReader* r) {
  fakes::record(std::string("reader close ") + self(r)->kind);
  self(r)->members.clear();
  return 1;
}

ArchiveReader* opDestroy(ArchiveReader* r, uint32_t flags) {
  fakes::record(std::string("reader destroy ") + self(r)->kind);
  if (flags & 1) {
    fakes::adjustLive(-1);
    delete self(r);
    return nullptr;
  }
  return r;
}

const ArchiveReaderOps kOps = {opOpen, opExtractNext, opReserved, opClose, opDestroy};

int32_t create(const char* kind, ArchiveReader** out) {
  fakes::record(std::string("reader create ") + kind);
  if (!out || fakes::get(std::string("fail.create.") + kind)) return 0;
  auto* r = new Reader{{&kOps}, kind, {}, 0};
  fakes::adjustLive(1);
  *out = &r->base;
  return 1;
}

void destroy(ArchiveReader* r) {
  if (r) r->ops->Destroy(r, 1);
}

bool setUp() {
  fakes::record("init archivekit.dll");
  return fakes::get("fail.init.archivekit.dll") == 0;
}
void tearDown() { fakes::record("deinit archivekit.dll"); }

}  // namespace

EXPORT int LibInit() { return g_usage.init(setUp); }
EXPORT int LibDeinit() { return g_usage.deinit(tearDown); }
EXPORT int32_t CreateCabSdkObject(ArchiveReader** out) { return create("cab", out); }
EXPORT void DeleteCabSdkObject(ArchiveReader* r) { destroy(r); }
EXPORT int32_t CreateSisSdkObject(ArchiveReader** out) { return create("sis", out); }
EXPORT void DeleteSisSdkObject(ArchiveReader* r) { destroy(r); }
EXPORT int32_t CreateSisxSdkObject(ArchiveReader** out) { return create("sisx", out); }
EXPORT void DeleteSisxSdkObject(ArchiveReader* r) { destroy(r); }
EXPORT int32_t SetArchiveReaderLimits(ArchiveReader* r, const ArchiveReaderLimits* l) { return setLimits(r, l); }
EXPORT int32_t GetArchiveReaderStatus(ArchiveReader* r, ArchiveReaderStatus* st) { return status(r, st); }
