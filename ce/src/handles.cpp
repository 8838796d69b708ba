#include "handles.h"

#include <mutex>
#include <vector>

#include "ce/base.h"

namespace ce::detail {
namespace {

// Handle values carry a slot index and a generation, so a stale handle whose
// slot was reused is refused instead of reaching another object.
struct Slot {
  std::shared_ptr<Object> obj;
  uint32_t generation = 1;
};

struct Table {
  std::mutex mu;
  std::vector<Slot> slots;
  std::vector<uint32_t> freeList;
};

Table& table() {
  static Table* t = new Table;  // lives until exit: handles may be closed from static destructors
  return *t;
}

bool decode(HANDLE h, uint32_t& index, uint32_t& gen) {
  auto v = reinterpret_cast<uintptr_t>(h);
  if (v == 0 || h == INVALID_HANDLE_VALUE || (v & 3) != 0) return false;
  index = static_cast<uint32_t>((v >> 2) & 0xFFFFFF) - 1;
  gen = static_cast<uint32_t>(v >> 32);
  return true;
}

}  // namespace

HANDLE handleInsert(std::shared_ptr<Object> obj) {
  auto& t = table();
  std::lock_guard lock(t.mu);
  uint32_t index;
  if (!t.freeList.empty()) {
    index = t.freeList.back();
    t.freeList.pop_back();
  } else {
    if (t.slots.size() >= 0xFFFFF0) {
      SetLastError(ERROR_TOO_MANY_OPEN_FILES);
      return nullptr;
    }
    index = static_cast<uint32_t>(t.slots.size());
    t.slots.emplace_back();
  }
  Slot& s = t.slots[index];
  s.obj = std::move(obj);
  uintptr_t v = (static_cast<uintptr_t>(s.generation) << 32) | (static_cast<uintptr_t>(index + 1) << 2);
  return reinterpret_cast<HANDLE>(v);
}

std::shared_ptr<Object> handleGet(HANDLE h) {
  uint32_t index, gen;
  if (!decode(h, index, gen)) return nullptr;
  auto& t = table();
  std::lock_guard lock(t.mu);
  if (index >= t.slots.size() || t.slots[index].generation != gen) return nullptr;
  return t.slots[index].obj;
}

bool handleRemove(HANDLE h) {
  uint32_t index, gen;
  if (!decode(h, index, gen)) return false;
  std::shared_ptr<Object> victim;  // released outside the lock: destructors may call back in
  auto& t = table();
  {
    std::lock_guard lock(t.mu);
    if (index >= t.slots.size() || t.slots[index].generation != gen || !t.slots[index].obj) return false;
    victim = std::move(t.slots[index].obj);
    t.slots[index].generation = (t.slots[index].generation % 0x7FFFFFFF) + 1;
    t.freeList.push_back(index);
  }
  return true;
}

}  // namespace ce::detail

namespace ce {

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

BOOL CloseHandle(HANDLE h) {
  if (!detail::handleRemove(h)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace ce
