#pragma once
// A simulated counter line for one window test: counters on a pseudo-terminal
// registered under a COM name, with time running fast enough for a test.

#include "link/CSerial.h"
#include "sim/SimLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline SimCounterConfig TestCounter(int address, unsigned sampleIntervalS = 1) {
    SimCounterConfig counter;
    counter.address = address;
    counter.sampleIntervalS = sampleIntervalS;
    return counter;
}

// Starts the line and makes its COM name known to the port list; false (with
// the reason reported) when it could not start.
[[nodiscard]] inline bool StartTestLine(SimLine& line, const std::string& comName,
                                        std::vector<SimCounterConfig> counters, double timeScale = 1000) {
    SimLineConfig config;
    config.counters = std::move(counters);
    config.comName = comName;
    config.timeScale = timeScale;
    std::string error;
    if (!line.Start(config, &error)) {
        ADD_FAILURE() << "the simulated line on " << comName << " did not start: " << error;
        return false;
    }
    CSerial::EnumeratePorts();
    return true;
}
