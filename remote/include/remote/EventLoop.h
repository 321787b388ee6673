#pragma once
// The thread that runs this process's Cap'n Proto event loop: every socket,
// connection and capability of the transport lives on it and is touched only
// there. Other threads hand it work and, where they need an answer, wait.
// Nothing that may block runs on it.

#include <kj/async-io.h>
#include <kj/debug.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace remote {

class EventLoop {
public:
    EventLoop();
    // Stops the loop; what still lives on it is destroyed there first.
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Runs f on the loop thread and waits for it (and for the promise it
    // returns, if any). Throws kj::Exception when the loop is gone or f
    // fails, and when called on the loop thread itself, which must never wait.
    template <typename F>
    auto Run(F&& f) {
        if (IsLoopThread()) KJ_FAIL_REQUIRE("a call through the transport waited on its own event loop");
        return executor_->executeSync(std::forward<F>(f));
    }

    // The loop's I/O, for code running on the loop thread.
    kj::AsyncIoProvider& Io() { return *io_->provider; }
    kj::LowLevelAsyncIoProvider& LowLevel() { return *io_->lowLevelProvider; }
    // Promises whose results nobody waits for: sends, accepts, disconnects.
    kj::TaskSet& Tasks() { return *tasks_; }

    static bool IsLoopThread();

private:
    class ErrorHandler : public kj::TaskSet::ErrorHandler {
    public:
        void taskFailed(kj::Exception&& exception) override;
    };

    void Main();

    std::mutex mutex_;
    std::condition_variable ready_;
    bool started_ = false;
    const kj::Executor* executor_ = nullptr;
    kj::AsyncIoContext* io_ = nullptr;
    ErrorHandler errorHandler_;
    kj::Own<kj::TaskSet> tasks_;
    kj::Own<kj::PromiseFulfiller<void>> stop_;
    std::thread thread_;
};

}  // namespace remote
