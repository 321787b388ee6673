// vok ports as a user runs it: the built program in processes of its own,
// with the registry in a folder of the test's.
#include "platform/Environment.h"
#include "platform/SerialNames.h"

#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class PortsCommand : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[4096];
        const DWORD n = GetEnvironmentVariableA("VOK_TEST_BIN_DIR", folder, sizeof folder);
        if (n == 0 || n >= sizeof folder) GTEST_SKIP() << "VOK_TEST_BIN_DIR names the folder of the vok program";
        vok_ = std::string(folder, n) + "/vok";
        registry_ = dir_.File("registry");
        ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.c_str()));
        for (const char* name : {"ttyA", "ttyB"}) std::ofstream(dir_.File(name)) << "";
    }
    void TearDown() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr); }

    // Runs "vok ports <arguments>"; the shell writes the exit status to a file.
    Outcome Ports(const std::string& arguments) {
        const std::string out = dir_.File("out"), err = dir_.File("err"), status = dir_.File("status");
        const std::string command = "VOK_REGISTRY_DIR='" + registry_ + "' '" + vok_ + "' ports " + arguments + " >'" +
                                    out + "' 2>'" + err + "'; echo $? >'" + status + "'";
        std::system(command.c_str());
        Outcome run;
        run.status = std::stoi(Slurp(status));
        run.out = Slurp(out);
        run.err = Slurp(err);
        return run;
    }
    std::string Path(const char* name) const { return dir_.File(name); }

    TempDir dir_;
    std::string vok_, registry_;
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
