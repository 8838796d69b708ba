#include "shell_table.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace ce::detail {
namespace {

constexpr uint64_t kTableMagic = 0x3130304C4C454853ull;  // "SHELL001": changes with the layout
constexpr uint32_t kEntries = 256;

struct TableEntry {
  int32_t pid;  // 0: free
  uint64_t start;
  uint64_t window;
  uint32_t mask;
  uint8_t recursive;
  char16_t folder[MAX_PATH];
};

struct Table {
  uint64_t magic;
  pthread_mutex_t lock;
  TableEntry entries[kEntries];
};

void initTable(void* base, size_t) {
  auto* t = static_cast<Table*>(base);
  t->magic = kTableMagic;
  initSharedMutex(&t->lock);
}

Table* tableOf(DeviceState* dev) {
  static std::mutex mu;
  static auto* mapped = new std::unordered_map<std::string, Table*>;
  std::lock_guard lock(mu);
  auto it = mapped->find(dev->ceDir);
  if (it != mapped->end()) return it->second;
  auto* t = static_cast<Table*>(mapDeviceSegment(dev->ceDir + "/shell", sizeof(Table), &initTable));
  if (t && t->magic != kTableMagic) t = nullptr;
  if (t) mapped->emplace(dev->ceDir, t);
  return t;
}

template <class F>
void withTable(DeviceState* dev, F&& fn) {
  Table* t = tableOf(dev);
  if (!t) return;
  // Entries are written whole before they are marked used: a process that
  // died inside the lock leaves nothing to repair.
  lockShared(&t->lock);
  fn(*t);
  unlockShared(&t->lock);
}

}  // namespace

void shellTableSet(DeviceState* dev, HWND hwnd, DWORD mask, const std::u16string& folder, bool recursive) {
  const ProcId me = selfId();
  const uint64_t window = reinterpret_cast<uintptr_t>(hwnd);
  withTable(dev, [&](Table& t) {
    TableEntry* slot = nullptr;
    for (auto& e : t.entries) {
      if (e.pid == me.pid && e.start == me.start && e.window == window) {
        slot = &e;
        break;
      }
      if (!slot && (e.pid == 0 || !procAlive(ProcId{e.pid, e.start}))) slot = &e;
    }
    if (!slot) return;  // a listing only: a full table costs no registration
    slot->pid = 0;
    slot->start = me.start;
    slot->window = window;
    slot->mask = mask;
    slot->recursive = recursive ? 1 : 0;
    std::memset(slot->folder, 0, sizeof slot->folder);
    std::memcpy(slot->folder, folder.data(), std::min<size_t>(folder.size(), MAX_PATH - 1) * sizeof(char16_t));
    slot->pid = me.pid;
  });
}

void shellTableRemove(DeviceState* dev, HWND hwnd) {
  const ProcId me = selfId();
  const uint64_t window = reinterpret_cast<uintptr_t>(hwnd);
  withTable(dev, [&](Table& t) {
    for (auto& e : t.entries)
      if (e.pid == me.pid && e.start == me.start && e.window == window) e.pid = 0;
  });
}

std::vector<ChangeNotifyRegistration> shellTableList(DeviceState* dev) {
  std::vector<ChangeNotifyRegistration> out;
  std::vector<ProcId> owners;
  withTable(dev, [&](Table& t) {
    for (const auto& e : t.entries) {
      if (e.pid == 0) continue;
      ChangeNotifyRegistration r;
      r.processId = e.pid;
      r.window = e.window;
      r.eventMask = e.mask;
      r.recursive = e.recursive != 0;
      r.folder.assign(e.folder, std::find(e.folder, e.folder + MAX_PATH, u'\0'));
      out.push_back(std::move(r));
      owners.push_back(ProcId{e.pid, e.start});
    }
  });
  std::vector<ChangeNotifyRegistration> alive;
  for (size_t i = 0; i < out.size(); ++i) {
    if (!procAlive(owners[i])) continue;
    out[i].program = withSegmentLock(dev->seg, [&] {
      for (const auto& p : dev->seg->processes)
        if (p.pid == owners[i].pid && p.start == owners[i].start)
          return std::u16string(p.image, std::find(p.image, p.image + MAX_PATH, u'\0'));
      return std::u16string();
    });
    alive.push_back(std::move(out[i]));
  }
  return alive;
}

}  // namespace ce::detail
