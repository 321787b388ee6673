// Simulated lines over real pseudo-terminals: the host side opens the
// terminal as a serial port, so the kernel's terminal layer carries the bytes.
#include "sim/SimLine.h"

#include "HostPort.h"
#include "platform/Environment.h"
#include "platform/SerialNames.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

namespace {

std::string Byte(int value) { return std::string(1, static_cast<char>(value)); }

SimLineConfig OneCounter(int address = 5) {
    SimLineConfig config;
    SimCounterConfig counter;
    counter.address = address;
    config.counters.push_back(counter);
    return config;
}

std::vector<SimTraceEntry> TxOnly(const std::vector<SimTraceEntry>& trace) {
    std::vector<SimTraceEntry> tx;
    for (const auto& entry : trace)
        if (entry.direction == SimDirection::Tx) tx.push_back(entry);
    return tx;
}

template <typename Predicate>
bool WaitFor(Predicate predicate, int timeoutMs = 2000) {
    for (int waited = 0; waited < timeoutMs; waited += 5) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return predicate();
}

}  // namespace

TEST(SimLine, AnswersOverThePseudoTerminal) {
    SimLine line;
    std::string error;
    ASSERT_TRUE(line.Start(OneCounter(), &error)) << error;
    ASSERT_TRUE(line.IsRunning());
    HostPort host(line.DevicePath());
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(host.Exchange('T', 6), "TMCA\r\n");
    EXPECT_EQ(host.Exchange('P'), "P");
    EXPECT_EQ(host.Exchange('\r'), "\r");
    EXPECT_EQ(host.Exchange('\n', 29), "\n 0.3 0.5 1 5 10 C/S 00028B\r\n");
}

TEST(SimLine, TraceHoldsEveryByteInOrder) {
    TempDir dir;
    SimLineConfig config = OneCounter();
    config.traceFile = dir.File("line.trace");
    SimLine line;
    std::string error;
    ASSERT_TRUE(line.Start(config, &error)) << error;
    HostPort host(line.DevicePath());
    host.Exchange('\x85');
    host.Exchange('T', 6);
    host.Exchange('\x99', 1, 100);  // nobody at 25: no answer
    ASSERT_TRUE(WaitFor([&] { return line.Trace().size() == 10; }));
    const auto trace = line.Trace();
    const std::string expected[] = {"rx 85", "tx 85", "rx 54", "tx 54", "tx 4D", "tx 43",
                                    "tx 41", "tx 0D", "tx 0A", "rx 99"};
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const std::string text = FormatSimTraceLine(trace[i]);
        EXPECT_EQ(text.substr(text.find(' ') + 1), expected[i]) << i;
        if (i > 0) {
            EXPECT_GE(trace[i].ms, trace[i - 1].ms);
        }
    }
    line.Stop();
    std::ifstream file(config.traceFile);
    std::string text;
    std::vector<std::string> lines;
    while (std::getline(file, text)) lines.push_back(text);
    ASSERT_EQ(lines.size(), 10u);
    const std::regex format(R"(\d+\.\d{3} (rx|tx) [0-9A-F]{2})");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], format)) << lines[i];
        EXPECT_EQ(lines[i].substr(lines[i].find(' ') + 1), expected[i]);
    }
    line.ClearTrace();
    EXPECT_TRUE(line.Trace().empty());
}

TEST(SimLine, ScaledTimeFinishesASampleInMilliseconds) {
    SimLineConfig config = OneCounter();
    config.timeScale = 1000;  // a 60 s sample takes 60 ms
    SimLine line;
    std::string error;
    ASSERT_TRUE(line.Start(config, &error)) << error;
    HostPort host(line.DevicePath());
    host.Exchange('\x85');
    EXPECT_EQ(host.Exchange('d'), "d");
    EXPECT_EQ(host.Exchange('M', 2), "MC");
    EXPECT_EQ(host.Exchange('A', 2), "A#");
    ASSERT_TRUE(WaitFor([&] { return line.CounterState(5)->mode == SimMode::Holding; }));
    EXPECT_EQ(host.Exchange('M', 2), "MH");
    const std::string data = host.Exchange('A', 500, 300);
    EXPECT_EQ(data.size(), 1u + 21u + 11u * 13u + 13u);
    EXPECT_EQ(line.CounterState(5)->samplesTaken, 1u);
}

TEST(SimLine, DefaultTimeIsReal) {
    SimLine line;
    std::string error;
    ASSERT_TRUE(line.Start(OneCounter(), &error)) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LT(line.CounterTime(), 1.0);
    EXPECT_GT(line.CounterTime(), 0.04);
}

TEST(SimLine, PacingSpacesBytesAt9600Baud) {
    SimLineConfig config = OneCounter();
    config.pace = true;
    SimLine line;
    std::string error;
    ASSERT_TRUE(line.Start(config, &error)) << error;
    HostPort host(line.DevicePath());
    host.Exchange('\x85');
    host.Exchange('P');
    host.Exchange('\r');
    ASSERT_EQ(host.Exchange('\n', 29).size(), 29u);
    const auto tx = TxOnly(line.Trace());
    ASSERT_EQ(tx.size(), 32u);
    // 28 byte times of 10/9600 s between the first and the last byte of the reply.
    const double span = tx.back().ms - tx[3].ms;
    EXPECT_GE(span, 28 * 1000.0 * 10 / 9600 - 0.5);
    // No byte leaves before its slot: the k-th byte after the first at least k byte times later.
    const double byteMs = 1000.0 * 10 / 9600;
    for (std::size_t i = 4; i < tx.size(); ++i) EXPECT_GE(tx[i].ms - tx[3].ms, (i - 3) * byteMs - 1.0) << i;  // the first record may itself be late under load
}

TEST(SimLine, FaultsSetWhileRunning) {
    SimLine line;
    std::string error;
    ASSERT_TRUE(line.Start(OneCounter(), &error)) << error;
    HostPort host(line.DevicePath());
    EXPECT_EQ(host.Exchange('\x85'), Byte(0x85));
    SimFaults faults;
    faults.silent = true;
    ASSERT_TRUE(line.SetFaults(5, faults));
    EXPECT_FALSE(line.SetFaults(6, faults));
    EXPECT_EQ(host.Exchange('\x85', 1, 200), "");
    ASSERT_TRUE(line.SetFaults(5, {}));
    EXPECT_EQ(host.Exchange('\x85'), Byte(0x85));
    EXPECT_TRUE(line.SetStatus(5, 0x01));
    EXPECT_EQ(line.CounterState(5)->status, 0x01);
    EXPECT_FALSE(line.CounterState(6).has_value());
}

TEST(SimLine, HangUpOnDemand) {
    SimLine line;
    std::string error;
    ASSERT_TRUE(line.Start(OneCounter(), &error)) << error;
    HostPort host(line.DevicePath());
    EXPECT_EQ(host.Exchange('\x85'), Byte(0x85));
    line.HangUp();
    EXPECT_TRUE(line.IsHungUp());
    EXPECT_FALSE(line.IsRunning());
    EXPECT_EQ(host.Exchange('T', 6, 200), "");
}

TEST(SimLine, HangUpAfterNBytes) {
    SimLineConfig config = OneCounter();
    config.hangUpAfter = 3;
    SimLine line;
    std::string error;
    ASSERT_TRUE(line.Start(config, &error)) << error;
    HostPort host(line.DevicePath());
    EXPECT_EQ(host.Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(host.Exchange('T', 6), "TMCA\r\n");
    EXPECT_FALSE(line.IsHungUp());
    EXPECT_EQ(host.Exchange('T', 6, 200), "");
    ASSERT_TRUE(WaitFor([&] { return line.IsHungUp(); }));
    EXPECT_FALSE(line.IsRunning());
}

TEST(SimLine, RegistersItsComNameWhileRunning) {
    TempDir registry;
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry.Path().c_str());
    SimLineConfig config = OneCounter();
    config.comName = "COM77";
    std::string devicePath;
    {
        SimLine line;
        std::string error;
        ASSERT_TRUE(line.Start(config, &error)) << error;
        devicePath = line.DevicePath();
        EXPECT_EQ(serialnames::DevicePathOf("COM77"), devicePath);
        HostPort host("COM77");
        ASSERT_TRUE(host.IsOpen());
        EXPECT_EQ(host.Exchange('\x85'), Byte(0x85));
        // A second line cannot take the name while the first holds it.
        SimLine other;
        EXPECT_FALSE(other.Start(config, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(serialnames::DevicePathOf("COM77"), devicePath);
    }
    EXPECT_EQ(serialnames::DevicePathOf("COM77"), "");
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr);
}

TEST(SimLine, RefusesABadConfiguration) {
    SimLineConfig config = OneCounter(5);
    config.counters.push_back(config.counters[0]);
    SimLine line;
    std::string error;
    EXPECT_FALSE(line.Start(config, &error));
    EXPECT_NE(error.find("address"), std::string::npos);
    EXPECT_FALSE(line.IsRunning());
    config = OneCounter();
    config.comName = "tty0";
    EXPECT_FALSE(line.Start(config, &error));
}
