// vok discover as a technician runs it: simulated counter lines registered as
// COM names, a quick echo time-out, and the configuration file it adds to.
#include "VokProcess.h"

#include "platform/SerialNames.h"
#include "sim/SimLine.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace {

using nlohmann::json;

class DiscoverCommand : public VokProcessTest {
protected:
    void TearDown() override {
        for (auto& line : lines_) line->Stop();
        VokProcessTest::TearDown();
    }

    SimLine& AddLine(int port, const std::vector<int>& addresses) {
        SimLineConfig config;
        for (int a : addresses) {
            SimCounterConfig c;
            c.address = a;
            c.sampleIntervalS = 30 + a;
            config.counters.push_back(c);
        }
        config.comName = "COM" + std::to_string(port);
        config.timeScale = 1000;
        auto line = std::make_unique<SimLine>();
        std::string error;
        EXPECT_TRUE(line->Start(config, &error)) << error;
        lines_.push_back(std::move(line));
        return *lines_.back();
    }

    static std::vector<json> JsonLines(const std::string& out) {
        std::vector<json> lines;
        std::istringstream in(out);
        for (std::string text; std::getline(in, text);) {
            json line = json::parse(text, nullptr, false);
            EXPECT_TRUE(line.is_object()) << text;
            lines.push_back(line);
        }
        return lines;
    }

    json Dump(const std::string& file) {
        const VokOutcome run = Vok("config dump '" + file + "'");
        EXPECT_EQ(run.status, 0) << run.err;
        return json::parse(run.out, nullptr, false);
    }

    std::vector<std::unique_ptr<SimLine>> lines_;
};

std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(DiscoverCommand, FindsEveryCounterOnTwoPortsAddsThemAndASecondRunOnlyLogsConflicts) {
    AddLine(41, {3, 40});
    AddLine(43, {63});
    const std::string file = dir_.File("plant.psf");
    // A short echo time-out keeps the search quick; the counter at COM43's
    // last address is found whole even when that port is searched last.
    const VokOutcome run = Vok("discover --port COM41 --port com43 --echo-timeout 40 --add '" + file + "'");
    ASSERT_EQ(run.status, 0) << run.err;

    std::vector<json> found = JsonLines(run.out);
    ASSERT_EQ(found.size(), 3u) << run.out;
    std::sort(found.begin(), found.end(), [](const json& a, const json& b) { return a["name"] < b["name"]; });
    EXPECT_EQ(found[0], json::parse(R"({"port": "COM41", "address": 3, "type": "MCA", "version": "4400 VOK V3.12",
        "bins": [0.3, 0.5, 1.0, 5.0, 10.0], "interval": 33, "name": "4400 VOK 41-03"})"));
    EXPECT_EQ(found[1]["name"], "4400 VOK 41-40");
    EXPECT_EQ(found[1]["interval"], 70);
    EXPECT_EQ(found[2]["name"], "4400 VOK 43-63");
    EXPECT_EQ(found[2]["port"], "COM43");
    // Progress on stderr, ending with the whole of both ports.
    EXPECT_EQ(run.err.rfind("vok discover: 2 ports, ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("vok discover: 2 ports, 128 of 128 combinations checked, 3 found\n"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("added 3 devices"), std::string::npos) << run.err;

    json dumped = Dump(file);
    ASSERT_EQ(dumped["devices"].size(), 3u);
    std::vector<std::string> names;
    for (const json& d : dumped["devices"]) {
        names.push_back(d["name"]);
        EXPECT_EQ(d["simulated_data"], false) << d["name"];
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"4400 VOK 41-03", "4400 VOK 41-40", "4400 VOK 43-63"}));

    // The same counters again: each conflicts with its configured device and the file keeps three.
    const std::string events = dir_.File("events.txt");
    const VokOutcome again =
        Vok("discover --port COM41 --echo-timeout 40 --add '" + file + "' --log '" + events + "'");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(JsonLines(again.out).size(), 2u);
    EXPECT_NE(again.err.find("added 0 devices"), std::string::npos) << again.err;
    const std::string log = Bytes(events);
    EXPECT_NE(log.find("Conflicting device discovered - Existing device name: 4400 VOK 41-03 Addr: 83 Port: 41"),
              std::string::npos);
    EXPECT_NE(log.find("Conflicting device discovered - Existing device name: 4400 VOK 41-40 Addr: A8 Port: 41"),
              std::string::npos);
    EXPECT_EQ(Dump(file)["devices"].size(), 3u);
}

TEST_F(DiscoverCommand, RefusalsComeBeforeTheSearchAndLeaveFilesAsTheyWere) {
    SimLine& line = AddLine(41, {3});
    std::string error;
    ASSERT_TRUE(serialnames::Assign("COM45", dir_.File("no-such-device"), &error)) << error;

    EXPECT_EQ(Vok("discover --port COMX").status, 2);
    EXPECT_EQ(Vok("discover --port COM41 --echo-timeout 0").status, 2);
    const VokOutcome unknown = Vok("discover --port COM77");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("no serial port COM77"), std::string::npos) << unknown.err;

    // A configuration that does not load whole is never written over.
    const std::string damaged = dir_.File("damaged.psf");
    {
        std::ofstream out(damaged, std::ios::binary);
        out << "not a configuration";
    }
    const VokOutcome refused = Vok("discover --port COM41 --echo-timeout 40 --add '" + damaged + "'");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("is not a configuration that loads whole"), std::string::npos) << refused.err;
    EXPECT_EQ(Bytes(damaged), "not a configuration");
    EXPECT_TRUE(line.Trace().empty()) << "the line was used before the refusal";

    // No port that opens: nothing searched, no file made.
    const std::string file = dir_.File("new.psf");
    const VokOutcome none = Vok("discover --port COM45 --add '" + file + "'");
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no serial port could be opened"), std::string::npos) << none.err;
    EXPECT_TRUE(none.out.empty());
    EXPECT_FALSE(std::ifstream(file).good());
}

// At the counter's own echo time-out a search takes minutes; an interrupt ends
// it within about one time-out and changes no configuration.
TEST_F(DiscoverCommand, AnInterruptEndsTheSearchPromptlyWithoutAddingAnything) {
    AddLine(41, {0});
    const std::string file = dir_.File("plant.psf");
    const auto start = std::chrono::steady_clock::now();
    const VokOutcome run =
        Vok("discover --port COM41 --add '" + file + "'", "timeout -k 10 -s INT --preserve-status 3");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_LT(seconds, 3 + 2 * 2.0 + 1);
    EXPECT_NE(run.err.find("interrupted; no configuration was changed"), std::string::npos) << run.err;
    // The counter at the first address answered before the interrupt and is reported.
    EXPECT_EQ(JsonLines(run.out).size(), 1u) << run.out;
    EXPECT_FALSE(std::ifstream(file).good());
}

}  // namespace
