// The host's own log: one line per event on standard output, which
// `nxdevice boot` sends to "<root>/.ce/services.log".
#pragma once

namespace nxservices {

// printf-style; the line is stamped with the device's local time.
void logLine(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace nxservices
