// vok probe as a user runs it: the built program in a process of its own,
// polling a simulated counter line that this test serves and registers in a
// registry of the test's own.
#include "sim/SimLine.h"

#include "VokProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

constexpr int kPort = 42;

// Item IDs below the device of the bin tags, without their two-digit bin number.
const std::string kCumulativeRaw = "Cumulative Raw Bin Counts.Cumulative Raw Count Bin ";
const std::string kCumulativeNormalized = "Cumulative Normalized Bin Counts.Cumulative Normalized Count Bin ";
const std::string kDifferentialRaw = "Differential Raw Bin Counts.Differential Raw Count Bin ";
const std::string kDifferentialNormalized = "Differential Normalized Bin Counts.Differential Normalized Count Bin ";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<std::string> lines;
    double seconds = 0;
};

// One data reply as the counter sent it: the status byte and the records.
struct DataReply {
    unsigned status = 0;
    std::vector<std::pair<std::string, double>> bins;  // label, cumulative count
    std::vector<double> analog;                        // AN0, AN1, ... in order
};

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The data replies on the line, in the order they were sent: a host 'A'
// answered by its echo, then a line with a checksum field. The payload is the
// status byte, twenty bytes of sample head, then 11-byte records "LLL:VVVVVV ".
std::vector<DataReply> DataReplies(const std::vector<SimTraceEntry>& trace) {
    std::vector<DataReply> out;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        if (trace[i].direction != SimDirection::Rx || trace[i].byte != 'A') continue;
        std::string reply;
        for (std::size_t k = i + 1; k < trace.size() && trace[k].direction == SimDirection::Tx; ++k)
            reply += static_cast<char>(trace[k].byte);
        const std::size_t sum = reply.find(" C/S");
        if (reply.size() < 2 || reply[0] != 'A' || sum == std::string::npos) continue;
        const std::string payload = reply.substr(1, sum - 1);
        DataReply data;
        data.status = static_cast<unsigned char>(payload[0]);
        for (std::size_t at = 21; at + 10 <= payload.size(); at += 11) {
            const std::string label = Trim(payload.substr(at, 3));
            const double value = std::stod(payload.substr(at + 4, 6));
            if (label.rfind("AN", 0) == 0) data.analog.push_back(value);
            else data.bins.emplace_back(label, value);
        }
        out.push_back(data);
    }
    return out;
}

std::string Numbered(const char* format, int n) {
    char text[128];
    std::snprintf(text, sizeof text, format, n);
    return text;
}

// Every item a counter device with this many active bins publishes, below its name.
std::set<std::string> ExpectedItems(const std::string& device, int bins) {
    std::set<std::string> ids;
    for (const char* name : {"Software Version", "Num Bins", "Total Raw Counts", "Total Normalized Counts",
                             "Sample Interval", "Flow Level", "Counter Alarm", "Calibration Alarm", "Count Alarm",
                             "Analog Alarm", "Comm Alarm", "Concentration Alarm", "Comm Status", "Counter In Service"})
        ids.insert(device + "." + name);
    for (int j = 1; j <= bins; ++j) {
        ids.insert(device + Numbered(".Bin Sizes.Bin Size %02d", j));
        ids.insert(device + Numbered(".Cumulative Raw Bin Counts.Cumulative Raw Count Bin %02d", j));
        ids.insert(device + Numbered(".Cumulative Normalized Bin Counts.Cumulative Normalized Count Bin %02d", j));
        ids.insert(device + Numbered(".Differential Raw Bin Counts.Differential Raw Count Bin %02d", j));
        ids.insert(device + Numbered(".Differential Normalized Bin Counts.Differential Normalized Count Bin %02d", j));
    }
    for (int n = 1; n <= 8; ++n) {
        ids.insert(device + Numbered(".Analog Data.Analog Input %d", n));
        ids.insert(device + Numbered(".Analog Data.Analog Input %d - In Service", n));
    }
    return ids;
}

// The items whose values exist only while the counter answers.
bool IsVolatileItem(const std::string& id) {
    for (const char* part : {"Count Bin", "Total ", "Alarm"})
        if (id.find(part) != std::string::npos) return true;
    return id.find("Analog Input") != std::string::npos && id.find("In Service") == std::string::npos;
}

class ProbeCommand : public VokProcessTest {
protected:
    void TearDown() override {
        line.Stop();
        VokProcessTest::TearDown();
    }

    // Counters on COM42, a thousand times faster than real time.
    void StartLine(std::vector<SimCounterConfig> counters) {
        SimLineConfig config;
        config.counters = std::move(counters);
        config.comName = "COM" + std::to_string(kPort);
        config.timeScale = 1000;
        std::string error;
        ASSERT_TRUE(line.Start(config, &error)) << error;
    }

    // Runs "vok probe <arguments>" under a time limit; a run that hangs ends
    // with the limit's status 124. The prefix goes before the time limit.
    Outcome Probe(const std::string& arguments, int limitSeconds = 30, const std::string& timeout = {}) {
        const std::string out = dir_.File("out"), err = dir_.File("err"), status = dir_.File("status");
        const std::string limit = timeout.empty() ? "timeout -k 5 " + std::to_string(limitSeconds) : timeout;
        const std::string command = "VOK_REGISTRY_DIR='" + registry_ + "' " + limit + " '" + vok_ + "' probe " +
                                    arguments + " >'" + out + "' 2>'" + err + "'; echo $? >'" + status + "'";
        const auto start = std::chrono::steady_clock::now();
        std::system(command.c_str());
        Outcome run;
        run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        run.status = std::stoi(ReadFileText(status));
        run.out = ReadFileText(out);
        run.err = ReadFileText(err);
        std::istringstream lines(run.out);
        for (std::string text; std::getline(lines, text);) run.lines.push_back(text);
        return run;
    }

    // The lines of a run as JSON; a line that is not a JSON object fails the test.
    static std::vector<json> Passes(const Outcome& run) {
        std::vector<json> out;
        for (const std::string& text : run.lines) {
            json pass = json::parse(text, nullptr, false);
            EXPECT_TRUE(pass.is_object()) << text;
            out.push_back(pass.is_object() ? pass : json::object());
        }
        return out;
    }

    SimLine line;
};

// The value of an item below the device.
const json& Value(const json& pass, const std::string& device, const std::string& item) {
    return pass.at("items").at(device + "." + item).at("value");
}
// The device's own number of a printed pass.
std::size_t PassNumber(const json& pass) { return pass.value("pass", std::size_t{0}); }

// Printed passes count up from 1 without repeats (a gap is a pass the printing
// missed); with `last` given, the run ends on exactly that pass.
void ExpectRisingPassNumbers(const std::vector<json>& passes, std::size_t last) {
    std::size_t before = 0;
    for (const json& pass : passes) {
        EXPECT_GT(PassNumber(pass), before) << pass.dump();
        before = PassNumber(pass);
    }
    if (last != 0 && !passes.empty()) {
        EXPECT_EQ(PassNumber(passes.back()), last);
    }
}

unsigned Quality(const json& pass, const std::string& device, const std::string& item) {
    return pass.at("items").at(device + "." + item).at("quality").get<unsigned>();
}

}  // namespace

TEST_F(ProbeCommand, EveryPassIsOneJsonLineWithEveryItemOfTheDevice) {
    SimCounterConfig counter;
    counter.address = 5;
    ASSERT_NO_FATAL_FAILURE(StartLine({counter}));
    const Outcome run = Probe("--port COM42 --address 5 --passes 2 --interval 1");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_LT(run.seconds, 10);
    // A loaded machine may miss printing the first pass, never the last.
    ASSERT_GE(run.lines.size(), 1u) << run.out;
    ASSERT_LE(run.lines.size(), 2u) << run.out;

    const std::string device = "4400 VOK 42-05";
    const std::set<std::string> expected = ExpectedItems(device, 4);  // a new device's four bins
    const std::vector<json> passes = Passes(run);
    ExpectRisingPassNumbers(passes, 2);
    for (std::size_t i = 0; i < passes.size(); ++i) {
        const json& pass = passes[i];
        ASSERT_EQ(pass.size(), 3u) << run.lines[i];
        EXPECT_EQ(pass.at("comm_status"), 0);
        std::set<std::string> ids;
        for (const auto& [id, item] : pass.at("items").items()) {
            ids.insert(id);
            ASSERT_EQ(item.size(), 2u) << id;
            ASSERT_TRUE(item.contains("value")) << id;
            ASSERT_TRUE(item.at("quality").is_number_unsigned()) << id;
            EXPECT_LE(item.at("quality").get<unsigned>(), 0xFFFFu) << id;
        }
        EXPECT_EQ(ids, expected) << run.lines[i];

        EXPECT_EQ(Value(pass, device, "Num Bins"), 4);
        const double sizes[] = {2, 5, 10, 15};
        for (int j = 0; j < 4; ++j)
            EXPECT_EQ(Value(pass, device, Numbered("Bin Sizes.Bin Size %02d", j + 1)), sizes[j]) << j;
        EXPECT_EQ(Value(pass, device, "Sample Interval"), 1);
        EXPECT_EQ(Value(pass, device, "Flow Level"), 100);
        EXPECT_EQ(Value(pass, device, "Comm Status"), 0);
        EXPECT_EQ(Value(pass, device, "Counter In Service"), true);
        EXPECT_EQ(Value(pass, device, "Software Version"), "4400 VOK V3.12");
    }
    // The first pass sets the counter up; its data is read on the next one.
    for (const json& pass : passes)
        EXPECT_EQ(Quality(pass, device, kCumulativeRaw + "01") == 0xC0u, PassNumber(pass) >= 2) << pass.dump();
    const auto state = line.CounterState(5);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->binsUm, (std::vector<double>{2, 5, 10, 15}));
    EXPECT_EQ(state->sampleIntervalS, 1u);
    EXPECT_TRUE(state->manualMode);
}

TEST_F(ProbeCommand, DataPassesCarryTheCountsTheCounterSent) {
    SimCounterConfig counter;
    counter.address = 5;
    counter.status = 0x0C;  // count and communication alarms
    counter.versionText = "4400 VOK V9.87";
    ASSERT_NO_FATAL_FAILURE(StartLine({counter}));
    const Outcome run = Probe("--port COM42 --address 5 --passes 3 --interval 1 --bins 0.3,0.5,1,5");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<json> passes = Passes(run);
    ExpectRisingPassNumbers(passes, 3);

    const std::string device = "4400 VOK 42-05";
    const std::vector<std::string> labels = {"0.3", "0.5", "1", "5"};
    const std::vector<DataReply> replies = DataReplies(line.Trace());
    std::vector<const json*> dataPasses;
    for (const json& pass : passes) {
        EXPECT_EQ(Quality(pass, device, "Total Raw Counts") == 0xC0, PassNumber(pass) >= 2) << pass.dump();
        if (PassNumber(pass) >= 2) dataPasses.push_back(&pass);
    }
    // The first pass sets the counter up; pass n shows the sample of the
    // (n-1)th data reply. (A read that began while the run was ending may
    // follow unprinted.)
    ASSERT_FALSE(dataPasses.empty()) << run.out;
    ASSERT_GE(replies.size(), 2u);

    // 100 ml/min over a one-second sample.
    const double volume = 100.0 / 60.0;
    for (const json* printed : dataPasses) {
        const json& pass = *printed;
        ASSERT_LT(PassNumber(pass) - 2, replies.size()) << pass.dump();
        const DataReply& reply = replies[PassNumber(pass) - 2];
        EXPECT_EQ(pass.at("comm_status"), 0);
        ASSERT_EQ(reply.bins.size(), 4u);
        EXPECT_EQ(Value(pass, device, "Num Bins"), 4);
        std::vector<long long> cumulative(4);
        std::vector<double> normalized(4);
        for (int j = 0; j < 4; ++j) {
            const std::string n = Numbered("%02d", j + 1);
            EXPECT_EQ(reply.bins[j].first, labels[j]);
            EXPECT_EQ(Value(pass, device, "Bin Sizes.Bin Size " + n), std::stod(labels[j]));
            cumulative[j] = Value(pass, device, kCumulativeRaw + n).get<long long>();
            normalized[j] = Value(pass, device, kCumulativeNormalized + n).get<double>();
            EXPECT_EQ(cumulative[j], static_cast<long long>(reply.bins[j].second)) << n;
            EXPECT_NEAR(normalized[j], reply.bins[j].second / volume, 1e-9) << n;
        }
        for (int j = 0; j + 1 < 4; ++j) EXPECT_GE(cumulative[j], cumulative[j + 1]) << "counts rise with size at " << j;
        EXPECT_GT(cumulative[0], 0);
        for (int j = 0; j < 4; ++j) {
            const std::string n = Numbered("%02d", j + 1);
            const long long above = j + 1 < 4 ? cumulative[j + 1] : 0;
            const double aboveNormalized = j + 1 < 4 ? normalized[j + 1] : 0;
            EXPECT_EQ(Value(pass, device, kDifferentialRaw + n), cumulative[j] - above) << n;
            EXPECT_NEAR(Value(pass, device, kDifferentialNormalized + n).get<double>(), normalized[j] - aboveNormalized,
                        1e-9)
                << n;
        }
        EXPECT_EQ(Value(pass, device, "Total Raw Counts"), cumulative[0]);
        EXPECT_NEAR(Value(pass, device, "Total Normalized Counts").get<double>(), normalized[0], 1e-9);

        ASSERT_EQ(reply.analog.size(), 8u);
        for (int n = 0; n < 8; ++n) {
            // The inputs' default scaling: 0.004 per raw unit.
            const std::string item = Numbered("Analog Data.Analog Input %d", n + 1);
            EXPECT_NEAR(Value(pass, device, item).get<double>(), reply.analog[n] * 0.004, 1e-9) << item;
            EXPECT_EQ(Quality(pass, device, item), 0xC0u) << item;
        }
        EXPECT_EQ(reply.status, 0x0Cu);
        EXPECT_EQ(Value(pass, device, "Counter Alarm"), true);
        EXPECT_EQ(Value(pass, device, "Count Alarm"), true);
        EXPECT_EQ(Value(pass, device, "Analog Alarm"), true);
        EXPECT_EQ(Value(pass, device, "Comm Alarm"), true);
        EXPECT_EQ(Value(pass, device, "Calibration Alarm"), false);
        EXPECT_EQ(Value(pass, device, "Concentration Alarm"), false);
        EXPECT_EQ(Value(pass, device, "Software Version"), "4400 VOK V9.87");
    }
    // The counter now counts in the bins asked for.
    EXPECT_EQ(line.CounterState(5)->binsUm, (std::vector<double>{0.3, 0.5, 1, 5}));
}

TEST_F(ProbeCommand, AnAddressNobodyAnswersGivesCommFailureAndNoGoodCounts) {
    SimCounterConfig counter;
    counter.address = 5;
    ASSERT_NO_FATAL_FAILURE(StartLine({counter}));
    const Outcome run = Probe("--port COM42 --address 6 --passes 1 --interval 1");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.status, 124) << "no end within the time limit";
    EXPECT_LT(run.seconds, 15);
    ASSERT_EQ(run.lines.size(), 1u) << run.out << run.err;
    const json pass = Passes(run)[0];
    const std::string device = "4400 VOK 42-06";
    EXPECT_EQ(pass.at("comm_status"), 1);
    EXPECT_EQ(Value(pass, device, "Comm Status"), 1);
    int volatileItems = 0;
    for (const auto& [id, item] : pass.at("items").items()) {
        if (!IsVolatileItem(id)) continue;
        ++volatileItems;
        EXPECT_EQ(item.at("quality"), 0x18) << id;  // bad, communication failure
    }
    EXPECT_EQ(volatileItems, 4 * 4 + 2 + 6 + 8);  // four count kinds of four bins, totals, alarms, inputs
    EXPECT_FALSE(line.CounterState(5)->manualMode);  // the counter on the line was left alone
}

TEST_F(ProbeCommand, BadArgumentsAreRefusedOnStderrBeforeTheLineIsUsed) {
    SimCounterConfig counter;
    counter.address = 5;
    ASSERT_NO_FATAL_FAILURE(StartLine({counter}));
    struct Case {
        const char* arguments;
        const char* named;  // what the message must name
    };
    const Case cases[] = {
        {"--port COM42 --address 64", "address"},
        {"--port COM42 --address -1", "address"},
        {"--port COM42 --address five", "address"},
        {"--port COM42", "address"},
        {"--address 5", "port"},
        {"--port COM42 --address 5 --bins 5,1", "bins"},
        {"--port COM42 --address 5 --bins 1,1", "bins"},
        {"--port COM42 --address 5 --bins a,b", "bins"},
        {"--port COM42 --address 5 --bins 1,,5", "bins"},
        {"--port COM42 --address 5 --bins 0,1", "bins"},
        // Sizes the counter's three characters cannot carry would be counted in another bin.
        {"--port COM42 --address 5 --bins 0.25,1", "bins"},
        {"--port COM42 --address 5 --bins 1,1000", "bins"},
        {"--port COM42 --address 5 --bins "
         "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31,32,33",
         "bins"},
        {"--port COM42 --address 5 --interval 0", "interval"},
        {"--port COM42 --address 5 --interval 3600", "interval"},
        {"--port COM42 --address 5 --passes 0", "passes"},
        {"--port COM42 --address 5 --frobnicate", "frobnicate"},
    };
    for (const Case& c : cases) {
        const Outcome run = Probe(c.arguments, 10);
        EXPECT_NE(run.status, 0) << c.arguments;
        EXPECT_NE(run.status, 124) << c.arguments << ": no end within the time limit";
        EXPECT_TRUE(run.out.empty()) << c.arguments << ": " << run.out;
        EXPECT_NE(run.err.find(c.named), std::string::npos) << c.arguments << ": " << run.err;
        EXPECT_LT(run.seconds, 5) << c.arguments;
    }
    EXPECT_TRUE(line.Trace().empty()) << "a refused run talked to the line";
}

TEST_F(ProbeCommand, APortThatIsNoCounterLineIsRefused) {
    SimCounterConfig counter;
    counter.address = 5;
    ASSERT_NO_FATAL_FAILURE(StartLine({counter}));
    for (const char* port : {"COM99", "ttyS0", "COM", "COM0", "COM4x"}) {
        const Outcome run = Probe(std::string("--port ") + port + " --address 5 --passes 1", 10);
        EXPECT_NE(run.status, 0) << port;
        EXPECT_NE(run.status, 124) << port;
        EXPECT_TRUE(run.out.empty()) << port << ": " << run.out;
        EXPECT_NE(run.err.find(port), std::string::npos) << port << ": " << run.err;
        EXPECT_LT(run.seconds, 5) << port;
    }
    EXPECT_TRUE(line.Trace().empty());
}

TEST_F(ProbeCommand, ATerminationEndsAnOpenEndedRunWithWholeLines) {
    SimCounterConfig counter;
    counter.address = 5;
    ASSERT_NO_FATAL_FAILURE(StartLine({counter}));
    // Without --passes it polls until told to stop; the limit sends SIGTERM after 2.5 s.
    const Outcome run = Probe("--port COM42 --address 5 --interval 1", 0, "timeout -k 5 -s TERM --preserve-status 2.5");
    EXPECT_EQ(run.status, 0) << run.err;  // the last pass went well
    EXPECT_LT(run.seconds, 6);
    ASSERT_GE(run.lines.size(), 1u) << run.out;
    ASSERT_EQ(run.out.back(), '\n');
    const std::vector<json> passes = Passes(run);
    ExpectRisingPassNumbers(passes, 0);
    for (const json& pass : passes) EXPECT_EQ(pass.value("comm_status", -1), 0);
}
