#pragma once
// The built vok program run as a user runs it: in a process of its own, with a
// registry and files in a folder of the test's.
#include "opc/OpcDa.h"
#include "platform/Environment.h"
#include "platform/LocalSocket.h"
#include "remote/RemoteBroker.h"

#include "testsupport/FileText.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>

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

// vok-explorer --headless as the service runs it, from a copy in the test's
// folder (so that the program's folder is the test's), serving a
// configuration with a runtime folder of its own; ended with SIGTERM, or
// killed when it does not end.
class ServedExplorer {
public:
    // False (with the reason) when the program is not built or does not listen.
    // options go before the configuration ("--history FILE").
    bool Start(TempDir& dir, const std::string& registry, const std::string& config, std::string& error,
               const std::string& prefix = "", const std::string& options = "") {
        char folder[4096];
        const DWORD n = GetEnvironmentVariableA("VOK_TEST_BIN_DIR", folder, sizeof folder);
        const std::string bin(folder, n);
        if (!std::filesystem::exists(bin + "/vok-explorer")) {
            error = "vok-explorer is not built";
            return false;
        }
        std::filesystem::create_directory(dir.File("bin"));
        const std::string program = dir.File("bin") + "/vok-explorer";
        std::filesystem::copy_file(bin + "/vok-explorer", program, std::filesystem::copy_options::overwrite_existing);
        runtime_ = dir.File("run");
        std::filesystem::create_directory(runtime_);
        std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
        pidFile_ = dir.File("server.pid");
        statusFile_ = dir.File("server.status");
        errFile_ = dir.File("server.err");
        std::system(("(XDG_RUNTIME_DIR='" + runtime_ + "' VOK_REGISTRY_DIR='" + registry +
                     "' sh -c 'echo $$ >\"" + pidFile_ + "\"; exec " + prefix + " \"" + program + "\" --headless " + options + " \"" +
                     config + "\" >/dev/null 2>\"" + errFile_ + "\"'; echo $? >'" + statusFile_ + "') &")
                        .c_str());
        // This process's clients (and the socket path) find it through the runtime folder.
        SetEnvironmentVariableA("XDG_RUNTIME_DIR", runtime_.c_str());
        const std::string path = remote::RemoteBroker::SocketPath(CLSID_VOKExplorer);
        for (int i = 0; i < 200; ++i) {
            const int probe = platform::ConnectLocalSocket(path);
            if (probe >= 0) {
                platform::CloseDescriptor(probe);
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        error = "the server did not listen: " + ReadFileText(errFile_);
        return false;
    }
    ~ServedExplorer() {
        if (pidFile_.empty()) return;
        SetEnvironmentVariableA("XDG_RUNTIME_DIR", nullptr);
        std::system(("kill -TERM $(cat '" + pidFile_ + "') 2>/dev/null").c_str());
        for (int i = 0; i < 200 && !Ended(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!Ended()) std::system(("kill -KILL $(cat '" + pidFile_ + "') 2>/dev/null").c_str());
    }
    // The environment a client of this server runs with.
    std::string ClientEnvironment() const { return "XDG_RUNTIME_DIR='" + runtime_ + "' "; }
    const std::string& Runtime() const { return runtime_; }
    std::string Pid() const { return ReadFileText(pidFile_); }
    bool Ended() const { return !ReadFileText(statusFile_).empty(); }
    std::string Errors() const { return ReadFileText(errFile_); }
    // Seconds of processor time the server has used, from its /proc entry
    // (user and system ticks of 1/100 s).
    double CpuSeconds() const {
        std::string stat = ReadFileText("/proc/" + std::to_string(std::stol(Pid())) + "/stat");
        const std::size_t end = stat.rfind(')');
        if (end == std::string::npos) return -1;
        std::istringstream fields(stat.substr(end + 2));
        std::string field;
        double ticks = 0;
        // After the name: state is field 3; utime and stime are 14 and 15.
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14) ticks += std::stod(field);
        return ticks / 100.0;
    }

private:
    std::string runtime_, pidFile_, statusFile_, errFile_;
};
