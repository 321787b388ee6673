#include "WorkerPool.h"

#include "platform/Com.h"

namespace remote {

WorkerPool::WorkerPool(std::size_t maxThreads) : maxThreads_(maxThreads) {}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::Submit(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
        if (waiting_ < queue_.size() && threads_.size() < maxThreads_) threads_.emplace_back([this] { Work(); });
    }
    wake_.notify_one();
}

void WorkerPool::Drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
}

void WorkerPool::Work() {
    // The server's objects are called from the apartment, as its own clients'
    // threads call them.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::unique_lock lock(mutex_);
    for (;;) {
        ++waiting_;
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        --waiting_;
        if (queue_.empty()) break;  // stopping, and nothing left to run
        std::function<void()> task = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
        --running_;
        if (queue_.empty() && running_ == 0) idle_.notify_all();
    }
    lock.unlock();
    CoUninitialize();
}

}  // namespace remote
