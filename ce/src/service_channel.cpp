// The request channel between service callers and the device's service host:
// one device-wide request queue read by the host, and a reply queue per call.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "ce/base.h"
#include "ce/kernel.h"
#include "ce/process.h"
#include "ce/service_host.h"
#include "ce/text.h"
#include "ce/time.h"
#include "device.h"

namespace ce::servicehost {
namespace {

constexpr char16_t kReplyPrefix[] = u"NxServiceHost.Reply.";
constexpr size_t kReplyPrefixLen = sizeof(kReplyPrefix) / sizeof(char16_t) - 1;
constexpr int64_t kRetryNs = 10'000'000;

// The host's handler, for calls made on its serving thread: such a call
// cannot wait for its own thread to read the queue.
struct Local {
  std::atomic<Handler> handler{nullptr};
  std::atomic<void*> ctx{nullptr};
  std::atomic<int32_t> tid{0};
};
Local g_local;
std::atomic<uint32_t> g_serial{0};
std::atomic<uint32_t> g_replySeq{0};

int32_t threadId() { return static_cast<int32_t>(::syscall(SYS_gettid)); }

MSGQUEUEOPTIONS requestOptions(bool read) {
  return MSGQUEUEOPTIONS{sizeof(MSGQUEUEOPTIONS), 0, kQueueDepth, sizeof(Request), read ? TRUE : FALSE};
}

// A reply queue never counts as broken: the host opens its end only to answer.
MSGQUEUEOPTIONS replyOptions(bool read) {
  return MSGQUEUEOPTIONS{sizeof(MSGQUEUEOPTIONS), MSGQUEUE_ALLOW_BROKEN, 1, sizeof(Reply), read ? TRUE : FALSE};
}

void pause(int64_t deadlineNs) {
  int64_t left = deadlineNs - clock::hostMonotonicNs();
  if (left <= 0) return;
  if (left > kRetryNs) left = kRetryNs;
  timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
  ::nanosleep(&ts, nullptr);
}

template <size_t N>
void terminate(char16_t (&s)[N]) {
  s[N - 1] = 0;
}

bool notActive() {
  SetLastError(ERROR_SERVICE_NOT_ACTIVE);
  return false;
}

// Hands the request to the host; false when no host took it in time.
bool deliver(Request& rq, int32_t& hostPid, uint64_t& hostStart) {
  const int64_t deadline = clock::hostDeadlineNs(kServiceHostConnectTimeoutMs);
  // A device with no live host recorded is most likely switched off: only a
  // host being started this moment can still take the request, and it
  // records itself within milliseconds.
  const int64_t noHostDeadline = clock::hostDeadlineNs(kServiceHostStartGraceMs);
  HANDLE q = nullptr;
  bool sent = false;
  for (;;) {
    HostState st;
    const bool live = ReadState(st) && st.running;
    if (!live && clock::hostMonotonicNs() >= noHostDeadline) break;
    if (live) {
      if (!q) {
        MSGQUEUEOPTIONS o = requestOptions(false);
        q = CreateMsgQueue(kRequestQueueName, &o);
      }
      if (q) {
        rq.hostPid = st.pid;
        rq.hostStart = st.start;
        if (WriteMsgQueue(q, &rq, sizeof rq, 0, 0)) {
          hostPid = st.pid;
          hostStart = st.start;
          sent = true;
          break;
        }
        // No reader yet (a host starting up) or a full queue: try again.
        if (GetLastError() != ERROR_PIPE_NOT_CONNECTED && GetLastError() != ERROR_TIMEOUT) break;
      }
    }
    if (clock::hostMonotonicNs() >= deadline) break;
    pause(deadline);
  }
  if (q) CloseMsgQueue(q);
  return sent;
}

}  // namespace

BOOL Call(Request& rq, Reply& rp) {
  std::memset(&rp, 0, sizeof rp);
  rq.magic = kRequestMagic;
  rq.serial = g_serial.fetch_add(1) + 1;
  rq.callerPid = static_cast<int32_t>(::getpid());
  terminate(rq.prefix);
  terminate(rq.dll);
  if (Handler h = g_local.handler.load(); h && g_local.tid.load() == threadId()) {
    h(rq, rp, g_local.ctx.load());
    if (!rp.ok) SetLastError(rp.error);
    return rp.ok ? TRUE : FALSE;
  }
  if (!detail::device()) return FALSE;

  std::u16string name = kReplyPrefix + utf8ToUtf16(std::to_string(::getpid()) + "." + std::to_string(threadId()) +
                                                   "." + std::to_string(g_replySeq.fetch_add(1)));
  std::memset(rq.replyName, 0, sizeof rq.replyName);
  std::memcpy(rq.replyName, name.data(), std::min<size_t>(name.size(), kReplyNameChars - 1) * sizeof(char16_t));
  MSGQUEUEOPTIONS ro = replyOptions(true);
  HANDLE reply = CreateMsgQueue(rq.replyName, &ro);
  if (!reply) return FALSE;

  int32_t hostPid = 0;
  uint64_t hostStart = 0;
  if (!deliver(rq, hostPid, hostStart)) {
    CloseMsgQueue(reply);
    return notActive();
  }
  // The host may die at any moment from here on: its process is waited for
  // together with the answer.
  HANDLE host = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(hostPid));
  bool answered = false;
  for (;;) {
    HANDLE objs[2] = {reply, host};
    DWORD w = WaitForMultipleObjects(host ? 2 : 1, objs, FALSE, host ? INFINITE : 0);
    DWORD got = 0, flags = 0;
    // An answer written just before the host ended still counts.
    if (ReadMsgQueue(reply, &rp, sizeof rp, &got, 0, &flags)) {
      if (got == sizeof rp && rp.magic == kReplyMagic && rp.serial == rq.serial) {
        answered = true;
        break;
      }
      continue;  // not ours: keep waiting
    }
    if (w != WAIT_OBJECT_0) break;
  }
  if (host) CloseHandle(host);
  CloseMsgQueue(reply);
  (void)hostStart;
  if (!answered) {
    std::memset(&rp, 0, sizeof rp);
    return notActive();
  }
  rp.text[MAX_PATH - 1] = 0;
  if (rp.outSize > kServiceIoControlMax) rp.outSize = kServiceIoControlMax;
  if (!rp.ok) SetLastError(rp.error ? rp.error : ERROR_GEN_FAILURE);
  return rp.ok ? TRUE : FALSE;
}

Server::~Server() { stop(); }

BOOL Server::start(Handler handler, void* ctx) {
  stop();
  mutex_ = CreateMutexW(nullptr, FALSE, kHostMutexName);
  if (!mutex_) return FALSE;
  DWORD w = WaitForSingleObject(mutex_, 0);
  if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED_0) {
    CloseHandle(mutex_);
    mutex_ = nullptr;
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  MSGQUEUEOPTIONS o = requestOptions(true);
  queue_ = CreateMsgQueue(kRequestQueueName, &o);
  if (!queue_) {
    DWORD err = GetLastError();
    stop();
    SetLastError(err);
    return FALSE;
  }
  g_local.ctx.store(ctx);
  g_local.tid.store(threadId());
  g_local.handler.store(handler);
  return TRUE;
}

BOOL Server::next(Request& rq, DWORD timeoutMs) {
  if (!queue_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  g_local.tid.store(threadId());
  const detail::ProcId me = detail::selfId();
  for (;;) {
    DWORD got = 0, flags = 0;
    if (!ReadMsgQueue(queue_, &rq, sizeof rq, &got, timeoutMs, &flags)) {
      if (GetLastError() == ERROR_INSUFFICIENT_BUFFER) continue;  // not a request of ours
      return FALSE;
    }
    // Requests for an earlier host of this device were failed already.
    if (got != sizeof rq || rq.magic != kRequestMagic || rq.hostPid != me.pid || rq.hostStart != me.start) continue;
    terminate(rq.prefix);
    terminate(rq.dll);
    terminate(rq.replyName);
    if (rq.inSize > kServiceIoControlMax || rq.outSize > kServiceIoControlMax) {
      Reply rp{};
      rp.error = ERROR_INVALID_PARAMETER;
      answer(rq, rp);
      continue;
    }
    return TRUE;
  }
}

void Server::answer(const Request& rq, const Reply& rp) {
  // Only a caller's own reply queue is written to, never another queue of the device.
  if (std::u16string_view(rq.replyName).substr(0, kReplyPrefixLen) != kReplyPrefix) return;
  MSGQUEUEOPTIONS o = replyOptions(false);
  HANDLE q = CreateMsgQueue(rq.replyName, &o);
  if (!q) return;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    Reply out = rp;
    out.magic = kReplyMagic;
    out.serial = rq.serial;
    WriteMsgQueue(q, &out, sizeof out, 0, 0);
  }
  CloseMsgQueue(q);
}

void Server::stop() {
  g_local.handler.store(nullptr);
  g_local.tid.store(0);
  if (queue_) CloseMsgQueue(queue_);
  queue_ = nullptr;
  if (mutex_) {
    ReleaseMutex(mutex_);
    CloseHandle(mutex_);
  }
  mutex_ = nullptr;
}

namespace {

BOOL simple(Op op, std::u16string* text) {
  Request rq{};
  rq.op = static_cast<uint32_t>(op);
  Reply rp;
  BOOL ok = Call(rq, rp);
  if (ok && text) *text = rp.text;
  return ok;
}

}  // namespace

BOOL Ping() { return simple(Op::Ping, nullptr); }
BOOL SetBooted() { return simple(Op::SetBooted, nullptr); }
BOOL Shutdown(std::u16string* stopped) { return simple(Op::Shutdown, stopped); }

}  // namespace ce::servicehost
