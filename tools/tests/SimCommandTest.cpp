// vok sim refuses bad arguments with status 2 before it opens anything.
#include "tools/Commands.h"

#include <gtest/gtest.h>

#include <string>
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
