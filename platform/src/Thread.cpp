#include "platform/Thread.h"

#include "KernelObject.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <thread>
#include <unistd.h>
#include <sys/syscall.h>

namespace platform {
namespace {

// The exit code of a thread whose routine let an exception out (the code
// Windows gives a thread ended by an unhandled C++ exception).
constexpr DWORD kExceptionExitCode = 0xE06D7363;

class ThreadObject final : public Waitable {
public:
    bool IsSignalledLocked() const override { return finished_; }
    void Finish(DWORD code) {
        std::lock_guard lock(WaitMutex());
        exitCode_ = code;
        finished_ = true;
        NotifyWaitersLocked();
    }
    DWORD ExitCode() const {
        std::lock_guard lock(WaitMutex());
        return finished_ ? exitCode_ : STILL_ACTIVE;
    }
    DWORD id = 0;

private:
    bool finished_ = false;
    DWORD exitCode_ = 0;
};

}  // namespace
}  // namespace platform

using namespace platform;

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD,
                    LPDWORD threadId) {
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto object = std::make_shared<ThreadObject>();
    std::mutex started;
    std::condition_variable startedCv;
    bool haveId = false;
    try {
        // The thread keeps its object alive itself, so closing the handle early is harmless.
        std::thread([object, start, parameter, &started, &startedCv, &haveId] {
            {
                // Notified under the lock: the creator's condition variable lives on its
                // stack and must not be destroyed while this thread is still signalling it.
                std::lock_guard lock(started);
                object->id = GetCurrentThreadId();
                haveId = true;
                startedCv.notify_one();
            }
            DWORD code = kExceptionExitCode;
            try {
                code = start(parameter);
            } catch (const std::exception& e) {
                // An exception leaving a thread would end the whole program; the
                // thread ends alone, with an exit code that says why.
                std::fprintf(stderr, "A thread ended by an exception: %s\n", e.what());
            } catch (...) {
                std::fprintf(stderr, "A thread ended by an exception\n");
            }
            object->Finish(code);
        }).detach();
    } catch (const std::system_error&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        std::unique_lock lock(started);
        startedCv.wait(lock, [&] { return haveId; });
    }
    if (threadId != nullptr) *threadId = object->id;
    return RegisterHandle(object);
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    auto object = LookupHandleAs<ThreadObject>(thread);
    if (!object || exitCode == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *exitCode = object->ExitCode();
    return TRUE;
}

DWORD GetCurrentThreadId() {
    thread_local DWORD id = static_cast<DWORD>(::syscall(SYS_gettid));
    return id;
}

void Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
