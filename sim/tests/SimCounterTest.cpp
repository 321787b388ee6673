// The counters' answers byte for byte, without a line: bytes into a SimBus,
// bytes out. Replies are checked by the host's own acceptance rules.
#include "sim/SimBus.h"
#include "sim/SimWire.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

using namespace std::string_literals;

std::string Byte(int value) { return std::string(1, static_cast<char>(value)); }

SimCounterConfig Counter(int address) {
    SimCounterConfig config;
    config.address = address;
    return config;
}

// The host's test of a checksummed reply: message = echo, payload, 13-byte field.
// Returns the payload, or fails the test.
std::string CheckedPayload(const std::string& message, std::size_t minimum) {
    EXPECT_GE(message.size(), minimum);
    if (message.size() < minimum) return {};
    const std::size_t n = message.size();
    EXPECT_EQ(message.substr(n - 12, 3), "C/S");
    const std::string payload = message.substr(1, n - 14);
    unsigned sum = 0;
    for (unsigned char c : payload) sum += c;
    char field[16];
    std::snprintf(field, sizeof field, " C/S 00%04X\r\n", sum & 0xFFFF);
    EXPECT_EQ(message.substr(n - 13), field);
    return payload;
}

struct Record {
    std::string name;
    double value;
};

// Records as the host takes them: from payload byte 21, 11 bytes each, value at offset 4.
std::vector<Record> Records(const std::string& payload) {
    std::vector<Record> records;
    for (std::size_t k = 21; k + 10 < payload.size(); k += 11)
        records.push_back({payload.substr(k, 3), std::strtod(payload.substr(k + 4, 6).c_str(), nullptr)});
    return records;
}

class SimCounterTest : public ::testing::Test {
protected:
    SimBus bus_{{Counter(5)}};
    std::string Send(const std::string& bytes, double now = 0) { return bus_.ReceiveAll(bytes, now); }
};

}  // namespace

// Wire examples of the host's exchanges.

TEST_F(SimCounterTest, SelectEchoesTheAddressByte) {
    EXPECT_EQ(Send(Byte(0x85)), Byte(0x85));
    EXPECT_EQ(bus_.Selected(), 5);
}

TEST_F(SimCounterTest, TypeIsEchoThenModelLine) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("T"), "TMCA\r\n");
}

TEST_F(SimCounterTest, BinSizesFollowTheEchoedLf) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("P"), "P");
    EXPECT_EQ(Send("\r"), "\r");
    // " 0.3 0.5 1 5 10" sums to 651 = 0x028B.
    EXPECT_EQ(Send("\n"), "\n 0.3 0.5 1 5 10 C/S 00028B\r\n");
}

TEST_F(SimCounterTest, NoDataAnswersHash) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("A"), "A#");
}

TEST_F(SimCounterTest, SingleLetterCommandsOnlyEcho) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("d"), "d");
    EXPECT_EQ(Send("b"), "b");
    EXPECT_EQ(Send("C"), "C");
    EXPECT_EQ(Send("c"), "c");  // not a command the counter acts on: echoed and ignored
}

TEST_F(SimCounterTest, VersionIsTakenWholeWithoutEcho) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("E"), "4400 VOK V3.12\r\n");
}

TEST_F(SimCounterTest, CalibrationReplyPassesTheHostCheck) {
    Send(Byte(0x85) + "K\r");
    const std::string message = Send("\n");
    ASSERT_EQ(message.front(), '\n');
    EXPECT_EQ(CheckedPayload(message, 15), " 0.3 100 0.5 180 1 300 5 620 10 850 20 980");
}

TEST_F(SimCounterTest, SampleIntervalReplyIsSevenBytes) {
    Send(Byte(0x85) + "L\r");
    EXPECT_EQ(Send("\n"), "\n0100\r\n");
}

// Sampling in counter time.

TEST_F(SimCounterTest, SampleRunsForItsIntervalThenIsHeld) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("M", 0), "MS");
    Send("d", 100);
    EXPECT_EQ(Send("M", 130), "MC");
    EXPECT_EQ(Send("A", 130), "A#");
    EXPECT_EQ(Send("M", 159.9), "MC");
    EXPECT_EQ(Send("M", 160), "MH");
    EXPECT_EQ(bus_.Find(5)->State(160).samplesTaken, 1u);
    EXPECT_GT(Send("A", 160).size(), 2u);
    // Reading does not use the sample up; clearing does.
    EXPECT_GT(Send("A", 161).size(), 2u);
    EXPECT_EQ(Send("C", 161), "C");
    EXPECT_EQ(Send("A", 161), "A#");
    EXPECT_EQ(Send("M", 161), "MS");
}

TEST_F(SimCounterTest, NewSampleDropsTheHeldOne) {
    Send(Byte(0x85) + "d", 0);
    EXPECT_EQ(Send("M", 60), "MH");
    Send("d", 60);
    EXPECT_EQ(Send("A", 61), "A#");
    EXPECT_EQ(Send("M", 120), "MH");
    EXPECT_EQ(bus_.Find(5)->State(120).samplesTaken, 2u);
}

TEST_F(SimCounterTest, DataReplyLayout) {
    Send(Byte(0x85) + "d", 0);
    const std::string message = Send("A", 60);
    ASSERT_EQ(message.front(), 'A');
    // The host takes the reply as complete at its first LF or #: only the last byte may be one.
    EXPECT_EQ(message.find('\n'), message.size() - 1);
    EXPECT_EQ(message.find('#'), std::string::npos);
    const std::string payload = CheckedPayload(message, 29);
    EXPECT_EQ(payload.size(), 21u + 11u * (5 + 8));
    EXPECT_EQ(payload[0], 0x20);
    const auto records = Records(payload);
    ASSERT_EQ(records.size(), 13u);
    const char* names[] = {"0.3", "0.5", "1  ", "5  ", "10 ", "AN0", "AN1", "AN2", "AN3", "AN4", "AN5", "AN6", "AN7"};
    for (std::size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].name, names[i]) << i;
    // Cumulative counts: each bin holds all larger particles too.
    EXPECT_GT(records[0].value, 0);
    for (std::size_t j = 1; j < 5; ++j) EXPECT_LE(records[j].value, records[j - 1].value) << j;
    for (std::size_t n = 5; n < 13; ++n) {
        EXPECT_GE(records[n].value, 0.0);
        EXPECT_LE(records[n].value, 20.0);
    }
}

TEST(SimCounter, CountsVaryBetweenSamples) {
    SimBus bus({Counter(1)});
    std::string first, second;
    bus.ReceiveAll(Byte(0x81) + "d", 0);
    first = bus.ReceiveAll("A", 60);
    bus.ReceiveAll("d", 60);
    second = bus.ReceiveAll("A", 120);
    ASSERT_GT(first.size(), 2u);
    ASSERT_GT(second.size(), 2u);
    EXPECT_NE(Records(first.substr(1, first.size() - 14))[0].value,
              Records(second.substr(1, second.size() - 14))[0].value);
}

TEST(SimCounter, LargestDataReplyStaysInsideTheHostBuffer) {
    SimCounterConfig config = Counter(2);
    config.binsUm.clear();
    for (int i = 1; i <= 32; ++i) config.binsUm.push_back(i * 0.5);
    ASSERT_TRUE(ValidateSimCounterConfig(config, nullptr));
    SimBus bus({config});
    bus.ReceiveAll(Byte(0x82) + "d", 0);
    const std::string message = bus.ReceiveAll("A", 60);
    EXPECT_LT(message.size(), 500u);
    const std::string payload = CheckedPayload(message, 29);
    EXPECT_EQ(Records(payload).size(), 40u);
}

TEST(SimCounter, StatusByteLeadsThePayload) {
    SimBus bus({Counter(3)});
    bus.Find(3)->SetStatus(0x04);
    bus.ReceiveAll(Byte(0x83) + "d", 0);
    const std::string message = bus.ReceiveAll("A", 60);
    EXPECT_EQ(CheckedPayload(message, 29)[0], 0x04);
}

// Several counters on one line.

TEST(SimCounter, OnlyTheSelectedCounterAnswers) {
    SimBus bus({Counter(5), Counter(6)});
    EXPECT_EQ(bus.ReceiveAll(Byte(0x85)), Byte(0x85));
    EXPECT_EQ(bus.ReceiveAll("T"), "TMCA\r\n");
    EXPECT_EQ(bus.ReceiveAll(Byte(0x86)), Byte(0x86));
    EXPECT_EQ(bus.Selected(), 6);
    EXPECT_EQ(bus.ReceiveAll("d"), "d");
    EXPECT_EQ(bus.Find(6)->State(1).mode, SimMode::Sampling);
    EXPECT_EQ(bus.Find(5)->State(1).mode, SimMode::Stopped);
    // An address nobody has deselects everyone: nothing answers after it.
    EXPECT_EQ(bus.ReceiveAll(Byte(0x87)), "");
    EXPECT_EQ(bus.ReceiveAll("T"), "");
    EXPECT_EQ(bus.Selected(), -1);
}

TEST(SimCounter, LineResetDeselectsWithoutEcho) {
    SimBus bus({Counter(5)});
    bus.ReceiveAll(Byte(0x85));
    EXPECT_EQ(bus.ReceiveAll(" \r\n"), "");
    EXPECT_EQ(bus.Selected(), -1);
    EXPECT_EQ(bus.ReceiveAll("T"), "");
}

TEST(SimCounter, AddressByteAbandonsACommandBeingCollected) {
    SimBus bus({Counter(5), Counter(6)});
    bus.ReceiveAll(Byte(0x85) + "L 01");
    EXPECT_EQ(bus.ReceiveAll(Byte(0x86)), Byte(0x86));
    // A space right after selecting is the line reset again, not part of the old command.
    EXPECT_EQ(bus.ReceiveAll(" "), "");
    bus.ReceiveAll(Byte(0x85));
    EXPECT_EQ(bus.ReceiveAll("30\r\n"), "30\r\n");
    EXPECT_EQ(bus.Find(5)->State(0).sampleIntervalS, 60u);
}

TEST(SimCounter, SetupToolEndByteSelectsAddress63) {
    SimBus bus({Counter(5), Counter(63)});
    bus.ReceiveAll(Byte(0x85));
    EXPECT_EQ(bus.ReceiveAll(Byte(0xBF)), Byte(0xBF));
    EXPECT_EQ(bus.Selected(), 63);
    SimBus lone({Counter(5)});
    lone.ReceiveAll(Byte(0x85));
    EXPECT_EQ(lone.ReceiveAll(Byte(0xBF)), "");
    EXPECT_EQ(lone.ReceiveAll("T"), "");
}

// Writes.

TEST_F(SimCounterTest, BinSizeWriteEchoesEveryByteAndStores) {
    Send(Byte(0x85));
    const std::string line = "P 0.3 0.5 C/S 000164\r\n";
    for (char c : line) EXPECT_EQ(Send(std::string(1, c)), std::string(1, c));
    const auto state = bus_.Find(5)->State(0);
    EXPECT_EQ(state.binsUm, (std::vector<double>{0.3, 0.5}));
    EXPECT_EQ(state.refusedWrites, 0u);
    EXPECT_EQ(Send("P\r\n"), "P\r\n 0.3 0.5 C/S 000164\r\n");
}

TEST_F(SimCounterTest, BinSizeWriteWithWrongChecksumIsRefused) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("P 0.3 0.5 C/S 000165\r\n"), "P 0.3 0.5 C/S 000165\r\n");
    const auto state = bus_.Find(5)->State(0);
    EXPECT_EQ(state.binsUm.size(), 5u);
    EXPECT_EQ(state.refusedWrites, 1u);
    Send("P 0.3 0.5\r\n");  // no checksum at all
    EXPECT_EQ(bus_.Find(5)->State(0).binsUm.size(), 5u);
}

TEST_F(SimCounterTest, SetupToolSizeTextsAreKeptAsWritten) {
    // The setup tool writes .75, 5.0 and 10.; sum of " .75 5.0 10." is 540 = 0x021C.
    Send(Byte(0x85) + "P .75 5.0 10. C/S 00021C\r\n");
    const auto state = bus_.Find(5)->State(0);
    EXPECT_EQ(state.binsUm, (std::vector<double>{0.75, 5.0, 10.0}));
    EXPECT_EQ(Send("P\r\n"), "P\r\n .75 5.0 10. C/S 00021C\r\n");
    Send("d", 0);
    const auto records = Records(CheckedPayload(Send("A", 60), 29));
    ASSERT_GE(records.size(), 3u);
    EXPECT_EQ(records[0].name, ".75");
    EXPECT_EQ(records[2].name, "10.");
}

TEST_F(SimCounterTest, CalibrationProgrammingLineWithoutChecksum) {
    Send(Byte(0x85));
    const std::string line = "K 0.3 100 0.5 200 1.25 450\r\n";
    EXPECT_EQ(Send(line), line);
    EXPECT_EQ(bus_.Find(5)->State(0).calibration,
              (std::vector<SimCalPoint>{{0.3, 100}, {0.5, 200}, {1.25, 450}}));
    const std::string reply = Send("K\r\n");
    EXPECT_EQ(CheckedPayload(reply.substr(2), 15), " 0.3 100 0.5 200 1.25 450");
}

TEST_F(SimCounterTest, CalibrationLineWithOddNumbersIsRefused) {
    Send(Byte(0x85) + "K 0.3 100 0.5\r\n");
    const auto state = bus_.Find(5)->State(0);
    EXPECT_EQ(state.calibration.size(), 6u);
    EXPECT_EQ(state.refusedWrites, 1u);
}

TEST_F(SimCounterTest, SampleIntervalWrite) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("L 9000\r\n"), "L 9000\r\n");
    EXPECT_EQ(bus_.Find(5)->State(0).sampleIntervalS, 5400u);
    EXPECT_EQ(Send("L\r\n"), "L\r\n9000\r\n");
    Send("L 0130\r\n");
    EXPECT_EQ(bus_.Find(5)->State(0).sampleIntervalS, 90u);
    // The new interval times the next sample.
    Send("d", 0);
    EXPECT_EQ(Send("M", 89), "MC");
    EXPECT_EQ(Send("M", 90), "MH");
}

TEST_F(SimCounterTest, LightOnAndOff) {
    Send(Byte(0x85));
    EXPECT_EQ(Send("o0001\r\n"), "o0001\r\n");
    EXPECT_TRUE(bus_.Find(5)->State(0).light);
    EXPECT_EQ(Send("o0000\r\n"), "o0000\r\n");
    EXPECT_FALSE(bus_.Find(5)->State(0).light);
}

TEST_F(SimCounterTest, ManualModeIsRemembered) {
    Send(Byte(0x85) + "b");
    EXPECT_TRUE(bus_.Find(5)->State(0).manualMode);
}

// Faults.

TEST(SimCounterFaults, SilentCounterNeverAnswers) {
    SimCounterConfig config = Counter(5);
    config.faults.silent = true;
    SimBus bus({config});
    EXPECT_EQ(bus.ReceiveAll(Byte(0x85)), "");
    EXPECT_EQ(bus.ReceiveAll("T"), "");
}

TEST(SimCounterFaults, NoEchoAfterNBytes) {
    SimCounterConfig config = Counter(5);
    config.faults.noEchoAfter = 2;
    SimBus bus({config});
    EXPECT_EQ(bus.ReceiveAll(Byte(0x85)), Byte(0x85));
    EXPECT_EQ(bus.ReceiveAll("P"), "P");
    EXPECT_EQ(bus.ReceiveAll("\r"), "");
    EXPECT_EQ(bus.ReceiveAll("\n"), "");
    EXPECT_EQ(bus.ReceiveAll(Byte(0x85)), "");
}

TEST(SimCounterFaults, BadChecksum) {
    SimCounterConfig config = Counter(5);
    config.faults.badChecksum = true;
    SimBus bus({config});
    EXPECT_EQ(bus.ReceiveAll(Byte(0x85) + "P\r\n"), Byte(0x85) + "P\r\n 0.3 0.5 1 5 10 C/S 00028C\r\n");
}

TEST(SimCounterFaults, LowerCaseChecksum) {
    SimCounterConfig config = Counter(5);
    config.faults.lowerChecksum = true;
    SimBus bus({config});
    EXPECT_EQ(bus.ReceiveAll(Byte(0x85) + "P\r\n"), Byte(0x85) + "P\r\n 0.3 0.5 1 5 10 C/S 00028b\r\n");
}

TEST(SimCounterFaults, BusyForNModeQueries) {
    SimCounterConfig config = Counter(5);
    config.faults.busyQueries = 2;
    SimBus bus({config});
    bus.ReceiveAll(Byte(0x85) + "d", 0);
    EXPECT_EQ(bus.ReceiveAll("M", 60), "MC");
    EXPECT_EQ(bus.ReceiveAll("M", 60), "MC");
    EXPECT_EQ(bus.ReceiveAll("M", 60), "MH");
}

TEST(SimCounterFaults, TruncatesTheNextReplyOnly) {
    SimCounterConfig config = Counter(5);
    config.faults.truncateNext = 3;
    SimBus bus({config});
    // Commands without a reply do not use the fault up.
    EXPECT_EQ(bus.ReceiveAll(Byte(0x85) + "d"), Byte(0x85) + "d");
    EXPECT_EQ(bus.ReceiveAll("T"), "TMC");  // MCA CR LF less three bytes
    EXPECT_EQ(bus.ReceiveAll("T"), "TMCA\r\n");
}

TEST(SimCounterFaults, SettingFaultsAtRunTime) {
    SimBus bus({Counter(5)});
    bus.ReceiveAll(Byte(0x85));
    SimFaults faults;
    faults.noEchoAfter = 1;
    bus.Find(5)->SetFaults(faults);
    EXPECT_EQ(bus.ReceiveAll("T"), "TMCA\r\n");
    EXPECT_EQ(bus.ReceiveAll("T"), "");
    bus.Find(5)->SetFaults({});
    EXPECT_EQ(bus.ReceiveAll("T"), "TMCA\r\n");
}

// Settings that the wire cannot carry are refused before a line starts.

TEST(SimCounterConfig, RefusesSettingsTheWireCannotCarry) {
    SimCounterConfig config = Counter(64);
    EXPECT_FALSE(ValidateSimCounterConfig(config, nullptr));
    config = Counter(1);
    config.binsUm = {1000};
    EXPECT_FALSE(ValidateSimCounterConfig(config, nullptr));
    config.binsUm = {0.75, 0.78};  // both labelled 0.7
    EXPECT_FALSE(ValidateSimCounterConfig(config, nullptr));
    config.binsUm = {0.5, 0.3};
    EXPECT_FALSE(ValidateSimCounterConfig(config, nullptr));
    config = Counter(1);
    config.sampleIntervalS = 6000;
    EXPECT_FALSE(ValidateSimCounterConfig(config, nullptr));
    config = Counter(1);
    config.modelText = "MC\nA";
    EXPECT_FALSE(ValidateSimCounterConfig(config, nullptr));
    EXPECT_TRUE(ValidateSimCounterConfig(Counter(63), nullptr));
}
