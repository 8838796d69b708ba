// The device clock: shared by every process of a device, running at a speed
// factor so that the system's long waits and schedules pass quickly in tests
// while every time stamp stays consistent.
#pragma once

#include "ce/windows.h"

namespace ce {

void GetSystemTime(SYSTEMTIME* st);
void GetLocalTime(SYSTEMTIME* st);
BOOL SetSystemTime(const SYSTEMTIME* st);
BOOL SetLocalTime(const SYSTEMTIME* st);
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
BOOL FileTimeToLocalFileTime(const FILETIME* ft, FILETIME* local);
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* ft);
LONG CompareFileTime(const FILETIME* a, const FILETIME* b);
void GetSystemTimeAsFileTime(FILETIME* ft);
// Milliseconds of device time since the device's kernel state was created.
DWORD GetTickCount();
// Sleeps for ms of device time.
void Sleep(DWORD ms);

// Device clock control (tools and tests).
// Speed factor: device seconds per host second (1 = real time). Device time
// stays continuous across a change.
BOOL SetClockSpeed(double factor);
double GetClockSpeed();
// Local time = system time - bias (minutes), as on the handset.
BOOL SetTimeZoneBias(LONG biasMinutes);
LONG GetTimeZoneBias();

namespace clock {
// 100 ns units since 1601-01-01 UTC on the device clock.
int64_t deviceNow100ns();
// Host CLOCK_MONOTONIC nanoseconds at which `ms` device milliseconds from now
// will have passed; INT64_MAX for INFINITE.
int64_t hostDeadlineNs(DWORD ms);
// Host nanoseconds that `ms` device milliseconds take at the current speed.
int64_t hostDurationNs(DWORD ms);
int64_t hostMonotonicNs();
// Unix time (seconds, UTC) <-> 100 ns file time.
int64_t unixToFiletime(int64_t sec, int64_t nsec);
}  // namespace clock

}  // namespace ce
