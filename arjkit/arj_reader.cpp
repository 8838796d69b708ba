// The reader object of arjkit.dll behind the ArchiveReader table. It keeps
// the archive path, the member count, how many members were taken and where
// the next member's header is: the main header is searched for once, at
// Open, and each member is taken from where the last one ended.
#include <cstring>
#include <new>

#include "arjkit/arjkit_api.h"
#include "arjkit/module.h"
#include "ce/text.h"

namespace nx::arjkit {

namespace {

constexpr int kPathBytes = 260;
constexpr int kNameUnits = 260;

struct ArjReader {
  ArchiveReader base;
  int32_t count = 0;
  int32_t index = 0;
  char path[kPathBytes] = {};
  int32_t live = 1;
  int32_t lastResult = 0;
  arj::WalkPlace place;
  nx::ReaderBudget budget;
};

ArjReader* self(ArchiveReader* r) { return reinterpret_cast<ArjReader*>(r); }

// Wide to the system code page; false when it does not fit (never cut).
bool toCodePage(const char16_t* wide, char* out) {
  return ce::WideCharToMultiByte(ce::CP_ACP, 0, wide, -1, out, kPathBytes, nullptr, nullptr) > 0;
}

int32_t open(ArchiveReader* r, int32_t /*callerHandle*/, const char16_t* archivePath) {
  ArjReader* s = self(r);
  if (!archivePath) return 0;
  char path[kPathBytes] = {};
  if (!toCodePage(archivePath, path)) return 0;
  std::memcpy(s->path, path, sizeof path);
  s->budget.opened();
  s->place = arj::WalkPlace{};
  int32_t count = CountMembers(s->path, &s->place, &s->budget);
  if (count < 0) return 0;
  s->count = count;
  s->index = 0;
  s->lastResult = 0;
  return 1;
}

int32_t extractNext(ArchiveReader* r, const char16_t* outputPath, char16_t* nameOut) {
  ArjReader* s = self(r);
  if (s->index >= s->count || !outputPath || !nameOut) return 0;
  char output[kPathBytes] = {};
  char name[kNameUnits] = {};
  if (toCodePage(outputPath, output)) {
    s->lastResult = ExtractAt(s->path, s->place, output, name, &s->budget);
  } else {
    s->lastResult = -115;  // the output cannot be named on the handset: the member is lost
  }
  if (s->lastResult == 1)
    s->budget.delivered();
  else if (!s->budget.stopped())
    s->budget.undelivered();
  // Names are at most 259 bytes, and each byte is one unit in the code page.
  if (ce::MultiByteToWideChar(ce::CP_ACP, 0, name, -1, nameOut, kNameUnits) <= 0) nameOut[0] = 0;
  ++s->index;
  return 1;
}

int32_t reserved(ArchiveReader*) { return 0; }

int32_t close(ArchiveReader* r) {
  ArjReader* s = self(r);
  std::memset(s->path, 0, sizeof s->path);
  s->count = 0;
  s->index = 0;
  return 1;
}

ArchiveReader* destroy(ArchiveReader* r, uint32_t flags) {
  ArjReader* s = self(r);
  std::memset(s->path, 0, sizeof s->path);
  s->count = 0;
  s->index = 0;
  s->live = 0;
  if (flags & 1) delete s;
  return r;
}

const ArchiveReaderOps kOps = {open, extractNext, reserved, close, destroy};

}  // namespace

ArchiveReader* newReader() {
  ArjReader* s = new (std::nothrow) ArjReader;
  if (!s) return nullptr;
  s->base.ops = &kOps;
  return &s->base;
}

int32_t lastResult(ArchiveReader* r) { return r && r->ops == &kOps ? self(r)->lastResult : 0; }

int32_t setLimits(ArchiveReader* r, const ArchiveReaderLimits& limits) {
  return r && r->ops == &kOps ? self(r)->budget.set(limits) : 0;
}

int32_t status(ArchiveReader* r, ArchiveReaderStatus& out) {
  if (!r || r->ops != &kOps) return 0;
  const ArjReader* s = self(r);
  s->budget.report(out, s->index < s->count);
  return 1;
}

}  // namespace nx::arjkit
