#pragma once
// Simulated counter lines on COM names of a test registry of their own, for
// the setup tool's tests.

#include "platform/Environment.h"
#include "platform/Registry.h"
#include "setup/CSensor.h"
#include "setup/SupportedModels.h"
#include "sim/SimLine.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <string>
#include <vector>

inline SimCounterConfig SimCounterAt(int address, const std::string& model = "MCA") {
    SimCounterConfig config;
    config.address = address;
    config.modelText = model;
    return config;
}

// Sets a value under the supported-models key (creating the key).
inline void SetModelValue(const std::string& name, DWORD type, const std::string& data) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, supportedmodels::kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              static_cast<LSTATUS>(ERROR_SUCCESS));
    RegCloseKey(key);
}

class SetupLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.Path().string().c_str());
        ASSERT_TRUE(supportedmodels::EnsureDefaults());
    }
    void TearDown() override {
        lines_.clear();
        SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
    }

    // Starts a line with these counters under COM<port>.
    SimLine& StartLine(int port, std::vector<SimCounterConfig> counters) {
        SimLineConfig config;
        config.counters = std::move(counters);
        config.comName = "COM" + std::to_string(port);
        config.timeScale = 1000;
        lines_.push_back(std::make_unique<SimLine>());
        std::string error;
        EXPECT_TRUE(lines_.back()->Start(config, &error)) << error;
        return *lines_.back();
    }

    static CSensor SensorAt(int port, int address) {
        CSensor sensor;
        sensor.port = port;
        sensor.address = address;
        return sensor;
    }

    // The bytes the counters received, in order.
    static std::string Received(const SimLine& line) {
        std::string bytes;
        for (const SimTraceEntry& entry : line.Trace())
            if (entry.direction == SimDirection::Rx) bytes.push_back(static_cast<char>(entry.byte));
        return bytes;
    }
    // The bytes received once the line has taken the closing 0xBF: the
    // closing 0xBF is written without waiting for anything, so the serving
    // thread may not have read it yet.
    static std::string ReceivedAll(const SimLine& line) {
        for (int waited = 0; waited < 2000; waited += 5) {
            const std::string bytes = Received(line);
            if (!bytes.empty() && bytes.back() == '\xBF') return bytes;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return Received(line);
    }
    static std::string Sent(const SimLine& line) {
        std::string bytes;
        for (const SimTraceEntry& entry : line.Trace())
            if (entry.direction == SimDirection::Tx) bytes.push_back(static_cast<char>(entry.byte));
        return bytes;
    }

    TempDir registry_;
    std::vector<std::unique_ptr<SimLine>> lines_;
};
