#pragma once
// Thread message queues, as the Windows calls of these names serve them for
// threads without windows: a thread gets its queue with its first GetMessageA
// or PeekMessageA, and other threads post to it by thread id. The queue goes
// when the thread ends.

#include "platform/WinTypes.h"

#include <cstdint>

struct HWND__;
using HWND = HWND__*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

struct MSG {
    HWND hwnd;  // always null: thread messages only
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;  // GetTickCount() when posted
};
using LPMSG = MSG*;

constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;

// Queues the message for the thread and returns at once; FALSE with
// ERROR_INVALID_THREAD_ID when that thread has no queue (it never asked for a
// message, or it has ended).
BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
// Waits for the next message of the calling thread whose number lies in
// min..max (both 0: any). 0 when it is WM_QUIT, else nonzero. hWnd must be null:
// a window or a null lpMsg gives -1 (ERROR_INVALID_WINDOW_HANDLE or
// ERROR_INVALID_PARAMETER), as on Windows, so loops test "> 0".
BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
// As GetMessageA without waiting: FALSE when no message is there. PM_NOREMOVE
// leaves the message queued (and, called first, just makes the queue). FALSE
// with the reason for a window or a null lpMsg.
BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
// Posts WM_QUIT with the exit code to the calling thread's own queue.
void PostQuitMessage(int nExitCode);
// Thread messages have no window to go to: both do nothing and return 0.
BOOL TranslateMessage(const MSG* lpMsg);
LPARAM DispatchMessageA(const MSG* lpMsg);
