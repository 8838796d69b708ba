#include "updsvc/interval_file.h"

#include <string>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "common/crc32.h"
#include "common/nibble.h"
#include "common/options_records.h"
#include "common/queue_sender.h"

namespace nx::updsvc {

using namespace ce;

const char* intervalStatusName(IntervalStatus s) {
  switch (s) {
    case IntervalStatus::Ok: return "ok";
    case IntervalStatus::Missing: return "missing";
    case IntervalStatus::Short: return "short";
    case IntervalStatus::BadCrc: return "bad CRC";
    case IntervalStatus::TooLarge: return "too large";
    case IntervalStatus::Unreadable: return "unreadable";
    case IntervalStatus::SwapFailed: return "swap failed";
    case IntervalStatus::SwapBackFailed: return "swap back failed";
  }
  return "?";
}

IntervalStatus decodeIntervalImage(const uint8_t* data, size_t size, IntervalValues* out) {
  if (!data || size < 8) return IntervalStatus::Short;
  if (size > kIntervalFileMaxBytes) return IntervalStatus::TooLarge;
  if (crc32(data + 8, size - 8) != getU32(data + 4)) return IntervalStatus::BadCrc;
  if (size < kIntervalFileBytes) return IntervalStatus::Short;
  if (out) {
    out->marker = getU32(data);
    out->internetMinutes = getU16(data + 8);
    out->localMinutes = getU16(data + 10);
    out->carried = getU16(data + 12);
  }
  return IntervalStatus::Ok;
}

std::vector<uint8_t> encodeIntervalImage(const IntervalValues& v) {
  std::vector<uint8_t> b(kIntervalFileBytes, 0);
  putU32(b.data(), v.marker);
  putU16(b.data() + 8, v.internetMinutes);
  putU16(b.data() + 10, v.localMinutes);
  putU16(b.data() + 12, v.carried);
  putU32(b.data() + 4, crc32(b.data() + 8, b.size() - 8));
  return b;
}

namespace {

bool exists(const std::u16string& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

IntervalStatus readWhole(const std::u16string& path, std::vector<uint8_t>& out) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    return (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) ? IntervalStatus::Missing
                                                                     : IntervalStatus::Unreadable;
  }
  DWORD high = 0;
  DWORD size = GetFileSize(h, &high);
  if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
    CloseHandle(h);
    return IntervalStatus::Unreadable;
  }
  if (high != 0 || size > kIntervalFileMaxBytes) {
    CloseHandle(h);
    return IntervalStatus::TooLarge;
  }
  out.assign(size, 0);
  DWORD done = 0;
  while (done < size) {
    DWORD got = 0;
    if (!ReadFile(h, out.data() + done, size - done, &got, nullptr) || got == 0) break;
    done += got;
  }
  CloseHandle(h);
  if (done != size) return IntervalStatus::Unreadable;
  return IntervalStatus::Ok;
}

bool writeWhole(const std::u16string& path, const std::vector<uint8_t>& bytes, DWORD disposition) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    DWORD put = 0;
    ok = WriteFile(h, bytes.data() + done, static_cast<DWORD>(bytes.size()) - done, &put, nullptr) && put > 0;
    done += put;
  }
  return CloseHandle(h) && ok;
}

// One pass: the contents with their halves exchanged go into the copy, the
// file is deleted and the copy takes its name. A failure before the delete
// removes the copy and leaves the file as it was; a failure of the rename
// leaves the finished copy for the next read to put back.
bool swapPass(const std::u16string& path, const std::u16string& copy, std::vector<uint8_t> bytes) {
  swapNibbles(bytes.data(), bytes.size());
  if (!writeWhole(copy, bytes, CREATE_ALWAYS)) {
    DeleteFileW(copy.c_str());
    return false;
  }
  if (!DeleteFileW(path.c_str())) {
    DeleteFileW(copy.c_str());
    return false;
  }
  return MoveFileW(copy.c_str(), path.c_str()) != FALSE;
}

// A pass cut short between its delete and its rename leaves only the copy.
// The copy of the first pass is plain and passes the check as it stands; it
// goes back in its stored form. The copy of the second pass is the stored
// form already.
void recoverCopy(const std::u16string& path, const std::u16string& copy) {
  if (exists(path) || !exists(copy)) return;
  std::vector<uint8_t> bytes;
  if (readWhole(copy, bytes) != IntervalStatus::Ok) return;
  if (decodeIntervalImage(bytes.data(), bytes.size(), nullptr) == IntervalStatus::Ok) {
    swapNibbles(bytes.data(), bytes.size());
    if (writeWhole(path, bytes, CREATE_NEW)) DeleteFileW(copy.c_str());
    return;
  }
  MoveFileW(copy.c_str(), path.c_str());
}

// The guard would otherwise scan the file and its copy as they are written;
// while it holds one open the delete of the pass fails.
struct GuardIgnore {
  const std::u16string& a;
  const std::u16string& b;
  GuardIgnore(const std::u16string& p, const std::u16string& c) : a(p), b(c) {
    sendIgnoreMessage(a.c_str(), true);
    sendIgnoreMessage(b.c_str(), true);
  }
  ~GuardIgnore() {
    sendIgnoreMessage(b.c_str(), false);
    sendIgnoreMessage(a.c_str(), false);
  }
};

}  // namespace

IntervalStatus readIntervalFile(const WCHAR* installDir, IntervalValues* out) {
  if (!installDir || !*installDir) return IntervalStatus::Missing;
  std::u16string path = installDir;
  if (path.back() != u'\\') path += u'\\';
  path += kIntervalFileName;
  const std::u16string copy = path + kIntervalCopySuffix;
  if (path.size() >= MAX_PATH - 1) return IntervalStatus::Missing;

  GuardIgnore ignore(path, copy);
  recoverCopy(path, copy);
  std::vector<uint8_t> stored;
  IntervalStatus st = readWhole(path, stored);
  if (st != IntervalStatus::Ok) return st;
  // A file that is plain as it stands was left so by a second pass that
  // failed: it is read as it is and only stored again, so a failure never
  // turns into a file scrambled twice.
  if (decodeIntervalImage(stored.data(), stored.size(), nullptr) != IntervalStatus::Ok) {
    if (!swapPass(path, copy, stored)) return IntervalStatus::SwapFailed;
  }
  std::vector<uint8_t> plain;
  st = readWhole(path, plain);
  if (st != IntervalStatus::Ok) return st;
  IntervalValues v;
  st = decodeIntervalImage(plain.data(), plain.size(), &v);
  if (!swapPass(path, copy, plain)) return IntervalStatus::SwapBackFailed;
  if (st == IntervalStatus::Ok && out) *out = v;
  return st;
}

}  // namespace nx::updsvc
