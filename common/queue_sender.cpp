#include "common/queue_sender.h"

#include "ce/text.h"
#include "common/install_dir.h"
#include "common/options_files.h"

namespace nx {

using namespace ce;

MSGQUEUEOPTIONS guardQueueOptions(bool readAccess) {
  MSGQUEUEOPTIONS o{};
  o.dwSize = sizeof o;
  o.dwFlags = MSGQUEUE_ALLOW_BROKEN;
  o.dwMaxMessages = kGuardQueueMaxMessages;
  o.cbMaxMessage = kGuardQueueMaxMessageBytes;
  o.bReadAccess = readAccess ? TRUE : FALSE;
  return o;
}

size_t formatIgnoreMessage(const WCHAR* path, bool ignore, WCHAR (&out)[kIgnoreMessageChars]) {
  if (!path) return 0;
  // A path cut short would make the guard ignore some other file, so a
  // message that does not fit is not formatted at all.
  int n = format16(out, kIgnoreMessageChars, ignore ? u"1%s" : u"0%s", path);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

BOOL sendIgnoreMessage(const WCHAR* path, bool ignore) {
  if (!path) return FALSE;
  MSGQUEUEOPTIONS opts = guardQueueOptions(false);
  HANDLE q = CreateMsgQueue(kGuardQueueName, &opts);
  if (!q) return FALSE;
  WCHAR message[kIgnoreMessageChars];
  size_t n = formatIgnoreMessage(path, ignore, message);
  BOOL ok = FALSE;
  // A zero wait tells whether the queue has room: the sender never blocks the
  // file operation it brackets on a guard that is busy or gone. The write
  // does not wait either: another sender may take the last slot between the
  // check and the write, and with no guard reading, a waiting write would
  // never return.
  if (n > 0 && WaitForSingleObject(q, 0) == WAIT_OBJECT_0)
    ok = WriteMsgQueue(q, message, static_cast<DWORD>((n + 1) * sizeof(WCHAR)), 0, 0);
  CloseMsgQueue(q);
  return ok ? TRUE : FALSE;
}

bool onlineProtectionOff() {
  WCHAR dir[MAX_PATH];
  if (!getInstallDirectory(dir, MAX_PATH)) return false;
  WM_ONLINE_OPTS online{};
  if (!CWmOptionsGen::ReadOnlineOpts(dir, &online, kOptionsReadCurrent)) return false;
  return online.bEnabled == 0;
}

BOOL sendIgnoreMessageChecked(const WCHAR* path, bool ignore) {
  if (!path) return FALSE;
  // Only options that were read and say "off" suppress the message: when in
  // doubt the guard is told.
  if (onlineProtectionOff()) return TRUE;
  return sendIgnoreMessage(path, ignore);
}

}  // namespace nx
