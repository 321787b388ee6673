#include "platform/Sync.h"

#include "KernelObject.h"

#include <chrono>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<HANDLE, std::shared_ptr<KernelObject>> objects;
};

HandleTable& Handles() {
    static HandleTable* table = new HandleTable;  // never destroyed: threads may outlive static destruction
    return *table;
}

thread_local DWORD t_lastError = 0;

class Event final : public Waitable {
public:
    Event(bool manualReset, bool initial) : manualReset_(manualReset), signalled_(initial) {}
    bool IsSignalledLocked() const override { return signalled_; }
    void ConsumeLocked() override {
        if (!manualReset_) signalled_ = false;
    }
    void Set(bool on) { signalled_ = on; }

private:
    bool manualReset_;
    bool signalled_;
};

}  // namespace

std::mutex& WaitMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

HANDLE RegisterHandle(std::shared_ptr<KernelObject> object) {
    HANDLE handle = object.get();
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    table.objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
    HandleTable& table = Handles();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(handle);
    return it == table.objects.end() ? nullptr : it->second;
}

namespace {

std::shared_ptr<Event> LookupEvent(HANDLE handle) { return LookupHandleAs<Event>(handle); }

}  // namespace

}  // namespace platform

using namespace platform;

DWORD GetLastError() { return t_lastError; }
void SetLastError(DWORD code) { t_lastError = code; }

void InitializeCriticalSection(LPCRITICAL_SECTION) {}
void DeleteCriticalSection(LPCRITICAL_SECTION) {}
void EnterCriticalSection(LPCRITICAL_SECTION cs) { cs->mutex.lock(); }
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) { return cs->mutex.try_lock() ? TRUE : FALSE; }
void LeaveCriticalSection(LPCRITICAL_SECTION cs) { cs->mutex.unlock(); }

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr && *name != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return RegisterHandle(std::make_shared<Event>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
    auto event = LookupEvent(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(WaitMutex());
    event->Set(true);
    event->NotifyWaitersLocked();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto event = LookupEvent(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard lock(WaitMutex());
    event->Set(false);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &object, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || objects == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> waitables;
    waitables.reserve(count);
    for (DWORD i = 0; i < count; ++i) {
        auto waitable = LookupHandleAs<Waitable>(objects[i]);
        if (!waitable) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        waitables.push_back(std::move(waitable));
    }

    auto ready = [&]() -> DWORD {
        if (waitAll) {
            for (const auto& w : waitables)
                if (!w->IsSignalledLocked()) return WAIT_TIMEOUT;
            for (const auto& w : waitables) w->ConsumeLocked();
            return WAIT_OBJECT_0;
        }
        for (DWORD i = 0; i < count; ++i) {
            if (waitables[i]->IsSignalledLocked()) {
                waitables[i]->ConsumeLocked();
                return WAIT_OBJECT_0 + i;
            }
        }
        return WAIT_TIMEOUT;
    };

    std::unique_lock lock(WaitMutex());
    DWORD result = ready();
    if (result != WAIT_TIMEOUT || milliseconds == 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::condition_variable woken;
    for (const auto& w : waitables) w->AddWaiterLocked(&woken);
    for (;;) {
        if (milliseconds == INFINITE) {
            woken.wait(lock);
        } else if (woken.wait_until(lock, deadline) == std::cv_status::timeout) {
            result = ready();
            break;
        }
        result = ready();
        if (result != WAIT_TIMEOUT) break;
    }
    for (const auto& w : waitables) w->RemoveWaiterLocked(&woken);
    return result;
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object;
    {
        HandleTable& table = Handles();
        std::lock_guard lock(table.mutex);
        auto it = table.objects.find(handle);
        if (it == table.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object = std::move(it->second);
        table.objects.erase(it);
    }
    object->OnClose();
    return TRUE;
}
