#pragma once
// What a HANDLE stands for inside the platform layer: an object kept alive by a
// process-wide handle table until CloseHandle, and longer while a call uses it.

#include "platform/WinTypes.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once by CloseHandle when the handle leaves the table.
    virtual void OnClose() {}
};

// Waitable objects share one lock and one condition variable: waits on
// several objects at once then need no per-object bookkeeping, and the
// system's waits are few and short.
std::mutex& WaitMutex();
std::condition_variable& WaitCondition();

class Waitable : public KernelObject {
public:
    // Under WaitMutex(): true when a wait may pass now.
    virtual bool IsSignalledLocked() const = 0;
    // Under WaitMutex(): called when a wait passed on this object (auto-reset).
    virtual void ConsumeLocked() {}
};

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

}  // namespace platform
