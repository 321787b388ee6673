#pragma once
// Live-object checks. Holders of a pointer to a shared object ask whether the
// object is still alive before using it. Reading a destroyed object to look at
// its signature would itself be undefined, so each class keeps a process-wide
// set of its live instances; the test is "in the set and the signature matches".

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_set>

template <typename T>
class LiveObjects {
public:
    static void Add(const T* object) {
        std::lock_guard lock(Mutex());
        Set().insert(object);
    }
    static void Remove(const T* object) {
        std::lock_guard lock(Mutex());
        RemovalCounter().fetch_add(1, std::memory_order_acq_rel);
        Set().erase(object);
    }
    // How many instances have been removed so far. A holder that found its
    // object alive and sees this number unchanged since knows it still is,
    // without the set look-up (which, for thousands of objects scanned ten
    // times a second, costs a cache miss each).
    static std::uint64_t Removals() { return RemovalCounter().load(std::memory_order_acquire); }
    // A plausible address (not null, not in the first page, not in kernel
    // space) of a live instance.
    static bool Contains(const T* object) {
        const auto address = reinterpret_cast<std::uintptr_t>(object);
        if (address < 0x10000 || address >= 0x800000000000ULL) return false;
        std::lock_guard lock(Mutex());
        return Set().count(object) != 0;
    }

private:
    static std::mutex& Mutex() {
        static std::mutex* mutex = new std::mutex;
        return *mutex;
    }
    static std::atomic<std::uint64_t>& RemovalCounter() {
        static auto* counter = new std::atomic<std::uint64_t>(0);
        return *counter;
    }
    static std::unordered_set<const T*>& Set() {
        static auto* set = new std::unordered_set<const T*>;
        return *set;
    }
};
