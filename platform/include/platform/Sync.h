#pragma once
// Recursive critical sections, auto- and manual-reset events and waits on one
// or several objects, with the semantics of the Windows calls of these names.

#include "platform/WinTypes.h"

#include <mutex>

// A recursive lock. The owning thread may enter it any number of times and
// must leave it as often; this is what lets a chain of log appends keep the
// lock until its commit.
struct CRITICAL_SECTION {
    std::recursive_mutex mutex;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

// Holds a critical section for a scope.
class CriticalSectionLock {
public:
    explicit CriticalSectionLock(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~CriticalSectionLock() { LeaveCriticalSection(&cs_); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CRITICAL_SECTION& cs_;
};

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// Events. Named events are not served: the system uses unnamed ones only.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits on events and threads. A thread object is signalled once its start
// routine has returned. Time-outs are in milliseconds; INFINITE waits forever.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds);

// Named mutexes, served only as the single-instance guard: the name is an
// exclusive lock on a file named after it in the user's runtime folder
// (platform::UserRuntimeFolder), held by the handle until it is closed (or the
// process ends). When another handle, in this or any process, holds the name,
// the call still returns a handle, which owns nothing, with GetLastError
// ERROR_ALREADY_EXISTS, as Windows does for an existing mutex. Null (with the
// reason) when the lock file cannot be made; a null or empty name gives null
// with ERROR_INVALID_PARAMETER (unnamed mutexes are not served). Waits on
// these handles are not served.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
// Gives up the name at once (the handle must still be closed); FALSE with
// ERROR_NOT_OWNER for a handle that owns nothing.
constexpr DWORD ERROR_NOT_OWNER = 288;
BOOL ReleaseMutex(HANDLE mutex);

// Closes any handle made by the platform layer (events, threads, files, ports).
BOOL CloseHandle(HANDLE object);
