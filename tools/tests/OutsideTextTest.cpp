// Text from outside the program that is not UTF-8 (counter replies without a
// checksum, names in a configuration file, file names) as the built vok shows
// it: valid JSON with replacement characters, never an abort.
#include "config/ConfigFile.h"
#include "model/VOKDevice.h"
#include "platform/PseudoTerminal.h"
#include "platform/SerialNames.h"
#include "sim/SimBus.h"

#include "VokProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using nlohmann::json;

const std::string kFFFD = "\xEF\xBF\xBD";


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

class OutsideText : public VokProcessTest {
protected:
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

    const VokOutcome run = Vok("query --port COM43 --address 5");
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

    const VokOutcome dump = Vok("config dump '" + file + "'");
    ASSERT_EQ(dump.status, 0) << dump.err;
    const json d = json::parse(dump.out, nullptr, false);
    ASSERT_TRUE(d.is_object()) << dump.out;
    ASSERT_EQ(d["devices"].size(), 1u);
    EXPECT_EQ(d["devices"][0]["name"], kFFFD + kFFFD);

    // A file name of raw bytes: written, and its name shown with a replacement.
    const std::string rawName = dir_.File("plant\xFF.psf");
    const VokOutcome made = Vok("config new '" + rawName + "' --device COM2:4");
    ASSERT_EQ(made.status, 0) << made.err;
    const json m = json::parse(made.out, nullptr, false);
    ASSERT_TRUE(m.is_object()) << made.out;
    EXPECT_EQ(m["file"], dir_.File("plant" + kFFFD + ".psf"));
    EXPECT_EQ(m["devices"], 1);
    EXPECT_TRUE(std::filesystem::exists(rawName));
}
