// The services one host runs: loading, Init, Deinit and unloading, and the
// state the host publishes after every change. Everything here runs on the
// host's serving thread (calls from a service's own Init come back in on that
// same thread), so nothing is locked.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ce/service_host.h"
#include "ce/services.h"

namespace nxservices {

struct Service {
  std::u16string name;  // "OLN0:"
  ce::DWORD index = 0;
  std::u16string dll;   // as the caller named it
  std::u16string path;  // where it was loaded from
  ce::DWORD context = 0;
  uint64_t handle = 0;
  ce::HMODULE module = nullptr;
  ce::DWORD initResult = 0;
  bool ready = false;     // Init has returned non-zero
  bool stopping = false;  // Deinit is running
  ce::ServiceInitFn init = nullptr;
  ce::ServiceDeinitFn deinit = nullptr;
  ce::ServiceIOControlFn ioControl = nullptr;
  std::string entries;
};

class ServiceTable {
 public:
  explicit ServiceTable(uint32_t serial);

  // Answers one request (the Server's handler).
  void handle(const ce::servicehost::Request& rq, ce::servicehost::Reply& rp);
  // Deregisters every service, the last registered first; their names.
  std::u16string deregisterAll();
  bool shutdownRequested() const { return shutdown_; }
  void publish();

 private:
  void doRegister(const ce::servicehost::Request& rq, ce::servicehost::Reply& rp);
  void doDeregister(uint64_t handle, ce::servicehost::Reply& rp);
  void doGetHandle(const ce::servicehost::Request& rq, ce::servicehost::Reply& rp);
  void doIoControl(const ce::servicehost::Request& rq, ce::servicehost::Reply& rp);
  Service* byHandle(uint64_t handle);
  Service* byName(const std::u16string& name);
  void remove(Service* s);

  std::vector<std::unique_ptr<Service>> services_;
  uint32_t serial_;
  uint32_t nextId_ = 1;
  bool booted_ = false;
  bool shutdown_ = false;
  std::u16string since_;
};

// Where the handset's loader finds a service library named `dll`: a device
// path as it is; a bare name in "\Windows", then in the installation
// directory the registry names. False when it is in neither.
bool findServiceLibrary(const std::u16string& dll, std::u16string& path);

}  // namespace nxservices
