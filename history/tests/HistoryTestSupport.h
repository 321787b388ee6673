#pragma once
// Records and helpers shared by the history tests: real database files in a
// TempDir, a store per test, and the event log read back from its file.

#include "history/HistoryReader.h"
#include "history/HistoryStore.h"

#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace historytest {

constexpr std::int64_t kT0 = 1'780'000'000'000;  // a moment in 2026, ms UTC
constexpr std::int64_t kMinute = 60'000;
constexpr std::int64_t kDay = 86'400'000;

// An 8-bin sample with counts that tell samples apart.
inline SampleRecord Sample(const std::string& device, std::int64_t timeMs, std::int32_t seed = 1,
                           std::int32_t intervalSeconds = 60) {
    SampleRecord s;
    s.device = device;
    s.timeMs = timeMs;
    s.intervalSeconds = intervalSeconds;
    s.port = 3;
    s.address = 7;
    s.flow = 2830;
    s.binSizes = {0.3, 0.5, 0.7, 1.0, 2.0, 3.0, 5.0, 10.0};
    for (std::int32_t bin = 0; bin < 8; ++bin) s.cumulativeRaw.push_back(seed * 100 + (8 - bin) * 10);
    return s;
}

inline DeviceEvent Event(const std::string& device, std::int64_t timeMs, DeviceEventKind kind,
                         const std::string& text = {}) {
    DeviceEvent e;
    e.device = device;
    e.timeMs = timeMs;
    e.kind = kind;
    e.port = 3;
    e.address = 7;
    e.commStatus = kind == DeviceEventKind::CommLost ? 1 : 0;
    e.text = text;
    return e;
}

inline history::HistoryOptions Options(const std::string& path) {
    history::HistoryOptions o;
    o.path = path;
    o.retentionDays = 0;
    o.commitIntervalMs = 50;
    o.retryIntervalMs = 100;
    return o;
}

inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

inline std::unique_ptr<history::HistoryReader> Reader(const std::string& path) {
    std::string error;
    auto reader = history::HistoryReader::Open(path, error);
    EXPECT_TRUE(reader) << error;
    return reader;
}

inline std::size_t CountOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

inline std::string ReadFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

}  // namespace historytest
