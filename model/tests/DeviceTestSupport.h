#pragma once
// Support for device tests: the event log captured in a file of the test's
// own, a simulated counter line registered as COM41 in a temporary registry,
// and waits with a deadline.

#include "foundation/CLogFile.h"
#include "link/CSerial.h"
#include "link/VOKCommands.h"
#include "model/OPCS_Tag.h"
#include "model/ScriptedUiServices.h"
#include "model/VOKDevice.h"
#include "model/VOKTag.h"
#include "platform/Environment.h"
#include "platform/Thread.h"
#include "sim/SimLine.h"
#include "testsupport/EventLogCapture.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

inline bool WaitFor(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        Sleep(5);
    }
    return done();
}

inline double TagDouble(const OPCS_Tag* tag) {
    VARIANT v;
    tag->GetValue(v);
    VARIANT d;
    VariantInit(&d);
    const double out = v.vt != VT_EMPTY && SUCCEEDED(VariantChangeType(&d, &v, 0, VT_R8)) ? d.dblVal : -12345.0;
    VariantClear(&v);
    return out;
}

inline VARTYPE TagType(const OPCS_Tag* tag) {
    VARIANT v;
    tag->GetValue(v);
    const VARTYPE t = v.vt;
    VariantClear(&v);
    return t;
}

inline std::string TagText(const OPCS_Tag* tag) {
    VARIANT v;
    tag->GetValue(v);
    std::string out = v.vt == VT_BSTR ? BstrToUtf8(v.bstrVal) : std::string("<not text>");
    VariantClear(&v);
    return out;
}

inline Dll<double> Bins(std::initializer_list<double> sizes) {
    Dll<double> out;
    for (double s : sizes) out.AddTail(s);
    return out;
}

// Fast counter pauses for tests: the prescribed ones would make every
// confirmation take five seconds.
inline VOKDevicePauses FastPauses() {
    VOKDevicePauses p;
    p.beforeData = 30;
    p.busyRetry = 40;
    p.confirmation = 20;
    return p;
}

// A simulated counter line on COM41 for one test.
class DeviceLineTest : public ::testing::Test {
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
    }

    void TearDown() override { line.Stop(); }

    static SimCounterConfig Counter(int address) {
        SimCounterConfig c;
        c.address = address;
        return c;
    }

    // A counter device on the line, with fast pauses and a one-second interval.
    static std::unique_ptr<VOKDevice> MakeDevice(int address) {
        auto device = VOKDevice::Create(false);
        device->SetPort(kPort);
        device->SetAddress(static_cast<BYTE>(0x80 + address));
        device->SetName(device->GetDefaultName());
        device->SetPauses(FastPauses());
        device->SetSampleInterval(1, false);
        return device;
    }

    // The payload of the last data reply on the line (status byte, head, records).
    std::string LastDataPayload() const {
        const auto trace = line.Trace();
        std::size_t lastA = trace.size();
        for (std::size_t i = 0; i < trace.size(); ++i)
            if (trace[i].direction == SimDirection::Rx && trace[i].byte == 'A') lastA = i;
        std::string reply;
        for (std::size_t i = lastA + 1; i < trace.size() && trace[i].direction == SimDirection::Tx; ++i)
            reply += static_cast<char>(trace[i].byte);
        if (reply.empty()) return {};
        reply.erase(0, 1);  // the echo of the command
        const std::size_t sum = reply.find(" C/S");
        return sum == std::string::npos ? std::string() : reply.substr(0, sum);
    }

    EventLogCapture log;
    ScriptedUiServices ui;
    SimLine line;

private:
    TempDir registry_;
};
