#include "remote/EventLoop.h"

#include "foundation/CLogFile.h"

namespace remote {

namespace {
thread_local bool onLoopThread = false;
}

void EventLoop::ErrorHandler::taskFailed(kj::Exception&& exception) {
    // A send or a connection that failed: its peer is gone or misbehaved. The
    // connection's own clean-up follows from its disconnect.
    (void)exception;
}

EventLoop::EventLoop() {
    thread_ = std::thread([this] { Main(); });
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return started_; });
}

EventLoop::~EventLoop() {
    try {
        executor_->executeSync([this] {
            tasks_ = nullptr;
            stop_->fulfill();
        });
    } catch (const kj::Exception&) {
        // The loop ended already.
    }
    thread_.join();
}

bool EventLoop::IsLoopThread() { return onLoopThread; }

void EventLoop::Main() {
    onLoopThread = true;
    auto io = kj::setupAsyncIo();
    io_ = &io;
    auto stop = kj::newPromiseAndFulfiller<void>();
    stop_ = kj::mv(stop.fulfiller);
    tasks_ = kj::heap<kj::TaskSet>(errorHandler_);
    {
        std::lock_guard lock(mutex_);
        executor_ = &kj::getCurrentThreadExecutor();
        started_ = true;
    }
    ready_.notify_all();
    stop.promise.wait(io.waitScope);
    tasks_ = nullptr;
    stop_ = nullptr;
    io_ = nullptr;
}

}  // namespace remote
