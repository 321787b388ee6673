// vok ports as a user runs it: the built program in processes of its own,
// with the registry in a folder of the test's.
#include "platform/SerialNames.h"

#include "VokProcess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

using Outcome = VokOutcome;

class PortsCommand : public VokProcessTest {
protected:
    void SetUp() override {
        VokProcessTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (const char* name : {"ttyA", "ttyB"}) std::ofstream(dir_.File(name)) << "";
    }

    // Runs "vok ports <arguments>".
    Outcome Ports(const std::string& arguments) { return Vok("ports " + arguments); }
    std::string Path(const char* name) const { return dir_.File(name); }
};

TEST_F(PortsCommand, AssignListAndRemoveAsAUserWould) {
    Outcome run = Ports("assign COM12 " + Path("ttyA"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "COM12\t" + Path("ttyA") + "\n");
    ASSERT_EQ(Ports("assign com3 " + Path("ttyB")).status, 0);

    // The test process reads what the vok process wrote.
    EXPECT_EQ(serialnames::DevicePathOf("COM12"), Path("ttyA"));

    run = Ports("list");
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string mine = "COM3\t" + Path("ttyB") + "\nCOM12\t" + Path("ttyA") + "\n";
    EXPECT_NE(run.out.find(mine), std::string::npos) << "sorted by number, not by text:\n" << run.out;
    std::istringstream lines(run.out);
    int previous = 0;
    for (std::string line; std::getline(lines, line);) {
        int number = 0;
        ASSERT_TRUE(serialnames::ParseComName(line.substr(0, line.find('\t')), &number)) << line;
        EXPECT_GT(number, previous) << run.out;
        previous = number;
    }

    run = Ports("list --json");
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\"name\": \"COM12\""), std::string::npos) << run.out;

    ASSERT_EQ(Ports("remove COM12").status, 0);
    EXPECT_EQ(serialnames::DevicePathOf("COM12"), "");
    EXPECT_EQ(Ports("list").out.find("COM12"), std::string::npos);
}

TEST_F(PortsCommand, RefusalsSayWhyAndExitWithStatusOne) {
    ASSERT_EQ(Ports("assign COM4 " + Path("ttyA")).status, 0);
    Outcome run = Ports("assign COM4 " + Path("ttyB"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("COM4 is already assigned to " + Path("ttyA")), std::string::npos) << run.err;
    EXPECT_EQ(serialnames::DevicePathOf("COM4"), Path("ttyA"));

    run = Ports("assign COM5 " + Path("no-such-device"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("does not exist"), std::string::npos) << run.err;
    EXPECT_EQ(serialnames::DevicePathOf("COM5"), "");

    run = Ports("remove COM9");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("COM9"), std::string::npos) << run.err;
}

TEST_F(PortsCommand, UsageErrorsExitWithStatusTwoAndHelpWithZero) {
    EXPECT_EQ(Ports("").status, 2);
    EXPECT_EQ(Ports("frobnicate").status, 2);
    EXPECT_EQ(Ports("assign COM1").status, 2);
    EXPECT_EQ(Ports("assign PORT1 " + Path("ttyA")).status, 2);
    EXPECT_EQ(Ports("remove").status, 2);
    const Outcome help = Ports("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("assign"), std::string::npos);
    EXPECT_EQ(Ports("assign --help").status, 0);
}

}  // namespace
