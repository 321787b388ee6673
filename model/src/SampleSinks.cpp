#include "model/SampleSinks.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace {

// Publishing takes the lock shared, so devices' poll threads never wait for
// each other; adding and removing take it alone, so a removed sink is called
// no more once RemoveSampleSink returns.
std::shared_mutex g_lock;
std::vector<SampleSink*> g_sinks;
std::atomic<bool> g_any{false};

}  // namespace

void AddSampleSink(SampleSink* sink) {
    if (sink == nullptr) return;
    std::unique_lock lock(g_lock);
    if (std::find(g_sinks.begin(), g_sinks.end(), sink) == g_sinks.end()) g_sinks.push_back(sink);
    g_any = true;
}

void RemoveSampleSink(SampleSink* sink) {
    std::unique_lock lock(g_lock);
    g_sinks.erase(std::remove(g_sinks.begin(), g_sinks.end(), sink), g_sinks.end());
    g_any = !g_sinks.empty();
}

bool HasSampleSinks() { return g_any.load(std::memory_order_relaxed); }

void PublishSample(const SampleRecord& sample) {
    if (!HasSampleSinks()) return;
    std::shared_lock lock(g_lock);
    for (SampleSink* sink : g_sinks) sink->OnSample(sample);
}

void PublishDeviceEvent(const DeviceEvent& event) {
    if (!HasSampleSinks()) return;
    std::shared_lock lock(g_lock);
    for (SampleSink* sink : g_sinks) sink->OnDeviceEvent(event);
}
