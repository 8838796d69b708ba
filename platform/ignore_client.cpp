// The engine's side of the guard's ignore list: while it repairs, extracts or
// deletes a file itself, it asks the on-access guard (over "OlnMsgQueue") to
// leave that path alone, and afterwards to watch it again. The sender never
// blocks: a full queue is a failed call and the caller goes on.
#include "ce/base.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "platform/platform_internal.h"

namespace nx::plat {

using namespace ce;

namespace {
// Every party opens the queue with the same options.
constexpr DWORD kQueueMaxMessages = 20;
constexpr DWORD kQueueMaxMessageBytes = 541;
constexpr int kMessageChars = 270;
}  // namespace

// TODO(settings): ask the online options first and send nothing while
// protection is switched off; until the options layer lands every call sends.
int sendIgnore(const WCHAR* path, bool ignore) {
  if (!path) return 0;
  MSGQUEUEOPTIONS opts{};
  opts.dwSize = sizeof opts;
  opts.dwFlags = MSGQUEUE_ALLOW_BROKEN;
  opts.dwMaxMessages = kQueueMaxMessages;
  opts.cbMaxMessage = kQueueMaxMessageBytes;
  opts.bReadAccess = FALSE;
  HANDLE q = CreateMsgQueue(u"OlnMsgQueue", &opts);
  if (!q) return 0;
  WCHAR message[kMessageChars];
  // A path too long for the message is not sent cut short: the guard would
  // ignore some other file.
  int n = format16(message, kMessageChars, ignore ? u"1%s" : u"0%s", path);
  int result = 0;
  if (n > 0 && WaitForSingleObject(q, 0) == WAIT_OBJECT_0)
    result = WriteMsgQueue(q, message, static_cast<DWORD>(n + 1) * sizeof(WCHAR), INFINITE, 0) ? 1 : 0;
  CloseMsgQueue(q);
  return result;
}

}  // namespace nx::plat
