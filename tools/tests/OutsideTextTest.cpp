// Text from outside the program that is not UTF-8 (counter replies without a
// checksum, names in a configuration file, file names) as the built vok shows
// it: valid JSON with replacement characters, never an abort.
#include "config/ConfigFile.h"
#include "model/VOKDevice.h"
#include "platform/Environment.h"
#include "platform/PseudoTerminal.h"
#include "platform/SerialNames.h"
#include "sim/SimBus.h"

#include "testsupport/FileText.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using nlohmann::json;

const std::string kFFFD = "\xEF\xBF\xBD";

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Counters whose type and version replies carry whatever bytes the test
// gives them, as line noise would: the counter model on a pseudo-terminal of
// the test's own, registered under a COM name. (The simulator program
// accepts printable text only.)
class NoisyLine {
public:
    bool Start(const std::string& comName, const SimCounterConfig& counter, std::string& error) {
        if (!pty_.Open()) {
            error = pty_.LastError();
            return false;
        }
        if (!serialnames::Assign(comName, pty_.SlavePath(), &error)) return false;
        comName_ = comName;
        bus_ = std::make_unique<SimBus>(std::vector<SimCounterConfig>{counter});
        thread_ = std::thread([this] { Serve(); });
        return true;
    }
    ~NoisyLine() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        pty_.Close();
        if (!comName_.empty()) serialnames::Remove(comName_);
    }

private:
    void Serve() {
        const auto start = std::chrono::steady_clock::now();
        char buffer[256];
        while (!stop_) {
            const long n = pty_.Read(buffer, sizeof buffer, 20);
            if (n < 0) return;
            const double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            for (long i = 0; i < n; ++i) {
                const std::string out = bus_->Receive(static_cast<std::uint8_t>(buffer[i]), now);
                if (!out.empty() && !pty_.Write(out.data(), out.size())) return;
            }
        }
    }

    PseudoTerminal pty_;
    std::unique_ptr<SimBus> bus_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::string comName_;
};

class OutsideText : public ::testing::Test {
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

    // Runs "vok <arguments>" under a time limit (a hang ends with status 124).
    Outcome Vok(const std::string& arguments) {
        const std::string out = dir_.File("out"), err = dir_.File("err"), status = dir_.File("status");
        const std::string command = "VOK_REGISTRY_DIR='" + registry_ + "' timeout -k 5 60 '" + vok_ + "' " +
                                    arguments + " >'" + out + "' 2>'" + err + "'; echo $? >'" + status + "'";
        std::system(command.c_str());
        Outcome run;
        run.status = std::stoi(ReadFileText(status));
        run.out = ReadFileText(out);
        run.err = ReadFileText(err);
        return run;
    }

    TempDir dir_;
    std::string vok_, registry_;
    std::string error_;
};

}  // namespace

TEST_F(OutsideText, QueryShowsTypeAndVersionRepliesThatAreNotUtf8WithReplacements) {
    SimCounterConfig counter;
    counter.address = 5;
    counter.modelText = "MC\xC3";
    counter.versionText = "4400 VOK V3.12 \xFF\xFE";
    NoisyLine line;
    std::string error;
    ASSERT_TRUE(line.Start("COM43", counter, error)) << error;

    const Outcome run = Vok("query --port COM43 --address 5");
    ASSERT_EQ(run.status, 0) << run.err;
    const json out = json::parse(run.out, nullptr, false);
    ASSERT_TRUE(out.is_object()) << run.out;
    EXPECT_EQ(out["type"], "MC" + kFFFD);
    EXPECT_EQ(out["version"], "4400 VOK V3.12 " + kFFFD + kFFFD);
    EXPECT_EQ(out["bin_sizes"].size(), counter.binsUm.size());  // the rest of the reading goes on
}

TEST_F(OutsideText, ConfigShowsNamesThatAreNotUtf8WithReplacements) {
    // A device name of raw bytes, written by the program's own writer.
    Dll<OPCS_Device*> devices;
    auto device = VOKDevice::Create(false);
    device->SetName("\xFF\xFE");
    devices.AddTail(device.release());
    const std::string file = dir_.File("names.psf");
    ASSERT_TRUE(SaveConfigFile(file, devices, error_));
    while (!devices.IsEmpty()) delete devices.RemoveNode(devices.Head());

    const Outcome dump = Vok("config dump '" + file + "'");
    ASSERT_EQ(dump.status, 0) << dump.err;
    const json d = json::parse(dump.out, nullptr, false);
    ASSERT_TRUE(d.is_object()) << dump.out;
    ASSERT_EQ(d["devices"].size(), 1u);
    EXPECT_EQ(d["devices"][0]["name"], kFFFD + kFFFD);

    // A file name of raw bytes: written, and its name shown with a replacement.
    const std::string rawName = dir_.File("plant\xFF.psf");
    const Outcome made = Vok("config new '" + rawName + "' --device COM2:4");
    ASSERT_EQ(made.status, 0) << made.err;
    const json m = json::parse(made.out, nullptr, false);
    ASSERT_TRUE(m.is_object()) << made.out;
    EXPECT_EQ(m["file"], dir_.File("plant" + kFFFD + ".psf"));
    EXPECT_EQ(m["devices"], 1);
    EXPECT_TRUE(std::filesystem::exists(rawName));
}
