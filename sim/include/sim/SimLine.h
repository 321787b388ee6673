#pragma once
// A simulated serial line with counters on it, served on a pseudo-terminal by
// a thread of its own. Programs open DevicePath() (or the COM name given) as
// their serial port. Every accessor is safe to call while the line serves.

#include "sim/SimBus.h"
#include "sim/SimLineConfig.h"
#include "sim/SimTrace.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class PseudoTerminal;

class SimLine {
public:
    SimLine();
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    // Validates the configuration, opens the pseudo-terminal, registers the COM
    // name when one is given, opens the trace file and starts serving.
    // False with a reason in *error; nothing is left open then.
    bool Start(const SimLineConfig& config, std::string* error);
    // Ends serving, closes the line and removes the COM name. The counters'
    // state and the trace stay readable until the next Start.
    void Stop();
    // Serving: started, not stopped, not hung up.
    bool IsRunning() const;

    const std::string& DevicePath() const { return devicePath_; }
    const std::string& ComName() const { return comName_; }

    std::vector<SimTraceEntry> Trace() const;
    void ClearTrace();

    // Counter time in seconds since the start (scaled by the time scale).
    double CounterTime() const;

    // A counter's state now; nullopt when no counter has that bus address.
    std::optional<SimCounterState> CounterState(int address) const;
    // Replaces a counter's faults (their counts start afresh); false for an unknown address.
    bool SetFaults(int address, const SimFaults& faults);
    bool SetStatus(int address, std::uint8_t status);

    // Hangs the line up now: the terminal side sees the hang-up, serving ends.
    void HangUp();
    bool IsHungUp() const { return hungUp_; }

private:
    void Serve();
    void Send(const std::string& bytes);
    std::chrono::steady_clock::duration ByteTime() const;
    double MsSinceStart() const;
    void EndThread();

    SimLineConfig config_;
    std::unique_ptr<PseudoTerminal> pty_;
    std::unique_ptr<SimTrace> trace_;
    std::string devicePath_;
    std::string comName_;
    bool registered_ = false;

    mutable std::mutex mutex_;  // guards bus_
    std::unique_ptr<SimBus> bus_;

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> hungUp_{false};
    std::chrono::steady_clock::time_point start_{};
    std::chrono::steady_clock::time_point lineFree_{};
};
