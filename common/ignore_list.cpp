#include "common/ignore_list.h"

#include <cstring>
#include <new>
#include <string_view>

#include "ce/base.h"
#include "ce/kernel.h"
#include "ce/text.h"
#include "common/queue_sender.h"

namespace nx {

using namespace ce;

struct IgnoreList::Node {
  WCHAR path[kIgnoreNodeChars];
  size_t len;
  DWORD count;
  Node* next;
};

// Takes the list's mutex for a scope. A list whose mutex could not be had
// still works within its own process (the guard owns the only list).
class IgnoreList::Hold {
 public:
  explicit Hold(HANDLE m) : m_(m) {
    if (m_) {
      DWORD r = WaitForSingleObject(m_, INFINITE);
      owned_ = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0;
    }
  }
  ~Hold() {
    if (owned_) ReleaseMutex(m_);
  }

 private:
  HANDLE m_;
  bool owned_ = false;
};

IgnoreList::IgnoreList() = default;

IgnoreList::~IgnoreList() {
  clear();
  if (mutex_) CloseHandle(mutex_);
}

bool IgnoreList::open() {
  if (mutex_) return true;
  mutex_ = CreateMutexW(nullptr, FALSE, kIgnoreListMutexName);
  return mutex_ != nullptr;
}

IgnoreList::Node* IgnoreList::find(const WCHAR* path, size_t len, Node** prev) const {
  Node* before = nullptr;
  for (Node* n = head_; n; before = n, n = n->next) {
    if (n->len == len && equalsNoCase(std::u16string_view(n->path, n->len), std::u16string_view(path, len))) {
      if (prev) *prev = before;
      return n;
    }
  }
  return nullptr;
}

namespace {
// Length of a path of at most max characters; SIZE_MAX when longer.
size_t boundedLen(const WCHAR* path, size_t max) {
  size_t n = 0;
  while (path[n]) {
    if (++n > max) return SIZE_MAX;
  }
  return n;
}
}  // namespace

bool IgnoreList::apply(const void* message, DWORD bytes) {
  if (!message || bytes < 2 * sizeof(WCHAR)) return false;
  // The message is copied out of the reader's buffer: its bytes need be
  // neither aligned nor terminated.
  WCHAR text[kGuardReadBufferBytes / sizeof(WCHAR) + 1];
  size_t units = std::min<size_t>(bytes, kGuardReadBufferBytes) / sizeof(WCHAR);
  std::memcpy(text, message, units * sizeof(WCHAR));
  text[units] = 0;
  bool add = text[0] == kIgnoreType;
  const WCHAR* path = text + 1;
  size_t len = boundedLen(path, kIgnoreNodeChars - 1);
  if (len == 0 || len == SIZE_MAX) return false;
  return add ? ignore(path) : unignore(path);
}

bool IgnoreList::readAndApply(HANDLE queue) {
  BYTE buf[kGuardReadBufferBytes];
  DWORD got = 0, flags = 0;
  if (!ReadMsgQueue(queue, buf, sizeof buf, &got, 0, &flags)) return false;
  return apply(buf, got);
}

bool IgnoreList::ignore(const WCHAR* path) {
  if (!path) return false;
  size_t len = boundedLen(path, kIgnoreNodeChars - 1);
  if (len == 0 || len == SIZE_MAX) return false;
  Hold hold(mutex_);
  if (Node* n = find(path, len, nullptr)) {
    if (n->count == 0xFFFFFFFFu) return false;
    ++n->count;
    return true;
  }
  Node* n = new (std::nothrow) Node;
  if (!n) return false;
  std::memcpy(n->path, path, len * sizeof(WCHAR));
  n->path[len] = 0;
  n->len = len;
  n->count = 1;
  n->next = nullptr;
  if (tail_) tail_->next = n;
  else head_ = n;
  tail_ = n;
  return true;
}

bool IgnoreList::unignore(const WCHAR* path) {
  if (!path) return false;
  size_t len = boundedLen(path, kIgnoreNodeChars - 1);
  if (len == 0 || len == SIZE_MAX) return false;
  Hold hold(mutex_);
  Node* prev = nullptr;
  Node* n = find(path, len, &prev);
  if (!n) return false;
  if (--n->count > 0) return true;
  if (prev) prev->next = n->next;
  else head_ = n->next;
  if (tail_ == n) tail_ = prev;
  if (onReleased_) onReleased_(n->path);
  delete n;
  return true;
}

bool IgnoreList::isIgnored(const WCHAR* path) const { return count(path) > 0; }

DWORD IgnoreList::count(const WCHAR* path) const {
  if (!path) return 0;
  size_t len = boundedLen(path, kIgnoreNodeChars - 1);
  if (len == 0 || len == SIZE_MAX) return 0;
  Hold hold(mutex_);
  Node* n = find(path, len, nullptr);
  return n ? n->count : 0;
}

size_t IgnoreList::size() const {
  Hold hold(mutex_);
  size_t s = 0;
  for (Node* n = head_; n; n = n->next) ++s;
  return s;
}

void IgnoreList::clear() {
  Hold hold(mutex_);
  while (head_) {
    Node* n = head_;
    head_ = n->next;
    delete n;
  }
  tail_ = nullptr;
}

}  // namespace nx
