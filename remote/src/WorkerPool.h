#pragma once
// The threads on which calls from other processes run into the server's
// objects, which may block on locks their poll and data threads hold. A call
// never waits for another to finish: while every thread is busy a new one is
// started, up to a limit, after which calls queue.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace remote {

class WorkerPool {
public:
    explicit WorkerPool(std::size_t maxThreads = 64);
    // Runs what is queued, then ends the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void Submit(std::function<void()> task);
    // Waits until nothing is queued or running.
    void Drain();

private:
    void Work();

    const std::size_t maxThreads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> threads_;
    std::size_t waiting_ = 0;
    std::size_t running_ = 0;
    bool stopping_ = false;
};

}  // namespace remote
