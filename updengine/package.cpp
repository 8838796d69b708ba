#include "updengine/package.h"

#include <cstring>
#include <vector>

#include "arjkit/arjkit_api.h"
#include "ce/base.h"
#include "ce/files.h"
#include "ce/module.h"
#include "ce/text.h"
#include "common/queue_sender.h"
#include "common/update_formats.h"
#include "updengine/index_list.h"
#include "updengine/update_log.h"

namespace nx::upd {

using namespace ce;

namespace {

constexpr size_t kPiece = 64 * 1024;
// What one package may unpack to: far beyond any definition set, short of
// filling a handset's store with a hostile archive.
constexpr uint64_t kMaxUnpackedBytes = 1ull << 30;
constexpr const WCHAR* kArchiveName = u"files.arj";

uint32_t u32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool kindAccepted(uint32_t kind) { return kind == kKindPackage || kind == kKindAlt1 || kind == kKindAlt2; }

struct File {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~File() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  bool read(void* buf, DWORD n, DWORD& got) { return ReadFile(h, buf, n, &got, nullptr) != 0; }
};

// Reads the head and checks the body's check value and the kind.
int checkHead(File& f) {
  uint8_t head[kPackageHeadSize];
  DWORD got = 0;
  if (!f.read(head, sizeof head, got) || got != sizeof head) return kUnpackFailed;
  PackageCheck check;
  std::vector<uint8_t> buf(kPiece);
  for (;;) {
    if (!f.read(buf.data(), static_cast<DWORD>(buf.size()), got)) return kUnpackFailed;
    if (got == 0) break;
    check.update(buf.data(), got);
  }
  if (check.value() != u32(head + kHeadCheck) || !kindAccepted(u32(head + kHeadKind))) return kUnpackCorrupt;
  return kUnpacked;
}

// The names a member may not take: the archive being read and the staged
// index files.
bool reservedName(const std::u16string& lower) {
  return lower == u"files.arj" || lower == u"index.bin" || lower == u"index.dat" || lower == u"index.sig";
}

std::u16string lowerName(std::u16string s) {
  for (auto& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    else if (c >= 0xC0 && c <= 0xDE && c != 0xD7) c = static_cast<char16_t>(c + 32);
  }
  return s;
}

void ignore(const std::u16string& path) { nx::sendIgnoreMessageChecked(path.c_str(), true); }
void unignore(const std::u16string& path) { nx::sendIgnoreMessageChecked(path.c_str(), false); }

// arjkit.dll and one reader of it, given back in reverse order.
struct Reader {
  const PlatformLink& platform;
  HMODULE module = nullptr;
  ArchiveReader* reader = nullptr;
  PFN_DeleteArjkitObject destroy = nullptr;
  PFN_ArjkitLastResult lastResult = nullptr;
  explicit Reader(const PlatformLink& p) : platform(p) {}
  ~Reader() {
    if (reader) {
      reader->ops->Close(reader);
      destroy(reader);
    }
    if (module) platform.freeModule(module);
  }
  bool open(const std::u16string& installDir) {
    module = platform.loadModule(joinPath(installDir, u"arjkit.dll"));
    if (!module) return false;
    auto create = reinterpret_cast<PFN_CreateArjkitObject>(platform.proc(module, u"CreateArjkitObject"));
    destroy = reinterpret_cast<PFN_DeleteArjkitObject>(platform.proc(module, u"DeleteArjkitObject"));
    lastResult = reinterpret_cast<PFN_ArjkitLastResult>(platform.proc(module, u"ArjkitLastResult"));
    if (!create || !destroy || !lastResult || create(&reader) != 1 || !reader) return false;
    // A reader nobody limits stops at the scanner's defaults for one scanned
    // file (a fraction of a minute of device time): a definition package is
    // unpacked without a deadline, within a size no update comes near.
    auto limits = reinterpret_cast<NxSetArchiveReaderLimitsFn>(platform.proc(module, u"SetArchiveReaderLimits"));
    if (limits) {
      ArchiveReaderLimits l{};
      l.size = sizeof l;
      l.deadline = 0;
      l.maxBytes = kMaxUnpackedBytes;
      limits(reader, &l);
    }
    return true;
  }
};

// Step 2: the archive as arjkit reads it, the scrambled bytes put back.
int writeArchive(File& pkg, const std::u16string& archive) {
  if (SetFilePointer(pkg.h, static_cast<LONG>(kPackageHeadSize), nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    return kUnpackFailed;
  File out;
  out.h = CreateFileW(archive.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out.h == INVALID_HANDLE_VALUE) return kUnpackFailed;
  std::vector<uint8_t> buf(kPiece);
  DWORD got = 0;
  if (!pkg.read(buf.data(), kScrambledBytes, got)) return kUnpackFailed;
  if (got < kScrambledBytes) return kUnpackCorrupt;  // a body shorter than its scrambled start
  for (size_t i = 0; i < kScrambledBytes; ++i) buf[i] ^= kScrambleKey;
  DWORD put = 0;
  for (DWORD n = got; n > 0;) {
    if (!WriteFile(out.h, buf.data(), n, &put, nullptr) || put != n) {
      log::write(log::kError, u"CDefFile::ExtractDef()", u"WriteFile:%s. ERROR: %d", archive.c_str(),
                 int(GetLastError()));
      return kUnpackFailed;
    }
    if (!pkg.read(buf.data(), static_cast<DWORD>(buf.size()), n)) return kUnpackFailed;
  }
  return kUnpacked;
}

// Step 3: every member through a unique name into its staged name.
int takeMembers(Run& run, const PlatformLink& platform, const std::u16string& archive, const std::u16string& staging) {
  Reader r(platform);
  if (!r.open(run.installDir)) {
    log::write(log::kError, u"CDefFile::ExtractDef()", u"arjkit.dll cannot be loaded");
    return kUnpackFailed;
  }
  if (r.reader->ops->Open(r.reader, 0, archive.c_str()) != 1) return kUnpackCorrupt;
  // Room for a member name in the staging folder within the handset's paths.
  const size_t maxName = ce::MAX_PATH - 1 > staging.size() + 1 ? ce::MAX_PATH - 1 - (staging.size() + 1) : 0;
  for (;;) {
    if (run.pauseStopCheck()) {
      emptyFolder(run.tempDir);
      return kUnpackFailed;
    }
    const std::u16string tmpName = platform.uniqueName(staging);
    if (tmpName.empty()) return kUnpackFailed;
    const std::u16string tmp = joinPath(staging, tmpName);
    ignore(tmp);
    WCHAR name[ce::MAX_PATH] = {};
    if (r.reader->ops->ExtractNext(r.reader, tmp.c_str(), name) != 1) {
      DeleteFileW(tmp.c_str());
      unignore(tmp);
      return kUnpacked;
    }
    const DWORD extractError = GetLastError();
    const std::u16string member = lowerName(name);
    const int32_t result = r.lastResult(r.reader);
    if (result != 1 && (extractError == ERROR_DISK_FULL || extractError == ERROR_WRITE_FAULT)) {
      // The member could not be written: the store is full, not the package damaged.
      log::write(log::kError, u"CDefFile::ExtractDef()", u"Member %s cannot be written. ERROR: %d", member.c_str(),
                 int(extractError));
      DeleteFileW(tmp.c_str());
      unignore(tmp);
      return kUnpackFailed;
    }
    if (result != 1 || (!member.empty() && (!plainFileName(member, maxName) || reservedName(member)))) {
      log::write(log::kError, u"CDefFile::ExtractDef()", u"Member %s refused (%d)", member.c_str(), int(result));
      DeleteFileW(tmp.c_str());
      unignore(tmp);
      return kUnpackCorrupt;
    }
    if (member.empty() || equalsNoCase(member, tmpName)) {
      // Nothing to name (or the member's name is the one it was extracted under).
      if (member.empty()) DeleteFileW(tmp.c_str());
      unignore(tmp);
      continue;
    }
    const std::u16string target = joinPath(staging, member);
    ignore(target);
    // The extracted file takes the member's name: moved when nothing of
    // that name is staged yet (a copy of a large table costs as much as its
    // extraction), copied over an earlier package's file otherwise.
    bool copied = !fileExists(target) && MoveFileW(tmp.c_str(), target.c_str());
    if (!copied) copied = CopyFileW(tmp.c_str(), target.c_str(), FALSE);
    const DWORD err = GetLastError();
    DeleteFileW(tmp.c_str());
    unignore(tmp);
    unignore(target);
    if (!copied) {
      log::write(log::kError, u"CDefFile::ExtractDef()", u"CopyFile:%s. ERROR: %d", target.c_str(), int(err));
      return kUnpackFailed;
    }
  }
}

}  // namespace

PlatformLink::~PlatformLink() {
  if (module_) FreeLibrary(module_);
}

bool PlatformLink::load(const std::u16string& installDir) {
  module_ = LoadLibraryW(joinPath(installDir, u"platform.dll").c_str());
  if (!module_) return false;
  unique_ = reinterpret_cast<decltype(unique_)>(GetProcAddressW(module_, u"GetNXUniqueFilenameW"));
  load_ = reinterpret_cast<decltype(load_)>(GetProcAddressW(module_, u"MyLoadLibraryW"));
  free_ = reinterpret_cast<decltype(free_)>(GetProcAddressW(module_, u"MyFreeLibrary"));
  proc_ = reinterpret_cast<decltype(proc_)>(GetProcAddressW(module_, u"MyGetProcAddressW"));
  auto setPath = reinterpret_cast<int (*)(const WCHAR*)>(GetProcAddressW(module_, u"SetNXPathW"));
  if (!unique_ || !load_ || !free_ || !proc_ || !setPath) return false;
  setPath(installDir.c_str());
  return true;
}

std::u16string PlatformLink::uniqueName(const std::u16string& dir) const {
  WCHAR name[32] = {};
  if (!unique_ || unique_(dir.c_str(), u"tmp", name) != 1) return {};
  return name;
}

HMODULE PlatformLink::loadModule(const std::u16string& path) const { return load_ ? load_(path.c_str()) : nullptr; }
void PlatformLink::freeModule(HMODULE m) const {
  if (free_ && m) free_(m);
}
FARPROC PlatformLink::proc(HMODULE m, const WCHAR* name) const { return proc_ ? proc_(m, name) : nullptr; }

int checkPackageHead(const std::u16string& package) {
  File pkg;
  pkg.h = CreateFileW(package.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (pkg.h == INVALID_HANDLE_VALUE) return kUnpackFailed;
  return checkHead(pkg);
}

int unpackPackage(Run& run, const PlatformLink& platform, const std::u16string& package,
                  const std::u16string& staging) {
  const std::u16string archive = joinPath(staging, kArchiveName);
  int result;
  {
    File pkg;
    pkg.h = CreateFileW(package.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pkg.h == INVALID_HANDLE_VALUE) return kUnpackFailed;
    result = checkHead(pkg);
    if (result != kUnpacked) {
      log::write(log::kError, u"CDefFile::ExtractDef()", u"%s: head or check value refused", package.c_str());
      return result;
    }
    result = writeArchive(pkg, archive);
  }
  if (result == kUnpacked) result = takeMembers(run, platform, archive, staging);
  if (result == kUnpacked) {
    if (!DeleteFileW(archive.c_str())) {
      log::write(log::kError, u"CDefFile::ExtractDef()", u"DeleteFile:%s. ERROR: %d", archive.c_str(),
                 int(GetLastError()));
      result = kUnpackFailed;
    }
  }
  if (result != kUnpacked) {
    emptyFolder(staging);
    DeleteFileW(archive.c_str());
  }
  return result;
}

}  // namespace nx::upd
