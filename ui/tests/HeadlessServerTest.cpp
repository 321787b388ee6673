// vok-explorer --headless run as a service runs it: a process of its own with
// its registry, runtime folder and files in a folder of the test's, stopped by
// a terminate request.
#include "foundation/CLogFile.h"
#include "opc/OPCS_App.h"
#include "opc/HeadlessServer.h"
#include "opc/OpcDa.h"
#include "platform/Com.h"
#include "platform/Environment.h"
#include "platform/Signals.h"
#include "platform/Thread.h"

#include "testsupport/FileText.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

std::string Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return std::to_string(n);
}

class HeadlessServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[4096];
        const DWORD n = GetEnvironmentVariableA("VOK_TEST_BIN_DIR", folder, sizeof folder);
        if (n == 0 || n >= sizeof folder) GTEST_SKIP() << "VOK_TEST_BIN_DIR names the folder of vok-explorer";
        // A copy of its own, so that the program's folder (where a new
        // configuration goes by default) is the test's.
        std::filesystem::create_directory(dir_.File("bin"));
        program_ = dir_.File("bin") + "/vok-explorer";
        std::filesystem::copy_file(std::string(folder, n) + "/vok-explorer", program_);
        registry_ = dir_.File("registry");
        runtime_ = dir_.File("run");
        log_ = dir_.File("events.txt");
        std::filesystem::create_directory(registry_);
        std::filesystem::create_directory(runtime_);
        std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    }

    // The program's settings with the event log on, as the operator's options would leave them.
    void WriteSettings(const std::string& lastUsedFile) {
        std::ofstream reg(registry_ + "/HKEY_LOCAL_MACHINE.reg", std::ios::binary);
        reg << "Windows Registry Editor Version 5.00\r\n\r\n"
            << "[HKEY_LOCAL_MACHINE\\Software\\Vell\\VOK Explorer\\Settings]\r\n"
            << "\"Event Log Enabled\"=dword:00000001\r\n"
            << "\"Event Log File\"=\"" << log_ << "\"\r\n"
            << "\"Last Used File\"=\"" << lastUsedFile << "\"\r\n\r\n";
    }

    std::string Environment() const {
        return "VOK_REGISTRY_DIR='" + registry_ + "' XDG_RUNTIME_DIR='" + runtime_ + "' ";
    }

    // Runs the program to its end; returns its exit status.
    int Run(const std::string& arguments, std::string* err = nullptr) {
        const std::string errFile = dir_.File("run.err"), status = dir_.File("run.status");
        const std::string command = Environment() + "timeout -k 5 60 '" + program_ + "' " + arguments +
                                    " >/dev/null 2>'" + errFile + "'; echo $? >'" + status + "'";
        std::system(command.c_str());
        if (err != nullptr) *err = ReadFileText(errFile);
        return std::stoi(ReadFileText(status));
    }

    // Starts the program in the background and waits for its first line.
    void Start(const std::string& arguments) {
        for (const char* name : {"out", "err", "status", "pid"}) std::filesystem::remove(dir_.File(name));
        const std::string command = "(" + Environment() + "sh -c 'echo $$ >\"" + dir_.File("pid") + "\"; exec \"" +
                                    program_ + "\" " + arguments + " >\"" + dir_.File("out") + "\" 2>\"" +
                                    dir_.File("err") + "\"'; echo $? >'" + dir_.File("status") + "') &";
        std::system(command.c_str());
        for (int i = 0; i < 200 && ReadFileText(dir_.File("out")).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    // Sends the terminate request and returns the exit status (-1 when the
    // program did not end; it is killed then).
    int Stop() {
        const std::string pid = ReadFileText(dir_.File("pid"));
        std::system(("kill -TERM " + pid).c_str());
        for (int i = 0; i < 400 && ReadFileText(dir_.File("status")).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::string status = ReadFileText(dir_.File("status"));
        if (status.empty()) {
            std::system(("kill -KILL " + pid).c_str());
            return -1;
        }
        return std::stoi(status);
    }

    TempDir dir_;
    std::string program_, registry_, runtime_, log_;
};

TEST_F(HeadlessServerTest, StartsWithANewConfigurationServesAndStopsCleanlyOnTerminate) {
    // The last used file has gone: a new configuration is made.
    WriteSettings(dir_.File("gone.psf"));
    const std::string config = dir_.File("plant.psf");
    Start("--headless");
    const std::string out = ReadFileText(dir_.File("out"));
    ASSERT_NE(out.find("\"class_published\": true"), std::string::npos) << out << ReadFileText(dir_.File("err"));
    EXPECT_NE(out.find("\"new\": true"), std::string::npos) << out;
    EXPECT_NE(out.find(dir_.File("bin") + "/VOKConfig.psf"), std::string::npos) << out;

    // A second start ends at once, quietly, without touching the log.
    const std::string logBefore = ReadFileText(log_);
    std::string err;
    EXPECT_EQ(Run("--headless", &err), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(ReadFileText(log_), logBefore);

    EXPECT_EQ(Stop(), 0) << ReadFileText(dir_.File("err"));
    const std::string log = ReadFileText(log_);
    EXPECT_EQ(Count(log, "Application starting - Creating new configuration"), "1") << log;
    EXPECT_NE(log.find("Application terminating normally"), std::string::npos) << log;
    EXPECT_EQ(log.find("Forcing termination"), std::string::npos) << log;
    // The instance lock is free again.
    Start("--headless " + config);
    EXPECT_NE(ReadFileText(dir_.File("out")).find("plant.psf"), std::string::npos);
    EXPECT_EQ(Stop(), 0);
    EXPECT_TRUE(std::filesystem::exists(config)) << "the configuration named on the command line is saved there";
}

TEST_F(HeadlessServerTest, RegistrationThatCannotWriteTheRegistryIsReportedAndFails) {
    // A registry folder below a plain file can never be made.
    std::ofstream(dir_.File("plain")) << "x";
    registry_ = dir_.File("plain") + "/registry";
    std::string err;
    EXPECT_EQ(Run("/RegServer", &err), 1);
    EXPECT_NE(err.find("COM Error"), std::string::npos) << err;
    // The usage box is answered and the program ends.
    registry_ = dir_.File("registry");
    EXPECT_EQ(Run("-?", &err), 0);
    EXPECT_NE(err.find("/RegServer - Register the server"), std::string::npos) << err;
}

// The exit with a client still holding a server object: everything is saved,
// the forcing entry is logged, and the process ends at once with status 1.
// Runs in a child process of its own, as the program ends it.
void ServeUntilTerminatedWithAClient(const std::string& config) {
    signals::BlockTermination();
    std::thread server([config] { std::exit(RunHeadlessServer({"--headless", config})); });
    for (int i = 0; i < 400 && (GetApp() == nullptr || !GetApp()->IsServing()); ++i) Sleep(25);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServer* client = nullptr;
    if (FAILED(CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&client))))
        std::exit(3);
    // Until the notice has been counted, the client does not count as connected.
    for (int i = 0; i < 400 && GetApp()->GetObjectCount() == 0; ++i) Sleep(5);
    signals::RequestTermination();
    server.join();
}

TEST_F(HeadlessServerTest, ExitWithAClientConnectedIsForcedWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The death test's child runs this body again in a new process; it works
    // in the parent's folder, which it finds in the environment.
    char shared[4096];
    const DWORD n = GetEnvironmentVariableA("VOK_TEST_SHARED_DIR", shared, sizeof shared);
    const std::string base = n > 0 && n < sizeof shared ? std::string(shared, n) : dir_.Path().string();
    SetEnvironmentVariableA("VOK_TEST_SHARED_DIR", base.c_str());
    registry_ = base + "/registry";
    runtime_ = base + "/run";
    log_ = base + "/events.txt";
    WriteSettings(base + "/gone.psf");
    const std::string config = base + "/forced.psf";
    SetEnvironmentVariableA("VOK_REGISTRY_DIR", registry_.c_str());
    SetEnvironmentVariableA("XDG_RUNTIME_DIR", runtime_.c_str());
    EXPECT_EXIT(ServeUntilTerminatedWithAClient(config), ::testing::ExitedWithCode(1), "Forcing termination");
    for (const char* name : {"VOK_REGISTRY_DIR", "XDG_RUNTIME_DIR", "VOK_TEST_SHARED_DIR"})
        SetEnvironmentVariableA(name, nullptr);
    const std::string log = ReadFileText(log_);
    EXPECT_NE(log.find("Forcing termination of server while clients connected"), std::string::npos) << log;
    EXPECT_EQ(log.find("Application terminating normally"), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::exists(config)) << "the configuration is saved before the forced end";
}

}  // namespace
