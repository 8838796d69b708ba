// The service host's side of services (for nxservices and the host tools;
// device programs use ce/services.h).
//
// Requests reach the host through the device-wide message queue
// kRequestQueueName, one Request per message. Each caller makes its own reply
// queue (named in the request, able to outlive a missing writer) and waits
// for the Reply on it together with the host's process, so that a host that
// dies mid-request fails the caller at once instead of leaving it waiting.
// A request names the host it was meant for (pid and start time): a later
// host that finds it in the queue drops it, so a call that already failed
// can never take effect afterwards.
//
// The host publishes what it runs in "<root>/.ce/services", replaced as a
// whole on every change; readers check that the host named there is alive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ce/services.h"
#include "ce/windows.h"

namespace ce::servicehost {

inline constexpr const WCHAR* kRequestQueueName = u"NxServiceHost.Requests";
// A named mutex the running host owns for its whole life: one host per device.
inline constexpr const WCHAR* kHostMutexName = u"NxServiceHost.Instance";

constexpr uint32_t kRequestMagic = 0x51535852;  // "RXSQ"
constexpr uint32_t kReplyMagic = 0x50535852;    // "RXSP"
constexpr uint32_t kPrefixChars = 8;
constexpr uint32_t kReplyNameChars = 64;
constexpr uint32_t kQueueDepth = 32;

enum class Op : uint32_t {
  Ping = 1,
  Register = 2,     // prefix, index, dll, context -> handle
  Deregister = 3,   // handle
  GetHandle = 4,    // prefix -> handle, text = library name as registered
  IoControl = 5,    // handle, code, data[inSize], outSize -> result, data[outSize]
  SetBooted = 6,    // the start-up programs have run
  Shutdown = 7,     // deregister every service and end; text = the names stopped
};

struct Request {
  uint32_t magic;
  uint32_t op;
  uint32_t serial;
  int32_t hostPid;  // the host this request is meant for
  uint64_t hostStart;
  int32_t callerPid;
  uint32_t index;
  uint32_t context;
  uint32_t code;
  uint64_t handle;
  uint32_t inSize;
  uint32_t outSize;
  char16_t prefix[kPrefixChars];
  char16_t dll[MAX_PATH];
  char16_t replyName[kReplyNameChars];
  uint8_t data[kServiceIoControlMax];
};

struct Reply {
  uint32_t magic;
  uint32_t serial;
  int32_t ok;
  uint32_t error;
  uint64_t handle;
  uint32_t result;
  uint32_t outSize;
  char16_t text[MAX_PATH];
  uint8_t data[kServiceIoControlMax];
};

// Sends a request to the running host and waits for its reply (see
// ce/services.h for the time-out). FALSE with ERROR_SERVICE_NOT_ACTIVE when no
// host took it or the host ended first. On the thread that serves requests
// (see Server) the handler is called directly.
BOOL Call(Request& rq, Reply& rp);

// ---- The host ---------------------------------------------------------------
using Handler = void (*)(const Request& rq, Reply& rp, void* ctx);

class Server {
 public:
  Server() = default;
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Becomes the device's service host; `handler` also answers calls made on
  // the serving thread itself (a service registering another from its Init).
  // FALSE with ERROR_ALREADY_EXISTS when another host is running.
  BOOL start(Handler handler, void* ctx);
  // The next request meant for this host; FALSE on time-out (device ms).
  BOOL next(Request& rq, DWORD timeoutMs);
  // Answers a caller; a caller that has gone meanwhile is skipped.
  void answer(const Request& rq, const Reply& rp);
  // Stops taking requests and gives up the host's place.
  void stop();

 private:
  HANDLE queue_ = nullptr;
  HANDLE mutex_ = nullptr;
};

// ---- What the host runs -------------------------------------------------------
struct ServiceRecord {
  std::u16string name;  // "OLN0:"
  DWORD index = 0;
  std::u16string dll;   // as the caller named it
  std::u16string path;  // the device path it was loaded from
  DWORD context = 0;
  uint64_t handle = 0;
  std::string entries;  // the entry points found, space-separated ("Init Deinit IOControl")
};

struct HostState {
  bool running = false;  // (ReadState) the host named is alive
  int32_t pid = 0;
  uint64_t start = 0;
  bool booted = false;
  std::u16string since;  // device local time the host started, "YYYY-MM-DD hh:mm:ss"
  std::vector<ServiceRecord> services;
};

// The host writes its state; pid and start are its own.
BOOL PublishState(const HostState& state);
// Reads the published state. FALSE with ERROR_FILE_NOT_FOUND when no host has
// run on the device, ERROR_INVALID_DATA when the file is damaged. A state
// whose host has ended reads with running false (its services are gone too).
BOOL ReadState(HostState& state);
// The host removes its state when it ends cleanly; a state left behind by a
// host that is gone therefore tells of one that was killed or crashed.
BOOL ClearState();

// Convenience calls for the tools.
BOOL Ping();
BOOL SetBooted();
// Deregisters every service (their Deinit runs) and ends the host; `stopped`
// receives the names of the services stopped, space-separated.
BOOL Shutdown(std::u16string* stopped);

}  // namespace ce::servicehost
