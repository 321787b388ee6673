#pragma once
// Threads started with a start routine, as the Windows thread calls do.

#include "platform/Sync.h"

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

// Starts a thread running start(parameter). The handle is waitable (signalled
// when the routine returns) and must be closed with CloseHandle; closing it
// does not stop the thread. Flags are ignored: threads start at once.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);

// The routine's return value once it has returned; STILL_ACTIVE before.
constexpr DWORD STILL_ACTIVE = 259;
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

// The system-wide identifier of the calling thread.
DWORD GetCurrentThreadId();

// Suspends the calling thread for at least the given milliseconds.
void Sleep(DWORD milliseconds);
