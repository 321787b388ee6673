#include "setup/CSensorScan.h"

#include "setup/CSensorLink.h"

#include <chrono>

std::vector<int> CSensorScan::AllPorts() {
    std::vector<int> ports;
    for (int port = 1; port <= 32; ++port) ports.push_back(port);
    return ports;
}

std::vector<int> CSensorScan::AllAddresses() {
    std::vector<int> addresses;
    for (int address = 0; address <= 31; ++address) addresses.push_back(address);
    return addresses;
}

CSensorScan::CSensorScan(std::vector<int> ports, std::vector<int> addresses)
    : ports_(std::move(ports)), addresses_(std::move(addresses)) {}

CSensorScan::~CSensorScan() {
    RequestStop();
    Join();
}

bool CSensorScan::Start(ScanListener& listener) {
    if (!IsFinished()) return false;
    Join();
    stop_ = false;
    {
        std::lock_guard lock(mutex_);
        running_ = reporting_ = ports_.size();
    }
    if (ports_.empty()) {
        listener.ScanFinished();
        return true;
    }
    for (int port : ports_) threads_.emplace_back([this, port, &listener] { Run(port, listener); });
    return true;
}

void CSensorScan::Run(int port, ScanListener& listener) {
    {
        CSetupPort serial;
        if (serial.Open(port)) {
            listener.PortStarted(port);
            CSensorLink link(serial);
            for (int address : addresses_) {
                if (stop_) break;
                CSensor sensor;
                sensor.port = port;
                sensor.address = address;
                if (link.Select(sensor) && link.ReadType(sensor) && link.ReadSizes(sensor) &&
                    link.ReadCalPoints(sensor))
                    listener.SensorFound(sensor);
                listener.AddressDone(port, address);
            }
            serial.Close();
        } else if (const auto message = serial.OpenMessage()) {
            listener.PortOpenFailed(port, *message);
        }
    }
    bool last;
    {
        std::lock_guard lock(mutex_);
        last = --reporting_ == 0;
    }
    if (last) listener.ScanFinished();
    // A thread counts as ended only after its last report, so that a listener
    // destroyed once WaitFor says finished never gets another call.
    std::lock_guard lock(mutex_);
    --running_;
    ended_.notify_all();
}

bool CSensorScan::IsFinished() const {
    std::lock_guard lock(mutex_);
    return running_ == 0;
}

bool CSensorScan::WaitFor(unsigned ms) {
    std::unique_lock lock(mutex_);
    return ended_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return running_ == 0; });
}

void CSensorScan::Join() {
    for (std::thread& thread : threads_)
        if (thread.joinable()) thread.join();
    threads_.clear();
}

bool SendLight(const CSensor& sensor, bool on, std::optional<PortMessage>* message) {
    if (message) message->reset();
    CSetupPort port;
    if (!port.Open(sensor.port)) {
        if (message) *message = port.OpenMessage();
        return false;
    }
    CSensorLink link(port);
    const bool done = link.SetLight(sensor, on);
    port.Close();
    return done;
}
