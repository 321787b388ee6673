#include "sim/SimBus.h"

#include "sim/SimWire.h"

SimBus::SimBus(const std::vector<SimCounterConfig>& counters) {
    for (const SimCounterConfig& config : counters) counters_.push_back(std::make_unique<SimCounter>(config));
}

std::string SimBus::Receive(std::uint8_t byte, double now) {
    std::string out;
    if (simwire::IsAddressByte(byte)) {
        // Every counter hears every address byte: the one it names is selected,
        // any other drops out. A silent counter ignores the line altogether.
        if (selected_) selected_->Deselect();
        selected_ = nullptr;
        SimCounter* counter = Find(byte - simwire::kFirstAddressByte);
        if (counter && !counter->Silent()) {
            selected_ = counter;
            counter->Select(now, out);
        }
        return out;
    }
    if (!selected_) return out;
    if (selected_->Silent()) {
        selected_->Deselect();
        selected_ = nullptr;
        return out;
    }
    // A space outside a command is the line reset: everyone drops out, no echo.
    if (byte == ' ' && !selected_->Collecting()) {
        selected_->Deselect();
        selected_ = nullptr;
        return out;
    }
    selected_->Receive(byte, now, out);
    return out;
}

std::string SimBus::ReceiveAll(std::string_view bytes, double now) {
    std::string out;
    for (char c : bytes) out += Receive(static_cast<std::uint8_t>(c), now);
    return out;
}

SimCounter* SimBus::Find(int address) {
    for (auto& counter : counters_)
        if (counter->Address() == address) return counter.get();
    return nullptr;
}

int SimBus::Selected() const { return selected_ ? selected_->Address() : -1; }
