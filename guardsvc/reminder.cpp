// The storage-card reminder: while the card that holds the installation is
// out, a message box every 30 device minutes until the card is back or the
// service stops.
#include "ce/base.h"
#include "ce/kernel.h"
#include "ce/ui.h"
#include "guardsvc/guard_ids.h"
#include "guardsvc/guard_service.h"

namespace guard {

using namespace ce;

DWORD GuardService::remindThreadProc(void* p) {
  HANDLE event = p;
  do {
    MessageBoxW(nullptr, kReminderText, kCaption, kReminderFlags);
  } while (WaitForSingleObject(event, kReminderIntervalMs) == WAIT_TIMEOUT);
  CloseHandle(event);
  return 0;
}

bool GuardService::setReminder() {
  std::lock_guard<std::mutex> lock(stateMu_);
  if (closing_) return false;
  if (reminderThread_) return true;  // showing already
  // The thread's handle is its own (it closes it when it ends); the
  // service keeps a second one to end it with.
  HANDLE threadEvent = CreateEventW(nullptr, TRUE, FALSE, kCloseRemindName);
  if (!threadEvent) {
    MessageBoxW(nullptr, kCreateEventFailed, kCaption, kBoxFlags);
    return false;
  }
  ResetEvent(threadEvent);
  HANDLE own = CreateEventW(nullptr, TRUE, FALSE, kCloseRemindName);
  HANDLE thread = own ? CreateThread(nullptr, 0, &GuardService::remindThreadProc, threadEvent, 0, nullptr) : nullptr;
  if (!thread) {
    if (own) CloseHandle(own);
    CloseHandle(threadEvent);
    MessageBoxW(nullptr, kCreateThreadFailed, kCaption, kBoxFlags);
    return false;
  }
  reminderEvent_ = own;
  reminderThread_ = thread;
  return true;
}

void GuardService::endReminder() {
  HANDLE thread, event;
  {
    std::lock_guard<std::mutex> lock(stateMu_);
    thread = reminderThread_;
    event = reminderEvent_;
    reminderThread_ = nullptr;
    reminderEvent_ = nullptr;
  }
  if (!thread) return;
  SetEvent(event);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(event);
}

}  // namespace guard
