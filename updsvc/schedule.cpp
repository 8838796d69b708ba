#include "updsvc/schedule.h"

#include "ce/time.h"

namespace nx::updsvc {

uint16_t scheduleInterval(const WM_UPDATE_OPTS& options, const IntervalValues& values) {
  if (options.bSource == 0) return values.internetMinutes;
  if (options.bSource == 1) return values.localMinutes;
  return 0;
}

bool nextUpdateTime(const ce::SYSTEMTIME& now, uint16_t minutes, ce::SYSTEMTIME* due) {
  if (!due || minutes == 0) return false;
  ce::FILETIME ft;
  if (!ce::SystemTimeToFileTime(&now, &ft)) return false;
  uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  t += minutes * k100nsPerMinute;
  ft.dwLowDateTime = static_cast<ce::DWORD>(t);
  ft.dwHighDateTime = static_cast<ce::DWORD>(t >> 32);
  return ce::FileTimeToSystemTime(&ft, due) != ce::FALSE;
}

}  // namespace nx::updsvc
