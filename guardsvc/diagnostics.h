// What the guard tells through its device I/O control entry point: counters
// of its work and the state of one file, for diagnosis, the tests and the
// benchmark. Every other call of the device I/O entry points does nothing.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "ce/windows.h"

namespace guard {

// Control codes of OLN_IOControl ("NX" and a number).
inline constexpr ce::DWORD kIoctlStatistics = 0x4E580001;
// Input: a path (UTF-16, terminated); output: a FileState.
inline constexpr ce::DWORD kIoctlFileState = 0x4E580002;

#pragma pack(push, 1)
struct Statistics {
  uint32_t size;             // sizeof(Statistics)
  uint32_t protectedNow;     // 1 while the engine is loaded and files are watched
  uint32_t pendingNow;       // files waiting for the worker
  uint32_t retryingNow;      // files held by another program, to be tried again
  uint32_t onlineOptions;    // the on-access options in use: enabled | action << 8 | copy << 16
  uint32_t reserved;         // keeps the counters below on 8-byte boundaries
  uint64_t eventsQueued;     // file events that queued a file
  uint64_t eventsMerged;     // file events for a file waiting already
  uint64_t eventsLost;       // file events the queue could not take
  uint64_t filesScanned;     // files the engine opened and scanned
  uint64_t filesUnchanged;   // files passed over: unchanged since the engine rewrote them
  uint64_t filesIgnored;     // files passed over: a trusted writer holds them
  uint64_t threats;          // files found infected
  uint64_t notScanned;       // files that could not be scanned completely
  uint64_t reports;          // report entries written
  uint64_t reportFailures;   // reports that could not be written
  uint64_t eventsOff;        // file events dropped: on-access protection switched off in the options
};
struct FileState {
  uint32_t size;             // sizeof(FileState)
  uint32_t scans;            // times the engine scanned the file
  uint32_t lastCode;         // result code of the last handling (0: nothing to tell)
  uint32_t firstQueuedTick;  // device ticks (GetTickCount) of the first queuing,
  uint32_t lastDoneTick;     // and of the end of the last handling (report written)
  uint32_t handled;          // times the worker took the file from the queue
};
#pragma pack(pop)

class Diagnostics {
 public:
  Statistics statistics() const;
  void count(uint64_t Statistics::*field, uint64_t n = 1);
  void setGauges(uint32_t protectedNow, uint32_t pending, uint32_t retrying);

  void queued(const std::u16string& path);
  void handled(const std::u16string& path, bool scanned, uint32_t code);
  bool fileState(const std::u16string& path, FileState* out) const;

 private:
  static constexpr size_t kMaxFiles = 8192;
  mutable std::mutex mu_;
  alignas(8) Statistics s_{};
  std::unordered_map<std::u16string, FileState> files_;
};

}  // namespace guard
