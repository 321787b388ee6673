#pragma once
// The server program run as a service runs it: a process of its own with its
// registry, runtime folder and files in a folder of the test's, started in
// the background and stopped by a terminate request.
#include "platform/Environment.h"

#include "testsupport/FileText.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

inline std::string Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return std::to_string(n);
}

class ServerProcessTest : public ::testing::Test {
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

