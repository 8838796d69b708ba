// Ignore messages to the on-access guard over its queue "OlnMsgQueue":
// "1" + path asks it to leave a file alone, "0" + path to watch it again.
// Every party opens the queue with the same options; the guard alone reads.
#pragma once

#include <cstddef>

#include "ce/kernel.h"
#include "ce/windows.h"

namespace nx {

inline constexpr const ce::WCHAR* kGuardQueueName = u"OlnMsgQueue";
inline constexpr ce::DWORD kGuardQueueMaxMessages = 20;
inline constexpr ce::DWORD kGuardQueueMaxMessageBytes = 541;
// A message is formatted into this many characters: the type character, the
// path and the terminator, so a path may hold 268 characters.
inline constexpr size_t kIgnoreMessageChars = 270;
inline constexpr size_t kIgnoreMaxPathChars = kIgnoreMessageChars - 2;
// What the guard reads a message into.
inline constexpr ce::DWORD kGuardReadBufferBytes = 540;

inline constexpr ce::WCHAR kIgnoreType = u'1';
inline constexpr ce::WCHAR kUnignoreType = u'0';

ce::MSGQUEUEOPTIONS guardQueueOptions(bool readAccess);

// Formats the message; its length in characters without the terminator, or
// 0 when the path is null or too long to go whole (nothing is ever cut).
size_t formatIgnoreMessage(const ce::WCHAR* path, bool ignore, ce::WCHAR (&out)[kIgnoreMessageChars]);

// Sends one message without blocking: TRUE when it was written. A full queue,
// a queue that cannot be opened, a null or over-long path are FALSE, and
// nothing is sent.
ce::BOOL sendIgnoreMessage(const ce::WCHAR* path, bool ignore);

// True only when the online options could be read and say that on-access
// protection is off. Reads with fallback, so it may create the options files.
bool onlineProtectionOff();

// The sender with the pre-check of the platform library, setup and the update
// engine: TRUE without sending while protection is off, else sendIgnoreMessage.
ce::BOOL sendIgnoreMessageChecked(const ce::WCHAR* path, bool ignore);

}  // namespace nx
