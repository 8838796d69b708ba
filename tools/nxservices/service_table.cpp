#include "service_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ce/ce.h"
#include "common/install_dir.h"
#include "host_log.h"

namespace nxservices {

using ce::servicehost::Op;
using ce::servicehost::Reply;
using ce::servicehost::Request;

namespace {

constexpr uint32_t kMaxId = 0x0FFFFFFF;

bool fail(Reply& rp, ce::DWORD code) {
  rp.ok = 0;
  rp.error = code;
  return false;
}

void setText(Reply& rp, const std::u16string& s) {
  std::memset(rp.text, 0, sizeof rp.text);
  std::memcpy(rp.text, s.data(), std::min<size_t>(s.size(), ce::MAX_PATH - 1) * sizeof(char16_t));
}

std::string narrow(const std::u16string& s) { return ce::utf16ToUtf8(s); }

std::u16string localTimeText() {
  ce::SYSTEMTIME t;
  ce::GetLocalTime(&t);
  return ce::format16(u"%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

bool isFile(const std::u16string& path) {
  ce::DWORD a = ce::GetFileAttributesW(path.c_str());
  return a != ce::INVALID_FILE_ATTRIBUTES && !(a & ce::FILE_ATTRIBUTE_DIRECTORY);
}

// An entry point of the family: as the prefix is spelled, else in capitals
// (the handset's families are named in capitals: OLN_Init).
ce::FARPROC entry(ce::HMODULE m, const std::u16string& name, const char* what) {
  std::string prefix = narrow(name.substr(0, 3));
  if (ce::FARPROC p = ce::GetProcAddress(m, (prefix + "_" + what).c_str())) return p;
  std::string upper = prefix;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return upper == prefix ? nullptr : ce::GetProcAddress(m, (upper + "_" + what).c_str());
}

}  // namespace

bool findServiceLibrary(const std::u16string& dll, std::u16string& path) {
  if (dll.find_first_of(u"\\/") != std::u16string::npos) {
    path = dll;
    return true;
  }
  std::u16string windows = u"\\Windows\\" + dll;
  if (isFile(windows)) {
    path = windows;
    return true;
  }
  ce::WCHAR dir[ce::MAX_PATH];
  if (nx::getInstallDirectory(dir, ce::MAX_PATH)) {
    std::u16string inInstall = std::u16string(dir) + u"\\" + dll;
    if (isFile(inInstall)) {
      path = inInstall;
      return true;
    }
  }
  return false;
}

ServiceTable::ServiceTable(uint32_t serial) : serial_(serial & 0xFFFFFF ? serial & 0xFFFFFF : 1) {
  since_ = localTimeText();
}

void ServiceTable::publish() {
  ce::servicehost::HostState st;
  st.booted = booted_;
  st.since = since_;
  for (const auto& s : services_) {
    if (!s->ready) continue;
    ce::servicehost::ServiceRecord r;
    r.name = s->name;
    r.index = s->index;
    r.dll = s->dll;
    r.path = s->path;
    r.context = s->context;
    r.handle = s->handle;
    r.entries = s->entries;
    st.services.push_back(std::move(r));
  }
  if (!ce::servicehost::PublishState(st)) logLine("cannot write the host's state (error %u)", ce::GetLastError());
}

Service* ServiceTable::byHandle(uint64_t handle) {
  for (auto& s : services_)
    if (s->handle == handle) return s.get();
  return nullptr;
}

Service* ServiceTable::byName(const std::u16string& name) {
  for (auto& s : services_)
    if (ce::equalsNoCase(s->name, name)) return s.get();
  return nullptr;
}

void ServiceTable::remove(Service* s) {
  for (auto it = services_.begin(); it != services_.end(); ++it)
    if (it->get() == s) {
      services_.erase(it);
      return;
    }
}

void ServiceTable::handle(const Request& rq, Reply& rp) {
  std::memset(&rp, 0, sizeof rp);
  switch (static_cast<Op>(rq.op)) {
    case Op::Ping:
      rp.ok = 1;
      return;
    case Op::Register:
      doRegister(rq, rp);
      return;
    case Op::Deregister:
      doDeregister(rq.handle, rp);
      return;
    case Op::GetHandle:
      doGetHandle(rq, rp);
      return;
    case Op::IoControl:
      doIoControl(rq, rp);
      return;
    case Op::SetBooted:
      booted_ = true;
      publish();
      logLine("device booted");
      rp.ok = 1;
      return;
    case Op::Shutdown:
      setText(rp, deregisterAll());
      shutdown_ = true;
      rp.ok = 1;
      return;
  }
  fail(rp, ce::ERROR_INVALID_FUNCTION);
}

void ServiceTable::doRegister(const Request& rq, Reply& rp) {
  const std::u16string name(rq.prefix);
  const std::u16string dll(rq.dll);
  if (name.size() != 5 || dll.empty()) {
    fail(rp, ce::ERROR_INVALID_PARAMETER);
    return;
  }
  if (byName(name)) {
    logLine("%s registered already, %s not loaded again", narrow(name).c_str(), narrow(dll).c_str());
    fail(rp, ce::ERROR_DEVICE_IN_USE);
    return;
  }
  if (nextId_ > kMaxId) {
    fail(rp, ce::ERROR_OUTOFMEMORY);
    return;
  }
  auto svc = std::make_unique<Service>();
  Service* s = svc.get();
  s->name = name;
  s->index = rq.index;
  s->dll = dll;
  s->context = rq.context;
  s->handle = (static_cast<uint64_t>(serial_) << 32) | (static_cast<uint64_t>(nextId_++) << 4) | 0x5;
  if (!findServiceLibrary(dll, s->path)) {
    logLine("%s %s not found", narrow(name).c_str(), narrow(dll).c_str());
    fail(rp, ce::ERROR_MOD_NOT_FOUND);
    return;
  }
  s->module = ce::LoadLibraryW(s->path.c_str());
  if (!s->module) {
    ce::DWORD err = ce::GetLastError();
    logLine("%s cannot load %s (error %u)", narrow(name).c_str(), narrow(s->path).c_str(), err);
    fail(rp, err ? err : ce::ERROR_MOD_NOT_FOUND);
    return;
  }
  s->init = reinterpret_cast<ce::ServiceInitFn>(entry(s->module, name, "Init"));
  s->deinit = reinterpret_cast<ce::ServiceDeinitFn>(entry(s->module, name, "Deinit"));
  s->ioControl = reinterpret_cast<ce::ServiceIOControlFn>(entry(s->module, name, "IOControl"));
  if (!s->init || !s->deinit) {
    logLine("%s %s has no %s_Init and %s_Deinit", narrow(name).c_str(), narrow(s->path).c_str(),
            narrow(name.substr(0, 3)).c_str(), narrow(name.substr(0, 3)).c_str());
    ce::FreeLibrary(s->module);
    fail(rp, ce::ERROR_PROC_NOT_FOUND);
    return;
  }
  for (const char* what : {"Init", "Deinit", "Open", "Close", "Read", "Write", "Seek", "IOControl", "PowerUp",
                           "PowerDown"}) {
    if (!entry(s->module, name, what)) continue;
    if (!s->entries.empty()) s->entries += ' ';
    s->entries += what;
  }
  // Listed before Init runs, so that an Init registering services itself
  // cannot take this name meanwhile.
  services_.push_back(std::move(svc));
  ce::SetLastError(0);
  s->initResult = s->init(s->context);
  if (!s->initResult) {
    ce::DWORD err = ce::GetLastError();
    if (!err) err = ce::ERROR_OPEN_FAILED;
    logLine("%s %s_Init(%u) failed (error %u); %s unloaded", narrow(name).c_str(), narrow(name.substr(0, 3)).c_str(),
            s->context, err, narrow(s->path).c_str());
    ce::HMODULE m = s->module;
    remove(s);
    ce::FreeLibrary(m);
    fail(rp, err);
    return;
  }
  s->ready = true;
  // Kept in the order the services came up, so that shutdown stops one
  // whose Init started others before those.
  for (auto it = services_.begin(); it != services_.end(); ++it)
    if (it->get() == s) {
      std::rotate(it, it + 1, services_.end());
      break;
    }
  logLine("%s %s started (Init %u -> %u)", narrow(name).c_str(), narrow(s->path).c_str(), s->context,
          s->initResult);
  publish();
  rp.ok = 1;
  rp.handle = s->handle;
}

void ServiceTable::doDeregister(uint64_t handle, Reply& rp) {
  Service* s = byHandle(handle);
  if (!s || !s->ready || s->stopping) {
    fail(rp, ce::ERROR_INVALID_HANDLE);
    return;
  }
  s->stopping = true;
  s->deinit(s->initResult);
  const std::string name = narrow(s->name), path = narrow(s->path);
  ce::HMODULE m = s->module;
  remove(s);
  ce::FreeLibrary(m);
  logLine("%s stopped, %s unloaded", name.c_str(), path.c_str());
  publish();
  rp.ok = 1;
}

void ServiceTable::doGetHandle(const Request& rq, Reply& rp) {
  Service* s = byName(std::u16string(rq.prefix));
  if (!s || !s->ready || s->stopping) {
    fail(rp, ce::ERROR_FILE_NOT_FOUND);
    return;
  }
  rp.ok = 1;
  rp.handle = s->handle;
  setText(rp, s->dll);
}

void ServiceTable::doIoControl(const Request& rq, Reply& rp) {
  Service* s = byHandle(rq.handle);
  if (!s || !s->ready || s->stopping) {
    fail(rp, ce::ERROR_INVALID_HANDLE);
    return;
  }
  if (!s->ioControl) {
    fail(rp, ce::ERROR_NOT_SUPPORTED);
    return;
  }
  uint8_t in[ce::kServiceIoControlMax];
  std::memcpy(in, rq.data, rq.inSize);
  ce::DWORD actual = 0;
  ce::SetLastError(0);
  ce::BOOL r = s->ioControl(s->initResult, rq.code, in, rq.inSize, rp.data, rq.outSize, &actual);
  rp.ok = 1;
  rp.result = r ? 1 : 0;
  rp.error = r ? 0 : ce::GetLastError();
  rp.outSize = actual < rq.outSize ? actual : rq.outSize;
}

std::u16string ServiceTable::deregisterAll() {
  std::u16string names;
  while (!services_.empty()) {
    Service* s = services_.back().get();
    if (!s->ready || s->stopping) {
      // Only reachable from inside an Init or Deinit: that one finishes itself.
      break;
    }
    const std::u16string name = s->name;
    Reply rp;
    doDeregister(s->handle, rp);
    if (!names.empty()) names += u' ';
    names += name;
  }
  booted_ = false;
  return names;
}

}  // namespace nxservices
