#pragma once
// What one simulated serial line is: the counters on it and how the line behaves.

#include "sim/SimCounterConfig.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct SimLineConfig {
    std::vector<SimCounterConfig> counters;
    // Sends every byte in its own time slot at paceBaud (ten bit times per
    // byte), as a real line does; off sends at once.
    bool pace = false;
    unsigned paceBaud = 9600;
    // Counter time runs this many times faster than real time (1000: a 60 s
    // sample takes 60 ms). Pacing is not scaled.
    double timeScale = 1.0;
    // Every byte to and from the line is appended to this file when set.
    std::string traceFile;
    // Bytes kept in the in-process trace; the oldest go first.
    std::size_t traceLimit = 1u << 20;
    // COM name to register the line's device under; empty registers nothing.
    std::string comName;
    // Hangs the line up when this many bytes have arrived from the host; the
    // last of them gets no answer.
    std::optional<unsigned> hangUpAfter;
};

// Checks a line's settings and its counters (unique addresses); false with a reason in *error.
bool ValidateSimLineConfig(const SimLineConfig& config, std::string* error);
