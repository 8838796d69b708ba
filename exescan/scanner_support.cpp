#include "exescan/scanner_support.h"

#include <climits>
#include <cstring>

#include "ce/text.h"
#include "common/module_frame.h"
#include "platform/platform_api.h"

namespace nx::exe {

bool moduleDirectory(char16_t* out) {
  std::memset(out, 0, kPathChars * sizeof(char16_t));
  if (GetNXModuleDirW(kSelf, out, int(kPathChars)) == 0 || out[0] == 0) return false;
  const std::size_t n = ce::wcslen16(out);
  if (out[n - 1] != u'\\') {
    if (n + 1 >= kPathChars) return false;
    out[n] = u'\\';
    out[n + 1] = 0;
  }
  return true;
}

template <class Table>
FileLoad loadSignatureFile(FileWrapObject* fw, const char16_t* dir, const char16_t* name, Table& table,
                           bool (*load)(ByteStream&, Table&)) {
  if (!fw) return FileLoad::Missing;
  char16_t path[kPathChars];
  const std::size_t d = ce::wcslen16(dir), n = ce::wcslen16(name);
  if (d + n >= kPathChars) return FileLoad::Missing;
  std::memcpy(path, dir, d * sizeof(char16_t));
  std::memcpy(path + d, name, (n + 1) * sizeof(char16_t));
  const std::int32_t h = fw->ops->OpenW(fw, path, NX_O_RDONLY | NX_O_BINARY, 0);
  if (h < 0) return FileLoad::Missing;
  WrapStream in(fw, h);
  const bool ok = load(in, table);
  fw->ops->Close(fw, h);
  return ok ? FileLoad::Loaded : FileLoad::Rejected;
}

template FileLoad loadSignatureFile<PeTable>(FileWrapObject*, const char16_t*, const char16_t*, PeTable&,
                                             bool (*)(ByteStream&, PeTable&));
template FileLoad loadSignatureFile<PolyTable>(FileWrapObject*, const char16_t*, const char16_t*, PolyTable&,
                                               bool (*)(ByteStream&, PolyTable&));
template FileLoad loadSignatureFile<CategoryTable>(FileWrapObject*, const char16_t*, const char16_t*,
                                                   CategoryTable&, bool (*)(ByteStream&, CategoryTable&));

std::int64_t WrapStream::size() {
  const std::int32_t s = fw_->ops->Size(fw_, handle_);
  return s < 0 ? -1 : s;
}

std::size_t WrapStream::read(void* buf, std::size_t len) {
  const std::int32_t want = len > std::size_t(INT_MAX) ? INT_MAX : std::int32_t(len);
  const std::int32_t n = fw_->ops->Read(fw_, handle_, buf, want);
  return n > 0 ? std::size_t(n) : 0;
}

namespace {
std::size_t wrapReadAt(void* ctx, std::uint64_t offset, void* buf, std::size_t len) {
  auto* c = static_cast<WrapReadContext*>(ctx);
  if (offset > std::uint64_t(INT_MAX)) return 0;
  const std::int32_t saved = c->fw->ops->Tell(c->fw, c->handle);
  std::size_t got = 0;
  if (c->fw->ops->Seek(c->fw, c->handle, std::int32_t(offset), NX_SEEK_SET) == std::int32_t(offset)) {
    const std::int32_t n = c->fw->ops->Read(c->fw, c->handle, buf, std::int32_t(len));
    got = n > 0 ? std::size_t(n) : 0;
  }
  if (saved >= 0) c->fw->ops->Seek(c->fw, c->handle, saved, NX_SEEK_SET);
  return got;
}
}  // namespace

pe::Reader wrapReader(WrapReadContext& ctx) { return pe::Reader{wrapReadAt, &ctx}; }

bool readAtExactly(FileWrapObject* fw, std::int32_t handle, std::uint64_t offset, void* buf, std::size_t len) {
  if (offset > std::uint64_t(INT_MAX)) return false;
  if (fw->ops->Seek(fw, handle, std::int32_t(offset), NX_SEEK_SET) != std::int32_t(offset)) return false;
  return fw->ops->Read(fw, handle, buf, std::int32_t(len)) == std::int32_t(len);
}

std::size_t readAtMost(FileWrapObject* fw, std::int32_t handle, std::int64_t offset, void* buf, std::size_t len) {
  if (offset > std::int64_t(INT_MAX)) return 0;
  // A negative offset is clamped to the start by the wrapper.
  fw->ops->Seek(fw, handle, offset < 0 ? std::int32_t(-1) : std::int32_t(offset), NX_SEEK_SET);
  const std::int32_t n = fw->ops->Read(fw, handle, buf, std::int32_t(len));
  return n > 0 ? std::size_t(n) : 0;
}

void fillThreat(ThreatRecord& rec, std::int16_t index, std::int16_t category, const char* ansiName,
                const char16_t* displayPath) {
  std::memset(&rec, 0, sizeof rec);
  rec.index = index;
  rec.category = category;
  if (ansiName && ansiName[0]) {
    if (ce::MultiByteToWideChar(ce::CP_ACP, 0, ansiName, -1, reinterpret_cast<ce::WCHAR*>(rec.name),
                                NX_THREAT_NAME_CHARS) == 0)
      rec.name[0] = 0;
  }
  if (displayPath) {
    std::size_t n = ce::wcslen16(displayPath);
    if (n > kDisplayChars - 1) n = kDisplayChars - 1;
    std::memcpy(rec.displayPath, displayPath, n * sizeof(char16_t));
  }
}

bool copyPath(char16_t* dst, const char16_t* src) {
  const std::size_t n = ce::wcslen16(src);
  if (n >= kPathChars) return false;
  std::memcpy(dst, src, (n + 1) * sizeof(char16_t));
  return true;
}

std::int32_t OpenedFile::open(std::int32_t fileHandle, const char16_t* filePath, ScanSettings* scanSettings,
                              const char16_t* rootDisplay) {
  if (!filePath || !scanSettings || !rootDisplay) return NX_ENGINE_MISSING_ARG;
  if (!copyPath(path, filePath)) return NX_ENGINE_ERROR;
  handle = fileHandle < 0 ? -1 : fileHandle;
  settings = scanSettings;
  return NX_ENGINE_SUCCESS;
}

}  // namespace nx::exe
