// The engine's side of the guard's ignore list: while it repairs, extracts or
// deletes a file itself, it asks the on-access guard (over "OlnMsgQueue") to
// leave that path alone, and afterwards to watch it again. The sender is the
// one every component carries: it never blocks (a full queue is a failed call
// and the caller goes on), and while the online options say protection is
// off there is no guard to tell, so nothing is sent.
#include "common/queue_sender.h"
#include "platform/platform_internal.h"

namespace nx::plat {

int sendIgnore(const WCHAR* path, bool ignore) {
  if (!path) return 0;
  return nx::sendIgnoreMessageChecked(path, ignore) ? 1 : 0;
}

}  // namespace nx::plat
