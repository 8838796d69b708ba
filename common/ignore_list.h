// The guard's list of paths it must leave alone, built from the ignore
// messages of "OlnMsgQueue". Each path carries a count: it stays ignored
// until every "1" has been matched by a "0", so nested pairs from different
// senders are safe, and a "0" for a path not on the list is dropped so an
// unmatched stop can never drive a count below zero. The list is guarded by
// the device-wide mutex "Online_Mutex", which every thread of the guard that
// touches it takes.
#pragma once

#include <cstddef>
#include <functional>

#include "ce/windows.h"

namespace nx {

inline constexpr const ce::WCHAR* kIgnoreListMutexName = u"Online_Mutex";
// A node holds a path of up to 259 characters (260 with the terminator).
inline constexpr size_t kIgnoreNodeChars = 260;

class IgnoreList {
 public:
  IgnoreList();
  ~IgnoreList();  // frees the nodes under the mutex
  IgnoreList(const IgnoreList&) = delete;
  IgnoreList& operator=(const IgnoreList&) = delete;

  // Creates (or opens) "Online_Mutex"; false when it cannot be had.
  bool open();

  // Called under the mutex with the path whose last reference went away, so
  // the guard can drop a scan it queued before the file was ignored.
  void setOnReleased(std::function<void(const ce::WCHAR* path)> fn) { onReleased_ = std::move(fn); }

  // One message as read from the queue: a type character ("1" ignore, any
  // other stop ignoring) and the path, up to a terminator or the end of the
  // bytes. Messages without a path, or with a path too long for a node, change
  // nothing. False when the message had no effect.
  bool apply(const void* message, ce::DWORD bytes);
  // Reads one message from the read end of the queue (no waiting) and
  // applies it; false when none was waiting or it had no effect.
  bool readAndApply(ce::HANDLE queue);

  bool ignore(const ce::WCHAR* path);
  bool unignore(const ce::WCHAR* path);

  // Whether a node for the path exists (letter case ignored, whole path).
  bool isIgnored(const ce::WCHAR* path) const;
  // The path's count, 0 when it is not on the list.
  ce::DWORD count(const ce::WCHAR* path) const;
  size_t size() const;
  void clear();

 private:
  struct Node;
  class Hold;  // owns the mutex for a scope
  Node* find(const ce::WCHAR* path, size_t len, Node** prev) const;

  ce::HANDLE mutex_ = nullptr;
  Node* head_ = nullptr;
  Node* tail_ = nullptr;
  std::function<void(const ce::WCHAR*)> onReleased_;
};

}  // namespace nx
