// The module loader. A module is loaded from the descriptor the device path
// resolved to, so the file checked is the file mapped; while loaded it holds a
// read-only, no-write-sharing entry in the device's open-file table, which is
// what keeps an update from overwriting a mapped library in place.
#include "ce/module.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ce/base.h"
#include "ce/text.h"
#include "device.h"
#include "paths.h"

namespace ce::detail {
namespace {

enum class Origin : uint8_t {
  Program,  // the running program itself
  Loaded,   // through LoadLibraryW
  Linked,   // mapped by the dynamic linker as a dependency; registered on first use
};

struct Module {
  uintptr_t id = 0;
  Origin origin = Origin::Loaded;
  void* dl = nullptr;         // dlopen handle (Loaded)
  link_map* lm = nullptr;     // the linker's record, to match addresses and exports
  uintptr_t base = 0;         // lm->l_addr, with dlName tells whether it is still mapped
  std::string dlName;         // the name the linker knows it by
  int fd = -1;                // the descriptor it was loaded from (see unloadModule)
  int32_t shareSlot = -1;
  uint64_t dev = 0;
  uint64_t ino = 0;
  std::u16string devicePath;  // empty for the program: programPath() may change
  uint32_t refs = 0;
  CeDllMainFn hook = nullptr;
  bool detaching = false;
  std::vector<HMODULE> deps;  // libraries it links, loaded from its own folder first
};

struct Table {
  // Recursive: attach/detach hooks and library constructors run under it and
  // may call back in (a module asking for its own file name, loading another).
  std::recursive_mutex mu;
  std::map<uintptr_t, std::unique_ptr<Module>> byId;
  // Freed by us but still mapped because another library links them.
  std::vector<std::unique_ptr<Module>> lingering;
  uintptr_t nextId = 2;
  uintptr_t programId = 1;
  std::set<std::pair<uint64_t, uint64_t>> loading;  // files whose libraries are being loaded (cycles)
};

Table& table() {
  static Table* t = [] {
    auto* tb = new Table;  // lives until exit: modules may be freed from static destructors
    auto prog = std::make_unique<Module>();
    prog->id = tb->programId;
    prog->origin = Origin::Program;
    prog->dl = ::dlopen(nullptr, RTLD_LAZY);
    if (prog->dl) ::dlinfo(prog->dl, RTLD_DI_LINKMAP, &prog->lm);
    tb->byId.emplace(prog->id, std::move(prog));
    return tb;
  }();
  return *t;
}

// Handles look like page-aligned bases; ids are never reused, so a freed
// handle stays invalid instead of reaching a later module.
HMODULE toHandle(uintptr_t id) { return reinterpret_cast<HMODULE>(id << 16); }

Module* find(Table& t, HMODULE h) {
  auto v = reinterpret_cast<uintptr_t>(h);
  if (v == 0 || (v & 0xFFFF) != 0) return nullptr;
  auto it = t.byId.find(v >> 16);
  return it == t.byId.end() ? nullptr : it->second.get();
}

std::u16string pathOf(const Module& m) { return m.origin == Origin::Program ? programPath() : m.devicePath; }

std::u16string_view fileNameOf(std::u16string_view path) {
  size_t slash = path.find_last_of(u"\\/");
  return slash == std::u16string_view::npos ? path : path.substr(slash + 1);
}

bool hasSeparator(std::u16string_view s) { return s.find_first_of(u"\\/") != std::u16string_view::npos; }

// A bare module name without an extension means "<name>.dll"; a trailing dot
// means "no extension".
std::u16string withDefaultExtension(std::u16string_view name) {
  std::u16string n(name);
  if (!n.empty() && n.back() == u'.') {
    n.pop_back();
    return n;
  }
  if (n.find(u'.') == std::u16string::npos) n += u".dll";
  return n;
}

bool stillMapped(uintptr_t base, const std::string& name) {
  struct Probe {
    uintptr_t base;
    const std::string* name;
  } probe{base, &name};
  return ::dl_iterate_phdr(
             [](dl_phdr_info* info, size_t, void* ctx) -> int {
               auto* p = static_cast<Probe*>(ctx);
               return info->dlpi_addr == p->base && info->dlpi_name && *p->name == info->dlpi_name ? 1 : 0;
             },
             &probe) != 0;
}

void releaseFile(Module& m) {
  if (m.shareSlot >= 0) shareRelease(m.shareSlot);
  m.shareSlot = -1;
  if (m.fd >= 0) ::close(m.fd);
  m.fd = -1;
}

// Drops records of libraries that are no longer mapped. Only a dlclose can
// unmap one, and the layer is the only caller of dlclose, so checking after
// each of ours is enough.
void sweep(Table& t) {
  for (auto it = t.lingering.begin(); it != t.lingering.end();) {
    if (stillMapped((*it)->base, (*it)->dlName)) {
      ++it;
    } else {
      releaseFile(**it);
      it = t.lingering.erase(it);
    }
  }
  for (auto it = t.byId.begin(); it != t.byId.end();) {
    Module& m = *it->second;
    if (m.origin == Origin::Linked && !stillMapped(m.base, m.dlName)) {
      releaseFile(m);
      it = t.byId.erase(it);
    } else {
      ++it;
    }
  }
}

// Unmaps a module whose record has left the table. A library another module
// still links stays mapped: it keeps its open-file entry (its bytes must not
// change under the mapping) and its descriptor, whose number is part of the
// name the linker matches later loads against, until it really goes.
void unloadModule(Table& t, std::unique_ptr<Module> m) {
  if (m->dl) ::dlclose(m->dl);
  m->dl = nullptr;
  if (stillMapped(m->base, m->dlName))
    t.lingering.push_back(std::move(m));
  else
    releaseFile(*m);
  sweep(t);
}

// An export of the module itself: dlsym also searches the libraries a module
// links, which would hand out another module's entry point (or hook).
void* ownSymbol(const Module& m, const char* name) {
  void* dl = m.dl;
  bool temporary = false;
  if (!dl && m.origin == Origin::Linked) {
    dl = ::dlopen(m.dlName.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    temporary = dl != nullptr;
  }
  if (!dl) return nullptr;
  ::dlerror();
  void* sym = ::dlsym(dl, name);
  if (temporary) ::dlclose(dl);
  if (!sym) return nullptr;
  Dl_info info;
  link_map* owner = nullptr;
  if (!::dladdr1(sym, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) || owner != m.lm) return nullptr;
  return sym;
}

DWORD dlopenError(const char* message) {
  std::string msg = message ? message : "";
  // Our own file was opened already, so "cannot open" names a library it links.
  if (msg.find("cannot open shared object file") != std::string::npos) return ERROR_MOD_NOT_FOUND;
  if (msg.find("undefined symbol") != std::string::npos) return ERROR_PROC_NOT_FOUND;
  return ERROR_BAD_EXE_FORMAT;
}

// Names of the libraries a module links (DT_NEEDED), read from its program
// headers. Anything that does not add up yields no names and is left to the
// linker to refuse.
std::vector<std::string> neededLibraries(int fd, uint64_t fileSize) {
  std::vector<std::string> out;
  auto readAt = [&](void* buf, uint64_t len, uint64_t off) {
    return off <= fileSize && len <= fileSize - off &&
           ::pread(fd, buf, len, static_cast<off_t>(off)) == static_cast<ssize_t>(len);
  };
  Elf64_Ehdr eh{};
  if (!readAt(&eh, sizeof eh, 0) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB ||
      eh.e_phentsize != sizeof(Elf64_Phdr) || eh.e_phnum == 0 || eh.e_phnum > 128)
    return out;
  std::vector<Elf64_Phdr> ph(eh.e_phnum);
  if (!readAt(ph.data(), ph.size() * sizeof(Elf64_Phdr), eh.e_phoff)) return out;
  const Elf64_Phdr* dynamic = nullptr;
  for (const auto& p : ph)
    if (p.p_type == PT_DYNAMIC) dynamic = &p;
  constexpr uint64_t kMaxTable = 1 << 20;
  if (!dynamic || dynamic->p_filesz == 0 || dynamic->p_filesz > kMaxTable) return out;
  std::vector<Elf64_Dyn> dyn(dynamic->p_filesz / sizeof(Elf64_Dyn));
  if (!readAt(dyn.data(), dyn.size() * sizeof(Elf64_Dyn), dynamic->p_offset)) return out;
  uint64_t strtab = 0, strsz = 0;
  std::vector<uint64_t> needed;
  for (const auto& d : dyn) {
    if (d.d_tag == DT_NULL) break;
    if (d.d_tag == DT_STRTAB) strtab = d.d_un.d_ptr;
    if (d.d_tag == DT_STRSZ) strsz = d.d_un.d_val;
    if (d.d_tag == DT_NEEDED && needed.size() < 64) needed.push_back(d.d_un.d_val);
  }
  if (needed.empty() || strsz == 0 || strsz > kMaxTable) return out;
  // The string table is given by address: find the file bytes behind it.
  uint64_t strOff = UINT64_MAX;
  for (const auto& p : ph)
    if (p.p_type == PT_LOAD && strtab >= p.p_vaddr && strtab - p.p_vaddr < p.p_filesz &&
        strsz <= p.p_filesz - (strtab - p.p_vaddr))
      strOff = p.p_offset + (strtab - p.p_vaddr);
  std::string strings(strsz, '\0');
  if (strOff == UINT64_MAX || !readAt(strings.data(), strsz, strOff)) return out;
  for (uint64_t off : needed) {
    if (off >= strsz) continue;
    size_t end = strings.find('\0', off);
    if (end == std::string::npos) continue;
    std::string name = strings.substr(off, end - off);
    if (!name.empty() && name.find('/') == std::string::npos) out.push_back(std::move(name));
  }
  return out;
}

void freeDeps(std::vector<HMODULE>& deps) {
  for (auto it = deps.rbegin(); it != deps.rend(); ++it) FreeLibrary(*it);
  deps.clear();
}

HMODULE loadByPath(Table& t, LPCWSTR path);
constexpr size_t kMaxDepDepth = 16;

// As the handset's loader does, a library a module links is taken from the
// module's own folder first. Loading it here, before the module, also lets
// the linker find it at all: a module mapped from a descriptor has no
// folder of its own ($ORIGIN) to search. Libraries already mapped (the
// layer itself, the C library) and names not in the folder are left to the
// linker. FALSE with the last error of the library that failed.
bool loadDeps(Table& t, int fd, uint64_t size, const std::u16string& device, std::vector<HMODULE>& deps) {
  std::u16string folder = device.substr(0, device.size() - fileNameOf(device).size());
  for (const std::string& name : neededLibraries(fd, size)) {
    if (void* h = ::dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
      ::dlclose(h);
      continue;
    }
    std::u16string depPath = folder + utf8ToUtf16(name);
    ResolvedPath rp;
    if (depPath.size() >= MAX_PATH || !resolvePath(depPath.c_str(), rp) || !rp.lastExists) continue;
    // A library that (through others) links the one being loaded is left to the linker.
    int probe = openResolved(rp, O_PATH | O_CLOEXEC);
    struct stat st{};
    bool cycle = probe >= 0 && ::fstat(probe, &st) == 0 &&
                 t.loading.count({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}) != 0;
    if (probe >= 0) ::close(probe);
    if (cycle || t.loading.size() > kMaxDepDepth) continue;
    HMODULE dep = loadByPath(t, depPath.c_str());
    if (!dep) {
      DWORD e = GetLastError();
      freeDeps(deps);
      SetLastError(e);
      return false;
    }
    deps.push_back(dep);
  }
  return true;
}

uintptr_t attachNew(Table& t, std::unique_ptr<Module> m) {
  uintptr_t id = m->id;
  CeDllMainFn hook = m->hook;
  t.byId.emplace(id, std::move(m));
  if (!hook) return id;
  if (hook(toHandle(id), DLL_PROCESS_ATTACH, nullptr)) return id;
  // As on the handset, a refused attach still gets its detach call so that
  // whatever it set up half-way can be released.
  hook(toHandle(id), DLL_PROCESS_DETACH, nullptr);
  auto it = t.byId.find(id);
  if (it != t.byId.end()) {
    std::unique_ptr<Module> victim = std::move(it->second);
    t.byId.erase(it);
    std::vector<HMODULE> linked = std::move(victim->deps);
    unloadModule(t, std::move(victim));
    freeDeps(linked);
  }
  SetLastError(ERROR_DLL_INIT_FAILED);
  return 0;
}

HMODULE loadByPath(Table& t, LPCWSTR path) {
  ResolvedPath rp;
  if (!resolvePath(path, rp)) {
    DWORD e = GetLastError();
    if (e == ERROR_PATH_NOT_FOUND || e == ERROR_FILE_NOT_FOUND) SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (!rp.lastExists) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Non-blocking: opening a FIFO planted under a module's name must not hang.
  int fd = openResolved(rp, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    SetLastError(e == ENOENT || e == ENOTDIR ? ERROR_MOD_NOT_FOUND : errnoToError(e));
    return nullptr;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    bool dir = S_ISDIR(st.st_mode);
    ::close(fd);
    SetLastError(dir ? ERROR_ACCESS_DENIED : ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  const auto dev = static_cast<uint64_t>(st.st_dev);
  const auto ino = static_cast<uint64_t>(st.st_ino);

  // Already loaded (by any spelling of its path): one more reference.
  for (auto& [id, m] : t.byId) {
    if (m->origin == Origin::Program || m->dev != dev || m->ino != ino) continue;
    ::close(fd);
    if (m->origin == Origin::Linked) {
      // The linker mapped it as a dependency; from now on it is counted.
      m->dl = ::dlopen(m->dlName.c_str(), RTLD_NOW | RTLD_NOLOAD);
      if (!m->dl) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
      }
      m->origin = Origin::Loaded;
      m->refs = 1;
      m->devicePath = rp.device;
      return toHandle(id);
    }
    if (m->refs == UINT32_MAX) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    ++m->refs;
    return toHandle(id);
  }
  // Freed but still mapped because another module links it: revive it.
  for (auto it = t.lingering.begin(); it != t.lingering.end(); ++it) {
    if ((*it)->dev != dev || (*it)->ino != ino) continue;
    ::close(fd);
    std::unique_ptr<Module> m = std::move(*it);
    t.lingering.erase(it);
    m->dl = ::dlopen(m->dlName.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!m->dl) {
      t.lingering.push_back(std::move(m));
      SetLastError(ERROR_BAD_EXE_FORMAT);
      return nullptr;
    }
    m->id = t.nextId++;
    m->refs = 1;
    m->detaching = false;
    m->devicePath = rp.device;
    uintptr_t id = attachNew(t, std::move(m));
    return id ? toHandle(id) : nullptr;
  }

  const auto key = std::make_pair(dev, ino);
  std::vector<HMODULE> deps;
  t.loading.insert(key);
  bool depsLoaded = loadDeps(t, fd, static_cast<uint64_t>(st.st_size), rp.device, deps);
  t.loading.erase(key);
  if (!depsLoaded) {
    ::close(fd);
    return nullptr;
  }

  auto m = std::make_unique<Module>();
  m->fd = fd;
  m->dev = dev;
  m->ino = ino;
  m->devicePath = rp.device;
  m->deps = std::move(deps);
  if (!shareAcquire(dev, ino, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &m->shareSlot)) {
    m->shareSlot = -1;
    DWORD e = GetLastError();
    releaseFile(*m);
    freeDeps(m->deps);
    SetLastError(e);
    return nullptr;
  }
  // The file that was checked is the file that is mapped: the linker opens
  // our descriptor, not the path again.
  std::string name = "/proc/self/fd/" + std::to_string(fd);
  ::dlerror();
  m->dl = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m->dl) {
    DWORD e = dlopenError(::dlerror());
    releaseFile(*m);
    freeDeps(m->deps);
    SetLastError(e);
    return nullptr;
  }
  if (::dlinfo(m->dl, RTLD_DI_LINKMAP, &m->lm) != 0 || !m->lm) {
    std::vector<HMODULE> linked = std::move(m->deps);
    unloadModule(t, std::move(m));
    freeDeps(linked);
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
  }
  m->base = m->lm->l_addr;
  m->dlName = m->lm->l_name ? m->lm->l_name : name;
  m->id = t.nextId++;
  m->refs = 1;
  m->hook = reinterpret_cast<CeDllMainFn>(ownSymbol(*m, kCeDllMainName));
  uintptr_t id = attachNew(t, std::move(m));
  return id ? toHandle(id) : nullptr;
}

Module* findByName(Table& t, std::u16string_view bare) {
  std::u16string want = withDefaultExtension(bare);
  for (auto& [id, m] : t.byId) {
    std::u16string p = pathOf(*m);
    if (equalsNoCase(fileNameOf(p), want)) return m.get();
  }
  return nullptr;
}

}  // namespace
}  // namespace ce::detail

namespace ce {

using namespace detail;

HMODULE LoadLibraryW(LPCWSTR path) {
  if (!path || !*path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Table& t = table();
  std::lock_guard lock(t.mu);
  std::u16string_view p(path, wcslen16(path));
  if (hasSeparator(p)) return loadByPath(t, path);
  if (p.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  // A bare name: a module of that name already loaded, else the program's
  // folder, else "\Windows".
  if (Module* m = findByName(t, p); m && m->origin != Origin::Program) return loadByPath(t, m->devicePath.c_str());
  std::u16string name = withDefaultExtension(p);
  std::u16string prog = programPath();
  std::u16string dirs[] = {prog.substr(0, prog.size() - fileNameOf(prog).size()), u"\\Windows\\"};
  for (const auto& dir : dirs) {
    if (dir.empty()) continue;
    std::u16string full = dir + name;
    HMODULE h = loadByPath(t, full.c_str());
    if (h || GetLastError() != ERROR_MOD_NOT_FOUND) return h;
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  Table& t = table();
  std::lock_guard lock(t.mu);
  Module* m = find(t, module);
  if (!m) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (m->origin != Origin::Loaded || m->detaching) return TRUE;
  if (--m->refs > 0) return TRUE;
  m->detaching = true;
  const uintptr_t id = m->id;
  if (m->hook) m->hook(module, DLL_PROCESS_DETACH, nullptr);
  auto it = t.byId.find(id);  // the hook may have changed the table
  if (it == t.byId.end()) return TRUE;
  std::unique_ptr<Module> victim = std::move(it->second);
  t.byId.erase(it);
  std::vector<HMODULE> linked = std::move(victim->deps);
  unloadModule(t, std::move(victim));
  freeDeps(linked);  // after the module: it may still use them while it goes
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  Table& t = table();
  std::lock_guard lock(t.mu);
  Module* m = find(t, module);
  if (!m) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // Below 0x10000 the "name" is an ordinal; exports here have names only.
  if (reinterpret_cast<uintptr_t>(name) < 0x10000 || !*name) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* sym = ownSymbol(*m, name);
  if (!sym) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(sym);
}

FARPROC GetProcAddressW(HMODULE module, LPCWSTR name) {
  if (reinterpret_cast<uintptr_t>(name) < 0x10000) return GetProcAddress(module, reinterpret_cast<LPCSTR>(name));
  std::string narrow = utf16ToUtf8(std::u16string_view(name, wcslen16(name)));
  if (narrow.empty() || narrow.find('\0') != std::string::npos) {
    if (!find(table(), module)) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return GetProcAddress(module, narrow.c_str());
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD cap) {
  std::u16string path;
  if (!module) {
    path = programPath();
  } else {
    Table& t = table();
    std::lock_guard lock(t.mu);
    Module* m = find(t, module);
    if (!m) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = pathOf(*m);
  }
  if (!buffer && cap > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (cap == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < cap) {
    std::memcpy(buffer, path.data(), path.size() * sizeof(WCHAR));
    buffer[path.size()] = 0;
    return static_cast<DWORD>(path.size());
  }
  std::memcpy(buffer, path.data(), (cap - 1) * sizeof(WCHAR));
  buffer[cap - 1] = 0;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return cap;
}

HMODULE GetModuleHandleW(LPCWSTR name) {
  Table& t = table();
  std::lock_guard lock(t.mu);
  if (!name) return toHandle(t.programId);
  std::u16string_view n(name, wcslen16(name));
  if (!n.empty() && !hasSeparator(n)) {
    if (Module* m = findByName(t, n)) return toHandle(m->id);
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // A full path: the same file, whichever way the path is spelled.
  ResolvedPath rp;
  if (!n.empty() && resolvePath(name, rp) && rp.lastExists) {
    for (auto& [id, m] : t.byId)
      if (equalsNoCase(pathOf(*m), rp.device)) return toHandle(id);
    int fd = openResolved(rp, O_PATH | O_CLOEXEC);
    struct stat st{};
    if (fd >= 0 && ::fstat(fd, &st) == 0) {
      for (auto& [id, m] : t.byId)
        if (m->origin != Origin::Program && m->dev == static_cast<uint64_t>(st.st_dev) &&
            m->ino == static_cast<uint64_t>(st.st_ino)) {
          ::close(fd);
          return toHandle(id);
        }
    }
    if (fd >= 0) ::close(fd);
  }
  SetLastError(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

HMODULE ModuleFromAddress(const void* address) {
  Dl_info info;
  link_map* lm = nullptr;
  if (!address || !::dladdr1(address, &info, reinterpret_cast<void**>(&lm), RTLD_DL_LINKMAP) || !lm) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  Table& t = table();
  std::lock_guard lock(t.mu);
  for (auto& [id, m] : t.byId)
    if (m->lm == lm) return toHandle(id);
  std::string host = lm->l_name ? lm->l_name : "";
  std::u16string devicePath;
  bool mapped = !host.empty() && hostToDevicePath(host, devicePath);
  if (!mapped && !host.empty()) {
    // The linker may have found it through a symbolic link of the host.
    if (char* real = ::realpath(host.c_str(), nullptr)) {
      mapped = hostToDevicePath(real, devicePath);
      std::free(real);
    }
  }
  struct stat st{};
  if (!mapped || ::stat(host.c_str(), &st) != 0) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  auto m = std::make_unique<Module>();
  m->id = t.nextId++;
  m->origin = Origin::Linked;
  m->lm = lm;
  m->base = lm->l_addr;
  m->dlName = host;
  m->dev = static_cast<uint64_t>(st.st_dev);
  m->ino = static_cast<uint64_t>(st.st_ino);
  m->devicePath = devicePath;
  // It is mapped, so it is in use like any loaded module; if a writer got
  // there first there is nothing to refuse it any more.
  if (!shareAcquire(m->dev, m->ino, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &m->shareSlot)) m->shareSlot = -1;
  uintptr_t id = m->id;
  t.byId.emplace(id, std::move(m));
  return toHandle(id);
}

}  // namespace ce
