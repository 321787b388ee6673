#pragma once
// What a HANDLE stands for inside the platform layer: an object kept alive by a
// process-wide handle table until CloseHandle, and longer while a call uses it.

#include "platform/WinTypes.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;
    // Called once by CloseHandle when the handle leaves the table.
    virtual void OnClose() {}
};

// Waitable objects share one lock, so that a wait on several objects sees
// them all at one moment. Each wait has a condition variable of its own,
// entered with every object it waits on, and a signalled object wakes only
// its own waiters: with a hundred threads waiting on their own events, one
// SetEvent must not wake them all.
std::mutex& WaitMutex();

class Waitable : public KernelObject {
public:
    // Under WaitMutex(): true when a wait may pass now.
    virtual bool IsSignalledLocked() const = 0;
    // Under WaitMutex(): called when a wait passed on this object (auto-reset).
    virtual void ConsumeLocked() {}

    // Under WaitMutex().
    void AddWaiterLocked(std::condition_variable* waiter) { waiters_.push_back(waiter); }
    void RemoveWaiterLocked(std::condition_variable* waiter) {
        for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
            if (*it == waiter) {
                waiters_.erase(it);
                return;
            }
        }
    }
    // Under WaitMutex(), after the object became signalled.
    void NotifyWaitersLocked() {
        for (std::condition_variable* waiter : waiters_) waiter->notify_one();
    }

private:
    std::vector<std::condition_variable*> waiters_;
};

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

}  // namespace platform
