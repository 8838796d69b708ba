#include "updengine/replace.h"

#include <cstring>

#include "ce/base.h"
#include "ce/files.h"
#include "ce/kernel.h"
#include "ce/module.h"
#include "ce/text.h"
#include "ce/time.h"
#include "common/crc32.h"
#include "updengine/update_log.h"
#include "updengine/version_key.h"

namespace nx::upd {

using namespace ce;

namespace {

constexpr char kMagic[8] = {'N', 'X', 'R', 'E', 'P', 'L', 'J', '1'};
constexpr const WCHAR* kJournalTemp = u"replace.jn~";
constexpr uint32_t kForward = 1;
constexpr uint32_t kBack = 2;
constexpr size_t kStateOffset = 8;

struct Entry {
  std::u16string name;
  bool hadInstalled = false;
};

struct Journal {
  uint32_t state = kForward;
  bool engine = false;
  bool hadCounters = false;  // "updttype.cfg" existed before the update
  uint8_t oldCounters[4] = {};
  uint8_t newCounters[4] = {};
  std::u16string aside;  // folder of the replaced files, inside the staging folder
  std::vector<Entry> entries;
};

void put16(std::string& b, uint16_t v) {
  b.push_back(static_cast<char>(v & 0xFF));
  b.push_back(static_cast<char>(v >> 8));
}
void put32(std::string& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
}
void putText(std::string& b, const std::u16string& s) {
  put16(b, static_cast<uint16_t>(s.size()));
  for (char16_t c : s) put16(b, c);
}

std::string encode(const Journal& j) {
  std::string b(kMagic, sizeof kMagic);
  put32(b, j.state);
  put32(b, (j.engine ? 1u : 0u) | (j.hadCounters ? 2u : 0u));
  b.append(reinterpret_cast<const char*>(j.oldCounters), 4);
  b.append(reinterpret_cast<const char*>(j.newCounters), 4);
  putText(b, j.aside);
  put32(b, static_cast<uint32_t>(j.entries.size()));
  for (const Entry& e : j.entries) {
    putText(b, e.name);
    b.push_back(e.hadInstalled ? 1 : 0);
  }
  // The state word is rewritten in place; the checksum covers the rest.
  put32(b, nx::crc32(b.data() + kStateOffset + 4, b.size() - kStateOffset - 4));
  return b;
}

struct Cursor {
  const std::vector<uint8_t>& d;
  size_t pos = 0;
  bool ok = true;
  uint32_t u32() {
    if (d.size() - pos < 4) return ok = false, 0;
    uint32_t v = uint32_t(d[pos]) | uint32_t(d[pos + 1]) << 8 | uint32_t(d[pos + 2]) << 16 | uint32_t(d[pos + 3]) << 24;
    pos += 4;
    return v;
  }
  uint16_t u16() {
    if (d.size() - pos < 2) return ok = false, 0;
    uint16_t v = static_cast<uint16_t>(d[pos] | d[pos + 1] << 8);
    pos += 2;
    return v;
  }
  std::u16string text() {
    uint16_t n = u16();
    std::u16string s;
    for (uint16_t i = 0; ok && i < n; ++i) s.push_back(u16());
    return s;
  }
};

bool decode(const std::vector<uint8_t>& d, Journal& j) {
  if (d.size() < sizeof kMagic + 8 || std::memcmp(d.data(), kMagic, sizeof kMagic) != 0) return false;
  const size_t body = d.size() - 4;
  const uint32_t crc = uint32_t(d[body]) | uint32_t(d[body + 1]) << 8 | uint32_t(d[body + 2]) << 16 |
                       uint32_t(d[body + 3]) << 24;
  if (nx::crc32(d.data() + kStateOffset + 4, body - kStateOffset - 4) != crc) return false;
  Cursor c{d, sizeof kMagic};
  j.state = c.u32();
  const uint32_t flags = c.u32();
  j.engine = flags & 1;
  j.hadCounters = flags & 2;
  for (auto& b : j.oldCounters) b = c.pos < body ? d[c.pos++] : 0;
  for (auto& b : j.newCounters) b = c.pos < body ? d[c.pos++] : 0;
  j.aside = c.text();
  uint32_t n = c.u32();
  if (!c.ok || n > 100000) return false;
  for (uint32_t i = 0; c.ok && i < n; ++i) {
    Entry e;
    e.name = c.text();
    if (c.pos >= body) return false;
    e.hadInstalled = d[c.pos++] != 0;
    j.entries.push_back(std::move(e));
  }
  return c.ok && c.pos == body && (j.state == kForward || j.state == kBack);
}

std::u16string upgradeDirOf(const std::u16string& installDir) { return joinPath(installDir, u"Upgrade"); }

bool readAll(const std::u16string& path, std::vector<uint8_t>& out) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD size = GetFileSize(f, nullptr);
  bool ok = size != INVALID_FILE_SIZE && size < (16u << 20);
  if (ok) {
    out.resize(size);
    DWORD got = 0;
    ok = size == 0 || (ReadFile(f, out.data(), size, &got, nullptr) && got == size);
  }
  CloseHandle(f);
  return ok;
}

// Written whole beside its name and moved into place: a journal is either
// there complete or not at all.
bool writeJournal(const std::u16string& installDir, const Journal& j) {
  const std::u16string tmp = joinPath(installDir, kJournalTemp);
  const std::string bytes = encode(j);
  HANDLE f = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size() &&
            FlushFileBuffers(f);
  CloseHandle(f);
  if (ok) ok = MoveFileW(tmp.c_str(), joinPath(installDir, kJournalName).c_str());
  if (!ok) DeleteFileW(tmp.c_str());
  return ok;
}

bool setState(const std::u16string& installDir, uint32_t state) {
  HANDLE f = CreateFileW(joinPath(installDir, kJournalName).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  uint8_t b[4] = {uint8_t(state), uint8_t(state >> 8), uint8_t(state >> 16), uint8_t(state >> 24)};
  DWORD put = 0;
  bool ok = SetFilePointer(f, kStateOffset, nullptr, FILE_BEGIN) == kStateOffset &&
            WriteFile(f, b, 4, &put, nullptr) && put == 4 && FlushFileBuffers(f);
  CloseHandle(f);
  return ok;
}

enum class Found { None, Sound, Damaged };

Found readJournal(const std::u16string& installDir, Journal& j) {
  std::vector<uint8_t> d;
  if (!fileExists(joinPath(installDir, kJournalName))) return Found::None;
  if (!readAll(joinPath(installDir, kJournalName), d) || !decode(d, j)) return Found::Damaged;
  return Found::Sound;
}

bool readCounters(const std::u16string& installDir, uint8_t c[4]) {
  std::memset(c, 0, 4);
  HANDLE f = CreateFileW(joinPath(installDir, u"updttype.cfg").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  uint8_t b[4] = {};
  DWORD got = 0;
  if (ReadFile(f, b, 4, &got, nullptr) && got == 4) std::memcpy(c, b, 4);  // short: four zero bytes
  CloseHandle(f);
  return true;
}

bool writeCounters(const std::u16string& installDir, const uint8_t c[4]);

// The counters as they were before the update: a file that was not there
// is not left behind.
void restoreCounters(const std::u16string& installDir, const Journal& j) {
  if (j.hadCounters)
    writeCounters(installDir, j.oldCounters);
  else
    DeleteFileW(joinPath(installDir, u"updttype.cfg").c_str());
}

bool writeCounters(const std::u16string& installDir, const uint8_t c[4]) {
  HANDLE f = CreateFileW(joinPath(installDir, u"updttype.cfg").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = SetFilePointer(f, 0, nullptr, FILE_BEGIN) == 0 && WriteFile(f, c, 4, &put, nullptr) && put == 4;
  CloseHandle(f);
  return ok;
}

std::vector<std::u16string> filesOf(const std::u16string& folder) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW d;
  HANDLE f = FindFirstFileW(joinPath(folder, u"*.*").c_str(), &d);
  if (f == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.emplace_back(d.cFileName);
  } while (FindNextFileW(f, &d));
  FindClose(f);
  return names;
}

std::vector<std::u16string> foldersOf(const std::u16string& folder, const std::u16string& pattern) {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW d;
  HANDLE f = FindFirstFileW(joinPath(folder, pattern).c_str(), &d);
  if (f == INVALID_HANDLE_VALUE) return names;
  do {
    if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) names.emplace_back(d.cFileName);
  } while (FindNextFileW(f, &d));
  FindClose(f);
  return names;
}

// A move that a reader holding the file for a moment does not make fail.
bool moveFile(const std::u16string& from, const std::u16string& to) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (MoveFileW(from.c_str(), to.c_str())) return true;
    if (GetLastError() != ERROR_SHARING_VIOLATION) break;
    Sleep(20);
  }
  log::write(log::kError, u"ReplaceFiles", u"MoveFile:%s. ERROR: %d", from.c_str(), int(GetLastError()));
  return false;
}

struct Places {
  std::u16string staged, installed, aside;
};
Places placesOf(const std::u16string& installDir, const Journal& j, const Entry& e) {
  const std::u16string up = upgradeDirOf(installDir);
  return {joinPath(up, e.name), joinPath(installDir, e.name), joinPath(joinPath(up, j.aside), e.name)};
}

// Each step looks at what is there, so that doing it again after an
// interruption is the same as doing it once.
bool forward(const std::u16string& installDir, const Journal& j, const Entry& e) {
  const Places p = placesOf(installDir, j, e);
  if (fileExists(p.staged)) {
    if (fileExists(p.installed)) {
      if (fileExists(p.aside) && !DeleteFileW(p.aside.c_str())) return false;
      if (!moveFile(p.installed, p.aside)) return false;
    }
    return moveFile(p.staged, p.installed);
  }
  return fileExists(p.installed);
}

bool back(const std::u16string& installDir, const Journal& j, const Entry& e) {
  const Places p = placesOf(installDir, j, e);
  const bool asideThere = fileExists(p.aside);
  if (!fileExists(p.staged) && fileExists(p.installed) && (asideThere || !e.hadInstalled))
    if (!moveFile(p.installed, p.staged)) return false;
  if (asideThere) {
    if (fileExists(p.installed)) return false;
    return moveFile(p.aside, p.installed);
  }
  return true;
}

bool backAll(const std::u16string& installDir, const Journal& j) {
  bool ok = true;
  for (auto it = j.entries.rbegin(); it != j.entries.rend(); ++it) ok = back(installDir, j, *it) && ok;
  return ok;
}

// A replaced file some process still maps stays beside the installation
// as "<name>.1nx" (or the next free of .2nx to .9nx) until nobody does.
void keepOrDelete(const std::u16string& installDir, const std::u16string& folder, const std::u16string& name) {
  const std::u16string path = joinPath(folder, name);
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (DeleteFileW(path.c_str())) return;
  for (int k = 1; k <= 9; ++k) {
    const std::u16string keep = joinPath(installDir, text(u"%s.%dnx", name.c_str(), k));
    if (fileExists(keep)) {
      SetFileAttributesW(keep.c_str(), FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(keep.c_str());
    }
    if (!fileExists(keep) && MoveFileW(path.c_str(), keep.c_str())) {
      log::write(log::kProgress, u"ReplaceFiles", u"%s is in use: kept as %s", name.c_str(), keep.c_str());
      return;
    }
  }
}

void clearAsideFolder(const std::u16string& installDir, const std::u16string& folder) {
  for (const auto& n : filesOf(folder)) keepOrDelete(installDir, folder, n);
  RemoveDirectoryW(folder.c_str());
}

// A name for the folder of replaced files that no earlier update left behind.
std::u16string freeAsideName(const std::u16string& upgradeDir) {
  for (int k = 1; k < 1000; ++k) {
    std::u16string name = text(u"replaced%d", k);
    if (GetFileAttributesW(joinPath(upgradeDir, name).c_str()) == INVALID_FILE_ATTRIBUTES) return name;
  }
  return {};
}

HANDLE g_unload = nullptr;
HANDLE g_reload = nullptr;

void openApiEvents() {
  // Created if no scanning process has them yet, so that one starting
  // while the files are replaced sees the update and waits for it.
  if (!g_unload) g_unload = CreateEventW(nullptr, TRUE, FALSE, u"NX_Unload_AdvAvapi_Event");
  if (!g_reload) g_reload = CreateEventW(nullptr, TRUE, FALSE, u"NX_Reload_AdvAvapi_Event");
}

void enginesLetGo() {
  openApiEvents();
  if (g_reload) ResetEvent(g_reload);
  if (g_unload) SetEvent(g_unload);
}

// ReplaceFiles step 3: each installed file that is to be replaced can be
// opened for writing, or 100 passes went by. Files this process maps itself
// never become writable while it runs and are not waited for.
void waitUntilWritable(const std::u16string& installDir, const std::vector<Entry>& entries) {
  for (int pass = 0; pass < 100; ++pass) {
    bool all = true;
    for (const Entry& e : entries) {
      const std::u16string path = joinPath(installDir, e.name);
      if (!fileExists(path) || GetModuleHandleW(path.c_str())) continue;
      Sleep(20);
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
      if (h == INVALID_HANDLE_VALUE) {
        all = false;
        break;
      }
      CloseHandle(h);
    }
    if (all) return;
  }
  log::write(log::kError, u"ReplaceFiles", u"Installed files still in use after 100 passes");
}

}  // namespace

void letEnginesReload() {
  openApiEvents();
  if (g_reload) SetEvent(g_reload);
  if (g_unload) ResetEvent(g_unload);
}

void closeApiEvents() {
  if (g_unload) CloseHandle(g_unload);
  if (g_reload) CloseHandle(g_reload);
  g_unload = g_reload = nullptr;
}

void countUpdate(const std::vector<std::u16string>& staged, uint8_t c[4]) {
  bool modules = false, latest = false;
  size_t others = 0;
  for (const auto& n : staged) {
    if (toUpperCase(n).find(u".DLL") != std::u16string::npos) modules = true;
    // Every update carries its index files and version record: the
    // quick-signature kind is the one that brings latest.inx and nothing else.
    if (equalsNoCase(n, u"index.bin") || equalsNoCase(n, u"index.dat") || equalsNoCase(n, u"scanver.cnf")) continue;
    ++others;
    if (equalsNoCase(n, u"latest.inx")) latest = true;
  }
  if (modules) {
    ++c[0];
  } else if (others == 1 && latest) {
    ++c[2];
    c[3] = 1;
  } else {
    ++c[1];
    c[3] = 0;
  }
}

bool replacementPending(const std::u16string& installDir) { return fileExists(joinPath(installDir, kJournalName)); }

bool replaceFiles(Run& run, InstallMode mode, bool engineUpdate) {
  if (mode == InstallMode::Unset) return false;
  const std::u16string& dir = run.installDir;
  Journal j;
  j.engine = engineUpdate;
  j.aside = freeAsideName(run.upgradeDir);
  std::vector<std::u16string> names = filesOf(run.upgradeDir);
  j.hadCounters = fileExists(joinPath(dir, u"updttype.cfg"));
  if (j.aside.empty() || !readCounters(dir, j.oldCounters)) return false;
  std::memcpy(j.newCounters, j.oldCounters, 4);
  countUpdate(names, j.newCounters);
  for (const auto& n : names) j.entries.push_back({n, fileExists(joinPath(dir, n))});
  if (!CreateDirectoryW(joinPath(run.upgradeDir, j.aside).c_str(), nullptr) || !writeJournal(dir, j)) {
    log::write(log::kError, u"ReplaceFiles", u"Cannot write the journal. ERROR: %d", int(GetLastError()));
    RemoveDirectoryW(joinPath(run.upgradeDir, j.aside).c_str());
    return false;
  }
  if (!writeCounters(dir, j.newCounters)) {
    DeleteFileW(joinPath(dir, kJournalName).c_str());
    RemoveDirectoryW(joinPath(run.upgradeDir, j.aside).c_str());
    return false;
  }
  enginesLetGo();
  waitUntilWritable(dir, j.entries);
  for (const Entry& e : j.entries) {
    if (forward(dir, j, e)) continue;
    // One file cannot be moved in: every move made goes back, and the
    // engines may load the old files again rather than wait for a reload
    // that would never come.
    log::write(log::kError, u"ReplaceFiles", u"%s cannot be replaced: the old files are put back", e.name.c_str());
    setState(dir, kBack);
    bool restored = backAll(dir, j);
    restoreCounters(dir, j);
    if (restored) {
      letEnginesReload();
      finishReplacement(dir);
    }
    return false;
  }
  return true;
}

void finishReplacement(const std::u16string& installDir) {
  Journal j;
  if (readJournal(installDir, j) == Found::Sound && !j.aside.empty())
    clearAsideFolder(installDir, joinPath(upgradeDirOf(installDir), j.aside));
  DeleteFileW(joinPath(installDir, kJournalName).c_str());
}

bool recoverReplacement(const std::u16string& installDir, bool* finished, bool* engineUpdate) {
  if (finished) *finished = false;
  if (engineUpdate) *engineUpdate = false;
  DeleteFileW(joinPath(installDir, kJournalTemp).c_str());  // one that never took its name changed nothing
  Journal j;
  switch (readJournal(installDir, j)) {
    case Found::None: return true;
    case Found::Damaged:
      log::write(log::kError, u"RecoverUpdate", u"%s is damaged: the installation is left as it is", kJournalName);
      return false;
    case Found::Sound: break;
  }
  if (j.state == kForward) {
    bool ok = true;
    for (const Entry& e : j.entries) ok = ok && forward(installDir, j, e);
    if (!ok) {
      setState(installDir, kBack);
      j.state = kBack;
    }
  }
  bool sound = true;
  if (j.state == kBack) {
    sound = backAll(installDir, j);
    restoreCounters(installDir, j);
  } else {
    writeCounters(installDir, j.newCounters);
    if (j.engine) writeCurrentVersionFrom(installDir);
  }
  log::write(log::kProgress, u"RecoverUpdate", u"An interrupted update was %s (%d files)",
             j.state == kBack ? u"undone" : u"finished", int(j.entries.size()));
  if (!sound) return false;
  letEnginesReload();
  finishReplacement(installDir);
  emptyFolder(upgradeDirOf(installDir));
  emptyFolder(joinPath(installDir, u"temp"));
  if (finished) *finished = j.state == kForward;
  if (engineUpdate) *engineUpdate = j.engine && j.state == kForward;
  return true;
}

void sweepOldModules(const std::u16string& installDir) {
  if (replacementPending(installDir)) return;
  const std::u16string up = upgradeDirOf(installDir);
  for (const auto& f : foldersOf(up, u"replaced*")) clearAsideFolder(installDir, joinPath(up, f));
  for (const auto& n : filesOf(installDir)) {
    const size_t len = n.size();
    // "*.1nx" to "*.9nx": the signature tables (".inx") are not old modules.
    if (len < 5 || n[len - 4] != u'.' || n[len - 3] < u'1' || n[len - 3] > u'9' ||
        (n[len - 2] != u'n' && n[len - 2] != u'N') || (n[len - 1] != u'x' && n[len - 1] != u'X'))
      continue;
    const std::u16string path = joinPath(installDir, n);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path.c_str())) log::write(log::kProgress, u"RecoverUpdate", u"%s removed", n.c_str());
  }
}

}  // namespace nx::upd
