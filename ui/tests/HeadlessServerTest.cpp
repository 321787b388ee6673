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

#include "ServerProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

using HeadlessServerTest = ServerProcessTest;

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

TEST_F(HeadlessServerTest, HangUpSavesEverythingAndServingGoesOn) {
    WriteSettings(dir_.File("gone.psf"));
    const std::string config = dir_.File("plant.psf");
    Start("--headless " + config);
    // However the test ends, the server does not outlive it.
    struct StopAtEnd {
        std::function<void()> stop;
        bool stopped = false;
        ~StopAtEnd() {
            if (!stopped) stop();
        }
    } guard{[this] { Stop(); }};
    ASSERT_NE(ReadFileText(dir_.File("out")).find("\"class_published\": true"), std::string::npos)
        << ReadFileText(dir_.File("err"));
    const std::string pid = ReadFileText(dir_.File("pid"));
    auto saves = [&] { return Count(ReadFileText(log_), "Configuration and settings saved on request - " + config); };

    for (const char* expected : {"1", "2"}) {
        // Only a save writes the file again.
        std::filesystem::remove(config);
        EXPECT_EQ(std::system(("kill -HUP " + pid).c_str()), 0);
        for (int i = 0; i < 200 && saves() != expected; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(saves(), expected) << ReadFileText(log_) << ReadFileText(dir_.File("err"));
        EXPECT_TRUE(std::filesystem::exists(config)) << "each save request writes the configuration";
        // Still serving: the process runs.
        EXPECT_TRUE(ReadFileText(dir_.File("status")).empty()) << ReadFileText(dir_.File("err"));
        EXPECT_EQ(std::system(("kill -0 " + pid).c_str()), 0);
    }
    EXPECT_NE(ReadFileText(dir_.File("err")).find("saved on request"), std::string::npos);

    guard.stopped = true;
    EXPECT_EQ(Stop(), 0) << ReadFileText(dir_.File("err"));
    const std::string log = ReadFileText(log_);
    EXPECT_NE(log.find("Application terminating normally"), std::string::npos) << log;
}

TEST_F(HeadlessServerTest, AStopThatCannotSaveTheConfigurationFailsAndSaysWhy) {
    WriteSettings(dir_.File("gone.psf"));
    const std::string config = dir_.File("plant.psf");
    Start("--headless " + config);
    ASSERT_NE(ReadFileText(dir_.File("out")).find("\"class_published\": true"), std::string::npos)
        << ReadFileText(dir_.File("err"));
    // A folder where the file was: no one, root included, can write the file there.
    std::filesystem::remove(config);
    std::filesystem::create_directory(config);
    EXPECT_EQ(Stop(), kExitNotSaved);
    const std::string err = ReadFileText(dir_.File("err"));
    const std::string expected = "Configuration not saved at shutdown - " + config + ": ";
    const auto at = err.find(expected);
    ASSERT_NE(at, std::string::npos) << err;
    EXPECT_NE(err[at + expected.size()], '\n') << "a reason follows: " << err;
    EXPECT_EQ(err.find("the file could not be written"), std::string::npos) << "the system's reason: " << err;
    const std::string log = ReadFileText(log_);
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_NE(log.find("Application terminating normally"), std::string::npos) << "the shutdown still ran: " << log;

    // The same server with a file it can write stops cleanly again.
    std::filesystem::remove(config);
    Start("--headless " + config);
    EXPECT_EQ(Stop(), 0) << ReadFileText(dir_.File("err"));
    EXPECT_TRUE(std::filesystem::is_regular_file(config));
}

TEST(HeadlessExitReport, NamesWhatWasNotSavedWithTheLastLineOfTheReason) {
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(ReportExitSave("/p/a.psf", {}, "Failed to save document.\n/p/a.psf\nDisk full"));
    EXPECT_FALSE(ReportExitSave("/p/a.psf", {false, true, false}, "Failed to save document.\n/p/a.psf\nDisk full\n"));
    EXPECT_FALSE(ReportExitSave("/p/b.psf", {false, false, true}, ""));
    EXPECT_FALSE(ReportExitSave("/p/c.psf", {true, false, false}, "ignored"));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "vok-explorer: Configuration not saved at shutdown - /p/a.psf: Disk full\n"
              "vok-explorer: Configuration not saved at shutdown - /p/b.psf: the file could not be written\n"
              "vok-explorer: Settings not saved at shutdown: the registry could not be written\n"
              "vok-explorer: Settings not saved at shutdown: the registry could not be written\n");
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
// the forcing entry is logged, and the process ends at once, with status 0 (a
// service stopped while clients use it stopped as asked) unless the
// configuration could not be saved. Runs in a child process of its own, as
// the program ends it. With breakFile a folder takes the file's place first.
void ServeUntilTerminatedWithAClient(const std::string& config, bool breakFile) {
    signals::BlockTermination();
    // The history beside the configuration, not in the build's program folder.
    const std::string kept = (std::filesystem::path(config).parent_path() / "history.db").string();
    std::thread server([config, kept] { std::exit(RunHeadlessServer({"--headless", "--history", kept, config})); });
    for (int i = 0; i < 400 && (GetApp() == nullptr || !GetApp()->IsServing()); ++i) Sleep(25);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IOPCServer* client = nullptr;
    if (FAILED(CoCreateInstance(CLSID_VOKExplorer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&client))))
        std::exit(3);
    // Until the notice has been counted, the client does not count as connected.
    for (int i = 0; i < 400 && GetApp()->GetObjectCount() == 0; ++i) Sleep(5);
    if (breakFile) {
        std::filesystem::remove(config);
        std::filesystem::create_directory(config);
    }
    signals::RequestTermination();
    server.join();
}

TEST_F(HeadlessServerTest, ExitWithAClientConnectedIsForcedAndAStopAsAsked) {
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
    EXPECT_EXIT(ServeUntilTerminatedWithAClient(config, false), ::testing::ExitedWithCode(0), "Forcing termination");
    std::string log = ReadFileText(log_);
    EXPECT_NE(log.find("Forcing termination of server while clients connected"), std::string::npos) << log;
    EXPECT_EQ(log.find("Application terminating normally"), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::is_regular_file(config)) << "the configuration is saved before the forced end";

    // Clients connected do not hide a lost save.
    EXPECT_EXIT(ServeUntilTerminatedWithAClient(config, true), ::testing::ExitedWithCode(kExitNotSaved),
                "Configuration not saved at shutdown - " + config + ": .*Forcing termination");
    for (const char* name : {"VOK_REGISTRY_DIR", "XDG_RUNTIME_DIR", "VOK_TEST_SHARED_DIR"})
        SetEnvironmentVariableA(name, nullptr);
    log = ReadFileText(log_);
    EXPECT_NE(log.find("Forcing termination of server while clients connected"), std::string::npos) << log;
    EXPECT_NE(log.find("Configuration not saved at shutdown - " + config), std::string::npos) << log;
}
