#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "ce/base.h"
#include "ce/time.h"
#include "device.h"
#include "device_settings.h"

namespace ce {
namespace clock {

constexpr int64_t kUnixEpochAs1601 = 116444736000000000LL;  // 100 ns units

int64_t hostMonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t unixToFiletime(int64_t sec, int64_t nsec) { return kUnixEpochAs1601 + sec * 10000000LL + nsec / 100; }

namespace {

struct Snapshot {
  double speed;
  int64_t anchorHost;
  int64_t anchorDevice;
  int64_t created;
};

// Without a device the clock is the host's, at real speed.
Snapshot read(detail::KernelSegment* seg) {
  if (!seg) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t now = unixToFiletime(ts.tv_sec, ts.tv_nsec);
    return {1.0, hostMonotonicNs(), now, now};
  }
  Snapshot s;
  uint32_t seq;
  // The closing read is a read-modify-write so that the field reads above
  // cannot move past it; a writer in between makes the sequence differ.
  do {
    seq = seg->clockSeq.load(std::memory_order_acquire);
    s.speed = seg->clockSpeed.load(std::memory_order_relaxed);
    s.anchorHost = seg->anchorHostNs.load(std::memory_order_relaxed);
    s.anchorDevice = seg->anchorDevice.load(std::memory_order_relaxed);
    s.created = seg->createdDevice.load(std::memory_order_relaxed);
  } while ((seq & 1) || seq != seg->clockSeq.fetch_add(0, std::memory_order_acq_rel));
  return s;
}

detail::KernelSegment* segment() {
  auto* d = detail::device();
  return d ? d->seg : nullptr;
}

int64_t nowFrom(const Snapshot& s) {
  int64_t elapsedNs = hostMonotonicNs() - s.anchorHost;
  return s.anchorDevice + static_cast<int64_t>(std::llround(static_cast<double>(elapsedNs) * s.speed / 100.0));
}

// Re-anchors the clock at `device` with `speed`; caller holds the segment lock.
void reanchor(detail::KernelSegment* seg, int64_t device, double speed) {
  seg->clockSeq.fetch_add(1, std::memory_order_acq_rel);
  seg->anchorHostNs.store(hostMonotonicNs(), std::memory_order_relaxed);
  seg->anchorDevice.store(device, std::memory_order_relaxed);
  seg->clockSpeed.store(speed, std::memory_order_relaxed);
  seg->clockSeq.fetch_add(1, std::memory_order_release);
}

}  // namespace

int64_t deviceNow100ns() { return nowFrom(read(segment())); }

int64_t hostDurationNs(DWORD ms) {
  Snapshot s = read(segment());
  return static_cast<int64_t>(static_cast<double>(ms) * 1e6 / s.speed);
}

int64_t hostDeadlineNs(DWORD ms) {
  if (ms == INFINITE) return INT64_MAX;
  return hostMonotonicNs() + hostDurationNs(ms);
}

}  // namespace clock

namespace detail {

void clockInit(KernelSegment* seg, const std::string& ceDir) {
  double speed = 1.0;
  std::string s = std::getenv("NX_CLOCK_SPEED") ? std::getenv("NX_CLOCK_SPEED") : settingsGet(ceDir, "clock_speed");
  if (!s.empty()) {
    double v = std::strtod(s.c_str(), nullptr);
    if (v > 0 && v <= 1e6) speed = v;
  }
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  seg->clockSpeed = speed;
  seg->anchorHostNs = clock::hostMonotonicNs();
  seg->anchorDevice = clock::unixToFiletime(ts.tv_sec, ts.tv_nsec);
  seg->createdDevice = seg->anchorDevice.load();
  std::string bias = settingsGet(ceDir, "tz_bias");
  if (!bias.empty()) {
    seg->tzBiasMinutes = static_cast<int32_t>(std::strtol(bias.c_str(), nullptr, 10));
  } else {
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    seg->tzBiasMinutes = static_cast<int32_t>(-local.tm_gmtoff / 60);
  }
}

}  // namespace detail

namespace {

constexpr int64_t k100nsPerDay = 864000000000LL;

// Days since 1601-01-01 for a civil date (proleptic Gregorian).
int64_t daysFromCivil(int y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468 + 134774;  // 1970 -> 1601 shift
}

void civilFromDays(int64_t z, int& y, unsigned& m, unsigned& d) {
  z -= 134774;
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int>(yoe + era * 400);
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

int64_t toInt(const FILETIME* ft) {
  return static_cast<int64_t>((static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime);
}
void fromInt(int64_t v, FILETIME* ft) {
  ft->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(v));
  ft->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(v) >> 32);
}

bool validSystemTime(const SYSTEMTIME* st) {
  static const int mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wHour > 23 ||
      st->wMinute > 59 || st->wSecond > 59 || st->wMilliseconds > 999 || st->wDay < 1)
    return false;
  int y = st->wYear;
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  int maxDay = mdays[st->wMonth - 1] + (st->wMonth == 2 && leap ? 1 : 0);
  return st->wDay <= maxDay;
}

void splitFiletime(int64_t v, SYSTEMTIME* st) {
  int64_t days = v / k100nsPerDay;
  int64_t rest = v % k100nsPerDay;
  int y;
  unsigned m, d;
  civilFromDays(days, y, m, d);
  st->wYear = static_cast<WORD>(y);
  st->wMonth = static_cast<WORD>(m);
  st->wDay = static_cast<WORD>(d);
  st->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  int64_t ms = rest / 10000;
  st->wHour = static_cast<WORD>(ms / 3600000);
  st->wMinute = static_cast<WORD>(ms / 60000 % 60);
  st->wSecond = static_cast<WORD>(ms / 1000 % 60);
  st->wMilliseconds = static_cast<WORD>(ms % 1000);
}

int64_t biasUnits() {
  auto* d = detail::device();
  return d ? static_cast<int64_t>(d->seg->tzBiasMinutes.load()) * 600000000LL : 0;
}

}  // namespace

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
  if (!st || !ft || !validSystemTime(st)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int64_t v = daysFromCivil(st->wYear, st->wMonth, st->wDay) * k100nsPerDay +
              ((st->wHour * 3600LL + st->wMinute * 60LL + st->wSecond) * 1000LL + st->wMilliseconds) * 10000LL;
  fromInt(v, ft);
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
  if (!ft || !st || toInt(ft) < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  splitFiletime(toInt(ft), st);
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* ft, FILETIME* local) {
  if (!ft || !local) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  fromInt(toInt(ft) - biasUnits(), local);
  return TRUE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* ft) {
  if (!ft || !local) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  fromInt(toInt(local) + biasUnits(), ft);
  return TRUE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
  uint64_t x = static_cast<uint64_t>(toInt(a)), y = static_cast<uint64_t>(toInt(b));
  return x < y ? -1 : (x > y ? 1 : 0);
}

void GetSystemTimeAsFileTime(FILETIME* ft) {
  if (ft) fromInt(clock::deviceNow100ns(), ft);
}

void GetSystemTime(SYSTEMTIME* st) {
  if (st) splitFiletime(clock::deviceNow100ns(), st);
}

void GetLocalTime(SYSTEMTIME* st) {
  if (st) splitFiletime(clock::deviceNow100ns() - biasUnits(), st);
}

BOOL SetSystemTime(const SYSTEMTIME* st) {
  FILETIME ft;
  if (!SystemTimeToFileTime(st, &ft)) return FALSE;
  auto* d = detail::device();
  if (!d) return FALSE;
  detail::withSegmentLock(d->seg, [&] { clock::reanchor(d->seg, toInt(&ft), d->seg->clockSpeed.load()); });
  return TRUE;
}

BOOL SetLocalTime(const SYSTEMTIME* st) {
  FILETIME ft;
  if (!SystemTimeToFileTime(st, &ft)) return FALSE;
  SYSTEMTIME utc;
  splitFiletime(toInt(&ft) + biasUnits(), &utc);
  return SetSystemTime(&utc);
}

DWORD GetTickCount() {
  auto* d = detail::device();
  int64_t created = d ? d->seg->createdDevice.load() : 0;
  int64_t now = clock::deviceNow100ns();
  return d ? static_cast<DWORD>((now - created) / 10000) : static_cast<DWORD>(clock::hostMonotonicNs() / 1000000);
}

void Sleep(DWORD ms) {
  if (ms == INFINITE) {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
  }
  int64_t ns = clock::hostDurationNs(ms);
  if (ns <= 0) {
    std::this_thread::yield();
    return;
  }
  timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

BOOL SetClockSpeed(double factor) {
  if (!(factor > 0) || factor > 1e6) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  auto* d = detail::device();
  if (!d) return FALSE;
  detail::withSegmentLock(d->seg, [&] { clock::reanchor(d->seg, clock::deviceNow100ns(), factor); });
  // Kept with the device, so the speed outlives the processes that set it.
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", factor);
  detail::settingsSet(d->ceDir, "clock_speed", text);
  return TRUE;
}

double GetClockSpeed() {
  auto* d = detail::device();
  return d ? d->seg->clockSpeed.load() : 1.0;
}

BOOL SetTimeZoneBias(LONG biasMinutes) {
  if (biasMinutes < -14 * 60 || biasMinutes > 14 * 60) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  auto* d = detail::device();
  if (!d) return FALSE;
  detail::withSegmentLock(d->seg, [&] { d->seg->tzBiasMinutes = biasMinutes; });
  return TRUE;
}

LONG GetTimeZoneBias() {
  auto* d = detail::device();
  return d ? d->seg->tzBiasMinutes.load() : 0;
}

}  // namespace ce
