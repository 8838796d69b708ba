// Kernel objects of the handset: events, mutexes, semaphores, critical
// sections, threads, point-to-point message queues, waits, and the run-at-time
// notification that sets a named event.
//
// Named objects are device-wide: every process attached to the same device
// sees the same "Online_Mutex" or "OlnMsgQueue". An object lives while any
// process holds a handle to it; the references of a process that ended (even
// one killed outright) are reclaimed when another process next needs them,
// and a mutex it owned is handed to the next waiter as abandoned.
//
// Time-outs run on the device clock (see ce/time.h), fixed at the moment a
// wait starts.
//
// Run-at-time: CeRunAppAtTime("\\.\Notifications\NamedEvents\NAME", t) keeps a
// device-wide entry; no thread runs for it. Any kernel-object call made at or
// after the due time (on any thread of any process of the device) first sets
// the named event, and every sleeping waiter wakes no later than the earliest
// due time to do so. The event is therefore set before anyone can observe it,
// whether or not the process that asked is still running.
#pragma once

#include "ce/windows.h"

namespace ce {

// ---- Wait results and access rights ----------------------------------------
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

constexpr DWORD SYNCHRONIZE = 0x00100000u;
constexpr DWORD EVENT_MODIFY_STATE = 0x0002;
constexpr DWORD EVENT_ALL_ACCESS = 0x001F0003u;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001u;
constexpr DWORD SEMAPHORE_MODIFY_STATE = 0x0002;
constexpr DWORD SEMAPHORE_ALL_ACCESS = 0x001F0003u;

// ---- Events ----------------------------------------------------------------
// With a name that exists: opens it (the reset kind and state given here are
// ignored) and sets the last error to ERROR_ALREADY_EXISTS. A name taken by a
// mutex or semaphore fails with ERROR_INVALID_HANDLE.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL bManualReset, BOOL bInitialState, LPCWSTR name);
// Missing name: nullptr with ERROR_FILE_NOT_FOUND.
HANDLE OpenEventW(DWORD access, BOOL inherit, LPCWSTR name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);
// Releases the threads asleep on the event at this moment (one of them for an
// auto-reset event) and leaves it clear.
BOOL PulseEvent(HANDLE h);

// ---- Mutexes ---------------------------------------------------------------
// Owned by a thread, recursive. A wait that obtains a mutex whose owner thread
// or process ended without releasing it returns WAIT_ABANDONED_0 (+ index).
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES sa, BOOL bInitialOwner, LPCWSTR name);
HANDLE OpenMutexW(DWORD access, BOOL inherit, LPCWSTR name);
// FALSE with ERROR_NOT_OWNER when the calling thread does not own it.
BOOL ReleaseMutex(HANDLE h);

// ---- Semaphores ------------------------------------------------------------
// 0 <= initial <= maximum, 0 < maximum <= 0x7FFFFFFF.
HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES sa, LONG initialCount, LONG maximumCount, LPCWSTR name);
HANDLE OpenSemaphoreW(DWORD access, BOOL inherit, LPCWSTR name);
// Beyond the maximum: FALSE with ERROR_TOO_MANY_POSTS, count unchanged.
BOOL ReleaseSemaphore(HANDLE h, LONG releaseCount, LONG* previousCount);

// ---- Critical sections (one process, recursive) -----------------------------
struct CRITICAL_SECTION {
  alignas(16) unsigned char opaque[64];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// ---- Threads ---------------------------------------------------------------
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
constexpr DWORD CREATE_SUSPENDED = 0x4;

// The handle is signalled when the routine returns. The stack size is left
// to the host.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, DWORD stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD creationFlags, LPDWORD threadId);
// Starts a thread made with CREATE_SUSPENDED; returns the previous suspend
// count (1 for such a thread, 0 otherwise), 0xFFFFFFFF for a bad handle.
DWORD ResumeThread(HANDLE h);
// STILL_ACTIVE while the thread runs.
BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode);
DWORD GetCurrentThreadId();

// ---- Waiting ---------------------------------------------------------------
// Events, mutexes, semaphores, threads, processes and message queues (a read
// end is signalled while it holds a message, a write end while it has room;
// either end also when its other side is gone for good) can be waited on.
DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);
// Waits for any of 1..64 objects; the lowest signalled index wins and only it
// is consumed. bWaitAll must be FALSE (the handset only waits for any):
// TRUE gives WAIT_FAILED with ERROR_NOT_SUPPORTED.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL bWaitAll, DWORD milliseconds);

// ---- Point-to-point message queues ------------------------------------------
constexpr DWORD MSGQUEUE_NOPRECOMMIT = 0x1;
constexpr DWORD MSGQUEUE_ALLOW_BROKEN = 0x2;
constexpr DWORD MSGQUEUE_MSGALERT = 0x1;
constexpr DWORD MSGQUEUE_NOMAXMESSAGES = 0;

struct MSGQUEUEOPTIONS {
  DWORD dwSize;  // sizeof(MSGQUEUEOPTIONS)
  DWORD dwFlags;
  DWORD dwMaxMessages;  // 0: no fixed maximum (the layer still bounds it)
  DWORD cbMaxMessage;
  BOOL bReadAccess;
};
static_assert(sizeof(MSGQUEUEOPTIONS) == 20);
using LPMSGQUEUEOPTIONS = MSGQUEUEOPTIONS*;

struct MSGQUEUEINFO {
  DWORD dwSize;  // sizeof(MSGQUEUEINFO)
  DWORD dwFlags;
  DWORD dwMaxMessages;
  DWORD cbMaxMessage;
  DWORD dwCurrentMessages;
  DWORD dwMaxQueueMessages;  // most messages ever held at once
  WORD wNumReaders;
  WORD wNumWriters;
};
static_assert(sizeof(MSGQUEUEINFO) == 28);
using LPMSGQUEUEINFO = MSGQUEUEINFO*;

// Creates the queue or, for a name that exists, opens it (ERROR_ALREADY_EXISTS;
// the sizes of the first creator stay). bReadAccess picks the end.
// Queues larger than the layer allows fail with ERROR_OUTOFMEMORY.
HANDLE CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options);
// Opens an end (options->bReadAccess) of the queue behind hMsgQ, a handle of
// this process; hSrcProc is not used.
HANDLE OpenMsgQueue(HANDLE hSrcProc, HANDLE hMsgQ, LPMSGQUEUEOPTIONS options);
// Full queue: waits up to `timeout`, then ERROR_TIMEOUT. A message larger than
// the queue's maximum: ERROR_INSUFFICIENT_BUFFER. No reader and no
// MSGQUEUE_ALLOW_BROKEN: ERROR_PIPE_NOT_CONNECTED.
BOOL WriteMsgQueue(HANDLE h, LPVOID buffer, DWORD cbDataSize, DWORD timeout, DWORD flags);
// Empty queue: waits up to `timeout`, then ERROR_TIMEOUT. A buffer smaller
// than the message takes its first cbBufferSize bytes, the message is used
// up, and the call fails with ERROR_INSUFFICIENT_BUFFER.
BOOL ReadMsgQueue(HANDLE h, LPVOID buffer, DWORD cbBufferSize, LPDWORD bytesRead, DWORD timeout, DWORD* flags);
BOOL CloseMsgQueue(HANDLE h);
BOOL GetMsgQueueInfo(HANDLE h, LPMSGQUEUEINFO info);

// ---- Run at time -----------------------------------------------------------
// app must be "\\.\Notifications\NamedEvents\" followed by an event name; the
// event is set when the device's local time reaches *time. One entry per
// name: a new call replaces the old one, a null time cancels it. Other forms
// (starting a program) fail with ERROR_NOT_SUPPORTED.
BOOL CeRunAppAtTime(LPCWSTR app, const SYSTEMTIME* time);

namespace diag {
// Takes the device-wide kernel-object lock and returns without releasing it,
// so that tests can kill a process that holds it.
void LockKernelObjectsAndKeep();
}  // namespace diag

}  // namespace ce
