#pragma once
// A simulated counter line registered under a COM name in a registry of the
// test's own, opened for counter use, with the event log captured.

#include "testsupport/EventLogCapture.h"
#include "link/CSerial.h"
#include "link/VOKCommands.h"
#include "platform/Environment.h"
#include "sim/SimLine.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class CounterLine : public ::testing::Test {
protected:
    static constexpr int kPort = 41;

    void StartLine(std::vector<SimCounterConfig> counters, double timeScale = 1000, bool pace = false) {
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        SimLineConfig config;
        config.counters = std::move(counters);
        config.comName = "COM" + std::to_string(kPort);
        config.timeScale = timeScale;
        config.pace = pace;
        std::string error;
        ASSERT_TRUE(line.Start(config, &error)) << error;
        CSerial::EnumeratePorts();
        ASSERT_TRUE(VOK_OpenPort(kPort));
        opened_ = true;
    }

    void TearDown() override {
        if (opened_) VOK_ClosePort(kPort);
        line.Stop();
    }

    static SimCounterConfig Counter(int address) {
        SimCounterConfig c;
        c.address = address;
        return c;
    }

    // The line's traffic as text: "h" for a host byte, "c" for a counter byte, two hex digits each.
    std::string Wire() const {
        std::string out;
        for (const auto& e : line.Trace()) {
            char item[8];
            std::snprintf(item, sizeof item, "%s%02X ", e.direction == SimDirection::Rx ? "h" : "c", e.byte);
            out += item;
        }
        if (!out.empty()) out.pop_back();
        return out;
    }
    static std::string Host(const std::string& bytes) { return Side("h", bytes); }
    static std::string Echoed(const std::string& bytes) {
        std::string out;
        for (unsigned char b : bytes) out += (out.empty() ? "" : " ") + Side("h", std::string(1, b)) + " " + Side("c", std::string(1, b));
        return out;
    }
    static std::string Counter(const std::string& bytes) { return Side("c", bytes); }
    static std::string Side(const char* who, const std::string& bytes) {
        std::string out;
        for (unsigned char b : bytes) {
            char item[8];
            std::snprintf(item, sizeof item, "%s%02X", who, b);
            out += (out.empty() ? "" : " ") + std::string(item);
        }
        return out;
    }

    EventLogCapture log;
    SimLine line;

private:
    TempDir registry_;
    bool opened_ = false;
};
