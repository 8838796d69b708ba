// The process's handle table. Every handle the layer gives out names one
// reference-counted object; CloseHandle drops the table's reference and the
// object cleans up when the last user lets go.
#pragma once

#include <memory>

#include "ce/windows.h"

namespace ce::detail {

enum class Kind : uint8_t {
  File,
  Find,
  Event,
  Mutex,
  Semaphore,
  Thread,
  Process,
  MsgQueue,
  Snapshot,
  Other,
};

struct Object {
  virtual ~Object() = default;
  virtual Kind kind() const = 0;
};

HANDLE handleInsert(std::shared_ptr<Object> obj);
std::shared_ptr<Object> handleGet(HANDLE h);
// Removes the handle; false when it was not valid.
bool handleRemove(HANDLE h);

template <class T>
std::shared_ptr<T> handleGetAs(HANDLE h, Kind k) {
  auto obj = handleGet(h);
  if (!obj || obj->kind() != k) return nullptr;
  return std::static_pointer_cast<T>(obj);
}

// A started program. Waiting on it (kernel objects) uses the pollable pidfd.
struct ProcessObject : Object {
  Kind kind() const override { return Kind::Process; }
  ~ProcessObject() override;
  int pid = 0;
  uint64_t start = 0;  // the kernel's start time of pid: pid and start name the process
  int pidfd = -1;
  bool reaped = false;  // it has ended (and, when it is our child, been reaped)
  int exitCode = 0;
  // Reaps the child if it has ended; true when it has.
  bool poll();
};

}  // namespace ce::detail
