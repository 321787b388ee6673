#pragma once
// The counters on one serial line without the line: bytes in, bytes out.
// Routes each host byte to the selected counter, selects by address byte and
// handles the line reset. Not locked; its owner serialises.

#include "sim/SimCounter.h"

#include <memory>
#include <string>
#include <vector>

class SimBus {
public:
    // The configurations must have passed validation (distinct addresses).
    explicit SimBus(const std::vector<SimCounterConfig>& counters);

    // One byte from the host at counter time now (seconds); returns the bytes the line sends back.
    std::string Receive(std::uint8_t byte, double now);
    // Feeds several bytes in order; returns everything sent back.
    std::string ReceiveAll(std::string_view bytes, double now = 0);

    // The counter at bus address 0..63, or null.
    SimCounter* Find(int address);
    // Bus address of the selected counter, -1 when none is.
    int Selected() const;

private:
    std::vector<std::unique_ptr<SimCounter>> counters_;
    SimCounter* selected_ = nullptr;
};
