#pragma once
// The search of the ports for sensors: one thread per port number, each
// walking the bus addresses in turn and reporting what it finds.

#include "setup/CSensor.h"
#include "setup/CSetupPort.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

// What the scan threads report. Every call comes from a scan thread (several
// at once, for different ports); a window marshals them to its own thread.
class ScanListener {
public:
    virtual ~ScanListener() = default;
    // The port would not open and the technician is to be told why (in use,
    // IRQ conflict). Ports that are missing end their thread silently.
    virtual void PortOpenFailed(int port, const PortMessage& message) = 0;
    // The port is open: 32 more progress steps are to come from it.
    virtual void PortStarted(int port) = 0;
    // A supported sensor with its sizes and calibration read; the copy is the listener's.
    virtual void SensorFound(const CSensor& sensor) = 0;
    // One bus address of the port has been tried.
    virtual void AddressDone(int port, int address) = 0;
    // Every scan thread has ended (sent once, by the last thread, after all its other reports).
    virtual void ScanFinished() = 0;
};

class CSensorScan {
public:
    // Ports 1 to 32 and bus addresses 0 to 31.
    static std::vector<int> AllPorts();
    static std::vector<int> AllAddresses();

    explicit CSensorScan(std::vector<int> ports = AllPorts(), std::vector<int> addresses = AllAddresses());
    // Asks the threads to stop and waits for them.
    ~CSensorScan();
    CSensorScan(const CSensorScan&) = delete;
    CSensorScan& operator=(const CSensorScan&) = delete;

    // Starts one thread per port, reporting to listener (which must outlive
    // the threads). False while an earlier scan's threads still run.
    bool Start(ScanListener& listener);
    // Asks every thread to stop after the address it is on; any thread.
    void RequestStop() { stop_ = true; }
    // True once every thread of the last Start has ended (or none was started).
    bool IsFinished() const;
    // Waits up to ms milliseconds for the threads to end; true when they have.
    bool WaitFor(unsigned ms);
    // Waits for and joins every thread. Not from a scan thread (nor from a listener call).
    void Join();

private:
    void Run(int port, ScanListener& listener);

    std::vector<int> ports_;
    std::vector<int> addresses_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    std::size_t running_ = 0;    // threads not yet ended
    std::size_t reporting_ = 0;  // threads that may still report
};

// One blink exchange on a fresh port: open the sensor's port, switch its light
// and close again. True when the light command was echoed; a port message
// (for a port that would not open) goes to *message when given.
bool SendLight(const CSensor& sensor, bool on, std::optional<PortMessage>* message = nullptr);
