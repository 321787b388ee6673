// vok sim refuses bad arguments with status 2 before it opens anything, and
// switches its counters' faults while it serves when its control file changes.
#include "tools/Commands.h"

#include "VokProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

int RunSim(std::vector<std::string> args) {
    args.insert(args.begin(), "sim");
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    return RunSimCommand(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(SimCommand, BadArgumentsExitWithTwo) {
    EXPECT_EQ(RunSim({"--counter", "5"}), 2);                                   // no port
    EXPECT_EQ(RunSim({"--port", "COM9"}), 2);                                   // no counter
    EXPECT_EQ(RunSim({"--port", "COM9", "--counter", "64"}), 2);                // address out of range
    EXPECT_EQ(RunSim({"--port", "COM9", "--counter", "5", "--counter", "5"}), 2);
    EXPECT_EQ(RunSim({"--port", "COM9", "--counter", "5", "--silent", "6"}), 2);  // fault for a missing counter
    EXPECT_EQ(RunSim({"--port", "COM9", "--counter", "5", "--busy", "5"}), 2);    // ADDR:N expected
    EXPECT_EQ(RunSim({"--port", "COM9", "--counter", "5", "--bins", "0.5,0.3"}), 2);
    EXPECT_EQ(RunSim({"--port", "COM9", "--counter", "5", "--cal", "0.3-100"}), 2);
    EXPECT_EQ(RunSim({"--port", "COM9", "--counter", "5", "--time-scale", "0"}), 2);
    EXPECT_EQ(RunSim({"--port", "ttyS0", "--counter", "5"}), 2);
    EXPECT_EQ(RunSim({"--port", "COM9", "--counter", "5", "--frobnicate"}), 2);
}

TEST(SimCommand, HelpExitsWithZero) { EXPECT_EQ(RunSim({"--help"}), 0); }

// vok sim in a process of its own, switched through its control file, read
// with vok query as any program on the line would.
class SimControlFile : public VokProcessTest {
protected:
    void TearDown() override {
        const std::string pid = ReadFileText(dir_.File("sim.pid"));
        if (!pid.empty()) std::system(("kill -TERM " + pid + " 2>/dev/null").c_str());
        for (int i = 0; i < 100 && !std::filesystem::exists(dir_.File("sim.status")); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        VokProcessTest::TearDown();
    }

    void StartSim(const std::string& arguments) {
        const std::string command = "(VOK_REGISTRY_DIR='" + registry_ + "' sh -c 'echo $$ >\"" + dir_.File("sim.pid") +
                                    "\"; exec \"" + vok_ + "\" sim " + arguments + "' >'" + dir_.File("sim.out") +
                                    "' 2>'" + dir_.File("sim.err") + "'; echo $? >'" + dir_.File("sim.status") +
                                    "') &";
        std::system(command.c_str());
        for (int i = 0; i < 200 && ReadFileText(dir_.File("sim.out")).find("ready") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // Writes the control file as a finished file renamed over the old one, and
    // waits until the simulator reports having read it.
    void Control(const std::string& text, const std::string& report) {
        const std::size_t before = Reports(report);
        { std::ofstream(dir_.File("faults.new"), std::ios::binary) << text; }
        std::filesystem::rename(dir_.File("faults.new"), dir_.File("faults"));
        for (int i = 0; i < 200 && Reports(report) == before; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        ASSERT_GT(Reports(report), before) << ReadFileText(dir_.File("sim.err"));
    }

    std::size_t Reports(const std::string& text) {
        const std::string err = ReadFileText(dir_.File("sim.err"));
        std::size_t n = 0;
        for (auto at = err.find(text); at != std::string::npos; at = err.find(text, at + 1)) ++n;
        return n;
    }

    VokOutcome Query(int address) { return Vok("query --port COM61 --address " + std::to_string(address)); }
};

TEST_F(SimControlFile, FaultsFollowTheFileWhileTheLineServes) {
    StartSim("--port COM61 --counter 3 --counter 4 --time-scale 100 --control '" + dir_.File("faults") + "'");
    ASSERT_NE(ReadFileText(dir_.File("sim.out")).find("ready COM61"), std::string::npos)
        << ReadFileText(dir_.File("sim.err"));

    // No file yet: the counters answer as the command line made them.
    VokOutcome run = Query(3);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"sample_interval\":60"), std::string::npos) << run.out;

    Control("# from now on\n--silent 3\nbad-checksum 4\n", "now on counters: 3, 4");
    run = Query(3);
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.err.find("does not answer"), std::string::npos) << run.err;
    // Counter 4 still answers, but no reply with a checksum gets through.
    run = Query(4);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"bin_sizes\":null"), std::string::npos) << run.out;

    // A file that names a counter the line does not have changes nothing.
    Control("--silent 9\n", "the faults stay as they were");
    EXPECT_EQ(Query(3).status, 1);

    // Listing no fault clears them all.
    Control("\n# all well\n", "now on counters: none");
    run = Query(3);
    EXPECT_EQ(run.status, 0) << run.err;
    run = Query(4);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("\"bin_sizes\":null"), std::string::npos) << run.out;

    // The lost echo: the counter echoes its address, then falls silent.
    Control("--no-echo-after 3:1\n", "now on counters: 3");
    run = Query(3);
    EXPECT_NE(run.out.find("\"type\":null"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"sample_interval\":null"), std::string::npos) << run.out;
    run = Query(4);
    EXPECT_NE(run.out.find("\"sample_interval\":60"), std::string::npos) << run.out;
}
