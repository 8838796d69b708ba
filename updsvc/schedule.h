// When the next scheduled update is due: the local time at the start of a
// cycle plus the interval of the update source the options name.
#pragma once

#include <cstdint>

#include "ce/windows.h"
#include "common/options_records.h"
#include "updsvc/interval_file.h"

namespace nx::updsvc {

// File-time units (100 ns) in a minute.
inline constexpr uint64_t k100nsPerMinute = 600000000ull;

// The interval in minutes for the options' source: internet (0) or local
// folder (1). Any other source, like an interval of 0, gives 0: there is no
// time to schedule, since "now" would fire at once and the worker would
// schedule and run without end.
uint16_t scheduleInterval(const WM_UPDATE_OPTS& options, const IntervalValues& values);

// now + minutes, in local time. FALSE for 0 minutes or a time that does not
// convert.
bool nextUpdateTime(const ce::SYSTEMTIME& now, uint16_t minutes, ce::SYSTEMTIME* due);

}  // namespace nx::updsvc
