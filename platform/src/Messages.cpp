#include "platform/Messages.h"

#include "platform/Thread.h"
#include "platform/Time.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

// One thread's posted messages. Only the owning thread takes messages out, so
// one condition variable with a single waiter is enough.
struct MessageQueue {
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<MSG> messages;
};

struct QueueTable {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

QueueTable& Queues() {
    static QueueTable* table = new QueueTable;  // never destroyed: threads may end after static destruction
    return *table;
}

// Takes the calling thread's queue out of the table when the thread ends, so
// that posts to it fail from then on. A poster that looked the queue up just
// before still holds it through its shared_ptr; its message is dropped with
// the queue, as a message posted to a thread that is ending is on Windows.
class QueueOwner {
public:
    QueueOwner() = default;
    QueueOwner(const QueueOwner&) = delete;
    QueueOwner& operator=(const QueueOwner&) = delete;
    ~QueueOwner() {
        if (!queue_) return;
        QueueTable& table = Queues();
        std::lock_guard lock(table.mutex);
        // Thread ids are reused: remove the entry only while it is still ours.
        if (auto it = table.queues.find(id_); it != table.queues.end() && it->second == queue_)
            table.queues.erase(it);
    }

    MessageQueue& Get() {
        if (!queue_) {
            id_ = GetCurrentThreadId();
            queue_ = std::make_shared<MessageQueue>();
            QueueTable& table = Queues();
            std::lock_guard lock(table.mutex);
            table.queues[id_] = queue_;
        }
        return *queue_;
    }

private:
    DWORD id_ = 0;
    std::shared_ptr<MessageQueue> queue_;
};

MessageQueue& OwnQueue() {
    thread_local QueueOwner owner;
    return owner.Get();
}

bool Passes(UINT message, UINT min, UINT max) {
    if (min == 0 && max == 0) return true;
    // Windows hands out WM_QUIT whatever the filter, so that a filtered loop still ends.
    return message == WM_QUIT || (message >= min && message <= max);
}

// The first message that passes the filter, under the queue's lock.
std::deque<MSG>::iterator FindLocked(MessageQueue& queue, UINT min, UINT max) {
    for (auto it = queue.messages.begin(); it != queue.messages.end(); ++it)
        if (Passes(it->message, min, max)) return it;
    return queue.messages.end();
}

void Post(MessageQueue& queue, UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard lock(queue.mutex);
        queue.messages.push_back(MSG{nullptr, message, wParam, lParam, GetTickCount()});
    }
    queue.posted.notify_one();
}

// The window-related failures GetMessageA and PeekMessageA share.
bool ValidCall(LPMSG msg, HWND window) {
    if (window != nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace
}  // namespace platform

using namespace platform;

BOOL PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue;
    {
        QueueTable& table = Queues();
        std::lock_guard lock(table.mutex);
        if (auto it = table.queues.find(idThread); it != table.queues.end()) queue = it->second;
    }
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    Post(*queue, Msg, wParam, lParam);
    return TRUE;
}

BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (!ValidCall(lpMsg, hWnd)) return -1;
    MessageQueue& queue = OwnQueue();
    std::unique_lock lock(queue.mutex);
    auto found = queue.messages.end();
    queue.posted.wait(lock, [&] {
        found = FindLocked(queue, wMsgFilterMin, wMsgFilterMax);
        return found != queue.messages.end();
    });
    *lpMsg = *found;
    queue.messages.erase(found);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (!ValidCall(lpMsg, hWnd)) return FALSE;
    MessageQueue& queue = OwnQueue();
    std::lock_guard lock(queue.mutex);
    auto found = FindLocked(queue, wMsgFilterMin, wMsgFilterMax);
    if (found == queue.messages.end()) return FALSE;
    *lpMsg = *found;
    if (wRemoveMsg & PM_REMOVE) queue.messages.erase(found);
    return TRUE;
}

void PostQuitMessage(int nExitCode) {
    // The calling thread gets its queue here if it had none, so that its
    // next GetMessageA ends the loop.
    Post(OwnQueue(), WM_QUIT, static_cast<WPARAM>(static_cast<std::intptr_t>(nExitCode)), 0);
}

BOOL TranslateMessage(const MSG*) { return FALSE; }

LPARAM DispatchMessageA(const MSG*) { return 0; }
