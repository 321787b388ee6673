#include "sim/SimLine.h"

#include "platform/PseudoTerminal.h"
#include "platform/SerialNames.h"

#include <algorithm>

namespace {

// How long the serving thread waits for host bytes before it looks at its stop flag.
constexpr int kPollMs = 20;

}  // namespace

SimLine::SimLine() : trace_(std::make_unique<SimTrace>()) {}

SimLine::~SimLine() { Stop(); }

bool SimLine::Start(const SimLineConfig& config, std::string* error) {
    Stop();
    if (!ValidateSimLineConfig(config, error)) return false;
    auto pty = std::make_unique<PseudoTerminal>();
    if (!pty->Open()) {
        if (error) *error = "cannot open a pseudo-terminal: " + pty->LastError();
        return false;
    }
    auto trace = std::make_unique<SimTrace>(config.traceLimit);
    if (!config.traceFile.empty() && !trace->OpenFile(config.traceFile, error)) return false;
    if (!config.comName.empty()) {
        std::string reason;
        if (!serialnames::Assign(config.comName, pty->SlavePath(), &reason)) {
            if (error) *error = "cannot register " + config.comName + ": " + reason;
            return false;
        }
        registered_ = true;
    }
    config_ = config;
    comName_ = config.comName;
    devicePath_ = pty->SlavePath();
    pty_ = std::move(pty);
    trace_ = std::move(trace);
    {
        std::lock_guard lock(mutex_);
        bus_ = std::make_unique<SimBus>(config.counters);
    }
    hungUp_ = false;
    stop_ = false;
    start_ = std::chrono::steady_clock::now();
    lineFree_ = start_;
    running_ = true;
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void SimLine::EndThread() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    running_ = false;
}

void SimLine::Stop() {
    EndThread();
    if (pty_) pty_->Close();
    if (registered_) serialnames::Remove(comName_);
    registered_ = false;
    trace_->CloseFile();
}

void SimLine::HangUp() {
    EndThread();
    if (pty_ && pty_->IsOpen()) pty_->HangUp();
    hungUp_ = true;
}

bool SimLine::IsRunning() const { return running_; }

double SimLine::MsSinceStart() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
}

double SimLine::CounterTime() const { return MsSinceStart() / 1000.0 * config_.timeScale; }

std::chrono::steady_clock::duration SimLine::ByteTime() const {
    // Start bit, eight data bits, stop bit.
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(10.0 / config_.paceBaud));
}

void SimLine::Send(const std::string& bytes) {
    if (bytes.empty()) return;
    if (!config_.pace) {
        trace_->Record(MsSinceStart(), SimDirection::Tx, bytes);
        pty_->Write(bytes.data(), bytes.size());
        return;
    }
    // Each byte leaves one byte time (start bit, eight data bits, stop bit)
    // after the line became free.
    // A burst goes out back to back: each byte's slot follows the one before it,
    // not the moment the thread woke up, so oversleeping does not add up.
    const auto byteTime = ByteTime();
    lineFree_ = std::max(lineFree_, std::chrono::steady_clock::now());
    for (char c : bytes) {
        lineFree_ += byteTime;
        std::this_thread::sleep_until(lineFree_);
        trace_->Record(MsSinceStart(), SimDirection::Tx, std::string(1, c));
        if (!pty_->Write(&c, 1)) return;
    }
}

void SimLine::Serve() {
    unsigned received = 0;
    char buffer[256];
    while (!stop_) {
        const long n = pty_->Read(buffer, sizeof buffer, kPollMs);
        if (n < 0) break;
        for (long i = 0; i < n && !stop_; ++i) {
            const auto byte = static_cast<std::uint8_t>(buffer[i]);
            if (config_.pace) {
                // The host's byte takes its byte time on the line too: the counter
                // acts on it only once its stop bit has arrived.
                lineFree_ = std::max(lineFree_, std::chrono::steady_clock::now()) + ByteTime();
                std::this_thread::sleep_until(lineFree_);
            }
            trace_->Record(MsSinceStart(), SimDirection::Rx, std::string(1, static_cast<char>(byte)));
            // The line drops as the byte that reaches the limit arrives: that byte gets no answer.
            // (Dropping it after an answer would race the host's read: a pseudo-terminal
            // discards what the host has not read yet when it hangs up.)
            if (config_.hangUpAfter && ++received >= *config_.hangUpAfter) {
                pty_->HangUp();
                hungUp_ = true;
                running_ = false;
                return;
            }
            std::string out;
            {
                std::lock_guard lock(mutex_);
                out = bus_->Receive(byte, CounterTime());
            }
            Send(out);
        }
    }
    running_ = false;
}

std::vector<SimTraceEntry> SimLine::Trace() const { return trace_->Entries(); }

void SimLine::ClearTrace() { trace_->Clear(); }

std::optional<SimCounterState> SimLine::CounterState(int address) const {
    std::lock_guard lock(mutex_);
    SimCounter* counter = bus_ ? bus_->Find(address) : nullptr;
    if (!counter) return std::nullopt;
    return counter->State(CounterTime());
}

bool SimLine::SetFaults(int address, const SimFaults& faults) {
    std::lock_guard lock(mutex_);
    SimCounter* counter = bus_ ? bus_->Find(address) : nullptr;
    if (!counter) return false;
    counter->SetFaults(faults);
    return true;
}

bool SimLine::SetStatus(int address, std::uint8_t status) {
    std::lock_guard lock(mutex_);
    SimCounter* counter = bus_ ? bus_->Find(address) : nullptr;
    if (!counter) return false;
    counter->SetStatus(status);
    return true;
}
