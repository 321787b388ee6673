// The setup tool's exchanges over a real pseudo-terminal: every byte echoed,
// each exchange closed by the lone 0xBF that no counter of the tool answers,
// and the next exchange working after it.
#include "sim/SimLine.h"

#include "HostPort.h"

#include <gtest/gtest.h>

namespace {

std::string Byte(int value) { return std::string(1, static_cast<char>(value)); }

// Sends the bytes one at a time as the setup tool does, collecting the echoes.
std::string SendEach(HostPort& host, const std::string& bytes) {
    std::string echoes;
    for (char c : bytes) echoes += host.Exchange(c, 1, 200);
    return echoes;
}

class SimSetupExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimLineConfig config;
        SimCounterConfig counter;
        counter.address = 5;
        config.counters.push_back(counter);
        std::string error;
        ASSERT_TRUE(line_.Start(config, &error)) << error;
        host_ = std::make_unique<HostPort>(line_.DevicePath());
        ASSERT_TRUE(host_->IsOpen());
    }
    // The closing byte: written, nothing read.
    void End() { ASSERT_TRUE(host_->Write(Byte(0xBF))); }

    SimLine line_;
    std::unique_ptr<HostPort> host_;
};

}  // namespace

TEST_F(SimSetupExchangeTest, EndByteGetsNoAnswerAndTheNextSelectWorks) {
    EXPECT_EQ(host_->Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(host_->Exchange('T'), "T");
    EXPECT_EQ(host_->Read(32, 100), "MCA\r\n");
    End();
    // The counter let go: a command now goes unanswered.
    EXPECT_EQ(host_->Exchange('T', 1, 100), "");
    EXPECT_EQ(host_->Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(SendEach(*host_, "P\r"), "P\r");
    EXPECT_EQ(host_->Exchange('\n', 64, 200), "\n 0.3 0.5 1 5 10 C/S 00028B\r\n");
    End();
}

TEST_F(SimSetupExchangeTest, SizesCalibrationAndLightAreStored) {
    const std::string sizes = "P 0.3 0.5 C/S 000164\r\n";
    EXPECT_EQ(host_->Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(SendEach(*host_, sizes), sizes);
    End();
    const std::string cal = "K 0.3 100 0.5 180.5 1.25 450\r\n";
    EXPECT_EQ(host_->Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(SendEach(*host_, cal), cal);
    End();
    EXPECT_EQ(host_->Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(SendEach(*host_, "o0001\r\n"), "o0001\r\n");
    End();
    const auto state = line_.CounterState(5);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->binsUm, (std::vector<double>{0.3, 0.5}));
    EXPECT_EQ(state->calibration, (std::vector<SimCalPoint>{{0.3, 100}, {0.5, 180.5}, {1.25, 450}}));
    EXPECT_TRUE(state->light);
    EXPECT_EQ(state->refusedWrites, 0u);
    // What was stored reads back the way it was written.
    EXPECT_EQ(host_->Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(SendEach(*host_, "K\r"), "K\r");
    const std::string reply = host_->Exchange('\n', 256, 200);
    EXPECT_EQ(reply.substr(0, 28), "\n 0.3 100 0.5 180.5 1.25 450");
    EXPECT_EQ(reply.substr(28, 5), " C/S ");
}

TEST_F(SimSetupExchangeTest, LineCutShortByTheEndByteChangesNothing) {
    // A programming attempt that lost an echo ends with 0xBF half-way.
    EXPECT_EQ(host_->Exchange('\x85'), Byte(0x85));
    SendEach(*host_, "P 0.3 0.");
    End();
    EXPECT_EQ(host_->Exchange('\x85'), Byte(0x85));
    EXPECT_EQ(SendEach(*host_, "o0001\r\n"), "o0001\r\n");
    const auto state = line_.CounterState(5);
    EXPECT_EQ(state->binsUm.size(), 5u);
    EXPECT_EQ(state->refusedWrites, 0u);
    EXPECT_TRUE(state->light);
}
