#include "guardsvc/guard_log.h"

#include "common/debug_log.h"

namespace guard {

void logLine(const std::u16string& text) { nx::appendDebugLogLine((u"guardsvc.dll: " + text).c_str()); }

}  // namespace guard
