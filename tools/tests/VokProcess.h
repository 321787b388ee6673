#pragma once
// The built vok program run as a user runs it: in a process of its own, with a
// registry and files in a folder of the test's.
#include "platform/Environment.h"

#include "testsupport/FileText.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

struct VokOutcome {
    int status = -1;
    std::string out;
    std::string err;
};

class VokProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[4096];
        const DWORD n = GetEnvironmentVariableA("VOK_TEST_BIN_DIR", folder, sizeof folder);
        if (n == 0 || n >= sizeof folder) GTEST_SKIP() << "VOK_TEST_BIN_DIR names the folder of the vok program";
        vok_ = std::string(folder, n) + "/vok";
        registry_ = dir_.File("registry");
        ASSERT_TRUE(SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.c_str()));
    }
    void TearDown() override { SetEnvironmentVariableA("VOK_REGISTRY_DIR", nullptr); }

    // Runs "<limit> vok <arguments>"; the shell writes the exit status to a
    // file. The default limit ends a run that hangs with status 124.
    VokOutcome Vok(const std::string& arguments, const std::string& limit = "timeout -k 5 120") {
        const std::string out = dir_.File("out"), err = dir_.File("err"), status = dir_.File("status");
        const std::string command = "VOK_REGISTRY_DIR='" + registry_ + "' " + limit + " '" + vok_ + "' " +
                                    arguments + " >'" + out + "' 2>'" + err + "'; echo $? >'" + status + "'";
        std::system(command.c_str());
        VokOutcome run;
        run.status = std::stoi(ReadFileText(status));
        run.out = ReadFileText(out);
        run.err = ReadFileText(err);
        return run;
    }

    TempDir dir_;
    std::string vok_, registry_;
};
